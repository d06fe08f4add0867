#include "errors.h"

#include "class_cache.h"

#include <cstdio>
#include <cstring>

namespace pallux {

LocalText systemMessageText(DWORD code)
{
    char *text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_FROM_SYSTEM,
                                  nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (length == 0 || !text) {
        static const char fallback[] = "no error message";
        text = static_cast<char *>(LocalAlloc(LMEM_FIXED, 255));
        if (!text)
            return LocalText();
        memcpy(text, fallback, sizeof fallback);
    }
    size_t n = strlen(text);
    if (n > 2 && text[n - 2] == '\r')
        text[n - 2] = '\0';
    return LocalText(text);
}

void throwSystemError(JNIEnv *env, jclass type, DWORD code)
{
    LocalText text = systemMessageText(code);
    env->ThrowNew(type, text ? text.get() : "");
}

void throwErrorCodeException(JNIEnv *env, DWORD code)
{
    jstring message;
    {
        LocalText text = systemMessageText(code);
        message = env->NewStringUTF(text ? text.get() : "");
    }
    if (!message)
        return;
    auto exception = static_cast<jthrowable>(env->NewObject(classCache.errorCodeException,
                                                            classCache.errorCodeExceptionInit, message,
                                                            static_cast<jint>(code)));
    env->DeleteLocalRef(message);
    if (exception) {
        env->Throw(exception);
        env->DeleteLocalRef(exception);
    }
}

void throwRegionOutOfBounds(JNIEnv *env, jlong offset, jlong length, jsize arrayLength)
{
    jclass type = env->FindClass("java/lang/ArrayIndexOutOfBoundsException");
    if (!type)
        return;
    char message[96];
    snprintf(message, sizeof message, "offset %lld, length %lld out of bounds for length %ld",
             static_cast<long long>(offset), static_cast<long long>(length), static_cast<long>(arrayLength));
    env->ThrowNew(type, message);
    env->DeleteLocalRef(type);
}

}  // namespace pallux
