// A remote access library of an older system, for the tests: it has RasHangUpA and
// RasEnumEntriesA (one entry, "Older library"), but none of the other functions.
#include <windows.h>

#include <ras.h>
#include <raserror.h>

#include <cstring>

extern "C" {

__attribute__((visibility("default"))) DWORD APIENTRY RasEnumEntriesA(LPCSTR, LPCSTR, LPRASENTRYNAMEA names,
                                                                      LPDWORD bytes, LPDWORD count)
{
    if (!bytes || !count)
        return ERROR_INVALID_PARAMETER;
    *count = 1;
    if (!names || *bytes < sizeof(RASENTRYNAMEA)) {
        *bytes = sizeof(RASENTRYNAMEA);
        return ERROR_BUFFER_TOO_SMALL;
    }
    memset(names->szEntryName, 0, sizeof names->szEntryName);
    strcpy(names->szEntryName, "Older library");
    *bytes = sizeof(RASENTRYNAMEA);
    return 0;
}

__attribute__((visibility("default"))) DWORD APIENTRY RasHangUpA(HRASCONN)
{
    return ERROR_INVALID_HANDLE;
}

}  // extern "C"
