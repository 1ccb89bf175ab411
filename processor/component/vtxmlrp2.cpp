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

#include "processor/sandbox_engine.h"
#include "src/com/class_factory.h"
#include "vtfc4/vtfc4.h"

namespace {

using vtfc4::sandbox::CompanyFile;

// Statuses of the processor's own failures (FACILITY_ITF, codes of the sandbox's own range).
constexpr HRESULT kNotConnected = static_cast<HRESULT>(0x80040401);
constexpr HRESULT kAlreadyConnected = static_cast<HRESULT>(0x80040402);
constexpr HRESULT kCannotOpenCompany = static_cast<HRESULT>(0x80040403);
constexpr HRESULT kUnknownTicket = static_cast<HRESULT>(0x80040404);
constexpr HRESULT kMalformedRequest = static_cast<HRESULT>(0x80040405);
constexpr HRESULT kCompanyFailure = static_cast<HRESULT>(0x80040406);

std::string Utf8(BSTR text) {
  std::string out;
  const UINT n = SysStringLen(text);
  for (UINT i = 0; i < n; ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// UTF-8 to a new BSTR; a malformed byte becomes U+FFFD.
BSTR Wide(const std::string& text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    uint32_t c = extra == 0 ? b : extra == 1 ? b & 0x1F : extra == 2 ? b & 0x0F : b & 0x07;
    bool ok = extra >= 0 && i + static_cast<size_t>(extra) < text.size() + (extra == 0 ? 1 : 0);
    for (int k = 1; ok && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
      ok = (next & 0xC0) == 0x80;
      c = c << 6 | (next & 0x3F);
    }
    if (!ok) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    i += static_cast<size_t>(extra) + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return SysAllocStringLen(out.data(), static_cast<UINT>(out.size()));
}

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

SAFEARRAY* VersionArray() {
  const std::vector<std::string> versions = vtfc4::sandbox::SupportedVersions();
  SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(versions.size()));
  if (!array) return nullptr;
  for (LONG i = 0; i < static_cast<LONG>(versions.size()); ++i) {
    BSTR v = Wide(versions[static_cast<size_t>(i)]);
    SafeArrayPutElement(array, &i, v);
    SysFreeString(v);
  }
  return array;
}

std::atomic<LONG> gObjects{0};

// What a client's application asks of the accounting application. They take effect when a
// session begins: a session keeps the preferences it began with.
struct Preferences {
  bool readOnly = false;
  ENUnattendedModePrefType unattended = umptOptional;
  ENPersonalDataPrefType personalData = pdptOptional;
  bool operator==(const Preferences&) const = default;
};

class RequestProcessor;

// The preferences face of a processor; it keeps its processor alive.
class AuthPreferences final : public IRequestProcessorAuthPrefs {
 public:
  explicit AuthPreferences(RequestProcessor& processor);
  ~AuthPreferences();
  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IDispatch) &&
        !IsEqualGUID(riid, IID_IRequestProcessorAuthPrefs))
      return E_NOINTERFACE;
    *out = static_cast<IRequestProcessorAuthPrefs*>(this);
    AddRef();
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

  HRESULT WasAuthPreferencesObeyed(BSTR ticket, VARIANT_BOOL* out) override;
  HRESULT GetIsReadOnly(BSTR ticket, VARIANT_BOOL* out) override;
  HRESULT PutIsReadOnly(VARIANT_BOOL value) override;
  HRESULT GetUnattendedModePref(BSTR ticket, ENUnattendedModePrefType* out) override;
  HRESULT PutUnattendedModePref(ENUnattendedModePrefType value) override;
  HRESULT GetPersonalDataPref(BSTR ticket, ENPersonalDataPrefType* out) override;
  HRESULT PutPersonalDataPref(ENPersonalDataPrefType value) override;

 private:
  std::atomic<ULONG> refs_{0};
  RequestProcessor& processor_;
};

class RequestProcessor final : public IRequestProcessor2 {
  friend class AuthPreferences;

 public:
  RequestProcessor() { gObjects.fetch_add(1); }
  ~RequestProcessor() { gObjects.fetch_sub(1); }

  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IDispatch) &&
        !IsEqualGUID(riid, IID_IRequestProcessor) && !IsEqualGUID(riid, IID_IRequestProcessor2))
      return E_NOINTERFACE;
    *out = static_cast<IRequestProcessor2*>(this);
    AddRef();
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

  HRESULT ProcessRequest(BSTR ticket, BSTR request, BSTR* response) override {
    if (!response) return E_POINTER;
    *response = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    SessionState* session = Session(ticket);
    if (!session) return Fail(kUnknownTicket, "The session ticket is not valid: begin a session first.");
    try {
      vtfc4::sandbox::Access access;
      access.readOnly = session->preferences.readOnly;
      *response = Wide(vtfc4::sandbox::ProcessRequest(*session->file, Utf8(request), access));
      return *response ? S_OK : E_OUTOFMEMORY;
    } catch (const vtfc4::sandbox::MalformedRequest& e) {
      return Fail(kMalformedRequest, std::string("The request could not be read: ") + e.what());
    } catch (const std::exception& e) {
      return Fail(kCompanyFailure, std::string("The company file failed: ") + e.what());
    }
  }
  HRESULT OpenConnection(BSTR appID, BSTR appName) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connected_) return Fail(kAlreadyConnected, "A connection is already open.");
    connected_ = true;
    return S_OK;
  }
  HRESULT CloseConnection() override {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.clear();
    connected_ = false;
    return S_OK;
  }
  HRESULT BeginSession(BSTR fileName, ENOpenMode openMode, BSTR* ticket) override {
    if (!ticket) return E_POINTER;
    *ticket = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_) return Fail(kNotConnected, "OpenConnection has not been called.");
    std::string error;
    std::unique_ptr<CompanyFile> file;
    try {
      file = CompanyFile::Open(Utf8(fileName), error);
    } catch (const std::exception& e) {
      error = e.what();
    }
    if (!file) return Fail(kCannotOpenCompany, "Could not open the company file: " + error);
    const std::string id = "{sandbox-" + std::to_string(++lastTicket_) + "}";
    sessions_[id] = SessionState{std::move(file), preferences_};
    *ticket = Wide(id);
    return *ticket ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT EndSession(BSTR ticket) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!sessions_.erase(Utf8(ticket)))
      return Fail(kUnknownTicket, "The session ticket is not valid: begin a session first.");
    return S_OK;
  }
  HRESULT GetCurrentCompanyFileName(BSTR ticket, BSTR* fileName) override {
    if (!fileName) return E_POINTER;
    *fileName = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    SessionState* session = Session(ticket);
    if (!session) return Fail(kUnknownTicket, "The session ticket is not valid: begin a session first.");
    *fileName = Wide(session->file->Path());
    return S_OK;
  }
  HRESULT ReservedSlot7() override { return E_NOTIMPL; }
  HRESULT ReservedSlot8() override { return E_NOTIMPL; }
  HRESULT ReservedSlot9() override { return E_NOTIMPL; }
  HRESULT ReservedSlot10() override { return E_NOTIMPL; }
  HRESULT get_VTXMLVersionsForSession(BSTR ticket, SAFEARRAY** out) override {
    if (!out) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Session(ticket)) return Fail(kUnknownTicket, "The session ticket is not valid: begin a session first.");
    *out = VersionArray();
    return *out ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT get_ConnectionType(ENConnectionType* out) override {
    if (!out) return E_POINTER;
    *out = ctLocalVTD;
    return S_OK;
  }
  HRESULT ProcessSubscription(BSTR, BSTR* response) override {
    if (response) *response = nullptr;
    return Fail(E_NOTIMPL, "The sandbox does not serve subscriptions yet.");
  }
  HRESULT get_VTXMLVersionsForSubscription(SAFEARRAY** out) override {
    if (!out) return E_POINTER;
    *out = VersionArray();
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

 private:
  struct SessionState {
    std::unique_ptr<CompanyFile> file;
    Preferences preferences;  // as they were when the session began
  };

  SessionState* Session(BSTR ticket) {
    const auto it = sessions_.find(Utf8(ticket));
    return it == sessions_.end() ? nullptr : &it->second;
  }

  std::atomic<ULONG> refs_{0};
  std::mutex mutex_;
  bool connected_ = false;
  long lastTicket_ = 0;
  std::map<std::string, SessionState> sessions_;
  Preferences preferences_;
};

AuthPreferences::AuthPreferences(RequestProcessor& processor) : processor_(processor) { processor_.AddRef(); }
AuthPreferences::~AuthPreferences() { processor_.Release(); }

// The gets answer for the session the ticket names: what it began with. The sandbox honours
// every preference it is given (read-only sessions refuse changes; it never asks anyone
// anything, and keeps no personal data), so a session obeyed them exactly when they are still
// what it began with.
HRESULT AuthPreferences::WasAuthPreferencesObeyed(BSTR ticket, VARIANT_BOOL* out) {
  if (!out) return E_POINTER;
  std::lock_guard<std::mutex> lock(processor_.mutex_);
  auto* session = processor_.Session(ticket);
  if (!session) return Fail(kUnknownTicket, "The session ticket is not valid: begin a session first.");
  *out = session->preferences == processor_.preferences_ ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT AuthPreferences::GetIsReadOnly(BSTR ticket, VARIANT_BOOL* out) {
  if (!out) return E_POINTER;
  std::lock_guard<std::mutex> lock(processor_.mutex_);
  auto* session = processor_.Session(ticket);
  if (!session) return Fail(kUnknownTicket, "The session ticket is not valid: begin a session first.");
  *out = session->preferences.readOnly ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT AuthPreferences::GetUnattendedModePref(BSTR ticket, ENUnattendedModePrefType* out) {
  if (!out) return E_POINTER;
  std::lock_guard<std::mutex> lock(processor_.mutex_);
  auto* session = processor_.Session(ticket);
  if (!session) return Fail(kUnknownTicket, "The session ticket is not valid: begin a session first.");
  *out = session->preferences.unattended;
  return S_OK;
}

HRESULT AuthPreferences::GetPersonalDataPref(BSTR ticket, ENPersonalDataPrefType* out) {
  if (!out) return E_POINTER;
  std::lock_guard<std::mutex> lock(processor_.mutex_);
  auto* session = processor_.Session(ticket);
  if (!session) return Fail(kUnknownTicket, "The session ticket is not valid: begin a session first.");
  *out = session->preferences.personalData;
  return S_OK;
}

HRESULT AuthPreferences::PutIsReadOnly(VARIANT_BOOL value) {
  std::lock_guard<std::mutex> lock(processor_.mutex_);
  processor_.preferences_.readOnly = value != VARIANT_FALSE;
  return S_OK;
}

HRESULT AuthPreferences::PutUnattendedModePref(ENUnattendedModePrefType value) {
  std::lock_guard<std::mutex> lock(processor_.mutex_);
  processor_.preferences_.unattended = value;
  return S_OK;
}

HRESULT AuthPreferences::PutPersonalDataPref(ENPersonalDataPrefType value) {
  std::lock_guard<std::mutex> lock(processor_.mutex_);
  processor_.preferences_.personalData = value;
  return S_OK;
}

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

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
  return gObjects.load() == 0 ? S_OK : S_FALSE;
}
