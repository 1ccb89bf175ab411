// Reading request documents against the catalogue, and the small helpers of texts and times
// that the sandbox's answers share.
#ifndef VTFC4_PROCESSOR_DOCUMENT_H
#define VTFC4_PROCESSOR_DOCUMENT_H

#include <cstdint>
#include <ctime>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "processor/catalogue_table.h"

namespace vtfc4::sandbox {

// ---- Status codes of the answers (see README.md). 0 and 1 are Info; the others are Errors.
inline constexpr int kOk = 0;
inline constexpr int kNoMatch = 1;
inline constexpr int kQueryNamesUnknown = 500;
inline constexpr int kRefused = 3000;
inline constexpr int kNotBalanced = 3060;
inline constexpr int kAboveOpen = 3070;
inline constexpr int kDuplicateName = 3100;
inline constexpr int kUnknownId = 3120;
inline constexpr int kInvalidReference = 3140;
inline constexpr int kInUse = 3170;
inline constexpr int kStaleEditSequence = 3200;
inline constexpr int kCannotServe = 3250;
inline constexpr int kReadOnly = 3260;

// The message of a query that matched nothing.
inline constexpr const char* kNothingFound = "A query request did not find a matching object in the company file.";

// A request that cannot be carried out: it is answered with this status and its changes undone.
struct Failure {
  int code;
  std::string message;
};

// The edition and version a request document is read in.
struct Edition {
  int version;  // major*100 + minor
  bool ca;
};

// ---- Elements.

bool IsEmpty(pugi::xml_node node);
std::vector<pugi::xml_node> Elements(pugi::xml_node node);
bool IsRef(const catalogue::Member& m);
// The class of an aggregate member, null for values and references.
const catalogue::ClassInfo* InnerClass(const catalogue::Member& m);

// A member as it appears among an element's children: OR choices and groups have no element
// of their own, so their members stand in the enclosing element.
struct Flat {
  const catalogue::Member* member;
  bool required;
  std::vector<std::pair<const catalogue::ClassInfo*, std::size_t>> choices;  // OR classes and the alternative taken
  // The alternatives of one list of choices (an invoice's lines and line groups) share a slot:
  // they come in any order and any number, the list required or not as a whole.
  std::size_t slot = 0;
  bool listEntry = false;  // an alternative of such a list
  bool listRequired = false;
};
std::vector<Flat> Flattened(const catalogue::ClassInfo& cls);

// Checks an element's children against its class the way the application would: every element
// known, in schema order, single members once, one alternative per OR choice, nothing outside
// the request's edition and version, required members present, values of their type, nothing
// inside a value; at every depth. Throws Failure (3000).
void Validate(pugi::xml_node node, const catalogue::ClassInfo& cls, const Edition& edition,
              const std::string& path);

// ---- Texts and times.

// ASCII letters folded to lower case: names compare without regard to ASCII case.
std::string Fold(std::string_view text);
void AppendEscaped(std::string& out, std::string_view text, bool attribute);
void AppendValue(std::string& out, std::string_view element, std::string_view text);
// Local time with its UTC offset ("2024-12-05T10:00:00+01:00").
std::string IsoTime(std::time_t t);
// A date (YYYY-MM-DD, the day's first or, with endOfDay, last second) or a date-time with an
// optional Z or +HH:MM; without an offset the time is local.
std::optional<std::time_t> ParseInstant(const std::string& text, bool endOfDay);
// The local date of an instant ("2024-12-05").
std::string IsoDate(std::time_t t);
// The dates a date macro of the filters and reports stands for ("ThisMonth": the first and last
// day of the month of `today`), first and last day included; the fiscal year begins in the
// month `fiscalMonth` (1 to 12). "All" is every date: two empty texts.
std::pair<std::string, std::string> MacroDates(std::string_view macro, std::time_t today, int fiscalMonth);

// ---- Money: amounts are kept in cents, rounded half away from zero.

std::int64_t Cents(std::string_view amount);
// "1234.50", "-0.75".
std::string Money(std::int64_t cents);
// A rate of an amount, in cents: `percent` percent of `cents`.
std::int64_t PercentOf(std::int64_t cents, double percent);
// A quantity or rate as written, without a trailing fraction of zeros ("3", "2.5").
std::string Decimal(double value);

}  // namespace vtfc4::sandbox

#endif  // VTFC4_PROCESSOR_DOCUMENT_H
