// The remote access library (RASAPI32.DLL), loaded when this library is loaded rather than
// linked, so that the library loads on a system without it. Set once by the load-time entry
// point, read-only afterwards.
#pragma once

#include <windows.h>

#include <ras.h>

namespace pallux {

struct RemoteAccess {
    HMODULE module = nullptr;
    decltype(&RasHangUpA) hangUp = nullptr;
    decltype(&RasEnumEntriesA) enumEntries = nullptr;
    decltype(&RasEnumConnectionsA) enumConnections = nullptr;
    decltype(&RasDialA) dial = nullptr;
    decltype(&RasGetConnectStatusA) getConnectStatus = nullptr;
    // The library loaded and has RasHangUpA. Each of the other functions may still be missing
    // from an older library; the natives check theirs before calling it.
    bool available = false;
};

extern RemoteAccess remoteAccess;

// Loads the library and binds its functions (process attach).
void loadRemoteAccess();
// Unloads it again (process detach).
void unloadRemoteAccess();

}  // namespace pallux
