// What the library learns when it is loaded (its load-time entry point is in dialup/): its own
// module handle and whether the system is of the NT family. Set once, read-only afterwards.
#pragma once

#include <windows.h>

namespace pallux {

struct LibraryState {
    HMODULE module = nullptr;  // this library, as the loader handed it to DllMain
    bool ntFamily = false;     // false when the version query failed or reported Windows 9x
};

extern LibraryState libraryState;

// Called by the load-time entry point on process attach: remembers the module and asks the
// system for its platform family.
void recordLibraryLoad(HMODULE module);

}  // namespace pallux
