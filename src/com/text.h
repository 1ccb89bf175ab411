// Internal: conversion between BSTR (UTF-16) and the library's narrow text, which is text in
// the calling thread's code page (see SetThreadCodePage).
#ifndef VTFC4_SRC_COM_TEXT_H
#define VTFC4_SRC_COM_TEXT_H

#include <string>
#include <string_view>

#include "vtfc4/com.h"

namespace vtfc4 {

// UTF-16 to the thread's code page. A character the code page cannot hold becomes '?', as
// the platform's default character does; a lone surrogate likewise. A character U+0080 to
// U+00FF whose byte the code page leaves undefined goes back to that byte, so that every byte
// survives a round trip through ToWide.
std::string ToNarrow(const OLECHAR* text, size_t length);
inline std::string ToNarrow(BSTR text) { return ToNarrow(text, SysStringLen(text)); }

// The thread's code page to UTF-16. A byte the code page leaves undefined becomes the
// character of the same number (0x81 gives U+0081), so no byte is ever lost.
std::u16string ToWide(std::string_view narrow);

// UTF-16 and UTF-8, whatever the thread's code page (the texts that cross to the sandbox's
// daemon). A lone surrogate becomes '?'; a malformed UTF-8 byte the character of its number.
std::string Utf8FromWide(const OLECHAR* text, size_t length);
inline std::string Utf8FromBstr(BSTR text) { return Utf8FromWide(text, SysStringLen(text)); }
std::u16string WideFromUtf8(std::string_view text);

// True when characters of the thread's code page can take more than one byte (UTF-8).
bool ThreadCodePageIsMultiByte();

// A new BSTR holding `narrow` converted; null only when memory runs out.
BSTR ToBstr(std::string_view narrow);

// Hands a new BSTR to an out-parameter: E_POINTER for a null out, E_OUTOFMEMORY when the
// string cannot be allocated, else S_OK.
HRESULT HandOutText(std::string_view narrow, BSTR* out);

// Hands a copy of `from` to an out-parameter (a null BSTR stays null).
HRESULT CopyBstr(BSTR from, BSTR* out);
// Replaces the BSTR in `slot` by a copy of `value` (null stores null).
HRESULT ReplaceBstr(BSTR& slot, BSTR value);

}  // namespace vtfc4

#endif  // VTFC4_SRC_COM_TEXT_H
