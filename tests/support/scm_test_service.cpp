// A service for the tests of the stand-in service control manager. Started by the manager, it
// reports start-pending, then running, and waits for a stop; its start parameters:
//
//   accept=<n>        the controls it accepts while running (default SERVICE_ACCEPT_STOP)
//   release=<path>    once stop-pending, it stays so until this file (a host path) exists
//
// Its handler takes a while before it reports, so that controls sent together are still
// arriving while the first one is handled. SERVICE_CONTROL_STOP and the control 128 stop it;
// every other control re-reports the present status.
#include <windows.h>

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
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
        report(SERVICE_STOP_PENDING, 0, 1, 5000);
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

void WINAPI serviceMain(DWORD argc, LPSTR *argv)
{
    DWORD accepted = SERVICE_ACCEPT_STOP;
    std::string release;
    for (DWORD i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "accept=", 7) == 0)
            accepted = static_cast<DWORD>(strtoul(argv[i] + 7, nullptr, 0));
        else if (strncmp(argv[i], "release=", 8) == 0)
            release = argv[i] + 8;
    }
    statusHandle = RegisterServiceCtrlHandlerA(argv[0], handler);
    if (!statusHandle)
        return;
    report(SERVICE_START_PENDING, 0, 1, 5000);
    report(SERVICE_RUNNING, accepted, 0, 0);
    {
        std::unique_lock<std::mutex> guard(lock);
        stopRequested.wait(guard, [] { return stopping; });
    }
    const auto deadline = std::chrono::steady_clock::now() + kReleaseDeadline;
    while (!release.empty() && !exists(release) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    report(SERVICE_STOPPED, 0, 0, 0);
}

}  // namespace

int main()
{
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, serviceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
