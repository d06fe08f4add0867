// qzbackup: the Windows service that runs the Java application in its own process.
//
//   qzbackup -install | -remove | -debug | -start | -nostalgia   (or with "/"; any case)
#include "install.h"
#include "properties.h"
#include "service_host.h"

#include <cstdio>
#include <memory>

namespace {

void printUsage()
{
    printf("Invalid arguments\n");
    printf("usage:\n");
    printf("\tqzbackup -[install|remove|debug]\n");
}

void printVerse()
{
    printf("I kept my only copy on a disk,\n"
           "and never thought that it could be a risk;\n"
           "a second copy seemed a waste of space,\n"
           "so all my work had just the one safe place.\n"
           "\n"
           "Then came a click, a grinding, then a sigh,\n"
           "the folders that I cherished said goodbye;\n"
           "my thesis, photos, letters, every tune,\n"
           "are gone like footprints on a windy dune.\n"
           "\n"
           "So learn from me, and do not wait to weep:\n"
           "the copies that you make are yours to keep;\n"
           "a backup costs you minutes, nothing more,\n"
           "and losing it costs all you had before.\n");
}

// Compares the command word over its whole length, folding ASCII letters only.
bool isCommand(const char *word, const char *command)
{
    for (; *word && *command; ++word, ++command) {
        char c = (*word >= 'A' && *word <= 'Z') ? static_cast<char>(*word - 'A' + 'a') : *word;
        if (c != *command)
            return false;
    }
    return *word == *command;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && (argv[1][0] == '-' || argv[1][0] == '/')) {
        std::unique_ptr<ServiceConfig> config(loadServiceConfig());
        const char *command = argv[1] + 1;
        if (isCommand(command, "install")) {
            install(*config);
            return 0;
        }
        if (isCommand(command, "remove")) {
            remove(*config);
            return 0;
        }
        if (isCommand(command, "debug"))
            return runDebug(argc, argv);
        if (isCommand(command, "start"))
            return runServiceProcess(*config);
        if (isCommand(command, "nostalgia")) {
            printVerse();
            return 0;
        }
    }
    printUsage();
    return 0;
}
