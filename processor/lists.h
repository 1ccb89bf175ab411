// The list records of a company file, served from the catalogue: adds, modifications,
// queries with their filters, deletions and the log of them, the company's own records, and
// data extensions. Nothing here names a kind of record: shapes, references and families come
// from the catalogue table, and the figures the application computes from the books module.
#ifndef VTFC4_PROCESSOR_LISTS_H
#define VTFC4_PROCESSOR_LISTS_H

#include <optional>
#include <pugixml.hpp>
#include <string>

#include "processor/document.h"

struct sqlite3;

namespace vtfc4::sandbox {

class CompanyFile;

struct Context {
  CompanyFile& file;
  sqlite3* db;
  Edition edition;
  bool readOnly = false;
};

// What one request is answered with: its status, its records, the attributes of its response
// element (retCount).
struct Answer {
  int code = kOk;
  std::string message = "Status OK";
  std::string body;
  std::string attributes;
};

// Serves a request about list records; none when the request is of another kind. A request
// that cannot be carried out throws Failure.
std::optional<Answer> ServeListRequest(Context& cx, pugi::xml_node rq);

// The stored fields of a record or of one of the company's own records, readable: one line per
// leaf element, its path and its text.
std::string ListFields(const std::string& fragment);

}  // namespace vtfc4::sandbox

#endif  // VTFC4_PROCESSOR_LISTS_H
