// The per-thread narrow code page and the conversions that use it.
#include "src/com/text.h"

#include <gtest/gtest.h>

#include <latch>
#include <string>
#include <string_view>
#include <thread>

#include "vtfc4/com.h"
#include "vtfc4/comptr.h"

namespace {

using vtfc4::ToBstr;
using vtfc4::ToNarrow;
using vtfc4::ToWide;

std::string Narrow(std::u16string_view wide) { return ToNarrow(wide.data(), wide.size()); }

// Each test starts and ends with the calling thread on Windows-1252.
class CodePage : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(SetThreadCodePage("WINDOWS-1252"), S_OK); }
  void TearDown() override { EXPECT_EQ(SetThreadCodePage("WINDOWS-1252"), S_OK); }
};

// Both directions, in Windows-1252.
struct RoundTrip {
  const char* name;
  std::string_view narrow;
  std::u16string_view wide;
};

class Windows1252 : public CodePage, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(Windows1252, ConvertsBothWays) {
  EXPECT_EQ(ToWide(GetParam().narrow), GetParam().wide);
  EXPECT_EQ(Narrow(GetParam().wide), GetParam().narrow);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Windows1252,
    ::testing::Values(
        RoundTrip{"empty", "", u""}, RoundTrip{"ascii", "plain text\r\n", u"plain text\r\n"},
        RoundTrip{"e_acute", "\xE9", u"\u00E9"}, RoundTrip{"euro", "\x80", u"\u20AC"},
        RoundTrip{"undefined_81", "\x81", u"\u0081"}, RoundTrip{"undefined_8D", "\x8D", u"\u008D"},
        RoundTrip{"undefined_8F", "\x8F", u"\u008F"}, RoundTrip{"undefined_90", "\x90", u"\u0090"},
        RoundTrip{"undefined_9D", "\x9D", u"\u009D"},
        RoundTrip{"quotes", "\x93q\x94", u"\u201Cq\u201D"},
        RoundTrip{"mixed", "caf\xE9 \x80 5 \x81!", u"caf\u00E9 \u20AC 5 \u0081!"},
        RoundTrip{"embedded_nul", std::string_view("a\0\xE9", 3),
                  std::u16string_view(u"a\0\u00E9", 3)},
        RoundTrip{"high_bytes", "\xFF\xFE\xA0", u"\u00FF\u00FE\u00A0"}),
    [](const auto& p) { return std::string(p.param.name); });

// A new thread starts on Windows-1252, where every byte survives the round trip.
TEST(CodePageDefault, IsWindows1252OnEveryNewThreadAndKeepsEveryByte) {
  std::thread([] {
    EXPECT_STREQ(GetThreadCodePage(), "WINDOWS-1252");
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    const std::u16string wide = ToWide(all);
    ASSERT_EQ(wide.size(), 256u);
    EXPECT_EQ(wide[0x80], u'\u20AC');
    EXPECT_EQ(Narrow(wide), all);
  }).join();
}

// Characters Windows-1252 cannot hold.
struct Unmappable {
  const char* name;
  std::u16string_view wide;
  std::string_view narrow;
};

class Windows1252Unmappable : public CodePage, public ::testing::WithParamInterface<Unmappable> {};

TEST_P(Windows1252Unmappable, BecomeQuestionMarks) {
  EXPECT_EQ(Narrow(GetParam().wide), GetParam().narrow);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Windows1252Unmappable,
    ::testing::Values(Unmappable{"cjk", u"\u4E2D", "?"},
                      Unmappable{"cjk_in_text", u"a\u4E2D\u00E9b",
                                 "a?\xE9"
                                 "b"},
                      Unmappable{"surrogate_pair_is_one", u"x\U0001F600y", "x?y"},
                      Unmappable{"lone_high",
                                 u"a\xD800"
                                 "b",
                                 "a?b"},
                      Unmappable{"lone_low",
                                 u"a\xDC00"
                                 "b",
                                 "a?b"},
                      Unmappable{"high_at_end", u"ab\xD83D", "ab?"},
                      Unmappable{"two_highs", u"\xD800\xD800", "??"},
                      Unmappable{"c1_defined_byte", u"\u0080", "?"}),  // 0x80 is the euro
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(CodePage, Utf8OnOneThreadWindows1252OnAnother) {
  std::latch switched(1), checked(1);
  std::thread other([&] {
    EXPECT_EQ(SetThreadCodePage("UTF-8"), S_OK);
    EXPECT_STREQ(GetThreadCodePage(), "UTF-8");
    switched.count_down();
    checked.wait();  // the main thread checks its own page while this one is on UTF-8
    EXPECT_EQ(Narrow(u"\u00E9\u4E2D\U0001F600"), "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
    EXPECT_EQ(ToWide("\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"), u"\u00E9\u4E2D\U0001F600");
    // Bytes that are no UTF-8 become the character of the same number.
    EXPECT_EQ(ToWide("a\xFF"
                     "b"),
              u"a\u00FF"
              "b");
    EXPECT_EQ(ToWide("a\xE9"), u"a\u00E9");  // a sequence cut short by the end
    EXPECT_EQ(ToWide("\xE4\xB8"), u"\u00E4\u00B8");
    EXPECT_EQ(Narrow(u"a\xDC00"), "a?");  // a lone surrogate
  });
  switched.wait();
  EXPECT_STREQ(GetThreadCodePage(), "WINDOWS-1252");
  EXPECT_EQ(ToWide("\xE9"), u"\u00E9");
  EXPECT_EQ(Narrow(u"\u00E9"), "\xE9");
  checked.count_down();
  other.join();
  EXPECT_STREQ(GetThreadCodePage(), "WINDOWS-1252");
}

TEST_F(CodePage, SwitchingBackAndForth) {
  ASSERT_EQ(SetThreadCodePage("UTF-8"), S_OK);
  EXPECT_EQ(Narrow(u"\u00E9"), "\xC3\xA9");
  ASSERT_EQ(SetThreadCodePage("UTF-8"), S_OK);  // the same name again
  EXPECT_EQ(Narrow(u"\u00E9"), "\xC3\xA9");
  ASSERT_EQ(SetThreadCodePage("ISO-8859-15"), S_OK);
  EXPECT_EQ(Narrow(u"\u20AC"), "\xA4");
  EXPECT_EQ(ToWide("\xA4"), u"\u20AC");
  ASSERT_EQ(SetThreadCodePage("WINDOWS-1252"), S_OK);
  EXPECT_EQ(Narrow(u"\u20AC"), "\x80");
}

struct BadName {
  const char* name;
  const char* codePage;
  HRESULT expected;
};

class CodePageRefused : public CodePage, public ::testing::WithParamInterface<BadName> {};

TEST_P(CodePageRefused, LeavesThePageAsItWas) {
  EXPECT_EQ(SetThreadCodePage(GetParam().codePage), GetParam().expected);
  EXPECT_STREQ(GetThreadCodePage(), "WINDOWS-1252");
  EXPECT_EQ(Narrow(u"\u20AC"), "\x80");
}

INSTANTIATE_TEST_SUITE_P(
    Names, CodePageRefused,
    ::testing::Values(BadName{"unknown", "NO-SUCH-CODE-PAGE", E_INVALIDARG},
                      BadName{"null", nullptr, E_POINTER}, BadName{"empty", "", E_INVALIDARG},
                      BadName{"translit_suffix", "WINDOWS-1252//TRANSLIT", E_INVALIDARG},
                      BadName{"not_ascii_utf16", "UTF-16", E_INVALIDARG},
                      BadName{"not_ascii_ebcdic", "EBCDIC-US", E_INVALIDARG}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(CodePage, LongTextGrowsTheBuffers) {
  ASSERT_EQ(SetThreadCodePage("UTF-8"), S_OK);
  std::u16string wide;
  for (int i = 0; i < 5000; ++i) wide += u"\u00E9\u4E2D\U0001F600x";
  const std::string narrow = Narrow(wide);
  EXPECT_EQ(narrow.size(), 5000u * (2 + 3 + 4 + 1));
  EXPECT_EQ(ToWide(narrow), wide);
}

TEST_F(CodePage, ToBstrAndHandOutText) {
  EXPECT_EQ(ToNarrow(nullptr, 0), "");
  EXPECT_EQ(ToNarrow(BSTR{nullptr}), "");
  EXPECT_EQ(ToWide(""), u"");
  BSTR s = ToBstr("caf\xE9");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 4u);
  EXPECT_EQ(std::u16string_view(s, 4), u"caf\u00E9");
  EXPECT_EQ(s[4], u'\0');
  EXPECT_EQ(ToNarrow(s), "caf\xE9");
  SysFreeString(s);

  s = ToBstr("");
  ASSERT_NE(s, nullptr) << "empty text is an empty BSTR, not null";
  EXPECT_EQ(SysStringLen(s), 0u);
  SysFreeString(s);

  vtfc4::Bstr out;
  EXPECT_EQ(vtfc4::HandOutText("plain", out.Put()), S_OK);
  EXPECT_EQ(std::u16string_view(out.Get()), u"plain");
  EXPECT_EQ(vtfc4::HandOutText("plain", nullptr), E_POINTER);
}

}  // namespace

namespace vtfc4 {
namespace {

// The texts that cross to the sandbox's daemon travel as UTF-8, whatever the thread's code
// page: every character makes the round trip; a lone surrogate becomes '?'.
TEST(Utf8, WholeUnicodeWhateverTheCodePage) {
  const std::u16string text = u"Zo\u00EB \u03A9 \u6771\u4EAC \U0001F600 \u20AC";
  const std::string utf8 = "Zo\xC3\xAB \xCE\xA9 \xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x98\x80 \xE2\x82\xAC";
  EXPECT_EQ(Utf8FromWide(text.data(), text.size()), utf8);
  EXPECT_EQ(WideFromUtf8(utf8), text);
  EXPECT_EQ(Utf8FromWide(u"a\xD800z", 3), "a?z");
  EXPECT_EQ(WideFromUtf8("plain"), u"plain");
  EXPECT_EQ(Utf8FromWide(nullptr, 0), "");
}

}  // namespace
}  // namespace vtfc4
