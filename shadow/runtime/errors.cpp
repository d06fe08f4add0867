#include "errors.h"

#include "class_cache.h"

#include <vss.h>

namespace shadelink {

namespace {

struct ResultText {
    HRESULT result;
    const char *message;
};

const ResultText kResultTexts[] = {
    {S_FALSE, "Call returned \"False\""},
    {E_NOTIMPL, "Call returned \"Not implemented\""},
    {E_POINTER, "A required pointer parameter is NULL"},
    {E_FAIL, "Internal COM failure"},
    {E_UNEXPECTED, "Unexpected error"},
    {VSS_E_BAD_STATE, "VSS in bad state"},
    {VSS_E_PROVIDER_NOT_REGISTERED, "Provider not registered"},
    {VSS_E_PROVIDER_VETO, "Provider veto - see event log"},
    {VSS_E_OBJECT_NOT_FOUND, "VSS Object not found"},
    {VSS_E_VOLUME_NOT_SUPPORTED, "Volume not supported"},
    {VSS_E_OBJECT_ALREADY_EXISTS, "VSS Object already exists"},
    {VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER, "Volume not supported by provider"},
    {VSS_E_UNEXPECTED_PROVIDER_ERROR, "Unexpected provider error"},
    {VSS_E_CORRUPT_XML_DOCUMENT, "Invalid or corrupted XML document"},
    {VSS_E_MAXIMUM_NUMBER_OF_VOLUMES_REACHED, "Maximum number of volumes reached"},
    {VSS_E_FLUSH_WRITES_TIMEOUT, "The system was unable to flush IO writes"},
    {VSS_E_HOLD_WRITES_TIMEOUT, "The system was unable to hold IO writes"},
    {VSS_E_SNAPSHOT_SET_IN_PROGRESS, "VSS Snapshot already in progress"},
    {VSS_E_MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED, "Maximum number of snapshots reached"},
    {VSS_E_WRITER_INFRASTRUCTURE, "VSS writer infrastructure not operating properly"},
    {VSS_E_INSUFFICIENT_STORAGE, "Insufficient storage"},
    {E_ACCESSDENIED, "Access denied"},
    {E_OUTOFMEMORY, "Out of memory"},
    {E_INVALIDARG, "Ivalid argument"},
};

}  // namespace

const char *resultMessage(HRESULT result)
{
    for (const ResultText &text : kResultTexts)
        if (text.result == result)
            return text.message;
    return "Unknown VSS or COM error";
}

void checkResult(HRESULT result)
{
    if (result != S_OK)
        throw VssError(resultMessage(result));
}

namespace {

// Raises the cached class, or, before init filled the cache (a native called too early), the
// class looked up by name; when even that fails, its lookup error is what stays pending.
void raise(JNIEnv *env, jclass cached, const char *name, const char *message)
{
    if (env->ExceptionCheck())
        return;
    if (cached) {
        env->ThrowNew(cached, message);
        return;
    }
    jclass type = env->FindClass(name);
    if (!type)
        return;
    env->ThrowNew(type, message);
    env->DeleteLocalRef(type);
}

}  // namespace

void throwVssException(JNIEnv *env, const char *message)
{
    raise(env, classCache.vssException, "com/pemrix/vss/VssException", message);
}

void throwNullPointer(JNIEnv *env, const char *message)
{
    raise(env, classCache.nullPointerException, "java/lang/NullPointerException", message);
}

}  // namespace shadelink
