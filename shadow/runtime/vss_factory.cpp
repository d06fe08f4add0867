// Natives of com.pemrix.vss.VSSFactory: start-up, the requester object, and the deletion of
// every native object Java holds. Also the library's entry point.
#include "class_cache.h"
#include "conversions.h"
#include "errors.h"
#include "native_objects.h"

#include <windows.h>
#include <vsbackup.h>

#include <jni.h>

using namespace shadelink;

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}

JNIEXPORT void JNICALL Java_com_pemrix_vss_VSSFactory_init(JNIEnv *env, jclass)
{
    cacheCommonClasses(env);
    // A missing java.lang class leaves its error pending, and no JNI call may follow that.
    if (env->ExceptionCheck())
        return;
    jclass unsatisfiedLink = env->FindClass("java/lang/UnsatisfiedLinkError");
    if (!unsatisfiedLink)
        return;
    // Only proves that the service's library is there; the calls go through the imports.
    HMODULE vssapi = LoadLibraryA("vssapi.dll");
    if (!vssapi) {
        env->ThrowNew(unsatisfiedLink, "vssapi not available");
        env->DeleteLocalRef(unsatisfiedLink);
        return;
    }
    FreeLibrary(vssapi);
    env->DeleteLocalRef(unsatisfiedLink);
    cacheBridgeClasses(env);
}

JNIEXPORT jobject JNICALL Java_com_pemrix_vss_VSSFactory_getBackupComponents0(JNIEnv *env, jclass)
{
    HRESULT initialised = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    auto *object = nativeBoundary(env, static_cast<NativeBackupComponents *>(nullptr), [&] {
        ComRef<IVssBackupComponents> backup;
        checkResult(CreateVssBackupComponents(backup.out()));
        auto *made = new NativeBackupComponents(backup.get(), SUCCEEDED(initialised));
        backup.release();
        return made;
    });
    if (!object) {
        // No object was made whose deletion would undo the initialisation.
        if (SUCCEEDED(initialised))
            CoUninitialize();
        return nullptr;
    }
    return wrapNative(env, classCache.backupComponents, classCache.backupComponentsInit, object);
}

JNIEXPORT void JNICALL Java_com_pemrix_vss_VSSFactory_delete_1CUnknown(JNIEnv *, jclass, jlong handle)
{
    // A handle that is not live (0, deleted already, never made) is left alone.
    deleteNativeObject(handle);
}

}  // extern "C"
