// Internal, header only (the sandbox's processor module uses it too): a class factory that
// lives as long as the process. One static object serves each class; it does not hold the
// module, only the objects it makes and LockServer do.
#ifndef VTFC4_SRC_COM_CLASS_FACTORY_H
#define VTFC4_SRC_COM_CLASS_FACTORY_H

#include "vtfc4/com.h"

namespace vtfc4 {

template <HRESULT (*Create)(IUnknown* outer, REFIID riid, void** out), void (*Lock)(bool lock)>
class StaticClassFactory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IClassFactory)) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  // A static object: its count never reaches zero.
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** out) override { return Create(outer, riid, out); }
  HRESULT LockServer(BOOL lock) override {
    Lock(lock != 0);
    return S_OK;
  }
};

}  // namespace vtfc4

#endif  // VTFC4_SRC_COM_CLASS_FACTORY_H
