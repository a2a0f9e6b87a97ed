// The Linux platform edge: the HidApi table's eleven entries served by
// hidapi's hidraw flavour, bound at run time from "libhidapi-hidraw.so.0",
// so that the layer above finds, checks and talks to a key on Linux exactly
// as it does through hid.dll and setupapi.dll on Windows.
#pragma once

#include "hidapi.h"

namespace HIDUSBKEY {

// The library the edge binds; its absence (or a copy lacking an entry point)
// leaves the table incomplete, which scripts see as -1.
extern const char HIDRAW_LIBRARY[];

// Fills the table; entries stay null unless every hidapi entry point is
// there and hid_init succeeds. Release frees the two module references.
void BindHidraw(HidApi& api);

} // namespace HIDUSBKEY
