// One-dimensional SAFEARRAYs of BSTR, and VARIANT initialisation and clearing.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "vtfc4/com.h"

namespace {

// fFeatures flags, Windows' values.
constexpr USHORT FADF_BSTR = 0x0100;

// True for an array this file made: one dimension of BSTR.
bool IsBstrVector(const SAFEARRAY* array) {
  return array && array->cDims == 1 && (array->fFeatures & FADF_BSTR) &&
         array->cbElements == sizeof(BSTR);
}

// The slot of element `index`, or null when the index is out of range.
BSTR* Slot(SAFEARRAY* array, LONG index) {
  const int64_t offset = static_cast<int64_t>(index) - array->rgsabound[0].lLbound;
  if (offset < 0 || offset >= static_cast<int64_t>(array->rgsabound[0].cElements)) return nullptr;
  return static_cast<BSTR*>(array->pvData) + offset;
}

HRESULT Bound(SAFEARRAY* array, UINT dim, LONG* bound, bool upper) {
  if (!array || !bound) return E_INVALIDARG;
  if (dim != 1 || array->cDims != 1) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& b = array->rgsabound[0];
  *bound = upper ? static_cast<LONG>(static_cast<int64_t>(b.lLbound) + b.cElements - 1) : b.lLbound;
  return S_OK;
}

}  // namespace

extern "C" {

// Only VT_BSTR is supported (any other type gives null, as does no memory). The elements
// start as null BSTRs and belong to the array.
VTFC4_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG count) {
  if (vt != VT_BSTR) return nullptr;
  auto* array = static_cast<SAFEARRAY*>(std::calloc(1, sizeof(SAFEARRAY)));
  if (!array) return nullptr;
  if (count > 0) {
    array->pvData = std::calloc(count, sizeof(BSTR));  // calloc checks count * size
    if (!array->pvData) {
      std::free(array);
      return nullptr;
    }
  }
  array->cDims = 1;
  array->fFeatures = FADF_BSTR;
  array->cbElements = sizeof(BSTR);
  array->cLocks = 0;
  array->rgsabound[0].cElements = count;
  array->rgsabound[0].lLbound = lowerBound;
  return array;
}

// Frees every element and the array. Unlike Windows (which answers S_OK for a null array),
// a null array, or one this library did not make, gives E_INVALIDARG; a locked one gives
// DISP_E_ARRAYISLOCKED.
VTFC4_API HRESULT SafeArrayDestroy(SAFEARRAY* array) {
  if (!IsBstrVector(array)) return E_INVALIDARG;
  if (array->cLocks != 0) return DISP_E_ARRAYISLOCKED;
  auto* elements = static_cast<BSTR*>(array->pvData);
  for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i) SysFreeString(elements[i]);
  std::free(array->pvData);
  std::free(array);
  return S_OK;
}

VTFC4_API UINT SafeArrayGetDim(SAFEARRAY* array) { return array ? array->cDims : 0; }

VTFC4_API HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* bound) {
  return Bound(array, dim, bound, false);
}

// For an empty array the upper bound is the lower bound - 1, as on Windows.
VTFC4_API HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* bound) {
  return Bound(array, dim, bound, true);
}

// Windows' semantics for VT_BSTR: `value` IS the BSTR to store (not a pointer to a BSTR
// variable). The array keeps a copy of it (same byte length; a null BSTR stays null) and
// frees the element it replaces. The caller keeps `value`.
VTFC4_API HRESULT SafeArrayPutElement(SAFEARRAY* array, const LONG* index, void* value) {
  if (!IsBstrVector(array) || !index) return E_INVALIDARG;
  BSTR* slot = Slot(array, *index);
  if (!slot) return DISP_E_BADINDEX;
  BSTR source = static_cast<BSTR>(value);
  BSTR copy = nullptr;
  if (source) {
    copy = SysAllocStringByteLen(reinterpret_cast<const char*>(source), SysStringByteLen(source));
    if (!copy) return E_OUTOFMEMORY;
  }
  SysFreeString(*slot);
  *slot = copy;
  return S_OK;
}

// Windows' semantics for VT_BSTR: `value` points to a BSTR variable that receives a copy of
// the element (null for a null element); the caller frees it. What the variable held before is
// overwritten, not freed.
VTFC4_API HRESULT SafeArrayGetElement(SAFEARRAY* array, const LONG* index, void* value) {
  if (!IsBstrVector(array) || !index || !value) return E_INVALIDARG;
  BSTR* slot = Slot(array, *index);
  if (!slot) return DISP_E_BADINDEX;
  BSTR* target = static_cast<BSTR*>(value);
  BSTR copy = nullptr;
  if (*slot) {
    copy = SysAllocStringByteLen(reinterpret_cast<const char*>(*slot), SysStringByteLen(*slot));
    if (!copy) return E_OUTOFMEMORY;
  }
  *target = copy;
  return S_OK;
}

// As on Windows, only the type is set.
VTFC4_API void VariantInit(VARIANT* v) {
  if (v) v->vt = VT_EMPTY;
}

// Frees what the variant owns (a BSTR, an interface reference, an array of BSTR) and leaves
// it VT_EMPTY. By-reference variants own nothing. A type the layer does not know gives
// DISP_E_BADVARTYPE and leaves the variant as it was; a null variant gives E_INVALIDARG.
VTFC4_API HRESULT VariantClear(VARIANT* v) {
  if (!v) return E_INVALIDARG;
  const VARTYPE vt = v->vt;
  if (vt & VT_BYREF) {
    // Nothing owned.
  } else if (vt & VT_ARRAY) {
    if ((vt & ~VT_ARRAY) != VT_BSTR) return DISP_E_BADVARTYPE;
    if (v->parray) {
      const HRESULT hr = SafeArrayDestroy(v->parray);
      if (FAILED(hr)) return hr;
    }
  } else {
    switch (vt) {
      case VT_EMPTY:
      case VT_NULL:
      case VT_I2:
      case VT_I4:
      case VT_R4:
      case VT_R8:
      case VT_DATE:
      case VT_ERROR:
      case VT_BOOL:
      case VT_UI1:
        break;
      case VT_BSTR:
        SysFreeString(v->bstrVal);
        break;
      case VT_UNKNOWN:
        if (v->punkVal) v->punkVal->Release();
        break;
      case VT_DISPATCH:
        if (v->pdispVal) v->pdispVal->Release();
        break;
      default:
        return DISP_E_BADVARTYPE;
    }
  }
  v->vt = VT_EMPTY;
  return S_OK;
}

}  // extern "C"
