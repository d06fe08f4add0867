// The user of the process token, and the SID functions that copy it.
#include "advapi32/token.h"

#include "machine/machine.h"
#include "machine/security_descriptor.h"

#include <windows.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace winsim {

bool runningAsService()
{
    const char *service = getenv("WINSIM_SERVICE");
    return service && *service;
}

bool hasAdministrativeRights()
{
    return runningAsService() || machineFlag("administrator", true);
}

std::vector<uint8_t> tokenUserSid()
{
    if (runningAsService())
        return makeSid(5, {18});
    return makeSid(22, {1, static_cast<uint32_t>(getuid())});
}

}  // namespace winsim

using namespace winsim;

namespace {

size_t sidLength(const void *sid)
{
    const auto *bytes = static_cast<const uint8_t *>(sid);
    return 8 + 4 * static_cast<size_t>(bytes[1]);
}

}  // namespace

extern "C" {

BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD, BOOL, PHANDLE tokenHandle)
{
    if (thread != GetCurrentThread()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (tokenHandle)
        *tokenHandle = nullptr;
    // No thread of the stand-in impersonates anyone.
    SetLastError(ERROR_NO_TOKEN);
    return FALSE;
}

BOOL WINAPI GetTokenInformation(HANDLE tokenHandle, TOKEN_INFORMATION_CLASS infoClass, LPVOID info,
                                DWORD infoLength, PDWORD returnLength)
{
    auto token = lookupHandleAs<TokenObject>(tokenHandle);
    if (!token) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!returnLength) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (infoClass != TokenUser) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!(token->access & TOKEN_QUERY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::vector<uint8_t> sid = tokenUserSid();
    DWORD needed = static_cast<DWORD>(sizeof(TOKEN_USER) + sid.size());
    *returnLength = needed;
    if (!info || infoLength < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto *user = static_cast<TOKEN_USER *>(info);
    auto *sidCopy = static_cast<uint8_t *>(info) + sizeof(TOKEN_USER);
    memcpy(sidCopy, sid.data(), sid.size());
    user->User.Sid = sidCopy;
    user->User.Attributes = 0;
    return TRUE;
}

BOOL WINAPI IsValidSid(PSID sid)
{
    const auto *bytes = static_cast<const uint8_t *>(sid);
    return bytes && bytes[0] == 1 && bytes[1] <= 15;
}

DWORD WINAPI GetLengthSid(PSID sid)
{
    if (!IsValidSid(sid)) {
        SetLastError(ERROR_INVALID_SID);
        return 0;
    }
    return static_cast<DWORD>(sidLength(sid));
}

BOOL WINAPI CopySid(DWORD destinationLength, PSID destination, PSID source)
{
    if (!IsValidSid(source)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    size_t length = sidLength(source);
    if (!destination || destinationLength < length) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memmove(destination, source, length);
    return TRUE;
}

}  // extern "C"
