// The list records of a company file, served from the catalogue: adds, modifications,
// queries with their filters, deletions and the log of them, and the company's own records.
// Nothing here names a kind of record: shapes, references and families come
// from the catalogue table, and the figures the application computes from the books module.
#ifndef VTFC4_PROCESSOR_LISTS_H
#define VTFC4_PROCESSOR_LISTS_H

#include <optional>
#include <pugixml.hpp>
#include <string>

#include "processor/records.h"

namespace vtfc4::sandbox {

// Serves a request about list records; none when the request is of another kind. A request
// that cannot be carried out throws Failure.
std::optional<Answer> ServeListRequest(Context& cx, pugi::xml_node rq);

}  // namespace vtfc4::sandbox

#endif  // VTFC4_PROCESSOR_LISTS_H
