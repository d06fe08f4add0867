// Natives of com.pemrix.vaultcore.os.win32.BackupApi for encrypted files in their raw form:
// open a raw context, export the raw data to a Java callback, import it from one, close. The
// Windows functions are the ones BackupApi.init bound by name.
#include "../common/class_cache.h"
#include "../common/errors.h"
#include "../common/live_objects.h"
#include "../common/paths.h"
#include "encrypted_file_functions.h"

#include <windows.h>

#include <jni.h>

using namespace pallux;

namespace {

constexpr const char *kNotAvailable = "Encrypted file backup not available on this OS";

// Lives on the stack of one export or import; Windows hands it to the callbacks, which run on
// the calling thread inside the Windows call.
struct EfsCallbackContext {
    JNIEnv *environment;
    jmethodID method;
    jobject callback;
    jbyteArray buffer;
    jint bufferLength;
};

PVOID toContext(jlong value)
{
    return reinterpret_cast<PVOID>(static_cast<intptr_t>(value));
}

// One piece from Windows becomes one or more nextBlock calls of at most the array's length.
DWORD WINAPI exportCallback(PBYTE data, PVOID callbackContext, ULONG length)
{
    auto *context = static_cast<EfsCallbackContext *>(callbackContext);
    JNIEnv *env = context->environment;
    ULONG sent = 0;
    while (sent < length) {
        const jint n = static_cast<jint>(length - sent < static_cast<ULONG>(context->bufferLength)
                                             ? length - sent
                                             : static_cast<ULONG>(context->bufferLength));
        env->SetByteArrayRegion(context->buffer, 0, n, reinterpret_cast<const jbyte *>(data + sent));
        jint result = env->CallIntMethod(context->callback, context->method, context->buffer, n);
        // A Java exception stops the export; it stays pending for the native's return, and no
        // further JNI call is made with it.
        if (env->ExceptionCheck())
            return ERROR_OPERATION_ABORTED;
        if (result != 0)
            return static_cast<DWORD>(result);
        sent += static_cast<ULONG>(n);
    }
    return ERROR_SUCCESS;
}

DWORD WINAPI importCallback(PBYTE data, PVOID callbackContext, PULONG length)
{
    auto *context = static_cast<EfsCallbackContext *>(callbackContext);
    JNIEnv *env = context->environment;
    const ULONG room = *length;
    const jint offered = room > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<jint>(room);
    jint result;
    do {
        result = env->CallIntMethod(context->callback, context->method, context->buffer, offered);
        if (env->ExceptionCheck()) {
            *length = 0;
            return ERROR_OPERATION_ABORTED;
        }
    } while (result == 0);
    if (result < 0) {
        *length = 0;
        return ERROR_SUCCESS;
    }
    // More than Windows offered would overrun its buffer, more than the array holds cannot be
    // copied: the import stops instead of taking part of what Java meant to give.
    if (static_cast<ULONG>(result) > room || result > context->bufferLength) {
        *length = 0;
        return ERROR_INVALID_PARAMETER;
    }
    env->GetByteArrayRegion(context->buffer, 0, result, reinterpret_cast<jbyte *>(data));
    *length = static_cast<ULONG>(result);
    return ERROR_SUCCESS;
}

// The checks a transfer needs before Windows is called; true with the callback record filled,
// otherwise false with the result to return (and the exception, if any, pending).
bool prepareTransfer(JNIEnv *env, bool bound, jobject callback, jlong context, jbyteArray buffer,
                     EfsCallbackContext &record, jint &refusal)
{
    if (!bound) {
        env->ThrowNew(classCache.ioException, kNotAvailable);
        refusal = ERROR_CALL_NOT_IMPLEMENTED;
        return false;
    }
    if (!callback || !buffer) {
        env->ThrowNew(classCache.nullPointerException, "");
        refusal = ERROR_INVALID_PARAMETER;
        return false;
    }
    // Only a context that an open gave and no close ended reaches Windows.
    if (context == 0 || !liveObjects().contains(toContext(context), ObjectKind::encryptedFileContext)) {
        refusal = ERROR_INVALID_PARAMETER;
        return false;
    }
    jclass type = env->GetObjectClass(callback);
    jmethodID method = env->GetMethodID(type, "nextBlock", "([BI)I");
    env->DeleteLocalRef(type);
    if (!method) {
        refusal = 0;
        return false;
    }
    record = EfsCallbackContext{env, method, callback, buffer, env->GetArrayLength(buffer)};
    // An empty array could carry nothing either way: the transfer would never end.
    if (record.bufferLength == 0) {
        refusal = ERROR_INVALID_PARAMETER;
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_pemrix_vaultcore_os_win32_BackupApi_OpenEncryptedFileRaw(JNIEnv *env, jclass,
                                                                                          jstring path, jint flags)
{
    if (!encryptedFileFunctions.open) {
        env->ThrowNew(classCache.ioException, kNotAvailable);
        return 0;
    }
    NativePath nativePath(env, path);
    if (!nativePath)
        return 0;
    PVOID context = nullptr;
    DWORD result = encryptedFileFunctions.open(nativePath.get(), static_cast<ULONG>(flags), &context);
    if (result != ERROR_SUCCESS) {
        throwSystemError(env, classCache.ioException, result);
        return 0;
    }
    liveObjects().add(context, ObjectKind::encryptedFileContext);
    return static_cast<jlong>(reinterpret_cast<intptr_t>(context));
}

JNIEXPORT jint JNICALL Java_com_pemrix_vaultcore_os_win32_BackupApi_ReadEncryptedFileRaw(
    JNIEnv *env, jclass, jobject callback, jlong context, jbyteArray buffer)
{
    EfsCallbackContext record;
    jint refusal = 0;
    if (!prepareTransfer(env, encryptedFileFunctions.read != nullptr, callback, context, buffer, record, refusal))
        return refusal;
    return static_cast<jint>(encryptedFileFunctions.read(exportCallback, &record, toContext(context)));
}

JNIEXPORT jint JNICALL Java_com_pemrix_vaultcore_os_win32_BackupApi_WriteEncryptedFileRaw(
    JNIEnv *env, jclass, jobject callback, jlong context, jbyteArray buffer)
{
    EfsCallbackContext record;
    jint refusal = 0;
    if (!prepareTransfer(env, encryptedFileFunctions.write != nullptr, callback, context, buffer, record, refusal))
        return refusal;
    return static_cast<jint>(encryptedFileFunctions.write(importCallback, &record, toContext(context)));
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_BackupApi_CloseEncryptedFileRaw(JNIEnv *env, jclass,
                                                                                          jlong context)
{
    if (!encryptedFileFunctions.close) {
        env->ThrowNew(classCache.ioException, kNotAvailable);
        return;
    }
    // A second close, or a value no open gave, is not handed to Windows.
    if (liveObjects().remove(toContext(context), ObjectKind::encryptedFileContext))
        encryptedFileFunctions.close(toContext(context));
}

}  // extern "C"
