// The process environment as Windows programs see it: the POSIX environment, with names
// compared case-insensitively, plus the variables every Windows process has (SystemRoot, ...)
// pointing into the emulated machine when the POSIX environment does not set them.
#include "machine/text.h"

#include <windows.h>

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

std::optional<std::u16string> lookup(std::u16string_view name)
{
    std::string narrow = toUtf8(name);
    for (char **entry = environ; entry && *entry; ++entry) {
        const char *eq = strchr(*entry, '=');
        // Windows keeps per-drive directories as "=C:=..."; a name never starts with '='.
        if (!eq || eq == *entry)
            continue;
        if (equalsIgnoreCase(std::string_view(*entry, static_cast<size_t>(eq - *entry)), narrow))
            return toUtf16(eq + 1);
    }
    for (const DefaultVariable &variable : kDefaults)
        if (equalsIgnoreCase(std::string_view(variable.name), narrow))
            return toUtf16(variable.value);
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

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

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
        auto value = close > open + 1 ? lookup(text.substr(open + 1, close - open - 1)) : std::nullopt;
        expanded += value ? std::u16string_view(*value) : text.substr(open, close - open + 1);
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
