// The process-wide table of the Java classes, constructors and fields the library raises or
// builds. VSSFactory.init fills it; it is never cleared.
#pragma once

#include <jni.h>

namespace shadelink {

struct WMComponentFields {
    jfieldID flags;
    jfieldID fileCount;
    jfieldID dependencyCount;
    jfieldID logfileCount;
    jfieldID databaseCount;
    jfieldID type;
    jfieldID caption;
    jfieldID componentName;
    jfieldID logicalPath;
    jfieldID selectable;
    jfieldID selectableForRestore;
    jfieldID restoreMetadata;
};

struct ClassCache {
    // java.lang, filled in this order; only the first two are ever raised.
    jclass nullPointerException;
    jclass exception;
    jclass string;
    jclass outOfMemoryError;
    jclass integer;
    jclass boolean;
    jclass object;

    jclass backupComponents;
    jclass vssException;
    jclass writerMetaData;
    jclass wmComponent;
    jclass component;
    jclass fileDescriptor;
    jclass writerComponents;
    jclass writerStatus;
    jclass vssRestoreInfo;

    jmethodID backupComponentsInit;
    jmethodID vssRestoreInfoInit;
    jmethodID writerStatusInit;
    jmethodID writerComponentsInit;
    jmethodID writerMetaDataInit;
    jmethodID wmComponentInit;
    jmethodID componentInit;
    jmethodID fileDescriptorInit;

    WMComponentFields wmComponentFields;
};

extern ClassCache classCache;

// Looks the class up and stores a weak global reference to it in entry. Returns false, with
// the entry null and the VM's error pending, when the class is missing.
bool lookUpClass(JNIEnv *env, jclass &entry, const char *name);

// Fills the java.lang entries that are still empty; stops at the first class that is missing.
void cacheCommonClasses(JNIEnv *env);

// Looks up the bridge classes, constructors and WMComponent fields again, replacing what the
// table held; stops at the first that is missing, with the VM's error pending.
void cacheBridgeClasses(JNIEnv *env);

}  // namespace shadelink
