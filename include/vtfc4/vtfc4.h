// vtFC4: a typed object model over vtXML. This umbrella header declares every public
// interface, enumeration and identifier of the library.
#ifndef VTFC4_VTFC4_H
#define VTFC4_VTFC4_H

#include "vtfc4/com.h"
#include "vtfc4/oleauto.h"
#include "vtfc4/comptr.h"
#include "vtfc4/values.h"
#include "vtfc4/gen/enum_interfaces.h"
#include "vtfc4/msgset.h"
#include "vtfc4/processor.h"
#include "vtfc4/session.h"
#include "vtfc4/events.h"

#endif  // VTFC4_VTFC4_H
