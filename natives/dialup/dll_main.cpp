// The library's load-time entry point.
#include "../common/library_state.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        pallux::recordLibraryLoad(instance);
    }
    return TRUE;
}
