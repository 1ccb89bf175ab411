// The library as an in-process server: its class factory and the module's entry points.
#include <mutex>

#include "src/com/object.h"
#include "src/session/session_manager.h"

namespace vtfc4 {
namespace {

// The factory of VTSessionManager. One object for the process, made on first request; it
// does not hold the module: only objects and LockServer do.
class SessionManagerFactory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IClassFactory)) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    return CreateSessionManager(outer, riid, out);
  }
  HRESULT LockServer(BOOL lock) override {
    if (lock)
      ModuleLockCount().fetch_add(1, std::memory_order_relaxed);
    else
      ModuleLockCount().fetch_sub(1, std::memory_order_relaxed);
    return S_OK;
  }
};

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
