// VTXMLRP2: the sandbox's in-process request processor. A client process loads it through the
// registry file (its class identifier names this module) and calls it through
// IRequestProcessor2; each call is carried to the sandbox engine, which keeps company files in
// SQLite. The module takes the COM functions (strings, error objects, arrays) from the process
// that loads it, so that errors set here are the client's current errors.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "processor/component/processor_state.h"
#include "src/com/class_factory.h"
#include "src/com/registrar.h"
#include "src/com/registry.h"
#include "processor/component/utf8.h"
#include "processor/subscriptions.h"
#include "vtfc4/vtfc4.h"

namespace {

// Texts cross to the sandbox as UTF-8, whatever the thread's code page.
std::string Utf8(BSTR text) { return vtfc4::sandbox::Utf8FromBstr(text); }
BSTR Wide(const std::string& text) { return vtfc4::sandbox::BstrFromUtf8(text); }

// Makes the calling thread's error object, with the processor's ProgID as its source.
HRESULT Fail(HRESULT status, const std::string& description) {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create)) && create) {
    BSTR text = Wide(description);
    BSTR source = Wide("VTFC4Sandbox.RequestProcessor2");
    create->SetDescription(text);
    create->SetSource(source);
    SysFreeString(text);
    SysFreeString(source);
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info))) && info) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  return status;
}

std::atomic<LONG> gObjects{0};

using vtfc4::sandbox::Outcome;
using vtfc4::sandbox::Preferences;
using vtfc4::sandbox::ProcessorState;

HRESULT Report(const Outcome& outcome) { return SUCCEEDED(outcome.status) ? outcome.status : Fail(outcome.status, outcome.error); }


// IUnknown and IDispatch of the component's objects, which answer their one interface.
template <class I>
class Object : public I {
 public:
  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IDispatch) && !Answers(riid)) return E_NOINTERFACE;
    *out = static_cast<I*>(this);
    this->AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return refs_.fetch_add(1) + 1; }
  ULONG Release() override {
    const ULONG n = refs_.fetch_sub(1) - 1;
    if (n == 0) delete this;
    return n;
  }
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return count ? S_OK : E_POINTER;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }

 protected:
  Object() { gObjects.fetch_add(1); }
  virtual ~Object() { gObjects.fetch_sub(1); }
  virtual bool Answers(REFIID riid) const = 0;

 private:
  std::atomic<ULONG> refs_{0};
};

class RequestProcessor;

// The preferences face of a processor; it keeps its processor alive.
class AuthPreferences final : public Object<IRequestProcessorAuthPrefs> {
 public:
  explicit AuthPreferences(RequestProcessor& processor);
  ~AuthPreferences() override;

  HRESULT WasAuthPreferencesObeyed(BSTR ticket, VARIANT_BOOL* out) override {
    if (!out) return E_POINTER;
    bool obeyed = false;
    const Outcome o = State().WasObeyed(Utf8(ticket), obeyed);
    if (SUCCEEDED(o.status)) *out = obeyed ? VARIANT_TRUE : VARIANT_FALSE;
    return Report(o);
  }
  HRESULT GetIsReadOnly(BSTR ticket, VARIANT_BOOL* out) override {
    return Read(ticket, out, [](const Preferences& p, VARIANT_BOOL* o) { *o = p.readOnly ? VARIANT_TRUE : VARIANT_FALSE; });
  }
  HRESULT GetUnattendedModePref(BSTR ticket, ENUnattendedModePrefType* out) override {
    return Read(ticket, out, [](const Preferences& p, ENUnattendedModePrefType* o) { *o = static_cast<ENUnattendedModePrefType>(p.unattended); });
  }
  HRESULT GetPersonalDataPref(BSTR ticket, ENPersonalDataPrefType* out) override {
    return Read(ticket, out, [](const Preferences& p, ENPersonalDataPrefType* o) { *o = static_cast<ENPersonalDataPrefType>(p.personalData); });
  }
  HRESULT PutIsReadOnly(VARIANT_BOOL value) override {
    State().ChangePreferences([](Preferences& p, int v) { p.readOnly = v != 0; }, value != VARIANT_FALSE);
    return S_OK;
  }
  HRESULT PutUnattendedModePref(ENUnattendedModePrefType value) override {
    State().ChangePreferences([](Preferences& p, int v) { p.unattended = v; }, value);
    return S_OK;
  }
  HRESULT PutPersonalDataPref(ENPersonalDataPrefType value) override {
    State().ChangePreferences([](Preferences& p, int v) { p.personalData = v; }, value);
    return S_OK;
  }

 private:
  bool Answers(REFIID riid) const override { return IsEqualGUID(riid, IID_IRequestProcessorAuthPrefs); }
  ProcessorState& State();
  template <class T, class Set>
  HRESULT Read(BSTR ticket, T* out, Set set) {
    if (!out) return E_POINTER;
    Preferences p;
    const Outcome o = State().SessionPreferences(Utf8(ticket), p);
    if (SUCCEEDED(o.status)) set(p, out);
    return Report(o);
  }

  RequestProcessor& processor_;
};

class RequestProcessor final : public Object<IRequestProcessor2> {
 public:
  HRESULT ProcessRequest(BSTR ticket, BSTR request, BSTR* response) override {
    if (!response) return E_POINTER;
    *response = nullptr;
    std::string text;
    const Outcome o = state_.ProcessRequest(Utf8(ticket), Utf8(request), text);
    if (SUCCEEDED(o.status)) *response = Wide(text);
    return Report(o);
  }
  HRESULT OpenConnection(BSTR, BSTR) override { return Report(state_.OpenConnection()); }
  HRESULT CloseConnection() override { return Report(state_.CloseConnection()); }
  HRESULT BeginSession(BSTR fileName, ENOpenMode, BSTR* ticket) override {
    if (!ticket) return E_POINTER;
    *ticket = nullptr;
    std::string text;
    const Outcome o = state_.BeginSession(Utf8(fileName), text);
    if (SUCCEEDED(o.status)) *ticket = Wide(text);
    return Report(o);
  }
  HRESULT EndSession(BSTR ticket) override { return Report(state_.EndSession(Utf8(ticket))); }
  HRESULT GetCurrentCompanyFileName(BSTR ticket, BSTR* fileName) override {
    if (!fileName) return E_POINTER;
    *fileName = nullptr;
    std::string name;
    const Outcome o = state_.CompanyFileName(Utf8(ticket), name);
    if (SUCCEEDED(o.status)) *fileName = Wide(name);
    return Report(o);
  }
  HRESULT ReservedSlot7() override { return E_NOTIMPL; }
  HRESULT ReservedSlot8() override { return E_NOTIMPL; }
  HRESULT ReservedSlot9() override { return E_NOTIMPL; }
  HRESULT ReservedSlot10() override { return E_NOTIMPL; }
  HRESULT get_VTXMLVersionsForSession(BSTR ticket, SAFEARRAY** out) override {
    if (!out) return E_POINTER;
    std::vector<std::string> versions;
    const Outcome o = state_.SessionVersions(Utf8(ticket), versions);
    if (FAILED(o.status)) return Report(o);
    *out = vtfc4::sandbox::BstrArrayFromUtf8(versions);
    return *out ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT get_ConnectionType(ENConnectionType* out) override {
    if (!out) return E_POINTER;
    *out = ctLocalVTD;
    return S_OK;
  }
  HRESULT ProcessSubscription(BSTR request, BSTR* response) override {
    if (!response) return E_POINTER;
    *response = nullptr;
    std::string text;
    const Outcome o = ProcessorState::ProcessSubscription(Utf8(request), text);
    if (SUCCEEDED(o.status)) *response = Wide(text);
    return Report(o);
  }
  HRESULT get_VTXMLVersionsForSubscription(SAFEARRAY** out) override {
    if (!out) return E_POINTER;
    *out = vtfc4::sandbox::BstrArrayFromUtf8(vtfc4::sandbox::SubscriptionVersions());
    return *out ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT OpenConnection2(BSTR appID, BSTR appName, ENConnectionType) override {
    return OpenConnection(appID, appName);
  }
  HRESULT get_AuthPreferences(IRequestProcessorAuthPrefs** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    auto* made = new (std::nothrow) AuthPreferences(*this);
    if (!made) return E_OUTOFMEMORY;
    return made->QueryInterface(IID_IRequestProcessorAuthPrefs, reinterpret_cast<void**>(out));
  }

  ProcessorState& State() { return state_; }

 private:
  bool Answers(REFIID riid) const override {
    return IsEqualGUID(riid, IID_IRequestProcessor) || IsEqualGUID(riid, IID_IRequestProcessor2);
  }

  ProcessorState state_;
};

AuthPreferences::AuthPreferences(RequestProcessor& processor) : processor_(processor) { processor_.AddRef(); }
AuthPreferences::~AuthPreferences() { processor_.Release(); }
ProcessorState& AuthPreferences::State() { return processor_.State(); }

HRESULT CreateProcessor(IUnknown* outer, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  auto* made = new (std::nothrow) RequestProcessor();
  if (!made) return E_OUTOFMEMORY;
  made->AddRef();
  const HRESULT hr = made->QueryInterface(riid, out);
  made->Release();
  return hr;
}

// The module stays loaded for the life of the process: locks change nothing.
void IgnoreLock(bool) {}

using Factory = vtfc4::StaticClassFactory<CreateProcessor, IgnoreLock>;

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid,
                                                                             void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualGUID(clsid, CLSID_VTXMLRP2)) return CLASS_E_CLASSNOTAVAILABLE;
  static Factory factory;
  return factory.QueryInterface(riid, out);
}

namespace {

constexpr char kScript[] =
#include "processor/vtxmlrp2_rgs.inc"
    ;

// The daemon beside the module (the build tree), else where installation puts it.
std::string DaemonPath(const std::string& module) {
  const std::string folder = module.substr(0, module.rfind('/'));
  for (const std::string& candidate : {folder + "/vtfc4-sandboxd", folder + "/" VTFC4_SANDBOXD_FROM_LIB})
    if (access(candidate.c_str(), X_OK) == 0) {
      char resolved[PATH_MAX];
      return realpath(candidate.c_str(), resolved) ? resolved : candidate;
    }
  return folder + "/" VTFC4_SANDBOXD_FROM_LIB;
}

HRESULT RunScript(bool registering) {
  const std::string module = vtfc4::ModulePath(reinterpret_cast<const void*>(&RunScript));
  std::string error;
  const HRESULT hr = vtfc4::RunRegistryScript(kScript,
                                              {{"MODULE", module},
                                               {"DAEMON", DaemonPath(module)},
                                               {"CLSID", vtfc4::GuidText(CLSID_VTXMLRP2)},
                                               {"CLSIDEX", vtfc4::GuidText(CLSID_VTXMLRP2e)}},
                                              registering, error);
  return SUCCEEDED(hr) ? S_OK : Fail(VTFC4_HR(0x80040201), error);  // SELFREG_E_CLASS
}

}  // namespace

// Self-registration: both processors, the in-process one as this module, the out-of-process
// one as the daemon beside it (or installed with it).
extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() { return RunScript(true); }
extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer() { return RunScript(false); }

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
  return gObjects.load() == 0 ? S_OK : S_FALSE;
}
