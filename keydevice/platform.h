// The one place the key-device layer meets the operating system's headers.
// On Windows these are the real SDK headers; elsewhere a small compat layer
// supplies the few types and calls the layer uses, so the same code builds
// and is tested natively.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <setupapi.h>
#define TALLYKEY_WIDE(s) L##s
#else
#include "wincompat.h"
#define TALLYKEY_WIDE(s) u##s
#endif

namespace HIDUSBKEY {

// The two declarations of the HID driver kit that we need, kept here
// instead of depending on the DDK headers.
struct HIDD_ATTRIBUTES {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
};
struct HIDP_PREPARSED_DATA;
typedef HIDP_PREPARSED_DATA* PHIDP_PREPARSED_DATA;

} // namespace HIDUSBKEY
