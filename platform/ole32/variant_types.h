// Which VARIANT and safe array element types the stand-in oleaut32 knows, shared by the VARIANT
// and safe array functions.
#pragma once

#include <ole2.h>

namespace winsim {

// A type that a VARIANT may hold: a base type alone, with VT_BYREF, with VT_ARRAY or both.
// VT_VARIANT only by reference or as an array; VT_EMPTY and VT_NULL only alone.
bool isValidVariantType(VARTYPE vt);

// The size of one element of a safe array of that type; 0 for a type an array cannot hold.
ULONG safeArrayElementSize(VARTYPE vt);

}  // namespace winsim
