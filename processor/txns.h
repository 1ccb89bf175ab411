// The transactions of a company file, served from the catalogue: adds, modifications line by
// line, queries with their filters, deletions, voids, cleared marks and the log of deletions.
// Nothing here names a kind of transaction: shapes come from the catalogue table, and what a
// transaction books from the books module.
#ifndef VTFC4_PROCESSOR_TXNS_H
#define VTFC4_PROCESSOR_TXNS_H

#include <optional>
#include <pugixml.hpp>

#include "processor/records.h"

namespace vtfc4::sandbox {

// Serves a request about transactions; none when the request is of another kind. A request
// that cannot be carried out throws Failure.
std::optional<Answer> ServeTxnRequest(Context& cx, pugi::xml_node rq);

}  // namespace vtfc4::sandbox

#endif  // VTFC4_PROCESSOR_TXNS_H
