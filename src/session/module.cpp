// The library as an in-process server: its object map, the class factory of each row, and
// the module's four entry points.
#include <string>

#include "src/com/class_factory.h"
#include "src/com/error.h"
#include "src/com/object.h"
#include "src/com/registrar.h"
#include "src/com/registry.h"
#include "src/com/text.h"
#include "src/session/online_session_manager.h"
#include "src/session/session_manager.h"
#include "vtfc4/oleauto.h"

#define SELFREG_E_TYPELIB VTFC4_HR(0x80040200)
#define SELFREG_E_CLASS VTFC4_HR(0x80040201)

namespace vtfc4 {
namespace {

void LockModule(bool lock) {
  if (lock)
    ModuleLockCount().fetch_add(1, std::memory_order_relaxed);
  else
    ModuleLockCount().fetch_sub(1, std::memory_order_relaxed);
}

// The class factory of a row: made on first use (under the lock a function-local static
// carries) and kept for the process, so a second request gets the same factory; the factory
// holds no module lock.
template <HRESULT (*Create)(IUnknown*, REFIID, void**)>
IClassFactory* ClassOf() {
  static StaticClassFactory<Create, LockModule> factory;
  return &factory;
}

constexpr char kSessionManagerScript[] =
#include "vtfc4/gen/vtsessionmanager_rgs.inc"
    ;
constexpr char kOnlineSessionManagerScript[] =
#include "vtfc4/gen/vtoesessionmanager_rgs.inc"
    ;

// The object map: one row per creatable class, in the order registration runs them.
struct MapRow {
  const CLSID* clsid;
  IClassFactory* (*factory)();
  const char* script;  // the row's registry script (resource "REGISTRY" 101, 102, ...)
};
const MapRow kObjectMap[] = {
    {&CLSID_VTSessionManager, ClassOf<CreateSessionManager>, kSessionManagerScript},
    {&CLSID_VTOESessionManager, ClassOf<CreateOnlineSessionManager>, kOnlineSessionManagerScript},
};

// The path of the file this code was loaded from.
std::string SelfPath() { return ModulePath(reinterpret_cast<const void*>(&SelfPath)); }

HRESULT RunScripts(bool registering) {
  const std::string module = SelfPath();
  for (const MapRow& row : kObjectMap) {
    std::string error;
    const HRESULT hr = RunRegistryScript(
        row.script, {{"MODULE", module}, {"CLSID", GuidText(*row.clsid)}, {"LIBID", GuidText(LIBID_VTFC4Lib)}},
        registering, error);
    if (FAILED(hr)) return ReportErrorText(error, SELFREG_E_CLASS);
  }
  return S_OK;
}

}  // namespace
}  // namespace vtfc4

extern "C" {

HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  for (const vtfc4::MapRow& row : vtfc4::kObjectMap)
    if (IsEqualGUID(clsid, *row.clsid)) return row.factory()->QueryInterface(riid, out);
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT DllCanUnloadNow() { return vtfc4::ModuleLockCount().load() == 0 ? S_OK : S_FALSE; }

// Every row's script, then the type library this module carries, registered with the
// module's path.
HRESULT DllRegisterServer() {
  HRESULT hr = vtfc4::RunScripts(true);
  if (FAILED(hr)) return hr;
  const std::u16string module = vtfc4::WideFromUtf8(vtfc4::SelfPath());
  vtfc4::ComPtr<ITypeLib> lib;
  hr = LoadTypeLib(module.c_str(), lib.Put());
  if (SUCCEEDED(hr)) hr = RegisterTypeLib(lib.Get(), module.c_str(), nullptr);
  return FAILED(hr) ? vtfc4::ReportErrorText("The type library could not be registered.", SELFREG_E_TYPELIB) : S_OK;
}

// Every row's script undone, then the type library's registration removed; undoing what is
// not there is no failure, so unregistering twice succeeds.
HRESULT DllUnregisterServer() {
  const HRESULT hr = vtfc4::RunScripts(false);
  if (FAILED(hr)) return hr;
  const HRESULT lib = UnRegisterTypeLib(LIBID_VTFC4Lib, 1, 0, 0, SYS_WIN64);
  if (FAILED(lib) && lib != TYPE_E_LIBNOTREGISTERED)
    return vtfc4::ReportErrorText("The type library's registration could not be removed.", SELFREG_E_TYPELIB);
  return S_OK;
}

}  // extern "C"
