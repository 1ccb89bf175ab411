#include "src/catalogue/engine.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "src/com/error.h"
#include "src/com/text.h"
#include "src/core/dates.h"
#include "src/core/enums.h"
#include "src/core/identifiers.h"
#include "src/core/references.h"
#include "src/core/values.h"

namespace vtfc4 {

// An object finds its class from the ClassInfo it was made with (CatalogueBase::Class).
static_assert(std::is_standard_layout_v<CatalogueClass> && offsetof(CatalogueClass, info) == 0);

// Four bytes of header per value: the way to the object's next entry, in steps of two bytes
// (an object's entries lie close together in the store: only the values of the records it
// holds come between), and the member index with the text's length. A value that does not fit
// (a text of more than kMaxLength bytes, an entry too far from the object's last) gets its
// value object at once.
struct CatalogueBase::KeptText {
  static constexpr uint32_t kMemberBits = 6;  // members 0..63, as the mask follows them
  static constexpr size_t kMaxLength = (size_t{1} << (16 - kMemberBits)) - 1;
  static constexpr intptr_t kStep = 2;  // the entries' alignment

  int16_t next;  // steps from this entry to the next; 0 for the last
  uint16_t memberAndLength;
  char text[1];  // Length() bytes

  size_t Member() const { return memberAndLength & ((1u << kMemberBits) - 1); }
  size_t Length() const { return memberAndLength >> kMemberBits; }
  std::string_view Text() const { return std::string_view(text, Length()); }
  KeptText* Next() const {
    return next ? reinterpret_cast<KeptText*>(reinterpret_cast<uintptr_t>(this) + next * kStep) : nullptr;
  }
};

// The values clients hold now, of every object of one answer, each with its object, member
// and kept text. Clients read a value and let it go before the next, so this is nearly always
// empty or holds one entry; past kMaxHeld, the oldest goes to its aggregate's slot for good,
// which keeps every search short (a client holding that many values holds their objects
// anyway).
class CatalogueBase::HeldValues final : public WeakHolder {
 public:
  static constexpr size_t kMaxHeld = 16;

  ObjectRoot* Find(const CatalogueBase* owner, size_t index) const {
    for (const Entry& e : entries_)
      if (e.owner == owner && e.index == index) return e.value;
    return nullptr;
  }

  void Add(CatalogueBase* owner, size_t index, ObjectRoot* value, const KeptText* text) {
    entries_.push_back(Entry{owner, static_cast<uint32_t>(index), value, text});
    value->AsValue()->SetHolder(this);
    if (entries_.size() > kMaxHeld) {
      const Entry oldest = entries_.front();
      entries_.erase(entries_.begin());
      oldest.value->AsValue()->SetHolder(nullptr);
      oldest.owner->slots_.Set(oldest.index, oldest.value);
    }
  }

  // Hands the value of (owner, index) to its slot: null when there is none.
  ObjectRoot* Settle(CatalogueBase* owner, size_t index) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->owner != owner || it->index != index) continue;
      ObjectRoot* value = it->value;
      entries_.erase(it);
      value->AsValue()->SetHolder(nullptr);
      owner->slots_.Set(index, value);
      return value;
    }
    return nullptr;
  }

  // An aggregate goes: the values its clients still hold live on without it.
  void Forget(const CatalogueBase* owner) {
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (it->owner != owner) {
        ++it;
        continue;
      }
      it->value->AsValue()->SetHolder(nullptr);
      it = entries_.erase(it);
    }
  }

  // The client let the value go: forgotten when unchanged, else its aggregate keeps it.
  bool Keep(BasicPropertyType* value) override {
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [value](const Entry& e) { return e.value->AsValue() == value; });
    if (it == entries_.end()) return false;
    const Entry e = *it;
    entries_.erase(it);
    value->SetHolder(nullptr);
    if (Unchanged(e)) return false;
    try {
      e.owner->slots_.Set(e.index, e.value);
    } catch (const std::bad_alloc&) {
      return false;  // nowhere to keep the change
    }
    return true;
  }

 private:
  struct Entry {
    CatalogueBase* owner;
    uint32_t index;
    ObjectRoot* value;
    const KeptText* text;
  };

  // True when the value is what its kept text makes: set, not empty, no macro, and writing
  // what a value made again from the text would write. Most values write their text as it
  // came; a few write it otherwise ("true" as "1"), and only those are made again to compare.
  static bool Unchanged(const Entry& e) {
    const BasicPropertyType* value = e.value->AsValue();
    std::string scratch;
    std::string_view now;
    if (!value->IsSet() || value->IsEmptyValue() || value->IsUseMacro() || !value->XMLText(scratch, now))
      return false;
    if (now == e.text->Text()) return true;
    RootRef fresh(e.owner->Create(e.index));
    if (!fresh) return false;
    fresh->ReleaseRoot();  // RootRef holds its own reference
    BasicPropertyType* again = fresh->AsValue();
    again->SetXMLValue(e.text->Text());
    std::string scratchAgain;
    std::string_view then;
    return again->XMLText(scratchAgain, then) && then == now;
  }
  std::vector<Entry> entries_;
};

bool CatalogueBase::Available(size_t index) const {
  const MemberRule& s = Class().rules[index];
  // The country test applies to every object, request or response.
  if (context_ && s.country != kAnyCountry) {
    const bool isCA = context_->country == kCountryCA;
    if ((s.country == kNotCA && isCA) || (s.country == kCAOnly && !isCA)) return false;
  }
  // Versions bound what a request may hold; a response holds what the application sent.
  if (!isRequest_) return true;
  if ((s.fromMajor || s.fromMinor) && FAILED(CheckMinVersion(s.fromMajor, s.fromMinor))) return false;
  if ((s.untilMajor || s.untilMinor) && FAILED(CheckMaxVersion(s.untilMajor, s.untilMinor))) return false;
  return true;
}

HRESULT CatalogueBase::CheckAvailable(size_t index) const {
  return Available(index) ? S_OK : ReportError(kMsgFeatureNotSupported, kNotSupported);
}

ObjectRoot* CatalogueBase::Create(size_t index) const {
  const MemberRule& s = Class().rules[index];
  // Text limits come in two columns: the online edition has its own.
  const bool online = context_ && context_->country == kCountryOnline;
  const int32_t limit = online ? s.second : s.first;
  const int16_t major = context_ ? context_->major : 0;
  switch (s.type) {
    case ValueType::kString: return NewStringValue(limit);
    case ValueType::kInt: return NewIntValue(s.first, s.second);
    case ValueType::kFloat: return NewFloatValue();
    case ValueType::kAmount: return NewAmountValue();
    case ValueType::kPrice: return NewPriceValue();
    case ValueType::kPercent: return NewPercentValue();
    case ValueType::kQuan: return NewQuanValue();
    case ValueType::kBool: return NewBoolValue();
    case ValueType::kDate: return NewDateValue();
    case ValueType::kDateTime:
      return NewDateTimeValue((s.flags & kDateOnlyBelowV2) && context_ && major < 2);
    case ValueType::kInterval: return NewTimeIntervalValue();
    case ValueType::kID: return NewIDValue((s.flags & kMacroFromV2) && context_ && major >= 2);
    case ValueType::kGUID: return NewGUIDValue();
    case ValueType::kEnum: return NewEnumValue(static_cast<EnumId>(s.ref));
    case ValueType::kRef: return NewVTBaseRef(limit, isRequest_, context_);
    case ValueType::kAggregate: return kCatalogue[s.ref].factory(isRequest_, context_);
    case ValueType::kStringList: return NewBSTRList(limit);
    case ValueType::kGUIDList: return NewGUIDList();
    case ValueType::kEnumList: return NewEnumList(static_cast<EnumId>(s.ref));
    case ValueType::kAggregateList: return kCatalogueLists[s.ref].factory(isRequest_, context_);
    case ValueType::kRefList: return NewVTBaseRefList(limit, isRequest_);
  }
  return nullptr;
}

HRESULT CatalogueBase::GetMemberCom(size_t index, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (HRESULT hr = CheckAvailable(index); FAILED(hr)) return hr;
  ObjectRoot* held = slots_.Get(index);
  if (!held) {
    // A response object read by the client: a value the response held is made from its kept
    // text on its first read, and is the same object as long as anyone holds it; what the
    // response lacked is handed out as null.
    if (!isRequest_) {
      if (ObjectRoot* reading = HeldValue(index)) return reading->QueryRoot(iid, out);
      const KeptText* kept = FindParsedText(index);
      if (!kept) return S_OK;
      ObjectRoot* made = Create(index);
      if (!made) return E_OUTOFMEMORY;
      made->AsValue()->SetXMLValue(kept->Text());
      void* face = made->InterfaceOf(iid);
      if (!face) {
        made->ReleaseRoot();
        return E_NOINTERFACE;
      }
      try {
        if (!context_->held) context_->held = std::make_unique<HeldValues>();
        static_cast<HeldValues*>(context_->held.get())->Add(this, index, made, kept);
      } catch (const std::bad_alloc&) {
        made->ReleaseRoot();
        return E_OUTOFMEMORY;
      }
      *out = face;  // with the maker's reference
      return S_OK;
    }
    held = CreateInSlot(index);
    if (!held) return E_OUTOFMEMORY;
  }
  return held->QueryRoot(iid, out);
}

HRESULT CatalogueBase::OrType(int32_t* out) const {
  if (!out) return E_POINTER;
  *out = -1;
  int position = 0;
  for (size_t i = 0; i < info_->memberCount; ++i) {
    const MemberDescriptor& m = info_->members[i];
    if (m.attribute) continue;
    if (m.tag == lastMemberTag_) {
      *out = position;
      break;
    }
    ++position;
  }
  return S_OK;
}

int CatalogueBase::Route(int tag) const {
  const TagRoute* begin = Class().routes;
  const TagRoute* end = begin + Class().routeCount;
  const TagRoute* it = std::lower_bound(begin, end, tag, [](const TagRoute& r, int t) { return r.tag < t; });
  return it != end && it->tag == tag ? it->member : -1;
}

ObjectRoot* CatalogueBase::ParsedMember(size_t index) {
  // A member the getter would refuse (its country or version) is an unexpected element here;
  // the parse reports it as such, so no error object is made for it.
  if (!Available(index)) return nullptr;
  if (ObjectRoot* held = slots_.Get(index)) return held;
  if (ObjectRoot* made = CreateInSlot(index)) return made;
  throw std::bad_alloc();
}

ObjectRoot* CatalogueBase::CreateInSlot(size_t index) {
  ObjectRoot* made = Create(index);
  if (!made) return nullptr;
  Fill(index, made);
  made->ReleaseRoot();  // the slot holds it
  return made;
}

SAXParseable* CatalogueBase::HandleAggregate(int tag) {
  const int i = Route(tag);
  if (i < 0) return VTCoreBase::HandleAggregate(tag);
  const MemberDescriptor& m = info_->members[i];
  const bool direct = m.tag == tag;
  // A value or a list of values never takes an element with children.
  if (direct && (m.kind == MemberKind::kValue || m.kind == MemberKind::kValueList))
    return VTCoreBase::HandleAggregate(tag);
  ObjectRoot* member = ParsedMember(static_cast<size_t>(i));
  SAXParseable* face = member ? member->AsParseable() : nullptr;
  if (!face) return VTCoreBase::HandleAggregate(tag);
  // A group or an OR choice has no element of its own: its members' elements arrive here and
  // are passed on to it. Lists create their entry themselves.
  SAXParseable* handler =
      direct && m.kind == MemberKind::kAggregate ? face : face->HandleAggregate(tag);
  lastMemberTag_ = m.tag;
  return handler;
}

void CatalogueBase::HandleElement(int tag, const std::string* value) {
  const int i = Route(tag);
  if (i < 0) return VTCoreBase::HandleElement(tag, value);
  const MemberDescriptor& m = info_->members[i];
  const bool direct = m.tag == tag;
  if (direct && m.kind == MemberKind::kAggregate) return VTCoreBase::HandleElement(tag, value);
  // A value of a response is kept as text, once per member: a repeated element (or a member
  // beyond the 64 that the mask follows) gets its value object at once.
  if (direct && m.kind == MemberKind::kValue && !isRequest_ && context_ && !slots_.Get(static_cast<size_t>(i)) && i < 64 &&
      !(kept_ & (uint64_t{1} << i))) {
    // The country test still decides whether the element belongs here.
    if (!Available(static_cast<size_t>(i))) return VTCoreBase::HandleElement(tag, value);
    if (KeepParsedText(static_cast<size_t>(i), value ? std::string_view(*value) : std::string_view())) {
      lastMemberTag_ = m.tag;
      return;
    }
  }
  ObjectRoot* member = ParsedMember(static_cast<size_t>(i));
  if (!member) return VTCoreBase::HandleElement(tag, value);
  if (direct && m.kind == MemberKind::kValue) {
    BasicPropertyType* v = member->AsValue();
    if (!v) throw SAXParseHandlerException("Internal error.");
    v->SetXMLValue(value ? std::string_view(*value) : std::string_view());
  } else {
    SAXParseable* face = member->AsParseable();
    if (!face) throw SAXParseHandlerException("Internal error.");
    face->HandleElement(tag, value);
  }
  lastMemberTag_ = m.tag;
}

void CatalogueBase::HandleAttribute(int tag, const std::string* value) {
  for (size_t i = 0; i < info_->memberCount; ++i) {
    const MemberDescriptor& m = info_->members[i];
    if (!m.attribute || m.tag != tag) continue;
    ObjectRoot* member = ParsedMember(i);
    BasicPropertyType* v = member ? member->AsValue() : nullptr;
    if (!v) break;
    v->SetXMLValue(value ? std::string_view(*value) : std::string_view());
    return;
  }
  if (Class().flags & kResponseElement)
    throw SAXParseHandlerException(
        Format("Response:unexpected tag = %d with value %s.", tag, value ? value->c_str() : "Unknown value"));
  VTCoreBase::HandleAttribute(tag, value);
}

// ---- Parsed values kept as text.

bool CatalogueBase::KeepParsedText(size_t index, std::string_view text) {
  static_assert(alignof(KeptText) == KeptText::kStep);
  if (text.size() > KeptText::kMaxLength) return false;
  if (!context_->texts) context_->texts = std::make_unique<TextArena>();
  auto* entry = static_cast<KeptText*>(
      context_->texts->Allocate(offsetof(KeptText, text) + text.size(), alignof(KeptText)));
  if (KeptText* tail = cursor_) {
    const intptr_t steps = (reinterpret_cast<intptr_t>(entry) - reinterpret_cast<intptr_t>(tail)) / KeptText::kStep;
    // Too far to chain (another block of the store, or a large record in between): the few
    // bytes taken stay unused.
    if (steps < INT16_MIN || steps > INT16_MAX) return false;
    tail->next = static_cast<int16_t>(steps);
  } else {
    keptHead_ = entry;
  }
  entry->next = 0;
  entry->memberAndLength = static_cast<uint16_t>(index | (text.size() << KeptText::kMemberBits));
  if (!text.empty()) std::memcpy(entry->text, text.data(), text.size());
  cursor_ = entry;
  kept_ |= uint64_t{1} << index;
  return true;
}

const CatalogueBase::KeptText* CatalogueBase::FindParsedText(size_t index) const {
  if (index >= 64 || !(kept_ & (uint64_t{1} << index))) return nullptr;
  // From where the last search ended, around to it.
  KeptText* start = cursor_ ? cursor_ : keptHead_;
  KeptText* entry = start;
  do {
    if (entry->Member() == index) {
      cursor_ = entry->Next();
      return entry;
    }
    entry = entry->next ? entry->Next() : keptHead_;
  } while (entry != start);
  return nullptr;
}

bool CatalogueBase::MemberText(size_t index, std::string& out) const {
  const ObjectRoot* value = slots_.Get(index);
  if (!value) value = HeldValue(index);
  if (value) {
    const BasicPropertyType* v = const_cast<ObjectRoot*>(value)->AsValue();
    return v && v->GetXMLValue(out);
  }
  const KeptText* kept = FindParsedText(index);
  if (!kept) return false;
  out.assign(kept->Text());
  return true;
}

CatalogueBase::~CatalogueBase() {
  if (context_ && context_->held) static_cast<HeldValues*>(context_->held.get())->Forget(this);
}

ObjectRoot* CatalogueBase::HeldValue(size_t index) const {
  return context_ && context_->held ? static_cast<const HeldValues*>(context_->held.get())->Find(this, index)
                                    : nullptr;
}

void CatalogueBase::Materialize() {
  if (!keptHead_) return;
  const int lastTag = lastMemberTag_;
  for (KeptText* entry = keptHead_; entry; entry = entry->Next()) {
    const size_t member = entry->Member();
    if (slots_.Get(member)) continue;
    // A value a client holds is the member now, changed or not; from here on its slot keeps
    // it, since its text is about to be forgotten.
    if (context_->held && static_cast<HeldValues*>(context_->held.get())->Settle(this, member)) continue;
    ObjectRoot* made = CreateInSlot(member);
    if (!made) throw std::bad_alloc();
    made->AsValue()->SetXMLValue(entry->Text());
  }
  keptHead_ = cursor_ = nullptr;
  kept_ = 0;
  lastMemberTag_ = lastTag;
}

void CatalogueBase::Build(std::string_view name, XMLBuilderInterface& builder) {
  Materialize();
  VTCoreBase::Build(name, builder);
}

bool CatalogueBase::HasContent() {
  Materialize();
  return VTCoreBase::HasContent();
}

bool CatalogueBase::Verify(bool required, std::string& errors) {
  Materialize();
  return VTCoreBase::Verify(required, errors);
}

// ---- Lists.

ObjectRoot* CatalogueListCore::NewEntry() {
  ObjectRoot* made = kCatalogue[list_->item].factory(isRequest_, context_);
  if (!made) return nullptr;
  try {
    entries_.emplace_back(made);
  } catch (const std::bad_alloc&) {
    made->ReleaseRoot();
    return nullptr;
  }
  made->ReleaseRoot();
  return made;
}

void CatalogueListCore::Build(std::string_view name, XMLBuilderInterface& builder) {
  // The next entries are asked for ahead, as an aggregate asks for its members.
  constexpr size_t kAhead = 4;
  for (size_t i = 0; i < entries_.size() && i < kAhead; ++i) __builtin_prefetch(entries_[i].Get());
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (i + kAhead < entries_.size()) __builtin_prefetch(entries_[i + kAhead].Get());
    if (XMLBuildable* b = entries_[i]->AsBuildable()) b->Build(name, builder);
  }
}

bool CatalogueListCore::Verify(bool required, std::string& errors) {
  if (required && entries_.empty()) {
    errors = MessageText(kMsgListIsEmpty);
    return false;
  }
  bool ok = true;
  for (size_t i = 0; i < entries_.size(); ++i) {
    XMLBuildable* b = entries_[i]->AsBuildable();
    std::string entryErrors;
    if (!b || b->Verify(true, entryErrors)) continue;
    // The line of the last failing entry stands.
    errors = Format("element(%d) - %s", static_cast<int>(i), entryErrors.substr(0, 1900).c_str());
    ok = false;
  }
  return ok;
}

SAXParseable* CatalogueListCore::HandleAggregate(int tag) {
  ObjectRoot* entry = NewEntry();
  if (!entry)
    throw SAXParseHandlerException(
        Format("C%s::HandleAggregate() unexpected agg tag id %d.", list_->name, tag));
  SAXParseable* face = entry->AsParseable();
  if (!face) throw SAXParseHandlerException("Internal error.");
  // An OR entry picks its member by the element's name; that member takes the content.
  return list_->parseMode == 1 ? face->HandleAggregate(tag) : face;
}

void CatalogueListCore::HandleElement(int tag, const std::string* value) {
  if (list_->parseMode != 1)
    throw SAXParseHandlerException(Format("C%s::HandleElement unexpected tag = %d with value %s.",
                                          list_->name, tag, value ? value->c_str() : "Unknown value"));
  ObjectRoot* entry = NewEntry();
  SAXParseable* face = entry ? entry->AsParseable() : nullptr;
  if (!face) throw SAXParseHandlerException("Internal error.");
  face->HandleElement(tag, value);
}

void CatalogueListCore::HandleAttribute(int tag, const std::string* value) {
  throw SAXParseHandlerException(Format("C%s::HandleAttribute unexpected tag = %d with value %s.",
                                        list_->name, tag, value ? value->c_str() : "Unknown value"));
}

HRESULT CatalogueListCore::CountCom(LONG* out) const {
  if (!out) return E_POINTER;
  *out = static_cast<LONG>(entries_.size());
  return S_OK;
}

HRESULT CatalogueListCore::GetAtCom(LONG index, REFIID iid, void** out) const {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (index < 0 || static_cast<size_t>(index) >= entries_.size()) return kOutOfRange;
  return entries_[static_cast<size_t>(index)]->QueryRoot(iid, out);
}

HRESULT CatalogueListCore::AppendCom(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  // The lists of a response are read-only.
  if (!isRequest_) return S_OK;
  ObjectRoot* entry = NewEntry();
  if (!entry) return E_OUTOFMEMORY;
  return entry->QueryRoot(iid, out);
}

HRESULT CatalogueListCore::TypeCom(IObjectType** out) {
  if (!out) return E_POINTER;
  if (!type_) {
    HRESULT hr = MakeObjectType(list_->objectType, list_->name, type_.Put());
    if (FAILED(hr)) return hr;
  }
  return type_.CopyTo(out);
}

HRESULT CatalogueListCore::VerifyCom(BSTR* errorMsg, VARIANT_BOOL* isOK) {
  if (!errorMsg || !isOK) return E_POINTER;
  std::string errors;
  if (Verify(true, errors)) {
    *isOK = VARIANT_TRUE;
    return S_OK;
  }
  *errorMsg = ToBstr(errors);
  *isOK = VARIANT_FALSE;
  return S_OK;
}

}  // namespace vtfc4
