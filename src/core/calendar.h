// Internal: pure conversions between OLE Automation DATE numbers, calendar fields and the
// ISO 8601 texts of vtXML (dates, date-times, time-zone suffixes and durations). No COM
// objects here; the value classes wrap these functions.
//
// The OLE Automation DATE is a double counting days from 30 December 1899 (DATE 0), the
// fraction being the time of day. The calendar is the proleptic Gregorian one. For a NEGATIVE
// DATE the whole part counts days BACKWARDS from 30 December 1899 while the fraction still
// counts the time of day FORWARDS: -1.25 is 29 December 1899 06:00:00, and -0.5 is the same
// instant as 0.5 (30 December 1899 12:00:00). The accepted range is 1 January 100 (DATE
// -657434) to 31 December 9999 (DATE 2958465).
#ifndef VTFC4_SRC_CORE_CALENDAR_H
#define VTFC4_SRC_CORE_CALENDAR_H

#include <cstdint>
#include <string>

namespace vtfc4 {

// A calendar date and time of day, to the second. Month and day count from 1.
struct CalendarFields {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;

  friend bool operator==(const CalendarFields&, const CalendarFields&) = default;
};

// Limits of the DATE numbers that DateToFields accepts.
inline constexpr double kMinDate = -657434.0;  // 0100-01-01T00:00:00
inline constexpr double kMaxDate = 2958465.0;  // 9999-12-31T00:00:00

// DATE -> fields. Returns false (leaving `out` untouched) for NaN and for a DATE greater than
// kMaxDate or less than kMinDate; the check is made on the DATE as given, so 2958465.5 and
// -657434.5 are refused. The time of day is rounded to the nearest second (a half second
// rounds up, away from midnight); a time that rounds to 24:00:00 becomes 00:00:00 of the NEXT
// calendar day, for negative DATEs too (-1.9999999 gives 1899-12-30T00:00:00).
bool DateToFields(double date, CalendarFields& out);

// Fields -> DATE. Checks: year 100..9999, month 1..12, day 1..length of the month (Gregorian
// leap years), hour 0..23, minute and second 0..59. Years below 100 (0 and negative ones
// included, as sscanf may read them from a text) are refused: no DATE that DateToFields
// accepts maps to them, so refusing them keeps every accepted date round-tripping. The DATE
// is the day number from 30 December 1899 plus seconds/86400; for a NEGATIVE day number the
// time is SUBTRACTED (the mirror of DateToFields). Day 0 takes a positive time, so
// 1899-12-30T12:00:00 gives 0.5 (never -0.5).
// Note: times after midnight on the two edge days are accepted although their DATEs fall
// outside DateToFields' range (9999-12-31T12:00:00 gives 2958465.5, 0100-01-01T12:00:00
// gives -657434.5, both refused by DateToFields).
// Returns false (leaving `out` untouched) when a check fails.
bool FieldsToDate(const CalendarFields& f, double& out);

// "%4d-%02d-%02d": years below 1000 are padded with blanks, e.g. " 100-01-01".
std::string FormatDate(const CalendarFields& f);
// "%4d-%02d-%02dT%02d:%02d:%02d".
std::string FormatDateTime(const CalendarFields& f);

// Reads a date with the sscanf pattern "%4d-%2d-%2dT" (leading blanks and a sign are taken as
// sscanf takes them; a trailing time part is ignored; missing fields stay 0) and converts it
// with time 00:00:00. Any failure (null or unreadable text, invalid fields) gives DATE 0.0.
double ParseDateText(const char* text);
// Reads "%4d-%2d-%2dT%2d:%2d:%2d" (a zone suffix and anything after the seconds are ignored,
// the zone is NOT applied; missing fields stay 0) and converts. Any failure gives 0.0.
double ParseDateTimeText(const char* text);

// Time-zone suffix: "-HH:MM" with absolute values when hours < 0, or hours == 0 and
// minutes < 0; otherwise "+%02d:%02d". (-8,0) -> "-08:00", (5,30) -> "+05:30",
// (0,-30) -> "-00:30", (0,0) -> "+00:00". Meant for zones that pass ZoneIsValid.
std::string FormatZoneSuffix(int hours, int minutes);

// True when a zone may be set: hours -12..12, minutes -59..59, and no opposite signs (hours > 0
// with minutes < 0, or hours < 0 with minutes > 0, are refused; hours 0 allows either sign).
bool ZoneIsValid(int hours, int minutes);

// Zone of a date-time text: the nearest '+' or '-' scanning back from the last character is
// found, and the characters after it are read with "%2d:%2d". When two numbers are read the
// zone is (h, m) after '+' and (-h, -m) after '-', and true is returned. Otherwise (a plain
// date, a date-time without zone, "Z", a null text) there is no zone: false, outputs
// untouched. The numbers are not range-checked: callers apply ZoneIsValid.
bool ParseZoneSuffix(const char* text, int& hours, int& minutes);

// Duration "PT%dH%dM%dS" when seconds != 0, else "PT%dH%dM": (1,30,0) -> "PT1H30M",
// (0,0,0) -> "PT0H0M", (0,0,45) -> "PT0H0M45S". No upper limit; callers refuse negatives.
std::string FormatDuration(int hours, int minutes, int seconds);

// Parses "PT" followed by one to three parts "<n>H", "<n>M", "<n>S" in that order (each part
// optional, at least one present) with nothing after the last part. Each <n> is an optional
// sign and at least one decimal digit (no blanks), read by strtol; overflowing long fails.
// Absent parts are 0. Each number is cut to 16 bits (static_cast<int16_t>: 70000 -> 4464).
// Fails for any other form: days ("P1DT2H"), fractions ("PT1.5H"), no "PT", unknown or
// lower-case letters, parts out of order ("PT5M3H"), text after the last part, "PT" alone.
// Returns false (outputs untouched) on failure.
bool ParseDuration(const char* text, int16_t& h, int16_t& m, int16_t& s);

}  // namespace vtfc4

#endif  // VTFC4_SRC_CORE_CALENDAR_H
