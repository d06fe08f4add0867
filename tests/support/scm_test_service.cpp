// A service for the tests of the stand-in service control manager. Started by the manager, it
// reports start-pending, then running, and waits for a stop; its start parameters:
//
//   accept=<n>        the controls it accepts while running (default SERVICE_ACCEPT_STOP)
//   release=<path>    once stop-pending, it stays so until this file (a host path) exists
//   stophint=<ms>     the wait hint of its stop-pending report (default 5000)
//   stopdelay=<ms>    once stop-pending, it stays so this long
//   onstop=<path>     creates this file when it is told to stop
//   stopwhen=<path>   stops by itself once this file exists
//   waitstopped=<service>  reports stopped only once that service has stopped
//   log=<path>        appends "stop <name>" when told to stop and "stopped <name>" as it stops
//
// Its handler takes a while before it reports, so that controls sent together are still
// arriving while the first one is handled. SERVICE_CONTROL_STOP and the control 128 stop it;
// every other control re-reports the present status.
#include <windows.h>

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr DWORD kOwnStopControl = 128;
constexpr auto kHandlerDelay = std::chrono::milliseconds(300);
constexpr auto kReleaseDeadline = std::chrono::seconds(120);

SERVICE_STATUS_HANDLE statusHandle = nullptr;
std::mutex lock;
std::condition_variable stopRequested;
bool stopping = false;
SERVICE_STATUS current{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 1, 5000};
DWORD stopHint = 5000;
std::string onStop;
std::string logPath;
std::string serviceName;

void logLine(const char *what)
{
    if (logPath.empty())
        return;
    if (FILE *log = fopen(logPath.c_str(), "a")) {
        fprintf(log, "%s %s\n", what, serviceName.c_str());
        fclose(log);
    }
}

void report(DWORD state, DWORD controls, DWORD checkPoint, DWORD waitHint)
{
    std::lock_guard<std::mutex> guard(lock);
    current.dwCurrentState = state;
    current.dwControlsAccepted = controls;
    current.dwCheckPoint = checkPoint;
    current.dwWaitHint = waitHint;
    SetServiceStatus(statusHandle, &current);
}

void WINAPI handler(DWORD control)
{
    std::this_thread::sleep_for(kHandlerDelay);
    if (control == SERVICE_CONTROL_STOP || control == kOwnStopControl) {
        logLine("stop");
        if (!onStop.empty())
            fclose(fopen(onStop.c_str(), "w"));
        report(SERVICE_STOP_PENDING, 0, 1, stopHint);
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
        stopRequested.notify_all();
        return;
    }
    std::lock_guard<std::mutex> guard(lock);
    SetServiceStatus(statusHandle, &current);
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool serviceStopped(const std::string &name)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS status{};
    bool stopped = service && QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED;
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return stopped;
}

void WINAPI serviceMain(DWORD argc, LPSTR *argv)
{
    DWORD accepted = SERVICE_ACCEPT_STOP;
    std::string release, stopWhen, waitStopped;
    long stopDelayMs = 0;
    for (DWORD i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "accept=", 7) == 0)
            accepted = static_cast<DWORD>(strtoul(argv[i] + 7, nullptr, 0));
        else if (strncmp(argv[i], "release=", 8) == 0)
            release = argv[i] + 8;
        else if (strncmp(argv[i], "stophint=", 9) == 0)
            stopHint = static_cast<DWORD>(strtoul(argv[i] + 9, nullptr, 0));
        else if (strncmp(argv[i], "stopdelay=", 10) == 0)
            stopDelayMs = strtol(argv[i] + 10, nullptr, 0);
        else if (strncmp(argv[i], "onstop=", 7) == 0)
            onStop = argv[i] + 7;
        else if (strncmp(argv[i], "stopwhen=", 9) == 0)
            stopWhen = argv[i] + 9;
        else if (strncmp(argv[i], "waitstopped=", 12) == 0)
            waitStopped = argv[i] + 12;
        else if (strncmp(argv[i], "log=", 4) == 0)
            logPath = argv[i] + 4;
    }
    serviceName = argv[0];
    statusHandle = RegisterServiceCtrlHandlerA(argv[0], handler);
    if (!statusHandle)
        return;
    report(SERVICE_START_PENDING, 0, 1, 5000);
    report(SERVICE_RUNNING, accepted, 0, 0);
    {
        std::unique_lock<std::mutex> guard(lock);
        while (!stopping) {
            stopRequested.wait_for(guard, std::chrono::milliseconds(10));
            if (!stopping && !stopWhen.empty() && exists(stopWhen)) {
                guard.unlock();
                report(SERVICE_STOP_PENDING, 0, 1, stopHint);
                guard.lock();
                stopping = true;
            }
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(stopDelayMs));
    const auto deadline = std::chrono::steady_clock::now() + kReleaseDeadline;
    while (!release.empty() && !exists(release) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    while (!waitStopped.empty() && !serviceStopped(waitStopped) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    logLine("stopped");
    report(SERVICE_STOPPED, 0, 0, 0);
}

}  // namespace

int main()
{
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, serviceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
