// The date, date-time and time-interval value classes.
#include "src/core/dates.h"

#include <gtest/gtest.h>

#include "support.h"

#include <string>

#include "src/com/error.h"
#include "vtfc4/com.h"
#include "vtfc4/values.h"

namespace vtfc4 {
namespace {

constexpr const char* kNoValueText = "No value has been set.";
constexpr const char* kInvalidDateText = "Invalid Date value. The value is out of normal range.";
// The message table's text ends with a blank.
constexpr const char* kInvalidZoneText =
    "Invalid TimeZone settings. Hours and minutes must be either both negative or both "
    "positive. Hours are in the [-12,12] interval, and minutes [-59,59] interval. ";

constexpr double kNoon = 38289.5;  // 2004-10-29T12:00:00

Own<CVTDateType> NewDate() { return Own<CVTDateType>(NewDateValue()); }
Own<CVTDateTimeType> NewDateTime(bool dateOnlyMember = false) {
  return Own<CVTDateTimeType>(NewDateTimeValue(dateOnlyMember));
}
Own<CVTTimeIntervalType> NewInterval() { return Own<CVTTimeIntervalType>(NewTimeIntervalValue()); }

// The zone as "h,m", or the failure status and description.
std::string Zone(CVTDateTimeType& value) {
  SHORT h = 77;
  SHORT m = 77;
  HRESULT hr = value.GetTimeZone(&h, &m);
  if (hr != S_OK) {
    EXPECT_EQ(h, 0);
    EXPECT_EQ(m, 0);
    return "failed " + std::to_string(static_cast<uint32_t>(hr)) + " " + TakeError();
  }
  return std::to_string(h) + "," + std::to_string(m);
}
const std::string kNoZoneRead =
    "failed " + std::to_string(static_cast<uint32_t>(kNotSetStatus)) + " " + kNoValueText;

// The states every value class shares (never set, empty, unset, refused sets, null outs) are
// in values_test.cpp; the calendar's conversions, with their edges, in calendar_test.cpp.
class DatesTest : public WithoutErrorObject {};

// ---- Dates.

// A date keeps the day alone; the read gives what was written.
TEST_F(DatesTest, DateSetValueAndParsedText) {
  const struct {
    double value;
    const char* text;  // null: refused
    double read;
  } sets[] = {
      {38289, "2004-10-29", 38289},
      {kNoon, "2004-10-29", 38289},
      // The time of day is rounded before the date is taken: just before midnight is the
      // next day.
      {38289.9999999, "2004-10-30", 38290},
      {2958465.5, nullptr, 0},
  };
  for (const auto& c : sets) {
    SCOPED_TRACE(c.value);
    auto date = NewDate();
    if (c.text) {
      EXPECT_EQ(date->SetValue(c.value), S_OK);
      EXPECT_EQ(TakeError(), kNoErrorObject);
      EXPECT_EQ(XmlText(*date), c.text);
      DATE read = -1;
      EXPECT_EQ(date->GetValue(&read), S_OK);
      EXPECT_EQ(read, c.read);
    } else {
      EXPECT_EQ(date->SetValue(c.value), kFormatStatus);
      EXPECT_EQ(TakeError(), kInvalidDateText);
    }
  }
  // Parsed text is kept as the response wrote it; a text that is no date reads as DATE 0,
  // without an error.
  const struct {
    const char* text;
    double read;
  } parsed[] = {{"2004-10-29T12:00:00", 38289}, {"2003-02-29", 0}, {"garbage", 0}};
  for (const auto& c : parsed) {
    SCOPED_TRACE(c.text);
    auto date = NewDate();
    EXPECT_TRUE(date->SetXMLValue(c.text));
    DATE read = -1;
    EXPECT_EQ(date->GetValue(&read), S_OK);
    EXPECT_EQ(read, c.read);
    EXPECT_EQ(TakeError(), kNoErrorObject);
    EXPECT_EQ(XmlText(*date), c.text);
  }
}

// ---- Date-times: typed sets.

constexpr SHORT kNone = CVTDateTimeType::kNoZone;

struct DateTimeSetCase {
  const char* name;
  bool dateOnlyMember;
  SHORT zoneHours;  // kNone: no zone set
  SHORT zoneMinutes;
  double value;
  VARIANT_BOOL asDateOnly;
  const char* xml;
  double read;
};

// The texts of the clock time and of the zone are the calendar's (calendar_test.cpp); here,
// which of them a set writes.
TEST_F(DatesTest, DateTimeSetValueTable) {
  const DateTimeSetCase cases[] = {
      {"noon", false, kNone, kNone, kNoon, VARIANT_FALSE, "2004-10-29T12:00:00", kNoon},
      {"date only", false, kNone, kNone, kNoon, VARIANT_TRUE, "2004-10-29", 38289},
      {"date only ignores the zone", false, -8, 0, kNoon, VARIANT_TRUE, "2004-10-29", 38289},
      {"1 is not VARIANT_TRUE", false, kNone, kNone, kNoon, 1, "2004-10-29T12:00:00", kNoon},
      {"date-only member", true, kNone, kNone, kNoon, VARIANT_FALSE, "2004-10-29", 38289},
      {"date-only member ignores the zone", true, 5, 30, kNoon, VARIANT_FALSE, "2004-10-29",
       38289},
      {"western zone", false, -8, 0, kNoon, VARIANT_FALSE, "2004-10-29T12:00:00-08:00", kNoon},
      {"eastern zone", false, 5, 30, kNoon, VARIANT_FALSE, "2004-10-29T12:00:00+05:30", kNoon},
  };
  for (const DateTimeSetCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto value = NewDateTime(c.dateOnlyMember);
    ASSERT_NE(value.get(), nullptr);
    EXPECT_EQ(value->DateOnlyMember(), c.dateOnlyMember);
    if (c.zoneHours != kNone) {
      ASSERT_EQ(value->SetTimeZone(c.zoneHours, c.zoneMinutes), S_OK);
    }
    EXPECT_EQ(value->SetValue(c.value, c.asDateOnly), S_OK);
    EXPECT_EQ(XmlText(*value), c.xml);
    DATE read = -1;
    EXPECT_EQ(value->GetValue(&read), S_OK);
    EXPECT_DOUBLE_EQ(read, c.read);
    EXPECT_EQ(TakeError(), kNoErrorObject);
  }
}

TEST_F(DatesTest, RefusedDateTimeKeepsTextFlagAndZone) {
  auto value = NewDateTime();
  ASSERT_EQ(value->SetTimeZone(-8, 0), S_OK);
  ASSERT_EQ(value->SetValue(38289, VARIANT_TRUE), S_OK);
  EXPECT_EQ(value->SetValue(2958465.5, VARIANT_FALSE), kFormatStatus);
  EXPECT_EQ(TakeError(), kInvalidDateText);
  // Still a plain date: written without the zone.
  EXPECT_EQ(XmlText(*value), "2004-10-29");
  EXPECT_EQ(Zone(*value), "-8,0");
}

TEST_F(DatesTest, ZoneIsIndependentOfTheValue) {
  auto value = NewDateTime();
  // Before the value: stored, but nothing to write.
  ASSERT_EQ(value->SetTimeZone(-8, 0), S_OK);
  EXPECT_FALSE(value->IsSet());
  EXPECT_EQ(XmlText(*value), kNotWritten);
  EXPECT_EQ(Zone(*value), "-8,0");
  // A typed set keeps the zone.
  ASSERT_EQ(value->SetValue(kNoon, VARIANT_FALSE), S_OK);
  EXPECT_EQ(XmlText(*value), "2004-10-29T12:00:00-08:00");
  ASSERT_EQ(value->SetValue(38290.25, VARIANT_FALSE), S_OK);
  EXPECT_EQ(XmlText(*value), "2004-10-30T06:00:00-08:00");
  // After the value: the new zone is written.
  ASSERT_EQ(value->SetTimeZone(1, 0), S_OK);
  EXPECT_EQ(XmlText(*value), "2004-10-30T06:00:00+01:00");
  // A date-time after a date-only set carries the zone again.
  ASSERT_EQ(value->SetValue(kNoon, VARIANT_TRUE), S_OK);
  EXPECT_EQ(XmlText(*value), "2004-10-29");
  ASSERT_EQ(value->SetValue(kNoon, VARIANT_FALSE), S_OK);
  EXPECT_EQ(XmlText(*value), "2004-10-29T12:00:00+01:00");
}

struct ZoneCase {
  SHORT hours;
  SHORT minutes;
  bool accepted;
};

// Which zones are valid is the calendar's rule (calendar_test.cpp); here, what a refusal does.
TEST_F(DatesTest, SetTimeZoneTable) {
  const ZoneCase cases[] = {{-5, -30, true}, {0, -30, true}, {5, -30, false}, {100, 0, false}};
  for (const ZoneCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.hours << "," << c.minutes);
    auto value = NewDateTime();
    ASSERT_EQ(value->SetTimeZone(2, 15), S_OK);
    if (c.accepted) {
      EXPECT_EQ(value->SetTimeZone(c.hours, c.minutes), S_OK);
      EXPECT_EQ(TakeError(), kNoErrorObject);
      EXPECT_EQ(Zone(*value), std::to_string(c.hours) + "," + std::to_string(c.minutes));
    } else {
      EXPECT_EQ(value->SetTimeZone(c.hours, c.minutes), kFormatStatus);
      EXPECT_EQ(TakeError(), kInvalidZoneText);
      EXPECT_EQ(Zone(*value), "2,15");
    }
    EXPECT_FALSE(value->IsSet());
  }
}

TEST_F(DatesTest, GetTimeZoneWithoutZone) {
  auto value = NewDateTime();
  EXPECT_EQ(Zone(*value), kNoZoneRead);
  // A value alone is no zone.
  ASSERT_EQ(value->SetValue(kNoon, VARIANT_FALSE), S_OK);
  EXPECT_EQ(Zone(*value), kNoZoneRead);
  SHORT h = 0;
  EXPECT_EQ(value->GetTimeZone(nullptr, &h), E_POINTER);
  EXPECT_EQ(value->GetTimeZone(&h, nullptr), E_POINTER);
}

TEST_F(DatesTest, UnsetAndSetEmptyDropTheZone) {
  auto value = NewDateTime();
  ASSERT_EQ(value->SetTimeZone(-8, 0), S_OK);
  ASSERT_EQ(value->SetValue(kNoon, VARIANT_FALSE), S_OK);
  ASSERT_EQ(value->Unset(), S_OK);
  EXPECT_EQ(Zone(*value), kNoZoneRead);
  EXPECT_EQ(XmlText(*value), kNotWritten);
  ASSERT_EQ(value->SetValue(kNoon, VARIANT_FALSE), S_OK);
  EXPECT_EQ(XmlText(*value), "2004-10-29T12:00:00");

  ASSERT_EQ(value->SetTimeZone(5, 30), S_OK);
  ASSERT_EQ(value->SetEmpty(), S_OK);
  EXPECT_EQ(Zone(*value), kNoZoneRead);
  EXPECT_EQ(value->Text(), "");
  EXPECT_EQ(XmlText(*value), "");  // an empty value never carries the zone
  ASSERT_EQ(value->SetTimeZone(5, 30), S_OK);
  EXPECT_EQ(XmlText(*value), "");
  ASSERT_EQ(value->SetValue(kNoon, VARIANT_FALSE), S_OK);
  EXPECT_EQ(XmlText(*value), "2004-10-29T12:00:00+05:30");
}

// ---- Date-times: parsed text.

struct ParsedDateTimeCase {
  const char* text;
  const char* stored;   // the clock time without the zone suffix
  const char* zone;     // null: no zone
  bool plainDate;
  double read;
  const char* written;
};

TEST_F(DatesTest, ParsedDateTimeTable) {
  const ParsedDateTimeCase cases[] = {
      {"2004-10-29T12:00:00+05:30", "2004-10-29T12:00:00", "5,30", false, kNoon,
       "2004-10-29T12:00:00+05:30"},
      {"2004-10-29T12:00:00-08:00", "2004-10-29T12:00:00", "-8,0", false, kNoon,
       "2004-10-29T12:00:00-08:00"},
      {"2004-10-29T12:00:00-00:30", "2004-10-29T12:00:00", "0,-30", false, kNoon,
       "2004-10-29T12:00:00-00:30"},
      // Written back in the canonical form.
      {"2004-10-29T12:00:00+5:30", "2004-10-29T12:00:00", "5,30", false, kNoon,
       "2004-10-29T12:00:00+05:30"},
      {"2004-10-29", "2004-10-29", nullptr, true, 38289, "2004-10-29"},
      {"2004-10-29T12:00:00", "2004-10-29T12:00:00", nullptr, false, kNoon,
       "2004-10-29T12:00:00"},
      {"2004-10-29T12:00:00Z", "2004-10-29T12:00:00Z", nullptr, false, kNoon,
       "2004-10-29T12:00:00Z"},
      // Zones beyond SetTimeZone's limits are the application's to send.
      {"2004-10-29T12:00:00+13:00", "2004-10-29T12:00:00", "13,0", false, kNoon,
       "2004-10-29T12:00:00+13:00"},
      {"2004-10-29T12:00:00+14:00", "2004-10-29T12:00:00", "14,0", false, kNoon,
       "2004-10-29T12:00:00+14:00"},
      {"2004-10-29T12:00:00-12:99", "2004-10-29T12:00:00", "-12,-99", false, kNoon,
       "2004-10-29T12:00:00-12:99"},
      // A plain date is written without zone, even when the response gave one.
      {"2004-10-29-08:00", "2004-10-29", "-8,0", true, 38289, "2004-10-29"},
      {"garbage", "garbage", nullptr, true, 0, "garbage"},
  };
  for (const ParsedDateTimeCase& c : cases) {
    SCOPED_TRACE(c.text);
    auto value = NewDateTime();
    // A zone set earlier never survives a parse.
    ASSERT_EQ(value->SetTimeZone(3, 0), S_OK);
    EXPECT_TRUE(value->SetXMLValue(c.text));
    EXPECT_TRUE(value->IsSet());
    EXPECT_FALSE(value->IsEmptyValue());
    EXPECT_EQ(value->Text(), c.stored);
    EXPECT_EQ(value->IsDateOnlyValue(), c.plainDate);
    EXPECT_EQ(Zone(*value), c.zone ? std::string(c.zone) : kNoZoneRead);
    DATE read = -1;
    EXPECT_EQ(value->GetValue(&read), S_OK);
    EXPECT_EQ(read, c.read);
    const std::string written = XmlText(*value);
    EXPECT_EQ(written, c.written);

    // Written text parsed again gives the same text: the zone is never doubled.
    auto again = NewDateTime();
    EXPECT_TRUE(again->SetXMLValue(written));
    EXPECT_EQ(XmlText(*again), written);
    // (A plain date is written without its zone, so only a date-time brings it back.)
    if (!c.plainDate) {
      EXPECT_EQ(Zone(*again), Zone(*value));
    }
    EXPECT_EQ(TakeError(), kNoErrorObject);
  }
}

TEST_F(DatesTest, ParseReplacesTypedState) {
  auto value = NewDateTime();
  ASSERT_EQ(value->SetValue(kNoon, VARIANT_TRUE), S_OK);
  EXPECT_TRUE(value->IsDateOnlyValue());
  EXPECT_TRUE(value->SetXMLValue("2004-10-30T06:00:00+01:00"));
  EXPECT_FALSE(value->IsDateOnlyValue());
  EXPECT_EQ(XmlText(*value), "2004-10-30T06:00:00+01:00");
  // A typed set after the parse keeps the parsed zone.
  ASSERT_EQ(value->SetValue(kNoon, VARIANT_FALSE), S_OK);
  EXPECT_EQ(XmlText(*value), "2004-10-29T12:00:00+01:00");
  // Parsing over an empty value.
  ASSERT_EQ(value->SetEmpty(), S_OK);
  EXPECT_TRUE(value->SetXMLValue("2004-10-29"));
  EXPECT_EQ(XmlText(*value), "2004-10-29");
}

// ---- Time intervals.

// The texts are the calendar's durations (calendar_test.cpp); here, the interval's own rules.
TEST_F(DatesTest, IntervalSetAndParsedText) {
  const struct {
    SHORT h, m, s;
    const char* text;  // null: refused
  } sets[] = {
      {1, 90, 0, "PT1H90M"},  // kept as given, not carried into hours
      {32767, 32767, 32767, "PT32767H32767M32767S"},
      {-1, 0, 0, nullptr},
      {0, -1, 0, nullptr},
      {0, 0, -1, nullptr},
  };
  for (const auto& c : sets) {
    SCOPED_TRACE(testing::Message() << c.h << "," << c.m << "," << c.s);
    auto interval = NewInterval();
    SHORT h = -1, m = -1, s = -1;
    if (c.text) {
      EXPECT_EQ(interval->SetValue(c.h, c.m, c.s), S_OK);
      EXPECT_EQ(TakeError(), kNoErrorObject);
      EXPECT_EQ(XmlText(*interval), c.text);
      EXPECT_EQ(interval->GetValue(&h, &m, &s), S_OK);
      EXPECT_EQ(std::to_string(h) + "," + std::to_string(m) + "," + std::to_string(s),
                std::to_string(c.h) + "," + std::to_string(c.m) + "," + std::to_string(c.s));
    } else {
      EXPECT_EQ(interval->SetValue(c.h, c.m, c.s), kRangeStatus);
      EXPECT_EQ(TakeError(), "Negative time interval value.");
    }
  }
  // A parsed duration with days or fractions is set, yet reported as having no value.
  const struct {
    const char* text;
    bool readable;
  } parsed[] = {{"PT1H30M", true}, {"P1DT2H", false}, {"", false}};
  for (const auto& c : parsed) {
    SCOPED_TRACE(c.text);
    auto interval = NewInterval();
    EXPECT_TRUE(interval->SetXMLValue(c.text));
    SHORT h = -1, m = -1, s = -1;
    EXPECT_EQ(interval->GetValue(&h, &m, &s), c.readable ? S_OK : kNotSetStatus);
    EXPECT_EQ(TakeError(), c.readable ? kNoErrorObject : kNoValueText);
    EXPECT_TRUE(interval->IsSet());
    EXPECT_EQ(std::to_string(h) + "," + std::to_string(m) + "," + std::to_string(s),
              c.readable ? "1,30,0" : "0,0,0");
    EXPECT_EQ(XmlText(*interval), c.text);
  }
}

}  // namespace
}  // namespace vtfc4
