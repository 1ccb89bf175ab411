// The sandbox's view of the catalogue (src/catalogue/catalogue.txt): every aggregate class
// with its shape and members, generated at build time by gen_catalogue.py. The engine serves
// requests by reading these rows, so a kind becomes servable as soon as its classes are listed.
#ifndef VTFC4_PROCESSOR_CATALOGUE_TABLE_H
#define VTFC4_PROCESSOR_CATALOGUE_TABLE_H

#include <cstddef>
#include <span>
#include <string_view>

namespace vtfc4::sandbox::catalogue {

// plain: an element of its own; or: a choice of at most one member, no element; group:
// members written flat into the enclosing element.
enum class Shape { Plain, Or, Group };
enum class Kind { Value, Attr, Agg, VList, AList };

struct Member {
  std::string_view element;
  Kind kind;
  std::string_view type;  // a value type, a class name, or VTBaseRef
  bool required;
  int from;   // first vtXML version carrying it as major*100+minor, 0 for all
  int until;  // last such version, 0 for all
};

struct ClassRow {
  std::string_view name;
  Shape shape;
  std::size_t first;
  std::size_t count;
};

struct ClassInfo {
  std::string_view name;
  Shape shape;
  std::span<const Member> members;
  const Member* Find(std::string_view element) const;
};

// The class of that name, or null when the catalogue has none.
const ClassInfo* FindClass(std::string_view name);

}  // namespace vtfc4::sandbox::catalogue

#endif  // VTFC4_PROCESSOR_CATALOGUE_TABLE_H
