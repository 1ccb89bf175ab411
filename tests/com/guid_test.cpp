// GUID constants and text form.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

#include "vtfc4/com.h"

namespace {

std::u16string Text(REFGUID g) {
  OLECHAR buffer[39];
  EXPECT_EQ(StringFromGUID2(g, buffer, 39), 39);
  return std::u16string(buffer);
}

struct KnownIid {
  const char* name;
  const IID* iid;
  std::u16string_view text;
};

class StandardIids : public ::testing::TestWithParam<KnownIid> {};

TEST_P(StandardIids, HaveTheirComValues) {
  EXPECT_EQ(Text(*GetParam().iid), GetParam().text);
  IID parsed;
  ASSERT_EQ(IIDFromString(GetParam().text.data(), &parsed), S_OK);
  EXPECT_EQ(parsed, *GetParam().iid);
}

INSTANTIATE_TEST_SUITE_P(
    Iids, StandardIids,
    ::testing::Values(
        KnownIid{"GUID_NULL", &GUID_NULL, u"{00000000-0000-0000-0000-000000000000}"},
        KnownIid{"IID_NULL", &IID_NULL, u"{00000000-0000-0000-0000-000000000000}"},
        KnownIid{"IUnknown", &IID_IUnknown, u"{00000000-0000-0000-C000-000000000046}"},
        KnownIid{"IDispatch", &IID_IDispatch, u"{00020400-0000-0000-C000-000000000046}"},
        KnownIid{"IClassFactory", &IID_IClassFactory, u"{00000001-0000-0000-C000-000000000046}"},
        KnownIid{"ISupportErrorInfo", &IID_ISupportErrorInfo,
                 u"{DF0B3D60-548F-101B-8E65-08002B2BD119}"},
        KnownIid{"IErrorInfo", &IID_IErrorInfo, u"{1CF2B120-547D-101B-8E65-08002B2BD119}"},
        KnownIid{"ICreateErrorInfo", &IID_ICreateErrorInfo,
                 u"{22F03340-547D-101B-8E65-08002B2BD119}"}),
    [](const auto& p) { return std::string(p.param.name); });

const GUID kSample = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

struct Accepted {
  const char* name;
  std::u16string_view text;
};

class GuidAccepted : public ::testing::TestWithParam<Accepted> {};

TEST_P(GuidAccepted, ParsesToTheSampleAndPrintsUpperCase) {
  CLSID clsid;
  ASSERT_EQ(CLSIDFromString(GetParam().text.data(), &clsid), S_OK);
  EXPECT_EQ(clsid, kSample);
  IID iid;
  ASSERT_EQ(IIDFromString(GetParam().text.data(), &iid), S_OK);
  EXPECT_EQ(iid, kSample);
  EXPECT_EQ(Text(clsid), u"{12345678-9ABC-DEF0-0123-456789ABCDEF}");
}

INSTANTIATE_TEST_SUITE_P(
    Forms, GuidAccepted,
    ::testing::Values(Accepted{"upper", u"{12345678-9ABC-DEF0-0123-456789ABCDEF}"},
                      Accepted{"lower", u"{12345678-9abc-def0-0123-456789abcdef}"},
                      Accepted{"mixed", u"{12345678-9aBc-DeF0-0123-456789AbCdEf}"}),
    [](const auto& p) { return std::string(p.param.name); });

struct Refused {
  const char* name;
  const OLECHAR* text;
};

class GuidRefused : public ::testing::TestWithParam<Refused> {};

TEST_P(GuidRefused, GivesClassStringAndZeroes) {
  for (auto parse : {&CLSIDFromString, &IIDFromString}) {
    GUID g;
    std::memset(&g, 0xAB, sizeof g);
    EXPECT_EQ(parse(GetParam().text, &g), CO_E_CLASSSTRING);
    EXPECT_EQ(g, GUID_NULL);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, GuidRefused,
    ::testing::Values(Refused{"null", nullptr}, Refused{"empty", u""},
                      Refused{"no_braces", u"12345678-9ABC-DEF0-0123-456789ABCDEF"},
                      Refused{"no_closing_brace", u"{12345678-9ABC-DEF0-0123-456789ABCDEF"},
                      Refused{"no_opening_brace", u"12345678-9ABC-DEF0-0123-456789ABCDEF}"},
                      Refused{"parentheses", u"(12345678-9ABC-DEF0-0123-456789ABCDEF)"},
                      Refused{"too_long", u"{12345678-9ABC-DEF0-0123-456789ABCDEF}x"},
                      Refused{"extra_digit", u"{12345678-9ABC-DEF0-0123-456789ABCDEF0}"},
                      Refused{"short_digit", u"{12345678-9ABC-DEF0-0123-456789ABCDE}"},
                      Refused{"short_group", u"{1234567-89ABC-DEF0-0123-456789ABCDEF}"},
                      Refused{"dash_moved", u"{12345678-9ABC-DEF0-01234-56789ABCDEF}"},
                      Refused{"no_dashes", u"{123456789ABCDEF00123456789ABCDEF}"},
                      Refused{"bad_digit_g", u"{12345678-9ABC-DEF0-0123-456789ABCDEG}"},
                      Refused{"blank", u"{12345678-9ABC-DEF0-0123-456789ABCDE }"},
                      Refused{"leading_blank", u" {12345678-9ABC-DEF0-0123-456789ABCDEF}"},
                      Refused{"fullwidth_digit", u"{12345678-9ABC-DEF0-0123-456789ABCDE\uFF10}"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Guid, NullOutIsInvalidArg) {
  EXPECT_EQ(CLSIDFromString(u"{12345678-9ABC-DEF0-0123-456789ABCDEF}", nullptr), E_INVALIDARG);
  EXPECT_EQ(IIDFromString(u"{12345678-9ABC-DEF0-0123-456789ABCDEF}", nullptr), E_INVALIDARG);
  EXPECT_EQ(IIDFromString(nullptr, nullptr), E_INVALIDARG);
}

TEST(Guid, StringFromGuid2NeedsRoomFor39) {
  OLECHAR buffer[41];
  for (OLECHAR& c : buffer) c = u'#';
  EXPECT_EQ(StringFromGUID2(kSample, buffer, 38), 0);
  EXPECT_EQ(buffer[0], u'#');
  EXPECT_EQ(StringFromGUID2(kSample, buffer, 0), 0);
  EXPECT_EQ(StringFromGUID2(kSample, nullptr, 39), 0);
  EXPECT_EQ(StringFromGUID2(kSample, buffer, 40), 39);
  EXPECT_EQ(std::u16string_view(buffer), u"{12345678-9ABC-DEF0-0123-456789ABCDEF}");
  EXPECT_EQ(buffer[39], u'#');
}

TEST(Guid, RoundTripsEveryByte) {
  GUID g;
  auto* bytes = reinterpret_cast<unsigned char*>(&g);
  for (int seed = 0; seed < 64; ++seed) {
    for (size_t i = 0; i < sizeof g; ++i)
      bytes[i] = static_cast<unsigned char>(seed * 37 + i * 101);
    OLECHAR text[39];
    ASSERT_EQ(StringFromGUID2(g, text, 39), 39);
    GUID back;
    ASSERT_EQ(CLSIDFromString(text, &back), S_OK);
    EXPECT_EQ(back, g);
  }
}

}  // namespace
