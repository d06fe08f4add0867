// winsim: creates and inspects the emulated Windows machine.
#include "commands.h"
#include "machine/machine.h"
#include "machine/paths.h"
#include "machine/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int usage()
{
    fprintf(stderr,
            "usage: winsim <command> [arguments]\n"
            "  create                       create the machine named by $WINSIM_ROOT\n"
            "  root                         print the machine root\n"
            "  path <windows path>          print the host path that holds a Windows path\n"
            "  winpath <host path>          print the Windows form of a host path\n"
            "  config get <key>             print a machine setting\n"
            "  config set <key> <value>     change a machine setting (administrator = yes|no, ...)\n"
            "  vss <command>                the shadow copy service: volumes, writers, snapshots\n"
            "  counters [prefix]            what the stand-in services counted (calls, objects alive)\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    std::string command = argv[1];
    if (command == "create" || command == "root") {
        printf("%s\n", winsim::machineRoot().c_str());
        return 0;
    }
    if (command == "path" && argc == 3) {
        winsim::MappedPath mapped;
        if (unsigned long error = winsim::mapWindowsPath(winsim::toUtf16(argv[2]), mapped)) {
            fprintf(stderr, "winsim: not a valid path (error %lu)\n", error);
            return 1;
        }
        printf("%s\n", mapped.posix.c_str());
        return 0;
    }
    if (command == "winpath" && argc == 3) {
        printf("%s\n", winsim::toUtf8(winsim::windowsPathFromPosix(argv[2])).c_str());
        return 0;
    }
    if (command == "config" && argc == 4 && strcmp(argv[2], "get") == 0) {
        printf("%s\n", winsim::machineSetting(argv[3], "").c_str());
        return 0;
    }
    if (command == "config" && argc == 5 && strcmp(argv[2], "set") == 0) {
        winsim::setMachineSetting(winsim::machineRoot(), argv[3], argv[4]);
        return 0;
    }
    if (command == "vss")
        return vssCommand(argc - 2, argv + 2);
    if (command == "counters")
        return countersCommand(argc - 2, argv + 2);
    return usage();
}
