// A test program built from the service host's parts: installed into a directory of the
// emulated machine (so that its program directory and service.properties are real), it runs
// one step of the service host and prints what came of it.
//
//   qzprobe setup                 setupInvoker, then the invoker's settings
//   qzprobe invoke [args...]      setupInvoker, invoke, stop, destruction (traced log)
//   qzprobe config                loadServiceConfig, then the identity it gave
//   qzprobe log <count> <text>    count error lines "<text> <n>" in the service log
#include "java_invoker.h"
#include "properties.h"
#include "service_log.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

int setup()
{
    std::unique_ptr<JavaInvoker> invoker(setupInvoker());
    if (!invoker) {
        printf("invoker null\n");
        return 0;
    }
    char cwd[PATH_MAX];
    printf("classPath=%s\n", invoker->getClassPath().c_str());
    printf("mainClassName=%s\n", invoker->getMainClassName().c_str());
    printf("jvmPath=%s\n", invoker->getJvmPath().c_str());
    printf("libraryPath=%s\n", invoker->getLibraryPath().c_str());
    printf("maxHeapMB=%d\n", invoker->getMaxHeapSize());
    printf("vmType=%s\n", invoker->getVmType().c_str());
    printf("cwd=%s\n", getcwd(cwd, sizeof cwd) ? cwd : "?");
    return 0;
}

int invoke(int argc, char **argv)
{
    setLogThreshold(LOG_TRACE);
    std::unique_ptr<JavaInvoker> invoker(setupInvoker());
    if (!invoker) {
        printf("invoker null\n");
        return 0;
    }
    bool started = invoker->invoke(argc, argv);
    printf("invoke=%s jvmPath=%s javaHome=%s vmType=%s vm=%s\n", started ? "true" : "false",
           invoker->getJvmPath().c_str(), invoker->getJavaHome().c_str(), invoker->getVmType().c_str(),
           invoker->hasJavaVM() ? "kept" : "none");
    fflush(stdout);
    invoker->stop();
    invoker.reset();
    printf("destroyed\n");
    return 0;
}

int log(int count, const char *text)
{
    for (int i = 0; i < count; ++i)
        writeLog(std::string(text) + " " + std::to_string(i), LOG_ERROR);
    return 0;
}

int config()
{
    std::unique_ptr<ServiceConfig> serviceConfig(loadServiceConfig());
    printf("name=%s\ndisplayName=%s\nlastError=%u\n", serviceConfig->name().c_str(),
           serviceConfig->displayName().c_str(), static_cast<unsigned>(serviceConfig->lastError()));
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    openServiceLog();
    if (argc >= 2 && strcmp(argv[1], "setup") == 0)
        return setup();
    if (argc >= 2 && strcmp(argv[1], "invoke") == 0)
        return invoke(argc - 2, argv + 2);
    if (argc >= 2 && strcmp(argv[1], "config") == 0)
        return config();
    if (argc == 4 && strcmp(argv[1], "log") == 0)
        return log(atoi(argv[2]), argv[3]);
    fprintf(stderr, "usage: qzprobe setup|invoke [args...]|config|log <count> <text>\n");
    return 2;
}
