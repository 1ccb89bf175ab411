#include "processor/document.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace vtfc4::sandbox {

using catalogue::ClassInfo;
using catalogue::FindClass;
using catalogue::Kind;
using catalogue::Member;
using catalogue::Shape;

bool IsEmpty(pugi::xml_node node) {
  return !node.find_child([](pugi::xml_node c) { return c.type() == pugi::node_element; }) &&
         *node.child_value() == '\0';
}

std::vector<pugi::xml_node> Elements(pugi::xml_node node) {
  std::vector<pugi::xml_node> all;
  for (pugi::xml_node c : node.children())
    if (c.type() == pugi::node_element) all.push_back(c);
  return all;
}

bool IsRef(const Member& m) { return m.type == "VTBaseRef"; }

const ClassInfo* InnerClass(const Member& m) {
  return (m.kind == Kind::Agg || m.kind == Kind::AList) && !IsRef(m) ? FindClass(m.type) : nullptr;
}

namespace {

void Flatten(const ClassInfo& cls, bool required, const std::vector<std::pair<const ClassInfo*, std::size_t>>& choices,
             std::vector<Flat>& out) {
  for (std::size_t i = 0; i < cls.members.size(); ++i) {
    const Member& m = cls.members[i];
    if (m.kind == Kind::Attr) continue;
    auto here = choices;
    if (cls.shape == Shape::Or) here.emplace_back(&cls, i);
    const bool req = required && m.required && cls.shape != Shape::Or;
    const ClassInfo* inner = InnerClass(m);
    if (inner && inner->shape == Shape::Or && m.kind == Kind::AList) {
      // Each entry of a list of choices is an element of one of the alternatives.
      const std::size_t slot = out.empty() ? 0 : out.back().slot + 1;
      for (const Member& alternative : inner->members) {
        if (alternative.kind == Kind::Attr) continue;
        Flat f{&alternative, false, here, slot, true, req};
        out.push_back(std::move(f));
      }
      continue;
    }
    if (inner && inner->shape != Shape::Plain) {
      Flatten(*inner, req, here, out);
    } else {
      Flat f{&m, req, std::move(here)};
      f.slot = out.empty() ? 0 : out.back().slot + 1;
      out.push_back(std::move(f));
    }
  }
}

std::string VersionText(int version) { return std::to_string(version / 100) + "." + std::to_string(version % 100); }

bool IsNumber(const std::string& text, bool fraction) {
  size_t at = text[0] == '-' || text[0] == '+' ? 1 : 0;
  bool digits = false, point = false;
  for (; at < text.size(); ++at) {
    if (text[at] >= '0' && text[at] <= '9') {
      digits = true;
    } else if (text[at] == '.' && fraction && !point) {
      point = true;
    } else {
      return false;
    }
  }
  return digits;
}

void CheckValue(std::string_view type, const std::string& text, const std::string& path) {
  if (text.empty()) return;  // an empty element clears a field
  bool ok = true;
  if (type == "bool")
    ok = text == "true" || text == "false" || text == "1" || text == "0";
  else if (type == "int")
    ok = IsNumber(text, false);
  else if (type == "amount" || type == "price" || type == "percent" || type == "quan" || type == "float")
    ok = IsNumber(text, true);
  else if (type == "date")
    ok = text.size() == 10 && ParseInstant(text, false);
  else if (type == "datetime")
    ok = ParseInstant(text, false).has_value();
  else if (type.starts_with("EN"))
    ok = catalogue::IsEnumWord(type, text);
  if (!ok)
    throw Failure{kRefused, "The value \"" + text + "\" of " + path + " is not a valid " + std::string(type) + "."};
}

bool InEdition(const Member& m, const Edition& e) {
  return m.edition == catalogue::Edition::Any || (m.edition == catalogue::Edition::CA) == e.ca;
}

}  // namespace

std::vector<Flat> Flattened(const ClassInfo& cls) {
  std::vector<Flat> flat;
  Flatten(cls, true, {}, flat);
  return flat;
}

void Validate(pugi::xml_node node, const ClassInfo& cls, const Edition& edition, const std::string& path) {
  std::vector<Flat> flat = Flattened(cls);
  std::vector<int> seen(flat.size());
  std::map<const ClassInfo*, std::size_t> chosen;
  std::size_t pos = 0;
  for (pugi::xml_node child : Elements(node)) {
    const std::string name = child.name(), inner = path + "/" + name;
    // From the first alternative of the slot reached: a list's entries come in any order.
    std::size_t i = pos;
    while (i > 0 && flat[i - 1].slot == flat[pos].slot) --i;
    while (i < flat.size() && flat[i].member->element != name) ++i;
    if (i == flat.size()) {
      const bool earlier = std::any_of(flat.begin(), flat.begin() + static_cast<std::ptrdiff_t>(pos),
                                       [&](const Flat& f) { return f.member->element == name; });
      throw Failure{kRefused, earlier ? "The element " + name + " is out of order in " + path + "."
                                      : path + " has no element " + name + "."};
    }
    const Member& m = *flat[i].member;
    if (seen[i] && m.kind != Kind::VList && m.kind != Kind::AList && !flat[i].listEntry)
      throw Failure{kRefused, "The element " + name + " appears twice in " + path + "."};
    if ((m.from && edition.version < m.from) || (m.until && edition.version > m.until))
      throw Failure{kRefused, "The element " + inner + " is not part of vtXML " + VersionText(edition.version) + "."};
    if (!InEdition(m, edition))
      throw Failure{kRefused, "The element " + inner + " is not part of the " + (edition.ca ? "CA" : "US") +
                                  " edition."};
    if (child.attribute("useMacro")) {
      if (!m.macro) throw Failure{kRefused, "The element " + inner + " cannot name a record by a macro."};
      if (edition.version < 200)
        throw Failure{kRefused, "The macro of " + inner + " is not part of vtXML " + VersionText(edition.version) + "."};
    }
    for (auto [choice, alternative] : flat[i].choices)
      if (chosen.emplace(choice, alternative).first->second != alternative)
        throw Failure{kRefused, path + " sets more than one alternative of " + std::string(choice->name) + "."};
    ++seen[i];
    pos = i;
    if (const ClassInfo* innerClass = InnerClass(m)) {
      Validate(child, *innerClass, edition, inner);
    } else if (IsRef(m)) {
      std::string parts;
      for (pugi::xml_node part : Elements(child)) parts += std::string(part.name()) + " ";
      if (parts != "" && parts != "ListID " && parts != "FullName " && parts != "ListID FullName ")
        throw Failure{kRefused, "The reference " + inner + " may hold only ListID and then FullName."};
      for (pugi::xml_node part : Elements(child))
        if (!Elements(part).empty())
          throw Failure{kRefused, "The value " + inner + "/" + part.name() + " holds elements."};
    } else {
      if (!Elements(child).empty()) throw Failure{kRefused, "The value " + inner + " holds elements."};
      CheckValue(m.type, child.child_value(), inner);
      // A client writes a boolean as 1 or 0 as often as true or false; the books keep one form.
      const std::string_view text = child.child_value();
      if (m.type == "bool" && (text == "1" || text == "0")) child.text().set(text == "1" ? "true" : "false");
    }
  }
  for (std::size_t i = 0; i < flat.size(); ++i) {
    if (flat[i].required && !seen[i] && InEdition(*flat[i].member, edition))
      throw Failure{kRefused, path + " lacks the required element " + std::string(flat[i].member->element) + "."};
    if (flat[i].listRequired && (i == 0 || flat[i - 1].slot != flat[i].slot)) {
      bool any = false;
      std::string alternatives;
      for (std::size_t k = i; k < flat.size() && flat[k].slot == flat[i].slot; ++k) {
        any = any || seen[k];
        alternatives += (alternatives.empty() ? "" : " or ") + std::string(flat[k].member->element);
      }
      if (!any) throw Failure{kRefused, path + " lacks the required element " + alternatives + "."};
    }
  }
}

std::string Fold(std::string_view text) {
  std::string folded(text);
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return folded;
}

void AppendEscaped(std::string& out, std::string_view text, bool attribute) {
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += attribute ? "&quot;" : "\""; break;
      case '\r': out += "&#13;"; break;  // a bare CR would be folded away by the reader
      default: out += c;
    }
  }
}

void AppendValue(std::string& out, std::string_view element, std::string_view text) {
  out.append("<").append(element).append(">");
  AppendEscaped(out, text, false);
  out.append("</").append(element).append(">\r\n");
}

std::string IsoTime(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  char text[48];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  const long offset = local.tm_gmtoff;
  std::snprintf(text + n, sizeof text - n, "%c%02ld:%02ld", offset < 0 ? '-' : '+', std::labs(offset) / 3600,
                std::labs(offset) % 3600 / 60);
  return text;
}

std::optional<std::time_t> ParseInstant(const std::string& text, bool endOfDay) {
  std::tm tm{};
  int n = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &n) != 3 || n != 10)
    return std::nullopt;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  std::string rest = text.substr(10);
  if (rest.empty() && endOfDay) tm.tm_hour = 23, tm.tm_min = 59, tm.tm_sec = 59;
  if (!rest.empty()) {
    if (std::sscanf(rest.c_str(), "T%2d:%2d:%2d%n", &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &n) != 3 || n != 9)
      return std::nullopt;
    rest = rest.substr(9);
  }
  if (rest.empty()) {
    tm.tm_isdst = -1;
    return std::mktime(&tm);
  }
  if (rest == "Z") return timegm(&tm);
  int hours = 0, minutes = 0;
  if ((rest[0] != '+' && rest[0] != '-') || std::sscanf(rest.c_str() + 1, "%2d:%2d%n", &hours, &minutes, &n) != 2 ||
      n != 5 || rest.size() != 6)
    return std::nullopt;
  return timegm(&tm) - (rest[0] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
}

std::string IsoDate(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

namespace {

// A calendar date as days since 1970-01-01 and back (proleptic Gregorian).
std::int64_t DayNumber(int y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

std::string DateOf(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t doe = days - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const std::int64_t y = yoe + era * 400 + (m <= 2);
  char text[32];
  std::snprintf(text, sizeof text, "%04lld-%02d-%02d", static_cast<long long>(y), m, d);
  return text;
}

// The first day of the month `months` months after the month of (y, m).
std::int64_t MonthStart(int y, int m, int months) {
  const int index = y * 12 + (m - 1) + months;
  return DayNumber(index / 12, index % 12 + 1, 1);
}

}  // namespace

std::pair<std::string, std::string> MacroDates(std::string_view macro, std::time_t today, int fiscalMonth) {
  std::tm local{};
  localtime_r(&today, &local);
  const int y = local.tm_year + 1900, m = local.tm_mon + 1;
  const std::int64_t day = DayNumber(y, m, local.tm_mday);
  const std::int64_t weekStart = day - (local.tm_wday + 6) % 7;  // weeks begin on Monday
  // Quarters and years: calendar ones start in January, fiscal ones in the fiscal month.
  const int firstMonth = macro.find("Fiscal") != std::string_view::npos ? fiscalMonth : 1;
  const int intoYear = ((m - firstMonth) % 12 + 12) % 12;  // months since the year began
  const bool quarter = macro.find("Quarter") != std::string_view::npos;
  const int span = quarter ? 3 : 12;
  const int back = quarter ? intoYear % 3 : intoYear;
  // [first, next first) of the period `shift` periods from the present one.
  auto period = [&](int shift) {
    return std::pair{MonthStart(y, m, -back + shift * span), MonthStart(y, m, -back + (shift + 1) * span)};
  };
  auto month = [&](int shift) { return std::pair{MonthStart(y, m, shift), MonthStart(y, m, shift + 1)}; };
  std::pair<std::int64_t, std::int64_t> range;  // first day, day after the last
  std::string_view name = macro;
  const bool toDate = name.ends_with("ToDate");
  if (toDate) name.remove_suffix(6);
  if (name == "All") return {"", ""};
  if (name == "Today") range = {day, day + 1};
  else if (name == "Yesterday") range = {day - 1, day};
  else if (name == "ThisWeek") range = {weekStart, weekStart + 7};
  else if (name == "LastWeek") range = {weekStart - 7, weekStart};
  else if (name == "NextWeek") range = {weekStart + 7, weekStart + 14};
  else if (name == "NextFourWeeks") range = {weekStart + 7, weekStart + 35};
  else if (name == "ThisMonth") range = month(0);
  else if (name == "LastMonth") range = month(-1);
  else if (name == "NextMonth") range = month(1);
  else if (name.starts_with("This")) range = period(0);
  else if (name.starts_with("Last")) range = period(-1);
  else if (name.starts_with("Next")) range = period(1);
  else return {"", ""};
  // "...ToDate" ends today, or with the period when it ended before today.
  if (toDate) range.second = std::min(range.second, day + 1);
  return {DateOf(range.first), DateOf(range.second - 1)};
}

std::int64_t Cents(std::string_view amount) {
  // Read digit by digit: a binary fraction would round 0.285 down.
  bool negative = false;
  if (!amount.empty() && (amount[0] == '-' || amount[0] == '+')) {
    negative = amount[0] == '-';
    amount.remove_prefix(1);
  }
  const std::size_t point = amount.find('.');
  const std::string_view whole = amount.substr(0, point);
  const std::string_view fraction = point == std::string_view::npos ? "" : amount.substr(point + 1);
  if (whole.size() > 15)
    throw Failure{kRefused, "The amount " + std::string(amount) + " is beyond what the books can hold."};
  std::int64_t cents = 0;
  for (char c : whole) cents = cents * 10 + (c - '0');
  for (std::size_t i = 0; i < 2; ++i) cents = cents * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
  if (fraction.size() > 2 && fraction[2] >= '5') ++cents;
  return negative ? -cents : cents;
}

std::string Money(std::int64_t cents) {
  char text[40];
  const std::uint64_t magnitude = cents < 0 ? -static_cast<std::uint64_t>(cents) : static_cast<std::uint64_t>(cents);
  std::snprintf(text, sizeof text, "%s%llu.%02llu", cents < 0 ? "-" : "", static_cast<unsigned long long>(magnitude / 100),
                static_cast<unsigned long long>(magnitude % 100));
  return text;
}

std::int64_t PercentOf(std::int64_t cents, double percent) {
  return static_cast<std::int64_t>(std::llround(static_cast<double>(cents) * percent / 100.0));
}

std::string Decimal(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.5f", value);
  std::string out = text;
  while (out.back() == '0') out.pop_back();
  if (out.back() == '.') out.pop_back();
  return out == "-0" ? "0" : out;
}

}  // namespace vtfc4::sandbox
