// Natives of com.pemrix.vss.WriterMetaData, WMComponent and FileDescriptor: a writer's metadata
// document, the components it declares and their sets of files. What the service hands
// out at a cost (the identity, a component's information, the paths) is asked for once per
// native object and kept.
#include "../runtime/class_cache.h"
#include "../runtime/conversions.h"
#include "../runtime/errors.h"
#include "../runtime/native_objects.h"

#include <windows.h>
#include <vsbackup.h>

#include <jni.h>

using namespace shadelink;

namespace {

void loadIdentity(NativeWriterMetaData &object)
{
    if (object.identityLoaded)
        return;
    BSTR name = nullptr;
    HRESULT result = object.metadata->GetIdentity(&object.instanceId, &object.writerId, &name, &object.usageType,
                                                  &object.sourceType);
    object.nameText = checkedBstr(result, name);
    object.identityLoaded = true;
}

// getComponent, getFile, getDatabaseFile, getDatabaseLogFile: a child object handed out by the
// service, wrapped in a new Java object of its class.
template <typename Native, typename Interface, typename Call>
jobject child(JNIEnv *env, jclass type, jmethodID constructor, Call call)
{
    auto *made = nativeBoundary(env, static_cast<Native *>(nullptr), [&] {
        ComRef<Interface> handedOut;
        checkResult(call(handedOut.out()));
        auto *object = new Native(handedOut.get());
        handedOut.release();
        return object;
    });
    return made ? wrapNative(env, type, constructor, made) : nullptr;
}

// A document for the service: the Java string's characters as a BSTR.
template <typename Call>
void withDocument(JNIEnv *env, jstring xml, Call call)
{
    JavaChars chars(env, xml);
    if (!chars.get()) {
        if (!xml)
            throwNullPointer(env);
        return;
    }
    nativeBoundary(env, [&] {
        Bstr document(chars.get());
        if (!document.get())
            throw VssError("bad allocation");
        call(document.get());
    });
}

// A text the service keeps for a set of files, asked for once.
template <typename Call>
jstring cachedText(JNIEnv *env, OwnedString &cache, Call call)
{
    bool ready = nativeBoundary(env, false, [&] {
        if (!cache)
            cache = call();
        return true;
    });
    return ready ? newJavaString(env, cache.get()) : nullptr;
}

// One of the writer's identity numbers, from the identity read once.
template <typename Number>
jint identityNumber(JNIEnv *env, jlong handle, Number NativeWriterMetaData::*field)
{
    auto *object = requireObject<NativeWriterMetaData>(env, handle);
    if (!object)
        return 0;
    return nativeBoundary(env, jint(0), [&] {
        loadIdentity(*object);
        return static_cast<jint>(object->*field);
    });
}

}  // namespace

extern "C" {

// ---- WriterMetaData ----

JNIEXPORT jlong JNICALL Java_com_pemrix_vss_WriterMetaData_Create(JNIEnv *env, jclass, jstring xml)
{
    NativeWriterMetaData *made = nullptr;
    withDocument(env, xml, [&](BSTR document) {
        ComRef<IVssExamineWriterMetadata> metadata;
        checkResult(CreateVssExamineWriterMetadata(document, metadata.out()));
        made = new NativeWriterMetaData(metadata.get());
        metadata.release();
    });
    return toHandle(made);
}

JNIEXPORT void JNICALL Java_com_pemrix_vss_WriterMetaData_LoadFromXML(JNIEnv *env, jclass, jlong handle, jstring xml)
{
    auto *object = requireObject<NativeWriterMetaData>(env, handle);
    if (!object)
        return;
    withDocument(env, xml, [&](BSTR document) { checkResult(object->metadata->LoadFromXML(document)); });
}

JNIEXPORT jstring JNICALL Java_com_pemrix_vss_WriterMetaData_SaveAsXML(JNIEnv *env, jclass, jlong handle)
{
    auto *object = requireObject<NativeWriterMetaData>(env, handle);
    if (!object)
        return nullptr;
    OwnedString document = nativeBoundary(env, OwnedString(), [&] {
        BSTR xml = nullptr;
        HRESULT result = object->metadata->SaveAsXML(&xml);
        return checkedBstr(result, xml);
    });
    return document ? newJavaString(env, document.get()) : nullptr;
}

JNIEXPORT jbyteArray JNICALL Java_com_pemrix_vss_WriterMetaData_GetWriterId(JNIEnv *env, jclass, jlong handle)
{
    auto *object = nativeObject<NativeWriterMetaData>(env, handle);
    if (!object)
        return nullptr;
    bool loaded = nativeBoundary(env, false, [&] {
        loadIdentity(*object);
        return true;
    });
    return loaded ? newGuidArray(env, object->writerId) : nullptr;
}

JNIEXPORT jbyteArray JNICALL Java_com_pemrix_vss_WriterMetaData_GetInstanceId(JNIEnv *env, jclass, jlong handle)
{
    auto *object = nativeObject<NativeWriterMetaData>(env, handle);
    if (!object)
        return nullptr;
    bool loaded = nativeBoundary(env, false, [&] {
        loadIdentity(*object);
        return true;
    });
    return loaded ? newGuidArray(env, object->instanceId) : nullptr;
}

JNIEXPORT jstring JNICALL Java_com_pemrix_vss_WriterMetaData_getName(JNIEnv *env, jclass, jlong handle)
{
    if (handle == 0) {
        throwNullPointer(env, "meta data ptr");
        return nullptr;
    }
    auto *object = nativeObject<NativeWriterMetaData>(env, handle);
    if (!object)
        return nullptr;
    bool loaded = nativeBoundary(env, false, [&] {
        loadIdentity(*object);
        return true;
    });
    return loaded ? newJavaString(env, object->nameText.get()) : nullptr;
}

JNIEXPORT jint JNICALL Java_com_pemrix_vss_WriterMetaData_getUsageType(JNIEnv *env, jclass, jlong handle)
{
    return identityNumber(env, handle, &NativeWriterMetaData::usageType);
}

JNIEXPORT jint JNICALL Java_com_pemrix_vss_WriterMetaData_getSourceType(JNIEnv *env, jclass, jlong handle)
{
    return identityNumber(env, handle, &NativeWriterMetaData::sourceType);
}

JNIEXPORT jint JNICALL Java_com_pemrix_vss_WriterMetaData_getComponentCount(JNIEnv *env, jclass, jlong handle)
{
    auto *object = requireObject<NativeWriterMetaData>(env, handle);
    if (!object)
        return 0;
    return nativeBoundary(env, jint(0), [&] {
        UINT includeFiles = 0;
        checkResult(object->metadata->GetFileCounts(&includeFiles, &object->excludeFileCount, &object->componentCount));
        return static_cast<jint>(object->componentCount);
    });
}

JNIEXPORT jobject JNICALL Java_com_pemrix_vss_WriterMetaData_getComponent(JNIEnv *env, jclass, jlong handle, jint index)
{
    auto *object = requireObject<NativeWriterMetaData>(env, handle);
    if (!object)
        return nullptr;
    return child<NativeWMComponent, IVssWMComponent>(
        env, classCache.wmComponent, classCache.wmComponentInit,
        [&](IVssWMComponent **out) { return object->metadata->GetComponent(static_cast<UINT>(index), out); });
}

JNIEXPORT jobject JNICALL Java_com_pemrix_vss_WriterMetaData_getRestoreInfo(JNIEnv *env, jclass, jlong handle)
{
    auto *object = nativeObject<NativeWriterMetaData>(env, handle);
    if (!object)
        return nullptr;
    VSS_RESTOREMETHOD_ENUM method = VSS_RME_UNDEFINED;
    VSS_WRITERRESTORE_ENUM writerRestore = VSS_WRE_UNDEFINED;
    boolean rebootRequired = false;
    UINT mappings = 0;
    OwnedString service, userProcedure;
    bool read = nativeBoundary(env, false, [&] {
        ReturnedBstr serviceName, procedure;
        checkResult(object->metadata->GetRestoreMethod(&method, serviceName.out(), procedure.out(), &writerRestore,
                                                       &rebootRequired, &mappings));
        service = copyBstr(serviceName.take());
        userProcedure = copyBstr(procedure.take());
        return true;
    });
    if (!read)
        return nullptr;
    jstring serviceString = newJavaString(env, service.get());
    if (!serviceString)
        return nullptr;
    jstring procedureString = newJavaString(env, userProcedure.get());
    if (!procedureString)
        return nullptr;
    return env->NewObject(classCache.vssRestoreInfo, classCache.vssRestoreInfoInit, static_cast<jint>(method),
                          serviceString, static_cast<jint>(writerRestore),
                          static_cast<jboolean>(rebootRequired ? JNI_TRUE : JNI_FALSE), procedureString,
                          static_cast<jint>(mappings));
}

// ---- WMComponent ----

JNIEXPORT void JNICALL Java_com_pemrix_vss_WMComponent_getInfo(JNIEnv *env, jobject self, jlong handle)
{
    auto *object = requireObject<NativeWMComponent>(env, handle);
    if (!object)
        return;
    bool ready = nativeBoundary(env, false, [&] {
        if (!object->componentInfo)
            checkResult(object->component->GetComponentInfo(&object->componentInfo));
        return true;
    });
    if (!ready)
        return;
    const VSS_COMPONENTINFO &info = *object->componentInfo;
    const WMComponentFields &field = classCache.wmComponentFields;
    env->SetIntField(self, field.type, static_cast<jint>(info.type));
    env->SetIntField(self, field.fileCount, static_cast<jint>(info.cFileCount));
    env->SetIntField(self, field.databaseCount, static_cast<jint>(info.cDatabases));
    env->SetIntField(self, field.logfileCount, static_cast<jint>(info.cLogFiles));
    env->SetIntField(self, field.flags, static_cast<jint>(info.dwComponentFlags));
    env->SetIntField(self, field.dependencyCount, static_cast<jint>(info.cDependencies));
    env->SetBooleanField(self, field.selectableForRestore, info.bSelectableForRestore ? JNI_TRUE : JNI_FALSE);
    const std::pair<jfieldID, BSTR> texts[] = {
        {field.caption, info.bstrCaption}, {field.componentName, info.bstrComponentName},
        {field.logicalPath, info.bstrLogicalPath}};
    for (const auto &[target, text] : texts) {
        if (!text)
            continue;
        jstring value = newJavaString(env, text);
        if (!value)
            return;
        env->SetObjectField(self, target, value);
        env->DeleteLocalRef(value);
    }
    env->SetBooleanField(self, field.selectable, info.bSelectable ? JNI_TRUE : JNI_FALSE);
    env->SetBooleanField(self, field.restoreMetadata, info.bRestoreMetadata ? JNI_TRUE : JNI_FALSE);
}

JNIEXPORT jobject JNICALL Java_com_pemrix_vss_WMComponent_getFile(JNIEnv *env, jclass, jlong handle, jint index)
{
    auto *object = requireObject<NativeWMComponent>(env, handle);
    if (!object)
        return nullptr;
    return child<NativeFileDescriptor, IVssWMFiledesc>(
        env, classCache.fileDescriptor, classCache.fileDescriptorInit,
        [&](IVssWMFiledesc **out) { return object->component->GetFile(static_cast<UINT>(index), out); });
}

JNIEXPORT jobject JNICALL Java_com_pemrix_vss_WMComponent_getDatabaseFile(JNIEnv *env, jclass, jlong handle,
                                                                         jint index)
{
    auto *object = requireObject<NativeWMComponent>(env, handle);
    if (!object)
        return nullptr;
    return child<NativeFileDescriptor, IVssWMFiledesc>(
        env, classCache.fileDescriptor, classCache.fileDescriptorInit,
        [&](IVssWMFiledesc **out) { return object->component->GetDatabaseFile(static_cast<UINT>(index), out); });
}

JNIEXPORT jobject JNICALL Java_com_pemrix_vss_WMComponent_getDatabaseLogFile(JNIEnv *env, jclass, jlong handle,
                                                                            jint index)
{
    auto *object = requireObject<NativeWMComponent>(env, handle);
    if (!object)
        return nullptr;
    return child<NativeFileDescriptor, IVssWMFiledesc>(
        env, classCache.fileDescriptor, classCache.fileDescriptorInit,
        [&](IVssWMFiledesc **out) { return object->component->GetDatabaseLogFile(static_cast<UINT>(index), out); });
}

// ---- FileDescriptor ----

JNIEXPORT jstring JNICALL Java_com_pemrix_vss_FileDescriptor_getPath(JNIEnv *env, jclass, jlong handle)
{
    auto *object = requireObject<NativeFileDescriptor>(env, handle);
    if (!object)
        return nullptr;
    return cachedText(env, object->pathText, [&] {
        BSTR path = nullptr;
        HRESULT result = object->file->GetPath(&path);
        OwnedString raw = checkedBstr(result, path);
        // Variables are expanded once, as the path is first read.
        DWORD needed = ExpandEnvironmentStringsW(raw.get(), nullptr, 0);
        if (needed == 0)
            return raw;
        OwnedString expanded = allocateString(static_cast<size_t>(needed) + 2);
        DWORD written = ExpandEnvironmentStringsW(raw.get(), expanded.get(), needed + 2);
        // The environment may have grown in between; the unexpanded path is then kept.
        if (written == 0 || written > needed + 2)
            return raw;
        return expanded;
    });
}

JNIEXPORT jstring JNICALL Java_com_pemrix_vss_FileDescriptor_getSpec(JNIEnv *env, jclass, jlong handle)
{
    auto *object = requireObject<NativeFileDescriptor>(env, handle);
    if (!object)
        return nullptr;
    return cachedText(env, object->specText, [&] {
        BSTR filespec = nullptr;
        HRESULT result = object->file->GetFilespec(&filespec);
        return checkedBstr(result, filespec);
    });
}

JNIEXPORT jboolean JNICALL Java_com_pemrix_vss_FileDescriptor_getRecursive(JNIEnv *env, jclass, jlong handle)
{
    auto *object = requireObject<NativeFileDescriptor>(env, handle);
    if (!object)
        return false;
    // No failure is reported: after a failed call the answer is false.
    boolean recursive = false;
    return object->file->GetRecursive(&recursive) == S_OK && recursive ? JNI_TRUE : JNI_FALSE;
}

}  // extern "C"
