#include "src/core/calendar.h"

#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vtfc4 {

namespace {

// DATE 0 (1899-12-30) counted in days from 1970-01-01.
constexpr int kDateEpochFromUnix = -25569;
constexpr int kSecondsPerDay = 86400;
constexpr double kHalfSecond = 0.5 / kSecondsPerDay;

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar (H. Hinnant's
// days_from_civil). Valid for any year that fits; the callers pass 100..9999.
int DaysFromCivil(int y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;                                    // [0, 399]
  const int doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;  // [0, 365]
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;            // [0, 146096]
  return era * 146097 + doe - 719468;
}

// The inverse of DaysFromCivil.
void CivilFromDays(int z, int& y, int& m, int& d) {
  z += 719468;
  const int era = (z >= 0 ? z : z - 146096) / 146097;
  const int doe = z - era * 146097;                                            // [0, 146096]
  const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;       // [0, 399]
  const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                     // [0, 365]
  const int mp = (5 * doy + 2) / 153;                                          // [0, 11]
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = yoe + era * 400 + (m <= 2 ? 1 : 0);
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

bool FieldsAreValid(const CalendarFields& f) {
  if (f.year < 100 || f.year > 9999) return false;
  if (f.month < 1 || f.month > 12) return false;
  if (f.day < 1 || f.day > DaysInMonth(f.year, f.month)) return false;
  if (f.hour < 0 || f.hour > 23) return false;
  if (f.minute < 0 || f.minute > 59) return false;
  if (f.second < 0 || f.second > 59) return false;
  return true;
}

// Reads one duration number at `p`: an optional sign and at least one digit (no blanks).
bool ReadDurationNumber(const char*& p, long& value) {
  const char* digits = (*p == '+' || *p == '-') ? p + 1 : p;
  if (*digits < '0' || *digits > '9') return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtol(p, &end, 10);
  if (errno == ERANGE) return false;
  p = end;
  return true;
}

}  // namespace

bool DateToFields(double date, CalendarFields& out) {
  if (std::isnan(date) || date > kMaxDate || date < kMinDate) return false;
  // Round to the nearest second by moving the DATE half a second away from day 0, then
  // split: the whole part is the day number (for negative DATEs counted backwards, so trunc,
  // not floor) and the magnitude of the fraction the time of day, forwards in both cases. So
  // -0.9999999 becomes -1.0000057: 29 December 1899 at midnight.
  const double rounded = date > 0 ? date + kHalfSecond : date - kHalfSecond;
  const double whole = std::trunc(rounded);
  int day = static_cast<int>(whole);
  // The tiny allowance keeps a time that is a whole number of seconds in binary from falling
  // to the second below it.
  int seconds = static_cast<int>(std::fabs(rounded - whole) * kSecondsPerDay + 1e-6);
  if (seconds >= kSecondsPerDay) {
    seconds -= kSecondsPerDay;
    ++day;
  }
  CalendarFields f;
  CivilFromDays(day + kDateEpochFromUnix, f.year, f.month, f.day);
  f.hour = seconds / 3600;
  f.minute = seconds / 60 % 60;
  f.second = seconds % 60;
  out = f;
  return true;
}

bool FieldsToDate(const CalendarFields& f, double& out) {
  if (!FieldsAreValid(f)) return false;
  const int day = DaysFromCivil(f.year, f.month, f.day) - kDateEpochFromUnix;
  const double time =
      static_cast<double>(f.hour * 3600 + f.minute * 60 + f.second) / kSecondsPerDay;
  out = day < 0 ? day - time : day + time;
  return true;
}

std::string FormatDate(const CalendarFields& f) {
  char buffer[64];
  const int n = std::snprintf(buffer, sizeof buffer, "%4d-%02d-%02d", f.year, f.month, f.day);
  return std::string(buffer, static_cast<size_t>(n));
}

std::string FormatDateTime(const CalendarFields& f) {
  char buffer[96];
  const int n = std::snprintf(buffer, sizeof buffer, "%4d-%02d-%02dT%02d:%02d:%02d", f.year,
                              f.month, f.day, f.hour, f.minute, f.second);
  return std::string(buffer, static_cast<size_t>(n));
}

namespace {

// Reads the fields of a fixed pattern the way the C library's scanf reads "%Nd" fields and
// literal characters, for the patterns used here: in `pattern` a digit N is a decimal field of
// at most N characters (leading white space skipped; a sign counts toward N), any other
// character must come next in the text. Returns how many fields were read; reading stops at
// the first mismatch. scanf itself costs far more, and every date of an answer goes through
// here.
int ScanFields(const char* text, std::string_view pattern, int* const* fields) {
  int read = 0;
  const char* p = text;
  for (char c : pattern) {
    if (c >= '1' && c <= '9') {
      const int width = c - '0';
      while (std::isspace(static_cast<unsigned char>(*p))) ++p;
      int used = 0;
      bool negative = false;
      if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
        ++used;
      }
      int value = 0;
      int digits = 0;
      while (used < width && *p >= '0' && *p <= '9') {
        value = value * 10 + (*p - '0');
        ++p;
        ++used;
        ++digits;
      }
      if (digits == 0) return read;
      *fields[read++] = negative ? -value : value;
    } else {
      if (*p != c) return read;
      ++p;
    }
  }
  return read;
}

}  // namespace

double ParseDateText(const char* text) {
  if (!text) return 0.0;
  CalendarFields f;
  // The count is not needed: fields that were not read stay 0 and fail the check.
  int* const fields[] = {&f.year, &f.month, &f.day};
  ScanFields(text, "4-2-2T", fields);
  double date = 0.0;
  return FieldsToDate(f, date) ? date : 0.0;
}

double ParseDateTimeText(const char* text) {
  if (!text) return 0.0;
  CalendarFields f;
  int* const fields[] = {&f.year, &f.month, &f.day, &f.hour, &f.minute, &f.second};
  ScanFields(text, "4-2-2T2:2:2", fields);
  double date = 0.0;
  return FieldsToDate(f, date) ? date : 0.0;
}

std::string FormatZoneSuffix(int hours, int minutes) {
  // long long: the absolute value of INT_MIN must not overflow.
  const long long h = hours;
  const long long m = minutes;
  char buffer[64];
  int n;
  if (h < 0 || (h == 0 && m < 0))
    n = std::snprintf(buffer, sizeof buffer, "-%02lld:%02lld", std::llabs(h), std::llabs(m));
  else
    n = std::snprintf(buffer, sizeof buffer, "+%02lld:%02lld", h, m);
  return std::string(buffer, static_cast<size_t>(n));
}

bool ZoneIsValid(int hours, int minutes) {
  if (hours < -12 || hours > 12) return false;
  if (minutes < -59 || minutes > 59) return false;
  if (hours > 0 && minutes < 0) return false;
  if (hours < 0 && minutes > 0) return false;
  return true;
}

bool ParseZoneSuffix(const char* text, int& hours, int& minutes) {
  if (!text) return false;
  const char* sign = nullptr;
  for (const char* p = text + std::strlen(text); p != text;) {
    --p;
    if (*p == '+' || *p == '-') {
      sign = p;
      break;
    }
  }
  if (!sign) return false;
  int h = 0;
  int m = 0;
  int* const fields[] = {&h, &m};
  if (ScanFields(sign + 1, "2:2", fields) != 2) return false;
  hours = *sign == '-' ? -h : h;
  minutes = *sign == '-' ? -m : m;
  return true;
}

std::string FormatDuration(int hours, int minutes, int seconds) {
  char buffer[64];
  const int n = seconds != 0 ? std::snprintf(buffer, sizeof buffer, "PT%dH%dM%dS", hours,
                                             minutes, seconds)
                             : std::snprintf(buffer, sizeof buffer, "PT%dH%dM", hours, minutes);
  return std::string(buffer, static_cast<size_t>(n));
}

bool ParseDuration(const char* text, int16_t& h, int16_t& m, int16_t& s) {
  if (!text || text[0] != 'P' || text[1] != 'T') return false;
  // The units in order; each part must use a unit later than the previous part's. This is the
  // same language as "after H read minutes when the text has an M, else seconds when it has
  // an S; after M only seconds": a part whose letter differs from the expected one fails either
  // way, since an S part followed by anything (an M included) fails too.
  static constexpr char kUnits[3] = {'H', 'M', 'S'};
  long values[3] = {0, 0, 0};
  int next = 0;  // index of the first unit still allowed
  const char* p = text + 2;
  do {
    long value = 0;
    if (next == 3 || !ReadDurationNumber(p, value)) return false;
    int unit = next;
    while (unit < 3 && kUnits[unit] != *p) ++unit;
    if (unit == 3) return false;  // unknown letter, fraction, no letter, or out of order
    values[unit] = value;
    next = unit + 1;
    ++p;
  } while (*p != '\0');
  h = static_cast<int16_t>(values[0]);
  m = static_cast<int16_t>(values[1]);
  s = static_cast<int16_t>(values[2]);
  return true;
}

}  // namespace vtfc4
