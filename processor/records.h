// What the sandbox's records of every sort share: the context a request is served in, its
// answer, and the handling of stored fragments (references resolved by the lists they name,
// answers written through their Ret classes, modifications merged).
#ifndef VTFC4_PROCESSOR_RECORDS_H
#define VTFC4_PROCESSOR_RECORDS_H

#include <map>
#include <optional>
#include <pugixml.hpp>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "processor/document.h"
#include "processor/events.h"
#include "processor/store.h"

struct sqlite3;

namespace vtfc4::sandbox {

class CompanyFile;

// The state of one message set being served.
struct Context {
  CompanyFile& file;
  sqlite3* db;
  Edition edition;
  bool readOnly = false;
  // The macros the set's requests defined (defMacro), and the identifiers they stand for.
  std::map<std::string, std::string> macros;
  // What the set's requests changed, in order: the events they raise when the set commits.
  std::vector<Change> changes;
};

// What one request is answered with: its status, its records, the attributes of its response
// element (retCount).
struct Answer {
  int code = kOk;
  std::string message = "Status OK";
  std::string body;
  std::string attributes;
};

// The severity of a status: the two that are not errors are Info.
std::string Severity(int code);
// Appends the answer to request `rq`: its response element (the request's name with Rs for
// Rq) with the requestID it was given, the status attributes and the answer's own, and the
// answer's body.
void AppendResponse(std::string& out, pugi::xml_node rq, const Answer& answer);

// Stored fragments are read back without line-end folding: a CR the client escaped stays.
inline constexpr unsigned kStoredParse = (pugi::parse_default & ~pugi::parse_eol) | pugi::parse_ws_pcdata_single;

std::string Serialize(pugi::xml_node node);
// Drops empty elements, children first; no recursion, whatever the depth.
void Prune(pugi::xml_node node);
// The lists a reference names, in words ("Terms", "Employee, Vendor or OtherName").
std::string ListsText(std::string_view refersTo, const std::string& own);
// The request's body: the one element of a plain class, or the request element itself for a
// group, written flat.
pugi::xml_node BodyOf(pugi::xml_node rq, const catalogue::ClassInfo& cls);
std::set<std::string> IncludeRetElements(pugi::xml_node node);
std::set<std::string> Owners(pugi::xml_node rq);
// The kind a request element names before its suffix ("Customer" of "CustomerAddRq").
std::optional<std::string> KindBefore(const std::string& name, std::string_view suffix);

// Gives every element below `node` that names a record by a macro (useMacro) the identifier
// the macro was defined for earlier in the message set; an undefined macro is refused (3000).
void UseMacros(Context& cx, pugi::xml_node node);
// Records the macro a request defines (defMacro on `node`) for the identifier `id`.
void DefineMacro(Context& cx, pugi::xml_node node, const std::string& id);

// The record a reference names among `kinds`: by its ListID when it has one, else by its
// FullName. Refused with 3140 when the company file has no such record.
Record Resolve(Context& cx, pugi::xml_node ref, const std::vector<std::string>& kinds, const std::string& lists,
               const std::string& path);
// Checks every reference below `node` (read as `cls`) against the lists it names and keeps it by
// its ListID alone; the ListIDs named go to `links`.
void ResolveReferences(Context& cx, pugi::xml_node node, const catalogue::ClassInfo& cls, const std::string& own,
                       const std::string& path, std::vector<std::string>& links);
// Every ListID that the references below `node` keep.
void CollectLinks(pugi::xml_node node, std::vector<std::string>& links);

// The members of `cls` that `src` holds, in the class's order; references with their record's
// ListID and present FullName; an answer element YRet is written from a stored Y or YAdd.
void WriteMembers(Context& cx, std::string& out, const catalogue::ClassInfo& cls, pugi::xml_node src,
                  const std::set<std::string>* only);
// A record as its Ret element (`<Ret/>` when it holds nothing).
std::string RetElement(Context& cx, const catalogue::ClassInfo& ret, pugi::xml_node src,
                       const std::set<std::string>& only);
// The data extensions of `target` whose owner is among `owners`, as DataExtRet elements.
void AddDataExts(Context& cx, pugi::xml_node src, const std::string& target, const std::set<std::string>& owners);

// The answer of a query that found `count` records (their Ret elements in `body`): the
// retCount its metaData asks for, no records for MetaDataOnly, status 1 with `none` when
// nothing matched.
Answer Listing(pugi::xml_node rq, std::size_t count, std::string body, const std::string& none);
// True unless the query asks for its count alone (MetaDataOnly).
bool WantsRecords(pugi::xml_node rq);
// The answer of a query of the log of deletions (ListDeletedQuery, TxnDeletedQuery): the
// entries of the kind its `typeElement` names, as `ret` elements whose identifier and name go
// in `idElement` and `nameElement`.
Answer DeletedAnswer(Context& cx, pugi::xml_node rq, const catalogue::ClassInfo& query, const char* typeElement,
                     const char* idElement, const char* nameElement, const char* ret);

// Applies a Mod body to stored fields: present elements replace, empty ones clear, aggregates
// of a class merge child by child, and a repeated member's new entries replace all old ones.
// `skip` names top-level elements kept elsewhere.
void Merge(pugi::xml_node stored, pugi::xml_node change, const catalogue::ClassInfo& cls,
           const std::set<std::string>* skip);

// The lost data events of a subscriber: DataEventRecoveryInfoQueryRq lists them,
// DataEventRecoveryInfoDelRq gives them up (events.cpp); none for other requests.
std::optional<Answer> ServeEventRequest(Context& cx, pugi::xml_node rq);

// The stored fields of a record, readable: one line per leaf element, its path and its text.
std::string ListFields(const std::string& fragment);

}  // namespace vtfc4::sandbox

#endif  // VTFC4_PROCESSOR_RECORDS_H
