// Natives of com.norvane.guinative.Win32Util: finding a top-level window by class and title,
// posting a message to it and showing it, for any window of the desktop (another process's
// too, such as the indicator window of a running instance).
#include "../common/class_cache.h"
#include "../common/strings.h"

#include <windows.h>

#include <jni.h>

using namespace pallux;

namespace {

HWND toWindow(jlong handle)
{
    return reinterpret_cast<HWND>(static_cast<intptr_t>(handle));
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_norvane_guinative_Win32Util_findWindow(JNIEnv *env, jclass, jstring className,
                                                                         jstring title)
{
    if (!classCache.nullPointerException)
        cacheCommonClasses(env);
    if (!title) {
        env->ThrowNew(classCache.nullPointerException, "");
        return 0;
    }
    HeapPtr<char> classText;
    if (className) {
        classText.reset(javaStringToUtf(env, className));
        if (!classText)
            return 0;
    }
    HeapPtr<char> titleText(javaStringToUtf(env, title));
    if (!titleText)
        return 0;
    return static_cast<jlong>(reinterpret_cast<intptr_t>(FindWindowA(classText.get(), titleText.get())));
}

JNIEXPORT jint JNICALL Java_com_norvane_guinative_Win32Util_sendMessage(JNIEnv *, jclass, jlong window,
                                                                         jint message, jint first, jlong second)
{
    return PostMessageA(toWindow(window), static_cast<UINT>(message), static_cast<WPARAM>(static_cast<INT_PTR>(first)),
                        static_cast<LPARAM>(second));
}

JNIEXPORT jint JNICALL Java_com_norvane_guinative_Win32Util_showWindow(JNIEnv *, jclass, jlong window, jint command)
{
    return ShowWindow(toWindow(window), command);
}

}  // extern "C"
