// Borrowed Java array contents, given back on every path.
#pragma once

#include <jni.h>

namespace pallux {

// GetIntArrayElements / ReleaseIntArrayElements with mode 0 (copy back and free).
class IntArrayElements {
public:
    IntArrayElements(JNIEnv *env, jintArray array) : env_(env), array_(array)
    {
        elements_ = env->GetIntArrayElements(array, nullptr);
    }
    ~IntArrayElements()
    {
        if (elements_)
            env_->ReleaseIntArrayElements(array_, elements_, 0);
    }
    IntArrayElements(const IntArrayElements &) = delete;
    IntArrayElements &operator=(const IntArrayElements &) = delete;
    jint *get() const { return elements_; }

private:
    JNIEnv *env_;
    jintArray array_;
    jint *elements_;
};

// A primitive array pinned as a critical region: no JNI call may be made while it is held.
class CriticalArray {
public:
    CriticalArray(JNIEnv *env, jarray array) : env_(env), array_(array)
    {
        data_ = env->GetPrimitiveArrayCritical(array, nullptr);
    }
    ~CriticalArray() { release(); }
    CriticalArray(const CriticalArray &) = delete;
    CriticalArray &operator=(const CriticalArray &) = delete;
    void *get() const { return data_; }
    void release()
    {
        if (data_)
            env_->ReleasePrimitiveArrayCritical(array_, data_, 0);
        data_ = nullptr;
    }

private:
    JNIEnv *env_;
    jarray array_;
    void *data_;
};

}  // namespace pallux
