// What the answer targets share: a read object walked as a client reads it, every member
// through its getter, records and their lists down to the values, then verified.
#ifndef VTFC4_FUZZ_OBJECT_WALK_H
#define VTFC4_FUZZ_OBJECT_WALK_H

#include "src/catalogue/engine.h"
#include "vtfc4/vtfc4.h"

namespace vtfc4::fuzz {

// Records nest as deep as the catalogue's classes do; the bound only guards the walk.
constexpr int kMaxDepth = 64;

inline void ReadObjectType(IObjectType* type) {
  if (!type) return;
  SHORT value = 0;
  type->GetValue(&value);
  Bstr name;
  type->GetAsString(name.Put());
}

inline void ReadProperty(IBasicPropertyType* value) {
  VARIANT_BOOL flag = VARIANT_FALSE;
  value->IsSet(&flag);
  value->IsEmpty(&flag);
}

// Member `index` of `record` through its getter as interface I; null when it is not there.
template <class I>
inline ComPtr<I> Member(CatalogueBase& record, size_t index) {
  ComPtr<I> member;
  record.GetMemberCom(index, iid_of<I>(), member.PutVoid());
  if (member) ReadProperty(member.Get());
  return member;
}

template <class I, class V>
inline void ReadValue(CatalogueBase& record, size_t index) {
  if (ComPtr<I> member = Member<I>(record, index)) {
    V value{};
    member->GetValue(&value);
  }
}

template <class I>
inline void ReadText(CatalogueBase& record, size_t index) {
  if (ComPtr<I> member = Member<I>(record, index)) {
    Bstr text;
    member->GetValue(text.Put());
  }
}

template <class I>
inline void ReadDecimal(CatalogueBase& record, size_t index) {
  if (ComPtr<I> member = Member<I>(record, index)) {
    double value = 0;
    member->GetValue(&value);
    Bstr text;
    member->GetAsString(text.Put());
  }
}

inline void WalkBase(IVTBase* base, int depth);

// A list class's entries are handed out only through its typed interface, which a generic walk
// does not know; the operation behind every typed GetAt is reached through a member pointer,
// the access a derived class may give.
struct ListEntries : CatalogueListCore {
  static constexpr auto kGetAt = &ListEntries::GetAtCom;
};

inline void WalkList(CatalogueListCore& list, int depth) {
  const size_t count = list.Count();
  for (size_t i = 0; i < count; ++i) {
    ComPtr<IVTBase> entry;
    (list.*ListEntries::kGetAt)(static_cast<LONG>(i), IID_IVTBase, entry.PutVoid());
    WalkBase(entry.Get(), depth + 1);
  }
}

inline void WalkRecord(CatalogueBase& record, int depth) {
  const CatalogueClass& c = record.Class();
  for (size_t i = 0; i < c.info.memberCount; ++i) {
    // A client reads what the edition of its answer has.
    if (!record.Available(i)) continue;
    switch (c.rules[i].type) {
      case ValueType::kString: ReadText<IVTStringType>(record, i); break;
      case ValueType::kGUID: ReadText<IVTGUIDType>(record, i); break;
      case ValueType::kInt: ReadValue<IVTIntType, LONG>(record, i); break;
      case ValueType::kBool: ReadValue<IVTBoolType, VARIANT_BOOL>(record, i); break;
      case ValueType::kDate: ReadValue<IVTDateType, DATE>(record, i); break;
      case ValueType::kAmount: ReadDecimal<IVTAmountType>(record, i); break;
      case ValueType::kPrice: ReadDecimal<IVTPriceType>(record, i); break;
      case ValueType::kPercent: ReadDecimal<IVTPercentType>(record, i); break;
      case ValueType::kQuan: ReadDecimal<IVTQuanType>(record, i); break;
      case ValueType::kFloat:
        if (ComPtr<IVTFloatType> value = Member<IVTFloatType>(record, i)) {
          float number = 0;
          value->GetValue(&number);
          Bstr text;
          value->GetAsString(text.Put());
        }
        break;
      case ValueType::kDateTime:
        if (ComPtr<IVTDateTimeType> value = Member<IVTDateTimeType>(record, i)) {
          DATE date = 0;
          value->GetValue(&date);
          SHORT hours = 0, minutes = 0;
          value->GetTimeZone(&hours, &minutes);
        }
        break;
      case ValueType::kInterval:
        if (ComPtr<IVTTimeIntervalType> value = Member<IVTTimeIntervalType>(record, i)) {
          SHORT hours = 0, minutes = 0, seconds = 0;
          value->GetValue(&hours, &minutes, &seconds);
        }
        break;
      case ValueType::kID:
        if (ComPtr<IVTIDType> value = Member<IVTIDType>(record, i)) {
          Bstr text, macro;
          value->GetValue(text.Put());
          value->GetValueUseMacro(macro.Put());
          VARIANT_BOOL flag = VARIANT_FALSE;
          value->IsSetUseMacro(&flag);
        }
        break;
      case ValueType::kEnum:
        // Each enumeration has an interface of its own; what they share is read.
        Member<IBasicPropertyType>(record, i);
        break;
      case ValueType::kRef:
      case ValueType::kAggregate:
      case ValueType::kStringList:
      case ValueType::kGUIDList:
      case ValueType::kEnumList:
      case ValueType::kAggregateList:
      case ValueType::kRefList: {
        ComPtr<IVTBase> member;
        record.GetMemberCom(i, IID_IVTBase, member.PutVoid());
        WalkBase(member.Get(), depth + 1);
        break;
      }
    }
  }
}

inline void WalkTexts(IBSTRList* list) {
  LONG count = 0;
  list->get_Count(&count);
  for (LONG i = 0; i <= count; ++i) {  // one past the end is refused
    Bstr text;
    list->GetAt(i, text.Put());
  }
}

inline void WalkBase(IVTBase* base, int depth) {
  if (!base || depth > kMaxDepth) return;
  ComPtr<IObjectType> type;
  base->get_Type(type.Put());
  ReadObjectType(type.Get());
  ComPtr<IVTBaseRef> ref;
  ComPtr<IBSTRList> texts;
  ComPtr<IGUIDList> guids;
  if (auto* record = dynamic_cast<CatalogueBase*>(base)) {
    WalkRecord(*record, depth);
  } else if (auto* list = dynamic_cast<CatalogueListCore*>(base)) {
    WalkList(*list, depth);
  } else if (SUCCEEDED(base->QueryInterface(IID_IVTBaseRef, ref.PutVoid()))) {
    ComPtr<IVTIDType> id;
    ComPtr<IVTStringType> name;
    Bstr a, b;
    if (SUCCEEDED(ref->get_ListID(id.Put())) && id) id->GetValue(a.Put());
    if (SUCCEEDED(ref->get_FullName(name.Put())) && name) name->GetValue(b.Put());
  } else if (SUCCEEDED(base->QueryInterface(IID_IBSTRList, texts.PutVoid()))) {
    WalkTexts(texts.Get());
  } else if (SUCCEEDED(base->QueryInterface(IID_IGUIDList, guids.PutVoid()))) {
    LONG count = 0;
    guids->get_Count(&count);
    for (LONG i = 0; i < count; ++i) {
      Bstr text;
      guids->GetAt(i, text.Put());
    }
  }
  // Verifying turns every value still kept as text into its value object: after the getters,
  // so that both roads are taken.
  Bstr errors;
  VARIANT_BOOL ok = VARIANT_FALSE;
  base->Verify(errors.Put(), &ok);
}

inline void WalkResponse(IResponse* response) {
  LONG number = 0;
  response->get_StatusCode(&number);
  response->get_retCount(&number);
  Bstr severity, message;
  response->get_StatusSeverity(severity.Put());
  response->get_StatusMessage(message.Put());
  ComPtr<IResponseType> type;
  response->get_Type(type.Put());
  ReadObjectType(type.Get());
  ComPtr<IVTBase> detail;
  response->get_Detail(detail.Put());
  WalkBase(detail.Get(), 0);
}

// Every response of a list; false when the list answered an index one past its end.
inline bool WalkResponseList(IResponseList* list) {
  LONG count = 0;
  list->get_Count(&count);
  for (LONG i = 0; i <= count; ++i) {  // one past the end is refused
    ComPtr<IResponse> response;
    if (SUCCEEDED(list->GetAt(i, response.Put())) && response) {
      if (i == count) return false;
      WalkResponse(response.Get());
    }
  }
  return true;
}

}  // namespace vtfc4::fuzz

#endif  // VTFC4_FUZZ_OBJECT_WALK_H
