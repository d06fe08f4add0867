// The library's load-time entry point: what the library learns about the system (its own
// module, the platform family) and the remote access library, loaded here so that the dial-up
// natives find it bound.
#include "../common/library_state.h"
#include "../common/modules.h"
#include "remote_access.h"

#include <windows.h>

namespace pallux {

RemoteAccess remoteAccess;

void loadRemoteAccess()
{
    remoteAccess = RemoteAccess{};
    remoteAccess.module = LoadLibraryA("RASAPI32.DLL");
    if (!remoteAccess.module)
        return;
    remoteAccess.hangUp = procAddress<decltype(&RasHangUpA)>(remoteAccess.module, "RasHangUpA");
    remoteAccess.enumEntries = procAddress<decltype(&RasEnumEntriesA)>(remoteAccess.module, "RasEnumEntriesA");
    remoteAccess.enumConnections =
        procAddress<decltype(&RasEnumConnectionsA)>(remoteAccess.module, "RasEnumConnectionsA");
    remoteAccess.dial = procAddress<decltype(&RasDialA)>(remoteAccess.module, "RasDialA");
    remoteAccess.getConnectStatus =
        procAddress<decltype(&RasGetConnectStatusA)>(remoteAccess.module, "RasGetConnectStatusA");
    remoteAccess.available = remoteAccess.hangUp != nullptr;
}

void unloadRemoteAccess()
{
    if (!remoteAccess.module)
        return;
    remoteAccess.available = false;
    FreeLibrary(remoteAccess.module);
    remoteAccess.module = nullptr;
}

}  // namespace pallux

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);
        pallux::recordLibraryLoad(instance);
        pallux::loadRemoteAccess();
        break;
    case DLL_PROCESS_DETACH:
        // When the process is ending (reserved set) every other thread is gone and Windows
        // frees the libraries itself: unloading one from here is what it warns against.
        if (!reserved)
            pallux::unloadRemoteAccess();
        break;
    }
    return TRUE;
}
