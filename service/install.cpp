#include "install.h"

#include "win32_handles.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

constexpr DWORD kProgramPathSize = 512;
constexpr DWORD kErrorTextSize = 256;
constexpr DWORD kPollMs = 1000;
// How long a stop may take: the 30 seconds that the manager grants a service, plus its own
// wait hint, counted again from each new checkpoint it reports; and in all 30 seconds plus the
// wait hints of the checkpoints seen, so that a service that keeps raising its checkpoint does
// not hold the command forever.
constexpr DWORD kStopBudgetMs = 30000;
// However much progress a service reports, remove gives up after this long in all.
constexpr uint64_t kStopCeilingMs = 5 * 60 * 1000;

}  // namespace

void install(const ServiceConfig &config)
{
    char errorText[kErrorTextSize];
    char quoted[kProgramPathSize + 16] = "\"";
    DWORD length = GetModuleFileNameA(nullptr, quoted + 1, kProgramPathSize);
    // A path that fills the buffer was cut short and would register the wrong program.
    if (length == 0 || length >= kProgramPathSize) {
        printf("Unable to install %s - %s\n", config.displayName().c_str(), lastErrorText(errorText, kErrorTextSize));
        return;
    }
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        printf("OpenSCManager failed - %s\n", lastErrorText(errorText, kErrorTextSize));
        return;
    }
    std::string commandLine = std::string(quoted) + "\" -start";
    ServiceHandle service(CreateServiceA(manager.get(), config.name().c_str(), config.displayName().c_str(),
                                         SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                         SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr, "\0\0",
                                         nullptr, nullptr));
    if (service)
        printf("%s installed.\n", config.displayName().c_str());
    else
        printf("CreateService failed - %s\n", lastErrorText(errorText, kErrorTextSize));
}

void remove(const ServiceConfig &config)
{
    char errorText[kErrorTextSize];
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        printf("OpenSCManager failed - %s\n", lastErrorText(errorText, kErrorTextSize));
        return;
    }
    ServiceHandle service(OpenServiceA(manager.get(), config.name().c_str(), SERVICE_ALL_ACCESS));
    if (!service) {
        printf("OpenService failed - %s\n", lastErrorText(errorText, kErrorTextSize));
        return;
    }
    SERVICE_STATUS status{};
    if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        printf("Stopping %s.", config.displayName().c_str());
        fflush(stdout);
        uint64_t waited = 0;
        uint64_t budget = uint64_t{kStopBudgetMs} + status.dwWaitHint;
        uint64_t waitedInAll = 0;
        uint64_t budgetInAll = budget;
        DWORD checkPoint = status.dwCheckPoint;
        for (;;) {
            Sleep(kPollMs);
            waited += kPollMs;
            waitedInAll += kPollMs;
            SERVICE_STATUS current{};
            if (!QueryServiceStatus(service.get(), &current))
                break;
            status = current;
            if (status.dwCurrentState != SERVICE_STOP_PENDING)
                break;
            if (status.dwCheckPoint != checkPoint) {
                // Progress: the service gets its budget again, within the bound in all.
                checkPoint = status.dwCheckPoint;
                waited = 0;
                budget = uint64_t{kStopBudgetMs} + status.dwWaitHint;
                budgetInAll += status.dwWaitHint;
            }
            if (waited >= budget || waitedInAll >= std::min(budgetInAll, kStopCeilingMs))
                break;
            printf(".");
            fflush(stdout);
        }
        if (status.dwCurrentState == SERVICE_STOPPED)
            printf("\n%s stopped.\n", config.displayName().c_str());
        else
            printf("\n%s failed to stop.\n", config.displayName().c_str());
    }
    if (DeleteService(service.get()))
        printf("%s removed.\n", config.displayName().c_str());
    else
        printf("DeleteService failed - %s\n", lastErrorText(errorText, kErrorTextSize));
}
