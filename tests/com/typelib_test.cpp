// The type library and late binding: every function it lists stands at the slot the compiler
// gives it, the dispatch identifiers follow their rules, the library reads as ITypeLib and
// ITypeInfo, and Invoke calls, converts and fails as automation clients expect.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "src/com/text.h"
#include "src/msgset/msgset_request.h"
#include "support.h"
#include "vtfc4/vtfc4.h"

namespace vtfc4 {
namespace {

// The vtable slot of a virtual function (Itanium C++ ABI: on x86-64 a pointer to a virtual
// member holds 1 + its byte offset; on AArch64 the offset, the virtual flag in the adjustment).
template <class M>
int SlotOf(M member) {
  static_assert(sizeof(M) == 2 * sizeof(uintptr_t));
  uintptr_t raw[2];
  std::memcpy(raw, &member, sizeof raw);
#if defined(__aarch64__)
  return (raw[1] & 1) ? static_cast<int>(raw[0] / sizeof(void*)) : -1;
#else
  return (raw[0] & 1) ? static_cast<int>((raw[0] - 1) / sizeof(void*)) : -1;
#endif
}

struct Slot {
  const char* interface;
  const char* function;
  int listed;
  int compiled;
};

TEST(TypeLibrary, EveryInterfaceStandsAtItsSlots) {
  const Slot slots[] = {
#include "vtfc4/gen/typelib_slots.inc"
  };
  size_t wrong = 0;
  for (const Slot& s : slots)
    if (s.listed != s.compiled) {
      ADD_FAILURE() << s.interface << "::" << s.function << " listed at " << s.listed << ", compiled at " << s.compiled;
      if (++wrong > 10) break;
    }
  EXPECT_GT(std::size(slots), 1000u);  // every interface of the catalogue and the hand-written ones
}

ComPtr<ITypeLib> Library() {
  ComPtr<ITypeLib> lib;
  const std::u16string path = ToWide(VTFC4_TLB_PATH);
  EXPECT_EQ(LoadTypeLib(path.c_str(), lib.Put()), S_OK);
  return lib;
}

ComPtr<ITypeInfo> Info(ITypeLib* lib, REFIID iid) {
  ComPtr<ITypeInfo> info;
  EXPECT_EQ(lib->GetTypeInfoOfGuid(iid, info.Put()), S_OK);
  return info;
}

// The dispatch identifier of a member by name, as a client asks for it (any case).
DISPID IdOf(ITypeInfo* info, const char* name) {
  std::u16string wide = ToWide(name);
  LPOLESTR names[] = {wide.data()};
  MEMBERID id = DISPID_UNKNOWN;
  EXPECT_EQ(info->GetIDsOfNames(names, 1, &id), S_OK) << name;
  return id;
}

TEST(TypeLibrary, ReadsAsTheLibraryItDescribes) {
  ComPtr<ITypeLib> lib = Library();
  ASSERT_TRUE(lib);
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, LIBID_VTFC4Lib));
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  lib->ReleaseTLibAttr(attr);
  Bstr name, doc;
  ASSERT_EQ(lib->GetDocumentation(-1, name.Put(), doc.Put(), nullptr, nullptr), S_OK);
  EXPECT_EQ(ToNarrow(name.Get()), "VTFC4Lib");
  EXPECT_EQ(ToNarrow(doc.Get()), "vtFC4 1.0 Type Library");

  // The dispatch identifiers: the value base 1 to 4, a value from 5, an aggregate's members
  // from 4, the appends 7 to 182, the manager's 29 with its property pairs sharing one.
  struct Id {
    const IID& iid;
    const char* member;
    DISPID expected;
  };
  const Id ids[] = {
      {IID_IVTStringType, "IsSet", 1},
      {IID_IVTStringType, "SetEmpty", 4},
      {IID_IVTStringType, "SetValue", 5},
      {IID_IVTStringType, "getmaxlength", 7},
      {IID_ICustomerAdd, "Type", 1},
      {IID_ICustomerAdd, "Name", 4},
      {IID_ICustomerAdd, "IncludeRetElementList", 49},
      {IID_IMsgSetRequest, "RequestList", 5},
      {IID_IMsgSetRequest, "AppendCustomSummaryReportQueryRq", 7},
      {IID_IMsgSetRequest, "AppendDataExtDefQueryRq", 182},
      {IID_IVTSessionManager, "OpenConnection", 1},
      {IID_IVTSessionManager, "EnableErrorRecovery", 20},
      {IID_IVTSessionManager, "SaveAllMsgSetRequestInfo", 21},
      {IID_IVTSessionManager, "VTXMLVersionsForSubscription", 29},
      {IID_IVTAuthPreferences, "PutPersonalDataPref", 7},
      {IID_IAttributesRqSet, "ResponseData", 4},
      {IID_IColDesc, "colID", 6},
  };
  for (const Id& id : ids) EXPECT_EQ(IdOf(Info(lib.Get(), id.iid).Get(), id.member), id.expected) << id.member;

  // A function's description: CreateMsgSetRequest(BSTR, SHORT, SHORT, [out, retval]
  // IMsgSetRequest**) in slot 12.
  ComPtr<ITypeInfo> manager = Info(lib.Get(), IID_IVTSessionManager);
  TYPEATTR* type = nullptr;
  ASSERT_EQ(manager->GetTypeAttr(&type), S_OK);
  EXPECT_EQ(type->typekind, TKIND_DISPATCH);
  EXPECT_TRUE(type->wTypeFlags & TYPEFLAG_FDUAL);
  EXPECT_EQ(type->cFuncs, 31);  // 29 operations, two of them properties of two functions
  manager->ReleaseTypeAttr(type);
  FUNCDESC* f = nullptr;
  ASSERT_EQ(manager->GetFuncDesc(5, &f), S_OK);
  EXPECT_EQ(f->memid, 6);
  EXPECT_EQ(f->invkind, INVOKE_FUNC);
  EXPECT_EQ(f->oVft, 12 * static_cast<SHORT>(sizeof(void*)));
  ASSERT_EQ(f->cParams, 4);
  EXPECT_EQ(f->lprgelemdescParam[0].tdesc.vt, VT_BSTR);
  EXPECT_EQ(f->lprgelemdescParam[1].tdesc.vt, VT_I2);
  const ELEMDESC& out = f->lprgelemdescParam[3];
  EXPECT_EQ(out.paramdesc.wParamFlags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
  ASSERT_EQ(out.tdesc.vt, VT_PTR);
  ASSERT_EQ(out.tdesc.lptdesc->vt, VT_PTR);
  ASSERT_EQ(out.tdesc.lptdesc->lptdesc->vt, VT_USERDEFINED);
  ComPtr<ITypeInfo> returned;
  ASSERT_EQ(manager->GetRefTypeInfo(out.tdesc.lptdesc->lptdesc->hreftype, returned.Put()), S_OK);
  Bstr returnedName;
  returned->GetDocumentation(MEMBERID_NIL, returnedName.Put(), nullptr, nullptr, nullptr);
  EXPECT_EQ(ToNarrow(returnedName.Get()), "IMsgSetRequest");
  manager->ReleaseFuncDesc(f);
  BSTR names[5] = {};
  UINT count = 0;
  ASSERT_EQ(manager->GetNames(6, names, 5, &count), S_OK);
  ASSERT_EQ(count, 5u);
  EXPECT_EQ(ToNarrow(names[0]), "CreateMsgSetRequest");
  EXPECT_EQ(ToNarrow(names[2]), "vtXMLMajorVersion");
  for (BSTR n : names) SysFreeString(n);

  // An enumeration's values; the creatable class and its default interface.
  ComPtr<ITypeInfo> onError;
  MEMBERID found = 0;
  USHORT howMany = 1;
  std::u16string enumName = u"ENRqOnError";
  ASSERT_EQ(lib->FindName(enumName.data(), 0, onError.Put(), &found, &howMany), S_OK);
  ASSERT_EQ(howMany, 1);
  VARDESC* v = nullptr;
  ASSERT_EQ(onError->GetVarDesc(1, &v), S_OK);
  EXPECT_EQ(v->lpvarValue->lVal, roeContinue);
  onError->ReleaseVarDesc(v);
  ComPtr<ITypeInfo> creatable = Info(lib.Get(), CLSID_VTSessionManager);
  HREFTYPE ref = 0;
  ASSERT_EQ(creatable->GetRefTypeOfImplType(0, &ref), S_OK);
  ComPtr<ITypeInfo> primary;
  ASSERT_EQ(creatable->GetRefTypeInfo(ref, primary.Put()), S_OK);
  TYPEATTR* p = nullptr;
  primary->GetTypeAttr(&p);
  EXPECT_TRUE(IsEqualGUID(p->guid, IID_IVTSessionManager));
  primary->ReleaseTypeAttr(p);
}

// ---- Late binding on live objects.

ComPtr<CMsgSetRequest> NewSet() {
  auto set = ComPtr<CMsgSetRequest>::Adopt(MakeObject<CMsgSetRequest>());
  set->Init(4, 0, kCountryUS);
  return set;
}

DISPID Id(IDispatch* object, const char16_t* name) {
  std::u16string n = name;
  LPOLESTR names[] = {n.data()};
  DISPID id = DISPID_UNKNOWN;
  EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK) << ToNarrow(name, n.size());
  return id;
}

// A call by name with its arguments in order (they travel last first), its result and status.
struct Call {
  HRESULT hr;
  VARIANT result;
  EXCEPINFO exception{};
  UINT argError = ~0u;
  ~Call() {
    VariantClear(&result);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
  }
};

std::unique_ptr<Call> Invoke(IDispatch* object, const char16_t* name, WORD flags, std::vector<VARIANT> args = {}) {
  auto call = std::make_unique<Call>();
  VariantInit(&call->result);
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), flags == DISPATCH_PROPERTYPUT ? &put : nullptr,
                    static_cast<UINT>(reversed.size()), flags == DISPATCH_PROPERTYPUT ? 1u : 0u};
  call->hr = object->Invoke(Id(object, name), IID_NULL, 0, flags, &params, &call->result, &call->exception,
                            &call->argError);
  return call;
}

VARIANT Text(const char16_t* text) {
  VARIANT v;
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(text);
  return v;
}

VARIANT Number(LONG n, VARTYPE vt = VT_I4) {
  VARIANT v;
  v.vt = vt;
  if (vt == VT_I2) v.iVal = static_cast<SHORT>(n);
  else if (vt == VT_R8) v.dblVal = n;
  else v.lVal = n;
  return v;
}

TEST(LateBinding, ARequestSetDrivenByName) {
  auto set = NewSet();
  IDispatch* d = static_cast<IMsgSetRequest*>(set.Get());
  // A method returning an object, a property of it, a value set through its method.
  auto add = Invoke(d, u"AppendCustomerAddRq", DISPATCH_METHOD);
  ASSERT_EQ(add->hr, S_OK);
  ASSERT_EQ(add->result.vt, VT_DISPATCH);
  auto name = Invoke(add->result.pdispVal, u"name", DISPATCH_PROPERTYGET);
  ASSERT_EQ(name->hr, S_OK);
  VARIANT ames = Text(u"Ames");
  EXPECT_EQ(Invoke(name->result.pdispVal, u"SetValue", DISPATCH_METHOD, {ames})->hr, S_OK);
  VariantClear(&ames);
  // A property put by its named argument; the document then holds both.
  auto attributes = Invoke(d, u"Attributes", DISPATCH_PROPERTYGET);
  VARIANT continueOn = Number(roeContinue);
  EXPECT_EQ(Invoke(attributes->result.pdispVal, u"OnError", DISPATCH_PROPERTYPUT, {continueOn})->hr, S_OK);
  auto onError = Invoke(attributes->result.pdispVal, u"OnError", DISPATCH_PROPERTYGET);
  EXPECT_EQ(onError->result.vt, VT_I4);
  EXPECT_EQ(onError->result.lVal, roeContinue);
  auto xml = Invoke(d, u"ToXMLString", DISPATCH_METHOD | DISPATCH_PROPERTYGET);
  ASSERT_EQ(xml->result.vt, VT_BSTR);
  const std::string text = ToNarrow(xml->result.bstrVal);
  EXPECT_NE(text.find("<Name>Ames</Name>"), std::string::npos) << text;
  EXPECT_NE(text.find("onError = \"continueOnError\""), std::string::npos) << text;
  // An output through a by-reference argument, the other one returned.
  BSTR report = nullptr;
  VARIANT byRef;
  byRef.vt = VT_BYREF | VT_BSTR;
  byRef.pbstrVal = &report;
  auto verified = Invoke(d, u"Verify", DISPATCH_METHOD, {byRef});
  ASSERT_EQ(verified->hr, S_OK);
  EXPECT_EQ(verified->result.vt, VT_BOOL);
  EXPECT_EQ(verified->result.boolVal, VARIANT_TRUE);
  SysFreeString(report);
}

TEST(LateBinding, ArgumentsConvertAsAutomationConverts) {
  auto set = NewSet();
  IDispatch* d = static_cast<IMsgSetRequest*>(set.Get());
  auto add = Invoke(d, u"AppendInvoiceAddRq", DISPATCH_METHOD);
  auto txnDate = Invoke(add->result.pdispVal, u"TxnDate", DISPATCH_PROPERTYGET);
  auto memo = Invoke(add->result.pdispVal, u"Memo", DISPATCH_PROPERTYGET);
  auto tax = Invoke(add->result.pdispVal, u"Tax1Total", DISPATCH_PROPERTYGET);  // CA only: not there in a US set
  (void)tax;
  auto lines = Invoke(add->result.pdispVal, u"ORInvoiceLineAddList", DISPATCH_PROPERTYGET);
  auto entry = Invoke(lines->result.pdispVal, u"Append", DISPATCH_METHOD);
  auto line = Invoke(entry->result.pdispVal, u"InvoiceLineAdd", DISPATCH_PROPERTYGET);
  auto quantity = Invoke(line->result.pdispVal, u"Quantity", DISPATCH_PROPERTYGET);
  auto amount = Invoke(line->result.pdispVal, u"Amount", DISPATCH_PROPERTYGET);
  auto taxable = Invoke(line->result.pdispVal, u"IsTaxable", DISPATCH_PROPERTYGET);
  struct Case {
    IDispatch* value;
    VARIANT given;
    const char* written;  // what the value writes, or null when the call fails
    HRESULT hr;
  };
  VARIANT date;
  date.vt = VT_DATE;
  date.date = 45000.0;  // 2023-03-15
  VARIANT yes;
  yes.vt = VT_BOOL;
  yes.boolVal = VARIANT_TRUE;
  VARIANT single;
  single.vt = VT_R4;
  single.fltVal = 2.5f;
  const Case cases[] = {
      {quantity->result.pdispVal, Text(u"3"), "3", S_OK},
      {quantity->result.pdispVal, Number(4, VT_I2), "4", S_OK},
      {amount->result.pdispVal, Number(12, VT_R8), "12.00", S_OK},
      {amount->result.pdispVal, single, "2.50", S_OK},
      {amount->result.pdispVal, Text(u"twelve"), nullptr, DISP_E_TYPEMISMATCH},
      {taxable->result.pdispVal, yes, "1", S_OK},
      {taxable->result.pdispVal, Text(u"false"), "0", S_OK},
      {txnDate->result.pdispVal, date, "2023-03-15", S_OK},
      {txnDate->result.pdispVal, Text(u"2024-12-31"), "2024-12-31", S_OK},
      {memo->result.pdispVal, Number(42), "42", S_OK},
  };
  for (const Case& c : cases) {
    VARIANT given = c.given;
    auto call = Invoke(c.value, u"SetValue", DISPATCH_METHOD, {given});
    EXPECT_EQ(call->hr, c.hr) << (c.written ? c.written : "refused");
    if (call->hr == DISP_E_TYPEMISMATCH) {
      EXPECT_EQ(call->argError, 0u);
    }
    if (c.written) {
      auto xml = Invoke(d, u"ToXMLString", DISPATCH_METHOD);
      EXPECT_NE(ToNarrow(xml->result.bstrVal).find(std::string(">") + c.written + "<"), std::string::npos)
          << c.written;
    }
    if (given.vt == VT_BSTR) SysFreeString(given.bstrVal);
  }
}

TEST(LateBinding, TheAutomationErrors) {
  auto set = NewSet();
  IDispatch* d = static_cast<IMsgSetRequest*>(set.Get());
  std::u16string unknown = u"NoSuchMember";
  LPOLESTR names[] = {unknown.data()};
  DISPID id = 0;
  EXPECT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(d->Invoke(999, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
  // A put of a property that has only a get.
  EXPECT_EQ(d->Invoke(Id(d, u"RequestList"), IID_NULL, 0, DISPATCH_PROPERTYPUT, &none, &result, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  VARIANT extra = Number(1);
  EXPECT_EQ(Invoke(d, u"ClearRequests", DISPATCH_METHOD, {extra})->hr, DISP_E_BADPARAMCOUNT);
  // A named argument that names no parameter; an argument left out (VT_ERROR).
  auto attributes = Invoke(d, u"Attributes", DISPATCH_PROPERTYGET);
  VARIANT value = Number(roeStop);
  DISPID wrongName = 7;
  DISPPARAMS named{&value, &wrongName, 1, 1};
  UINT argError = 99;
  EXPECT_EQ(attributes->result.pdispVal->Invoke(Id(attributes->result.pdispVal, u"OnError"), IID_NULL, 0,
                                                 DISPATCH_PROPERTYPUT, &named, nullptr, nullptr, &argError),
            DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(argError, 0u);
  VARIANT missing;
  missing.vt = VT_ERROR;
  missing.scode = DISP_E_PARAMNOTFOUND;
  auto left = Invoke(attributes->result.pdispVal, u"OnError", DISPATCH_PROPERTYPUT, {missing});
  EXPECT_EQ(left->hr, DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(left->argError, 0u);
  // A failure of the object: its error information in EXCEPINFO.
  auto add = Invoke(d, u"AppendCustomerAddRq", DISPATCH_METHOD);
  auto name = Invoke(add->result.pdispVal, u"Name", DISPATCH_PROPERTYGET);
  VARIANT tooLong = Text(std::u16string(500, u'x').c_str());
  auto failed = Invoke(name->result.pdispVal, u"SetValue", DISPATCH_METHOD, {tooLong});
  VariantClear(&tooLong);
  EXPECT_EQ(failed->hr, DISP_E_EXCEPTION);
  EXPECT_EQ(failed->exception.scode, kTooLongStatus);
  EXPECT_EQ(ToNarrow(failed->exception.bstrDescription), "String too long.");
}

}  // namespace
}  // namespace vtfc4
