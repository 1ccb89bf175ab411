#include "src/xml/tag_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vtfc4 {
namespace {

TEST(TagTable, IdsOfNames) {
  const struct {
    const char* name;
    int id;
  } cases[] = {
      {"APAccountRef", 0}, {"ARAccountRef", 1}, {"AccountAdd", 2},
      {"CustomerAdd", 250}, {"CustomerAddRq", 251}, {"CustomerAddRs", 252},
      {"CustomerQueryRq", 267}, {"CustomerRet", 270}, {"SignonDesktopRq", 1167},
      {"SignonTicketRs", 1172}, {"VTFileMode", 1367}, {"VTXML", 1368},
      {"VTXMLMsgsRq", 1372}, {"VTXMLSubscriptionMsgsRs", 1375}, {"colID", 1420},
      {"metaData", 1424}, {"newMessageSetID", 1425}, {"oldMessageSetID", 1426},
      {"onError", 1427}, {"requestID", 1428}, {"responseData", 1429}, {"retCount", 1430},
      {"statusCode", 1433}, {"statusMessage", 1434}, {"statusSeverity", 1435},
      {"value", 1439},
      // Names that are not tags: the sentinel, names between and after the two halves of the
      // table, wrong case, empty, a prefix of a real name, a real name with a suffix.
      {"LastTagEntry", -1}, {"ZZZ", -1}, {"zzz", -1}, {"customeradd", -1}, {"", -1},
      {"Customer", -1}, {"CustomerAddX", -1}, {"A", -1}, {"~", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(TagIdOf(c.name), c.id) << c.name;
}

TEST(TagTable, EveryNameFindsItsOwnPosition) {
  for (int id = 0; id < tag::kCount; ++id) {
    std::string name;
    ASSERT_TRUE(TagNameOf(id, name));
    EXPECT_EQ(TagIdOf(name), id) << name;
  }
}

TEST(TagTable, HashedLookupAgreesWithTheSearch) {
  std::vector<std::string> names = {"", "LastTagEntry", "ZZZ", "zzz", "customeradd", "A", "~",
                                    "CustomerAddX", "Customer", std::string(600, 'x')};
  for (int id = 0; id < tag::kCount; ++id) {
    std::string name;
    TagNameOf(id, name);
    names.push_back(name);
    names.push_back(name + "s");
    names.push_back(name.substr(0, name.size() - 1));
  }
  for (const auto& n : names) EXPECT_EQ(LookupTag(n), TagIdOf(n)) << n;
}

TEST(TagTable, NamesOutsideTheTableAreRefused) {
  std::string out = "kept";
  EXPECT_FALSE(TagNameOf(-1, out));
  EXPECT_FALSE(TagNameOf(1440, out));
  EXPECT_EQ(out, "kept");
  EXPECT_TRUE(TagNameOf(1439, out));
  EXPECT_EQ(out, "keptvalue");
  EXPECT_EQ(TagName(1440), nullptr);
  EXPECT_STREQ(TagName(tag::CustomerAdd), "CustomerAdd");
}

TEST(MessageTypes, Values) {
  const struct {
    const char* name;
    uint16_t value;
  } cases[] = {
      {"CustomerAddRq", 1317}, {"CustomerAddRs", 1016}, {"CustomSummaryReportQueryRq", 1182},
      {"BillAddRs", 1048}, {"VTXMLEvents", 1180}, {"ItemNonInventoryAddRs", 1001},
      {"PriceLevelAddRs", 1383}, {"CustomerAdd", 0}, {"", 0}, {"customeraddrq", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(MessageTypeOf(c.name), c.value) << c.name;
}

}  // namespace
}  // namespace vtfc4
