// File operations pending until the next start of the machine, kept where Windows keeps them:
// HKLM\SYSTEM\CurrentControlSet\Control\Session Manager, value PendingFileRenameOperations, a
// REG_MULTI_SZ of pairs of NT names, "\??\C:\dir\old" then "\??\C:\dir\new" for a rename
// ("!\??\..." when it may replace an existing file) or "" for a deletion, the whole list ended by
// one more NUL.
#pragma once

#include <windef.h>

#include <string>
#include <string_view>
#include <vector>

namespace winsim {

struct PendingRename {
    std::u16string source;  // NT name
    std::u16string target;  // NT name; empty for a deletion
    bool replace = false;   // the target may be replaced ("!" in front of it)
};

// The value's text, its final NUL included, and back. Decoding stops at an empty source name
// (the end of the list) and never reads past the text.
std::u16string encodePendingRenames(const std::vector<PendingRename> &renames);
std::vector<PendingRename> decodePendingRenames(std::u16string_view text);

// "\??\C:\dir\f" (or "\??\UNC\server\share\f") for an absolute host path; the Win32 name
// ("\\?\C:\dir\f") of an NT name.
std::u16string ntNameOf(const std::string &absolutePosix);
std::u16string win32NameOf(std::u16string_view ntName);

// Appends an operation to the list through the registry functions, so only those who may
// change the machine's keys may record one (ERROR_ACCESS_DENIED otherwise). Returns 0 or a
// Windows error.
DWORD recordPendingRename(const PendingRename &rename);

// Reads the list and removes it from the registry, as the session manager does at start.
DWORD takePendingRenames(std::vector<PendingRename> &renames);

}  // namespace winsim
