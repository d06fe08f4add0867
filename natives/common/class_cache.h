// The process-wide table of Java classes and member IDs that the natives raise or build.
// Filled by the init natives (and a few first calls), never cleared.
#pragma once

#include <jni.h>

namespace pallux {

struct ClassCache {
    // Filled by cacheCommonClasses, in this order.
    jclass nullPointerException;
    jclass exception;
    jclass string;
    jclass outOfMemoryError;
    jclass integer;
    jclass boolean;
    jclass object;
    // Filled by BackupApi.init.
    jclass ioException;
    jclass fileNotFoundException;
    jclass errorCodeException;
    jmethodID errorCodeExceptionInit;

    // The registry's classes: filled by RegistryApi.init, which looks them up again on every call.
    jclass regKey;
    jfieldID regKeyDisposition;
    jfieldID regKeyPtr;
    jmethodID regKeyInit;
    jclass regValue;
    jfieldID regValueName;
    jfieldID regValueType;
    jfieldID regValueDwordVal;
    jfieldID regValueStringArray;
    jfieldID regValueStringValue;
    jfieldID regValueByteArray;
};

extern ClassCache classCache;

// Looks the class up if the entry is empty and stores a weak global reference to it.
// Returns false, with the entry null and the VM's error pending, when the class is missing.
bool cacheClass(JNIEnv *env, jclass &entry, const char *name);

// Fills the java.lang entries; stops at the first class that cannot be found.
void cacheCommonClasses(JNIEnv *env);

}  // namespace pallux
