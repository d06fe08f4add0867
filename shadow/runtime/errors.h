// How failures of the shadow copy service reach Java: every result goes through checkResult,
// which throws a VssError carrying the message for the result; the native boundary catches it
// and raises com.pemrix.vss.VssException with that message.
#pragma once

#include <windows.h>

#include <jni.h>

#include <new>

namespace shadelink {

class VssError {
public:
    explicit VssError(const char *message) : message_(message) {}
    const char *message() const { return message_; }

private:
    const char *message_;
};

// The message for a result of the service or of COM.
const char *resultMessage(HRESULT result);

// Returns for S_OK, throws VssError for anything else (other success codes included).
void checkResult(HRESULT result);

// Raises VssException, unless an exception is already pending (which is never replaced).
void throwVssException(JNIEnv *env, const char *message);

// Raises NullPointerException with a message ("" when not given).
void throwNullPointer(JNIEnv *env, const char *message = "");

// Runs a native's work; a VssError (or exhausted heap) that leaves it becomes a pending
// VssException, and the native returns `failure`. The work's own objects (Java string and array
// borrows, COM references, copies) are given back as it unwinds.
template <typename Result, typename Work>
Result nativeBoundary(JNIEnv *env, Result failure, Work work)
{
    try {
        return work();
    } catch (const VssError &error) {
        throwVssException(env, error.message());
    } catch (const std::bad_alloc &) {
        throwVssException(env, "bad allocation");
    }
    return failure;
}

template <typename Work>
void nativeBoundary(JNIEnv *env, Work work)
{
    try {
        work();
    } catch (const VssError &error) {
        throwVssException(env, error.message());
    } catch (const std::bad_alloc &) {
        throwVssException(env, "bad allocation");
    }
}

// A service call that answers a count, run inside the native boundary: the count, or 0 after
// raising. `call` takes the address of the count and returns the call's result.
template <typename Call>
jint serviceCount(JNIEnv *env, Call call)
{
    return nativeBoundary(env, jint(0), [&] {
        UINT count = 0;
        checkResult(call(&count));
        return static_cast<jint>(count);
    });
}

}  // namespace shadelink
