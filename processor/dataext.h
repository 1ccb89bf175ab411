// Data extensions of the sandbox: definitions (DataExtDef) and values (DataExt).
#ifndef VTFC4_PROCESSOR_DATAEXT_H
#define VTFC4_PROCESSOR_DATAEXT_H

#include <optional>
#include <pugixml.hpp>

#include "processor/records.h"

namespace vtfc4::sandbox {

// Serves a request about data extensions; none when the request is of another kind. A request
// that cannot be carried out throws Failure.
std::optional<Answer> ServeDataExtRequest(Context& cx, pugi::xml_node rq);

}  // namespace vtfc4::sandbox

#endif  // VTFC4_PROCESSOR_DATAEXT_H
