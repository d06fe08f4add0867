// qzbackup: the Windows service that runs the Java application in its own process.
#include "java_invoker.h"
#include "properties.h"
#include "service_log.h"

#include <cstdio>
#include <memory>

namespace {

void printUsage()
{
    printf("Invalid arguments\n");
    printf("usage:\n");
    printf("\tqzbackup -[install|remove|debug]\n");
}

// Runs the Java application on this thread without the service control manager, until the
// process is killed.
int runDebug(int argc, char **argv)
{
    openServiceLog();
    std::unique_ptr<JavaInvoker> invoker(setupInvoker());
    if (!invoker)
        return 1;
    if (!invoker->invoke(argc, argv)) {
        printf("Invoker failed\n");
        return 1;
    }
    printf("Service started, press Control-C to exit...\n");
    fflush(stdout);
    for (;;)
        Sleep(1000);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && (argv[1][0] == '-' || argv[1][0] == '/')) {
        std::unique_ptr<ServiceConfig> config(loadServiceConfig());
        std::string command = argv[1] + 1;
        for (char &c : command)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        if (command == "debug")
            return runDebug(argc, argv);
    }
    printUsage();
    return 0;
}
