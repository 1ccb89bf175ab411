// The sandbox's own UTF-16 and UTF-8 conversion, header only: its module and daemon speak
// UTF-8 inside and UTF-16 to COM, whatever the client's code page. A malformed sequence becomes
// U+FFFD; an unpaired surrogate is written as it stands.
#ifndef VTFC4_PROCESSOR_COMPONENT_UTF8_H
#define VTFC4_PROCESSOR_COMPONENT_UTF8_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vtfc4/com.h"

namespace vtfc4::sandbox {

inline std::string Utf8FromWide(const char16_t* text, size_t n) {
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00u);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

inline std::u16string WideFromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const size_t extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : 4;
    uint32_t c = extra == 0 ? b : extra == 1 ? b & 0x1Fu : extra == 2 ? b & 0x0Fu : b & 0x07u;
    bool ok = extra < 4 && i + extra < text.size() + (extra == 0 ? 1 : 0);
    for (size_t k = 1; ok && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      ok = (next & 0xC0) == 0x80;
      c = c << 6 | (next & 0x3Fu);
    }
    if (!ok) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

inline std::string Utf8FromBstr(BSTR text) { return Utf8FromWide(text, SysStringLen(text)); }

// A new BSTR of UTF-8 text; null when memory runs out.
inline BSTR BstrFromUtf8(std::string_view text) {
  const std::u16string wide = WideFromUtf8(text);
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

// A new array of BSTR of UTF-8 texts; null when memory runs out.
inline SAFEARRAY* BstrArrayFromUtf8(const std::vector<std::string>& texts) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(texts.size()));
  if (!array) return nullptr;
  for (LONG i = 0; i < static_cast<LONG>(texts.size()); ++i) {
    BSTR v = BstrFromUtf8(texts[static_cast<size_t>(i)]);
    SafeArrayPutElement(array, &i, v);
    SysFreeString(v);
  }
  return array;
}

}  // namespace vtfc4::sandbox

#endif  // VTFC4_PROCESSOR_COMPONENT_UTF8_H
