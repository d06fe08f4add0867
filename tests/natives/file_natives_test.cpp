// The file-information field caches of the enumeration natives, called in this process with
// objects that no Java declaration would let through: a lookup that fails is not remembered,
// and an object of another class never meets the cached identifiers.
#ifdef WITH_JVM

#include "test_jvm.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <jni.h>

#include <string>

namespace {

using FindFirst = jlong (*)(JNIEnv *, jclass, jstring, jobject);
using FindNext = jobject (*)(JNIEnv *, jclass, jlong, jobject);
using FindClose = jint (*)(JNIEnv *, jclass, jlong);

template <typename Function>
Function native(const char *method)
{
    static void *library = dlopen(PALLUX_LIBRARY, RTLD_NOW);
    EXPECT_NE(library, nullptr) << dlerror();
    std::string name = std::string("Java_com_norvane_fileutils_Win32FileNatives_") + method;
    return reinterpret_cast<Function>(library ? dlsym(library, name.c_str()) : nullptr);
}

std::string takeExceptionClass(JNIEnv *env)
{
    jthrowable thrown = env->ExceptionOccurred();
    if (!thrown)
        return "";
    env->ExceptionClear();
    jclass type = env->GetObjectClass(thrown);
    jclass classClass = env->FindClass("java/lang/Class");
    auto name = static_cast<jstring>(
        env->CallObjectMethod(type, env->GetMethodID(classClass, "getName", "()Ljava/lang/String;")));
    if (env->ExceptionCheck() || !name)
        return "<no name>";
    const char *chars = env->GetStringUTFChars(name, nullptr);
    std::string out(chars);
    env->ReleaseStringUTFChars(name, chars);
    return out;
}

}  // namespace

TEST(FileNatives, AFailedFieldLookupIsNotRememberedAndOtherClassesAreKeptApart)
{
    JNIEnv *env = testJvm();
    ASSERT_NE(env, nullptr);
    auto findFirst = native<FindFirst>("nativeFindFirstFile");
    auto findNext = native<FindNext>("nativeFindNextFile");
    auto findClose = native<FindClose>("nativeFindClose");
    ASSERT_TRUE(findFirst && findNext && findClose);

    jclass objectClass = env->FindClass("java/lang/Object");
    jobject plain = env->AllocObject(objectClass);
    jclass infoClass = env->FindClass("com/norvane/fileutils/Win32FileInfo");
    ASSERT_NE(infoClass, nullptr);
    jobject info = env->AllocObject(infoClass);
    jstring pattern = env->NewStringUTF("C:\\*");

    // The first call of each native gets an object without the fields.
    EXPECT_EQ(findFirst(env, objectClass, pattern, plain), 0);
    EXPECT_EQ(takeExceptionClass(env), "java.lang.NoSuchFieldError");
    jlong handle = findFirst(env, objectClass, pattern, info);
    ASSERT_NE(handle, 0);
    EXPECT_EQ(takeExceptionClass(env), "");
    jfieldID filename = env->GetFieldID(infoClass, "filename", "Ljava/lang/String;");
    EXPECT_NE(env->GetObjectField(info, filename), nullptr);

    EXPECT_EQ(findNext(env, objectClass, handle, plain), nullptr);
    EXPECT_EQ(takeExceptionClass(env), "java.lang.NoSuchFieldError");
    EXPECT_TRUE(env->IsSameObject(findNext(env, objectClass, handle, info), info));
    EXPECT_EQ(takeExceptionClass(env), "");

    // With the caches filled, an object of another class is looked at on its own.
    EXPECT_EQ(findNext(env, objectClass, handle, plain), nullptr);
    EXPECT_EQ(takeExceptionClass(env), "java.lang.NoSuchFieldError");
    EXPECT_EQ(findFirst(env, objectClass, pattern, plain), 0);
    EXPECT_EQ(takeExceptionClass(env), "java.lang.NoSuchFieldError");
    EXPECT_NE(findClose(env, objectClass, handle), 0);
}

#endif
