// Natives of com.pemrix.vaultcore.os.win32.RegistryApi: the wide registry functions, one native
// each, with values crossing in RegValue objects and created keys in RegKey objects.
#include "../common/class_cache.h"
#include "../common/errors.h"
#include "../common/strings.h"
#include "value_data.h"

#include <windows.h>

#include <jni.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace pallux;

namespace {

// Sub-key and value names are enumerated into a buffer of this many units on the stack.
constexpr DWORD kNameBufferUnits = 16384;
// Sub-key names are at most 255 units: the room offered for them keeps one unit back.
constexpr DWORD kSubkeyNameRoom = 16383;
// Value names may have 16383 units, which with their NUL fill the whole buffer.
constexpr DWORD kValueNameRoom = kNameBufferUnits;

constexpr SECURITY_INFORMATION kAllSecurityInformation = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                         DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

HKEY toKey(jlong value)
{
    return reinterpret_cast<HKEY>(static_cast<intptr_t>(value));
}

jlong fromKey(HKEY key)
{
    return static_cast<jlong>(reinterpret_cast<intptr_t>(key));
}

void raise(JNIEnv *env, LONG code)
{
    throwSystemError(env, classCache.exception, static_cast<DWORD>(code));
}

// Looks the class up even when the entry is filled, as RegistryApi.init does on every call.
bool lookUpClass(JNIEnv *env, jclass &entry, const char *name)
{
    jclass local = env->FindClass(name);
    if (!local)
        return false;
    entry = static_cast<jclass>(env->NewWeakGlobalRef(local));
    env->DeleteLocalRef(local);
    return entry != nullptr;
}

// Value data as the registry returned it, in a buffer two zero bytes longer than the data.
HeapPtr<BYTE> dataBuffer(JNIEnv *env, DWORD size)
{
    HeapPtr<BYTE> data(static_cast<BYTE *>(calloc(static_cast<size_t>(size) + 2, 1)));
    if (!data)
        env->ThrowNew(classCache.outOfMemoryError, "");
    return data;
}

// Fills a RegValue from registry data. Every read is bounded by the size the registry returned:
// data written by other programs may be a string of odd length, a multi-string without its
// closing pair or a number shorter than four bytes.
void fillRegValue(JNIEnv *env, jobject value, jstring name, DWORD type, const BYTE *data, DWORD size)
{
    env->SetIntField(value, classCache.regValueType, static_cast<jint>(type));
    env->SetObjectField(value, classCache.regValueName, name);
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        // References in type 2 stay as they are.
        jstring string = env->NewString(reinterpret_cast<const jchar *>(data),
                                        static_cast<jsize>(stringDataLength(data, size)));
        if (!string)
            return;
        env->SetObjectField(value, classCache.regValueStringValue, string);
        env->DeleteLocalRef(string);
        return;
    }
    case REG_MULTI_SZ: {
        HeapPtr<WCHAR> list(static_cast<WCHAR *>(malloc(terminatedMultiStringUnits(size) * sizeof(WCHAR))));
        if (!list) {
            env->ThrowNew(classCache.outOfMemoryError, "");
            return;
        }
        copyTerminatedMultiString(data, size, list.get());
        jobjectArray strings = multiStringToArray(env, list.get());
        if (!strings)
            return;
        env->SetObjectField(value, classCache.regValueStringArray, strings);
        env->DeleteLocalRef(strings);
        return;
    }
    case REG_BINARY: {
        jbyteArray bytes = env->NewByteArray(static_cast<jsize>(size));
        if (!bytes)
            return;
        env->SetByteArrayRegion(bytes, 0, static_cast<jsize>(size), reinterpret_cast<const jbyte *>(data));
        env->SetObjectField(value, classCache.regValueByteArray, bytes);
        env->DeleteLocalRef(bytes);
        return;
    }
    default:
        env->SetIntField(value, classCache.regValueDwordVal, static_cast<jint>(numberData(data, size)));
        return;
    }
}

bool requireValue(JNIEnv *env, jobject value)
{
    if (value)
        return true;
    env->ThrowNew(classCache.nullPointerException, "");
    return false;
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_RegistryApi_init(JNIEnv *env, jclass)
{
    if (!classCache.nullPointerException)
        cacheCommonClasses(env);
    // A java.lang class that could not be found leaves its error pending: no JNI call may follow.
    if (env->ExceptionCheck())
        return;
    ClassCache &c = classCache;
    if (!lookUpClass(env, c.regKey, "com/pemrix/vaultcore/os/win32/RegKey") ||
        !(c.regKeyDisposition = env->GetFieldID(c.regKey, "disposition", "I")) ||
        !(c.regKeyPtr = env->GetFieldID(c.regKey, "ptr", "J")) ||
        !(c.regKeyInit = env->GetMethodID(c.regKey, "<init>", "(JI)V")) ||
        !lookUpClass(env, c.regValue, "com/pemrix/vaultcore/os/win32/RegValue") ||
        !(c.regValueName = env->GetFieldID(c.regValue, "name", "Ljava/lang/String;")) ||
        !(c.regValueType = env->GetFieldID(c.regValue, "type", "I")) ||
        !(c.regValueDwordVal = env->GetFieldID(c.regValue, "dwordVal", "I")) ||
        !(c.regValueStringArray = env->GetFieldID(c.regValue, "stringArray", "[Ljava/lang/String;")) ||
        !(c.regValueStringValue = env->GetFieldID(c.regValue, "stringValue", "Ljava/lang/String;")))
        return;
    c.regValueByteArray = env->GetFieldID(c.regValue, "byteArray", "[B");
}

JNIEXPORT jlong JNICALL Java_com_pemrix_vaultcore_os_win32_RegistryApi_RegOpenKeyEx(JNIEnv *env, jclass, jlong key,
                                                                                    jstring subKey, jint options,
                                                                                    jint samDesired)
{
    HeapPtr<WCHAR> name(javaStringToWide(env, subKey));
    if (!name)
        return 0;
    HKEY opened = nullptr;
    LONG error = RegOpenKeyExW(toKey(key), name.get(), static_cast<DWORD>(options), static_cast<REGSAM>(samDesired),
                               &opened);
    if (error != ERROR_SUCCESS) {
        raise(env, error);
        return 0;
    }
    return fromKey(opened);
}

JNIEXPORT jobject JNICALL Java_com_pemrix_vaultcore_os_win32_RegistryApi_RegCreateKeyEx(JNIEnv *env, jclass, jlong key,
                                                                                       jstring subKey, jint options,
                                                                                       jint samDesired)
{
    HeapPtr<WCHAR> name(javaStringToWide(env, subKey));
    if (!name)
        return nullptr;
    HKEY created = nullptr;
    DWORD disposition = 0;
    LONG error = RegCreateKeyExW(toKey(key), name.get(), 0, nullptr, static_cast<DWORD>(options),
                                 static_cast<REGSAM>(samDesired), nullptr, &created, &disposition);
    if (error != ERROR_SUCCESS) {
        raise(env, error);
        return nullptr;
    }
    jobject result = env->NewObject(classCache.regKey, classCache.regKeyInit, fromKey(created),
                                    static_cast<jint>(disposition));
    // Java never gets the handle when its object cannot be built: close it here.
    if (!result)
        RegCloseKey(created);
    return result;
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_RegistryApi_RegCloseKey(JNIEnv *env, jclass, jlong key)
{
    if (LONG error = RegCloseKey(toKey(key)))
        raise(env, error);
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_RegistryApi_RegFlushKey(JNIEnv *env, jclass, jlong key)
{
    if (LONG error = RegFlushKey(toKey(key)))
        raise(env, error);
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_RegistryApi_RegLoadKey(JNIEnv *env, jclass, jlong key,
                                                                                jstring subKey, jstring file)
{
    HeapPtr<WCHAR> name(javaStringToWide(env, subKey));
    if (!name)
        return;
    HeapPtr<WCHAR> path(javaStringToWide(env, file));
    if (!path)
        return;
    if (LONG error = RegLoadKeyW(toKey(key), name.get(), path.get()))
        raise(env, error);
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_RegistryApi_RegUnLoadKey(JNIEnv *env, jclass, jlong key,
                                                                                  jstring subKey)
{
    HeapPtr<WCHAR> name(javaStringToWide(env, subKey));
    if (!name)
        return;
    if (LONG error = RegUnLoadKeyW(toKey(key), name.get()))
        raise(env, error);
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_RegistryApi_RegReplaceKey(JNIEnv *env, jclass, jlong key,
                                                                                   jstring subKey, jstring newFile,
                                                                                   jstring oldFile)
{
    HeapPtr<WCHAR> oldPath(javaStringToWide(env, oldFile));
    if (!oldPath)
        return;
    HeapPtr<WCHAR> newPath(javaStringToWide(env, newFile));
    if (!newPath)
        return;
    // A null sub-key replaces the hive of the key itself.
    HeapPtr<WCHAR> name;
    if (subKey) {
        name.reset(javaStringToWide(env, subKey));
        if (!name)
            return;
    }
    if (LONG error = RegReplaceKeyW(toKey(key), name.get(), newPath.get(), oldPath.get()))
        raise(env, error);
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_RegistryApi_RegDeleteKey(JNIEnv *env, jclass, jlong key,
                                                                                  jstring subKey)
{
    HeapPtr<WCHAR> name(javaStringToWide(env, subKey));
    if (!name)
        return;
    if (LONG error = RegDeleteKeyW(toKey(key), name.get()))
        raise(env, error);
}

JNIEXPORT jstring JNICALL Java_com_pemrix_vaultcore_os_win32_RegistryApi_RegEnumKeyExW(JNIEnv *env, jclass, jlong key,
                                                                                     jint index)
{
    WCHAR name[kNameBufferUnits];
    DWORD length = kSubkeyNameRoom;
    DWORD classLength = 0;
    LONG error = RegEnumKeyExW(toKey(key), static_cast<DWORD>(index), name, &length, nullptr, nullptr, &classLength,
                               nullptr);
    if (classLength != 0)
        fputs("class data provided\n", stderr);
    if (error == ERROR_NO_MORE_ITEMS)
        return nullptr;
    if (error != ERROR_SUCCESS) {
        raise(env, error);
        return nullptr;
    }
    return env->NewString(reinterpret_cast<const jchar *>(name), static_cast<jsize>(length));
}

JNIEXPORT jboolean JNICALL Java_com_pemrix_vaultcore_os_win32_RegistryApi_RegEnumValueW(JNIEnv *env, jclass,
                                                                                      jlong key, jint index,
                                                                                      jobject value)
{
    if (!requireValue(env, value))
        return JNI_TRUE;
    WCHAR name[kNameBufferUnits];
    DWORD length = kValueNameRoom;
    DWORD type = 0;
    DWORD size = 0;
    LONG error = RegEnumValueW(toKey(key), static_cast<DWORD>(index), name, &length, nullptr, &type, nullptr, &size);
    if (error == ERROR_NO_MORE_ITEMS)
        return JNI_FALSE;
    // A failed first call leaves the name and the size unset: nothing of them may be used.
    if (error != ERROR_SUCCESS) {
        raise(env, error);
        return JNI_TRUE;
    }
    jstring valueName = env->NewString(reinterpret_cast<const jchar *>(name), static_cast<jsize>(length));
    if (!valueName)
        return JNI_TRUE;
    HeapPtr<BYTE> data = dataBuffer(env, size);
    if (data) {
        length = kValueNameRoom;
        DWORD got = size + 2;
        error = RegEnumValueW(toKey(key), static_cast<DWORD>(index), name, &length, nullptr, &type, data.get(), &got);
        if (error != ERROR_SUCCESS)
            raise(env, error);
        else
            fillRegValue(env, value, valueName, type, data.get(), got);
    }
    env->DeleteLocalRef(valueName);
    return JNI_TRUE;
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_RegistryApi_RegGetValue(JNIEnv *env, jclass, jlong key,
                                                                                 jstring valueName, jobject value)
{
    if (!requireValue(env, value))
        return;
    HeapPtr<WCHAR> name(javaStringToWide(env, valueName));
    if (!name)
        return;
    DWORD type = 0;
    DWORD size = 0;
    LONG error = RegQueryValueExW(toKey(key), name.get(), nullptr, &type, nullptr, &size);
    if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) {
        raise(env, error);
        return;
    }
    HeapPtr<BYTE> data = dataBuffer(env, size);
    if (!data)
        return;
    error = RegQueryValueExW(toKey(key), name.get(), nullptr, &type, data.get(), &size);
    if (error != ERROR_SUCCESS) {
        raise(env, error);
        return;
    }
    fillRegValue(env, value, valueName, type, data.get(), size);
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_RegistryApi_RegSetValueExW(JNIEnv *env, jclass, jlong key,
                                                                                    jobject value)
{
    if (!requireValue(env, value))
        return;
    const DWORD type = static_cast<DWORD>(env->GetIntField(value, classCache.regValueType));
    auto nameString = static_cast<jstring>(env->GetObjectField(value, classCache.regValueName));
    HeapPtr<WCHAR> name(javaStringToWide(env, nameString));
    env->DeleteLocalRef(nameString);
    if (!name)
        return;
    HeapPtr<void> data;
    DWORD size = 0;
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        auto text = static_cast<jstring>(env->GetObjectField(value, classCache.regValueStringValue));
        if (!text)
            return;  // no text: nothing is written, and nothing raised
        size = static_cast<DWORD>(env->GetStringLength(text) + 1) * 2;
        data.reset(javaStringToWide(env, text));
        env->DeleteLocalRef(text);
        if (!data)
            return;
        break;
    }
    case REG_BINARY: {
        auto bytes = static_cast<jbyteArray>(env->GetObjectField(value, classCache.regValueByteArray));
        if (!bytes) {
            env->ThrowNew(classCache.nullPointerException, "RegValue byte array is null");
            return;
        }
        size = static_cast<DWORD>(env->GetArrayLength(bytes));
        data.reset(malloc(size ? size : 1));
        if (!data) {
            env->DeleteLocalRef(bytes);
            env->ThrowNew(classCache.outOfMemoryError, "");
            return;
        }
        env->GetByteArrayRegion(bytes, 0, static_cast<jsize>(size), static_cast<jbyte *>(data.get()));
        env->DeleteLocalRef(bytes);
        break;
    }
    case REG_DWORD: {
        const auto number = static_cast<uint32_t>(env->GetIntField(value, classCache.regValueDwordVal));
        data.reset(malloc(4));
        if (!data) {
            env->ThrowNew(classCache.outOfMemoryError, "");
            return;
        }
        auto *bytes = static_cast<BYTE *>(data.get());
        for (int i = 0; i < 4; ++i)
            bytes[i] = static_cast<BYTE>(number >> (8 * i));
        size = 4;
        break;
    }
    case REG_MULTI_SZ: {
        auto strings = static_cast<jobjectArray>(env->GetObjectField(value, classCache.regValueStringArray));
        if (!strings) {
            env->ThrowNew(classCache.nullPointerException, "RegValue string array is null");
            return;
        }
        data.reset(arrayToMultiString(env, strings, &size));
        env->DeleteLocalRef(strings);
        if (!data)
            return;
        break;
    }
    default:
        env->ThrowNew(classCache.exception, "Registry value type not supported");
        return;
    }
    if (LONG error = RegSetValueExW(toKey(key), name.get(), 0, type, static_cast<const BYTE *>(data.get()), size))
        raise(env, error);
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_RegistryApi_RegCopyValue(JNIEnv *env, jclass,
                                                                                  jlong sourceKey, jstring valueName,
                                                                                  jlong targetKey)
{
    HeapPtr<WCHAR> name(javaStringToWide(env, valueName));
    if (!name)
        return;
    DWORD type = 0;
    DWORD size = 0;
    LONG error = RegQueryValueExW(toKey(sourceKey), name.get(), nullptr, &type, nullptr, &size);
    if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) {
        raise(env, error);
        return;
    }
    HeapPtr<BYTE> data = dataBuffer(env, size);
    if (!data)
        return;
    size += 2;
    error = RegQueryValueExW(toKey(sourceKey), name.get(), nullptr, &type, data.get(), &size);
    if (error == ERROR_SUCCESS)
        error = RegSetValueExW(toKey(targetKey), name.get(), 0, type, data.get(), size);
    if (error != ERROR_SUCCESS)
        raise(env, error);
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_RegistryApi_RegCopyKeySecurity(JNIEnv *env, jclass,
                                                                                        jlong sourceKey,
                                                                                        jlong targetKey)
{
    DWORD size = 0;
    LONG error = RegGetKeySecurity(toKey(sourceKey), kAllSecurityInformation, nullptr, &size);
    if (error != ERROR_SUCCESS && error != ERROR_INSUFFICIENT_BUFFER) {
        raise(env, error);
        return;
    }
    HeapPtr<void> descriptor(malloc(size ? size : 1));
    if (!descriptor) {
        env->ThrowNew(classCache.outOfMemoryError, "");
        return;
    }
    error = RegGetKeySecurity(toKey(sourceKey), kAllSecurityInformation, descriptor.get(), &size);
    if (error == ERROR_SUCCESS)
        error = RegSetKeySecurity(toKey(targetKey), kAllSecurityInformation, descriptor.get());
    if (error != ERROR_SUCCESS)
        raise(env, error);
}

}  // extern "C"
