// The standard identifiers and the text form of GUIDs.
#include <cstring>

#include "vtfc4/com.h"
#include "vtfc4/oleauto.h"

// Written with `extern`: GCC ignores (with a warning) the visibility attribute on a definition
// of a const object without it.
extern "C" {

VTFC4_API extern const GUID GUID_NULL = {0x00000000, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}};
VTFC4_API extern const IID IID_NULL = {0x00000000, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}};
VTFC4_API extern const IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
VTFC4_API extern const IID IID_IDispatch = {
    0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
VTFC4_API extern const IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
VTFC4_API extern const IID IID_ISupportErrorInfo = {
    0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
VTFC4_API extern const IID IID_IErrorInfo = {
    0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
VTFC4_API extern const IID IID_ICreateErrorInfo = {
    0x22F03340, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
VTFC4_API extern const IID IID_ITypeInfo = {
    0x00020401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
VTFC4_API extern const IID IID_ITypeLib = {
    0x00020402, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

}  // extern "C"

namespace {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": 38 characters, the NUL at index 38.
constexpr int kTextLength = 38;
constexpr int kDashes[] = {9, 14, 19, 24};

int HexValue(OLECHAR c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

bool IsDash(int i) {
  for (int d : kDashes)
    if (i == d) return true;
  return false;
}

// Parses the braced form; false for anything else. Reads no further than the first NUL.
bool Parse(LPCOLESTR text, GUID* out) {
  if (!text) return false;
  uint8_t nibbles[32];
  int count = 0;
  for (int i = 0; i < kTextLength; ++i) {
    const OLECHAR c = text[i];
    if (c == 0) return false;  // too short
    if (i == 0) {
      if (c != u'{') return false;
    } else if (i == kTextLength - 1) {
      if (c != u'}') return false;
    } else if (IsDash(i)) {
      if (c != u'-') return false;
    } else {
      const int v = HexValue(c);
      if (v < 0) return false;
      nibbles[count++] = static_cast<uint8_t>(v);
    }
  }
  if (text[kTextLength] != 0) return false;  // too long

  auto take = [&nibbles](int first, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 4) | nibbles[first + i];
    return v;
  };
  GUID g;
  g.Data1 = take(0, 8);
  g.Data2 = static_cast<uint16_t>(take(8, 4));
  g.Data3 = static_cast<uint16_t>(take(12, 4));
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<uint8_t>(take(16 + 2 * i, 2));
  *out = g;
  return true;
}

HRESULT FromString(LPCOLESTR text, GUID* out) {
  if (!out) return E_INVALIDARG;
  if (!Parse(text, out)) {
    std::memset(out, 0, sizeof(GUID));
    return CO_E_CLASSSTRING;
  }
  return S_OK;
}

}  // namespace

extern "C" {

// Both accept exactly the braced form (hexadecimal digits in either case) and answer
// CO_E_CLASSSTRING, with *out zeroed, for anything else, null text included (unlike Windows,
// which reads null text as GUID_NULL); a null `out` gives E_INVALIDARG.
VTFC4_API HRESULT CLSIDFromString(LPCOLESTR text, CLSID* out) { return FromString(text, out); }
VTFC4_API HRESULT IIDFromString(LPCOLESTR text, IID* out) { return FromString(text, out); }

VTFC4_API int StringFromGUID2(REFGUID guid, LPOLESTR out, int max) {
  if (!out || max < kTextLength + 1) return 0;
  static constexpr char kDigits[] = "0123456789ABCDEF";
  int pos = 0;
  auto put = [&](uint32_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i) out[pos++] = kDigits[(value >> (4 * i)) & 0xF];
  };
  out[pos++] = u'{';
  put(guid.Data1, 8);
  out[pos++] = u'-';
  put(guid.Data2, 4);
  out[pos++] = u'-';
  put(guid.Data3, 4);
  out[pos++] = u'-';
  put(guid.Data4[0], 2);
  put(guid.Data4[1], 2);
  out[pos++] = u'-';
  for (int i = 2; i < 8; ++i) put(guid.Data4[i], 2);
  out[pos++] = u'}';
  out[pos++] = 0;
  return pos;
}

}  // extern "C"
