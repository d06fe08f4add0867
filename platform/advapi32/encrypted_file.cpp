// Raw access to encrypted files. The emulated file system has no encryption yet, so these
// answer as a system without the feature does.
#include <windows.h>

extern "C" {

DWORD WINAPI OpenEncryptedFileRawW(LPCWSTR, ULONG, PVOID *context)
{
    if (context)
        *context = nullptr;
    return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD WINAPI ReadEncryptedFileRaw(PFE_EXPORT_FUNC, PVOID, PVOID)
{
    return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD WINAPI WriteEncryptedFileRaw(PFE_IMPORT_FUNC, PVOID, PVOID)
{
    return ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI CloseEncryptedFileRaw(PVOID)
{
}

}  // extern "C"
