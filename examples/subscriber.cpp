// An event subscriber: an in-process module whose class the application creates, through the
// registry file, to hand it each event (IVTEventCallback::Inform). It appends every event
// document it is told to the file VTFC4_SUBSCRIBER_LOG names, or prints it on standard error.
//
//   vtfc4-regsvr libsubscriber.so        registers "VtFC4.ExampleSubscriber" in the registry file
//
// then subscribe with COMCallbackInfo/ProgID "VtFC4.ExampleSubscriber" (see the subscription
// requests of the session manager). Like the sandbox's own module, it takes the COM functions
// from the process that loads it; the application that creates it has them.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>

#include "src/com/registrar.h"
#include "vtfc4/events.h"

namespace {

// {5B0E7C1D-3A2F-4E8B-9C6D-1F2A3B4C5D6E}
constexpr CLSID kClsid = {0x5B0E7C1D, 0x3A2F, 0x4E8B, {0x9C, 0x6D, 0x1F, 0x2A, 0x3B, 0x4C, 0x5D, 0x6E}};
constexpr char kClsidText[] = "{5B0E7C1D-3A2F-4E8B-9C6D-1F2A3B4C5D6E}";
constexpr DISPID kInform = 1;

std::atomic<long> gObjects{0};
std::mutex gWriting;

// A BSTR's UTF-16 text as UTF-8 (a lone surrogate becomes U+FFFD).
std::string Utf8(BSTR text) {
  std::string out;
  const UINT n = SysStringLen(text);
  for (UINT i = 0; i < n; ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    else if (c >= 0xD800 && c <= 0xDFFF)
      c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Appends the whole document in one write, so that events told by several processes at once
// do not interleave.
bool Record(const std::string& document) {
  std::lock_guard<std::mutex> lock(gWriting);
  const char* path = std::getenv("VTFC4_SUBSCRIBER_LOG");
  if (!path || !*path) return std::fprintf(stderr, "%s", document.c_str()) >= 0;
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool whole = write(fd, document.data(), document.size()) == static_cast<ssize_t>(document.size());
  return close(fd) == 0 && whole;
}

class Subscriber final : public IVTEventCallback {
 public:
  Subscriber() { gObjects.fetch_add(1); }
  ~Subscriber() { gObjects.fetch_sub(1); }
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IDispatch) && !IsEqualGUID(riid, IID_IVTEventCallback))
      return E_NOINTERFACE;
    *out = static_cast<IVTEventCallback*>(this);
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
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (!names || !ids) return E_POINTER;
    static const char16_t kName[] = u"Inform";
    bool known = count == 1 && names[0];
    for (size_t i = 0; known && i < sizeof kName / sizeof kName[0]; ++i) known = names[0][i] == kName[i];
    for (UINT i = 0; i < count; ++i) ids[i] = -1;  // DISPID_UNKNOWN
    if (!known) return static_cast<HRESULT>(0x80020006);  // DISP_E_UNKNOWNNAME
    ids[0] = kInform;
    return S_OK;
  }
  // Late binding: Inform with its one text argument.
  HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    if (id != kInform) return static_cast<HRESULT>(0x80020003);  // DISP_E_MEMBERNOTFOUND
    if (!params || params->cArgs != 1) return static_cast<HRESULT>(0x8002000E);  // DISP_E_BADPARAMCOUNT
    if (params->rgvarg[0].vt != VT_BSTR) return static_cast<HRESULT>(0x80020005);  // DISP_E_TYPEMISMATCH
    return Inform(params->rgvarg[0].bstrVal);
  }

  HRESULT Inform(BSTR eventXML) override {
    if (!eventXML) return E_INVALIDARG;
    return Record(Utf8(eventXML)) ? S_OK : E_FAIL;
  }

 private:
  std::atomic<ULONG> refs_{0};
};

class Factory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IClassFactory)) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  // One object for the life of the module.
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* made = new (std::nothrow) Subscriber();
    if (!made) return E_OUTOFMEMORY;
    made->AddRef();
    const HRESULT hr = made->QueryInterface(riid, out);
    made->Release();
    return hr;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }
};

// What registering writes: the ProgID naming the class, the class naming this module.
constexpr char kScript[] = R"(HKCR
{
	VtFC4.ExampleSubscriber = s 'vtFC4 example event subscriber'
	{
		CLSID = s '%CLSID%'
	}
	NoRemove CLSID
	{
		ForceRemove %CLSID% = s 'vtFC4 example event subscriber'
		{
			ProgID = s 'VtFC4.ExampleSubscriber'
			InprocServer32 = s '%MODULE%'
			{
				val ThreadingModel = s 'Both'
			}
		}
	}
}
)";

HRESULT RunScript(bool registering) {
  std::string error;
  const std::string module = vtfc4::ModulePath(reinterpret_cast<const void*>(&RunScript));
  const HRESULT hr = vtfc4::RunRegistryScript(kScript, {{"MODULE", module}, {"CLSID", kClsidText}}, registering, error);
  if (FAILED(hr)) std::fprintf(stderr, "subscriber: %s\n", error.c_str());
  return SUCCEEDED(hr) ? S_OK : static_cast<HRESULT>(0x80040201);  // SELFREG_E_CLASS
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualGUID(clsid, kClsid)) return CLASS_E_CLASSNOTAVAILABLE;
  static Factory factory;
  return factory.QueryInterface(riid, out);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
  return gObjects.load() == 0 ? S_OK : S_FALSE;
}

extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() { return RunScript(true); }
extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer() { return RunScript(false); }
