// Object creation by class identifier and ProgID, through the registry file: in-process
// servers loaded with dlopen, local servers through the out-of-process channel.
#include <dlfcn.h>

#include <mutex>
#include <string>

#include "src/com/registry.h"
#include "src/com/text.h"
#include "src/session/processor_proxy.h"
#include "vtfc4/comptr.h"

namespace {

typedef HRESULT (*GetClassObjectFunction)(REFCLSID, REFIID, void**);

// Loaded servers stay loaded for the life of the process: objects they made may outlive any
// reference the library could count.
GetClassObjectFunction LoadServer(const std::string& module, HRESULT& status) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    status = CO_E_DLLNOTFOUND;
    return nullptr;
  }
  auto entry = reinterpret_cast<GetClassObjectFunction>(dlsym(handle, "DllGetClassObject"));
  if (!entry) status = CO_E_ERRORINDLL;
  return entry;
}

}  // namespace

extern "C" {

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* reserved, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!(context & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER))) return REGDB_E_CLASSNOTREG;
  vtfc4::Registry registry;
  std::string error;
  if (!registry.Load(error)) return REGDB_E_CLASSNOTREG;
  const auto module = registry.Get("CLSID\\" + vtfc4::GuidText(clsid) + "\\InprocServer32");
  if (!module || module->empty()) return REGDB_E_CLASSNOTREG;
  HRESULT status = S_OK;
  GetClassObjectFunction entry = LoadServer(*module, status);
  if (!entry) return status;
  return entry(clsid, riid, out);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  vtfc4::ComPtr<IClassFactory> factory;
  HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, factory.PutVoid());
  if (SUCCEEDED(hr)) return factory->CreateInstance(outer, riid, out);
  // A local server: its executable is registered under LocalServer32.
  if (hr != REGDB_E_CLASSNOTREG || !(context & CLSCTX_LOCAL_SERVER)) return hr;
  if (outer) return CLASS_E_NOAGGREGATION;
  vtfc4::Registry registry;
  std::string error;
  if (!registry.Load(error)) return REGDB_E_CLASSNOTREG;
  const auto server = registry.Get("CLSID\\" + vtfc4::GuidText(clsid) + "\\LocalServer32");
  if (!server || server->empty()) return REGDB_E_CLASSNOTREG;
  return vtfc4::CreateLocalServerObject(clsid, *server, riid, out);
}

HRESULT CLSIDFromProgID(LPCOLESTR progID, CLSID* out) {
  if (!progID || !out) return E_POINTER;
  vtfc4::Registry registry;
  std::string error;
  if (!registry.Load(error)) return CO_E_CLASSSTRING;
  const std::string name = vtfc4::ToNarrow(progID, std::char_traits<char16_t>::length(progID));
  const auto text = registry.Get(name + "\\CLSID");
  if (!text) return CO_E_CLASSSTRING;
  const std::u16string wide = vtfc4::ToWide(*text);
  return CLSIDFromString(wide.c_str(), out) == S_OK ? S_OK : CO_E_CLASSSTRING;
}

HRESULT OleRun(IUnknown* object) { return object ? S_OK : E_INVALIDARG; }

}  // extern "C"
