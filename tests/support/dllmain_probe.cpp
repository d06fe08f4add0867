// A DLL whose DllMain records the notifications it receives, for the loader tests.
#include <windows.h>

#include <cstdlib>
#include <string>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    const char *previous = getenv("DLLMAIN_PROBE");
    std::string log = previous ? previous : "";
    log += reason == DLL_PROCESS_ATTACH ? "attach;" : reason == DLL_PROCESS_DETACH ? "detach;" : "other;";
    if (reason == DLL_PROCESS_ATTACH && !instance)
        log += "no-instance;";
    setenv("DLLMAIN_PROBE", log.c_str(), 1);
    return TRUE;
}
