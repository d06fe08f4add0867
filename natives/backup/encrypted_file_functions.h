// The raw encrypted-file functions of advapi32, bound by name when BackupApi.init runs.
#pragma once

#include <windows.h>

namespace pallux {

using OpenEncryptedFileRawWFunction = DWORD(WINAPI *)(LPCWSTR, ULONG, PVOID *);
using ReadEncryptedFileRawFunction = DWORD(WINAPI *)(PFE_EXPORT_FUNC, PVOID, PVOID);
using WriteEncryptedFileRawFunction = DWORD(WINAPI *)(PFE_IMPORT_FUNC, PVOID, PVOID);
using CloseEncryptedFileRawFunction = void(WINAPI *)(PVOID);

struct EncryptedFileFunctions {
    OpenEncryptedFileRawWFunction open;
    ReadEncryptedFileRawFunction read;
    CloseEncryptedFileRawFunction close;
    WriteEncryptedFileRawFunction write;
};

// Null entries are functions that the system's advapi32 does not export.
extern EncryptedFileFunctions encryptedFileFunctions;

}  // namespace pallux
