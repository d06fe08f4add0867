// winsim: creates, inspects and drives the emulated Windows machine.
#include "commands.h"
#include "kernel32/message_table.h"
#include "machine/machine.h"
#include "machine/paths.h"
#include "machine/restart.h"
#include "machine/text.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int machineCommand(int argc, char **argv);

struct Command {
    const char *name;
    int (*run)(int argc, char **argv);
    const char *usage;  // its lines of the usage text
};

const Command kCommands[] = {
    {"create", machineCommand, "  create                       create the machine named by $WINSIM_ROOT\n"},
    {"root", machineCommand, "  root                         print the machine root\n"},
    {"path", machineCommand, "  path <windows path>          print the host path that holds a Windows path\n"},
    {"winpath", machineCommand, "  winpath <host path>          print the Windows form of a host path\n"},
    {"config", machineCommand,
     "  config get <key>             print a machine setting\n"
     "  config set <key> <value>     change a machine setting (administrator = yes|no, ...)\n"},
    {"restart", machineCommand,
     "  restart                      restart the machine: carry out the work Windows does at start\n"
     "                               (pending hive replacements, ...)\n"},
    {"vss", vssCommand, "  vss <command>                the shadow copy service: volumes, writers, snapshots\n"},
    {"counters", countersCommand,
     "  counters [prefix]            what the stand-in services counted (calls, objects alive)\n"},
    {"reg", registryCommand,
     "  reg query <key> [<value>]    list a registry key, or print one value (HKLM\\..., HKCU, HKCR, HKU)\n"
     "  reg raw <key> <value>        print a value's type number and bytes as stored\n"
     "  reg security <key>           print a key's security descriptor (self-relative, hex)\n"
     "  reg set <key> <value> <type> <data>\n"
     "                               set a value, creating the key; <type> is REG_SZ, REG_MULTI_SZ (a\\0b),\n"
     "                               REG_DWORD, REG_QWORD, REG_BINARY, ... or a number; hex:01,02,... is\n"
     "                               taken as raw data of any type and size\n"
     "  reg delete <key> [<value>]   delete a value, or a key and all below it\n"
     "  reg save <key> <file>        write a key and all below it into a new hive file\n"
     "  reg load <key> <file>        load a hive file as HKLM\\<name> or HKU\\<name>\n"
     "  reg unload <key>             unload it again\n"
     "  reg import <file.reg>        apply a registry editor file, as one change per hive\n"},
    {"eventlog", eventLogCommand,
     "  eventlog [<log>]             list the records of an event log (Application by default)\n"},
    {"console-event", consoleEventCommand,
     "  console-event <pid> <event>  send a console control event (ctrl-c, break, close, logoff,\n"
     "                               shutdown) to a process\n"},
    {"sc", serviceCommand,
     "  sc create <name> <command line> [<display name>] [--depend <name>[/<name>...]]\n"
     "                               install an own-process, demand-start service\n"
     "  sc start <name> [<argument>...]\n"
     "  sc stop <name> | sc interrogate <name> | sc query <name> | sc delete <name>\n"
     "  sc history <name>            every status report the service made, oldest first\n"
     "  sc list                      the installed services and their states\n"
     "  sc calls                     how often each manager function was called\n"},
    {"desktop", desktopCommand,
     "  desktop windows              the windows of the desktop, the top of the Z order first\n"
     "  desktop post <window> <message> [<wParam> [<lParam>]]\n"
     "                               post a message to a window (numbers in decimal or 0x hex)\n"
     "  desktop boxes                the message boxes shown, oldest first\n"
     "  desktop shell                the documents and programs the shell was asked to open\n"},
    {"ras", rasCommand,
     "  ras entries                  the entries of the dial-up phonebooks\n"
     "  ras entry add <name> [<phone number>] | ras entry remove <name>\n"
     "  ras connections              the dial-up connections and their states\n"
     "  ras hangup <handle>|<entry>  drop a connection\n"},
    {"efs", efsCommand,
     "  efs encrypt <path> [--user <SID>]\n"
     "                               encrypt a file or directory for a user (the tool's own by default)\n"
     "  efs decrypt <path>           decrypt it with the tool's user's key\n"
     "  efs show <path>              attributes, encrypted state, the users who can decrypt, the streams\n"
     "  efs key export <file> --password <text> [--user <SID>]\n"
     "                               write a user's keys into a file protected by the password\n"
     "  efs key import <file> --password <text>\n"
     "                               add the keys of such a file to the machine\n"},
};

// The commands on the machine itself; argv[-1] is the command's own name.
int machineCommand(int argc, char **argv)
{
    const std::string command = argv[-1];
    if ((command == "create" || command == "root") && argc == 0) {
        printf("%s\n", winsim::machineRoot().c_str());
        return 0;
    }
    if (command == "path" && argc == 1) {
        winsim::MappedPath mapped;
        if (unsigned long error = winsim::mapWindowsPath(winsim::toUtf16(argv[0]), mapped)) {
            fprintf(stderr, "winsim: not a valid path (error %lu)\n", error);
            return 1;
        }
        printf("%s\n", mapped.posix.c_str());
        return 0;
    }
    if (command == "winpath" && argc == 1) {
        printf("%s\n", winsim::toUtf8(winsim::windowsPathFromPosix(argv[0])).c_str());
        return 0;
    }
    if (command == "config" && argc == 2 && strcmp(argv[0], "get") == 0) {
        printf("%s\n", winsim::machineSetting(argv[1], "").c_str());
        return 0;
    }
    if (command == "config" && argc == 3 && strcmp(argv[0], "set") == 0) {
        winsim::setMachineSetting(winsim::machineRoot(), argv[1], argv[2]);
        return 0;
    }
    if (command == "restart" && argc == 0) {
        winsim::machineRoot();
        for (const winsim::StartupStep &step : winsim::restartMachine()) {
            if (step.error)
                fprintf(stderr, "winsim: restart: %s: %s\n", step.name.c_str(), step.message.c_str());
            else if (!step.message.empty())
                printf("%s: %s\n", step.name.c_str(), step.message.c_str());
        }
        return 0;
    }
    return commandUsage(command.c_str());
}

}  // namespace

int commandUsage(const char *command)
{
    fprintf(stderr, "usage: winsim <command> [arguments]\n");
    for (const Command &entry : kCommands)
        if (!command || strcmp(command, entry.name) == 0)
            fputs(entry.usage, stderr);
    return 2;
}

int failed(const char *what, LONG error)
{
    const char *text = winsim::systemMessageText(static_cast<DWORD>(error));
    std::string message = text ? text : "";
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    fprintf(stderr, "winsim: %s: %s (error %ld)\n", what, message.c_str(), static_cast<long>(error));
    return 1;
}

int lastFailure(const char *what)
{
    return failed(what, static_cast<LONG>(GetLastError()));
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return commandUsage(nullptr);
    for (const Command &entry : kCommands)
        if (strcmp(argv[1], entry.name) == 0)
            return entry.run(argc - 2, argv + 2);
    return commandUsage(nullptr);
}
