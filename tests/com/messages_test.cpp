// The message table and the error-report convention.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

#include "src/com/error.h"
#include "vtfc4/com.h"
#include "vtfc4/comptr.h"

namespace {

using vtfc4::Bstr;
using vtfc4::ComPtr;
using vtfc4::MessageText;

struct Exact {
  UINT id;
  std::string_view text;
};

class MessageTexts : public ::testing::TestWithParam<Exact> {};

TEST_P(MessageTexts, AreExact) { EXPECT_EQ(MessageText(GetParam().id), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Table, MessageTexts,
    ::testing::Values(
        Exact{603, "An internal error occured."}, Exact{610, "%s: required field is missing\r\n"},
        Exact{617, "%sList:\r\n%s%s%sList\r\n"}, Exact{618, "End of "},
        Exact{624, "List is empty \r\n"}, Exact{628, "Missing 'onError' attribute. \r\n"},
        Exact{629, "Cannot create VTXMLRP2 COM component. "},
        Exact{645,
              "Invalid TimeZone settings. Hours and minutes must be either both negative or "
              "both positive. Hours are in the [-12,12] interval, and minutes [-59,59] "
              "interval. "},
        Exact{656, "Invalid Request.  Could not parse for vtXML version."},
        Exact{661, "Cannot create VTXMLRP2e COM component."}),
    [](const auto& p) { return std::to_string(p.param.id); });

TEST(Messages, EveryNamedIdHasAText) {
  for (UINT id : {603u, 604u, 610u, 616u, 617u, 618u, 619u, 620u, 621u, 624u, 625u, 626u, 627u,
                  628u, 629u, 631u, 632u, 633u, 634u, 635u, 636u, 637u, 638u, 639u, 640u, 641u,
                  642u, 643u, 644u, 645u, 651u, 652u, 655u, 656u, 657u, 658u, 659u, 660u, 661u}) {
    EXPECT_NE(MessageText(id), "Unknown Error") << id;
    char buffer[8];
    EXPECT_GT(vtfc4::LoadMessageString(id, buffer, sizeof buffer), 0) << id;
  }
}

TEST(Messages, UnknownIds) {
  for (UINT id : {0u, 1u, 600u, 602u, 605u, 630u, 662u, 0xFFFFFFFFu}) {
    EXPECT_EQ(MessageText(id), "Unknown Error") << id;
    char buffer[4] = "xyz";
    EXPECT_EQ(vtfc4::LoadMessageString(id, buffer, sizeof buffer), 0) << id;
    EXPECT_STREQ(buffer, "") << id;
  }
}

struct Truncation {
  int max;
  int count;
  std::string_view text;
};

class LoadMessage : public ::testing::TestWithParam<Truncation> {};

TEST_P(LoadMessage, CopiesAtMostMaxMinusOne) {
  char buffer[64];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(vtfc4::LoadMessageString(618, buffer, GetParam().max), GetParam().count);
  EXPECT_EQ(std::string_view(buffer), GetParam().text);
  EXPECT_EQ(buffer[GetParam().max], '#') << "nothing written past max";
}

INSTANTIATE_TEST_SUITE_P(Sizes, LoadMessage,
                         ::testing::Values(Truncation{1, 0, ""}, Truncation{2, 1, "E"},
                                           Truncation{4, 3, "End"}, Truncation{7, 6, "End of"},
                                           Truncation{8, 7, "End of "},
                                           Truncation{63, 7, "End of "}));

TEST(Messages, LoadWithNoRoomWritesNothing) {
  char buffer[2] = {'#', '#'};
  EXPECT_EQ(vtfc4::LoadMessageString(618, buffer, 0), 0);
  EXPECT_EQ(buffer[0], '#');
  EXPECT_EQ(vtfc4::LoadMessageString(618, nullptr, 10), 0);
}

// The current error object's fields.
struct Reported {
  GUID guid;
  std::u16string description;
  bool sourceIsNull;
  std::u16string source;
};

Reported TakeCurrentError() {
  Reported r{};
  ComPtr<IErrorInfo> info;
  EXPECT_EQ(GetErrorInfo(0, info.Put()), S_OK);
  if (!info) return r;
  EXPECT_EQ(info->GetGUID(&r.guid), S_OK);
  Bstr text;
  EXPECT_EQ(info->GetDescription(text.Put()), S_OK);
  if (!text.IsNull()) r.description.assign(text.Get(), text.Length());
  EXPECT_EQ(info->GetSource(text.Put()), S_OK);
  r.sourceIsNull = text.IsNull();
  if (!text.IsNull()) r.source.assign(text.Get(), text.Length());
  return r;
}

TEST(Messages, ReportErrorMakesTheCurrentErrorObject) {
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(vtfc4::ReportError(vtfc4::kMsgEndOf, vtfc4::kNoValue), vtfc4::kNoValue);
  const Reported r = TakeCurrentError();
  EXPECT_EQ(r.guid, GUID_NULL);
  EXPECT_EQ(r.description, u"End of ");
  EXPECT_TRUE(r.sourceIsNull);

  IErrorInfo* none = nullptr;
  EXPECT_EQ(GetErrorInfo(0, &none), S_FALSE) << "taken";

  // With a source, for an id without a text.
  EXPECT_EQ(vtfc4::ReportError(9999, E_FAIL, "vtFC4.MsgSet"), E_FAIL);
  const Reported sourced = TakeCurrentError();
  EXPECT_EQ(sourced.description, u"Unknown Error");
  EXPECT_FALSE(sourced.sourceIsNull);
  EXPECT_EQ(sourced.source, u"vtFC4.MsgSet");

  // A second report replaces the first.
  vtfc4::ReportError(vtfc4::kMsgListBlock, vtfc4::kValueEmpty);
  EXPECT_EQ(vtfc4::ReportErrorText("second", S_FALSE), S_FALSE);
  EXPECT_EQ(TakeCurrentError().description, u"second");
}

TEST(Messages, ReportErrorTextUsesTheThreadCodePage) {
  ASSERT_EQ(SetThreadCodePage("WINDOWS-1252"), S_OK);
  vtfc4::ReportErrorText("caf\xE9 \x80", vtfc4::kInvalidFormat);
  EXPECT_EQ(TakeCurrentError().description, u"caf\u00E9 \u20AC");
}

}  // namespace
