// Natives of com.pemrix.comutil.IDispatch: calls on one automation object by member name, and
// its release.
#include "automation.h"

#include "../common/class_cache.h"
#include "../common/live_objects.h"
#include "../common/strings.h"

#include <windows.h>
#include <ole2.h>

#include <jni.h>

#include <cstring>
#include <new>

using namespace pallux;

namespace {

enum InvokeType : jint { kMethod = 0, kPropertyPut = 1, kPropertyGet = 2 };

// The arguments of one call, cleared and freed whatever the outcome.
class ArgumentVector {
public:
    explicit ArgumentVector(size_t count) : count_(count), values_(count ? new (std::nothrow) VARIANT[count] : nullptr)
    {
        for (size_t i = 0; values_ && i < count_; ++i)
            VariantInit(&values_[i]);
    }
    ~ArgumentVector()
    {
        for (size_t i = 0; values_ && i < count_; ++i)
            VariantClear(&values_[i]);
        delete[] values_;
    }
    ArgumentVector(const ArgumentVector &) = delete;
    ArgumentVector &operator=(const ArgumentVector &) = delete;

    bool allocated() const { return values_ || count_ == 0; }
    VARIANT *data() { return values_; }

private:
    size_t count_;
    VARIANT *values_;
};

// The strings a server put into the exception information.
class ExceptionInfo {
public:
    ExceptionInfo() { memset(&info_, 0, sizeof info_); }
    ~ExceptionInfo()
    {
        SysFreeString(info_.bstrSource);
        SysFreeString(info_.bstrDescription);
        SysFreeString(info_.bstrHelpFile);
    }
    ExceptionInfo(const ExceptionInfo &) = delete;
    ExceptionInfo &operator=(const ExceptionInfo &) = delete;
    EXCEPINFO *get() { return &info_; }

private:
    EXCEPINFO info_;
};

const char *invokeFailureMessage(HRESULT result)
{
    switch (static_cast<DWORD>(result)) {
    case 0x80020001: return "Unknown interface";
    case 0x80020003: return "The requested member does not exist";
    case 0x80020004: return "Parameter not found";
    case 0x80020005: return "Argument type mismatch";
    case 0x80020008: return "Bad variant type";
    case 0x80020009: return "Exception raised by com object";
    case 0x8002000A: return "Argument type overflow";
    case 0x8002000C: return "Unknown LCID";
    case 0x8002000E: return "Incorrect method arguments";
    case 0x8002000F: return "A required parameter was omitted";
    default: return "Invoke failed";
    }
}

void raiseException(JNIEnv *env, const char *message)
{
    raise(env, classCache.exception, "java/lang/Exception", message);
}

// Steps shared by invoke and invokeVoid: the object behind the handle and the member's
// dispatch identifier. False after raising.
bool findMember(JNIEnv *env, jlong handle, jstring name, IDispatch *&dispatch, DISPID &member)
{
    if (handle == 0 || !name) {
        raise(env, classCache.nullPointerException, "java/lang/NullPointerException", nullptr);
        return false;
    }
    DispatchCell *cell = dispatchCellOf(env, handle);
    if (!cell)
        return false;
    // A VT_DISPATCH result may have held no object; there is nothing to call.
    if (!cell->dispatch) {
        raise(env, classCache.nullPointerException, "java/lang/NullPointerException", nullptr);
        return false;
    }
    dispatch = cell->dispatch;
    HeapPtr<WCHAR> wide(javaStringToWide(env, name));
    if (!wide)
        return false;
    LPOLESTR names[] = {wide.get()};
    HRESULT found = dispatch->GetIDsOfNames(kIidNull, names, 1, kSystemDefaultLocale, &member);
    if (found != S_OK) {
        raiseException(env, found == DISP_E_UNKNOWNNAME ? "Unknown method" : "Invoke failed");
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

JNIEXPORT jobject JNICALL Java_com_pemrix_comutil_IDispatch_invoke(JNIEnv *env, jclass, jlong handle, jstring name,
                                                                   jobjectArray arguments, jint type)
{
    IDispatch *dispatch = nullptr;
    DISPID member = DISPID_UNKNOWN;
    if (!findMember(env, handle, name, dispatch, member))
        return nullptr;

    const jsize count = arguments ? env->GetArrayLength(arguments) : 0;
    ArgumentVector vector(static_cast<size_t>(count));
    if (!vector.allocated()) {
        raise(env, classCache.outOfMemoryError, "java/lang/OutOfMemoryError", "");
        return nullptr;
    }
    // The last Java argument becomes the first VARIANT, the order IDispatch::Invoke expects.
    for (jsize i = 0; i < count; ++i) {
        jobject argument = env->GetObjectArrayElement(arguments, i);
        if (env->ExceptionCheck())
            return nullptr;
        bool converted = javaToVariant(env, argument, &vector.data()[count - 1 - i]);
        if (argument)
            env->DeleteLocalRef(argument);
        if (!converted)
            break;
    }
    if (env->ExceptionCheck())
        return nullptr;

    WORD flags;
    switch (type) {
    case kMethod: flags = DISPATCH_METHOD; break;
    case kPropertyPut: flags = DISPATCH_PROPERTYPUT; break;
    case kPropertyGet: flags = DISPATCH_PROPERTYGET; break;
    default:
        raiseException(env, "Invalid COM Invoke type");
        return nullptr;
    }
    DISPID propertyPut = DISPID_PROPERTYPUT;
    DISPPARAMS parameters = {vector.data(), nullptr, static_cast<UINT>(count), 0};
    if (type == kPropertyPut && count >= 1) {
        // The value to write is the last Java argument, the first VARIANT.
        parameters.rgdispidNamedArgs = &propertyPut;
        parameters.cNamedArgs = 1;
    }
    VARIANT result;
    VariantInit(&result);
    ExceptionInfo exception;
    UINT argumentError = 0;
    HRESULT called = dispatch->Invoke(member, kIidNull, kSystemDefaultLocale, flags, &parameters, &result,
                                      exception.get(), &argumentError);
    if (called != S_OK) {
        VariantClear(&result);
        raiseException(env, invokeFailureMessage(called));
        return nullptr;
    }
    return variantToJava(env, &result);
}

JNIEXPORT void JNICALL Java_com_pemrix_comutil_IDispatch_invokeVoid(JNIEnv *env, jclass, jlong handle, jstring name)
{
    IDispatch *dispatch = nullptr;
    DISPID member = DISPID_UNKNOWN;
    if (!findMember(env, handle, name, dispatch, member))
        return;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    HRESULT called = dispatch->Invoke(member, kIidNull, kSystemDefaultLocale, DISPATCH_METHOD, &none, nullptr,
                                      nullptr, nullptr);
    if (called == S_OK)
        return;
    raiseException(env, called == DISP_E_PARAMNOTFOUND   ? "Parameter not found"
                        : called == DISP_E_BADPARAMCOUNT ? "Incorrect method arguments"
                                                         : "Invoke failed");
}

JNIEXPORT void JNICALL Java_com_pemrix_comutil_IDispatch_release(JNIEnv *env, jclass, jlong handle)
{
    if (handle == 0) {
        raise(env, classCache.nullPointerException, "java/lang/NullPointerException", nullptr);
        return;
    }
    auto *cell = reinterpret_cast<DispatchCell *>(static_cast<intptr_t>(handle));
    // Taken out of the table first, so a second release of the same handle is refused.
    if (!liveObjects().remove(cell, ObjectKind::dispatchCell)) {
        raise(env, nullptr, "java/lang/IllegalArgumentException", "not a live IDispatch handle");
        return;
    }
    if (cell->dispatch)
        cell->dispatch->Release();
    delete cell;
}

}  // extern "C"
