// ReadFile, WriteFile and the narrow file functions (ANSI is UTF-8 on this machine).
#include "kernel32/file.h"
#include "machine/paths.h"
#include "machine/text.h"

#include <windows.h>

#include <unistd.h>

#include <cerrno>

using namespace winsim;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD disposition, DWORD flagsAndAttributes,
                          HANDLE templateFile)
{
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(toUtf16(fileName).c_str(), desiredAccess, shareMode, securityAttributes, disposition,
                       flagsAndAttributes, templateFile);
}

DWORD WINAPI GetFileAttributesA(LPCSTR fileName)
{
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    return GetFileAttributesW(toUtf16(fileName).c_str());
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD bytesRead, LPOVERLAPPED overlapped)
{
    auto file = fileFromHandle(handle);
    if (!file)
        return FALSE;
    if (overlapped || (!bytesRead) || (!buffer && toRead)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *bytesRead = 0;
    if (file->directory || !(file->access & FILE_READ_DATA)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (DWORD error = refuseEncryptedData(*file)) {
        SetLastError(error);
        return FALSE;
    }
    ssize_t n;
    do {
        n = read(file->fd, buffer, toRead);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetLastError(errorFromErrno(errno));
        return FALSE;
    }
    *bytesRead = static_cast<DWORD>(n);
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped)
{
    auto file = fileFromHandle(handle);
    if (!file)
        return FALSE;
    if (overlapped || (!buffer && toWrite)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (bytesWritten)
        *bytesWritten = 0;
    if (file->directory || !(file->access & (FILE_WRITE_DATA | FILE_APPEND_DATA))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const auto *bytes = static_cast<const char *>(buffer);
    DWORD done = 0;
    while (done < toWrite) {
        ssize_t n = write(file->fd, bytes + done, toWrite - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (bytesWritten)
                *bytesWritten = done;
            SetLastError(errorFromErrno(errno));
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (bytesWritten)
        *bytesWritten = done;
    return TRUE;
}

}  // extern "C"
