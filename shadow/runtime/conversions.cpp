#include "conversions.h"

#include "class_cache.h"
#include "errors.h"
#include "native_objects.h"

#include <cstring>
#include <limits>

namespace shadelink {

OwnedString allocateString(size_t units)
{
    if (units == 0 || units > std::numeric_limits<size_t>::max() / sizeof(WCHAR))
        throw VssError("bad allocation");
    auto *block = static_cast<WCHAR *>(malloc(units * sizeof(WCHAR)));
    if (!block)
        throw VssError("bad allocation");
    return OwnedString(block);
}

OwnedString copyBstr(BSTR text)
{
    struct BstrOwner {
        BSTR text;
        ~BstrOwner() { SysFreeString(text); }
    } owner{text};
    size_t length = text ? SysStringLen(text) : 0;
    OwnedString copy = allocateString(length + 1);
    size_t i = 0;
    for (; i < length && text[i]; ++i)
        copy[i] = text[i];
    for (; i <= length; ++i)
        copy[i] = 0;
    return copy;
}

OwnedString checkedBstr(HRESULT result, BSTR text)
{
    if (result != S_OK) {
        SysFreeString(text);
        checkResult(result);
    }
    return copyBstr(text);
}

jstring newJavaString(JNIEnv *env, const WCHAR *text)
{
    jsize length = 0;
    while (text[length])
        ++length;
    return env->NewString(reinterpret_cast<const jchar *>(text), length);
}

int copyStringToBuffer(JNIEnv *env, WCHAR *buffer, jstring string, jsize capacity)
{
    if (!string) {
        throwNullPointer(env);
        return 0;
    }
    jsize length = env->GetStringLength(string);
    if (length > capacity - 1) {
        env->ThrowNew(classCache.exception, "not enough space in C string");
        return 0;
    }
    if (length == 0) {
        buffer[0] = 0;
        return 1;
    }
    JavaChars chars(env, string);
    if (!chars.get())
        return 0;
    jsize i = 0;
    for (; i < length && chars.get()[i]; ++i)
        buffer[i] = chars.get()[i];
    for (; i <= length; ++i)
        buffer[i] = 0;
    return 1;
}

bool readGuid(JNIEnv *env, jbyteArray array, VSS_ID &id)
{
    if (!array) {
        throwNullPointer(env);
        return false;
    }
    jbyte bytes[sizeof(VSS_ID)];
    env->GetByteArrayRegion(array, 0, sizeof bytes, bytes);
    if (env->ExceptionCheck())
        return false;
    memcpy(&id, bytes, sizeof id);
    return true;
}

jbyteArray newGuidArray(JNIEnv *env, const VSS_ID &id)
{
    static_assert(sizeof(VSS_ID) == 16, "a VSS_ID crosses as 16 bytes");
    jbyteArray array = env->NewByteArray(sizeof(VSS_ID));
    if (!array)
        return nullptr;
    jbyte bytes[sizeof(VSS_ID)];
    memcpy(bytes, &id, sizeof bytes);
    env->SetByteArrayRegion(array, 0, sizeof bytes, bytes);
    if (env->ExceptionCheck()) {
        env->DeleteLocalRef(array);
        return nullptr;
    }
    return array;
}

jobject wrapNative(JNIEnv *env, jclass type, jmethodID constructor, ComObjectHolder *object)
{
    jobject wrapper = env->NewObject(type, constructor, toHandle(object));
    if (!wrapper)
        delete object;
    return wrapper;
}

JavaChars::JavaChars(JNIEnv *env, jstring string)
    // After an earlier borrow failed, its error is pending and no further JNI call may be made.
    : env_(env), string_(string), chars_(string && !env->ExceptionCheck() ? env->GetStringChars(string, nullptr) : nullptr)
{
}

JavaChars::~JavaChars()
{
    if (chars_)
        env_->ReleaseStringChars(string_, chars_);
}

}  // namespace shadelink
