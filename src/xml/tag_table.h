// Internal: the tag table. Every element and attribute name of vtXML is known by its tag id,
// its position in one sorted, read-only table of 1440 names followed by the sentinel
// "LastTagEntry". A second table maps message element names to their message type numbers.
#ifndef VTFC4_SRC_XML_TAG_TABLE_H
#define VTFC4_SRC_XML_TAG_TABLE_H

#include <cstdint>
#include <string>
#include <string_view>

#include "vtfc4/gen/tags.h"

namespace vtfc4 {

// The tag id of a name (case-sensitive, by byte value), or -1.
int TagIdOf(std::string_view name);

// The same answer as TagIdOf, by one hash lookup: the parse pipeline turns every element and
// attribute name of a document into a tag, so it uses this one.
int LookupTag(std::string_view name);

// Appends the name of `tag` to `out` for 0 <= tag < 1440; false (and `out` unchanged)
// otherwise.
bool TagNameOf(int tag, std::string& out);

// The name of `tag`, or null when the tag has none.
const char* TagName(int tag);

// The name of `tag` as a view (empty when the tag has none); no length is computed.
std::string_view TagNameView(int tag);

// The message type number (ENResponseType value) of a message element name; 0 when the name
// is not a request, response or events element.
uint16_t MessageTypeOf(std::string_view name);

}  // namespace vtfc4

#endif  // VTFC4_SRC_XML_TAG_TABLE_H
