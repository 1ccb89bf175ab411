#include "processor/catalogue_table.h"

#include <algorithm>
#include <map>
#include <vector>

namespace vtfc4::sandbox::catalogue {
namespace {

#include "processor/catalogue_table.inc"

const std::vector<ClassInfo>& Classes() {
  static const std::vector<ClassInfo> classes = [] {
    std::vector<ClassInfo> all;
    for (const ClassRow& row : kClassRows)
      all.push_back(
          {row.name, row.shape, std::span<const Member>(kMembers + row.first, row.count)});
    return all;
  }();
  return classes;
}

}  // namespace

const Member* ClassInfo::Find(std::string_view element) const {
  for (const Member& m : members)
    if (m.element == element) return &m;
  return nullptr;
}

const ClassInfo* FindClass(std::string_view name) {
  const auto& all = Classes();  // sorted by name by the generator
  auto it = std::lower_bound(all.begin(), all.end(), name,
                             [](const ClassInfo& c, std::string_view n) { return c.name < n; });
  return it != all.end() && it->name == name ? &*it : nullptr;
}

bool IsEnumWord(std::string_view name, std::string_view word) {
  for (const EnumWords& e : kEnumWords) {
    if (e.name != name) continue;
    std::string_view words = e.words;
    while (true) {
      const size_t bar = words.find('|');
      if (words.substr(0, bar) == word) return true;
      if (bar == std::string_view::npos) return false;
      words.remove_prefix(bar + 1);
    }
  }
  return true;
}

bool IsListKind(std::string_view kind) {
  const ClassInfo* ret = FindClass(std::string(kind) + "Ret");
  return ret && ret->shape == Shape::Plain && ret->Find("ListID");
}

bool IsTxnKind(std::string_view kind) {
  const ClassInfo* ret = FindClass(std::string(kind) + "Ret");
  return ret && ret->shape == Shape::Plain && ret->Find("TxnID") && ret->Find("EditSequence");
}

const std::vector<std::string>& TxnKinds() {
  static const std::vector<std::string> kinds = [] {
    std::vector<std::string> all;
    for (const ClassInfo& c : Classes())
      if (c.name.ends_with("Ret") && IsTxnKind(c.name.substr(0, c.name.size() - 3)))
        all.emplace_back(c.name.substr(0, c.name.size() - 3));
    return all;
  }();
  return kinds;
}

const ClassInfo* RetClassOf(std::string_view element) {
  for (std::string_view suffix : {"Add", "Mod"})
    if (element.ends_with(suffix))
      if (const ClassInfo* ret = FindClass(std::string(element.substr(0, element.size() - 3)) + "Ret")) return ret;
  return FindClass(element);
}

bool IsLine(std::string_view element) {
  const ClassInfo* ret = RetClassOf(element);
  return ret && ret->shape == Shape::Plain && ret->Find("TxnLineID");
}

namespace {

const std::map<std::string, std::vector<std::string>, std::less<>>& Families() {
  static const auto families = [] {
    std::map<std::string, std::vector<std::string>, std::less<>> all;
    for (const ClassInfo& c : Classes()) {
      if (c.shape != Shape::Or || !c.name.starts_with("OR") || !c.name.ends_with("Ret")) continue;
      std::vector<std::string> kinds;
      for (const Member& m : c.members) {
        const bool ret = m.kind == Kind::Agg && m.element == m.type && m.type.ends_with("Ret");
        const std::string kind(m.type.substr(0, m.type.size() - 3));
        if (!ret || !IsListKind(kind)) {
          kinds.clear();
          break;
        }
        kinds.push_back(kind);
      }
      if (!kinds.empty()) all[std::string(c.name.substr(2, c.name.size() - 5))] = std::move(kinds);
    }
    return all;
  }();
  return families;
}

}  // namespace

const std::vector<std::string>& FamilyKinds(std::string_view family) {
  static const std::vector<std::string> none;
  const auto it = Families().find(family);
  return it == Families().end() ? none : it->second;
}

std::string FamilyOf(std::string_view kind) {
  for (const auto& [family, kinds] : Families())
    if (std::find(kinds.begin(), kinds.end(), kind) != kinds.end()) return family;
  return std::string(kind);
}

std::vector<std::string> ReferencedKinds(std::string_view refersTo, std::string_view own) {
  std::vector<std::string> kinds;
  while (!refersTo.empty()) {
    const size_t comma = refersTo.find(',');
    const std::string_view name = refersTo.substr(0, comma);
    refersTo.remove_prefix(comma == std::string_view::npos ? refersTo.size() : comma + 1);
    if (name == "self") {
      kinds.emplace_back(own);
    } else if (const auto& family = FamilyKinds(name); !family.empty()) {
      kinds.insert(kinds.end(), family.begin(), family.end());
    } else if (IsListKind(name)) {
      kinds.emplace_back(name);
    }
  }
  return kinds;
}

}  // namespace vtfc4::sandbox::catalogue
