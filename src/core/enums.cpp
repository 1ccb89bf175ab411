#include "src/core/enums.h"

#include <cstring>
#include <new>

#include "src/com/text.h"
#include "src/core/xml_builder.h"

namespace vtfc4 {

int EnumTable::Find(std::string_view word) const {
  for (int32_t i = 0; i < count; ++i)
    if (word == words[i]) return i;
  return -1;
}

const EnumTable& EnumTableOf(EnumId id) { return kEnumTables[static_cast<size_t>(id)]; }

const EnumTable* FindEnumTable(std::string_view name) {
  for (size_t i = 0; i < static_cast<size_t>(EnumId::kCount); ++i)
    if (name == kEnumTables[i].name) return &kEnumTables[i];
  return nullptr;
}

HRESULT EnumSetValue(BasicPropertyType& v, const EnumTable& t, int32_t value) {
  // A negative value is out of range too: the index is taken as unsigned.
  if (!t.HasValue(value)) return kEnumOutOfRange;
  v.Assign(t.words[value]);
  return S_OK;
}

HRESULT EnumGetValue(const BasicPropertyType& v, const EnumTable& t, int32_t* out) {
  if (!out) return E_POINTER;
  *out = 0;
  if (HRESULT hr = v.CheckReadable(false); FAILED(hr)) return hr;
  // A word that came in a response and is not in the table has no value.
  int i = t.Find(v.Text());
  if (i < 0) return kEnumOutOfRange;
  *out = i;
  return S_OK;
}

HRESULT EnumSetText(BasicPropertyType& v, const EnumTable& t, BSTR text) {
  std::string word = ToNarrow(text);
  if (t.Find(word) < 0) return kEnumOutOfRange;
  v.Assign(word);
  return S_OK;
}

HRESULT EnumGetText(const BasicPropertyType& v, BSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (HRESULT hr = v.CheckReadable(false); FAILED(hr)) return hr;
  return HandOutText(v.Text(), out);
}

void EnumListCore::Build(std::string_view name, XMLBuilderInterface& builder) {
  for (int32_t value : entries_)
    if (table_->HasValue(value)) builder.WriteElement(name, table_->words[value]);
}

bool EnumListCore::Verify(bool required, std::string& errors) {
  if (!required || !entries_.empty()) return true;
  errors += MessageText(kMsgListIsEmpty);
  return false;
}

SAXParseable* EnumListCore::HandleAggregate(int tag) {
  throw SAXParseHandlerException(
      Format("C%s::HandleAggregate() unexpected agg tag id %d.", table_->listName, tag));
}

void EnumListCore::HandleElement(int, const std::string* value) {
  // A word the table does not know is dropped: the list holds values, not words.
  int i = value ? table_->Find(*value) : -1;
  if (i >= 0) entries_.push_back(i);
}

void EnumListCore::HandleAttribute(int tag, const std::string* value) {
  throw SAXParseHandlerException(Format("unexpected tag = %d with value %s.", tag,
                                        value ? value->c_str() : "Unknown value"));
}

HRESULT EnumListCore::AddValue(int32_t value) {
  if (!table_->HasValue(value)) return kEnumOutOfRange;
  try {
    entries_.push_back(value);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT EnumListCore::AddText(BSTR text) {
  int i = table_->Find(ToNarrow(text));
  if (i < 0) return kEnumOutOfRange;
  return AddValue(i);
}

HRESULT EnumListCore::Count(LONG* out) const {
  if (!out) return E_POINTER;
  *out = static_cast<LONG>(entries_.size());
  return S_OK;
}

HRESULT EnumListCore::ValueAt(LONG index, int32_t* out) const {
  if (!out) return E_POINTER;
  if (index < 0 || static_cast<size_t>(index) >= entries_.size()) return kOutOfRange;
  *out = entries_[static_cast<size_t>(index)];
  return S_OK;
}

HRESULT EnumListCore::TextAt(LONG index, BSTR* out) const {
  if (!out) return E_POINTER;
  *out = nullptr;
  int32_t value = 0;
  if (HRESULT hr = ValueAt(index, &value); FAILED(hr)) return hr;
  if (!table_->HasValue(value)) return kEnumOutOfRange;
  return HandOutText(table_->words[value], out);
}

HRESULT EnumListCore::TypeObject(IObjectType** out) {
  if (!out) return E_POINTER;
  if (!type_) {
    HRESULT hr = MakeObjectType(table_->listObjectType, table_->listName, type_.Put());
    if (FAILED(hr)) return hr;
  }
  return type_.CopyTo(out);
}

HRESULT EnumListCore::AlwaysValid(BSTR* errorMsg, VARIANT_BOOL* isOK) {
  if (!errorMsg || !isOK) return E_POINTER;
  *isOK = VARIANT_TRUE;
  return S_OK;
}

}  // namespace vtfc4
