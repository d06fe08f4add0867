// Natives that misbehave on purpose, each in one way the JNI checker (-Xcheck:jni) reports, so
// that the test gate can be shown to fail a run that holds such a report.
#include <jni.h>

extern "C" {

// Calls another JNI function while an array is pinned as a critical region.
JNIEXPORT jint JNICALL Java_com_pemrix_testsupport_gate_JniGateProbe_insideCriticalRegion(JNIEnv *env, jclass,
                                                                                          jbyteArray array)
{
    void *pinned = env->GetPrimitiveArrayCritical(array, nullptr);
    if (!pinned)
        return -1;
    jint length = env->GetArrayLength(array);
    env->ReleasePrimitiveArrayCritical(array, pinned, JNI_ABORT);
    return length;
}

// Calls a JNI function while an exception is pending.
JNIEXPORT void JNICALL Java_com_pemrix_testsupport_gate_JniGateProbe_withExceptionPending(JNIEnv *env, jclass)
{
    jclass error = env->FindClass("java/lang/IllegalStateException");
    if (!error)
        return;
    env->ThrowNew(error, "raised by the probe");
    env->GetObjectClass(error);
}

// Makes more local references than a native frame is given, without asking for room.
JNIEXPORT jint JNICALL Java_com_pemrix_testsupport_gate_JniGateProbe_tooManyLocalReferences(JNIEnv *env, jclass)
{
    jint made = 0;
    for (int i = 0; i < 64; ++i)
        made += env->NewStringUTF("probe") != nullptr;
    return made;
}

// Does what a well-behaved native does: the run stays clean.
JNIEXPORT jint JNICALL Java_com_pemrix_testsupport_gate_JniGateProbe_wellBehaved(JNIEnv *env, jclass,
                                                                                 jbyteArray array)
{
    jint length = env->GetArrayLength(array);
    void *pinned = env->GetPrimitiveArrayCritical(array, nullptr);
    if (pinned)
        env->ReleasePrimitiveArrayCritical(array, pinned, JNI_ABORT);
    return length;
}

}  // extern "C"
