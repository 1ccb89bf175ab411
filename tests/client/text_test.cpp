// Text through the layer: UTF-8 and UTF-16 both ways, BSTRs, and the code page guard.
#include <gtest/gtest.h>

#include <string>

#include "vtfc4/client.hpp"

namespace vtfc4 {
namespace {

struct TextCase {
  const char* name;
  std::string utf8;
  std::u16string utf16;
};

TEST(ClientText, RoundTripsEveryPlane) {
  const TextCase cases[] = {
      {"empty", "", u""},
      {"ASCII", "Ames Trading", u"Ames Trading"},
      {"two bytes", "Zo\xC3\xAB \xC3\x85str\xC3\xB6m", u"Zo\u00EB \u00C5str\u00F6m"},
      {"three bytes", "\xE2\x80\x94 \xE6\x9D\xB1\xE4\xBA\xAC", u"\u2014 \u6771\u4EAC"},
      {"four bytes", "\xF0\x9F\x93\x92", u"\U0001F4D2"},
      {"embedded NUL", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(toUtf16(c.utf8), c.utf16);
    EXPECT_EQ(toUtf8(c.utf16), c.utf8);
    const Bstr b = toBstr(c.utf8);
    ASSERT_FALSE(b.IsNull());
    EXPECT_EQ(b.Length(), c.utf16.size());
    EXPECT_EQ(toUtf8(b.Get()), c.utf8);
    EXPECT_EQ(toU16(b.Get()), c.utf16);
  }
}

TEST(ClientText, ReplacesWhatIsNotUnicode) {
  const TextCase cases[] = {
      {"lone continuation byte", "a\x80z", u"a\uFFFDz"},
      {"truncated sequence", "a\xE6\x9D", u"a\uFFFD\uFFFD"},
      {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"past U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(toUtf16(c.utf8), c.utf16);
  }
  EXPECT_EQ(toUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx") << "an unpaired high surrogate";
  EXPECT_EQ(toUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD") << "an unpaired low surrogate";
}

TEST(ClientText, NullAndEmptyBstr) {
  EXPECT_EQ(toUtf8(static_cast<BSTR>(nullptr)), "");
  EXPECT_EQ(toU16(nullptr), u"");
  const Bstr empty = toBstr("");
  EXPECT_FALSE(empty.IsNull()) << "the empty text is an empty BSTR, not a null one";
  EXPECT_EQ(empty.Length(), 0u);
}

TEST(ClientText, CodePageGuardRestoresThePreviousOne) {
  ASSERT_EQ(SetThreadCodePage("WINDOWS-1252"), S_OK);
  {
    Utf8CodePage outer;
    EXPECT_STREQ(GetThreadCodePage(), "UTF-8");
    {
      Utf8CodePage inner;
      EXPECT_STREQ(GetThreadCodePage(), "UTF-8");
    }
    EXPECT_STREQ(GetThreadCodePage(), "UTF-8") << "an inner guard leaves the outer one's page";
  }
  EXPECT_STREQ(GetThreadCodePage(), "WINDOWS-1252");
  ASSERT_EQ(SetThreadCodePage("ISO-8859-15"), S_OK);
  { Utf8CodePage guard; }
  EXPECT_STREQ(GetThreadCodePage(), "ISO-8859-15");
  ASSERT_EQ(SetThreadCodePage("WINDOWS-1252"), S_OK);
}

}  // namespace
}  // namespace vtfc4
