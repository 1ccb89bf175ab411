// BSTR layout and allocation.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "vtfc4/com.h"
#include "vtfc4/comptr.h"

namespace {

uint32_t Prefix(BSTR s) {
  uint32_t n;
  std::memcpy(&n, reinterpret_cast<const char*>(s) - sizeof n, sizeof n);
  return n;
}

struct TextCase {
  const char* name;
  std::u16string_view text;  // may hold NULs; copied with SysAllocStringLen
};

class BstrLayout : public ::testing::TestWithParam<TextCase> {};

TEST_P(BstrLayout, PrefixCountsBytesAndNulFollows) {
  const std::u16string_view text = GetParam().text;
  BSTR s = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Prefix(s), text.size() * 2);
  EXPECT_EQ(SysStringLen(s), text.size());
  EXPECT_EQ(SysStringByteLen(s), text.size() * 2);
  EXPECT_EQ(std::u16string_view(s, SysStringLen(s)), text);
  EXPECT_EQ(s[text.size()], u'\0');
  EXPECT_EQ(reinterpret_cast<uintptr_t>(s) % 8, 0u) << "text is 8-byte aligned, as on Win64";
  SysFreeString(s);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BstrLayout,
    ::testing::Values(TextCase{"empty", u""}, TextCase{"one", u"a"},
                      TextCase{"ascii", u"hello world"}, TextCase{"latin", u"caf\u00E9"},
                      TextCase{"surrogates", u"\U0001F600x"},
                      TextCase{"embedded_nul", std::u16string_view(u"a\0b\0c", 5)}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Bstr, AllocationEdges) {
  BSTR s = SysAllocString(u"abc\0def");  // stops at the first NUL
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 3u);
  EXPECT_EQ(Prefix(s), 6u);
  EXPECT_EQ(std::u16string_view(s), u"abc");
  SysFreeString(s);

  // A null text gives null, an empty one an empty string: the two differ.
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  s = SysAllocString(u"");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Prefix(s), 0u);
  EXPECT_EQ(s[0], u'\0');
  SysFreeString(s);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);  // does nothing

  // A null text with a length is zero-filled.
  s = SysAllocStringLen(nullptr, 5);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 5u);
  for (int i = 0; i <= 5; ++i) EXPECT_EQ(s[i], u'\0') << i;
  SysFreeString(s);

  // A length that overflows the prefix is refused.
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);
}

struct ByteCase {
  const char* name;
  const char* bytes;  // null: zero-filled
  UINT length;
  UINT chars;  // SysStringLen
};

class BstrByteLen : public ::testing::TestWithParam<ByteCase> {};

TEST_P(BstrByteLen, KeepsTheByteLength) {
  const ByteCase& c = GetParam();
  BSTR s = SysAllocStringByteLen(c.bytes, c.length);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Prefix(s), c.length);
  EXPECT_EQ(SysStringByteLen(s), c.length);
  EXPECT_EQ(SysStringLen(s), c.chars);
  const char* raw = reinterpret_cast<const char*>(s);
  for (UINT i = 0; i < c.length; ++i) EXPECT_EQ(raw[i], c.bytes ? c.bytes[i] : '\0') << i;
  EXPECT_EQ(raw[c.length], '\0');
  EXPECT_EQ(raw[c.length + 1], '\0');
  SysFreeString(s);
}

INSTANTIATE_TEST_SUITE_P(Cases, BstrByteLen,
                         ::testing::Values(ByteCase{"empty", "", 0, 0},
                                           ByteCase{"odd", "abc", 3, 1},
                                           ByteCase{"even", "abcd", 4, 2},
                                           ByteCase{"binary", "\x01\xFF\x00\x80\x7F", 5, 2},
                                           ByteCase{"zero_filled", nullptr, 7, 3}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Bstr, ReAllocReplacesAndFreesTheOld) {
  BSTR s = SysAllocString(u"first");
  ASSERT_EQ(SysReAllocString(&s, u"second text"), 1);
  EXPECT_EQ(std::u16string_view(s), u"second text");
  EXPECT_EQ(SysStringLen(s), 11u);

  // The new text may lie inside the old string.
  ASSERT_EQ(SysReAllocString(&s, s + 7), 1);
  EXPECT_EQ(std::u16string_view(s), u"text");

  ASSERT_EQ(SysReAllocString(&s, nullptr), 1);
  EXPECT_EQ(s, nullptr);
  ASSERT_EQ(SysReAllocString(&s, u""), 1);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 0u);
  SysFreeString(s);

  EXPECT_EQ(SysReAllocString(nullptr, u"x"), 0);
}

TEST(Bstr, OwnerCopiesAndFrees) {
  vtfc4::Bstr a(u"text");
  vtfc4::Bstr b = a;
  EXPECT_NE(a.Get(), b.Get());
  EXPECT_EQ(std::u16string_view(b.Get()), u"text");
  vtfc4::Bstr n;
  vtfc4::Bstr m = n;
  EXPECT_TRUE(m.IsNull());
}

}  // namespace
