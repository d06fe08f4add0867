/* Stand-in Windows SDK: token adjustment. */
#pragma once

#include "windef.h"
#include "winnt.h"

WINADVAPI BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                            PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                            PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);

/* Token queries and SIDs. */
typedef enum _TOKEN_INFORMATION_CLASS { TokenUser = 1 } TOKEN_INFORMATION_CLASS;

typedef struct _SID_AND_ATTRIBUTES {
    PSID Sid;
    DWORD Attributes;
} SID_AND_ATTRIBUTES, *PSID_AND_ATTRIBUTES;

typedef struct _TOKEN_USER {
    SID_AND_ATTRIBUTES User;
} TOKEN_USER, *PTOKEN_USER;

WINADVAPI BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf,
                                      PHANDLE TokenHandle);
WINADVAPI BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                          LPVOID TokenInformation, DWORD TokenInformationLength,
                                          PDWORD ReturnLength);
WINADVAPI DWORD WINAPI GetLengthSid(PSID pSid);
WINADVAPI BOOL WINAPI CopySid(DWORD nDestinationSidLength, PSID pDestinationSid, PSID pSourceSid);
WINADVAPI BOOL WINAPI IsValidSid(PSID pSid);
