// The COM automation bridge: dispatch cells (the native objects behind Java's IDispatch handles)
// and the conversions between Java objects and VARIANTs.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <jni.h>

namespace pallux {

// The interface identifiers and locale of the bridge's calls, spelled out so that the library
// needs no import library of identifiers.
extern const IID kIidNull;
extern const IID kIidUnknown;
extern const IID kIidDispatch;
constexpr LCID kSystemDefaultLocale = 0x0800;

// What a Java IDispatch handle points at: one interface pointer (null for a VT_DISPATCH result
// that held none) with one reference counted on it. Registered in liveObjects() while alive.
struct DispatchCell {
    IDispatch *dispatch;
};

// The class com.pemrix.comutil.IDispatch, set by COMInterface.init.
extern jclass dispatchClass;

// Raises type (looked up by name when the cache has no entry yet) with the message, which may
// be null for an exception without message.
void raise(JNIEnv *env, jclass type, const char *typeName, const char *message);

// A new Java IDispatch around a new cell that takes over the caller's reference on dispatch
// (which may be null). On failure the reference is released and null returned with an
// exception pending.
jobject wrapDispatch(JNIEnv *env, IDispatch *dispatch);

// The cell of a handle that Java passed back; null after raising (NullPointerException for 0,
// IllegalArgumentException for a handle that is not a live dispatch cell).
DispatchCell *dispatchCellOf(JNIEnv *env, jlong handle);

// One Java argument into an empty VARIANT: a String becomes VT_BSTR, an Integer VT_INT.
// False after raising.
bool javaToVariant(JNIEnv *env, jobject argument, VARIANT *slot);

// A result VARIANT as a Java object; takes ownership of everything in it, which is released
// exactly once whatever happens. Null for VT_EMPTY and VT_NULL, or after raising.
jobject variantToJava(JNIEnv *env, VARIANT *value);

}  // namespace pallux
