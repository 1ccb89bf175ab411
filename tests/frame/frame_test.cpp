// The library as a COM server, seen from a client of the shared library alone: the class
// factory and the module's lock count, self-registration and the keys it writes, creation by
// ProgID, the registered type library, and the main road driven by name only, through
// IDispatch, against the sandbox's real processor.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "vtfc4/vtfc4.h"

using vtfc4::Bstr;
using vtfc4::ComPtr;

namespace {

std::string Narrow(BSTR text) {
  std::string out;
  for (UINT i = 0; text && i < SysStringLen(text); ++i) out += static_cast<char>(text[i]);
  return out;
}

Bstr Wide(const std::string& text) {
  const std::u16string wide(text.begin(), text.end());
  return Bstr(wide.c_str());
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class Frame : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vtfc4-frame-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    folder_ = pattern;
    registry_ = folder_ + "/registry";
    setenv("VTFC4_REGISTRY", registry_.c_str(), 1);
    setenv("VTFC4_COMMON_APPDATA", (folder_ + "/appdata").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("VTFC4_REGISTRY");
    unsetenv("VTFC4_COMMON_APPDATA");
    std::system(("rm -rf '" + folder_ + "'").c_str());
  }
  std::string folder_, registry_;
};

TEST_F(Frame, TheClassFactoryAndTheModuleLock) {
  ComPtr<IClassFactory> first, second;
  ASSERT_EQ(DllGetClassObject(CLSID_VTSessionManager, IID_IClassFactory, first.PutVoid()), S_OK);
  ASSERT_EQ(DllGetClassObject(CLSID_VTSessionManager, IID_IClassFactory, second.PutVoid()), S_OK);
  EXPECT_EQ(first.Get(), second.Get()) << "the factory is made once";
  ComPtr<IUnknown> none;
  EXPECT_EQ(DllGetClassObject(IID_IDispatch, IID_IClassFactory, none.PutVoid()), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(DllGetClassObject(CLSID_VTSessionManager, IID_IClassFactory, nullptr), E_POINTER);
  // An outer object may ask for IUnknown only.
  ComPtr<IUnknown> outer, aggregated;
  ASSERT_EQ(first->CreateInstance(nullptr, IID_IUnknown, outer.PutVoid()), S_OK);
  EXPECT_EQ(first->CreateInstance(outer.Get(), IID_IDispatch, aggregated.PutVoid()), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(aggregated.Get(), nullptr);
  outer.Reset();

  // Every object holds the module: a response outlives its manager, and so does the lock.
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  ComPtr<IVTSessionManager> manager;
  ASSERT_EQ(first->CreateInstance(nullptr, IID_IVTSessionManager, manager.PutVoid()), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  ComPtr<IMsgSetResponse> response;
  const std::string text =
      "<?xml version=\"1.0\" ?>\r\n<VTXML>\r\n<VTXMLMsgsRs>\r\n<CustomerQueryRs statusCode=\"1\" "
      "statusSeverity=\"Info\" statusMessage=\"none\"/>\r\n</VTXMLMsgsRs>\r\n</VTXML>\r\n";
  ASSERT_EQ(manager->ToMsgSetResponse(Wide(text).Get(), Wide("US").Get(), 4, 0, response.Put()), S_OK);
  manager.Reset();
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "the response still lives";
  response.Reset();
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  EXPECT_EQ(first->LockServer(1), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  EXPECT_EQ(first->LockServer(0), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(Frame, RegistrationWritesItsKeysAndTakesThemAway) {
  ASSERT_EQ(DllRegisterServer(), S_OK);
  // The keys, each with its value; the module by its full path.
  Dl_info self{};
  ASSERT_TRUE(dladdr(reinterpret_cast<void*>(&DllRegisterServer), &self));
  const std::string module = self.dli_fname;
  OLECHAR text[39];
  StringFromGUID2(LIBID_VTFC4Lib, text, 39);
  const std::string libid = Narrow(Bstr(text).Get());
  const std::string written = ReadAll(registry_);
  // Both rows of the object map; the online manager registers without a threading model.
  struct Row {
    const CLSID& clsid;
    std::string progID, name;
    bool apartment;
  };
  for (const Row& row : {Row{CLSID_VTSessionManager, "VTFC4.VTSessionManager", "VTSessionManager", true},
                         Row{CLSID_VTOESessionManager, "VtFC4.VTOESessionManager", "VTOESessionManager", false}}) {
    StringFromGUID2(row.clsid, text, 39);
    const std::string clsid = Narrow(Bstr(text).Get());
    const std::string key = "CLSID\\\\" + clsid;
    const std::string title = row.name + " Class";
    for (const std::string& line : {
             row.progID + ".1\t\t" + title,
             row.progID + ".1\\\\CLSID\t\t" + clsid,
             row.progID + "\t\t" + title,
             row.progID + "\\\\CLSID\t\t" + clsid,
             row.progID + "\\\\CurVer\t\t" + row.progID + ".1",
             key + "\t\t" + title,
             key + "\\\\ProgID\t\t" + row.progID + ".1",
             key + "\\\\VersionIndependentProgID\t\t" + row.progID,
             key + "\\\\Programmable",
             key + "\\\\InprocServer32\t\t" + module,
             key + "\\\\TypeLib\t\t" + libid,
         })
      EXPECT_NE(written.find(line + "\n"), std::string::npos) << line << "\n" << written;
    EXPECT_EQ(written.find(key + "\\\\InprocServer32\tThreadingModel\tApartment\n") != std::string::npos,
              row.apartment)
        << row.name;
    for (const std::string& progID : {row.progID, row.progID + ".1"}) {
      CLSID found{};
      ASSERT_EQ(CLSIDFromProgID(Wide(progID).Get(), &found), S_OK) << progID;
      EXPECT_TRUE(IsEqualGUID(found, row.clsid)) << progID;
    }
  }
  for (const std::string& line : {"TypeLib\\\\" + libid + "\\\\1.0\t\tvtFC4 1.0 Type Library",
                                  "TypeLib\\\\" + libid + "\\\\1.0\\\\0\\\\linux64\t\t" + module})
    EXPECT_NE(written.find(line + "\n"), std::string::npos) << line << "\n" << written;

  // Created by class identifier; the type library found through the registry.
  ComPtr<IVTSessionManager> made;
  EXPECT_EQ(CoCreateInstance(CLSID_VTSessionManager, nullptr, CLSCTX_INPROC_SERVER, IID_IVTSessionManager,
                             made.PutVoid()),
            S_OK);
  ComPtr<IVTOESessionManager> online;
  EXPECT_EQ(CoCreateInstance(CLSID_VTOESessionManager, nullptr, CLSCTX_INPROC_SERVER, IID_IVTOESessionManager,
                             online.PutVoid()),
            S_OK);
  ComPtr<ITypeLib> lib;
  ASSERT_EQ(LoadRegTypeLib(LIBID_VTFC4Lib, 1, 0, 0, lib.Put()), S_OK);
  EXPECT_GT(lib->GetTypeInfoCount(), 500u);

  // Unregistering leaves CLSID itself, and twice is no failure.
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(DllUnregisterServer(), S_OK) << round;
    EXPECT_EQ(ReadAll(registry_), "CLSID\n") << round;
  }
  CLSID gone{};
  EXPECT_NE(CLSIDFromProgID(u"VTFC4.VTSessionManager", &gone), S_OK);
  EXPECT_NE(CLSIDFromProgID(u"VtFC4.VTOESessionManager", &gone), S_OK);
}

// ---- Late binding: everything by name.

class Late {
 public:
  explicit Late(IDispatch* object) : object_(object) {}
  // Reads a property, or calls a method, with its arguments in order; its result.
  VARIANT operator()(const char16_t* name, std::vector<VARIANT> args = {}, WORD flags = DISPATCH_METHOD |
                                                                                        DISPATCH_PROPERTYGET) {
    std::u16string n = name;
    LPOLESTR names[] = {n.data()};
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(object_->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK) << Narrow(Bstr(name).Get());
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO exception{};
    const HRESULT hr = object_->Invoke(id, IID_NULL, 0, flags, &params, &result, &exception, nullptr);
    EXPECT_EQ(hr, S_OK) << Narrow(Bstr(name).Get()) << ": " << Narrow(exception.bstrDescription);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrSource);
    for (VARIANT& a : args) VariantClear(&a);
    return result;
  }

 private:
  IDispatch* object_;
};

VARIANT Text(const std::string& text) {
  VARIANT v;
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
  for (size_t i = 0; i < text.size(); ++i) v.bstrVal[i] = static_cast<OLECHAR>(text[i]);
  return v;
}

VARIANT Short(SHORT n) {
  VARIANT v;
  v.vt = VT_I2;
  v.iVal = n;
  return v;
}

VARIANT Object(IDispatch* d) {
  VARIANT v;
  v.vt = VT_DISPATCH;
  v.pdispVal = d;
  d->AddRef();
  return v;
}

TEST_F(Frame, TheMainRoadByNameOnly) {
  // The library and the sandbox's processor registered, as their users register them.
  ASSERT_EQ(DllRegisterServer(), S_OK);
  void* processor = dlopen(VTFC4_SANDBOX_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_TRUE(processor) << dlerror();
  auto registerProcessor = reinterpret_cast<HRESULT (*)()>(dlsym(processor, "DllRegisterServer"));
  ASSERT_TRUE(registerProcessor);
  ASSERT_EQ(registerProcessor(), S_OK);
  const std::string company = folder_ + "/books.vtc";
  ASSERT_EQ(std::system((std::string(VTFC4_SANDBOX_CLI) + " create '" + company + "' > /dev/null").c_str()), 0);

  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(u"VTFC4.VTSessionManager", &clsid), S_OK);
  ComPtr<IDispatch> manager;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, manager.PutVoid()), S_OK);
  Late m(manager.Get());
  m(u"OpenConnection", {Text(""), Text("late binding")});
  VARIANT mode;
  mode.vt = VT_I4;
  mode.lVal = omDontCare;
  m(u"BeginSession", {Text(company), mode});
  VARIANT set = m(u"CreateMsgSetRequest", {Text("US"), Short(4), Short(0)});
  ASSERT_EQ(set.vt, VT_DISPATCH);
  VARIANT add = Late(set.pdispVal)(u"AppendCustomerAddRq");
  VARIANT name = Late(add.pdispVal)(u"Name");
  VARIANT nothing = Late(name.pdispVal)(u"SetValue", {Text("Ames by name")});
  VariantClear(&nothing);
  VARIANT answer = m(u"DoRequests", {Object(set.pdispVal)});
  ASSERT_EQ(answer.vt, VT_DISPATCH);
  VARIANT list = Late(answer.pdispVal)(u"ResponseList");
  VARIANT index;
  index.vt = VT_I4;
  index.lVal = 0;
  VARIANT response = Late(list.pdispVal)(u"GetAt", {index});
  VARIANT status = Late(response.pdispVal)(u"StatusCode");
  EXPECT_EQ(status.vt, VT_I4);
  EXPECT_EQ(status.lVal, 0);
  VARIANT record = Late(response.pdispVal)(u"Detail");
  ASSERT_EQ(record.vt, VT_DISPATCH);
  VARIANT listID = Late(record.pdispVal)(u"ListID");
  VARIANT edit = Late(record.pdispVal)(u"EditSequence");
  VARIANT id = Late(listID.pdispVal)(u"GetValue");
  VARIANT sequence = Late(edit.pdispVal)(u"GetValue");
  EXPECT_EQ(id.vt, VT_BSTR);
  EXPECT_NE(Narrow(id.bstrVal).find('-'), std::string::npos) << Narrow(id.bstrVal);
  EXPECT_FALSE(Narrow(sequence.bstrVal).empty());
  // A property put by name; an array of texts; an object handed back as IUnknown.
  VARIANT on;
  on.vt = VT_BOOL;
  on.boolVal = VARIANT_TRUE;
  std::u16string n = u"EnableErrorRecovery";
  LPOLESTR names[] = {n.data()};
  DISPID enable = DISPID_UNKNOWN;
  ASSERT_EQ(manager->GetIDsOfNames(IID_NULL, names, 1, 0, &enable), S_OK);
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS setting{&on, &put, 1, 1};
  EXPECT_EQ(manager->Invoke(enable, IID_NULL, 0, DISPATCH_PROPERTYPUT, &setting, nullptr, nullptr, nullptr), S_OK);
  VARIANT enabled = m(u"EnableErrorRecovery", {}, DISPATCH_PROPERTYGET);
  EXPECT_EQ(enabled.vt, VT_BOOL);
  EXPECT_EQ(enabled.boolVal, VARIANT_TRUE);
  on.boolVal = VARIANT_FALSE;  // recovery would need an ErrorRecoveryID first
  EXPECT_EQ(manager->Invoke(enable, IID_NULL, 0, DISPATCH_PROPERTYPUT, &setting, nullptr, nullptr, nullptr), S_OK);
  VARIANT versions = m(u"VTXMLVersionsForSession");
  ASSERT_EQ(versions.vt, VT_ARRAY | VT_BSTR);
  LONG upper = -1;
  SafeArrayGetUBound(versions.parray, 1, &upper);
  EXPECT_GE(upper, 0);
  VariantClear(&versions);
  VARIANT asUnknown;
  asUnknown.vt = VT_UNKNOWN;
  asUnknown.punkVal = set.pdispVal;
  set.pdispVal->AddRef();
  VARIANT again = m(u"DoRequests", {asUnknown});
  EXPECT_EQ(again.vt, VT_DISPATCH);
  VariantClear(&again);
  m(u"EndSession");
  m(u"CloseConnection");
  for (VARIANT* v : {&set, &add, &name, &answer, &list, &response, &status, &record, &listID, &edit, &id, &sequence})
    VariantClear(v);
}

}  // namespace
