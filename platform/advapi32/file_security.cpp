// GetFileSecurityW over the descriptors kept with the files.
#include "advapi32/token.h"
#include "kernel32/file.h"
#include "machine/file_metadata.h"

#include <windows.h>

#include <cstring>

using namespace winsim;

extern "C" BOOL WINAPI GetFileSecurityW(LPCWSTR fileName, SECURITY_INFORMATION requested,
                                        PSECURITY_DESCRIPTOR descriptor, DWORD length, LPDWORD lengthNeeded)
{
    if (!fileName || !lengthNeeded || (length && !descriptor)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((requested & SACL_SECURITY_INFORMATION) && !isPrivilegeEnabled(kSeSecurityPrivilege)) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    ExistingFile file;
    if (!file.open(fileName))
        return FALSE;
    Bytes built = buildSecurityDescriptor(readSecurity(file.fd, file.st), requested);
    *lengthNeeded = static_cast<DWORD>(built.size());
    if (length < built.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(descriptor, built.data(), built.size());
    return TRUE;
}
