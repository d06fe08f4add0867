// Runs the Java application in this process: loads jvm.dll, creates the virtual machine, calls
// the main class's static main and, at the end, its static Stop.
#pragma once

#include <windows.h>

#include <jni.h>

#include <string>

class JavaInvoker {
public:
    // mainClass in dotted form.
    explicit JavaInvoker(const char *mainClass);
    // Destroys the virtual machine, which waits for the application's non-daemon threads.
    virtual ~JavaInvoker();
    JavaInvoker(const JavaInvoker &) = delete;
    JavaInvoker &operator=(const JavaInvoker &) = delete;

    void setClassPath(const char *text) { classPath = text; }
    void setJvmPath(const char *text) { jvmPath = text; }
    void setLibraryPath(const char *text) { libraryPath = text; }
    void setMaxHeapSize(int megabytes) { maxHeapMB = megabytes; }

    // Creates the virtual machine on this thread and runs main(argv) to its return; true when
    // it returned without a pending exception.
    bool invoke(int argc, char **argv);
    // Calls the static Stop; on the thread that ran invoke.
    void stop();

    const std::string &getClassPath() const { return classPath; }
    const std::string &getMainClassName() const { return mainClassName; }
    const std::string &getVmType() const { return vmType; }
    const std::string &getJvmPath() const { return jvmPath; }
    const std::string &getLibraryPath() const { return libraryPath; }
    const std::string &getJavaHome() const { return javaHome; }
    int getMaxHeapSize() const { return maxHeapMB; }
    bool hasJavaVM() const { return javaVM != nullptr; }

    // Finds the runtime's home in HKLM\Software\JavaSoft\Java Runtime Environment and sets
    // vmType from its version.
    bool findJreHome(char *buffer, DWORD size);
    // A REG_SZ value whose size with its terminator is less than size.
    static bool readRegistryString(HKEY key, const char *name, char *buffer, DWORD size);

private:
    using CreateJavaVMFunction = jint(JNICALL *)(JavaVM **, void **, void *);
    using GetDefaultJavaVMInitArgsFunction = jint(JNICALL *)(void *);

    bool loadJvm(const char *path);
    static jstring newJavaString(JNIEnv *env, const char *text);
    static jobjectArray newJavaStringArray(JNIEnv *env, char **argv, int count);

    std::string classPath;
    std::string mainClassName;
    std::string vmType = "client";
    std::string jvmPath;
    std::string libraryPath;
    std::string javaHome;
    jclass mainClassRef = nullptr;
    int maxHeapMB = 256;
    JavaVM *javaVM = nullptr;
    CreateJavaVMFunction createJavaVM = nullptr;
};

// Builds the invoker from service.properties beside the program and makes the working
// directory current; null when the service cannot be set up.
JavaInvoker *setupInvoker();
