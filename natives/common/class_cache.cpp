#include "class_cache.h"

namespace pallux {

ClassCache classCache = {};

bool cacheClass(JNIEnv *env, jclass &entry, const char *name)
{
    if (entry)
        return true;
    jclass local = env->FindClass(name);
    if (!local) {
        entry = nullptr;
        return false;
    }
    entry = static_cast<jclass>(env->NewWeakGlobalRef(local));
    env->DeleteLocalRef(local);
    return entry != nullptr;
}

void cacheCommonClasses(JNIEnv *env)
{
    cacheClass(env, classCache.nullPointerException, "java/lang/NullPointerException") &&
        cacheClass(env, classCache.exception, "java/lang/Exception") &&
        cacheClass(env, classCache.string, "java/lang/String") &&
        cacheClass(env, classCache.outOfMemoryError, "java/lang/OutOfMemoryError") &&
        cacheClass(env, classCache.integer, "java/lang/Integer") &&
        cacheClass(env, classCache.boolean, "java/lang/Boolean") && cacheClass(env, classCache.object, "java/lang/Object");
}

}  // namespace pallux
