// BSTR: UTF-16 text with Windows' layout. The 4-byte length prefix (a uint32_t counting BYTES,
// not characters) sits immediately before the pointer handed out, and two NUL bytes (one NUL
// OLECHAR) follow the text. As on 64-bit Windows, the block starts 8 bytes before the text
// (4 unused bytes, then the prefix), so the text is 8-byte aligned. malloc/free only.
#include <cstdlib>
#include <cstring>
#include <limits>

#include "vtfc4/com.h"

namespace {

constexpr size_t kHeader = 8;                    // 4 unused bytes + the 4-byte length prefix
constexpr size_t kPrefix = sizeof(uint32_t);     // the length prefix proper
constexpr size_t kTerminator = sizeof(OLECHAR);  // the NUL after the text

char* BlockOf(BSTR text) { return reinterpret_cast<char*>(text) - kHeader; }

// A block for `byteLength` bytes of text, the prefix written and the terminator zeroed; the
// text itself is left for the caller. Null when the length does not fit the prefix or memory
// runs out.
BSTR AllocateBytes(size_t byteLength) {
  if (byteLength > std::numeric_limits<uint32_t>::max()) return nullptr;
  if (byteLength > std::numeric_limits<size_t>::max() - kHeader - kTerminator) return nullptr;
  char* block = static_cast<char*>(std::malloc(kHeader + byteLength + kTerminator));
  if (!block) return nullptr;
  std::memset(block, 0, kHeader - kPrefix);
  const uint32_t prefix = static_cast<uint32_t>(byteLength);
  std::memcpy(block + kHeader - kPrefix, &prefix, kPrefix);
  std::memset(block + kHeader + byteLength, 0, kTerminator);
  return reinterpret_cast<BSTR>(block + kHeader);
}

size_t Length(const OLECHAR* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

}  // namespace

extern "C" {

VTFC4_API BSTR SysAllocString(const OLECHAR* text) {
  if (!text) return nullptr;
  const size_t length = Length(text);
  if (length > std::numeric_limits<UINT>::max()) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(length));
}

// Copies `length` characters (NULs included) or, with null text, zero-fills them.
VTFC4_API BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  const size_t bytes = static_cast<size_t>(length) * sizeof(OLECHAR);
  BSTR s = AllocateBytes(bytes);
  if (!s) return nullptr;
  if (text)
    std::memcpy(s, text, bytes);
  else
    std::memset(s, 0, bytes);
  return s;
}

// As on Windows: the prefix holds `byteLength`, the bytes are copied as they are (zero-filled
// when `bytes` is null) and two NUL bytes follow them; an odd length is allowed.
VTFC4_API BSTR SysAllocStringByteLen(const char* bytes, UINT byteLength) {
  BSTR s = AllocateBytes(byteLength);
  if (!s) return nullptr;
  if (bytes)
    std::memcpy(s, bytes, byteLength);
  else
    std::memset(s, 0, byteLength);
  return s;
}

// Replaces *target with a copy of `text` (null text gives a null BSTR). `text` may point into
// *target. Returns 1 on success; 0, with *target unchanged, for a null target or no memory.
VTFC4_API int SysReAllocString(BSTR* target, const OLECHAR* text) {
  if (!target) return 0;
  BSTR copy = nullptr;
  if (text) {
    copy = SysAllocString(text);
    if (!copy) return 0;
  }
  SysFreeString(*target);
  *target = copy;
  return 1;
}

VTFC4_API void SysFreeString(BSTR text) {
  if (text) std::free(BlockOf(text));
}

VTFC4_API UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(OLECHAR); }

VTFC4_API UINT SysStringByteLen(BSTR text) {
  if (!text) return 0;
  uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<const char*>(text) - kPrefix, kPrefix);
  return prefix;
}

}  // extern "C"
