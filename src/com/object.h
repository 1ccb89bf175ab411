// Internal: the root of every library object and the template that implements IUnknown,
// IDispatch and ISupportErrorInfo for a class from the list of interfaces it offers.
#ifndef VTFC4_SRC_COM_OBJECT_H
#define VTFC4_SRC_COM_OBJECT_H

#include <atomic>
#include <new>
#include <type_traits>
#include <utility>

#include "vtfc4/com.h"

namespace vtfc4 {

class BasicPropertyType;
class XMLBuildable;
class SAXParseable;

// Number of live library objects plus IClassFactory::LockServer locks: the library may be
// unloaded only when it is 0.
std::atomic<LONG>& ModuleLockCount();

// Root of every object the library hands out. Member slots of aggregates hold objects by this
// type, so the engine reaches the internal faces of a member without casting through COM.
class ObjectRoot {
 public:
  ObjectRoot() { ModuleLockCount().fetch_add(1, std::memory_order_relaxed); }
  ObjectRoot(const ObjectRoot&) = delete;
  ObjectRoot& operator=(const ObjectRoot&) = delete;
  virtual ~ObjectRoot() { ModuleLockCount().fetch_sub(1, std::memory_order_relaxed); }

  ULONG AddRefRoot() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG ReleaseRoot() {
    ULONG n = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 0 && !Outlive()) delete this;
    return n;
  }
  virtual HRESULT QueryRoot(REFIID riid, void** out) = 0;
  // Interface `riid` of the object without a reference added (null when it has none): for
  // handing out an object together with the reference its maker holds.
  virtual void* InterfaceOf(REFIID riid) = 0;

  // The internal faces; null when the object has no such face.
  virtual BasicPropertyType* AsValue() { return nullptr; }
  virtual XMLBuildable* AsBuildable() { return nullptr; }
  virtual SAXParseable* AsParseable() { return nullptr; }

 protected:
  // Called when the last reference goes: true when someone else has taken the object over
  // (with a reference of its own), so that it must not be deleted.
  virtual bool Outlive() { return false; }

 private:
  std::atomic<ULONG> refs_{0};
};

// Reference-counted ownership of a library object by its root.
class RootRef {
 public:
  RootRef() = default;
  explicit RootRef(ObjectRoot* p) : p_(p) {
    if (p_) p_->AddRefRoot();
  }
  RootRef(const RootRef& o) : RootRef(o.p_) {}
  RootRef(RootRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  RootRef& operator=(RootRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~RootRef() {
    if (p_) p_->ReleaseRoot();
  }
  ObjectRoot* Get() const { return p_; }
  ObjectRoot* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  ObjectRoot* p_ = nullptr;
};

namespace internal {

// True when `riid` names interface I or one of the interfaces it derives from.
template <class I>
bool Implements(REFIID riid) {
  if (IsEqualGUID(riid, iid_of<I>())) return true;
  if constexpr (std::is_same_v<I, IUnknown>) {
    return false;
  } else {
    return Implements<typename I::base_interface>(riid);
  }
}

template <class Self, class First, class... Rest>
void* FindInterface(Self* self, REFIID riid) {
  if (Implements<First>(riid)) return static_cast<First*>(self);
  if constexpr (sizeof...(Rest) > 0) return FindInterface<Self, Rest...>(self, riid);
  return nullptr;
}

}  // namespace internal

// IDispatch for an object whose dual interface is `iid`, `self` pointing at it, through the
// type library the library carries (src/com/typelib.cpp).
HRESULT DispatchTypeInfo(REFIID iid, UINT index, ITypeInfo** out);
HRESULT DispatchGetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, DISPID* ids);
HRESULT DispatchCall(REFIID iid, void* self, DISPID dispid, WORD flags, DISPPARAMS* params, VARIANT* result,
                     EXCEPINFO* exception, UINT* argError);

// Implements IUnknown and IDispatch for `Primary` and every interface in `Others`. The
// primary interface is the object's dual interface; its identity answers IUnknown, and late
// binding reaches it through the type library.
template <class Primary, class... Others>
class ComObject : public ObjectRoot, public Primary, public Others... {
 public:
  HRESULT QueryInterface(REFIID riid, void** out) override { return QueryRoot(riid, out); }
  ULONG AddRef() override { return AddRefRoot(); }
  ULONG Release() override { return ReleaseRoot(); }

  HRESULT QueryRoot(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    void* p = internal::FindInterface<ComObject, Primary, Others...>(this, riid);
    *out = p;
    if (!p) return E_NOINTERFACE;
    AddRefRoot();
    return S_OK;
  }
  void* InterfaceOf(REFIID riid) override {
    return internal::FindInterface<ComObject, Primary, Others...>(this, riid);
  }

  // IDispatch, when the primary interface is dual.
  HRESULT GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    return DispatchTypeInfo(iid_of<Primary>(), index, info);
  }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    return DispatchGetIDsOfNames(iid_of<Primary>(), names, count, ids);
  }
  HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, UINT* argError) {
    return DispatchCall(iid_of<Primary>(), static_cast<Primary*>(this), dispid, flags, params, result, exception,
                        argError);
  }

  // ISupportErrorInfo, for classes that list it: only the primary interface reports errors.
  HRESULT InterfaceSupportsErrorInfo(REFIID riid) {
    return IsEqualGUID(riid, iid_of<Primary>()) ? S_OK : S_FALSE;
  }

  Primary* Interface() { return this; }
};

// Creates an object with one reference held by the result; null when memory runs out.
template <class T, class... Args>
T* MakeObject(Args&&... args) {
  T* p = new (std::nothrow) T(std::forward<Args>(args)...);
  if (p) p->AddRefRoot();
  return p;
}

// Hands `made` (holding one reference) out as interface `iid`, the reference going with it;
// E_OUTOFMEMORY for a null object, E_NOINTERFACE (and the object released) when it lacks it.
inline HRESULT HandOver(ObjectRoot* made, REFIID iid, void** out) {
  *out = nullptr;
  if (!made) return E_OUTOFMEMORY;
  void* p = made->InterfaceOf(iid);
  if (!p) {
    made->ReleaseRoot();
    return E_NOINTERFACE;
  }
  *out = p;
  return S_OK;
}

// Hands out interface I of a freshly made object (or E_OUTOFMEMORY), as COM factories do.
template <class I, class T>
HRESULT HandOut(T* made, I** out) {
  if (!out) {
    if (made) made->ReleaseRoot();
    return E_POINTER;
  }
  *out = nullptr;
  if (!made) return E_OUTOFMEMORY;
  HRESULT hr = made->QueryRoot(iid_of<I>(), reinterpret_cast<void**>(out));
  made->ReleaseRoot();
  return hr;
}

}  // namespace vtfc4

#endif  // VTFC4_SRC_COM_OBJECT_H
