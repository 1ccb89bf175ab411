// Internal: what a creatable class needs to be aggregated. Its identity and reference count
// live in an inner unknown; its own interfaces answer through the controlling unknown, which
// is the outer object when there is one and the inner unknown otherwise.
#ifndef VTFC4_SRC_COM_AGGREGATION_H
#define VTFC4_SRC_COM_AGGREGATION_H

#include <atomic>
#include <new>

#include "vtfc4/com.h"

namespace vtfc4 {

// The inner unknown of `Owner`, which answers `void* OwnInterface(REFIID)` with the interface
// pointer for every identifier it implements besides IUnknown (null for the others). The last
// release deletes the owner.
template <class Owner>
class InnerUnknown final : public IUnknown {
 public:
  explicit InnerUnknown(Owner& owner) : owner_(owner) {}

  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = IsEqualGUID(riid, IID_IUnknown) ? static_cast<IUnknown*>(this) : owner_.OwnInterface(riid);
    if (!*out) return E_NOINTERFACE;
    static_cast<IUnknown*>(*out)->AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    const ULONG n = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 0) delete &owner_;
    return n;
  }

 private:
  Owner& owner_;
  std::atomic<ULONG> refs_{0};
};

// The creator of a class factory row: without an outer object a standalone object; with one
// (which must ask for IUnknown) an aggregated object, `out` receiving its inner unknown.
// `Owner` is constructed from the outer object (or null) and exposes `IUnknown* Inner()`.
template <class Owner>
HRESULT CreateAggregatable(IUnknown* outer, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer && !IsEqualGUID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  auto* made = new (std::nothrow) Owner(outer);
  if (!made) return E_OUTOFMEMORY;
  IUnknown* inner = made->Inner();
  inner->AddRef();
  const HRESULT hr = inner->QueryInterface(riid, out);
  inner->Release();  // destroys the object when the query failed
  return hr;
}

}  // namespace vtfc4

#endif  // VTFC4_SRC_COM_AGGREGATION_H
