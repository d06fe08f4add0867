// Windows failures as Java exceptions, with the system's text of the error code.
#pragma once

#include <windows.h>

#include <jni.h>

#include <memory>

namespace pallux {

struct LocalFreeDeleter {
    void operator()(char *text) const { LocalFree(text); }
};
using LocalText = std::unique_ptr<char, LocalFreeDeleter>;

// The system message of an error code without its trailing CR LF, or "no error message";
// never null.
LocalText systemMessageText(DWORD code);

// Raises `type` with the code's system text; the exception stays pending for the native's return.
void throwSystemError(JNIEnv *env, jclass type, DWORD code);

// Raises com.pemrix.util.ErrorCodeException carrying the system text and the code.
void throwErrorCodeException(JNIEnv *env, DWORD code);

// Raises java.lang.ArrayIndexOutOfBoundsException for a region outside a Java array.
void throwRegionOutOfBounds(JNIEnv *env, jlong offset, jlong length, jsize arrayLength);

// True when [offset, offset + length) lies within an array of arrayLength elements.
inline bool regionFits(jint offset, jint length, jsize arrayLength)
{
    return offset >= 0 && length >= 0 && offset <= arrayLength - length;
}

}  // namespace pallux
