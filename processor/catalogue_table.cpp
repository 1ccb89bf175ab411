#include "processor/catalogue_table.h"

#include <algorithm>
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

}  // namespace vtfc4::sandbox::catalogue
