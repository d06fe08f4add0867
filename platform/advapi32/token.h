// The process token: its user and its privileges, with the state that AdjustTokenPrivileges
// changes.
#pragma once

#include <windef.h>

namespace winsim {

// LUID low parts of the privileges the stand-in itself checks.
inline constexpr DWORD kSeSecurityPrivilege = 8;
inline constexpr DWORD kSeBackupPrivilege = 17;
inline constexpr DWORD kSeRestorePrivilege = 18;

bool isPrivilegeEnabled(DWORD privilege);

}  // namespace winsim
