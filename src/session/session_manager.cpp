#include "src/session/session_manager.h"

#include <new>

#include "src/com/error.h"
#include "src/com/object.h"
#include "src/com/text.h"
#include "src/msgset/msgset_request.h"
#include "src/msgset/msgset_response.h"
#include "src/msgset/subscription_sets.h"

namespace vtfc4 {

namespace {

// Every class context: in process, in-process handler, local server, remote server.
constexpr DWORD kProcessorContext = 23;

HRESULT Report(UINT message, HRESULT status) { return ReportError(message, status, kSessionManagerProgID); }

// Creates a processor by class identifier and asks for its interface after running it; a
// failing step leaves `out` null.
template <class I>
void CreateProcessor(REFCLSID clsid, ComPtr<I>& out) {
  ComPtr<IUnknown> unknown;
  if (FAILED(CoCreateInstance(clsid, nullptr, kProcessorContext, IID_IUnknown, unknown.PutVoid())) || !unknown)
    return;
  if (FAILED(OleRun(unknown.Get()))) return;
  unknown->QueryInterface(iid_of<I>(), out.PutVoid());
}

}  // namespace

HRESULT CreateSessionManager(IUnknown* outer, REFIID riid, void** out) {
  return CreateAggregatable<CVTSessionManager>(outer, riid, out);
}

CVTSessionManager::CVTSessionManager(IUnknown* outer) : ManagerFrame(outer ? outer : &inner_) {}

CVTSessionManager::~CVTSessionManager() {
  if (sessionBegun_) EndSession();
  if (connectionOpen_) CloseConnection();
  if (authPreferences_) authPreferences_->Detach();
  authPreferences_.Reset();
  outOfProcess_.Reset();
  inProcess_.Reset();
  SysFreeString(ticket_);
}

// ---- The request processor.

HRESULT CVTSessionManager::EnsureRequestProcessor() {
  if (inProcess_ || outOfProcess_) return S_OK;
  if (useOutOfProcess_) {
    CreateProcessor(CLSID_VTXMLRP2e, outOfProcess_);
    return outOfProcess_ ? S_OK : Report(kMsgCannotCreateRP2e, kCannotCreateProcessorEx);
  }
  CreateProcessor(CLSID_VTXMLRP2, inProcess_);
  return inProcess_ ? S_OK : Report(kMsgCannotCreateRP2, kCannotCreateProcessor);
}

HRESULT CVTSessionManager::CommunicateOutOfProcess(VARIANT_BOOL useOutOfProcess) {
  if (inProcess_ || outOfProcess_) return Report(kMsgModeEstablished, kModeEstablished);
  useOutOfProcess_ = useOutOfProcess == VARIANT_TRUE;
  return S_OK;
}

// ---- Connection and session. A processor's failure comes back with its own error object,
// which stays current for the client.

HRESULT CVTSessionManager::OpenConnection(BSTR appID, BSTR appName) {
  if (HRESULT hr = EnsureRequestProcessor(); FAILED(hr)) return hr;
  if (HRESULT hr = WithProcessor([&](auto* p) { return p->OpenConnection(appID, appName); }); FAILED(hr)) return hr;
  connectionOpen_ = true;
  return S_OK;
}

HRESULT CVTSessionManager::OpenConnection2(BSTR appID, BSTR appName, ENConnectionType connectionType) {
  if (connectionType < 0 || connectionType > 4) return Report(kMsgEnumOutOfRange, kEnumOutOfRange);
  if (HRESULT hr = EnsureRequestProcessor(); FAILED(hr)) return hr;
  if (HRESULT hr = WithProcessor([&](auto* p) { return p->OpenConnection2(appID, appName, connectionType); });
      FAILED(hr))
    return hr;
  connectionOpen_ = true;
  return S_OK;
}

HRESULT CVTSessionManager::BeginSession(BSTR vtFile, ENOpenMode openMode) {
  if (openMode < 0 || openMode > 2) return Report(kMsgEnumOutOfRange, kEnumOutOfRange);
  if (HRESULT hr = EnsureRequestProcessor(); FAILED(hr)) return hr;
  BSTR ticket = nullptr;
  if (HRESULT hr = WithProcessor([&](auto* p) { return p->BeginSession(vtFile, openMode, &ticket); }); FAILED(hr))
    return hr;
  SysFreeString(ticket_);
  ticket_ = ticket;
  sessionBegun_ = true;
  if (vtFile) companyFile_ = ToNarrow(vtFile);
  return S_OK;
}

HRESULT CVTSessionManager::EndSession() {
  companyFile_.clear();
  if (!sessionBegun_) return S_OK;
  if (HRESULT hr = EnsureRequestProcessor(); FAILED(hr)) return hr;
  sessionBegun_ = false;
  if (SysStringLen(ticket_) == 0) return S_OK;
  if (HRESULT hr = WithProcessor([&](auto* p) { return p->EndSession(ticket_); }); FAILED(hr)) return hr;
  // The ticket becomes an empty text, not null: later calls pass it on and the processor
  // judges it.
  BSTR empty = SysAllocString(u"");
  if (!empty) return Report(kMsgOutOfMemory, E_OUTOFMEMORY);
  SysFreeString(ticket_);
  ticket_ = empty;
  return S_OK;
}

HRESULT CVTSessionManager::CloseConnection() {
  if (!connectionOpen_) return S_OK;
  if (HRESULT hr = EnsureRequestProcessor(); FAILED(hr)) return hr;
  if (sessionBegun_) static_cast<IVTSessionManager*>(this)->EndSession();
  connectionOpen_ = false;
  return WithProcessor([](auto* p) { return p->CloseConnection(); });
}

HRESULT CVTSessionManager::GetCurrentCompanyFileName(BSTR* out) {
  if (!out) return E_POINTER;
  if (!ticket_) return Report(kMsgNoTicket, kNoTicket);
  if (HRESULT hr = EnsureRequestProcessor(); FAILED(hr)) return hr;
  BSTR name = nullptr;
  if (HRESULT hr = WithProcessor([&](auto* p) { return p->GetCurrentCompanyFileName(ticket_, &name); }); FAILED(hr))
    return hr;
  companyFile_ = ToNarrow(name);
  *out = name;
  return S_OK;
}

HRESULT CVTSessionManager::get_VTXMLVersionsForSession(SAFEARRAY** out) {
  if (!out) return E_POINTER;
  if (!ticket_) return Report(kMsgNoTicket, kNoTicket);
  if (HRESULT hr = EnsureRequestProcessor(); FAILED(hr)) return hr;
  return WithProcessor([&](auto* p) { return p->get_VTXMLVersionsForSession(ticket_, out); });
}

HRESULT CVTSessionManager::get_ConnectionType(ENConnectionType* out) {
  if (HRESULT hr = EnsureRequestProcessor(); FAILED(hr)) return hr;
  if (!out) return E_POINTER;
  return WithProcessor([&](auto* p) { return p->get_ConnectionType(out); });
}

HRESULT CVTSessionManager::get_VTXMLVersionsForSubscription(SAFEARRAY** out) {
  if (!out) return E_POINTER;
  if (HRESULT hr = EnsureRequestProcessor(); FAILED(hr)) return hr;
  return WithProcessor([&](auto* p) { return p->get_VTXMLVersionsForSubscription(out); });
}

// ---- Message sets.

HRESULT CVTSessionManager::CreateMsgSetRequest(BSTR country, SHORT major, SHORT minor, IMsgSetRequest** out) {
  if (!out) return E_POINTER;
  int32_t code = kCountryUS;
  if (HRESULT hr = ValidateCountry(country, &code, kSessionManagerProgID); FAILED(hr)) return hr;
  if (HRESULT hr = ValidateVersion(code, major, minor, kSessionManagerProgID); FAILED(hr)) return hr;
  *out = nullptr;
  auto* set = MakeObject<CMsgSetRequest>();
  if (!set) return Report(kMsgInternalError621, E_OUTOFMEMORY);
  set->Init(major, minor, code);
  *out = set;
  return S_OK;
}

HRESULT CVTSessionManager::ToMsgSetResponse(BSTR response, BSTR country, SHORT major, SHORT minor,
                                            IMsgSetResponse** out) {
  if (!out) return E_POINTER;
  int32_t code = kCountryUS;
  if (HRESULT hr = ValidateCountry(country, &code, kSessionManagerProgID); FAILED(hr)) return hr;
  if (HRESULT hr = ValidateVersion(code, major, minor, kSessionManagerProgID); FAILED(hr)) return hr;
  try {
    return ParseMsgSetResponse(ToNarrow(response), code, major, minor, nullptr, out);
  } catch (const std::bad_alloc&) {
    return Report(kMsgOutOfMemory, E_OUTOFMEMORY);
  }
}

HRESULT CVTSessionManager::ToMsgSetRequest(BSTR request, IMsgSetRequest** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  try {
    const std::string text = ToNarrow(request);
    int32_t country = kCountryUS;
    int16_t major = 4, minor = 0;
    if (HRESULT hr = ParseVersionAndCountry(text, country, major, minor); FAILED(hr))
      return Report(kMsgInvalidRequestVersion, hr);
    if (HRESULT hr = ValidateVersion(country, major, minor, kSessionManagerProgID); FAILED(hr)) return hr;
    return ParseMsgSetRequest(text, country, major, minor, OnlineSignon{}, out);
  } catch (const std::bad_alloc&) {
    return Report(kMsgOutOfMemory, E_OUTOFMEMORY);
  }
}

HRESULT CVTSessionManager::DoRequests(IMsgSetRequest* request, IMsgSetResponse** out) {
  if (!request) {
    if (out) *out = nullptr;
    return S_OK;
  }
  if (!out) return E_POINTER;
  *out = nullptr;
  // A set made by the online manager goes only to it.
  if (auto* own = dynamic_cast<CMsgSetRequest*>(request); own && own->Context()->country == kCountryOnline)
    return Report(kMsgUseOnlineManager, kWrongManager);
  return SendSet(request, out, kSessionManagerProgID);
}

HRESULT CVTSessionManager::DoRequestsFromXMLString(BSTR request, IMsgSetResponse** out) {
  if (!request) {
    if (out) *out = nullptr;
    return S_OK;
  }
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!ticket_) return Report(kMsgNoTicket, kNoTicket);
  if (HRESULT hr = EnsureRequestProcessor(); FAILED(hr)) return hr;
  try {
    const std::string text = ToNarrow(request);
    if (RecoveryEnabled()) {
      if (HRESULT hr = SaveRequestForRecovery(text); FAILED(hr)) return hr;
    }
    Bstr response;
    if (HRESULT hr = WithProcessor([&](auto* p) { return p->ProcessRequest(ticket_, request, response.Put()); });
        FAILED(hr))
      return hr;
    // The answer is read in the version written in the request text.
    int32_t country = kCountryUS;
    int16_t major = 4, minor = 0;
    if (HRESULT hr = ParseVersionAndCountry(text, country, major, minor); FAILED(hr))
      return Report(kMsgInvalidRequestVersion, hr);
    return ParseMsgSetResponse(ToNarrow(response.Get()), country, major, minor, nullptr, out);
  } catch (...) {
    return Report(kMsgInternalError621, E_FAIL);
  }
}

// ---- Subscriptions and events: no connection, session or ticket needed.

namespace {

// Subscription sets and event documents are of vtXML 4.0 or 3.0.
HRESULT CheckSubscriptionVersion(SHORT major, SHORT minor) {
  if ((major == 4 || major == 3) && minor == 0) return S_OK;
  return Report(kMsgUnsupportedVersion, kUnsupportedVersion);
}

}  // namespace

HRESULT CVTSessionManager::CreateSubscriptionMsgSetRequest(SHORT major, SHORT minor,
                                                           ISubscriptionMsgSetRequest** out) {
  if (!out) return E_POINTER;
  if (HRESULT hr = CheckSubscriptionVersion(major, minor); FAILED(hr)) return hr;
  *out = nullptr;
  auto* set = MakeObject<CSubscriptionMsgSetRequest>();
  if (!set) return Report(kMsgInternalError621, E_OUTOFMEMORY);
  set->Init(major, minor);
  *out = set;
  return S_OK;
}

HRESULT CVTSessionManager::ToSubscriptionMsgSetResponse(BSTR response, SHORT major, SHORT minor,
                                                        ISubscriptionMsgSetResponse** out) {
  if (!out) return E_POINTER;
  if (HRESULT hr = CheckSubscriptionVersion(major, minor); FAILED(hr)) return hr;
  try {
    return ParseSubscriptionMsgSetResponse(ToNarrow(response), major, minor, out);
  } catch (const std::bad_alloc&) {
    return Report(kMsgOutOfMemory, E_OUTOFMEMORY);
  }
}

HRESULT CVTSessionManager::DoSubscriptionRequests(ISubscriptionMsgSetRequest* request,
                                                  ISubscriptionMsgSetResponse** out) {
  if (!request) {
    if (out) *out = nullptr;
    return S_OK;
  }
  if (!out) return E_POINTER;
  *out = nullptr;
  Bstr errors;
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (HRESULT hr = request->Verify(errors.Put(), &ok); FAILED(hr)) return hr;
  if (ok != VARIANT_TRUE) return ReportErrorText(ToNarrow(errors.Get()), kVerifyFailed, kSessionManagerProgID);
  Bstr text;
  if (HRESULT hr = request->ToXMLString(text.Put()); FAILED(hr)) return hr;
  return static_cast<IVTSessionManager*>(this)->DoSubscriptionRequestsFromXMLString(text.Get(), out);
}

HRESULT CVTSessionManager::DoSubscriptionRequestsFromXMLString(BSTR request, ISubscriptionMsgSetResponse** out) {
  if (!request) {
    if (out) *out = nullptr;
    return S_OK;
  }
  if (!out) return E_POINTER;
  *out = nullptr;
  if (HRESULT hr = EnsureRequestProcessor(); FAILED(hr)) return hr;
  try {
    Bstr response;
    if (HRESULT hr = WithProcessor([&](auto* p) { return p->ProcessSubscription(request, response.Put()); });
        FAILED(hr))
      return hr;
    // The answer is read as vtXML 4.0, whatever the request said.
    return ParseSubscriptionMsgSetResponse(ToNarrow(response.Get()), 4, 0, out);
  } catch (const std::bad_alloc&) {
    return Report(kMsgOutOfMemory, E_OUTOFMEMORY);
  }
}

HRESULT CVTSessionManager::ToEventsMsgSet(BSTR events, SHORT major, SHORT minor, IEventsMsgSet** out) {
  if (!out) return E_POINTER;
  if (HRESULT hr = CheckSubscriptionVersion(major, minor); FAILED(hr)) return hr;
  try {
    return ParseEventsMsgSet(ToNarrow(events), major, minor, out);
  } catch (const std::bad_alloc&) {
    return Report(kMsgOutOfMemory, E_OUTOFMEMORY);
  }
}

HRESULT CVTSessionManager::get_VTAuthPreferences(IVTAuthPreferences** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!authPreferences_) {
    auto made = ComPtr<CVTAuthPreferences>::Adopt(MakeObject<CVTAuthPreferences>());
    if (!made) return Report(kMsgInternalError621, E_OUTOFMEMORY);
    // From here the in-process or out-of-process choice is fixed.
    if (HRESULT hr = EnsureRequestProcessor(); FAILED(hr)) return hr;
    ComPtr<IRequestProcessorAuthPrefs> inProcess;
    ComPtr<IRequestProcessorExAuthPrefs> outOfProcess;
    const HRESULT hr = outOfProcess_ ? outOfProcess_->get_AuthPreferences(outOfProcess.Put())
                                     : inProcess_->get_AuthPreferences(inProcess.Put());
    if (FAILED(hr)) return hr;
    made->Attach(this, std::move(inProcess), std::move(outOfProcess));
    authPreferences_ = std::move(made);
  }
  *out = authPreferences_.Get();
  (*out)->AddRef();
  return S_OK;
}

// ---- Hooks of the error recovery.

void CVTSessionManager::ReportRecoveryError(std::string_view text) {
  ReportRecoveryErrorFrom(kSessionManagerProgID, text);
}

std::string CVTSessionManager::GetTicketText() { return ticket_ ? ToNarrow(ticket_) : std::string(); }

HRESULT CVTSessionManager::GetCompanyFileText(std::string& out) {
  if (companyFile_.empty()) {
    Bstr name;
    if (HRESULT hr = static_cast<IVTSessionManager*>(this)->GetCurrentCompanyFileName(name.Put()); FAILED(hr))
      return hr;
  }
  out = companyFile_;
  return S_OK;
}

}  // namespace vtfc4
