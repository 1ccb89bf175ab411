// VARIANT copies and conversions, as late binding converts its arguments.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "src/com/text.h"
#include "src/core/calendar.h"
#include "vtfc4/comptr.h"
#include "vtfc4/oleauto.h"

namespace {

// What a by-reference VARIANT points to, as a plain VARIANT (nothing owned, nothing copied).
bool Dereference(const VARIANT& src, VARIANT& out) {
  out.vt = static_cast<VARTYPE>(src.vt & ~VT_BYREF);
  if (!(src.vt & VT_BYREF)) {
    out = src;
    return true;
  }
  if (!src.byref) return false;
  if (src.vt & VT_ARRAY) {
    out.parray = *src.pparray;
    return true;
  }
  switch (out.vt) {
    case VT_I2: out.iVal = *src.piVal; break;
    case VT_I4: out.lVal = *src.plVal; break;
    case VT_R4: out.fltVal = *src.pfltVal; break;
    case VT_R8: out.dblVal = *src.pdblVal; break;
    case VT_DATE: out.date = *src.pdate; break;
    case VT_BOOL: out.boolVal = *src.pboolVal; break;
    case VT_BSTR: out.bstrVal = *src.pbstrVal; break;
    case VT_UNKNOWN: out.punkVal = *src.ppunkVal; break;
    case VT_DISPATCH: out.pdispVal = *src.ppdispVal; break;
    case VT_VARIANT: return Dereference(*src.pvarVal, out);
    default: return false;
  }
  return true;
}

// A number (or the date, or a boolean as 0 and -1) of a plain VARIANT.
bool NumberOf(const VARIANT& v, double& out) {
  switch (v.vt) {
    case VT_EMPTY: out = 0; return true;
    case VT_I2: out = v.iVal; return true;
    case VT_I4: out = v.lVal; return true;
    case VT_UI1: out = v.bVal; return true;
    case VT_R4: out = v.fltVal; return true;
    case VT_R8: out = v.dblVal; return true;
    case VT_DATE: out = v.date; return true;
    case VT_BOOL: out = v.boolVal ? -1 : 0; return true;
    default: return false;
  }
}

std::string Narrow(BSTR text) { return text ? vtfc4::Utf8FromWide(text, SysStringLen(text)) : std::string(); }

BSTR Wide(const std::string& text) {
  const std::u16string wide = vtfc4::WideFromUtf8(text);
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

// A text read as a number in the C locale, blanks around it allowed; "True" and "False" as
// booleans are -1 and 0.
bool ParseNumber(const std::string& text, double& out) {
  size_t a = text.find_first_not_of(" \t"), b = text.find_last_not_of(" \t");
  if (a == std::string::npos) return false;
  const std::string t = text.substr(a, b - a + 1);
  std::string lower = t;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "true" || lower == "#true#") return out = -1, true;
  if (lower == "false" || lower == "#false#") return out = 0, true;
  char* end = nullptr;
  errno = 0;
  out = std::strtod(t.c_str(), &end);
  return end && *end == '\0' && errno == 0 && std::isfinite(out);
}

bool ParseDate(const std::string& text, double& out) {
  vtfc4::CalendarFields f;
  int n = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &f.year, &f.month, &f.day, &n) != 3) return false;
  if (text[n] == 'T' || text[n] == ' ') {
    int m = 0;
    if (std::sscanf(text.c_str() + n + 1, "%2d:%2d:%2d%n", &f.hour, &f.minute, &f.second, &m) != 3) return false;
    n += m + 1;
  }
  return text[n] == '\0' && vtfc4::FieldsToDate(f, out);
}

std::string NumberText(double v) {
  char text[64];
  if (v == std::floor(v) && std::fabs(v) < 1e15)
    std::snprintf(text, sizeof text, "%.0f", v);
  else
    std::snprintf(text, sizeof text, "%.15g", v);
  return text;
}

std::string DateText(double date) {
  vtfc4::CalendarFields f;
  if (!vtfc4::DateToFields(date, f)) return NumberText(date);
  char text[32];
  if (f.hour || f.minute || f.second)
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", f.year, f.month, f.day, f.hour, f.minute,
                  f.second);
  else
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", f.year, f.month, f.day);
  return text;
}

// Converts a plain VARIANT into `out` (initialised, owning what it holds).
HRESULT Convert(const VARIANT& v, VARTYPE vt, VARIANT& out) {
  out.vt = VT_EMPTY;
  if (v.vt == VT_NULL) return vt == VT_NULL ? (out.vt = VT_NULL, S_OK) : DISP_E_TYPEMISMATCH;
  if (vt == VT_EMPTY) return S_OK;
  if (vt == v.vt && vt != VT_BSTR && vt != VT_UNKNOWN && vt != VT_DISPATCH && !(vt & VT_ARRAY)) {
    out = v;
    return S_OK;
  }
  double number = 0;
  switch (vt) {
    case VT_BSTR: {
      std::string text;
      if (v.vt == VT_BSTR) {
        out.bstrVal = v.bstrVal ? SysAllocStringLen(v.bstrVal, SysStringLen(v.bstrVal)) : nullptr;
        out.vt = VT_BSTR;
        return v.bstrVal && !out.bstrVal ? E_OUTOFMEMORY : S_OK;
      }
      if (v.vt == VT_BOOL) {
        text = v.boolVal ? "True" : "False";
      } else if (v.vt == VT_DATE) {
        text = DateText(v.date);
      } else if (NumberOf(v, number)) {
        text = v.vt == VT_EMPTY ? "" : NumberText(v.vt == VT_R4 ? static_cast<double>(v.fltVal) : number);
      } else {
        return DISP_E_TYPEMISMATCH;
      }
      out.bstrVal = Wide(text);
      if (!out.bstrVal) return E_OUTOFMEMORY;
      out.vt = VT_BSTR;
      return S_OK;
    }
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      if (v.vt == VT_EMPTY) {
        out.vt = vt;
        out.punkVal = nullptr;
        return S_OK;
      }
      if (v.vt != VT_DISPATCH && v.vt != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
      IUnknown* from = v.vt == VT_DISPATCH ? static_cast<IUnknown*>(v.pdispVal) : v.punkVal;
      out.vt = vt;
      out.punkVal = nullptr;
      if (!from) return S_OK;
      void* p = nullptr;
      const HRESULT hr = from->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &p);
      if (FAILED(hr)) {
        out.vt = VT_EMPTY;
        return DISP_E_TYPEMISMATCH;
      }
      out.punkVal = static_cast<IUnknown*>(p);
      return S_OK;
    }
    default:
      break;
  }
  if (v.vt == VT_BSTR) {
    const std::string text = Narrow(v.bstrVal);
    if (vt == VT_DATE ? !(ParseDate(text, number) || ParseNumber(text, number)) : !ParseNumber(text, number))
      return DISP_E_TYPEMISMATCH;
  } else if (!NumberOf(v, number)) {
    return DISP_E_TYPEMISMATCH;
  }
  // Integers round half to even, as automation rounds.
  const double whole = std::nearbyint(number);
  switch (vt) {
    case VT_I2:
      if (whole < -32768 || whole > 32767) return DISP_E_OVERFLOW;
      out.iVal = static_cast<SHORT>(whole);
      break;
    case VT_I4:
      if (whole < -2147483648.0 || whole > 2147483647.0) return DISP_E_OVERFLOW;
      out.lVal = static_cast<LONG>(whole);
      break;
    case VT_UI1:
      if (whole < 0 || whole > 255) return DISP_E_OVERFLOW;
      out.bVal = static_cast<BYTE>(whole);
      break;
    case VT_R4:
      if (std::fabs(number) > 3.402823466e38) return DISP_E_OVERFLOW;
      out.fltVal = static_cast<float>(number);
      break;
    case VT_R8: out.dblVal = number; break;
    case VT_DATE: out.date = number; break;
    case VT_BOOL: out.boolVal = number != 0 ? VARIANT_TRUE : VARIANT_FALSE; break;
    default: return DISP_E_TYPEMISMATCH;
  }
  out.vt = vt;
  return S_OK;
}

}  // namespace

extern "C" {

VTFC4_API HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
  if (!dest || !src) return E_INVALIDARG;
  if (dest == src) return S_OK;
  VARIANT copy = *src;
  if (!(src->vt & VT_BYREF)) {
    if (src->vt & VT_ARRAY) {
      if ((src->vt & ~VT_ARRAY) != VT_BSTR) return DISP_E_BADVARTYPE;
      copy.parray = nullptr;
      if (SAFEARRAY* a = src->parray) {
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(a, 1, &lower);
        SafeArrayGetUBound(a, 1, &upper);
        copy.parray = SafeArrayCreateVector(VT_BSTR, lower, static_cast<ULONG>(upper - lower + 1));
        if (!copy.parray) return E_OUTOFMEMORY;
        for (LONG i = lower; i <= upper; ++i) {
          BSTR element = nullptr;
          SafeArrayGetElement(a, &i, &element);
          SafeArrayPutElement(copy.parray, &i, element);
          SysFreeString(element);
        }
      }
    } else if (src->vt == VT_BSTR && src->bstrVal) {
      copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
      if (!copy.bstrVal) return E_OUTOFMEMORY;
    } else if ((src->vt == VT_UNKNOWN || src->vt == VT_DISPATCH) && src->punkVal) {
      src->punkVal->AddRef();
    }
  }
  const HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *dest = copy;
  return S_OK;
}

VTFC4_API HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT /*flags*/, VARTYPE vt) {
  if (!dest || !src) return E_INVALIDARG;
  VARIANT plain;
  if (!Dereference(*src, plain)) return DISP_E_BADVARTYPE;
  VARIANT converted;
  HRESULT hr;
  if ((vt & VT_ARRAY) || (plain.vt & VT_ARRAY)) {
    if (vt != plain.vt) return DISP_E_TYPEMISMATCH;
    converted.vt = VT_EMPTY;
    hr = VariantCopy(&converted, &plain);
  } else {
    hr = Convert(plain, vt, converted);
  }
  if (FAILED(hr)) return hr;
  // The source may be the destination: it is cleared only now.
  VariantClear(dest);
  *dest = converted;
  return S_OK;
}

}  // extern "C"
