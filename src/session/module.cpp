// The library as an in-process server: its class factory and the module's entry points.
#include "src/com/class_factory.h"
#include "src/com/object.h"
#include "src/session/session_manager.h"

namespace vtfc4 {
namespace {

void LockModule(bool lock) {
  if (lock)
    ModuleLockCount().fetch_add(1, std::memory_order_relaxed);
  else
    ModuleLockCount().fetch_sub(1, std::memory_order_relaxed);
}

using SessionManagerFactory = StaticClassFactory<CreateSessionManager, LockModule>;

}  // namespace
}  // namespace vtfc4

extern "C" {

HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualGUID(clsid, CLSID_VTSessionManager)) return CLASS_E_CLASSNOTAVAILABLE;
  // Made once, under the lock a function-local static carries, and kept for the process.
  static vtfc4::SessionManagerFactory factory;
  return factory.QueryInterface(riid, out);
}

HRESULT DllCanUnloadNow() { return vtfc4::ModuleLockCount().load() == 0 ? S_OK : S_FALSE; }

}  // extern "C"
