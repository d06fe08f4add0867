// Conversions between Java strings and arrays and the native strings of the Windows interfaces.
// Copies live on the C heap and are freed by the native that asked for them (HeapPtr does it).
#pragma once

#include <windows.h>

#include <jni.h>

#include <cstdlib>
#include <memory>

namespace pallux {

struct FreeDeleter {
    void operator()(void *block) const { free(block); }
};
template <typename T>
using HeapPtr = std::unique_ptr<T, FreeDeleter>;

// A NUL-terminated UTF-16 copy (ending in two NUL units), cut at an embedded NUL. Null after
// raising: NullPointerException "" for a null string, OutOfMemoryError "" when the heap is out.
WCHAR *javaStringToWide(JNIEnv *env, jstring string);

// A NUL-terminated copy of the string's modified UTF-8 bytes, for the narrow Windows functions.
// Null after raising: NullPointerException with no message for a null string.
char *javaStringToUtf(JNIEnv *env, jstring string);

// A new String[] of a multi-string (each string NUL-terminated, a further NUL at the end).
jobjectArray multiStringToArray(JNIEnv *env, const WCHAR *list);

// A multi-string of a String[], its size in bytes stored in *byteCount; null elements become
// empty strings. Null for a null array (nothing raised) or after raising.
WCHAR *arrayToMultiString(JNIEnv *env, jobjectArray array, DWORD *byteCount);

}  // namespace pallux
