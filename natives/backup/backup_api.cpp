// Natives of com.pemrix.vaultcore.os.win32.BackupApi, BackupInputStream and BackupOutputStream:
// files opened with the caller's flags, their backup streams, attributes, disk space,
// privileges and security records.
#include "../common/class_cache.h"
#include "../common/errors.h"
#include "../common/jni_arrays.h"
#include "../common/modules.h"
#include "../common/paths.h"
#include "encrypted_file_functions.h"

#include <windows.h>

#include <jni.h>

#include <cstring>
#include <string>

using namespace pallux;

namespace pallux {
EncryptedFileFunctions encryptedFileFunctions = {};
}

namespace {

HANDLE toHandle(jlong value)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(value));
}

jlong fromHandle(HANDLE handle)
{
    return static_cast<jlong>(reinterpret_cast<intptr_t>(handle));
}

// The context of a backup sequence is a 64-bit pointer kept in two ints.
constexpr jsize kContextInts = 2;

// The 20-byte header of a security stream (the WIN32_STREAM_ID layout without the name).
void securityStreamHeader(BYTE header[20], DWORD descriptorLength)
{
    const DWORD words[5] = {BACKUP_SECURITY_DATA, STREAM_CONTAINS_SECURITY, descriptorLength, 0, 0};
    for (int w = 0; w < 5; ++w)
        for (int b = 0; b < 4; ++b)
            header[4 * w + b] = static_cast<BYTE>(words[w] >> (8 * b));
}

void bindEncryptedFileFunctions()
{
    HMODULE advapi = LoadLibraryA("ADVAPI32.DLL");
    if (!advapi)
        return;
    encryptedFileFunctions.open = procAddress<OpenEncryptedFileRawWFunction>(advapi, "OpenEncryptedFileRawW");
    encryptedFileFunctions.read = procAddress<ReadEncryptedFileRawFunction>(advapi, "ReadEncryptedFileRaw");
    encryptedFileFunctions.close = procAddress<CloseEncryptedFileRawFunction>(advapi, "CloseEncryptedFileRaw");
    encryptedFileFunctions.write = procAddress<WriteEncryptedFileRawFunction>(advapi, "WriteEncryptedFileRaw");
    // The library imports ADVAPI32.DLL itself, so the module and the addresses stay valid.
    FreeLibrary(advapi);
}

using TransferFunction = BOOL(WINAPI *)(HANDLE, LPBYTE, DWORD, LPDWORD, BOOL, BOOL, LPVOID *);

jint backupTransfer(TransferFunction transfer, JNIEnv *env, jintArray context, jlong handle, jbyteArray buffer,
                    jint offset, jint length, jboolean abort, jboolean processSecurity)
{
    if (!context || !buffer || handle == 0) {
        env->ThrowNew(classCache.nullPointerException, "");
        return 0;
    }
    // A context array too short for the pointer, or a region outside the buffer, would let
    // Windows write into the Java heap.
    jsize contextLength = env->GetArrayLength(context);
    if (contextLength < kContextInts) {
        throwRegionOutOfBounds(env, 0, kContextInts, contextLength);
        return 0;
    }
    if (!abort) {
        jsize bufferLength = env->GetArrayLength(buffer);
        if (!regionFits(offset, length, bufferLength)) {
            throwRegionOutOfBounds(env, offset, length, bufferLength);
            return 0;
        }
    }
    IntArrayElements contextElements(env, context);
    if (!contextElements.get())
        return 0;
    DWORD transferred = 0;
    DWORD error = 0;
    BOOL ok;
    if (abort) {
        ok = transfer(toHandle(handle), nullptr, static_cast<DWORD>(length), &transferred, TRUE, processSecurity,
                      reinterpret_cast<LPVOID *>(contextElements.get()));
        if (!ok)
            error = GetLastError();
        CloseHandle(toHandle(handle));
    } else {
        CriticalArray pinned(env, buffer);
        if (!pinned.get())
            return 0;
        ok = transfer(toHandle(handle), static_cast<LPBYTE>(pinned.get()) + offset, static_cast<DWORD>(length),
                      &transferred, FALSE, processSecurity, reinterpret_cast<LPVOID *>(contextElements.get()));
        if (!ok)
            error = GetLastError();
    }
    if (!ok) {
        throwSystemError(env, classCache.ioException, error);
        return -1;
    }
    return static_cast<jint>(transferred);
}

struct DiskSpace {
    ULARGE_INTEGER availableToCaller;
    ULARGE_INTEGER total;
    ULARGE_INTEGER free;
};

// One figure of the volume holding path; -1 when it cannot be had, with nothing raised.
jlong diskSpace(JNIEnv *env, jstring path, ULARGE_INTEGER DiskSpace::*figure)
{
    NativePath nativePath(env, path);
    if (!nativePath)
        return -1;
    DiskSpace space;
    if (!GetDiskFreeSpaceExW(nativePath.get(), &space.availableToCaller, &space.total, &space.free))
        return -1;
    return static_cast<jlong>((space.*figure).QuadPart);
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_BackupApi_init(JNIEnv *env, jclass)
{
    if (!classCache.nullPointerException)
        cacheCommonClasses(env);
    // A java.lang class that could not be found leaves its error pending: no JNI call may follow.
    if (env->ExceptionCheck())
        return;
    if (!cacheClass(env, classCache.ioException, "java/io/IOException") ||
        !cacheClass(env, classCache.fileNotFoundException, "java/io/FileNotFoundException") ||
        !cacheClass(env, classCache.errorCodeException, "com/pemrix/util/ErrorCodeException"))
        return;
    classCache.errorCodeExceptionInit =
        env->GetMethodID(classCache.errorCodeException, "<init>", "(Ljava/lang/String;I)V");
    if (!classCache.errorCodeExceptionInit)
        return;
    bindEncryptedFileFunctions();
}

JNIEXPORT jlong JNICALL Java_com_pemrix_vaultcore_os_win32_BackupApi_CreateFile(
    JNIEnv *env, jclass, jstring path, jint desiredAccess, jint shareMode, jlong securityAttributes,
    jint creationDisposition, jint flagsAndAttributes, jlong templateFile)
{
    NativePath nativePath(env, path);
    if (!nativePath)
        return 0;
    HANDLE file = CreateFileW(nativePath.get(), static_cast<DWORD>(desiredAccess), static_cast<DWORD>(shareMode),
                              reinterpret_cast<LPSECURITY_ATTRIBUTES>(static_cast<intptr_t>(securityAttributes)),
                              static_cast<DWORD>(creationDisposition), static_cast<DWORD>(flagsAndAttributes),
                              toHandle(templateFile));
    if (file == INVALID_HANDLE_VALUE) {
        throwSystemError(env, classCache.ioException, GetLastError());
        return 0;
    }
    return fromHandle(file);
}

JNIEXPORT jint JNICALL Java_com_pemrix_vaultcore_os_win32_BackupApi_BackupRead(
    JNIEnv *env, jclass, jintArray context, jlong handle, jbyteArray buffer, jint offset, jint length, jboolean abort,
    jboolean processSecurity)
{
    return backupTransfer(BackupRead, env, context, handle, buffer, offset, length, abort, processSecurity);
}

JNIEXPORT jint JNICALL Java_com_pemrix_vaultcore_os_win32_BackupApi_BackupWrite(
    JNIEnv *env, jclass, jintArray context, jlong handle, jbyteArray buffer, jint offset, jint length, jboolean abort,
    jboolean processSecurity)
{
    return backupTransfer(BackupWrite, env, context, handle, buffer, offset, length, abort, processSecurity);
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_BackupApi_CloseHandle(JNIEnv *env, jclass, jlong handle)
{
    if (handle == 0) {
        env->ThrowNew(classCache.nullPointerException, "");
        return;
    }
    if (!CloseHandle(toHandle(handle)))
        throwSystemError(env, classCache.ioException, GetLastError());
}

JNIEXPORT jint JNICALL Java_com_pemrix_vaultcore_os_win32_BackupApi_GetFileAttributes(JNIEnv *env, jclass,
                                                                                      jstring path)
{
    NativePath nativePath(env, path);
    if (!nativePath)
        return 0;
    // The attributes come from the directory entry, which a trailing backslash would not name.
    size_t length = std::char_traits<WCHAR>::length(nativePath.get());
    if (length > 0 && nativePath.get()[length - 1] == '\\')
        nativePath.get()[length - 1] = 0;
    WIN32_FIND_DATAW entry;
    entry.dwFileAttributes = INVALID_FILE_ATTRIBUTES;
    HANDLE search = FindFirstFileW(nativePath.get(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        throwSystemError(env, classCache.ioException, GetLastError());
        return static_cast<jint>(entry.dwFileAttributes);
    }
    FindClose(search);
    return static_cast<jint>(entry.dwFileAttributes);
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_BackupApi_SetFileAttributes(JNIEnv *env, jclass,
                                                                                      jstring path, jint attributes)
{
    NativePath nativePath(env, path);
    if (!nativePath)
        return;
    if (!SetFileAttributesW(nativePath.get(), static_cast<DWORD>(attributes)))
        throwSystemError(env, classCache.ioException, GetLastError());
}

JNIEXPORT jlong JNICALL Java_com_pemrix_vaultcore_os_win32_BackupApi_getFreeDiskSpace(JNIEnv *env, jclass,
                                                                                     jstring path)
{
    return diskSpace(env, path, &DiskSpace::availableToCaller);
}

JNIEXPORT jlong JNICALL Java_com_pemrix_vaultcore_os_win32_BackupApi_getTotalDiskSpace(JNIEnv *env, jclass,
                                                                                      jstring path)
{
    return diskSpace(env, path, &DiskSpace::total);
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_BackupApi_setPrivilege(JNIEnv *env, jclass,
                                                                                 jstring privilegeName, jboolean enable)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), MAXIMUM_ALLOWED, &token)) {
        throwSystemError(env, classCache.exception, GetLastError());
        return;
    }
    HeapPtr<WCHAR> name(javaStringToWide(env, privilegeName));
    if (!name) {
        CloseHandle(token);
        return;
    }
    TOKEN_PRIVILEGES privileges;
    BOOL adjusted = FALSE;
    if (LookupPrivilegeValueW(nullptr, name.get(), &privileges.Privileges[0].Luid)) {
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
        adjusted = AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr);
    }
    DWORD error = GetLastError();
    name.reset();
    CloseHandle(token);
    if (!adjusted)
        throwSystemError(env, classCache.exception, error);
}

JNIEXPORT jlong JNICALL Java_com_pemrix_vaultcore_os_win32_BackupApi_readSecurityDescriptor(
    JNIEnv *env, jclass, jstring path, jbyteArray buffer, jint length)
{
    if (length < 4) {
        env->ThrowNew(classCache.ioException, "buffer length < 4");
        return 0;
    }
    if (!buffer) {
        env->ThrowNew(classCache.nullPointerException, "");
        return 0;
    }
    // Windows writes up to `length` bytes into the array: they must be there.
    jsize bufferLength = env->GetArrayLength(buffer);
    if (length > bufferLength) {
        throwRegionOutOfBounds(env, 0, length, bufferLength);
        return 0;
    }
    NativePath nativePath(env, path);
    if (!nativePath)
        return 0;
    DWORD error = 0;
    DWORD needed = 0;
    {
        CriticalArray pinned(env, buffer);
        if (!pinned.get())
            return 0;
        auto *record = static_cast<BYTE *>(pinned.get());
        DWORD attributes = GetFileAttributesW(nativePath.get());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            error = GetLastError();
        } else {
            for (int b = 0; b < 4; ++b)
                record[b] = static_cast<BYTE>(attributes >> (8 * b));
            if (!GetFileSecurityW(nativePath.get(),
                                  OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                  record + 4, static_cast<DWORD>(length - 4), &needed))
                error = GetLastError();
        }
    }
    if (error) {
        throwErrorCodeException(env, error);
        return 0;
    }
    return static_cast<jlong>(needed) + 4;
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_BackupApi_writeSecurityDescriptor(
    JNIEnv *env, jclass, jstring path, jbyteArray buffer, jint offset, jint length)
{
    if (!buffer) {
        env->ThrowNew(classCache.nullPointerException, "");
        return;
    }
    // The record spans [offset, length): attribute bits, then the descriptor.
    if (static_cast<jlong>(length) - offset - 4 < 0) {
        env->ThrowNew(classCache.ioException, "buffer length < offset");
        return;
    }
    jsize bufferLength = env->GetArrayLength(buffer);
    if (offset < 0 || length > bufferLength) {
        throwRegionOutOfBounds(env, offset, static_cast<jlong>(length) - offset, bufferLength);
        return;
    }
    const DWORD descriptorLength = static_cast<DWORD>(static_cast<jlong>(length) - offset - 4);
    NativePath nativePath(env, path);
    if (!nativePath)
        return;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    bool failed = false;
    {
        CriticalArray pinned(env, buffer);
        if (!pinned.get())
            return;
        const BYTE *record = static_cast<const BYTE *>(pinned.get()) + offset;
        DWORD attributes = static_cast<DWORD>(record[0]) | (static_cast<DWORD>(record[1]) << 8) |
                           (static_cast<DWORD>(record[2]) << 16) | (static_cast<DWORD>(record[3]) << 24);
        file = CreateFileW(nativePath.get(), WRITE_DAC | WRITE_OWNER | ACCESS_SYSTEM_SECURITY, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            error = GetLastError();
            failed = true;
        } else {
            BYTE header[20];
            securityStreamHeader(header, descriptorLength);
            LPVOID context = nullptr;
            DWORD written = 0;
            if (!BackupWrite(file, header, sizeof header, &written, FALSE, TRUE, &context) ||
                !BackupWrite(file, const_cast<BYTE *>(record + 4), descriptorLength, &written, FALSE, TRUE,
                             &context) ||
                !BackupWrite(file, nullptr, 0, &written, TRUE, TRUE, &context)) {
                error = GetLastError();
                failed = true;
                if (context) {
                    // The sequence must not leave its context behind.
                    BackupWrite(file, nullptr, 0, &written, TRUE, TRUE, &context);
                }
            } else {
                CloseHandle(file);
                file = INVALID_HANDLE_VALUE;
                // A restore whose attributes did not come back has not succeeded.
                if (!SetFileAttributesW(nativePath.get(), attributes)) {
                    error = GetLastError();
                    failed = true;
                }
            }
        }
    }
    if (failed) {
        throwSystemError(env, classCache.ioException, error);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_BackupInputStream_init(JNIEnv *env, jclass)
{
    if (!classCache.nullPointerException)
        cacheCommonClasses(env);
}

JNIEXPORT jint JNICALL Java_com_pemrix_vaultcore_os_win32_BackupInputStream_readOne(JNIEnv *, jclass, jint)
{
    return 0;
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_BackupInputStream_readMore(JNIEnv *, jclass, jint,
                                                                                     jbyteArray, jint, jint)
{
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_BackupOutputStream_init(JNIEnv *env, jclass)
{
    if (!classCache.nullPointerException)
        cacheCommonClasses(env);
}

}  // extern "C"
