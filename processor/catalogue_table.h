// The sandbox's view of the catalogue (src/catalogue/catalogue.txt): every aggregate class
// with its shape and members, generated at build time by gen_catalogue.py. The engine serves
// requests by reading these rows, so a kind becomes servable as soon as its classes are listed.
#ifndef VTFC4_PROCESSOR_CATALOGUE_TABLE_H
#define VTFC4_PROCESSOR_CATALOGUE_TABLE_H

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vtfc4::sandbox::catalogue {

// plain: an element of its own; or: a choice of at most one member, no element; group:
// members written flat into the enclosing element.
enum class Shape { Plain, Or, Group };
enum class Kind { Value, Attr, Agg, VList, AList };
// The editions a member exists in: every one, the US only, or CA only.
enum class Edition { Any, NotCA, CA };

struct Member {
  std::string_view element;
  Kind kind;
  std::string_view type;  // a value type, a class name, or VTBaseRef
  bool required;
  int from;   // first vtXML version carrying it as major*100+minor, 0 for all
  int until;  // last such version, 0 for all
  // For a reference: the lists whose records it names, comma-separated list kinds or
  // families, or "self" (the record's own kind); empty otherwise.
  std::string_view refersTo;
  bool naming;  // (part of) the record's name, for records without a Name
  Edition edition;
  bool macro;  // an identifier that may name a record of an earlier request by a macro
};

// The words an enumeration's values are written as, separated by '|'.
struct EnumWords {
  std::string_view name;
  std::string_view words;
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

// True when `word` is one of the words of enumeration `name` (an unknown enumeration takes any).
bool IsEnumWord(std::string_view name, std::string_view word);

// ---- The kinds of records, as the catalogue shapes them.

// A list kind K is one whose answer record K+"Ret" is a plain class with a ListID.
bool IsListKind(std::string_view kind);
// A transaction kind K is one whose answer record K+"Ret" is a plain class with a TxnID and an
// EditSequence (TransactionRet, a view across kinds, has no EditSequence).
bool IsTxnKind(std::string_view kind);
// The transaction kinds, in the catalogue's order of names.
const std::vector<std::string>& TxnKinds();
// The class an element of a transaction's stored fields is answered as: "InvoiceLineAdd" and
// "InvoiceLineMod" as "InvoiceLineRet", a class named alike in both ("JournalDebitLine") as
// itself; null when the catalogue has none.
const ClassInfo* RetClassOf(std::string_view element);
// True when such an element is a line of its transaction: its answer class has a TxnLineID.
bool IsLine(std::string_view element);

// A family F is an OR choice "OR"+F+"Ret" whose every member is the Ret of a list kind: the
// kinds that share one name space and answer one query (items, entities, terms). Its kinds in
// member order; empty when F is no family.
const std::vector<std::string>& FamilyKinds(std::string_view family);
// The family a list kind belongs to, or the kind itself.
std::string FamilyOf(std::string_view kind);
// The kinds whose records a reference of a record of kind `own` names: its list kinds and the
// kinds of its families, `own` for "self"; every name must be a list kind or a family.
std::vector<std::string> ReferencedKinds(std::string_view refersTo, std::string_view own);

}  // namespace vtfc4::sandbox::catalogue

#endif  // VTFC4_PROCESSOR_CATALOGUE_TABLE_H
