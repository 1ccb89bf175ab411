// Internal: the detail factory. One table, keyed by the tag of a message element (a request,
// a response or the events element), names the detail object that holds the element's
// content, whether that content is wrapped (the element's children are the detail's fields)
// and the kind of message set the element belongs to.
#ifndef VTFC4_SRC_MSGSET_DETAIL_FACTORY_H
#define VTFC4_SRC_MSGSET_DETAIL_FACTORY_H

#include <string_view>

#include "src/com/object.h"
#include "src/core/element.h"

namespace vtfc4 {

// Makes one object of a catalogue class with one reference; null when it cannot.
using ClassFactory = ObjectRoot* (*)(bool isRequest, const VersionContextPtr& context);

// The factory of the catalogue class called `className`, or null.
ClassFactory FindClassFactory(std::string_view className);

// Adds a class that the generated catalogue does not hold, or stands in for one of its classes
// (a test detail, for instance).
void RegisterClassFactory(std::string_view className, ClassFactory factory);

struct DetailRow {
  int tag;                 // the message element
  const char* detail;      // the detail class, or null: the element has no detail
  bool wrapped;            // the element's children are the detail's own fields
  int setKind;             // SetKind of the message sets the element belongs to
};

// The row of a message element, or null.
const DetailRow* FindDetailRow(int tag);

// Creates the detail of message element `tag` in response mode (as parsed objects are), with
// the set's version context. False when the tag has no row or no detail class, when the row
// belongs to another kind of set, or when the object cannot be created.
bool CreateDetail(int tag, const VersionContextPtr& context, RootRef& detail, bool& wrapped);

}  // namespace vtfc4

#endif  // VTFC4_SRC_MSGSET_DETAIL_FACTORY_H
