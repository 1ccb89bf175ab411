#include "src/core/references.h"

#include <new>
#include <utility>

#include "src/com/error.h"
#include "src/com/text.h"
#include "src/core/identifiers.h"
#include "src/core/values.h"
#include "src/xml/tag_table.h"

namespace vtfc4 {

namespace {

constexpr size_t kListIDSlot = 0;
constexpr size_t kFullNameSlot = 1;

constexpr MemberDescriptor kBaseRefMembers[] = {AddValueElement(tag::ListID),
                                                AddValueElement(tag::FullName)};
constexpr ClassInfo kBaseRefClass{"VTBaseRef", 103, kPlain, kBaseRefMembers, 2};

constexpr int16_t kBaseRefListType = 104;
constexpr const char* kBaseRefListName = "VTBaseRefList";

CVTBaseRef* MakeBaseRef(int32_t fullNameLimit, bool isRequest, VersionContextPtr ctx) {
  CVTBaseRef* made = MakeObject<CVTBaseRef>(fullNameLimit);
  if (made) made->InitMode(isRequest, std::move(ctx));
  return made;
}

// Keeps the parse-in-progress flag raised for one scope, so that the getters create members
// of a response object; the flag is put back as it was, also when the scope is left by a throw.
class ParseScope {
 public:
  explicit ParseScope(bool& flag) : flag_(flag), before_(flag) { flag_ = true; }
  ParseScope(const ParseScope&) = delete;
  ParseScope& operator=(const ParseScope&) = delete;
  ~ParseScope() { flag_ = before_; }

 private:
  bool& flag_;
  const bool before_;
};

}  // namespace

ObjectRoot* NewVTBaseRef(int32_t fullNameLimit, bool isRequest, VersionContextPtr ctx) {
  return MakeBaseRef(fullNameLimit, isRequest, std::move(ctx));
}

ObjectRoot* NewVTBaseRefList(int32_t fullNameLimit, bool isRequest) {
  return MakeObject<CVTBaseRefList>(fullNameLimit, isRequest);
}

// ---- One reference.

CVTBaseRef::CVTBaseRef(int32_t fullNameLimit)
    : AggregateObject(kBaseRefClass), fullNameLimit_(fullNameLimit) {}

template <class I, class Make>
HRESULT CVTBaseRef::GetKept(size_t slot, I** out, Make make) {
  if (!out) return E_POINTER;
  if (!isRequest_ && !parseInProgress_ && !Slot(slot) && (keptMask_ & (1u << slot))) {
    *out = nullptr;
    ObjectRoot* made = make();
    if (made) made->AsValue()->SetXMLValue(kept_[slot]);
    return HandOver(made, iid_of<I>(), reinterpret_cast<void**>(out));
  }
  return GetMember(slot, out, make);
}

void CVTBaseRef::Materialize() {
  if (!keptMask_) return;
  const int lastTag = lastMemberTag_;
  for (size_t slot : {kListIDSlot, kFullNameSlot}) {
    if (!(keptMask_ & (1u << slot))) continue;
    ParseScope parsing(parseInProgress_);
    ComPtr<IVTIDType> id;
    ComPtr<IVTStringType> name;
    HRESULT hr = slot == kListIDSlot ? get_ListID(id.Put()) : get_FullName(name.Put());
    if (FAILED(hr)) throw std::bad_alloc();
    Slot(slot)->AsValue()->SetXMLValue(kept_[slot]);
    kept_[slot].clear();
    kept_[slot].shrink_to_fit();
  }
  keptMask_ = 0;
  lastMemberTag_ = lastTag;
}

void CVTBaseRef::Build(std::string_view name, XMLBuilderInterface& builder) {
  Materialize();
  VTCoreBase::Build(name, builder);
}

bool CVTBaseRef::HasContent() {
  Materialize();
  return VTCoreBase::HasContent();
}

HRESULT CVTBaseRef::get_ListID(IVTIDType** out) {
  // A reference names an existing record: its ListID never takes a macro.
  return GetKept(kListIDSlot, out, [] { return NewIDValue(false); });
}

HRESULT CVTBaseRef::get_FullName(IVTStringType** out) {
  return GetKept(kFullNameSlot, out, [this] { return NewStringValue(fullNameLimit_); });
}

void CVTBaseRef::HandleElement(int tag, const std::string* value) {
  if (tag != tag::ListID && tag != tag::FullName) {
    VTCoreBase::HandleElement(tag, value);  // throws, naming the class and the tag
    return;
  }
  const size_t index = tag == tag::ListID ? kListIDSlot : kFullNameSlot;
  if (!isRequest_ && !Slot(index)) {
    kept_[index].assign(value ? std::string_view(*value) : std::string_view());
    keptMask_ |= static_cast<uint8_t>(1u << index);
    return;
  }
  HRESULT hr;
  {
    ParseScope parsing(parseInProgress_);
    if (tag == tag::ListID) {
      ComPtr<IVTIDType> member;
      hr = get_ListID(member.Put());
    } else {
      ComPtr<IVTStringType> member;
      hr = get_FullName(member.Put());
    }
  }
  if (FAILED(hr)) throw std::bad_alloc();
  // An element without text is stored as the empty text.
  Slot(tag == tag::ListID ? kListIDSlot : kFullNameSlot)
      ->AsValue()
      ->SetXMLValue(value ? std::string_view(*value) : std::string_view());
}

bool CVTBaseRef::Verify(bool required, std::string& errors) {
  Materialize();
  if (!required) return true;
  for (size_t slot : {kListIDSlot, kFullNameSlot}) {
    ObjectRoot* member = Slot(slot);
    BasicPropertyType* value = member ? member->AsValue() : nullptr;
    if (value && value->HasValue()) return true;
  }
  errors.append(MessageText(kMsgRequiredObjectEmpty));
  return false;
}

// ---- Lists of references.

CVTBaseRef* CVTBaseRefList::AppendNew() {
  // Entries are request objects whatever the list is: their getters create members, which
  // is what the parse fills them through.
  ComPtr<CVTBaseRef> made = ComPtr<CVTBaseRef>::Adopt(MakeBaseRef(fullNameLimit_, true, nullptr));
  if (!made) return nullptr;
  try {
    refs_.push_back(made);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return made.Get();
}

HRESULT CVTBaseRefList::GetAt(LONG index, IVTBaseRef** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (index < 0 || static_cast<size_t>(index) >= refs_.size()) return kOutOfRange;
  CVTBaseRef* ref = refs_[static_cast<size_t>(index)].Get();
  ref->AddRef();
  *out = ref;
  return S_OK;
}

HRESULT CVTBaseRefList::get_Count(LONG* out) {
  if (!out) return E_POINTER;
  *out = static_cast<LONG>(refs_.size());
  return S_OK;
}

HRESULT CVTBaseRefList::Append(IVTBaseRef** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!isRequest_) return S_OK;
  CVTBaseRef* ref = AppendNew();
  if (!ref) return E_OUTOFMEMORY;
  ref->AddRef();
  *out = ref;
  return S_OK;
}

HRESULT CVTBaseRefList::get_Type(IObjectType** out) {
  if (!out) return E_POINTER;
  if (!type_) {
    HRESULT hr = MakeObjectType(kBaseRefListType, kBaseRefListName, type_.Put());
    if (FAILED(hr)) return hr;
  }
  return type_.CopyTo(out);
}

HRESULT CVTBaseRefList::Verify(BSTR* errorMsg, VARIANT_BOOL* isOK) {
  if (!errorMsg || !isOK) return E_POINTER;
  std::string errors;
  bool ok;
  try {
    ok = Verify(true, errors);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  if (ok) {
    *isOK = VARIANT_TRUE;
    return S_OK;
  }
  *errorMsg = ToBstr(errors);
  if (!*errorMsg) return E_OUTOFMEMORY;
  *isOK = VARIANT_FALSE;
  return S_OK;
}

void CVTBaseRefList::Build(std::string_view name, XMLBuilderInterface& builder) {
  for (const ComPtr<CVTBaseRef>& ref : refs_) ref->Build(name, builder);
}

bool CVTBaseRefList::HasContent() {
  for (const ComPtr<CVTBaseRef>& ref : refs_)
    if (ref->HasContent()) return true;
  return false;
}

bool CVTBaseRefList::Verify(bool required, std::string& errors) {
  if (!required || HasContent()) return true;
  errors.append(MessageText(kMsgListIsEmpty));
  return false;
}

SAXParseable* CVTBaseRefList::HandleAggregate(int tag) {
  // The owner routes only the list's own elements here: each one is a new entry.
  CVTBaseRef* ref = AppendNew();
  if (!ref)
    throw SAXParseHandlerException(
        Format("CVTBaseRefList::HandleAggregate() unexpected agg tag id %d.", tag));
  return ref;
}

void CVTBaseRefList::HandleElement(int tag, const std::string* value) {
  throw SAXParseHandlerException(
      Format("CVTBaseRefList::HandleElement unexpected tag = %d with value %s.", tag,
             value ? value->c_str() : "Unknown value"));
}

void CVTBaseRefList::HandleAttribute(int tag, const std::string* value) {
  throw SAXParseHandlerException(
      Format("CVTBaseRefList::HandleAttribute unexpected tag = %d with value %s.", tag,
             value ? value->c_str() : "Unknown value"));
}

}  // namespace vtfc4
