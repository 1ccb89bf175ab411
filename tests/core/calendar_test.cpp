#include "src/core/calendar.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

namespace vtfc4 {

// Readable failures for CalendarFields.
void PrintTo(const CalendarFields& f, std::ostream* os) { *os << FormatDateTime(f); }

namespace {

constexpr double kSecond = 1.0 / 86400.0;

CalendarFields Fields(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  return CalendarFields{y, mo, d, h, mi, s};
}

// ---- DATE -> fields

struct DateCase {
  double date;
  CalendarFields fields;
};

// A few anchors, the rounding and the negative DATEs; every day of the range is in
// EveryDayRoundTripsWithTimeAndText.
TEST(CalendarTest, DateToFieldsTable) {
  const DateCase cases[] = {
      {38289.0, Fields(2004, 10, 29)},
      {0.0, Fields(1899, 12, 30)},
      {-0.0, Fields(1899, 12, 30)},
      {2958465.0, Fields(9999, 12, 31)},
      {-657434.0, Fields(100, 1, 1)},
      {38289.5, Fields(2004, 10, 29, 12)},
      {61.0, Fields(1900, 3, 1)},
      {60.0, Fields(1900, 2, 28)},
      // Rounding to the nearest second.
      {0.6 * kSecond, Fields(1899, 12, 30, 0, 0, 1)},
      {0.4 * kSecond, Fields(1899, 12, 30, 0, 0, 0)},
      {0.5 * kSecond, Fields(1899, 12, 30, 0, 0, 1)},
      {38289.0 + 0.6 * kSecond, Fields(2004, 10, 29, 0, 0, 1)},
      {38289.0 + 0.4 * kSecond, Fields(2004, 10, 29, 0, 0, 0)},
      {38289.0 + 59.6 * kSecond, Fields(2004, 10, 29, 0, 1, 0)},
      {38289.0 + 3599.6 * kSecond, Fields(2004, 10, 29, 1, 0, 0)},
      {38289.0 + 3599.4 * kSecond, Fields(2004, 10, 29, 0, 59, 59)},
      {38289.9999999, Fields(2004, 10, 30)},
      {2958464.9999999, Fields(9999, 12, 31)},
      // Negative DATEs: the whole part backwards, the time forwards.
      {-1.0, Fields(1899, 12, 29)},
      {-1.25, Fields(1899, 12, 29, 6)},
      {-0.5, Fields(1899, 12, 30, 12)},
      {-0.25, Fields(1899, 12, 30, 6)},
      {-2.75, Fields(1899, 12, 28, 18)},
      {-1.0 - 0.6 * kSecond, Fields(1899, 12, 29, 0, 0, 1)},
      {-1.0 - 0.4 * kSecond, Fields(1899, 12, 29, 0, 0, 0)},
      {-1.0 - 0.5 * kSecond, Fields(1899, 12, 29, 0, 0, 1)},
      {-0.4 * kSecond, Fields(1899, 12, 30, 0, 0, 0)},
      {-0.6 * kSecond, Fields(1899, 12, 30, 0, 0, 1)},
      // Half a second is taken from a negative DATE before it is split: a time that rounds
      // up to 24:00:00 lands on the day before, at midnight.
      {-1.9999999, Fields(1899, 12, 28)},
      {-0.9999999, Fields(1899, 12, 29)},
      {-2.0 - 86399.6 * kSecond, Fields(1899, 12, 27)},
      {-2.0 - 86399.4 * kSecond, Fields(1899, 12, 28, 23, 59, 59)},
      {-657433.9999999, Fields(100, 1, 1)},
  };
  for (const DateCase& c : cases) {
    CalendarFields f;
    ASSERT_TRUE(DateToFields(c.date, f)) << c.date;
    EXPECT_EQ(f, c.fields) << "DATE " << c.date;
  }
}

TEST(CalendarTest, DateToFieldsRefusals) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const double refused[] = {2958465.5, 2958465.0000001, 2958466.0, -657434.5, -657434.0000001,
                            -657435.0, 1e300,           -1e300,    inf,       -inf,
                            nan,       -nan};
  for (double d : refused) {
    CalendarFields f = Fields(1, 2, 3, 4, 5, 6);
    EXPECT_FALSE(DateToFields(d, f)) << d;
    EXPECT_EQ(f, Fields(1, 2, 3, 4, 5, 6)) << "output changed for " << d;
  }
}

// ---- fields -> DATE

struct FieldsCase {
  CalendarFields fields;
  double date;
};

// Every day and second that DateToFields gives comes back in the round trips below; here the
// anchors and what lies beyond them.
TEST(CalendarTest, FieldsToDateTable) {
  const FieldsCase cases[] = {
      {Fields(2004, 10, 29, 12), 38289.5},
      {Fields(1899, 12, 30, 12), 0.5},  // day 0 takes a positive time
      {Fields(1899, 12, 29, 6), -1.25},
      {Fields(1899, 12, 28, 18), -2.75},
      // Accepted, though outside DateToFields' range (documented).
      {Fields(9999, 12, 31, 12), 2958465.5},
      {Fields(100, 1, 1, 12), -657434.5},
  };
  for (const FieldsCase& c : cases) {
    double d = -12345.0;
    ASSERT_TRUE(FieldsToDate(c.fields, d)) << FormatDateTime(c.fields);
    EXPECT_EQ(d, c.date) << FormatDateTime(c.fields);
  }
}

TEST(CalendarTest, LeapYears) {
  struct LeapCase {
    int year;
    bool valid;
  };
  const LeapCase cases[] = {{1900, false}, {2000, true},  {2004, true}, {2100, false},
                            {2003, false}, {1600, true},  {1700, false}, {400 * 24, true},
                            {100, false},  {400, true},   {9996, true}, {9999, false}};
  for (const LeapCase& c : cases) {
    double d = 0.0;
    EXPECT_EQ(FieldsToDate(Fields(c.year, 2, 29), d), c.valid) << c.year;
    EXPECT_TRUE(FieldsToDate(Fields(c.year, 2, 28), d)) << c.year;
    EXPECT_FALSE(FieldsToDate(Fields(c.year, 2, 30), d)) << c.year;
  }
}

TEST(CalendarTest, FieldsToDateRefusals) {
  const CalendarFields refused[] = {
      // (February 29th of years that are no leap years: LeapYears.)
      Fields(2004, 4, 31),
      Fields(2004, 6, 31),      Fields(2004, 9, 31),      Fields(2004, 11, 31),
      Fields(2004, 1, 32),      Fields(2004, 12, 32),     Fields(2004, 0, 1),
      Fields(2004, 13, 1),      Fields(2004, -1, 1),      Fields(2004, 1, 0),
      Fields(2004, 1, -1),      Fields(2004, 1, 1, 24),   Fields(2004, 1, 1, -1),
      Fields(2004, 1, 1, 0, 60), Fields(2004, 1, 1, 0, -1), Fields(2004, 1, 1, 0, 0, 60),
      Fields(2004, 1, 1, 0, 0, -1),
      // Years: at most 9999; below 100 (0 and negative ones too) are refused.
      Fields(10000, 1, 1),      Fields(99, 12, 31),       Fields(1, 1, 1),
      Fields(0, 1, 1),          Fields(-50, 1, 1),
      Fields(std::numeric_limits<int>::min(), std::numeric_limits<int>::min(),
             std::numeric_limits<int>::min()),
      Fields(std::numeric_limits<int>::max(), std::numeric_limits<int>::max(),
             std::numeric_limits<int>::max()),
      CalendarFields{},
  };
  for (const CalendarFields& f : refused) {
    double d = 42.0;
    EXPECT_FALSE(FieldsToDate(f, d)) << FormatDateTime(f);
    EXPECT_EQ(d, 42.0) << "output changed for " << FormatDateTime(f);
  }
}

// ---- round trips

// The DATE of day number `day` (from 30 Dec 1899) at `seconds` after midnight.
double MakeDate(int day, int seconds) {
  const double time = seconds / 86400.0;
  return day < 0 ? day - time : day + time;
}

bool IsLeap(int y) { return y % 400 == 0 || (y % 4 == 0 && y % 100 != 0); }

// The calendar day after `f` (date part only), by month lengths: an independent check.
CalendarFields NextDay(CalendarFields f) {
  static const int kLengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const int length = f.month == 2 && IsLeap(f.year) ? 29 : kLengths[f.month - 1];
  if (++f.day > length) {
    f.day = 1;
    if (++f.month > 12) {
      f.month = 1;
      ++f.year;
    }
  }
  return f;
}

TEST(CalendarTest, EveryDayRoundTripsWithTimeAndText) {
  CalendarFields expected = Fields(100, 1, 1);
  int failures = 0;
  for (int day = -657434; day <= 2958465 && failures < 10; ++day) {
    // A time that changes from day to day; none on the two edge days (outside the range).
    int seconds = static_cast<int>((static_cast<long long>(day) * 7919 % 86400 + 86400) % 86400);
    if (day == -657434 || day == 2958465) seconds = 0;
    const double date = MakeDate(day, seconds);
    CalendarFields f;
    if (!DateToFields(date, f)) {
      ADD_FAILURE() << "refused DATE " << date;
      ++failures;
      continue;
    }
    CalendarFields want = expected;
    want.hour = seconds / 3600;
    want.minute = seconds / 60 % 60;
    want.second = seconds % 60;
    if (f != want) {
      ADD_FAILURE() << "DATE " << date << " gave " << FormatDateTime(f) << ", want "
                    << FormatDateTime(want);
      ++failures;
    }
    double back = 0.0;
    if (!FieldsToDate(f, back) || back != date) {
      ADD_FAILURE() << "DATE " << date << " came back as " << back;
      ++failures;
    }
    // Every 997th day through the texts too (the day alone, and the day at midnight).
    if (day % 997 == 0 || day == -657434 || day == 2958465) {
      EXPECT_EQ(ParseDateText(FormatDate(expected).c_str()), day) << FormatDate(expected);
      EXPECT_EQ(ParseDateTimeText(FormatDateTime(expected).c_str()), day) << FormatDateTime(expected);
    }
    expected = NextDay(expected);
  }
  EXPECT_EQ(expected, NextDay(Fields(9999, 12, 31)));
}

TEST(CalendarTest, RoundTripsOfTimesOfDay) {
  // Every second of a few days, positive and negative, through DATE and through text.
  const int days[] = {-657433, -36522, -2, -1, 0, 1, 2, 38289, 2958464};
  for (int day : days) {
    for (int seconds = 0; seconds < 86400; ++seconds) {
      const double date = MakeDate(day, seconds);
      CalendarFields f;
      ASSERT_TRUE(DateToFields(date, f)) << date;
      ASSERT_EQ(f.hour * 3600 + f.minute * 60 + f.second, seconds) << date;
      double back = 0.0;
      ASSERT_TRUE(FieldsToDate(f, back)) << date;
      ASSERT_EQ(back, date) << FormatDateTime(f);
      ASSERT_EQ(ParseDateTimeText(FormatDateTime(f).c_str()), date) << FormatDateTime(f);
      if (day == 0) {
        // -x and x are the same instant of 30 Dec 1899 (FieldsToDate gives the positive one).
        CalendarFields negative;
        ASSERT_TRUE(DateToFields(-date, negative));
        ASSERT_EQ(negative, f) << seconds;
      }
    }
  }
}

// ---- text forms

TEST(CalendarTest, FormatDateAndDateTime) {
  EXPECT_EQ(FormatDate(Fields(2004, 10, 29)), "2004-10-29");
  EXPECT_EQ(FormatDate(Fields(100, 1, 1)), " 100-01-01");
  EXPECT_EQ(FormatDate(Fields(999, 12, 31, 23, 59, 59)), " 999-12-31");
  EXPECT_EQ(FormatDate(Fields(9999, 12, 31)), "9999-12-31");
  EXPECT_EQ(FormatDateTime(Fields(2004, 10, 29, 12)), "2004-10-29T12:00:00");
  EXPECT_EQ(FormatDateTime(Fields(2004, 1, 2, 3, 4, 5)), "2004-01-02T03:04:05");
  EXPECT_EQ(FormatDateTime(Fields(100, 1, 1)), " 100-01-01T00:00:00");
  // Whatever the fields, the text is complete (no truncation).
  const int lo = std::numeric_limits<int>::min();
  EXPECT_EQ(FormatDateTime(Fields(lo, lo, lo, lo, lo, lo)),
            "-2147483648--2147483648--2147483648T-2147483648:-2147483648:-2147483648");

  CalendarFields f;
  ASSERT_TRUE(DateToFields(-657434, f));
  EXPECT_EQ(FormatDate(f), " 100-01-01");
}

// Texts that are no date (or no date-time) read as DATE 0.
TEST(CalendarTest, ParseDateAndDateTimeText) {
  struct TextCase {
    const char* text;
    double date;
  };
  const TextCase dates[] = {
      {"garbage", 0.0},    {"", 0.0},          {"2004-13-01", 0.0},  {"2004-02-30", 0.0},
      {"1900-02-29", 0.0}, {"2004-10", 0.0},   {"2004", 0.0},        {"0099-12-31", 0.0},
      {"0000-01-01", 0.0}, {"10000-01-01", 0.0},
      {"2004-10-29T14:05:00", 38289.0},  // the time of a date is ignored, and its zone
      {"2004-10-29T14:05:00+05:30", 38289.0},
      {"2004-10-29", 38289.0},           {"2004-10-29Z", 38289.0},
      {"1900-03-01", 61.0},              {"1899-12-29", -1.0},
      {"1899-12-30", 0.0},               {" 100-01-01", -657434.0},
      {"0100-01-01", -657434.0},         {"9999-12-31", 2958465.0},
      {"2000-02-29", 36585.0},
  };
  for (const TextCase& c : dates) EXPECT_EQ(ParseDateText(c.text), c.date) << c.text;
  EXPECT_EQ(ParseDateText(nullptr), 0.0);
  const TextCase dateTimes[] = {
      {"2004-10-29T12:00:00+05:30", 38289.5},  // the zone is not applied
      {"2004-10-29T12:00:00-08:00", 38289.5},  {"2004-10-29T12:00:00Z", 38289.5},
      {"2004-10-29T12:00:00", 38289.5},        {"2004-10-29T12:00", 38289.5},
      {"2004-10-29T12", 38289.5},              {"2004-10-29", 38289.0},
      {"2004-10-29T00:00:01", 38289.0 + 1.0 / 86400.0},
      {"1899-12-29T06:00:00", -1.25},          {"1899-12-30T12:00:00", 0.5},
      {" 100-01-01T00:00:00", -657434.0},      {"9999-12-31T00:00:00", 2958465.0},
      {"2004-10-29T24:00:00", 0.0},            {"2004-10-29T12:60:00", 0.0},
      {"2004-10-29T12:00:60", 0.0},            {"2004-13-29T12:00:00", 0.0},
      {"garbage", 0.0},                        {"", 0.0},
  };
  for (const TextCase& c : dateTimes) EXPECT_EQ(ParseDateTimeText(c.text), c.date) << c.text;
  EXPECT_EQ(ParseDateTimeText(nullptr), 0.0);
}

// ---- zones

TEST(CalendarTest, ZoneValidityAndText) {
  struct ZoneCase {
    int hours;
    int minutes;
    bool valid;
    const char* text;  // null: not looked at
  };
  const ZoneCase cases[] = {
      {-8, 0, true, "-08:00"},    {5, 30, true, "+05:30"},    {0, -30, true, "-00:30"},
      {0, 0, true, "+00:00"},     {-5, -30, true, "-05:30"},  {12, 0, true, "+12:00"},
      {-12, 0, true, "-12:00"},   {0, 59, true, "+00:59"},    {0, -59, true, "-00:59"},
      {10, 5, true, "+10:05"},    {-3, -45, true, "-03:45"},  {0, 30, true, nullptr},
      {12, 59, true, nullptr},    {-12, -59, true, nullptr},  {5, 0, true, nullptr},
      {-5, 0, true, nullptr},     {5, -30, false, nullptr},   {-5, 30, false, nullptr},
      {13, 0, false, nullptr},    {-13, 0, false, nullptr},   {0, 60, false, nullptr},
      {0, -60, false, nullptr},   {12, 60, false, nullptr},
  };
  for (const ZoneCase& c : cases) {
    EXPECT_EQ(ZoneIsValid(c.hours, c.minutes), c.valid) << c.hours << "," << c.minutes;
    if (c.text) {
      EXPECT_EQ(FormatZoneSuffix(c.hours, c.minutes), c.text) << c.hours << "," << c.minutes;
    }
  }
  // No undefined behaviour for extreme input.
  const int lo = std::numeric_limits<int>::min();
  EXPECT_EQ(FormatZoneSuffix(lo, lo), "-2147483648:2147483648");
}

TEST(CalendarTest, ParseZoneSuffix) {
  struct ZoneParse {
    const char* text;
    bool found;
    int hours;
    int minutes;
  };
  const ZoneParse cases[] = {
      {"2004-10-29T12:00:00+05:30", true, 5, 30},
      {"2004-10-29T12:00:00-08:00", true, -8, 0},
      {"2004-10-29T12:00:00-05:30", true, -5, -30},
      {"2004-10-29T12:00:00+00:00", true, 0, 0},
      {"2004-10-29T12:00:00-00:30", true, 0, -30},
      {"2004-10-29", false, 0, 0},
      {"2004-10-29T12:00:00", false, 0, 0},
      {"2004-10-29T12:00:00Z", false, 0, 0},
      {"2004-10-29T12:00:00+05", false, 0, 0},
      {"2004-10-29T12:00:00+", false, 0, 0},
      {"", false, 0, 0},
      {"no sign at all", false, 0, 0},
  };
  for (const ZoneParse& c : cases) {
    int h = 77;
    int m = 77;
    EXPECT_EQ(ParseZoneSuffix(c.text, h, m), c.found) << c.text;
    if (c.found) {
      EXPECT_EQ(h, c.hours) << c.text;
      EXPECT_EQ(m, c.minutes) << c.text;
    } else {
      EXPECT_EQ(h, 77) << c.text;
      EXPECT_EQ(m, 77) << c.text;
    }
  }
  int h = 77;
  int m = 77;
  EXPECT_FALSE(ParseZoneSuffix(nullptr, h, m));
  // Every valid zone round trips through its text.
  for (int hours = -12; hours <= 12; ++hours) {
    for (int minutes = -59; minutes <= 59; ++minutes) {
      if (!ZoneIsValid(hours, minutes)) continue;
      const std::string text = "2004-10-29T12:00:00" + FormatZoneSuffix(hours, minutes);
      ASSERT_TRUE(ParseZoneSuffix(text.c_str(), h, m)) << text;
      ASSERT_EQ(h, hours) << text;
      ASSERT_EQ(m, minutes) << text;
    }
  }
}

// ---- durations

TEST(CalendarTest, FormatDuration) {
  EXPECT_EQ(FormatDuration(1, 30, 0), "PT1H30M");
  EXPECT_EQ(FormatDuration(0, 0, 0), "PT0H0M");
  EXPECT_EQ(FormatDuration(0, 0, 45), "PT0H0M45S");
  EXPECT_EQ(FormatDuration(2, 0, 0), "PT2H0M");
  EXPECT_EQ(FormatDuration(100000, 61, 61), "PT100000H61M61S");
}

TEST(CalendarTest, ParseDurationAccepts) {
  struct DurationCase {
    const char* text;
    int16_t h;
    int16_t m;
    int16_t s;
  };
  const DurationCase cases[] = {
      {"PT45S", 0, 0, 45},
      {"PT1H15S", 1, 0, 15},
      {"PT2H0M", 2, 0, 0},
      {"PT1H30M", 1, 30, 0},
      {"PT1H30M15S", 1, 30, 15},
      {"PT1H", 1, 0, 0},
      {"PT30M", 0, 30, 0},
      {"PT30M15S", 0, 30, 15},
      {"PT0H0M", 0, 0, 0},
      {"PT0H0M45S", 0, 0, 45},
      {"PT-3H", -3, 0, 0},
      {"PT+3H", 3, 0, 0},
      {"PT007M", 0, 7, 0},
      {"PT70000H", 4464, 0, 0},
      {"PT65536H65537M65538S", 0, 1, 2},
      {"PT32768S", 0, 0, -32768},
  };
  for (const DurationCase& c : cases) {
    int16_t h = 99;
    int16_t m = 99;
    int16_t s = 99;
    ASSERT_TRUE(ParseDuration(c.text, h, m, s)) << c.text;
    EXPECT_EQ(h, c.h) << c.text;
    EXPECT_EQ(m, c.m) << c.text;
    EXPECT_EQ(s, c.s) << c.text;
  }
  // Every duration that FormatDuration writes within 16 bits reads back.
  for (int hours : {0, 1, 23, 100, 32767}) {
    for (int minutes : {0, 1, 59}) {
      for (int seconds : {0, 1, 59}) {
        const std::string text = FormatDuration(hours, minutes, seconds);
        int16_t h = 99;
        int16_t m = 99;
        int16_t s = 99;
        ASSERT_TRUE(ParseDuration(text.c_str(), h, m, s)) << text;
        EXPECT_EQ(h, hours) << text;
        EXPECT_EQ(m, minutes) << text;
        EXPECT_EQ(s, seconds) << text;
      }
    }
  }
}

TEST(CalendarTest, ParseDurationRefuses) {
  const char* const refused[] = {
      "P1DT2H",      "PT",         "PT1.5H",      "PT1H2X",      "PT5M3H",
      "T1H",         "1H",         "",            "P",           "PX1H",
      "pt1h",        "PT1h",       "PT1H1H",      "PT1S1S",      "PT1M1M",
      "PT1S2M",      "PT1H2S3M",   "PT1H2",       "PTH",         "PT-H",
      "PT+H",        "PT--3H",     "PT 3H",       "PT3 H",       "PT3H ",
      "PT1H30M15S0", "PT1H30M15SX", "PT0x10H",    "PT1HM",       "PT1H30MS",
      "PT99999999999999999999H",   "PT-99999999999999999999H",
  };
  for (const char* text : refused) {
    int16_t h = 99;
    int16_t m = 99;
    int16_t s = 99;
    EXPECT_FALSE(ParseDuration(text, h, m, s)) << '"' << text << '"';
    EXPECT_EQ(h, 99) << text;
    EXPECT_EQ(m, 99) << text;
    EXPECT_EQ(s, 99) << text;
  }
  int16_t h = 0;
  int16_t m = 0;
  int16_t s = 0;
  EXPECT_FALSE(ParseDuration(nullptr, h, m, s));
}

}  // namespace
}  // namespace vtfc4
