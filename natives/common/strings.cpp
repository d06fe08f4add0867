#include "strings.h"

#include "class_cache.h"

#include <cstring>
#include <string>

namespace pallux {

namespace {

// Scans a multi-string no further than this before taking it as unterminated.
constexpr size_t kMultiStringScanLimit = 65000;

const WCHAR kEmpty[] = {0};

// Copies n units, stopping at the first NUL and zero-filling the rest.
template <typename Char>
void copyUntilNul(Char *to, const Char *from, size_t n)
{
    size_t i = 0;
    for (; i < n && from[i] != 0; ++i)
        to[i] = from[i];
    for (; i < n; ++i)
        to[i] = 0;
}

}  // namespace

WCHAR *javaStringToWide(JNIEnv *env, jstring string)
{
    if (!string) {
        env->ThrowNew(classCache.nullPointerException, "");
        return nullptr;
    }
    jsize n = env->GetStringLength(string);
    const jchar *chars = env->GetStringChars(string, nullptr);
    if (!chars)
        return nullptr;
    auto *copy = static_cast<WCHAR *>(malloc(static_cast<size_t>(n) * 2 + 4));
    if (!copy) {
        env->ReleaseStringChars(string, chars);
        env->ThrowNew(classCache.outOfMemoryError, "");
        return nullptr;
    }
    copyUntilNul(copy, reinterpret_cast<const WCHAR *>(chars), static_cast<size_t>(n));
    copy[n] = 0;
    copy[n + 1] = 0;
    env->ReleaseStringChars(string, chars);
    return copy;
}

char *javaStringToUtf(JNIEnv *env, jstring string)
{
    if (!string) {
        env->ThrowNew(classCache.nullPointerException, nullptr);
        return nullptr;
    }
    jsize n = env->GetStringUTFLength(string);
    const char *bytes = env->GetStringUTFChars(string, nullptr);
    if (!bytes)
        return nullptr;
    auto *copy = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
    if (!copy) {
        env->ReleaseStringUTFChars(string, bytes);
        env->ThrowNew(classCache.outOfMemoryError, "");
        return nullptr;
    }
    copyUntilNul(copy, bytes, static_cast<size_t>(n));
    copy[n] = 0;
    env->ReleaseStringUTFChars(string, bytes);
    return copy;
}

jobjectArray multiStringToArray(JNIEnv *env, const WCHAR *list)
{
    if (!list)
        list = kEmpty;
    jsize count = 0;
    bool terminated = list == kEmpty;
    for (size_t i = 0; !terminated && i < kMultiStringScanLimit; ++i) {
        if (list[i] == 0) {
            ++count;
            terminated = list[i + 1] == 0;
        }
    }
    if (!terminated) {
        env->ThrowNew(classCache.exception, "illegal cstring size returned");
        return nullptr;
    }
    jobjectArray array = env->NewObjectArray(count, classCache.string, nullptr);
    if (!array)
        return nullptr;
    const WCHAR *current = list;
    for (jsize i = 0; i < count; ++i) {
        if (current[0] == 0 && current[1] == 0)
            break;
        jsize length = static_cast<jsize>(std::char_traits<WCHAR>::length(current));
        jstring element = env->NewString(reinterpret_cast<const jchar *>(current), length);
        if (!element)
            return nullptr;
        env->SetObjectArrayElement(array, i, element);
        if (env->ExceptionCheck())
            return nullptr;
        env->DeleteLocalRef(element);
        current += length + 1;
    }
    return array;
}

WCHAR *arrayToMultiString(JNIEnv *env, jobjectArray array, DWORD *byteCount)
{
    if (!array)
        return nullptr;
    *byteCount = 0;
    const jsize n = env->GetArrayLength(array);
    size_t total = 0;
    for (jsize i = 0; i < n; ++i) {
        auto element = static_cast<jstring>(env->GetObjectArrayElement(array, i));
        if (env->ExceptionCheck())
            return nullptr;
        total += element ? static_cast<size_t>(env->GetStringLength(element)) + 1 : 1;
        env->DeleteLocalRef(element);
    }
    const size_t capacity = total + static_cast<size_t>(n) + 1;  // in units
    HeapPtr<WCHAR> buffer(static_cast<WCHAR *>(malloc(capacity * 2)));
    if (!buffer) {
        env->ThrowNew(classCache.outOfMemoryError, "");
        return nullptr;
    }
    size_t used = 0;
    for (jsize i = 0; i < n; ++i) {
        auto element = static_cast<jstring>(env->GetObjectArrayElement(array, i));
        if (env->ExceptionCheck())
            return nullptr;
        // Another thread may have replaced elements since the first pass: every write is checked,
        // leaving room for the closing NUL.
        size_t length = element ? static_cast<size_t>(env->GetStringLength(element)) : 0;
        if (used + length + 1 >= capacity) {
            env->DeleteLocalRef(element);
            env->ThrowNew(classCache.exception, "memory error in streams creation");
            return nullptr;
        }
        if (!element) {
            buffer.get()[used++] = 0;
            continue;
        }
        const jchar *chars = env->GetStringChars(element, nullptr);
        if (!chars) {
            env->DeleteLocalRef(element);
            return nullptr;
        }
        memcpy(buffer.get() + used, chars, length * 2);
        used += length;
        buffer.get()[used++] = 0;
        env->ReleaseStringChars(element, chars);
        env->DeleteLocalRef(element);
    }
    buffer.get()[used++] = 0;
    *byteCount = static_cast<DWORD>(used * 2);
    return buffer.release();
}

}  // namespace pallux
