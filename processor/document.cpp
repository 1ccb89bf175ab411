#include "processor/document.h"

#include <algorithm>
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
    ok = text == "true" || text == "false";
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

}  // namespace vtfc4::sandbox
