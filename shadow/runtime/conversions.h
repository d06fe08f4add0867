// Strings, identifiers and native objects on their way between Java and the service.
#pragma once

#include <windows.h>
#include <vss.h>

#include <jni.h>

#include <cstdlib>
#include <memory>

namespace shadelink {

class ComObjectHolder;

// A NUL-terminated UTF-16 string on the library's heap.
struct HeapDeleter {
    void operator()(WCHAR *text) const { free(text); }
};
using OwnedString = std::unique_ptr<WCHAR[], HeapDeleter>;

// An owned copy of a BSTR that the service returned ("" for a null one); frees the BSTR.
// Throws VssError "bad allocation" when the heap is out (the BSTR is freed all the same).
OwnedString copyBstr(BSTR text);

// The BSTR that a call handed back, as an owned copy once the call's result is checked; a BSTR
// that came with a failure is freed before VssError is thrown.
OwnedString checkedBstr(HRESULT result, BSTR text);

// A Java string of an owned string, up to its first NUL; null with the VM's error pending when
// NewString fails.
jstring newJavaString(JNIEnv *env, const WCHAR *text);

// Copies a Java string into a buffer of `capacity` units. Returns 1, or 0 after raising
// java.lang.Exception "not enough space in C string" (or with the VM's error pending).
int copyStringToBuffer(JNIEnv *env, WCHAR *buffer, jstring string, jsize capacity);

// The 16 bytes of a Java identifier array into a VSS_ID. Returns false with an exception
// pending: NullPointerException "" for a null array, the VM's bounds error for a short one.
bool readGuid(JNIEnv *env, jbyteArray array, VSS_ID &id);

// A new 16-byte Java array holding the identifier; null with the VM's error pending.
jbyteArray newGuidArray(JNIEnv *env, const VSS_ID &id);

// A new Java object of a cached class built around a native object with its "(J)V"
// constructor. When the object cannot be made, the native object is deleted (Java never saw
// it) and null is returned with the VM's error pending.
jobject wrapNative(JNIEnv *env, jclass type, jmethodID constructor, ComObjectHolder *object);

// The characters of a Java string lent for one service call (GetStringChars, which gives them
// with a terminating NUL), given back when this goes out of scope.
class JavaChars {
public:
    JavaChars(JNIEnv *env, jstring string);
    ~JavaChars();
    JavaChars(const JavaChars &) = delete;
    JavaChars &operator=(const JavaChars &) = delete;
    // Null for a null string, when the VM could not lend the characters, or when an exception
    // was already pending (nothing is borrowed then).
    const WCHAR *get() const { return reinterpret_cast<const WCHAR *>(chars_); }

private:
    JNIEnv *env_;
    jstring string_;
    const jchar *chars_;
};

// A BSTR that the library made, freed when this goes out of scope.
class Bstr {
public:
    explicit Bstr(const WCHAR *text) : bstr_(SysAllocString(text)) {}
    ~Bstr() { SysFreeString(bstr_); }
    Bstr(const Bstr &) = delete;
    Bstr &operator=(const Bstr &) = delete;
    BSTR get() const { return bstr_; }

private:
    BSTR bstr_;
};

// A BSTR that the service hands back through an out-pointer, freed unless taken.
class ReturnedBstr {
public:
    ReturnedBstr() = default;
    ~ReturnedBstr() { SysFreeString(bstr_); }
    ReturnedBstr(const ReturnedBstr &) = delete;
    ReturnedBstr &operator=(const ReturnedBstr &) = delete;
    BSTR *out() { return &bstr_; }
    BSTR take()
    {
        BSTR taken = bstr_;
        bstr_ = nullptr;
        return taken;
    }

private:
    BSTR bstr_ = nullptr;
};

// A COM reference owned for the length of a scope.
template <typename Interface>
class ComRef {
public:
    ComRef() = default;
    explicit ComRef(Interface *adopted) : pointer_(adopted) {}
    ~ComRef()
    {
        if (pointer_)
            pointer_->Release();
    }
    ComRef(const ComRef &) = delete;
    ComRef &operator=(const ComRef &) = delete;
    Interface **out() { return &pointer_; }
    Interface *get() const { return pointer_; }
    Interface *operator->() const { return pointer_; }
    // Hands the reference over to a new owner.
    Interface *release()
    {
        Interface *pointer = pointer_;
        pointer_ = nullptr;
        return pointer;
    }

private:
    Interface *pointer_ = nullptr;
};

// An owned string allocated with room for `units` UTF-16 units; throws VssError "bad allocation".
OwnedString allocateString(size_t units);

}  // namespace shadelink
