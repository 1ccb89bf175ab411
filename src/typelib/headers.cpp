// The public headers as a client compiles them: the type library generator reads the
// interfaces from this file's preprocessed text.
#include "vtfc4/processor.h"
#include "vtfc4/vtfc4.h"
