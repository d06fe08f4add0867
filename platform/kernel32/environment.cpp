// The process environment, current directory, program path and local time, in the narrow
// forms. The machine's ANSI code page is UTF-8 (65001), so narrow strings are UTF-8.
#include "machine/machine.h"
#include "machine/paths.h"
#include "machine/text.h"

#include <windows.h>

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

extern char **environ;

namespace {

// Windows names variables case-insensitively; an exact match wins over another spelling.
const char *findVariable(const char *name)
{
    if (const char *exact = getenv(name))
        return exact;
    size_t length = strlen(name);
    for (char **entry = environ; entry && *entry; ++entry) {
        const char *equals = strchr(*entry, '=');
        if (equals && static_cast<size_t>(equals - *entry) == length &&
            winsim::equalsIgnoreCase(std::string_view(*entry, length), std::string_view(name, length)))
            return equals + 1;
    }
    return nullptr;
}

std::string modulePosixPath(HMODULE module)
{
    if (!module) {
        char path[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
    }
    link_map *map = nullptr;
    if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name || !*map->l_name)
        return {};
    char resolved[PATH_MAX];
    return realpath(map->l_name, resolved) ? std::string(resolved) : std::string(map->l_name);
}

}  // namespace

extern "C" {

DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size)
{
    if (!name || !*name || strchr(name, '=')) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    const char *value = findVariable(name);
    if (!value) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    size_t length = strlen(value);
    if (!buffer || size <= length)
        return static_cast<DWORD>(length + 1);
    memcpy(buffer, value, length + 1);
    return static_cast<DWORD>(length);
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR pathName)
{
    if (!pathName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    winsim::MappedPath mapped;
    if (DWORD error = winsim::mapWindowsPath(winsim::toUtf16(pathName), mapped)) {
        SetLastError(error);
        return FALSE;
    }
    struct stat st;
    if (stat(mapped.posix.c_str(), &st) != 0) {
        SetLastError(errno == ENOENT ? winsim::errorForMissing(mapped.posix) : winsim::errorFromErrno(errno));
        return FALSE;
    }
    if (!S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    if (chdir(mapped.posix.c_str()) != 0) {
        SetLastError(winsim::errorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size)
{
    std::string posix = modulePosixPath(module);
    if (posix.empty()) {
        SetLastError(module ? ERROR_MOD_NOT_FOUND : ERROR_GEN_FAILURE);
        return 0;
    }
    std::string path = winsim::toUtf8(winsim::windowsPathFromPosix(posix));
    if (!buffer || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        // As on Windows since Vista: truncated, terminated, and the full size returned.
        memcpy(buffer, path.data(), size - 1);
        buffer[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

void WINAPI GetLocalTime(LPSYSTEMTIME out)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    out->wYear = static_cast<WORD>(local.tm_year + 1900);
    out->wMonth = static_cast<WORD>(local.tm_mon + 1);
    out->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    out->wDay = static_cast<WORD>(local.tm_mday);
    out->wHour = static_cast<WORD>(local.tm_hour);
    out->wMinute = static_cast<WORD>(local.tm_min);
    out->wSecond = static_cast<WORD>(local.tm_sec);
    out->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

}  // extern "C"
