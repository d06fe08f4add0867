// The virtual machine of a natives test process: one per process (the JNI allows no second), made
// by the first test that asks, with the Java declarations on its class path, under -Xcheck:jni.
#pragma once

#ifdef WITH_JVM

#include <jni.h>

#include <string>

inline JNIEnv *testJvm()
{
    static JNIEnv *env = [] {
        static std::string classPath = std::string("-Djava.class.path=") + PALLUX_JAVA_JAR;
        JavaVMOption options[2] = {{const_cast<char *>("-Xcheck:jni"), nullptr},
                                   {const_cast<char *>(classPath.c_str()), nullptr}};
        JavaVMInitArgs args{JNI_VERSION_1_8, 2, options, JNI_FALSE};
        JavaVM *vm = nullptr;
        JNIEnv *created = nullptr;
        if (JNI_CreateJavaVM(&vm, reinterpret_cast<void **>(&created), &args) != JNI_OK)
            return static_cast<JNIEnv *>(nullptr);
        return created;
    }();
    return env;
}

#endif
