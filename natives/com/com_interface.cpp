// Natives of com.pemrix.comutil.COMInterface: COM set-up of the calling thread, and objects
// found running or created by programmatic identifier.
#include "automation.h"

#include "../common/class_cache.h"
#include "../common/strings.h"

#include <windows.h>
#include <ole2.h>

#include <jni.h>

using namespace pallux;

namespace {

constexpr DWORD kCreationContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER;

// The class of a programmatic identifier; false after raising.
bool classOfProgId(JNIEnv *env, jstring progId, CLSID &clsid)
{
    if (!progId) {
        raise(env, classCache.nullPointerException, "java/lang/NullPointerException", nullptr);
        return false;
    }
    HeapPtr<WCHAR> wide(javaStringToWide(env, progId));
    if (!wide)
        return false;
    if (FAILED(CLSIDFromProgID(wide.get(), &clsid))) {
        raise(env, classCache.exception, "java/lang/Exception", "Can't get object clsid from progid");
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_pemrix_comutil_COMInterface_init(JNIEnv *env, jclass)
{
    jclass found = env->FindClass("com/pemrix/comutil/IDispatch");
    if (!found) {
        dispatchClass = nullptr;
        return;
    }
    dispatchClass = static_cast<jclass>(env->NewWeakGlobalRef(found));
    env->DeleteLocalRef(found);
    if (dispatchClass && !classCache.nullPointerException)
        cacheCommonClasses(env);
}

JNIEXPORT jint JNICALL Java_com_pemrix_comutil_COMInterface_COMInit(JNIEnv *, jclass, jint flags)
{
    return static_cast<jint>(CoInitializeEx(nullptr, static_cast<DWORD>(flags)));
}

JNIEXPORT void JNICALL Java_com_pemrix_comutil_COMInterface_COMUnInit(JNIEnv *, jclass)
{
    CoUninitialize();
}

JNIEXPORT jboolean JNICALL Java_com_pemrix_comutil_COMInterface_isActiveObject(JNIEnv *env, jclass, jstring progId)
{
    CLSID clsid;
    if (!classOfProgId(env, progId, clsid))
        return JNI_FALSE;
    IUnknown *running = nullptr;
    HRESULT found = GetActiveObject(clsid, nullptr, &running);
    if (running)
        running->Release();
    return found == S_OK ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jobject JNICALL Java_com_pemrix_comutil_COMInterface_getIDispatch(JNIEnv *env, jclass, jstring progId)
{
    if (!dispatchClass || !env->GetMethodID(dispatchClass, "<init>", "(J)V")) {
        if (!env->ExceptionCheck())
            raise(env, nullptr, "java/lang/IllegalStateException", "COMInterface.init has not run");
        return nullptr;
    }
    CLSID clsid;
    if (!classOfProgId(env, progId, clsid))
        return nullptr;
    IUnknown *object = nullptr;
    if (FAILED(CoCreateInstance(clsid, nullptr, kCreationContext, kIidUnknown, reinterpret_cast<void **>(&object))) ||
        !object) {
        raise(env, classCache.exception, "java/lang/Exception", "Could not create COM object instance");
        return nullptr;
    }
    IDispatch *dispatch = nullptr;
    HRESULT found = object->QueryInterface(kIidDispatch, reinterpret_cast<void **>(&dispatch));
    // The dispatch pointer keeps its own reference.
    object->Release();
    if (FAILED(found) || !dispatch) {
        raise(env, classCache.exception, "java/lang/Exception", "Could not get IDispatch interface from object");
        return nullptr;
    }
    return wrapDispatch(env, dispatch);
}

}  // extern "C"
