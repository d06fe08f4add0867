// winsim sc ...: the service control manager of the machine.
#include "commands.h"

#include "advapi32/services.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *stateName(DWORD state)
{
    static const char *const kNames[] = {"?",        "STOPPED", "START_PENDING", "STOP_PENDING",
                                         "RUNNING",  "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};
    return state < sizeof kNames / sizeof kNames[0] ? kNames[state] : "?";
}

// The type as the Windows tool shows it: the hexadecimal value and what it means.
std::string typeText(DWORD type)
{
    char text[96];
    const DWORD kind = type & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
    const char *meaning = kind == SERVICE_WIN32_OWN_PROCESS     ? "WIN32_OWN_PROCESS"
                          : kind == SERVICE_WIN32_SHARE_PROCESS ? "WIN32_SHARE_PROCESS"
                          : kind == SERVICE_KERNEL_DRIVER       ? "KERNEL_DRIVER"
                          : kind == SERVICE_FILE_SYSTEM_DRIVER  ? "FILE_SYSTEM_DRIVER"
                                                                : "";
    snprintf(text, sizeof text, "%x  %s%s", type, meaning, type & SERVICE_INTERACTIVE_PROCESS ? "  (interactive)" : "");
    return text;
}

void printStatus(const char *name, const SERVICE_STATUS &status, DWORD processId)
{
    printf("SERVICE_NAME: %s\n", name);
    printf("        TYPE               : %s\n", typeText(status.dwServiceType).c_str());
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

}  // namespace

int serviceCommand(int argc, char **argv)
{
    if (argc < 1)
        return commandUsage("sc");
    const std::string verb = argv[0];
    if (verb == "calls" && argc == 1) {
        for (const auto &[function, count] : winsim::serviceCallCounts())
            printf("%s %lld\n", function.c_str(), static_cast<long long>(count));
        return 0;
    }
    if (verb == "list" && argc == 1) {
        // The command line as registered: its program path carries its own quotes.
        for (const winsim::ServiceRecord &record : winsim::allServices())
            printf("%s  %s  %s%s\n", record.name.c_str(), stateName(record.status.dwCurrentState),
                   record.binaryPath.c_str(), record.deleted ? "  (marked for deletion)" : "");
        return 0;
    }
    if (argc < 2)
        return commandUsage("sc");
    const char *name = argv[1];
    if (verb == "history" && argc == 2) {
        // The runs of a service deleted and made again under the name are told apart by its
        // installation: 1, then 2, ...
        printf("install  run  pid      state          controls  checkpoint  wait_hint  win32_exit  service_exit\n");
        for (const winsim::ServiceReport &report : winsim::serviceReports(name))
            printf("%-8lld %-4lld %-8u %-14s %-9u %-11u %-10u %-11u %u\n", static_cast<long long>(report.installation),
                   static_cast<long long>(report.run), report.processId, stateName(report.status.dwCurrentState),
                   report.status.dwControlsAccepted, report.status.dwCheckPoint, report.status.dwWaitHint,
                   report.status.dwWin32ExitCode, report.status.dwServiceSpecificExitCode);
        return 0;
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, verb == "create" ? SC_MANAGER_ALL_ACCESS : SC_MANAGER_CONNECT);
    if (!manager)
        return lastFailure("OpenSCManager");
    int status = 0;
    // "--depend A/B" names the services this one depends on (as sc's depend= does).
    std::string dependencies;
    if (verb == "create" && argc >= 5 && strcmp(argv[argc - 2], "--depend") == 0) {
        for (char *rest = argv[argc - 1]; rest && *rest;) {
            char *slash = strchr(rest, '/');
            dependencies.append(rest, slash ? static_cast<size_t>(slash - rest) : strlen(rest));
            dependencies += '\0';
            rest = slash ? slash + 1 : nullptr;
        }
        dependencies += '\0';
        argc -= 2;
    }
    if (verb == "create" && (argc == 3 || argc == 4)) {
        SC_HANDLE service = CreateServiceA(manager, name, argc == 4 ? argv[3] : name, SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                           argv[2], nullptr, nullptr,
                                           dependencies.empty() ? nullptr : dependencies.c_str(), nullptr, nullptr);
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
        std::vector<LPCSTR> arguments(argv + 2, argv + argc);
        if (StartServiceA(service, static_cast<DWORD>(arguments.size()), arguments.data()) &&
            QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&info), sizeof info,
                                 &needed))
            printStatus(name, statusOf(info), info.dwProcessId);
        else
            status = lastFailure("StartService");
    } else if ((verb == "stop" || verb == "interrogate") && argc == 2) {
        DWORD control = verb == "stop" ? SERVICE_CONTROL_STOP : SERVICE_CONTROL_INTERROGATE;
        // The status is the one the control returned; the process, the one the control went to
        // (asked before, as a stopped service has none).
        DWORD processId = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&info),
                                               sizeof info, &needed)
                              ? info.dwProcessId
                              : 0;
        if (ControlService(service, control, &current)) {
            printStatus(name, current, processId);
        } else {
            status = lastFailure("ControlService");
        }
    } else if (verb == "query" && argc == 2) {
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&info), sizeof info,
                                 &needed))
            printStatus(name, statusOf(info), info.dwProcessId);
        else
            status = lastFailure("QueryServiceStatusEx");
    } else if (verb == "delete" && argc == 2) {
        if (DeleteService(service))
            printf("[SC] DeleteService SUCCESS\n");
        else
            status = lastFailure("DeleteService");
    } else {
        status = commandUsage("sc");
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return status;
}
