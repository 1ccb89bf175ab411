// Conversion between UTF-16 and the calling thread's narrow code page, through iconv.
#include "src/com/text.h"

#include <iconv.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace vtfc4 {
namespace {

constexpr const char* kDefaultCodePage = "WINDOWS-1252";
// iconv's name for OLECHAR text as it lies in memory (no byte order mark).
constexpr const char* kWide = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
// Scratch buffers larger than this are given back after use.
constexpr size_t kScratchKeep = size_t{1} << 20;

const iconv_t kClosed = reinterpret_cast<iconv_t>(-1);
const size_t kIconvError = static_cast<size_t>(-1);

// The two converters of one code page; closes what it holds.
struct Converters {
  iconv_t toNarrow = kClosed;  // UTF-16 -> code page
  iconv_t toWide = kClosed;    // code page -> UTF-16

  Converters() = default;
  Converters(const Converters&) = delete;
  Converters& operator=(const Converters&) = delete;
  Converters(Converters&& o) noexcept
      : toNarrow(std::exchange(o.toNarrow, kClosed)), toWide(std::exchange(o.toWide, kClosed)) {
    std::memcpy(undefined, o.undefined, sizeof undefined);
    multiByte = o.multiByte;
  }
  Converters& operator=(Converters&& o) noexcept {
    std::swap(toNarrow, o.toNarrow);
    std::swap(toWide, o.toWide);
    std::swap(undefined, o.undefined);
    std::swap(multiByte, o.multiByte);
    return *this;
  }
  ~Converters() { Close(); }

  bool IsOpen() const { return toNarrow != kClosed && toWide != kClosed; }
  void Close() {
    if (toNarrow != kClosed) iconv_close(std::exchange(toNarrow, kClosed));
    if (toWide != kClosed) iconv_close(std::exchange(toWide, kClosed));
  }
  // Opens both directions for `name`; S_OK, or the failure with nothing left open.
  HRESULT Open(const char* name) {
    Close();
    toNarrow = iconv_open(name, kWide);
    if (toNarrow != kClosed) toWide = iconv_open(kWide, name);
    if (!IsOpen()) {
      const int error = errno;
      Close();
      if (error == EINVAL) return E_INVALIDARG;
      return error == ENOMEM ? E_OUTOFMEMORY : E_FAIL;
    }
    FindUndefinedBytes();
    return S_OK;
  }

  // True when byte `b`, alone, is no character of the code page (0x81 in Windows-1252).
  bool IsUndefined(unsigned b) const { return (undefined[b / 8] >> (b % 8)) & 1; }
  // Some characters take several bytes (a byte starts a longer sequence), as in UTF-8.
  bool multiByte = false;

 private:
  // Bytes that do not decode on their own and do not start a longer sequence either. ToWide
  // turns such a byte into the character of the same number; ToNarrow turns that character
  // back into the byte, so that text survives the round trip (as Windows does for the five
  // undefined bytes of code page 1252).
  void FindUndefinedBytes() {
    for (unsigned b = 0; b < 256; ++b) {
      char byte = static_cast<char>(b);
      char* in = &byte;
      size_t inLeft = 1;
      OLECHAR wide[4];
      char* out = reinterpret_cast<char*>(wide);
      size_t outLeft = sizeof wide;
      iconv(toWide, nullptr, nullptr, nullptr, nullptr);
      const bool failed = iconv(toWide, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1);
      const bool bad = failed && errno == EILSEQ;
      // A byte that starts a longer sequence: characters of this page take several bytes.
      if (failed && errno == EINVAL) multiByte = true;
      undefined[b / 8] = static_cast<uint8_t>(undefined[b / 8] | (bad ? 1u << (b % 8) : 0u));
    }
    iconv(toWide, nullptr, nullptr, nullptr, nullptr);
  }

  uint8_t undefined[32] = {};
};

// The calling thread's code page, its converters (opened at first use, closed at thread exit)
// and the scratch buffers that conversions reuse.
struct ThreadText {
  std::string name = kDefaultCodePage;
  Converters converters;
  bool openFailed = false;  // the default page could not be opened: fall back to Latin-1
  std::string narrowScratch;
  std::u16string wideScratch;

  // The converters, opened on first use; false when they cannot be had.
  bool Ready() {
    if (converters.IsOpen()) return true;
    if (openFailed) return false;
    openFailed = FAILED(converters.Open(name.c_str()));
    return !openFailed;
  }
};
thread_local ThreadText tText;

// UTF-8 in both directions, whatever the thread's code page; null when it cannot be opened.
Converters* Utf8Converters() {
  thread_local Converters utf8;
  thread_local bool failed = false;
  if (!utf8.IsOpen() && !failed) failed = FAILED(utf8.Open("UTF-8"));
  return failed ? nullptr : &utf8;
}

bool IsAscii(const OLECHAR* text, size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (text[i] >= 0x80) return false;
  return true;
}

bool IsAscii(std::string_view text) {
  for (unsigned char c : text)
    if (c >= 0x80) return false;
  return true;
}

bool IsHighSurrogate(OLECHAR c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(OLECHAR c) { return c >= 0xDC00 && c <= 0xDFFF; }

template <class Buffer>
void Grow(Buffer& buffer, size_t used, size_t needed) {
  if (buffer.size() - used < needed) buffer.resize(std::max(buffer.size() * 2, used + needed));
}

template <class Buffer>
void GiveBackIfLarge(Buffer& buffer) {
  if (buffer.capacity() > kScratchKeep) Buffer().swap(buffer);
}

// Returns `cd` to its initial shift state, writing any closing sequence to out[used...].
void FinishShift(iconv_t cd, std::string& out, size_t& used) {
  for (;;) {
    Grow(out, used, 16);
    char* outPtr = out.data() + used;
    size_t outLeft = out.size() - used;
    const size_t r = iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    used = static_cast<size_t>(outPtr - out.data());
    if (r != kIconvError || errno != E2BIG) return;
  }
}

// The slow path of the conversions to narrow text, through `converters` (null when none could
// be had), into `out`; returns the number of bytes written.
size_t ConvertToNarrow(const OLECHAR* text, size_t length, Converters* converters, std::string& out) {
  size_t used = 0;
  Grow(out, used, length + 16);
  if (!converters) {
    // No converter: Latin-1, the reverse of ToWide's fallback; every other character (a
    // surrogate pair counting as one) becomes '?'.
    for (size_t i = 0; i < length; ++i) {
      if (IsHighSurrogate(text[i]) && i + 1 < length && IsLowSurrogate(text[i + 1])) ++i;
      out[used++] = text[i] < 0x100 ? static_cast<char>(text[i]) : '?';
    }
    return used;
  }
  const iconv_t cd = converters->toNarrow;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(reinterpret_cast<const char*>(text));
  size_t inLeft = length * sizeof(OLECHAR);
  while (inLeft > 0) {
    char* outPtr = out.data() + used;
    size_t outLeft = out.size() - used;
    const size_t r = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    used = static_cast<size_t>(outPtr - out.data());
    if (r != kIconvError) break;
    if (errno == E2BIG) {
      Grow(out, used, inLeft + 16);
      continue;
    }
    // EILSEQ (a character the code page cannot hold, or a lone surrogate) or EINVAL (a high
    // surrogate at the end): skip that character and write '?' in the initial shift state,
    // or, for U+0000 to U+00FF whose byte the code page leaves undefined, that byte.
    OLECHAR unit;
    std::memcpy(&unit, in, sizeof unit);
    size_t skip = sizeof(OLECHAR);
    if (IsHighSurrogate(unit) && inLeft >= 2 * sizeof(OLECHAR)) {
      OLECHAR next;
      std::memcpy(&next, in + sizeof(OLECHAR), sizeof next);
      if (IsLowSurrogate(next)) skip = 2 * sizeof(OLECHAR);
    }
    in += skip;
    inLeft -= skip;
    FinishShift(cd, out, used);
    Grow(out, used, 1);
    const bool undefinedByte = unit < 0x100 && converters->IsUndefined(unit);
    out[used++] = undefinedByte ? static_cast<char>(unit) : '?';
  }
  FinishShift(cd, out, used);
  return used;
}

// The slow path of the conversions from narrow text, through `converters` (null when none
// could be had), into `out`; returns the number of characters written.
size_t ConvertToWide(std::string_view narrow, Converters* converters, std::u16string& out) {
  size_t used = 0;
  Grow(out, used, narrow.size() + 16);
  if (!converters) {
    // No converter: every byte becomes the character of the same number (Latin-1).
    for (unsigned char c : narrow) out[used++] = c;
    return used;
  }
  const iconv_t cd = converters->toWide;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(narrow.data());
  size_t inLeft = narrow.size();
  while (inLeft > 0) {
    char* outPtr = reinterpret_cast<char*>(out.data() + used);
    size_t outLeft = (out.size() - used) * sizeof(OLECHAR);
    const size_t r = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    used = static_cast<size_t>(reinterpret_cast<OLECHAR*>(outPtr) - out.data());
    if (r != kIconvError) break;
    if (errno == E2BIG) {
      Grow(out, used, inLeft + 16);
      continue;
    }
    // EILSEQ (a byte the code page leaves undefined, or a bad sequence) or EINVAL (a sequence
    // cut short by the end): the first byte becomes the character of the same number and the
    // conversion goes on after it.
    Grow(out, used, 1);
    out[used++] = static_cast<unsigned char>(*in);
    ++in;
    --inLeft;
  }
  return used;
}

// `narrow` as UTF-16 in the thread's scratch buffer, valid until the next conversion.
std::u16string_view WideInScratch(std::string_view narrow) {
  const size_t n = ConvertToWide(narrow, tText.Ready() ? &tText.converters : nullptr, tText.wideScratch);
  return std::u16string_view(tText.wideScratch.data(), n);
}

// True when every byte 0x00 to 0x7F, as one string, converts to the same character and back:
// the condition of the ASCII fast paths (it refuses UTF-16, UTF-7, ISO-2022 and EBCDIC pages).
bool IsAsciiCompatible(Converters& c) {
  char bytes[0x80];
  OLECHAR wide[0x80 + 8];
  char back[0x80 + 8];
  for (int i = 0; i < 0x80; ++i) bytes[i] = static_cast<char>(i);

  char* in = bytes;
  size_t inLeft = sizeof bytes;
  char* out = reinterpret_cast<char*>(wide);
  size_t outLeft = sizeof wide;
  if (iconv(c.toWide, &in, &inLeft, &out, &outLeft) == kIconvError || inLeft != 0) return false;
  if (sizeof wide - outLeft != 0x80 * sizeof(OLECHAR)) return false;
  for (int i = 0; i < 0x80; ++i)
    if (wide[i] != i) return false;

  in = reinterpret_cast<char*>(wide);
  inLeft = 0x80 * sizeof(OLECHAR);
  out = back;
  outLeft = sizeof back;
  if (iconv(c.toNarrow, &in, &inLeft, &out, &outLeft) == kIconvError || inLeft != 0) return false;
  if (iconv(c.toNarrow, nullptr, nullptr, &out, &outLeft) == kIconvError) return false;
  return sizeof back - outLeft == 0x80 && std::memcmp(back, bytes, 0x80) == 0;
}

}  // namespace

std::string ToNarrow(const OLECHAR* text, size_t length) {
  if (!text || length == 0) return std::string();
  if (IsAscii(text, length)) {
    std::string result(length, '\0');
    for (size_t i = 0; i < length; ++i) result[i] = static_cast<char>(text[i]);
    return result;
  }
  const size_t n =
      ConvertToNarrow(text, length, tText.Ready() ? &tText.converters : nullptr, tText.narrowScratch);
  std::string result(tText.narrowScratch.data(), n);
  GiveBackIfLarge(tText.narrowScratch);
  return result;
}

std::u16string ToWide(std::string_view narrow) {
  if (IsAscii(narrow)) return std::u16string(narrow.begin(), narrow.end());
  std::u16string result(WideInScratch(narrow));
  GiveBackIfLarge(tText.wideScratch);
  return result;
}

BSTR ToBstr(std::string_view narrow) {
  try {
    if (IsAscii(narrow)) {
      if (narrow.size() > std::numeric_limits<UINT>::max()) return nullptr;
      BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(narrow.size()));
      if (s)
        for (size_t i = 0; i < narrow.size(); ++i) s[i] = static_cast<unsigned char>(narrow[i]);
      return s;
    }
    const std::u16string_view wide = WideInScratch(narrow);
    BSTR s = wide.size() > std::numeric_limits<UINT>::max()
                 ? nullptr
                 : SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    GiveBackIfLarge(tText.wideScratch);
    return s;
  } catch (const std::bad_alloc&) {
    return nullptr;
  } catch (const std::length_error&) {
    return nullptr;
  }
}

bool ThreadCodePageIsMultiByte() { return tText.Ready() && tText.converters.multiByte; }

std::string Utf8FromWide(const OLECHAR* text, size_t length) {
  if (!text || length == 0) return std::string();
  if (IsAscii(text, length)) return std::string(text, text + length);
  std::string out;
  out.resize(ConvertToNarrow(text, length, Utf8Converters(), out));
  return out;
}

std::u16string WideFromUtf8(std::string_view text) {
  if (IsAscii(text)) return std::u16string(text.begin(), text.end());
  std::u16string out;
  out.resize(ConvertToWide(text, Utf8Converters(), out));
  return out;
}

HRESULT HandOutText(std::string_view narrow, BSTR* out) {
  if (!out) return E_POINTER;
  *out = ToBstr(narrow);
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT CopyBstr(BSTR from, BSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!from) return S_OK;
  *out = SysAllocStringLen(from, SysStringLen(from));
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT ReplaceBstr(BSTR& slot, BSTR value) {
  BSTR copy = nullptr;
  if (value) {
    copy = SysAllocStringLen(value, SysStringLen(value));
    if (!copy) return E_OUTOFMEMORY;
  }
  SysFreeString(slot);
  slot = copy;
  return S_OK;
}

}  // namespace vtfc4

extern "C" {

// Accepts an iconv name whose bytes 0x00 to 0x7F are ASCII (both directions); refuses the
// empty name (iconv's "locale charset") and names with '/' (iconv's //TRANSLIT and //IGNORE
// suffixes would change the replacement rules). Setting the current name again changes nothing.
VTFC4_API HRESULT SetThreadCodePage(const char* iconvName) {
  using vtfc4::tText;
  if (!iconvName) return E_POINTER;
  if (*iconvName == '\0' || std::strchr(iconvName, '/')) return E_INVALIDARG;
  try {
    if (tText.name == iconvName && tText.converters.IsOpen()) return S_OK;
    vtfc4::Converters converters;
    const HRESULT hr = converters.Open(iconvName);
    if (FAILED(hr)) return hr;
    if (!vtfc4::IsAsciiCompatible(converters)) return E_INVALIDARG;
    std::string name(iconvName);
    tText.converters = std::move(converters);
    tText.name = std::move(name);
    tText.openFailed = false;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

// The name as it was given to SetThreadCodePage ("WINDOWS-1252" until then). The pointer stays
// valid until the thread changes its code page or ends.
VTFC4_API const char* GetThreadCodePage(void) { return vtfc4::tText.name.c_str(); }

}  // extern "C"
