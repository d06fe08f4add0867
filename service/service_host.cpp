#include "service_host.h"

#include "properties.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace {

constexpr DWORD kStartWaitHintMs = 3000;
constexpr DWORD kServiceCodeNoInvoker = 1;
constexpr DWORD kServiceCodeInvokeFailed = 2;
// The exit code of a service process that could not register its control handler.
constexpr UINT kExitNoStatusHandle = 1;

// The host that the control handler acts on; null while none exists.
std::atomic<ServiceHost *> currentHost{nullptr};
// The type is set here too, so a report made after init failed early still names it.
SERVICE_STATUS serviceStatus = {SERVICE_WIN32_OWN_PROCESS, 0, 0, 0, 0, 0, 0};
SERVICE_STATUS_HANDLE statusHandle = nullptr;
DWORD checkPointCounter = 1;
std::atomic<HANDLE> stopEvent{nullptr};

bool equalsIgnoringAsciiCase(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b) {
        char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y)
            return false;
    }
    return *a == *b;
}

}  // namespace

ServiceHost::ServiceHost()
{
    openServiceLog();
    writeLog("In service constructor", LOG_TRACE);
}

ServiceHost::~ServiceHost()
{
    writeLog("In service destructor", LOG_TRACE);
    invoker.reset();
    config.reset();
}

bool ServiceHost::init(DWORD count, LPSTR *arguments)
{
    config.reset(loadServiceConfig());
    writeLog("In init", LOG_TRACE);
    for (DWORD i = 0; i < count; ++i) {
        char line[64];
        snprintf(line, sizeof line, "Argc:%d, s:", static_cast<int>(i));
        writeLog(line + std::string(arguments[i]), LOG_DEBUG);
        if (i > 0 && equalsIgnoringAsciiCase(arguments[i], "-trace"))
            setLogThreshold(LOG_TRACE);
    }
    argc = static_cast<int>(count);
    argv = arguments;
    statusHandle = RegisterServiceCtrlHandlerA(config->name().c_str(), serviceCtrlHandler);
    if (!statusHandle)
        writeLog("Failed to register service handler", LOG_ERROR);
    invoker.reset(setupInvoker());
    // Without an invoker the service cannot start; unless an error was recorded, the final
    // report says why.
    if (!invoker && (!config || config->lastError() == 0))
        serviceStatus.dwServiceSpecificExitCode = kServiceCodeNoInvoker;
    if (!statusHandle || !invoker)
        return false;
    serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    serviceStatus.dwServiceSpecificExitCode = 0;
    return reportStatus(SERVICE_START_PENDING, 0, kStartWaitHintMs);
}

void ServiceHost::start()
{
    writeLog("In start", LOG_TRACE);
    if (reportStatus(SERVICE_START_PENDING, 0, kStartWaitHintMs)) {
        if (!invoker) {
            serviceStatus.dwServiceSpecificExitCode = kServiceCodeNoInvoker;
            reportStatus(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, 0);
            if (config)
                config->reportError("invocation failed");
        } else {
            writeLog("Invoking service", LOG_TRACE);
            if (!invoker->invoke(argc, argv)) {
                serviceStatus.dwServiceSpecificExitCode = kServiceCodeInvokeFailed;
                reportStatus(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, 0);
            } else {
                // Installed only now, so that it is asked before any handler of the virtual machine.
                SetConsoleCtrlHandler(consoleCtrlHandler, TRUE);
                HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
                stopEvent = event;
                if (!event) {
                    startFailure = GetLastError();
                    writeLog("Failed to create stop event", LOG_ERROR);
                } else if (reportStatus(SERVICE_RUNNING, 0, 0)) {
                    writeLog("Waiting for stop event...", LOG_TRACE);
                    WaitForMultipleObjects(1, &event, FALSE, INFINITE);
                }
            }
        }
    }
    if (HANDLE event = stopEvent.exchange(nullptr))
        CloseHandle(event);
    writeLog("Exit start", LOG_TRACE);
}

void ServiceHost::stop()
{
    writeLog("In stop", LOG_TRACE);
    if (invoker) {
        writeLog("Calling invoker stop", LOG_TRACE);
        invoker->stop();
        invoker.reset();
        writeLog("Invoker Stopped", LOG_DEBUG);
    }
    writeLog("Notifying SCM", LOG_TRACE);
    if (!statusHandle)
        return;
    DWORD code = config ? config->lastError() : 0;
    if (code != 0) {
        char line[64];
        snprintf(line, sizeof line, "%s %d", "ERROR CODE: ", static_cast<int>(code));
        writeLog(line, LOG_DEBUG);
    } else if (serviceStatus.dwServiceSpecificExitCode != 0) {
        // A failed start that recorded no error is still a failure.
        code = ERROR_SERVICE_SPECIFIC_ERROR;
    } else {
        code = startFailure;
    }
    reportStatus(SERVICE_STOPPED, code, 0);
}

void ServiceHost::signalStop()
{
    if (HANDLE event = stopEvent.load()) {
        writeLog("Received stop event", LOG_TRACE);
        SetEvent(event);
    }
}

bool ServiceHost::reportStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint)
{
    serviceStatus.dwCurrentState = state;
    serviceStatus.dwWin32ExitCode = win32ExitCode;
    serviceStatus.dwWaitHint = waitHint;
    serviceStatus.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        serviceStatus.dwCheckPoint = 0;
    else
        serviceStatus.dwCheckPoint = checkPointCounter++;
    if (!SetServiceStatus(statusHandle, &serviceStatus)) {
        // The error recorded is the report's, whatever writing the log leaves behind.
        const DWORD failure = GetLastError();
        writeLog("Failed to set service status", LOG_ERROR);
        SetLastError(failure);
        if (config)
            config->reportError("SetServiceStatus");
        return false;
    }
    return true;
}

void WINAPI serviceMain(DWORD argc, LPSTR *argv)
{
    auto host = std::make_unique<ServiceHost>();
    currentHost = host.get();
    if (host->init(argc, argv))
        host->start();
    host->stop();
    // A control that arrives from now on finds no host rather than a destroyed one.
    currentHost = nullptr;
    host.reset();
    // Without a status handle no SERVICE_STOPPED report could be made, so the dispatcher would
    // wait for one forever: the process ends, and the manager finds the service stopped.
    if (!statusHandle)
        ExitProcess(kExitNoStatusHandle);
}

void WINAPI serviceCtrlHandler(DWORD control)
{
    ServiceHost *host = currentHost.load();
    if (!host)
        return;
    if (control == SERVICE_CONTROL_STOP) {
        host->reportStatus(SERVICE_STOP_PENDING, 0, 0);
        host->signalStop();
    } else {
        host->reportStatus(serviceStatus.dwCurrentState, 0, 0);
    }
}

BOOL WINAPI consoleCtrlHandler(DWORD ctrlType)
{
    // A user's logoff must not end the service.
    return ctrlType == CTRL_LOGOFF_EVENT;
}

int runServiceProcess(ServiceConfig &config)
{
    ServiceHost host;
    currentHost = &host;
    std::string name = config.name();
    SERVICE_TABLE_ENTRYA table[] = {{&name[0], serviceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table))
        config.reportError("StartServiceCtrlDispatcher failed.");
    currentHost = nullptr;
    return 0;
}

int runDebug(int argc, char **argv)
{
    ServiceHost host;
    currentHost = &host;
    std::unique_ptr<JavaInvoker> invoker(setupInvoker());
    if (!invoker)
        return 1;
    if (!invoker->invoke(argc, argv)) {
        printf("Invoker failed\n");
        fflush(stdout);
        // The virtual machine is not destroyed: that would wait for every non-daemon thread that
        // main started before it failed, possibly forever.
        ExitProcess(1);
    }
    printf("Service started, press Control-C to exit...\n");
    fflush(stdout);
    for (;;)
        Sleep(1000);
}
