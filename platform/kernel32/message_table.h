// The system message table of the emulated machine: the en-US texts of Windows, each with the
// carriage return and line feed that Windows ends them with.
#pragma once

#include <windef.h>

namespace winsim {

// The text of a system error code, or null when the table has none.
const char *systemMessageText(DWORD code);

}  // namespace winsim
