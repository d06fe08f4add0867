/* Stand-in Windows SDK: token adjustment. */
#pragma once

#include "windef.h"
#include "winnt.h"

WINADVAPI BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                            PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                            PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);
