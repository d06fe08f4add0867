// jvm.dll of the emulated machine's Java runtime: the JNI invocation entry points of the host's
// OpenJDK, with the Windows-form paths of the start-up options put into POSIX form, as a
// Windows runtime would read them.
#include "machine/injected_faults.h"
#include "machine/machine.h"
#include "machine/paths.h"
#include "machine/text.h"

#include <jni.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using CreateJavaVM = jint(JNICALL *)(JavaVM **, void **, void *);
using GetDefaultJavaVMInitArgs = jint(JNICALL *)(void *);
using GetCreatedJavaVMs = jint(JNICALL *)(JavaVM **, jsize, jsize *);

struct HostJvm {
    CreateJavaVM create = nullptr;
    GetDefaultJavaVMInitArgs defaults = nullptr;
    GetCreatedJavaVMs created = nullptr;
};

template <typename Function>
Function symbol(void *library, const char *name)
{
    return reinterpret_cast<Function>(dlsym(library, name));
}

const HostJvm &hostJvm()
{
    static const HostJvm jvm = [] {
        HostJvm found;
        // The runtime's own libraries are found relative to libjvm.so, which must be global for
        // them as the java launcher makes it.
        void *library = dlopen(WINSIM_HOST_LIBJVM, RTLD_NOW | RTLD_GLOBAL);
        if (!library) {
            fprintf(stderr, "jvm.dll: cannot load %s: %s\n", WINSIM_HOST_LIBJVM, dlerror());
            return found;
        }
        found.create = symbol<CreateJavaVM>(library, "JNI_CreateJavaVM");
        found.defaults = symbol<GetDefaultJavaVMInitArgs>(library, "JNI_GetDefaultJavaVMInitArgs");
        found.created = symbol<GetCreatedJavaVMs>(library, "JNI_GetCreatedJavaVMs");
        return found;
    }();
    return jvm;
}

bool startsWith(const std::string &text, const char *prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

// A ";"-separated list of Windows paths as a ":"-separated list of POSIX paths; empty entries
// are dropped, and an entry that names no valid path is passed on as written.
std::string posixPathList(const std::string &windowsList)
{
    std::string out;
    size_t start = 0;
    while (start <= windowsList.size()) {
        size_t end = windowsList.find(';', start);
        if (end == std::string::npos)
            end = windowsList.size();
        std::string entry = windowsList.substr(start, end - start);
        if (!entry.empty()) {
            winsim::MappedPath mapped;
            std::string posix =
                winsim::mapWindowsPath(winsim::toUtf16(entry), mapped) == 0 ? mapped.posix : entry;
            if (!out.empty())
                out += ':';
            out += posix;
        }
        start = end + 1;
    }
    return out;
}

std::string translateOption(const std::string &option)
{
    static const char *const kPathLists[] = {"-Djava.class.path=", "-Djava.library.path="};
    for (const char *prefix : kPathLists)
        if (startsWith(option, prefix))
            return prefix + posixPathList(option.substr(strlen(prefix)));
    return option;
}

// The start-up record as the program gave it, appended to the file that the machine setting
// "jvm.record-startup" names (a host path), so that tests see exactly what a program asked for.
void recordStartup(const JavaVMInitArgs &given)
{
    std::string file = winsim::machineSetting("jvm.record-startup", "");
    if (file.empty())
        return;
    FILE *out = fopen(file.c_str(), "a");
    if (!out)
        return;
    fprintf(out, "version 0x%x options %d ignoreUnrecognized %d\n", static_cast<unsigned>(given.version),
            static_cast<int>(given.nOptions), given.ignoreUnrecognized ? 1 : 0);
    for (jint i = 0; i < given.nOptions; ++i)
        fprintf(out, "option %s%s\n", given.options[i].optionString ? given.options[i].optionString : "(null)",
                given.options[i].extraInfo ? " (with extra information)" : "");
    fclose(out);
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL JNI_GetDefaultJavaVMInitArgs(void *args)
{
    const HostJvm &jvm = hostJvm();
    return jvm.defaults ? jvm.defaults(args) : JNI_ERR;
}

JNIEXPORT jint JNICALL JNI_GetCreatedJavaVMs(JavaVM **vms, jsize size, jsize *count)
{
    const HostJvm &jvm = hostJvm();
    return jvm.created ? jvm.created(vms, size, count) : JNI_ERR;
}

JNIEXPORT jint JNICALL JNI_CreateJavaVM(JavaVM **vm, void **env, void *args)
{
    const HostJvm &jvm = hostJvm();
    if (!jvm.create || !args)
        return JNI_ERR;
    if (auto failure = winsim::injectedFailure("JNI_CreateJavaVM"))
        return static_cast<jint>(*failure);
    const auto *given = static_cast<const JavaVMInitArgs *>(args);
    recordStartup(*given);
    std::vector<std::string> texts;
    bool encodingGiven = false;
    for (jint i = 0; i < given->nOptions; ++i) {
        std::string option = given->options[i].optionString ? given->options[i].optionString : "";
        encodingGiven = encodingGiven || startsWith(option, "-Dfile.encoding=");
        texts.push_back(translateOption(option));
    }
    // A Windows runtime decodes bytes in the ANSI code page by default; this machine's is UTF-8.
    if (!encodingGiven)
        texts.push_back("-Dfile.encoding=UTF-8");
    std::vector<JavaVMOption> options(texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        options[i].optionString = texts[i].data();
        options[i].extraInfo = i < static_cast<size_t>(given->nOptions) ? given->options[i].extraInfo : nullptr;
    }
    JavaVMInitArgs translated = *given;
    translated.nOptions = static_cast<jint>(options.size());
    translated.options = options.data();
    return jvm.create(vm, env, &translated);
}

}  // extern "C"
