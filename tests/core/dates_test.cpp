// The date, date-time and time-interval value classes.
#include "src/core/dates.h"

#include <gtest/gtest.h>

#include "support.h"

#include <functional>
#include <limits>
#include <string>

#include "src/com/error.h"
#include "vtfc4/com.h"
#include "vtfc4/values.h"

namespace vtfc4 {
namespace {

constexpr HRESULT kNotSetStatus = VTFC4_HR(0x80040300);
constexpr HRESULT kRangeStatus = VTFC4_HR(0x80040303);
constexpr HRESULT kFormatStatus = VTFC4_HR(0x80040305);
constexpr HRESULT kEmptyStatus = VTFC4_HR(0x80040306);

constexpr const char* kNotWritten = "<not written>";
constexpr const char* kNoValueText = "No value has been set.";
constexpr const char* kEmptyText = "Value is empty.";
constexpr const char* kInvalidDateText = "Invalid Date value. The value is out of normal range.";
constexpr const char* kNegativeIntervalText = "Negative time interval value.";
// The message table's text ends with a blank.
constexpr const char* kInvalidZoneText =
    "Invalid TimeZone settings. Hours and minutes must be either both negative or both "
    "positive. Hours are in the [-12,12] interval, and minutes [-59,59] interval. ";

constexpr double kSecond = 1.0 / 86400.0;
constexpr double kNoon = 38289.5;  // 2004-10-29T12:00:00

// Owns the one reference a factory hands out.
template <class T>
class Made {
 public:
  explicit Made(ObjectRoot* root) : root_(root), p_(dynamic_cast<T*>(root)) {}
  Made(const Made&) = delete;
  Made& operator=(const Made&) = delete;
  ~Made() {
    if (root_) root_->ReleaseRoot();
  }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  T* get() const { return p_; }

 private:
  ObjectRoot* root_;
  T* p_;
};

Made<CVTDateType> NewDate() { return Made<CVTDateType>(NewDateValue()); }
Made<CVTDateTimeType> NewDateTime(bool dateOnlyMember = false) {
  return Made<CVTDateTimeType>(NewDateTimeValue(dateOnlyMember));
}
Made<CVTTimeIntervalType> NewInterval() {
  return Made<CVTTimeIntervalType>(NewTimeIntervalValue());
}

// The written text, or kNotWritten.
std::string XmlText(const BasicPropertyType& value) {
  std::string out;
  if (!value.GetXMLValue(out)) return kNotWritten;
  return out;
}

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

class DatesTest : public ::testing::Test {
 protected:
  void SetUp() override { TakeError(); }
  void TearDown() override { TakeError(); }
};

// ---- Dates.

struct DateSetCase {
  double value;
  const char* text;  // null: refused
  double read;       // GetValue after the set
};

TEST_F(DatesTest, DateSetValueTable) {
  const DateSetCase cases[] = {
      {38289, "2004-10-29", 38289},
      {0, "1899-12-30", 0},
      {2958465, "9999-12-31", 2958465},
      {-657434, " 100-01-01", -657434},
      {kNoon, "2004-10-29", 38289},
      // The time of day is rounded before the date is taken: just before midnight is the
      // next day.
      {38289.9999999, "2004-10-30", 38290},
      {2958465.5, nullptr, 0},
      {-657434.5, nullptr, 0},
      {std::numeric_limits<double>::quiet_NaN(), nullptr, 0},
      {std::numeric_limits<double>::infinity(), nullptr, 0},
  };
  for (const DateSetCase& c : cases) {
    SCOPED_TRACE(c.value);
    auto date = NewDate();
    ASSERT_NE(date.get(), nullptr);
    ASSERT_EQ(date->SetValue(1), S_OK);  // 1899-12-31
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
      EXPECT_EQ(XmlText(*date), "1899-12-31");
    }
  }
}

TEST_F(DatesTest, RefusedDateLeavesUnsetAndEmptyValuesAlone) {
  auto date = NewDate();
  EXPECT_EQ(date->SetValue(2958465.5), kFormatStatus);
  EXPECT_FALSE(date->IsSet());
  EXPECT_EQ(XmlText(*date), kNotWritten);
  date->SetEmpty();
  EXPECT_EQ(date->SetValue(2958465.5), kFormatStatus);
  EXPECT_TRUE(date->IsEmptyValue());
  EXPECT_EQ(XmlText(*date), "");
}

struct ParsedDateCase {
  const char* text;
  double read;
};

TEST_F(DatesTest, DateReadsParsedText) {
  const ParsedDateCase cases[] = {
      {"2004-10-29", 38289},
      {"2004-10-29T12:00:00", 38289},  // the time of a date is ignored
      {"2004-02-29", 38046},
      {"2003-02-29", 0},  // no such day: DATE 0, no error
      {"garbage", 0},
      {"", 0},
  };
  for (const ParsedDateCase& c : cases) {
    SCOPED_TRACE(c.text);
    auto date = NewDate();
    EXPECT_TRUE(date->SetXMLValue(c.text));
    DATE read = -1;
    EXPECT_EQ(date->GetValue(&read), S_OK);
    EXPECT_EQ(read, c.read);
    EXPECT_EQ(TakeError(), kNoErrorObject);
    EXPECT_EQ(XmlText(*date), c.text);  // stored as the response wrote it
  }
}

// ---- The common read rule and null out pointers, for every getter.

struct ReadRuleCase {
  const char* name;
  std::function<ObjectRoot*()> make;
  std::function<HRESULT(ObjectRoot*)> read;  // checks that the outputs were reset to 0
};

template <class I>
I* Face(ObjectRoot* root) {
  void* p = nullptr;
  if (root->QueryRoot(iid_of<I>(), &p) != S_OK) return nullptr;
  root->ReleaseRoot();  // the caller's reference keeps the object alive
  return static_cast<I*>(p);
}

TEST_F(DatesTest, ReadRuleTable) {
  const ReadRuleCase cases[] = {
      {"date", [] { return NewDateValue(); },
       [](ObjectRoot* r) {
         DATE d = 5;
         HRESULT hr = Face<IVTDateType>(r)->GetValue(&d);
         EXPECT_EQ(d, 0);
         return hr;
       }},
      {"date-time", [] { return NewDateTimeValue(false); },
       [](ObjectRoot* r) {
         DATE d = 5;
         HRESULT hr = Face<IVTDateTimeType>(r)->GetValue(&d);
         EXPECT_EQ(d, 0);
         return hr;
       }},
      {"interval", [] { return NewTimeIntervalValue(); },
       [](ObjectRoot* r) {
         SHORT h = 5, m = 5, s = 5;
         HRESULT hr = Face<IVTTimeIntervalType>(r)->GetValue(&h, &m, &s);
         EXPECT_EQ(h, 0);
         EXPECT_EQ(m, 0);
         EXPECT_EQ(s, 0);
         return hr;
       }},
  };
  for (const ReadRuleCase& c : cases) {
    SCOPED_TRACE(c.name);
    ObjectRoot* root = c.make();
    ASSERT_NE(root, nullptr);
    IBasicPropertyType* basic = Face<IBasicPropertyType>(root);
    ASSERT_NE(basic, nullptr);

    EXPECT_EQ(c.read(root), kNotSetStatus);
    EXPECT_EQ(TakeError(), kNoValueText);

    EXPECT_EQ(basic->SetEmpty(), S_OK);
    EXPECT_EQ(c.read(root), kEmptyStatus);
    EXPECT_EQ(TakeError(), kEmptyText);
    EXPECT_EQ(XmlText(*root->AsValue()), "");

    EXPECT_TRUE(root->AsValue()->SetXMLValue("2004-10-29"));
    EXPECT_EQ(basic->Unset(), S_OK);
    EXPECT_EQ(c.read(root), kNotSetStatus);
    EXPECT_EQ(TakeError(), kNoValueText);
    EXPECT_EQ(XmlText(*root->AsValue()), kNotWritten);

    root->ReleaseRoot();
  }
}

TEST_F(DatesTest, NullOutPointers) {
  auto date = NewDate();
  auto dateTime = NewDateTime();
  auto interval = NewInterval();
  date->SetValue(38289);
  dateTime->SetValue(kNoon, VARIANT_FALSE);
  dateTime->SetTimeZone(1, 0);
  interval->SetValue(1, 2, 3);
  SHORT a = 0, b = 0;
  EXPECT_EQ(date->GetValue(nullptr), E_POINTER);
  EXPECT_EQ(dateTime->GetValue(nullptr), E_POINTER);
  EXPECT_EQ(dateTime->GetTimeZone(nullptr, &b), E_POINTER);
  EXPECT_EQ(dateTime->GetTimeZone(&a, nullptr), E_POINTER);
  EXPECT_EQ(interval->GetValue(nullptr, &a, &b), E_POINTER);
  EXPECT_EQ(interval->GetValue(&a, nullptr, &b), E_POINTER);
  EXPECT_EQ(interval->GetValue(&a, &b, nullptr), E_POINTER);
  EXPECT_EQ(TakeError(), kNoErrorObject);
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

TEST_F(DatesTest, DateTimeSetValueTable) {
  const DateTimeSetCase cases[] = {
      {"noon", false, kNone, kNone, kNoon, VARIANT_FALSE, "2004-10-29T12:00:00", kNoon},
      {"date only", false, kNone, kNone, kNoon, VARIANT_TRUE, "2004-10-29", 38289},
      {"date only ignores the zone", false, -8, 0, kNoon, VARIANT_TRUE, "2004-10-29", 38289},
      {"1 is not VARIANT_TRUE", false, kNone, kNone, kNoon, 1, "2004-10-29T12:00:00", kNoon},
      {"date-only member", true, kNone, kNone, kNoon, VARIANT_FALSE, "2004-10-29", 38289},
      {"date-only member ignores the zone", true, 5, 30, kNoon, VARIANT_FALSE, "2004-10-29",
       38289},
      {"0.6 s rounds up", false, kNone, kNone, 38289 + 0.6 * kSecond, VARIANT_FALSE,
       "2004-10-29T00:00:01", 38289 + kSecond},
      {"0.4 s rounds down", false, kNone, kNone, 38289 + 0.4 * kSecond, VARIANT_FALSE,
       "2004-10-29T00:00:00", 38289},
      {"western zone", false, -8, 0, kNoon, VARIANT_FALSE, "2004-10-29T12:00:00-08:00", kNoon},
      {"zone 0", false, 0, 0, kNoon, VARIANT_FALSE, "2004-10-29T12:00:00+00:00", kNoon},
      {"half hour west", false, 0, -30, kNoon, VARIANT_FALSE, "2004-10-29T12:00:00-00:30",
       kNoon},
      {"eastern zone", false, 5, 30, kNoon, VARIANT_FALSE, "2004-10-29T12:00:00+05:30", kNoon},
      {"1 with zone", false, 5, 30, kNoon, 1, "2004-10-29T12:00:00+05:30", kNoon},
      {"day 0", false, kNone, kNone, 0.25, VARIANT_FALSE, "1899-12-30T06:00:00", 0.25},
      {"negative", false, kNone, kNone, -1.25, VARIANT_FALSE, "1899-12-29T06:00:00", -1.25},
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
  for (double refused : {2958465.5, -657434.5, std::numeric_limits<double>::quiet_NaN()}) {
    SCOPED_TRACE(refused);
    EXPECT_EQ(value->SetValue(refused, VARIANT_FALSE), kFormatStatus);
    EXPECT_EQ(TakeError(), kInvalidDateText);
    // Still a plain date: written without the zone.
    EXPECT_EQ(XmlText(*value), "2004-10-29");
    EXPECT_EQ(Zone(*value), "-8,0");
  }
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

TEST_F(DatesTest, SetTimeZoneTable) {
  const ZoneCase cases[] = {
      {-5, -30, true}, {0, -30, true},  {0, 30, true},    {12, 59, true},  {-12, -59, true},
      {0, 0, true},    {5, -30, false}, {-5, 30, false},  {13, 0, false},  {-13, 0, false},
      {0, 60, false},  {0, -60, false}, {100, 0, false},  {0, 100, false},
  };
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
      {"2004-10-29T12:00:00+00:00", "2004-10-29T12:00:00", "0,0", false, kNoon,
       "2004-10-29T12:00:00+00:00"},
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

struct IntervalSetCase {
  SHORT h, m, s;
  const char* text;  // null: refused
};

TEST_F(DatesTest, IntervalSetValueTable) {
  const IntervalSetCase cases[] = {
      {2, 0, 0, "PT2H0M"},
      {0, 0, 45, "PT0H0M45S"},
      {1, 90, 0, "PT1H90M"},
      {0, 0, 0, "PT0H0M"},
      {32767, 32767, 32767, "PT32767H32767M32767S"},
      {-1, 0, 0, nullptr},
      {0, -1, 0, nullptr},
      {0, 0, -1, nullptr},
      {-32768, -32768, -32768, nullptr},
  };
  for (const IntervalSetCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.h << "," << c.m << "," << c.s);
    auto interval = NewInterval();
    ASSERT_NE(interval.get(), nullptr);
    ASSERT_EQ(interval->SetValue(0, 5, 0), S_OK);
    SHORT h = -1, m = -1, s = -1;
    if (c.text) {
      EXPECT_EQ(interval->SetValue(c.h, c.m, c.s), S_OK);
      EXPECT_EQ(TakeError(), kNoErrorObject);
      EXPECT_EQ(XmlText(*interval), c.text);
      EXPECT_EQ(interval->GetValue(&h, &m, &s), S_OK);
      EXPECT_EQ(h, c.h);
      EXPECT_EQ(m, c.m);
      EXPECT_EQ(s, c.s);
    } else {
      EXPECT_EQ(interval->SetValue(c.h, c.m, c.s), kRangeStatus);
      EXPECT_EQ(TakeError(), kNegativeIntervalText);
      EXPECT_EQ(XmlText(*interval), "PT0H5M");
    }
  }
}

struct ParsedIntervalCase {
  const char* text;
  bool readable;
  SHORT h, m, s;
};

TEST_F(DatesTest, IntervalReadsParsedText) {
  const ParsedIntervalCase cases[] = {
      {"PT45S", true, 0, 0, 45},
      {"PT1H15S", true, 1, 0, 15},
      {"PT1H30M", true, 1, 30, 0},
      {"PT90M", true, 0, 90, 0},
      {"P1DT2H", false, 0, 0, 0},
      {"PT1.5H", false, 0, 0, 0},
      {"PT", false, 0, 0, 0},
      {"", false, 0, 0, 0},
  };
  for (const ParsedIntervalCase& c : cases) {
    SCOPED_TRACE(c.text);
    auto interval = NewInterval();
    EXPECT_TRUE(interval->SetXMLValue(c.text));
    SHORT h = -1, m = -1, s = -1;
    if (c.readable) {
      EXPECT_EQ(interval->GetValue(&h, &m, &s), S_OK);
      EXPECT_EQ(TakeError(), kNoErrorObject);
    } else {
      // Set, yet reported as having no value.
      EXPECT_EQ(interval->GetValue(&h, &m, &s), kNotSetStatus);
      EXPECT_EQ(TakeError(), kNoValueText);
      EXPECT_TRUE(interval->IsSet());
    }
    EXPECT_EQ(h, c.h);
    EXPECT_EQ(m, c.m);
    EXPECT_EQ(s, c.s);
    EXPECT_EQ(XmlText(*interval), c.text);
  }
}

}  // namespace
}  // namespace vtfc4
