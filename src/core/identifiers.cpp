#include "src/core/identifiers.h"

#include <new>

#include "src/com/error.h"
#include "src/com/text.h"
#include "src/core/aggregate.h"
#include "src/core/xml_builder.h"

namespace vtfc4 {

namespace {

// The narrow text of a BSTR; a null BSTR is the empty text.
std::string NarrowOf(BSTR value) { return value ? ToNarrow(value) : std::string(); }

// The characters of a BSTR for the entry rules; a null BSTR is the empty text.
const OLECHAR* TextOf(BSTR value) { return value ? value : u""; }

}  // namespace

bool IsGUIDText(const OLECHAR* text, size_t length) {
  if (!text) return false;
  if (length == 1 && text[0] == u'0') return true;
  CLSID unused;
  return SUCCEEDED(CLSIDFromString(text, &unused));
}

// ---- Factories.

ObjectRoot* NewIDValue(bool macroAllowed) { return MakeObject<CVTIDType>(macroAllowed); }
ObjectRoot* NewGUIDValue() { return MakeObject<CVTGUIDType>(); }
ObjectRoot* NewBSTRList(int32_t maxLength) { return MakeObject<CBSTRList>(maxLength); }
ObjectRoot* NewGUIDList() { return MakeObject<CGUIDList>(); }

// ---- Identifiers.

HRESULT CVTIDType::SetValue(BSTR value) {
  if (SysStringLen(value) > kIDMaxLength) return ReportError(kMsgStringTooLong, kStringTooLong);
  try {
    std::string text = NarrowOf(value);
    macro_.clear();
    Store(std::move(text));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CVTIDType::GetValue(BSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  // A macro alone leaves the state at 0: it reads as not set.
  if (HRESULT hr = CheckReadable(true); FAILED(hr)) return hr;
  return HandOutText(text_, out);
}

HRESULT CVTIDType::SetValueUseMacro(BSTR macro) {
  if (!macroAllowed_) return ReportError(kMsgMacroNotAllowed, kNoValue);
  try {
    macro_ = NarrowOf(macro);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  state_ = 0;
  empty_ = 0;
  text_.clear();
  return S_OK;
}

HRESULT CVTIDType::GetValueUseMacro(BSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (macro_.empty()) return ReportError(kMsgNoValue, kNoValue);
  return HandOutText(macro_, out);
}

HRESULT CVTIDType::IsSetUseMacro(VARIANT_BOOL* out) {
  if (!out) return E_POINTER;
  *out = IsUseMacro() ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

bool CVTIDType::IsSet() const { return state_ != 0 || IsUseMacro(); }

bool CVTIDType::HasValue() const { return !text_.empty() || !macro_.empty(); }

bool CVTIDType::IsUseMacro() const { return !macro_.empty(); }

bool CVTIDType::XMLText(std::string&, std::string_view& out) const {
  if (state_ != 0) {
    out = empty_ ? std::string_view() : std::string_view(text_);
    return true;
  }
  if (!macro_.empty()) {
    out = macro_;
    return true;
  }
  return false;
}

void CVTIDType::DoUnset() {
  ValueObject::DoUnset();
  text_.clear();
  macro_.clear();
}

void CVTIDType::DoSetEmpty() {
  ValueObject::DoSetEmpty();
  macro_.clear();
}

// ---- GUIDs.

HRESULT CVTGUIDType::SetValue(BSTR value) {
  if (!IsGUIDText(TextOf(value), SysStringLen(value)))
    return ReportError(kMsgInvalidGuid, kInvalidFormat);
  try {
    Store(NarrowOf(value));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CVTGUIDType::GetValue(BSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (HRESULT hr = CheckReadable(true); FAILED(hr)) return hr;
  return HandOutText(text_, out);
}

bool CVTGUIDType::HasValue() const { return state_ == 1 && empty_ == 0 && !text_.empty(); }

void CVTGUIDType::DoUnset() {
  ValueObject::DoUnset();
  text_.clear();
}

// ---- Lists of text values.

template <class Interface, class Rule>
HRESULT TextListObject<Interface, Rule>::Add(BSTR value) {
  if (!rule_.Accepts(TextOf(value), SysStringLen(value))) return Rule::kRefused;
  try {
    values_.push_back(NarrowOf(value));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

template <class Interface, class Rule>
HRESULT TextListObject<Interface, Rule>::get_Count(LONG* out) {
  if (!out) return E_POINTER;
  *out = static_cast<LONG>(values_.size());
  return S_OK;
}

template <class Interface, class Rule>
HRESULT TextListObject<Interface, Rule>::GetAt(LONG index, BSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (index < 0 || static_cast<size_t>(index) >= values_.size()) return kOutOfRange;
  return HandOutText(values_[static_cast<size_t>(index)], out);
}

template <class Interface, class Rule>
HRESULT TextListObject<Interface, Rule>::get_Type(IObjectType** out) {
  if (!out) return E_POINTER;
  if (!type_) {
    HRESULT hr = MakeObjectType(Rule::kObjectType, Rule::kTypeName, type_.Put());
    if (FAILED(hr)) return hr;
  }
  return type_.CopyTo(out);
}

template <class Interface, class Rule>
HRESULT TextListObject<Interface, Rule>::Verify(BSTR*, VARIANT_BOOL* isOK) {
  // Whether a list may be empty is its owner's business: on its own it is always valid, and
  // there is never a message to hand out.
  if (!isOK) return E_POINTER;
  *isOK = VARIANT_TRUE;
  return S_OK;
}

template <class Interface, class Rule>
void TextListObject<Interface, Rule>::Build(std::string_view name, XMLBuilderInterface& builder) {
  for (const std::string& value : values_) builder.WriteElement(name, value);
}

template <class Interface, class Rule>
bool TextListObject<Interface, Rule>::Verify(bool required, std::string& errors) {
  if (!required || !values_.empty()) return true;
  errors.append(MessageText(kMsgListIsEmpty));
  return false;
}

template <class Interface, class Rule>
SAXParseable* TextListObject<Interface, Rule>::HandleAggregate(int tag) {
  throw SAXParseHandlerException(
      Format("%s::HandleAggregate() unexpected agg tag id %d.", Rule::kClassName, tag));
}

template <class Interface, class Rule>
void TextListObject<Interface, Rule>::HandleElement(int, const std::string* value) {
  // The owner routes only the list's own elements here, so the tag is not looked at. Parsed
  // text passes the same rule as Add, measured in UTF-16 code units; the text kept is the
  // parsed text itself.
  if (!value) {
    if (rule_.Accepts(u"", 0)) values_.emplace_back();
    return;
  }
  const std::u16string wide = ToWide(*value);
  if (rule_.Accepts(wide.c_str(), wide.size())) values_.push_back(*value);
}

template <class Interface, class Rule>
void TextListObject<Interface, Rule>::HandleAttribute(int tag, const std::string* value) {
  throw SAXParseHandlerException(Format("unexpected tag = %d with value %s.", tag,
                                        value ? value->c_str() : "Unknown value"));
}

template class TextListObject<IBSTRList, TextLengthRule>;
template class TextListObject<IGUIDList, GUIDTextRule>;

HRESULT CBSTRList::GetMaxLength(BSTR* out) {
  if (!out) return E_POINTER;
  if (rule_.maxLength == kNoLimit) return HandOutText(std::string_view(), out);
  return HandOutText(Format("%d", rule_.maxLength), out);
}

}  // namespace vtfc4
