// The process environment as Windows programs see it, the current directory, the program path
// and local time. The environment is the POSIX one, with names compared case-insensitively, plus
// the variables every Windows process has (SystemRoot, ...) pointing into the emulated machine
// when the POSIX environment does not set them. The machine's ANSI code page is UTF-8 (65001), so
// narrow strings are UTF-8.
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
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

extern char **environ;

namespace winsim {

namespace {

struct DefaultVariable {
    const char *name;
    const char *value;
};

const DefaultVariable kDefaults[] = {
    {"SystemRoot", "C:\\Windows"},
    {"windir", "C:\\Windows"},
    {"SystemDrive", "C:"},
    {"ProgramFiles", "C:\\Program Files"},
    {"ProgramData", "C:\\ProgramData"},
    {"ALLUSERSPROFILE", "C:\\ProgramData"},
    {"PUBLIC", "C:\\Users\\Public"},
    {"CommonProgramFiles", "C:\\Program Files\\Common Files"},
};

// A variable's value; an exact spelling of the name wins over another case.
std::optional<std::string> lookup(std::string_view name)
{
    std::string key(name);
    if (const char *exact = getenv(key.c_str()))
        return std::string(exact);
    for (char **entry = environ; entry && *entry; ++entry) {
        const char *eq = strchr(*entry, '=');
        // Windows keeps per-drive directories as "=C:=..."; a name never starts with '='.
        if (!eq || eq == *entry)
            continue;
        if (equalsIgnoreCase(std::string_view(*entry, static_cast<size_t>(eq - *entry)), name))
            return std::string(eq + 1);
    }
    for (const DefaultVariable &variable : kDefaults)
        if (equalsIgnoreCase(std::string_view(variable.name), name))
            return std::string(variable.value);
    return std::nullopt;
}

// The name of an existing POSIX variable that matches `name` in any case, else `name`.
std::string posixName(const std::string &name)
{
    for (char **entry = environ; entry && *entry; ++entry) {
        const char *eq = strchr(*entry, '=');
        if (eq && eq != *entry && equalsIgnoreCase(std::string_view(*entry, static_cast<size_t>(eq - *entry)), name))
            return std::string(*entry, static_cast<size_t>(eq - *entry));
    }
    return name;
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

}  // namespace winsim

using namespace winsim;

extern "C" {

DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size)
{
    if (!name || !*name || strchr(name, '=')) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    std::optional<std::string> value = lookup(name);
    if (!value) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    size_t length = value->size();
    if (!buffer || size <= length)
        return static_cast<DWORD>(length + 1);
    memcpy(buffer, value->c_str(), length + 1);
    return static_cast<DWORD>(length);
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR pathName)
{
    if (!pathName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    MappedPath mapped;
    if (DWORD error = mapWindowsPath(toUtf16(pathName), mapped)) {
        SetLastError(error);
        return FALSE;
    }
    struct stat st;
    if (stat(mapped.posix.c_str(), &st) != 0) {
        SetLastError(errno == ENOENT ? errorForMissing(mapped.posix) : errorFromErrno(errno));
        return FALSE;
    }
    if (!S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    if (chdir(mapped.posix.c_str()) != 0) {
        SetLastError(errorFromErrno(errno));
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
    std::string path = toUtf8(windowsPathFromPosix(posix));
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

DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size)
{
    if (!source) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string expanded;
    const std::u16string_view text(source, wideLength(source));
    size_t i = 0;
    while (i < text.size()) {
        size_t open = text.find(u'%', i);
        if (open == std::u16string_view::npos) {
            expanded += text.substr(i);
            break;
        }
        expanded += text.substr(i, open - i);
        size_t close = text.find(u'%', open + 1);
        if (close == std::u16string_view::npos) {
            expanded += text.substr(open);
            break;
        }
        // An unknown variable keeps its reference.
        auto value = close > open + 1 ? lookup(toUtf8(text.substr(open + 1, close - open - 1))) : std::nullopt;
        if (value)
            expanded += toUtf16(*value);
        else
            expanded += text.substr(open, close - open + 1);
        i = close + 1;
    }
    DWORD needed = static_cast<DWORD>(expanded.size() + 1);
    if (destination && size >= needed) {
        memcpy(destination, expanded.c_str(), needed * sizeof(WCHAR));
    } else if (destination && size > 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
    }
    return needed;
}

BOOL WINAPI SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value)
{
    if (!name || !*name || std::char_traits<char16_t>::find(name, wideLength(name), u'=')) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string key = posixName(toUtf8(name));
    int result = value ? setenv(key.c_str(), toUtf8(value).c_str(), 1) : unsetenv(key.c_str());
    if (result != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
