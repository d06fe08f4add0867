#include "class_cache.h"

namespace shadelink {

ClassCache classCache = {};

bool lookUpClass(JNIEnv *env, jclass &entry, const char *name)
{
    jclass local = env->FindClass(name);
    if (!local) {
        entry = nullptr;
        return false;
    }
    entry = static_cast<jclass>(env->NewWeakGlobalRef(local));
    env->DeleteLocalRef(local);
    return entry != nullptr;
}

namespace {

bool cacheIfEmpty(JNIEnv *env, jclass &entry, const char *name)
{
    return entry || lookUpClass(env, entry, name);
}

bool lookUpMethod(JNIEnv *env, jmethodID &entry, jclass type, const char *signature)
{
    entry = env->GetMethodID(type, "<init>", signature);
    return entry != nullptr;
}

bool lookUpField(JNIEnv *env, jfieldID &entry, const char *name, const char *signature)
{
    entry = env->GetFieldID(classCache.wmComponent, name, signature);
    return entry != nullptr;
}

}  // namespace

void cacheCommonClasses(JNIEnv *env)
{
    cacheIfEmpty(env, classCache.nullPointerException, "java/lang/NullPointerException") &&
        cacheIfEmpty(env, classCache.exception, "java/lang/Exception") &&
        cacheIfEmpty(env, classCache.string, "java/lang/String") &&
        cacheIfEmpty(env, classCache.outOfMemoryError, "java/lang/OutOfMemoryError") &&
        cacheIfEmpty(env, classCache.integer, "java/lang/Integer") &&
        cacheIfEmpty(env, classCache.boolean, "java/lang/Boolean") &&
        cacheIfEmpty(env, classCache.object, "java/lang/Object");
}

void cacheBridgeClasses(JNIEnv *env)
{
    ClassCache &c = classCache;
    WMComponentFields &f = c.wmComponentFields;
    const char *constructor = "(J)V";
    lookUpClass(env, c.backupComponents, "com/pemrix/vss/BackupComponents") &&
        lookUpMethod(env, c.backupComponentsInit, c.backupComponents, constructor) &&
        lookUpClass(env, c.vssException, "com/pemrix/vss/VssException") &&
        lookUpClass(env, c.writerMetaData, "com/pemrix/vss/WriterMetaData") &&
        lookUpClass(env, c.wmComponent, "com/pemrix/vss/WMComponent") &&
        lookUpClass(env, c.component, "com/pemrix/vss/Component") &&
        lookUpClass(env, c.fileDescriptor, "com/pemrix/vss/FileDescriptor") &&
        lookUpClass(env, c.writerComponents, "com/pemrix/vss/WriterComponents") &&
        lookUpClass(env, c.writerStatus, "com/pemrix/vss/WriterStatus") &&
        lookUpClass(env, c.vssRestoreInfo, "com/pemrix/vss/VssRestoreInfo") &&
        lookUpMethod(env, c.vssRestoreInfoInit, c.vssRestoreInfo, "(ILjava/lang/String;IZLjava/lang/String;I)V") &&
        lookUpMethod(env, c.writerStatusInit, c.writerStatus, "([B[BLjava/lang/String;II)V") &&
        lookUpMethod(env, c.writerComponentsInit, c.writerComponents, constructor) &&
        lookUpMethod(env, c.writerMetaDataInit, c.writerMetaData, constructor) &&
        lookUpMethod(env, c.wmComponentInit, c.wmComponent, constructor) &&
        lookUpMethod(env, c.componentInit, c.component, constructor) &&
        lookUpMethod(env, c.fileDescriptorInit, c.fileDescriptor, constructor) &&
        lookUpField(env, f.flags, "flags", "I") && lookUpField(env, f.fileCount, "fileCount", "I") &&
        lookUpField(env, f.dependencyCount, "dependencyCount", "I") &&
        lookUpField(env, f.logfileCount, "logfileCount", "I") &&
        lookUpField(env, f.databaseCount, "databaseCount", "I") && lookUpField(env, f.type, "type", "I") &&
        lookUpField(env, f.caption, "caption", "Ljava/lang/String;") &&
        lookUpField(env, f.componentName, "componentName", "Ljava/lang/String;") &&
        lookUpField(env, f.logicalPath, "logicalPath", "Ljava/lang/String;") &&
        lookUpField(env, f.selectable, "selectable", "Z") &&
        lookUpField(env, f.selectableForRestore, "selectableForRestore", "Z") &&
        lookUpField(env, f.restoreMetadata, "restoreMetadata", "Z");
}

}  // namespace shadelink
