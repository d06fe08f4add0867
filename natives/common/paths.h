// File paths on their way from Java to Windows.
#pragma once

#include "strings.h"

#include <windows.h>

#include <jni.h>

namespace pallux {

// Paths of this many UTF-16 units or more get the long-path prefix.
constexpr size_t kLongPathThreshold = 260;

// The path to hand to Windows for a path of `length` units: the same string when it already
// has the "\\?\" prefix, otherwise a new heap string with "\\?\" (or "\\?\UNC" for a UNC path)
// in front, *copied set. Null, with nothing raised, when the heap is out.
WCHAR *toLongPath(WCHAR *path, size_t length, bool *copied);

// A Java path converted for the wide file functions, prefixed when it is long. Empty after a
// failure (with the conversion's exception pending, if any); frees what it holds.
class NativePath {
public:
    NativePath(JNIEnv *env, jstring path);
    explicit operator bool() const { return path_ != nullptr; }
    WCHAR *get() const { return path_.get(); }

private:
    HeapPtr<WCHAR> path_;
};

}  // namespace pallux
