// The service object and the callbacks that the service control manager calls: init, start
// (runs the Java application and waits for the stop request), stop, and the status reports.
#pragma once

#include "java_invoker.h"
#include "service_log.h"

#include <windows.h>

#include <memory>

class ServiceHost {
public:
    // Opens the log.
    ServiceHost();
    ~ServiceHost();
    ServiceHost(const ServiceHost &) = delete;
    ServiceHost &operator=(const ServiceHost &) = delete;

    // True when the service may start.
    bool init(DWORD argc, LPSTR *argv);
    // Starts the Java application and waits for the stop request.
    void start();
    // Stops the Java application and reports the final state.
    void stop();
    // From the control handler: ends the wait of start.
    void signalStop();
    bool reportStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint);

private:
    int argc = 0;
    char **argv = nullptr;
    std::unique_ptr<JavaInvoker> invoker;
    std::unique_ptr<ServiceConfig> config;
    // Why start ended before the service ran when nothing was reported for it (the stop event
    // could not be made): the final report carries it.
    DWORD startFailure = 0;
};

// The callbacks given to Windows.
void WINAPI serviceMain(DWORD argc, LPSTR *argv);
void WINAPI serviceCtrlHandler(DWORD control);
BOOL WINAPI consoleCtrlHandler(DWORD ctrlType);

// The commands of the program (the ServiceConfig is built by main for each of them).
int runServiceProcess(ServiceConfig &config);
int runDebug(int argc, char **argv);
