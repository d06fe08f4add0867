// A jvm.dll for checking the service host under Wine: it starts no virtual machine, but answers
// the invocation interface and the JNI functions that a host calls, and records each call, one
// line each, in jvm-calls.txt beside itself:
//
//   JNI_CreateJavaVM version=<hex> ignoreUnrecognized=<0|1> options=<n> thread=<id>
//   option <text>
//   FindClass <name>
//   GetMethodID|GetStaticMethodID <class> <name> <signature>
//   CallStaticVoidMethod <class> <name> thread=<id> [argument <text>]...
//   GetEnv version=<hex> thread=<id> -> <result>
//   DestroyJavaVM thread=<id>
//   unexpected JNI function <index>             (and the process ends)
//
// Strings made with String(byte[]) keep their bytes; the "argument" lines of main give them.
#define _JNI_IMPLEMENTATION_  // jni.h then declares the invocation functions exported
#include <windows.h>

#include <jni.h>

#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

std::mutex lock;
HMODULE self = nullptr;
DWORD creatorThread = 0;

void record(const std::string &line)
{
    std::lock_guard<std::mutex> guard(lock);
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    std::string file(path, length);
    file = file.substr(0, file.find_last_of('\\') + 1) + "jvm-calls.txt";
    if (FILE *out = fopen(file.c_str(), "ab")) {
        fprintf(out, "%s\n", line.c_str());
        fclose(out);
    }
}

std::string format(const char *pattern, ...)
{
    char text[1024];
    va_list arguments;
    va_start(arguments, pattern);
    vsnprintf(text, sizeof text, pattern, arguments);
    va_end(arguments);
    return text;
}

// The objects that the host sees: classes, byte and object arrays, strings. They live as long as
// the process; a host makes a handful.
struct Object {
    std::string text;  // a class's name, a string's bytes
    std::vector<jobject> elements;
};

struct Method {
    std::string className;
    std::string name;
};

std::deque<Object> objects;
std::deque<Method> methods;

jobject newObject(std::string text = {})
{
    std::lock_guard<std::mutex> guard(lock);
    objects.push_back(Object{std::move(text), {}});
    return reinterpret_cast<jobject>(&objects.back());
}

Object *objectOf(jobject handle)
{
    return reinterpret_cast<Object *>(handle);
}

jmethodID newMethod(jclass clazz, const char *name)
{
    std::lock_guard<std::mutex> guard(lock);
    methods.push_back(Method{clazz ? objectOf(clazz)->text : std::string(), name ? name : ""});
    return reinterpret_cast<jmethodID>(&methods.back());
}

jclass JNICALL findClass(JNIEnv *, const char *name)
{
    record(format("FindClass %s", name));
    return static_cast<jclass>(newObject(name));
}

jmethodID JNICALL getMethodID(JNIEnv *, jclass clazz, const char *name, const char *signature)
{
    record(format("GetMethodID %s %s %s", objectOf(clazz)->text.c_str(), name, signature));
    return newMethod(clazz, name);
}

jmethodID JNICALL getStaticMethodID(JNIEnv *, jclass clazz, const char *name, const char *signature)
{
    record(format("GetStaticMethodID %s %s %s", objectOf(clazz)->text.c_str(), name, signature));
    return newMethod(clazz, name);
}

jbyteArray JNICALL newByteArray(JNIEnv *, jsize length)
{
    jobject array = newObject();
    objectOf(array)->text.assign(static_cast<size_t>(length), '\0');
    return static_cast<jbyteArray>(array);
}

void JNICALL setByteArrayRegion(JNIEnv *, jbyteArray array, jsize start, jsize length, const jbyte *bytes)
{
    objectOf(array)->text.replace(static_cast<size_t>(start), static_cast<size_t>(length),
                                  reinterpret_cast<const char *>(bytes), static_cast<size_t>(length));
}

// Only String(byte[]) is asked for: the new string keeps the array's bytes.
jobject JNICALL newStringV(JNIEnv *, jclass, jmethodID, va_list arguments)
{
    jobject bytes = va_arg(arguments, jobject);
    return newObject(bytes ? objectOf(bytes)->text : std::string());
}

jobject JNICALL newString(JNIEnv *env, jclass clazz, jmethodID constructor, ...)
{
    va_list arguments;
    va_start(arguments, constructor);
    jobject made = newStringV(env, clazz, constructor, arguments);
    va_end(arguments);
    return made;
}

jobjectArray JNICALL newObjectArray(JNIEnv *, jsize length, jclass, jobject initial)
{
    jobject array = newObject();
    objectOf(array)->elements.assign(static_cast<size_t>(length), initial);
    return static_cast<jobjectArray>(array);
}

void JNICALL setObjectArrayElement(JNIEnv *, jobjectArray array, jsize index, jobject value)
{
    objectOf(array)->elements.at(static_cast<size_t>(index)) = value;
}

void JNICALL callStaticVoidMethodV(JNIEnv *, jclass, jmethodID method, va_list arguments)
{
    const Method *called = reinterpret_cast<const Method *>(method);
    std::string line =
        format("CallStaticVoidMethod %s %s thread=%lu", called->className.c_str(), called->name.c_str(),
               static_cast<unsigned long>(GetCurrentThreadId()));
    if (called->name == "main") {
        jobject array = va_arg(arguments, jobject);
        if (array)
            for (jobject element : objectOf(array)->elements)
                line += " argument " + (element ? objectOf(element)->text : std::string("(null)"));
    }
    record(line);
}

void JNICALL callStaticVoidMethod(JNIEnv *env, jclass clazz, jmethodID method, ...)
{
    va_list arguments;
    va_start(arguments, method);
    callStaticVoidMethodV(env, clazz, method, arguments);
    va_end(arguments);
}

jboolean JNICALL exceptionCheck(JNIEnv *)
{
    return JNI_FALSE;
}

jthrowable JNICALL exceptionOccurred(JNIEnv *)
{
    return nullptr;
}

void JNICALL exceptionDescribe(JNIEnv *)
{
    record("ExceptionDescribe");
}

void JNICALL deleteLocalRef(JNIEnv *, jobject) {}

// Every other slot of the function table: a call to one of them is a function that the host was
// not expected to call.
template <size_t Index>
void JNICALL unexpectedFunction()
{
    record(format("unexpected JNI function %u", static_cast<unsigned>(Index)));
    ExitProcess(99);
}

template <size_t... Index>
void fillUnexpected(void **slots, std::index_sequence<Index...>)
{
    ((slots[Index] = reinterpret_cast<void *>(&unexpectedFunction<Index>)), ...);
}

JNINativeInterface_ functions;
JNIEnv environment;
JNIInvokeInterface_ invocation;
JavaVM machine;

jint JNICALL destroyJavaVM(JavaVM *)
{
    record(format("DestroyJavaVM thread=%lu", static_cast<unsigned long>(GetCurrentThreadId())));
    return JNI_OK;
}

jint JNICALL getEnv(JavaVM *, void **env, jint version)
{
    // The virtual machine is attached to the thread that created it, and to no other.
    const bool attached = GetCurrentThreadId() == creatorThread;
    record(format("GetEnv version=%x thread=%lu -> %s", static_cast<unsigned>(version),
                  static_cast<unsigned long>(GetCurrentThreadId()), attached ? "JNI_OK" : "JNI_EDETACHED"));
    *env = attached ? &environment : nullptr;
    return attached ? JNI_OK : JNI_EDETACHED;
}

template <size_t... Index>
void fillUnexpectedInvocation(void **slots, std::index_sequence<Index...>)
{
    ((slots[Index] = reinterpret_cast<void *>(&unexpectedFunction<1000 + Index>)), ...);
}

void buildTables()
{
    constexpr size_t kSlots = sizeof(JNINativeInterface_) / sizeof(void *);
    fillUnexpected(reinterpret_cast<void **>(&functions), std::make_index_sequence<kSlots>());
    functions.FindClass = findClass;
    functions.GetMethodID = getMethodID;
    functions.GetStaticMethodID = getStaticMethodID;
    functions.NewByteArray = newByteArray;
    functions.SetByteArrayRegion = setByteArrayRegion;
    functions.NewObject = newString;
    functions.NewObjectV = newStringV;
    functions.NewObjectArray = newObjectArray;
    functions.SetObjectArrayElement = setObjectArrayElement;
    functions.CallStaticVoidMethod = callStaticVoidMethod;
    functions.CallStaticVoidMethodV = callStaticVoidMethodV;
    functions.ExceptionCheck = exceptionCheck;
    functions.ExceptionOccurred = exceptionOccurred;
    functions.ExceptionDescribe = exceptionDescribe;
    functions.DeleteLocalRef = deleteLocalRef;
    environment.functions = &functions;

    constexpr size_t kInvocationSlots = sizeof(JNIInvokeInterface_) / sizeof(void *);
    fillUnexpectedInvocation(reinterpret_cast<void **>(&invocation), std::make_index_sequence<kInvocationSlots>());
    invocation.DestroyJavaVM = destroyJavaVM;
    invocation.GetEnv = getEnv;
    machine.functions = &invocation;
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL JNI_GetDefaultJavaVMInitArgs(void *arguments)
{
    record("JNI_GetDefaultJavaVMInitArgs");
    static_cast<JavaVMInitArgs *>(arguments)->version = JNI_VERSION_1_8;
    return JNI_OK;
}

JNIEXPORT jint JNICALL JNI_CreateJavaVM(JavaVM **vm, void **env, void *arguments)
{
    const auto *startup = static_cast<const JavaVMInitArgs *>(arguments);
    creatorThread = GetCurrentThreadId();
    record(format("JNI_CreateJavaVM version=%x ignoreUnrecognized=%d options=%d thread=%lu",
                  static_cast<unsigned>(startup->version), startup->ignoreUnrecognized ? 1 : 0,
                  static_cast<int>(startup->nOptions), static_cast<unsigned long>(creatorThread)));
    for (jint i = 0; i < startup->nOptions; ++i)
        record(format("option %s", startup->options[i].optionString));
    buildTables();
    *vm = &machine;
    *env = &environment;
    return JNI_OK;
}

JNIEXPORT jint JNICALL JNI_GetCreatedJavaVMs(JavaVM **, jsize, jsize *count)
{
    *count = 0;
    return JNI_OK;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        self = instance;
    return TRUE;
}

}  // extern "C"
