// Dates and date-times through the layer: the calendar, DATE numbers, std::chrono and zones.
#include <gtest/gtest.h>

#include <chrono>

#include "vtfc4/client.hpp"

namespace vtfc4 {
namespace {

using std::chrono::hours;
using std::chrono::minutes;

TEST(ClientDates, CalendarAndDayCounts) {
  struct Case {
    Date date;
    int32_t daysSince1970;
  };
  const Case cases[] = {
      {{1970, 1, 1}, 0},          {{1969, 12, 31}, -1},       {{2000, 2, 29}, 11016},
      {{2000, 3, 1}, 11017},      {{1899, 12, 30}, -25569},   {{2024, 12, 31}, 20088},
      {{1600, 2, 29}, -135081},   {{2100, 3, 1}, 47541},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.date.year << "-" << c.date.month << "-" << c.date.day);
    EXPECT_TRUE(c.date.valid());
    EXPECT_EQ(c.date.toDays().time_since_epoch().count(), c.daysSince1970);
    EXPECT_EQ(Date::fromDays(sys_days(days(c.daysSince1970))), c.date);
  }
}

TEST(ClientDates, ImpossibleDatesAreRefused) {
  for (const Date& d : {Date{2023, 2, 29}, Date{2024, 13, 1}, Date{2024, 0, 10}, Date{2024, 4, 31}, Date{1900, 2, 29}}) {
    EXPECT_FALSE(d.valid());
    EXPECT_THROW(toOleDate(d), Error);
  }
  EXPECT_TRUE((Date{2024, 2, 29}).valid());
}

TEST(ClientDates, OleDateNumbers) {
  struct Case {
    DATE value;
    DateTime expected;
  };
  const Case cases[] = {
      {0.0, {{1899, 12, 30}, 0, 0, 0, {}}},
      {2.5, {{1900, 1, 1}, 12, 0, 0, {}}},
      {-1.25, {{1899, 12, 29}, 6, 0, 0, {}}},  // backwards by day, forwards by time
      {45657.75, {{2024, 12, 31}, 18, 0, 0, {}}},
      {45657.0 + (10 * 3600 + 15 * 60 + 30) / 86400.0, {{2024, 12, 31}, 10, 15, 30, {}}},
      {45657.0 + 86399.9 / 86400.0, {{2025, 1, 1}, 0, 0, 0, {}}},  // rounded to the second
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(fromOleDate(c.value), c.expected);
    EXPECT_EQ(fromOleDate(toOleDate(c.expected)), c.expected);
  }
  EXPECT_DOUBLE_EQ(toOleDate(Date{2024, 12, 31}), 45657.0);
  EXPECT_DOUBLE_EQ(toOleDate(DateTime{{1899, 12, 29}, 6, 0, 0, {}}), -1.25);
}

TEST(ClientDates, ZonesAndInstants) {
  using namespace std::chrono;
  // 2024-03-01T10:15:00-08:00 is 18:15 UTC.
  const DateTime pacific{{2024, 3, 1}, 10, 15, 0, -hours(8)};
  const auto instant = pacific.toUtc();
  ASSERT_TRUE(instant);
  const auto utc = sys_days(Date{2024, 3, 1}.toDays()) + hours(18) + minutes(15);
  EXPECT_EQ(*instant, system_clock::time_point(utc));
  EXPECT_EQ(DateTime::fromUtc(*instant, -hours(8)), pacific);
  // The same instant in India (+05:30) is the next morning.
  EXPECT_EQ(DateTime::fromUtc(*instant, hours(5) + minutes(30)), (DateTime{{2024, 3, 1}, 23, 45, 0, minutes(330)}));
  // Across the date line and before 1970.
  EXPECT_EQ(DateTime::fromUtc(system_clock::time_point(sys_days(Date{1969, 12, 31}.toDays()) + hours(23)), hours(2)),
            (DateTime{{1970, 1, 1}, 1, 0, 0, hours(2)}));
  EXPECT_FALSE((DateTime{{2024, 3, 1}, 10, 0, 0, {}}).toUtc()) << "no zone, no instant";
}

}  // namespace
}  // namespace vtfc4
