// winsim: creates and inspects the emulated Windows machine.
#include "commands.h"
#include "advapi32/eventlog.h"
#include "advapi32/registry.h"
#include "advapi32/services.h"
#include "kernel32/console.h"
#include "kernel32/message_table.h"
#include "machine/machine.h"
#include "machine/paths.h"
#include "machine/text.h"

#include <windows.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
            "  counters [prefix]            what the stand-in services counted (calls, objects alive)\n"
            "  reg query <key> [<value>]    list a registry key, or print one value (HKLM\\...)\n"
            "  reg set <key> <value> <type> <data>\n"
            "                               set a value (REG_SZ, REG_EXPAND_SZ, REG_DWORD), creating the key\n"
            "  eventlog [<log>]             list the records of an event log (Application by default)\n"
            "  console-event <pid> <event>  send a console control event (ctrl-c, break, close, logoff,\n"
            "                               shutdown) to a process\n"
            "  sc create <name> <command line> [<display name>]\n"
            "                               install an own-process, demand-start service\n"
            "  sc start <name> [<argument>...]\n"
            "  sc stop <name> | sc interrogate <name> | sc query <name> | sc delete <name>\n"
            "  sc history <name>            every status report the service made, oldest first\n"
            "  sc list                      the installed services and their states\n"
            "  sc calls                     how often each manager function was called\n");
    return 2;
}

const char *typeName(DWORD type)
{
    switch (type) {
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_BINARY:
        return "REG_BINARY";
    case REG_DWORD:
        return "REG_DWORD";
    case REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    case REG_QWORD:
        return "REG_QWORD";
    default:
        return "REG_NONE";
    }
}

std::string valueText(const winsim::RegistryValue &value)
{
    char number[32];
    switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ:
        return winsim::registryStringText(value.data);
    case REG_DWORD:
        if (value.data.size() == 4) {
            DWORD n = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) | (static_cast<DWORD>(value.data[3]) << 24);
            snprintf(number, sizeof number, "0x%x", n);
            return number;
        }
        [[fallthrough]];
    default: {
        std::string hex;
        for (uint8_t b : value.data) {
            snprintf(number, sizeof number, "%02X", b);
            hex += number;
        }
        return hex;
    }
    }
}

// "HKLM\\path" or "HKEY_LOCAL_MACHINE\\path" opened with the given rights.
LONG openKey(const std::string &name, REGSAM access, bool create, HKEY &key)
{
    size_t slash = name.find('\\');
    std::string root = name.substr(0, slash);
    std::string path = slash == std::string::npos ? std::string() : name.substr(slash + 1);
    if (!winsim::equalsIgnoreCase(std::string_view(root), "HKLM") &&
        !winsim::equalsIgnoreCase(std::string_view(root), "HKEY_LOCAL_MACHINE"))
        return ERROR_INVALID_PARAMETER;
    if (create)
        return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, access, nullptr, &key, nullptr);
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key);
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

int registryCommand(int argc, char **argv)
{
    if (argc >= 4 && argc <= 5 && strcmp(argv[2], "query") == 0) {
        HKEY key = nullptr;
        if (LONG error = openKey(argv[3], KEY_READ, false, key))
            return failed(argv[3], error);
        std::vector<std::string> subkeys;
        std::vector<winsim::RegistryValue> values;
        LONG error = winsim::registryKeyContents(key, subkeys, values);
        RegCloseKey(key);
        if (error)
            return failed(argv[3], error);
        for (const auto &value : values) {
            if (argc == 5 && !winsim::equalsIgnoreCase(std::string_view(value.name), argv[4]))
                continue;
            if (argc == 5) {
                printf("%s\n", valueText(value).c_str());
                return 0;
            }
            printf("    %s    %s    %s\n", value.name.empty() ? "(Default)" : value.name.c_str(), typeName(value.type),
                   valueText(value).c_str());
        }
        if (argc == 5)
            return failed(argv[4], ERROR_FILE_NOT_FOUND);
        for (const std::string &subkey : subkeys)
            printf("%s\\%s\n", argv[3], subkey.c_str());
        return 0;
    }
    if (argc == 7 && strcmp(argv[2], "set") == 0) {
        std::string type = argv[5];
        std::string data = argv[6];
        DWORD dword = 0;
        const BYTE *bytes;
        DWORD size;
        DWORD typeCode;
        if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
            typeCode = type == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
            bytes = reinterpret_cast<const BYTE *>(data.c_str());
            size = static_cast<DWORD>(data.size() + 1);
        } else if (type == "REG_DWORD") {
            typeCode = REG_DWORD;
            dword = static_cast<DWORD>(strtoul(data.c_str(), nullptr, 0));
            bytes = reinterpret_cast<const BYTE *>(&dword);
            size = sizeof dword;
        } else {
            return usage();
        }
        HKEY key = nullptr;
        if (LONG error = openKey(argv[3], KEY_SET_VALUE, true, key))
            return failed(argv[3], error);
        LONG error = RegSetValueExA(key, argv[4], 0, typeCode, bytes, size);
        RegCloseKey(key);
        return error ? failed(argv[4], error) : 0;
    }
    return usage();
}

const char *eventTypeName(WORD type)
{
    switch (type) {
    case EVENTLOG_ERROR_TYPE:
        return "Error";
    case EVENTLOG_WARNING_TYPE:
        return "Warning";
    case EVENTLOG_INFORMATION_TYPE:
        return "Information";
    case EVENTLOG_AUDIT_SUCCESS:
        return "AuditSuccess";
    case EVENTLOG_AUDIT_FAILURE:
        return "AuditFailure";
    default:
        return "Success";
    }
}

int eventLogCommand(int argc, char **argv)
{
    if (argc > 3)
        return usage();
    winsim::machineRoot();
    for (const winsim::EventRecord &event : winsim::readEventLog(argc == 3 ? argv[2] : "Application")) {
        time_t when = static_cast<time_t>(event.timeGenerated);
        tm local{};
        localtime_r(&when, &local);
        char stamp[32];
        strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        printf("%lld %s %s %s 0x%08X pid=%u user=%s", static_cast<long long>(event.record), stamp,
               eventTypeName(event.type), event.source.c_str(), event.eventId, event.processId,
               event.userSid.empty() ? "-" : event.userSid.c_str());
        for (const std::string &text : event.strings)
            printf(" \"%s\"", text.c_str());
        printf("\n");
    }
    return 0;
}

const char *stateName(DWORD state)
{
    static const char *const kNames[] = {"?",        "STOPPED", "START_PENDING", "STOP_PENDING",
                                         "RUNNING",  "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};
    return state < sizeof kNames / sizeof kNames[0] ? kNames[state] : "?";
}

void printStatus(const char *name, const SERVICE_STATUS &status, DWORD processId)
{
    printf("SERVICE_NAME: %s\n", name);
    printf("        TYPE               : %x\n", status.dwServiceType);
    printf("        STATE              : %u  %s\n", status.dwCurrentState, stateName(status.dwCurrentState));
    printf("        CONTROLS_ACCEPTED  : 0x%x\n", status.dwControlsAccepted);
    printf("        WIN32_EXIT_CODE    : %u  (0x%x)\n", status.dwWin32ExitCode, status.dwWin32ExitCode);
    printf("        SERVICE_EXIT_CODE  : %u  (0x%x)\n", status.dwServiceSpecificExitCode,
           status.dwServiceSpecificExitCode);
    printf("        CHECKPOINT         : 0x%x\n", status.dwCheckPoint);
    printf("        WAIT_HINT          : 0x%x\n", status.dwWaitHint);
    printf("        PID                : %u\n", processId);
}

SERVICE_STATUS statusOf(const SERVICE_STATUS_PROCESS &info)
{
    return SERVICE_STATUS{info.dwServiceType, info.dwCurrentState, info.dwControlsAccepted, info.dwWin32ExitCode,
                          info.dwServiceSpecificExitCode, info.dwCheckPoint, info.dwWaitHint};
}

int lastFailure(const char *what)
{
    return failed(what, static_cast<LONG>(GetLastError()));
}

int serviceCommand(int argc, char **argv)
{
    if (argc < 3)
        return usage();
    const std::string verb = argv[2];
    if (verb == "calls" && argc == 3) {
        for (const auto &[function, count] : winsim::serviceCallCounts())
            printf("%s %lld\n", function.c_str(), static_cast<long long>(count));
        return 0;
    }
    if (verb == "list" && argc == 3) {
        for (const winsim::ServiceRecord &record : winsim::allServices())
            printf("%s  %s  \"%s\"%s\n", record.name.c_str(), stateName(record.status.dwCurrentState),
                   record.binaryPath.c_str(), record.deleted ? "  (marked for deletion)" : "");
        return 0;
    }
    if (argc < 4)
        return usage();
    const char *name = argv[3];
    if (verb == "history" && argc == 4) {
        printf("run  pid      state          controls  checkpoint  wait_hint  win32_exit  service_exit\n");
        for (const winsim::ServiceReport &report : winsim::serviceReports(name))
            printf("%-4lld %-8u %-14s %-9u %-11u %-10u %-11u %u\n", static_cast<long long>(report.run),
                   report.processId, stateName(report.status.dwCurrentState), report.status.dwControlsAccepted,
                   report.status.dwCheckPoint, report.status.dwWaitHint, report.status.dwWin32ExitCode,
                   report.status.dwServiceSpecificExitCode);
        return 0;
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, verb == "create" ? SC_MANAGER_ALL_ACCESS : SC_MANAGER_CONNECT);
    if (!manager)
        return lastFailure("OpenSCManager");
    int status = 0;
    if (verb == "create" && (argc == 5 || argc == 6)) {
        SC_HANDLE service = CreateServiceA(manager, name, argc == 6 ? argv[5] : name, SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                           argv[4], nullptr, nullptr, nullptr, nullptr, nullptr);
        status = service ? 0 : lastFailure("CreateService");
        if (service) {
            printf("[SC] CreateService SUCCESS\n");
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
        return status;
    }
    const DWORD access = verb == "start"        ? SERVICE_START | SERVICE_QUERY_STATUS
                         : verb == "stop"       ? SERVICE_STOP | SERVICE_QUERY_STATUS
                         : verb == "interrogate" ? SERVICE_INTERROGATE | SERVICE_QUERY_STATUS
                         : verb == "delete"     ? DELETE
                                                : SERVICE_QUERY_STATUS;
    SC_HANDLE service = OpenServiceA(manager, name, access);
    if (!service) {
        CloseServiceHandle(manager);
        return lastFailure("OpenService");
    }
    SERVICE_STATUS_PROCESS info{};
    DWORD needed = 0;
    SERVICE_STATUS current{};
    if (verb == "start") {
        std::vector<LPCSTR> arguments(argv + 4, argv + argc);
        if (StartServiceA(service, static_cast<DWORD>(arguments.size()), arguments.data()) &&
            QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&info), sizeof info,
                                 &needed))
            printStatus(name, statusOf(info), info.dwProcessId);
        else
            status = lastFailure("StartService");
    } else if ((verb == "stop" || verb == "interrogate") && argc == 4) {
        DWORD control = verb == "stop" ? SERVICE_CONTROL_STOP : SERVICE_CONTROL_INTERROGATE;
        if (ControlService(service, control, &current))
            printStatus(name, current, 0);
        else
            status = lastFailure("ControlService");
    } else if (verb == "query" && argc == 4) {
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&info), sizeof info,
                                 &needed))
            printStatus(name, statusOf(info), info.dwProcessId);
        else
            status = lastFailure("QueryServiceStatusEx");
    } else if (verb == "delete" && argc == 4) {
        if (DeleteService(service))
            printf("[SC] DeleteService SUCCESS\n");
        else
            status = lastFailure("DeleteService");
    } else {
        status = usage();
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return status;
}

int consoleEventCommand(int argc, char **argv)
{
    static const struct {
        const char *name;
        DWORD type;
    } kEvents[] = {{"ctrl-c", CTRL_C_EVENT},   {"break", CTRL_BREAK_EVENT},       {"close", CTRL_CLOSE_EVENT},
                   {"logoff", CTRL_LOGOFF_EVENT}, {"shutdown", CTRL_SHUTDOWN_EVENT}};
    if (argc != 4)
        return usage();
    for (const auto &event : kEvents) {
        if (strcmp(argv[3], event.name) == 0) {
            if (int error = winsim::sendConsoleEvent(static_cast<pid_t>(atol(argv[2])), event.type)) {
                fprintf(stderr, "winsim: cannot signal process %s: %s\n", argv[2], strerror(error));
                return 1;
            }
            return 0;
        }
    }
    return usage();
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
    if (command == "reg")
        return registryCommand(argc, argv);
    if (command == "eventlog")
        return eventLogCommand(argc, argv);
    if (command == "console-event")
        return consoleEventCommand(argc, argv);
    if (command == "sc")
        return serviceCommand(argc, argv);
    return usage();
}
