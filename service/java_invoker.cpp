#include "java_invoker.h"

#include "properties.h"
#include "service_log.h"
#include "win32_handles.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr DWORD kJreHomeSize = 1024;
constexpr int kOptionCount = 4;
constexpr int kMinimumHeapMB = 64;
constexpr const char *kDefaultMainClass = "com.pemrix.vaultcore.service.Start";
constexpr const char *kDefaultClassPath =
    "log4j.jar;nanoxml.jar;xml-rpc.jar;vaultcore.jar;kunststoff.jar;backport-util-concurrent.jar;commons-codec.jar;"
    "jacob.jar";
constexpr const char *kJreKey = "Software\\JavaSoft\\Java Runtime Environment";

struct FreeDeleter {
    void operator()(void *block) const { free(block); }
};

template <typename Function>
Function procAddress(HMODULE module, const char *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

bool fileExists(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The decimal number at the start of text after leading blanks; 0 without digits.
int leadingNumber(const std::string &text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 0x7FFFFFFF)
            return 0x7FFFFFFF;
    }
    return static_cast<int>(value);
}

std::string classPathOf(const std::string &directory, const cpputil::Property *relative)
{
    if (!relative)
        return directory;
    std::string joined;
    const std::string &list = relative->getValue();
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos)
            end = list.size();
        if (end > start) {
            if (!joined.empty())
                joined += ';';
            joined += directory + list.substr(start, end - start);
        }
        start = end + 1;
    }
    return joined;
}

}  // namespace

JavaInvoker::JavaInvoker(const char *mainClass) : mainClassName(mainClass ? mainClass : "")
{
    for (char &c : mainClassName)
        if (c == '.')
            c = '/';
}

JavaInvoker::~JavaInvoker()
{
    if (javaVM)
        javaVM->DestroyJavaVM();
}

bool JavaInvoker::readRegistryString(HKEY key, const char *name, char *buffer, DWORD size)
{
    DWORD type = 0;
    DWORD needed = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &needed) != ERROR_SUCCESS || type != REG_SZ ||
        needed >= size)
        return false;
    DWORD length = size;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &length) != ERROR_SUCCESS ||
        type != REG_SZ || length >= size)
        return false;
    // A value stored without its terminator still reads as a string.
    buffer[length] = '\0';
    return true;
}

bool JavaInvoker::findJreHome(char *buffer, DWORD size)
{
    HKEY rawKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kJreKey, 0, KEY_READ, &rawKey) != ERROR_SUCCESS)
        return false;
    RegistryKey jreKey(rawKey);
    char version[kJreHomeSize];
    if (!readRegistryString(jreKey.get(), "CurrentVersion", version, sizeof version))
        return false;
    vmType = "server";
    static const char *const kVersions[] = {"1.3", "1.4", "1.5", "1.6", "1.7", "1.8", "1.9"};
    bool known = false;
    for (const char *candidate : kVersions) {
        if (strcmp(version, candidate) == 0) {
            known = true;
            if (strcmp(candidate, "1.3") == 0)
                vmType = "hotspot";
            break;
        }
    }
    if (!known)
        return false;
    HKEY rawVersionKey = nullptr;
    if (RegOpenKeyExA(jreKey.get(), version, 0, KEY_READ, &rawVersionKey) != ERROR_SUCCESS)
        return false;
    RegistryKey versionKey(rawVersionKey);
    return readRegistryString(versionKey.get(), "JavaHome", buffer, size);
}

bool JavaInvoker::loadJvm(const char *path)
{
    HMODULE module = LoadLibraryA(path);
    if (!module) {
        printf("Error loading: %s\n", path);
        return false;
    }
    // The library stays loaded for the life of the process, as the virtual machine needs it.
    createJavaVM = procAddress<CreateJavaVMFunction>(module, "JNI_CreateJavaVM");
    auto defaults = procAddress<GetDefaultJavaVMInitArgsFunction>(module, "JNI_GetDefaultJavaVMInitArgs");
    if (!createJavaVM || !defaults) {
        printf("Error: can't find JNI interfaces in: %s\n", path);
        createJavaVM = nullptr;
        return false;
    }
    return true;
}

jstring JavaInvoker::newJavaString(JNIEnv *env, const char *text)
{
    // String(byte[]) decodes with the virtual machine's default charset, the ANSI code page.
    jsize length = static_cast<jsize>(strlen(text));
    jclass stringClass = env->FindClass("java/lang/String");
    if (!stringClass)
        return nullptr;
    jmethodID constructor = env->GetMethodID(stringClass, "<init>", "([B)V");
    jstring result = nullptr;
    jbyteArray bytes = constructor ? env->NewByteArray(length) : nullptr;
    if (bytes) {
        env->SetByteArrayRegion(bytes, 0, length, reinterpret_cast<const jbyte *>(text));
        if (!env->ExceptionCheck())
            result = static_cast<jstring>(env->NewObject(stringClass, constructor, bytes));
        env->DeleteLocalRef(bytes);
    }
    env->DeleteLocalRef(stringClass);
    return result;
}

jobjectArray JavaInvoker::newJavaStringArray(JNIEnv *env, char **argv, int count)
{
    jclass stringClass = env->FindClass("java/lang/String");
    if (!stringClass)
        return nullptr;
    jobjectArray array = env->NewObjectArray(count, stringClass, nullptr);
    env->DeleteLocalRef(stringClass);
    for (int i = 0; array && i < count && !env->ExceptionCheck(); ++i) {
        jstring element = newJavaString(env, argv[i]);
        env->SetObjectArrayElement(array, i, element);
        env->DeleteLocalRef(element);
    }
    return array;
}

bool JavaInvoker::invoke(int argc, char **argv)
{
    const std::string classPathOption = "-Djava.class.path=" + classPath;
    const std::string libraryPathOption = "-Djava.library.path=" + libraryPath;
    char heapOption[32];
    snprintf(heapOption, sizeof heapOption, "-Xmx%dm", maxHeapMB);
    std::unique_ptr<JavaVMOption, FreeDeleter> options(
        static_cast<JavaVMOption *>(malloc(kOptionCount * sizeof(JavaVMOption))));
    if (!options) {
        writeLog("Failed to allocate option memory", LOG_ERROR);
        return false;
    }
    JavaVMOption *option = options.get();
    option[0] = JavaVMOption{const_cast<char *>(classPathOption.c_str()), nullptr};
    option[1] = JavaVMOption{const_cast<char *>(libraryPathOption.c_str()), nullptr};
    option[2] = JavaVMOption{heapOption, nullptr};
    option[3] = JavaVMOption{const_cast<char *>("-Dsun.net.inetaddr.ttl=300"), nullptr};

    if (jvmPath.empty()) {
        std::string home = javaHome;
        if (home.empty()) {
            char found[kJreHomeSize];
            if (!findJreHome(found, sizeof found)) {
                writeLog("Failed get jre home", LOG_ERROR);
                return false;
            }
            home = found;
            javaHome = home;
        }
        jvmPath = home + "\\bin\\" + vmType + "\\jvm.dll";
    }
    if (!loadJvm(jvmPath.c_str())) {
        writeLog("Could not load jvm dll functions", LOG_ERROR);
        printf("Could not load jvm dll functions\n");
        return false;
    }

    JavaVMInitArgs startup;
    startup.version = JNI_VERSION_1_2;
    startup.nOptions = kOptionCount;
    startup.options = options.get();
    startup.ignoreUnrecognized = JNI_TRUE;
    JavaVM *created = nullptr;
    JNIEnv *env = nullptr;
    if (createJavaVM(&created, reinterpret_cast<void **>(&env), &startup) != JNI_OK) {
        writeLog("Could not create java vm", LOG_ERROR);
        printf("Could not create java vm\n");
        return false;
    }
    options.reset();

    mainClassRef = env->FindClass(mainClassName.c_str());
    if (!mainClassRef) {
        writeLog("Exception occurred while searching for main class", LOG_ERROR);
        env->ExceptionDescribe();
        return false;
    }
    jmethodID mainMethod = env->GetStaticMethodID(mainClassRef, "main", "([Ljava/lang/String;)V");
    if (mainMethod) {
        jobjectArray arguments = newJavaStringArray(env, argv, argc);
        // The arguments could not be built when an exception is pending: main is not called.
        if (!env->ExceptionCheck())
            env->CallStaticVoidMethod(mainClassRef, mainMethod, arguments);
        env->DeleteLocalRef(arguments);
    }
    bool result = true;
    if (env->ExceptionOccurred()) {
        writeLog("Exception occurred while invokin main method", LOG_ERROR);
        env->ExceptionDescribe();
        result = false;
    }
    javaVM = created;
    return result;
}

void JavaInvoker::stop()
{
    if (!mainClassRef)
        return;
    JNIEnv *env = nullptr;
    if (!javaVM || javaVM->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_2) != JNI_OK)
        return;
    jmethodID stopMethod = env->GetStaticMethodID(mainClassRef, "Stop", "()V");
    if (stopMethod)
        env->CallStaticVoidMethod(mainClassRef, stopMethod);
    env->ExceptionOccurred();
}

JavaInvoker *setupInvoker()
{
    writeLog("In setupInvoker", LOG_TRACE);
    std::string program;
    if (!programPath(program)) {
        writeLog("Failed to get module file name", LOG_ERROR);
        return nullptr;
    }
    const std::string directory = programDirectory(program);
    cpputil::Properties properties;
    if (properties.load((directory + kPropertiesFileName).c_str()) < 0) {
        writeLog("service.properties file not found, using defaults", LOG_ERROR);
        properties.add(cpputil::Property("working-dir", directory));
        properties.add(cpputil::Property("rel-classpath", kDefaultClassPath));
    }

    const cpputil::Property *workingDir = properties.getProperty("working-dir");
    const std::string workingDirectory = workingDir ? workingDir->getValue() : directory;
    if (!SetCurrentDirectoryA(workingDirectory.c_str())) {
        writeLog("Could not set working dir: " + workingDirectory, LOG_ERROR);
        return nullptr;
    }

    const std::string classPath = classPathOf(directory, properties.getProperty("rel-classpath"));
    const cpputil::Property *mainClass = properties.getProperty("main-class");
    auto invoker = std::make_unique<JavaInvoker>(mainClass ? mainClass->getValue().c_str() : kDefaultMainClass);

    if (const cpputil::Property *jvmDll = properties.getProperty("jvm_dll")) {
        invoker->setJvmPath(jvmDll->getValue().c_str());
    } else if (fileExists(directory + "Java64\\bin\\server\\jvm.dll")) {
        invoker->setJvmPath((directory + "Java64\\bin\\server\\jvm.dll").c_str());
    } else if (fileExists(directory + "Java\\bin\\client\\jvm.dll")) {
        invoker->setJvmPath((directory + "Java\\bin\\client\\jvm.dll").c_str());
    }
    invoker->setClassPath(classPath.c_str());
    invoker->setLibraryPath(directory.c_str());

    if (const cpputil::Property *memory = properties.getProperty("memory")) {
        int megabytes = leadingNumber(memory->getValue());
        if (megabytes > kMinimumHeapMB)
            invoker->setMaxHeapSize(megabytes);
    }
    return invoker.release();
}
