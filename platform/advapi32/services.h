// The stand-in service control manager. Its database (<root>/scm.sqlite) holds every service's
// configuration, its present status and the history of the status reports of each run; the
// client functions (advapi32/services.cpp) and the dispatcher inside a service process
// (advapi32/service_dispatcher.cpp) both work on it, so no manager process runs. A service
// process listens for controls on a socket whose address it records there.
#pragma once

#include <windows.h>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace winsim {

struct ServiceRecord {
    std::string name;
    std::string displayName;
    std::string binaryPath;
    std::string account;
    std::vector<std::string> dependencies;
    DWORD type = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    bool deleted = false;  // marked for deletion; removed once stopped and its last handle closed
    SERVICE_STATUS status{};
    uint32_t processId = 0;
    uint64_t processStart = 0;  // start time of that process (/proc/<pid>/stat), against pid reuse
    std::string token;          // names the run to the process that the manager started
    std::string control;        // the dispatcher's control socket, from its connection until it
                                // returns (or its process ended); empty before it connected
    std::vector<std::string> startArguments;
    int64_t run = 0;  // how many times the service was started
};

struct ServiceReport {
    int64_t installation = 1;  // which installation of the name: 1, then 2 once it was deleted and made again
    int64_t run = 0;
    uint32_t processId = 0;
    int64_t timeMs = 0;
    SERVICE_STATUS status{};
};

// The environment variables through which the manager names the service to the process it
// starts; the process runs as the local system account.
inline constexpr const char *kServiceVariable = "WINSIM_SERVICE";
inline constexpr const char *kServiceTokenVariable = "WINSIM_SERVICE_TOKEN";

// Loads a service (by name, case-insensitively); a process that died without reporting
// SERVICE_STOPPED is noticed here and the service set stopped with ERROR_PROCESS_ABORTED. A
// service marked for deletion is found until it has stopped and every handle to it (of every
// process of the machine) is closed.
DWORD loadService(const std::string &name, ServiceRecord &out);
std::vector<ServiceRecord> allServices();

// Runs change on the service's record in one transaction and stores the result; a non-zero
// result of change is returned and nothing is stored.
DWORD modifyService(const std::string &name, const std::function<DWORD(ServiceRecord &)> &change);
DWORD insertService(const ServiceRecord &record);

// Every open handle to a service is recorded with its process, so that a service marked for
// deletion stays until the last one closes (or its process ends).
DWORD openServiceHandle(const std::string &name, uintptr_t handle);
void closeServiceHandle(const std::string &name, uintptr_t handle);

// Records a report of a run and makes it the service's status (removing a service marked for
// deletion once it has stopped, when no handle to it is open).
DWORD recordServiceReport(const std::string &name, int64_t run, const SERVICE_STATUS &status);
std::vector<ServiceReport> serviceReports(const std::string &name);

// Whether a service in the given reported status takes a control: 0, or the error with which
// ControlService refuses it (the control already checked for validity).
DWORD controlRefusal(DWORD control, const SERVICE_STATUS &status);

// How many times each function of the manager was called on this machine.
void countServiceCall(const char *function);
std::map<std::string, int64_t> serviceCallCounts();

// The start time of a process, 0 when it does not run (or is a zombie).
uint64_t processStartTime(pid_t pid);

// Where a service process's standard output and error go: <root>/scm/<name>.out.
std::string serviceConsolePath(const std::string &name);

}  // namespace winsim
