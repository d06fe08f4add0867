// Natives of com.pemrix.vss.BackupComponents that drive a restore and read the writers'
// status, and of WriterComponents and Component, the components a backup document records.
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

// Paths given with AddNewTarget are copied into buffers of this many units.
constexpr jsize kTargetBufferUnits = 260;

jint failureCode(HRESULT failure)
{
    switch (failure) {
    case S_OK:
        return 0;
    case VSS_E_WRITERERROR_INCONSISTENTSNAPSHOT:
        return 1;
    case VSS_E_WRITERERROR_OUTOFRESOURCES:
        return 2;
    case VSS_E_WRITERERROR_TIMEOUT:
        return 3;
    case VSS_E_WRITERERROR_RETRYABLE:
        return 4;
    case VSS_E_WRITERERROR_NONRETRYABLE:
        return 5;
    case VSS_E_WRITER_NOT_RESPONDING:
        return 6;
    default:
        return 7;
    }
}

// One writer's status, held only while GetWriterStatus builds its Java object.
struct WriterStatusRecord {
    VSS_ID instanceId = {};
    VSS_ID writerId = {};
    VSS_WRITER_STATE state = VSS_WS_UNKNOWN;
    HRESULT failure = S_OK;
    OwnedString nameText;
};

// A restore phase: the call, then the wait for the writers to finish it.
template <typename Call>
void restorePhase(JNIEnv *env, Call call)
{
    nativeBoundary(env, [&] {
        IVssAsync *async = nullptr;
        HRESULT result = call(&async);
        waitForAsync(result, async);
    });
}

// SetSelectedForRestore and SetFileRestoreStatus: a component named by its writer, type,
// logical path (may be null) and name; without a handle, name or writer nothing is done.
template <typename Call>
void componentStep(JNIEnv *env, jlong handle, jbyteArray writerId, jstring logicalPath, jstring componentName,
                   Call call)
{
    if (handle == 0 || !componentName || !writerId)
        return;
    auto *object = nativeObject<NativeBackupComponents>(env, handle);
    if (!object)
        return;
    VSS_ID writer;
    if (!readGuid(env, writerId, writer))
        return;
    JavaChars path(env, logicalPath);
    JavaChars name(env, componentName);
    if ((logicalPath && !path.get()) || !name.get())
        return;
    nativeBoundary(env, [&] { checkResult(call(object->backup, writer, path.get(), name.get())); });
}

// A count or simple value of a component.
template <typename Value, typename Call>
Value componentValue(JNIEnv *env, jlong handle, Call call)
{
    auto *object = requireObject<NativeComponent>(env, handle);
    if (!object)
        return Value(0);
    return nativeBoundary(env, Value(0), [&] { return call(object->component); });
}

template <typename Call>
jint componentCount(JNIEnv *env, jlong handle, Call call)
{
    auto *object = requireObject<NativeComponent>(env, handle);
    if (!object)
        return 0;
    return serviceCount(env, [&](UINT *count) { return call(object->component, count); });
}

// A text of a component, asked for once. With `absentAllowed`, S_FALSE means the component has
// none: null is returned and nothing is kept, so the service is asked again next time.
template <typename Call>
jstring componentText(JNIEnv *env, jlong handle, OwnedString NativeComponent::*cache, bool absentAllowed, Call call)
{
    auto *object = requireObject<NativeComponent>(env, handle);
    if (!object)
        return nullptr;
    OwnedString &text = object->*cache;
    bool present = nativeBoundary(env, false, [&] {
        if (text)
            return true;
        ReturnedBstr value;
        HRESULT result = call(object->component, value.out());
        if (absentAllowed && result == S_FALSE)
            return false;
        checkResult(result);
        text = copyBstr(value.take());
        return true;
    });
    return present ? newJavaString(env, text.get()) : nullptr;
}

}  // namespace

extern "C" {

// ---- BackupComponents: writer status ----

JNIEXPORT void JNICALL Java_com_pemrix_vss_BackupComponents_GatherWriterStatusN(JNIEnv *env, jclass, jlong handle)
{
    auto *object = nativeObject<NativeBackupComponents>(env, handle);
    if (!object)
        return;
    nativeBoundary(env, [&] {
        if (object->statusGathered) {
            checkResult(object->backup->FreeWriterStatus());
            object->statusGathered = false;
        }
        IVssAsync *async = nullptr;
        HRESULT result = object->backup->GatherWriterStatus(&async);
        waitForAsync(result, async);
        object->statusGathered = true;
    });
}

JNIEXPORT jint JNICALL Java_com_pemrix_vss_BackupComponents_GetWriterStatusCnt(JNIEnv *env, jclass, jlong handle)
{
    auto *object = requireObject<NativeBackupComponents>(env, handle);
    if (!object)
        return 0;
    return serviceCount(env, [&](UINT *count) { return object->backup->GetWriterStatusCount(count); });
}

JNIEXPORT jobject JNICALL Java_com_pemrix_vss_BackupComponents_GetWriterStatus(JNIEnv *env, jclass, jlong handle,
                                                                              jint index)
{
    auto *object = requireObject<NativeBackupComponents>(env, handle);
    if (!object)
        return nullptr;
    WriterStatusRecord record;
    bool read = nativeBoundary(env, false, [&] {
        ReturnedBstr name;
        checkResult(object->backup->GetWriterStatus(static_cast<UINT>(index), &record.instanceId, &record.writerId,
                                                    name.out(), &record.state, &record.failure));
        record.nameText = copyBstr(name.take());
        return true;
    });
    if (!read)
        return nullptr;
    jbyteArray instanceId = newGuidArray(env, record.instanceId);
    if (!instanceId)
        return nullptr;
    jbyteArray writerId = newGuidArray(env, record.writerId);
    if (!writerId)
        return nullptr;
    jstring name = newJavaString(env, record.nameText.get());
    if (!name)
        return nullptr;
    return env->NewObject(classCache.writerStatus, classCache.writerStatusInit, instanceId, writerId, name,
                          static_cast<jint>(record.state), failureCode(record.failure));
}

// ---- BackupComponents: restore ----

JNIEXPORT jint JNICALL Java_com_pemrix_vss_BackupComponents_GetWriterComponentsCount(JNIEnv *env, jclass, jlong handle)
{
    auto *object = nativeObject<NativeBackupComponents>(env, handle);
    if (!object)
        return 0;
    return serviceCount(env, [&](UINT *count) { return object->backup->GetWriterComponentsCount(count); });
}

JNIEXPORT jobject JNICALL Java_com_pemrix_vss_BackupComponents_GetWriterComponents(JNIEnv *env, jclass, jlong handle,
                                                                                  jint index)
{
    auto *object = nativeObject<NativeBackupComponents>(env, handle);
    if (!object)
        return nullptr;
    auto *made = nativeBoundary(env, static_cast<NativeWriterComponents *>(nullptr), [&] {
        IVssWriterComponentsExt *components = nullptr;
        checkResult(object->backup->GetWriterComponents(static_cast<UINT>(index), &components));
        if (!components)
            checkResult(E_POINTER);
        ComRef<IUnknown> owned(unknownPartOf(components));
        auto *native = new NativeWriterComponents(owned.get(), components);
        owned.release();
        return native;
    });
    return made ? wrapNative(env, classCache.writerComponents, classCache.writerComponentsInit, made) : nullptr;
}

JNIEXPORT void JNICALL Java_com_pemrix_vss_BackupComponents_SetSelectedForRestore(
    JNIEnv *env, jclass, jlong handle, jbyteArray writerId, jint componentType, jstring logicalPath,
    jstring componentName, jboolean selected)
{
    componentStep(env, handle, writerId, logicalPath, componentName,
                  [&](IVssBackupComponents *backup, const VSS_ID &writer, const WCHAR *path, const WCHAR *name) {
                      return backup->SetSelectedForRestore(writer, static_cast<VSS_COMPONENT_TYPE>(componentType),
                                                           path, name, selected ? true : false);
                  });
}

JNIEXPORT void JNICALL Java_com_pemrix_vss_BackupComponents_SetFileRestoreStatus(
    JNIEnv *env, jclass, jlong handle, jbyteArray writerId, jint componentType, jstring logicalPath,
    jstring componentName, jint status)
{
    componentStep(env, handle, writerId, logicalPath, componentName,
                  [&](IVssBackupComponents *backup, const VSS_ID &writer, const WCHAR *path, const WCHAR *name) {
                      return backup->SetFileRestoreStatus(writer, static_cast<VSS_COMPONENT_TYPE>(componentType),
                                                          path, name, static_cast<VSS_FILE_RESTORE_STATUS>(status));
                  });
}

JNIEXPORT void JNICALL Java_com_pemrix_vss_BackupComponents_AddNewTarget(
    JNIEnv *env, jclass, jlong handle, jbyteArray writerId, jint componentType, jstring logicalPath,
    jstring componentName, jstring path, jstring fileName, jboolean recursive, jstring alternatePath)
{
    if (handle == 0 || !componentName || !writerId || !path || !fileName || !alternatePath) {
        throwNullPointer(env);
        return;
    }
    auto *object = nativeObject<NativeBackupComponents>(env, handle);
    if (!object)
        return;
    VSS_ID writer;
    if (!readGuid(env, writerId, writer))
        return;
    JavaChars logical(env, logicalPath);
    JavaChars name(env, componentName);
    if ((logicalPath && !logical.get()) || !name.get())
        return;
    WCHAR fileBuffer[kTargetBufferUnits], pathBuffer[kTargetBufferUnits], alternateBuffer[kTargetBufferUnits];
    if (!copyStringToBuffer(env, fileBuffer, fileName, kTargetBufferUnits) ||
        !copyStringToBuffer(env, pathBuffer, path, kTargetBufferUnits) ||
        !copyStringToBuffer(env, alternateBuffer, alternatePath, kTargetBufferUnits))
        return;
    nativeBoundary(env, [&] {
        checkResult(object->backup->AddNewTarget(writer, static_cast<VSS_COMPONENT_TYPE>(componentType),
                                                 logical.get(), name.get(), pathBuffer, fileBuffer,
                                                 recursive ? true : false, alternateBuffer));
    });
}

JNIEXPORT void JNICALL Java_com_pemrix_vss_BackupComponents_PreRestore(JNIEnv *env, jclass, jlong handle)
{
    auto *object = nativeObject<NativeBackupComponents>(env, handle);
    if (object)
        restorePhase(env, [&](IVssAsync **async) { return object->backup->PreRestore(async); });
}

JNIEXPORT void JNICALL Java_com_pemrix_vss_BackupComponents_PostRestore(JNIEnv *env, jclass, jlong handle)
{
    auto *object = nativeObject<NativeBackupComponents>(env, handle);
    if (object)
        restorePhase(env, [&](IVssAsync **async) { return object->backup->PostRestore(async); });
}

// ---- WriterComponents ----

JNIEXPORT jbyteArray JNICALL Java_com_pemrix_vss_WriterComponents_GetWriterId(JNIEnv *env, jclass, jlong handle)
{
    auto *object = nativeObject<NativeWriterComponents>(env, handle);
    if (!object)
        return nullptr;
    VSS_ID instance = {}, writer = {};
    bool read = nativeBoundary(env, false, [&] {
        checkResult(object->components->GetWriterInfo(&instance, &writer));
        return true;
    });
    return read ? newGuidArray(env, writer) : nullptr;
}

JNIEXPORT jint JNICALL Java_com_pemrix_vss_WriterComponents_GetComponentCount(JNIEnv *env, jclass, jlong handle)
{
    auto *object = requireObject<NativeWriterComponents>(env, handle);
    if (!object)
        return 0;
    return serviceCount(env, [&](UINT *count) { return object->components->GetComponentCount(count); });
}

JNIEXPORT jobject JNICALL Java_com_pemrix_vss_WriterComponents_GetComponent(JNIEnv *env, jclass, jlong handle,
                                                                           jint index)
{
    auto *object = requireObject<NativeWriterComponents>(env, handle);
    if (!object)
        return nullptr;
    auto *made = nativeBoundary(env, static_cast<NativeComponent *>(nullptr), [&] {
        ComRef<IVssComponent> component;
        checkResult(object->components->GetComponent(static_cast<UINT>(index), component.out()));
        auto *native = new NativeComponent(component.get());
        component.release();
        return native;
    });
    return made ? wrapNative(env, classCache.component, classCache.componentInit, made) : nullptr;
}

// ---- Component ----

JNIEXPORT jstring JNICALL Java_com_pemrix_vss_Component_GetComponentName(JNIEnv *env, jclass, jlong handle)
{
    return componentText(env, handle, &NativeComponent::nameText, false,
                         [](IVssComponent *component, BSTR *out) { return component->GetComponentName(out); });
}

JNIEXPORT jint JNICALL Java_com_pemrix_vss_Component_GetComponentType(JNIEnv *env, jclass, jlong handle)
{
    return componentValue<jint>(env, handle, [](IVssComponent *component) {
        VSS_COMPONENT_TYPE type = VSS_CT_UNDEFINED;
        checkResult(component->GetComponentType(&type));
        return static_cast<jint>(type);
    });
}

JNIEXPORT jstring JNICALL Java_com_pemrix_vss_Component_GetLogicalPath(JNIEnv *env, jclass, jlong handle)
{
    return componentText(env, handle, &NativeComponent::logicalPathText, true,
                         [](IVssComponent *component, BSTR *out) { return component->GetLogicalPath(out); });
}

JNIEXPORT jboolean JNICALL Java_com_pemrix_vss_Component_IsSelectedForRestore(JNIEnv *env, jclass, jlong handle)
{
    auto *object = nativeObject<NativeComponent>(env, handle);
    if (!object)
        return false;
    return nativeBoundary(env, jboolean(false), [&] {
        boolean selected = false;
        checkResult(object->component->IsSelectedForRestore(&selected));
        return static_cast<jboolean>(selected ? JNI_TRUE : JNI_FALSE);
    });
}

JNIEXPORT jint JNICALL Java_com_pemrix_vss_Component_GetRestoreTarget(JNIEnv *env, jclass, jlong handle)
{
    return componentValue<jint>(env, handle, [](IVssComponent *component) {
        VSS_RESTORE_TARGET target = VSS_RT_UNDEFINED;
        checkResult(component->GetRestoreTarget(&target));
        return static_cast<jint>(target);
    });
}

JNIEXPORT jstring JNICALL Java_com_pemrix_vss_Component_GetPreRestoreFailureMsg(JNIEnv *env, jclass, jlong handle)
{
    return componentText(env, handle, &NativeComponent::failureMsgText, true,
                         [](IVssComponent *component, BSTR *out) { return component->GetPreRestoreFailureMsg(out); });
}

JNIEXPORT jint JNICALL Java_com_pemrix_vss_Component_GetRestoreSubcomponentCnt(JNIEnv *env, jclass, jlong handle)
{
    return componentCount(env, handle, [](IVssComponent *c, UINT *n) { return c->GetRestoreSubcomponentCount(n); });
}

JNIEXPORT jint JNICALL Java_com_pemrix_vss_Component_GetNewTargetCnt(JNIEnv *env, jclass, jlong handle)
{
    return componentCount(env, handle, [](IVssComponent *c, UINT *n) { return c->GetNewTargetCount(n); });
}

JNIEXPORT jint JNICALL Java_com_pemrix_vss_Component_GetPartialFileCnt(JNIEnv *env, jclass, jlong handle)
{
    return componentCount(env, handle, [](IVssComponent *c, UINT *n) { return c->GetPartialFileCount(n); });
}

JNIEXPORT jint JNICALL Java_com_pemrix_vss_Component_GetDirectedTargetCnt(JNIEnv *env, jclass, jlong handle)
{
    return componentCount(env, handle, [](IVssComponent *c, UINT *n) { return c->GetDirectedTargetCount(n); });
}

JNIEXPORT jint JNICALL Java_com_pemrix_vss_Component_GetDifferencedFilesCnt(JNIEnv *env, jclass, jlong handle)
{
    return componentCount(env, handle, [](IVssComponent *c, UINT *n) { return c->GetDifferencedFilesCount(n); });
}

JNIEXPORT jint JNICALL Java_com_pemrix_vss_Component_GetAlternateLocationMappingCnt(JNIEnv *env, jclass,
                                                                                   jlong handle)
{
    return componentCount(env, handle,
                          [](IVssComponent *c, UINT *n) { return c->GetAlternateLocationMappingCount(n); });
}

}  // extern "C"
