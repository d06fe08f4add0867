// Natives of com.pemrix.vss.BackupComponents that run a shadow-copy backup: each is one step
// onto the requester's IVssBackupComponents; the service keeps the steps in order.
#include "../runtime/class_cache.h"
#include "../runtime/conversions.h"
#include "../runtime/errors.h"
#include "../runtime/native_objects.h"
#include "../runtime/service_calls.h"

#include <windows.h>
#include <vsbackup.h>

#include <jni.h>

using namespace shadelink;

namespace {

const VSS_ID kAnyProvider = {};

// One call of the service whose only outcome is its result.
template <typename Call>
void simpleStep(JNIEnv *env, jlong handle, Call call)
{
    auto *object = requireObject<NativeBackupComponents>(env, handle);
    if (!object)
        return;
    nativeBoundary(env, [&] { checkResult(call(object->backup)); });
}

// An asynchronous step: the call, then the wait for the operation it started.
template <typename Call>
void asyncStep(JNIEnv *env, jlong handle, Call call)
{
    auto *object = requireObject<NativeBackupComponents>(env, handle);
    if (!object)
        return;
    nativeBoundary(env, [&] {
        IVssAsync *async = nullptr;
        HRESULT result = call(object->backup, &async);
        waitForAsync(result, async);
    });
}

// AddComponent and SetBackupSucceeded: a component named by its writer's instance and class,
// its type, logical path (may be null) and name.
template <typename Call>
void componentStep(JNIEnv *env, jlong handle, jbyteArray instanceId, jbyteArray writerId, jstring logicalPath,
                   jstring componentName, Call call)
{
    if (handle == 0 || !componentName || !instanceId || !writerId)
        return;
    auto *object = nativeObject<NativeBackupComponents>(env, handle);
    if (!object)
        return;
    VSS_ID instance, writer;
    if (!readGuid(env, instanceId, instance) || !readGuid(env, writerId, writer))
        return;
    JavaChars path(env, logicalPath);
    JavaChars name(env, componentName);
    if ((logicalPath && !path.get()) || !name.get())
        return;
    nativeBoundary(env, [&] { checkResult(call(object->backup, instance, writer, path.get(), name.get())); });
}

// The characters of a string argument the service needs; null after raising.
const WCHAR *requiredChars(JNIEnv *env, jstring string, const JavaChars &chars)
{
    if (!string)
        throwNullPointer(env);
    return chars.get();
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_pemrix_vss_BackupComponents_initializeForBackup(JNIEnv *env, jclass, jlong handle)
{
    simpleStep(env, handle, [](IVssBackupComponents *backup) { return backup->InitializeForBackup(nullptr); });
}

JNIEXPORT void JNICALL Java_com_pemrix_vss_BackupComponents_setState(JNIEnv *env, jclass, jboolean selectComponents,
                                                                     jboolean bootableSystemState, jint backupType,
                                                                     jlong handle)
{
    simpleStep(env, handle, [&](IVssBackupComponents *backup) {
        return backup->SetBackupState(selectComponents ? true : false, bootableSystemState ? true : false,
                                      static_cast<VSS_BACKUP_TYPE>(backupType), false);
    });
}

JNIEXPORT void JNICALL Java_com_pemrix_vss_BackupComponents_gatherWriterMetadata(JNIEnv *env, jclass, jlong handle)
{
    auto *object = requireObject<NativeBackupComponents>(env, handle);
    if (!object || object->metadataGathered)
        return;
    nativeBoundary(env, [&] {
        IVssAsync *async = nullptr;
        HRESULT result = object->backup->GatherWriterMetadata(&async);
        waitForAsync(result, async);
        object->metadataGathered = true;
    });
}

JNIEXPORT jint JNICALL Java_com_pemrix_vss_BackupComponents_getWriterMetadataCount(JNIEnv *env, jclass, jlong handle)
{
    auto *object = requireObject<NativeBackupComponents>(env, handle);
    if (!object)
        return 0;
    return serviceCount(env, [&](UINT *count) { return object->backup->GetWriterMetadataCount(count); });
}

JNIEXPORT jobject JNICALL Java_com_pemrix_vss_BackupComponents_getWriterMetadata(JNIEnv *env, jclass, jlong handle,
                                                                                jint index)
{
    auto *object = requireObject<NativeBackupComponents>(env, handle);
    if (!object)
        return nullptr;
    auto *metadata = nativeBoundary(env, static_cast<NativeWriterMetaData *>(nullptr), [&] {
        VSS_ID instance = {};
        ComRef<IVssExamineWriterMetadata> examine;
        checkResult(object->backup->GetWriterMetadata(static_cast<UINT>(index), &instance, examine.out()));
        auto *made = new NativeWriterMetaData(examine.get());
        examine.release();
        return made;
    });
    if (!metadata)
        return nullptr;
    return wrapNative(env, classCache.writerMetaData, classCache.writerMetaDataInit, metadata);
}

JNIEXPORT void JNICALL Java_com_pemrix_vss_BackupComponents_startSnapshotSet(JNIEnv *env, jclass, jlong handle)
{
    simpleStep(env, handle, [](IVssBackupComponents *backup) {
        VSS_ID setId = {};
        return backup->StartSnapshotSet(&setId);
    });
}

JNIEXPORT jboolean JNICALL Java_com_pemrix_vss_BackupComponents_isVolumeSupported(JNIEnv *env, jclass,
                                                                                 jstring volumeName, jlong handle)
{
    auto *object = requireObject<NativeBackupComponents>(env, handle);
    if (!object)
        return false;
    JavaChars name(env, volumeName);
    const WCHAR *chars = requiredChars(env, volumeName, name);
    if (!chars)
        return false;
    return nativeBoundary(env, jboolean(false), [&] {
        BOOL supported = FALSE;
        checkResult(object->backup->IsVolumeSupported(kAnyProvider, const_cast<VSS_PWSZ>(chars), &supported));
        return static_cast<jboolean>(supported == 1);
    });
}

JNIEXPORT jbyteArray JNICALL Java_com_pemrix_vss_BackupComponents_addToSnapshotSet(JNIEnv *env, jclass,
                                                                                  jstring volumeName, jlong handle)
{
    auto *object = requireObject<NativeBackupComponents>(env, handle);
    if (!object)
        return nullptr;
    VSS_ID snapshotId = {};
    {
        JavaChars name(env, volumeName);
        const WCHAR *chars = requiredChars(env, volumeName, name);
        if (!chars)
            return nullptr;
        bool added = nativeBoundary(env, false, [&] {
            checkResult(object->backup->AddToSnapshotSet(const_cast<VSS_PWSZ>(chars), kAnyProvider, &snapshotId));
            return true;
        });
        if (!added)
            return nullptr;
    }
    return newGuidArray(env, snapshotId);
}

JNIEXPORT void JNICALL Java_com_pemrix_vss_BackupComponents_prepareForBackup(JNIEnv *env, jclass, jlong handle)
{
    asyncStep(env, handle, [](IVssBackupComponents *backup, IVssAsync **async) { return backup->PrepareForBackup(async); });
}

JNIEXPORT void JNICALL Java_com_pemrix_vss_BackupComponents_doSnapshotSet(JNIEnv *env, jclass, jlong handle)
{
    asyncStep(env, handle, [](IVssBackupComponents *backup, IVssAsync **async) { return backup->DoSnapshotSet(async); });
}

JNIEXPORT jstring JNICALL Java_com_pemrix_vss_BackupComponents_getSnapshotDevice(JNIEnv *env, jclass,
                                                                                jbyteArray snapshotId, jlong handle)
{
    auto *object = requireObject<NativeBackupComponents>(env, handle);
    if (!object)
        return nullptr;
    VSS_ID id;
    if (!readGuid(env, snapshotId, id))
        return nullptr;
    VSS_SNAPSHOT_PROP properties = {};
    bool found = nativeBoundary(env, false, [&] {
        checkResult(object->backup->GetSnapshotProperties(id, &properties));
        return true;
    });
    if (!found)
        return nullptr;
    const WCHAR *device = properties.m_pwszSnapshotDeviceObject;
    jstring name = newJavaString(env, device ? device : TEXT(""));
    VssFreeSnapshotProperties(&properties);
    return name;
}

JNIEXPORT void JNICALL Java_com_pemrix_vss_BackupComponents_AddComponent(JNIEnv *env, jclass, jlong handle,
                                                                         jbyteArray instanceId, jbyteArray writerId,
                                                                         jint componentType, jstring logicalPath,
                                                                         jstring componentName)
{
    componentStep(env, handle, instanceId, writerId, logicalPath, componentName,
                  [&](IVssBackupComponents *backup, const VSS_ID &instance, const VSS_ID &writer, const WCHAR *path,
                      const WCHAR *name) {
                      return backup->AddComponent(instance, writer, static_cast<VSS_COMPONENT_TYPE>(componentType),
                                                  path, name);
                  });
}

JNIEXPORT void JNICALL Java_com_pemrix_vss_BackupComponents_SetBackupSucceeded(
    JNIEnv *env, jclass, jlong handle, jbyteArray instanceId, jbyteArray writerId, jint componentType,
    jstring logicalPath, jstring componentName, jboolean succeeded)
{
    componentStep(env, handle, instanceId, writerId, logicalPath, componentName,
                  [&](IVssBackupComponents *backup, const VSS_ID &instance, const VSS_ID &writer, const WCHAR *path,
                      const WCHAR *name) {
                      return backup->SetBackupSucceeded(instance, writer,
                                                        static_cast<VSS_COMPONENT_TYPE>(componentType), path, name,
                                                        succeeded ? true : false);
                  });
}

JNIEXPORT void JNICALL Java_com_pemrix_vss_BackupComponents_backupComplete(JNIEnv *env, jclass, jlong handle)
{
    asyncStep(env, handle, [](IVssBackupComponents *backup, IVssAsync **async) { return backup->BackupComplete(async); });
}

JNIEXPORT void JNICALL Java_com_pemrix_vss_BackupComponents_abortBackup(JNIEnv *env, jclass, jlong handle)
{
    simpleStep(env, handle, [](IVssBackupComponents *backup) { return backup->AbortBackup(); });
}

JNIEXPORT jstring JNICALL Java_com_pemrix_vss_BackupComponents_SaveAsXml(JNIEnv *env, jclass, jlong handle)
{
    auto *object = requireObject<NativeBackupComponents>(env, handle);
    if (!object)
        return nullptr;
    OwnedString document = nativeBoundary(env, OwnedString(), [&] {
        BSTR xml = nullptr;
        HRESULT result = object->backup->SaveAsXML(&xml);
        return checkedBstr(result, xml);
    });
    return document ? newJavaString(env, document.get()) : nullptr;
}

JNIEXPORT void JNICALL Java_com_pemrix_vss_BackupComponents_LoadFromXML(JNIEnv *env, jclass, jlong handle,
                                                                        jstring xml)
{
    auto *object = requireObject<NativeBackupComponents>(env, handle);
    if (!object)
        return;
    JavaChars chars(env, xml);
    if (!requiredChars(env, xml, chars))
        return;
    nativeBoundary(env, [&] {
        Bstr document(chars.get());
        if (!document.get())
            throw VssError("bad allocation");
        checkResult(object->backup->InitializeForRestore(document.get()));
    });
}

}  // extern "C"
