/* Machine-dependent part of the JNI headers for 64-bit Windows builds.
 * The JDK on our build machines is the Linux one; its jni.h is shared by every platform and
 * includes this file for the Windows calling convention and the width of jint and jlong. */
#ifndef JNI_MD_WIN32_H
#define JNI_MD_WIN32_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif
