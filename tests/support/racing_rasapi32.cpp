// A remote access library for the tests in which a connection is dialled between the two calls
// of every listing: the first call of a pair finds one connection, the second finds two and
// says the room is too small; the next pair finds the two and lists them ("First", "Second").
#include <windows.h>

#include <ras.h>
#include <raserror.h>

#include <atomic>
#include <cstring>

namespace {

std::atomic<unsigned> calls{0};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) DWORD APIENTRY RasEnumConnectionsA(LPRASCONNA connections, LPDWORD bytes,
                                                                          LPDWORD count)
{
    const unsigned call = calls++ % 4;
    const DWORD present = call == 0 ? 1 : 2;
    const DWORD needed = present * sizeof(RASCONNA);
    if (!connections || *bytes < needed) {
        *bytes = needed;
        *count = present;
        return ERROR_BUFFER_TOO_SMALL;
    }
    const char *names[] = {"First", "Second"};
    for (DWORD i = 0; i < present; ++i) {
        memset(&connections[i], 0, sizeof connections[i]);
        connections[i].dwSize = sizeof(RASCONNA);
        connections[i].hrasconn = reinterpret_cast<HRASCONN>(static_cast<uintptr_t>(0x40004 + 4 * i));
        strcpy(connections[i].szEntryName, names[i]);
    }
    *bytes = needed;
    *count = present;
    return 0;
}

__attribute__((visibility("default"))) DWORD APIENTRY RasHangUpA(HRASCONN)
{
    return 0;
}

}  // extern "C"
