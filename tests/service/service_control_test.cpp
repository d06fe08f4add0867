// qzbackup as a service, end to end: installed into the emulated machine, started by the
// stand-in service control manager as a real process with a real virtual machine, controlled,
// stopped and removed. The reports that the manager records are checked row by row.
#include "service_test_support.h"

#include "advapi32/eventlog.h"
#include "advapi32/services.h"
#include "kernel32/console.h"
#include "machine/machine.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <regex>
#include <thread>

using namespace servicetest;

namespace {

const std::string kInstallDir = "C:\\Program Files\\Qz Backup";
const std::string kProgram = kInstallDir + "\\qzbackup.exe";
const std::string kServiceName = "QzTest";
const std::string kDisplayName = "Qz Test Service";
// Services run with the local system's TEMP.
const std::string kServiceLog = "C:\\Windows\\Temp\\qzsrvc.log";

struct Row {
    DWORD state, controls, checkPoint, waitHint, win32Exit, specificExit;
    bool operator==(const Row &o) const
    {
        return state == o.state && controls == o.controls && checkPoint == o.checkPoint && waitHint == o.waitHint &&
               win32Exit == o.win32Exit && specificExit == o.specificExit;
    }
};

[[maybe_unused]] std::ostream &operator<<(std::ostream &out, const Row &r)
{
    return out << "{state " << r.state << ", controls " << r.controls << ", checkpoint " << r.checkPoint
               << ", wait " << r.waitHint << ", exit " << r.win32Exit << ", specific " << r.specificExit << "}";
}

class ServiceControl : public testing::Test {
protected:
    void SetUp() override
    {
        installProgram("qzbackup", kInstallDir, "qzbackup.exe");
        installExampleJar(kInstallDir);
    }

    void TearDown() override
    {
        winsim::setMachineSetting(winsim::machineRoot(), "administrator", "yes");
        // No service process may outlive the test's machine.
        for (const winsim::ServiceRecord &record : winsim::allServices())
            if (record.processId && record.status.dwCurrentState != SERVICE_STOPPED)
                kill(static_cast<pid_t>(record.processId), SIGKILL);
    }

    void writeProperties(const std::string &mainClass, const std::string &extra = "")
    {
        writeFile(kInstallDir + "\\service.properties", "service.name=" + kServiceName +
                                                            "\nservice.displayname=" + kDisplayName +
                                                            "\nrel-classpath=qzbackup-example.jar\nmain-class=" +
                                                            mainClass + "\n" + extra);
    }

    Result command(const std::string &word) { return run(kProgram, {word}); }

    void installService(const std::string &mainClass)
    {
        writeProperties(mainClass);
        Result result = command("-install");
        ASSERT_EQ(result.output, kDisplayName + " installed.\n");
    }

    // Opens the service with all rights; closed by the caller.
    SC_HANDLE openService(const std::string &name = kServiceName)
    {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        EXPECT_NE(manager, nullptr);
        SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_ALL_ACCESS);
        CloseServiceHandle(manager);
        return service;
    }

    void startService(const std::vector<const char *> &arguments = {})
    {
        SC_HANDLE service = openService();
        ASSERT_NE(service, nullptr);
        ASSERT_TRUE(StartServiceA(service, static_cast<DWORD>(arguments.size()),
                                  const_cast<LPCSTR *>(arguments.data())))
            << GetLastError();
        CloseServiceHandle(service);
    }

    SERVICE_STATUS status(const std::string &name = kServiceName)
    {
        SERVICE_STATUS current{};
        SC_HANDLE service = openService(name);
        EXPECT_TRUE(QueryServiceStatus(service, &current));
        CloseServiceHandle(service);
        return current;
    }

    bool waitForState(DWORD state, int seconds = 60)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            if (status().dwCurrentState == state)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Waits until the process of the service's last run has ended (what it writes after its
    // final report, such as the destructor's log lines, is then written).
    bool waitForProcessEnd(const std::string &name = kServiceName, int seconds = 60)
    {
        winsim::ServiceRecord record;
        if (winsim::loadService(name, record) != 0)
            return false;
        const pid_t process = static_cast<pid_t>(record.processId);
        const uint64_t started = record.processStart;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            if (process == 0 || winsim::processStartTime(process) != started)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    DWORD control(DWORD code, SERVICE_STATUS &after)
    {
        SC_HANDLE service = openService();
        DWORD error = ControlService(service, code, &after) ? 0 : GetLastError();
        CloseServiceHandle(service);
        return error;
    }

    std::vector<Row> reports(const std::string &name = kServiceName)
    {
        std::vector<Row> rows;
        for (const winsim::ServiceReport &report : winsim::serviceReports(name)) {
            const SERVICE_STATUS &s = report.status;
            EXPECT_EQ(s.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
            rows.push_back(Row{s.dwCurrentState, s.dwControlsAccepted, s.dwCheckPoint, s.dwWaitHint,
                               s.dwWin32ExitCode, s.dwServiceSpecificExitCode});
        }
        return rows;
    }

    std::vector<std::string> javaEvents() { return lines(readFile(kInstallDir + "\\service-events.txt")); }
};

TEST_F(ServiceControl, InstallRegistersTheQuotedProgramAndRefusesADuplicate)
{
    installService("com.pemrix.demo.service.ExampleService");
    winsim::ServiceRecord record;
    ASSERT_EQ(winsim::loadService(kServiceName, record), 0u);
    EXPECT_EQ(record.binaryPath, "\"" + kProgram + "\" -start");
    EXPECT_EQ(record.displayName, kDisplayName);
    EXPECT_EQ(record.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(record.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(record.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(record.account, "LocalSystem");
    EXPECT_TRUE(record.dependencies.empty());

    Result again = command("/INSTALL");
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.output, "CreateService failed - The specified service already exists. (0x431)\n");

    // Removing a service that does not run prints only the removal.
    Result removed = command("-Remove");
    EXPECT_EQ(removed.output, kDisplayName + " removed.\n");
    removed = command("-remove");
    EXPECT_EQ(removed.output,
              "OpenService failed - The specified service does not exist as an installed service. (0x424)\n");
    // Neither command writes to the log.
    EXPECT_FALSE(fileExists("C:\\Temp\\qzsrvc.log"));
}

TEST_F(ServiceControl, WithoutAdministrativeRightsTheManagerCannotBeOpened)
{
    writeProperties("com.pemrix.demo.service.ExampleService");
    winsim::setMachineSetting(winsim::machineRoot(), "administrator", "no");
    EXPECT_EQ(command("-install").output, "OpenSCManager failed - Access is denied. (0x5)\n");
    EXPECT_EQ(command("-remove").output, "OpenSCManager failed - Access is denied. (0x5)\n");
}

TEST_F(ServiceControl, StartFromAConsoleReportsOneEvent)
{
    writeProperties("com.pemrix.demo.service.ExampleService");
    Result result = command("-start");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, "");
    auto events = winsim::readEventLog("Application");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].source, kServiceName);
    EXPECT_EQ(events[0].strings, std::vector<std::string>{"StartServiceCtrlDispatcher failed."});
    EXPECT_EQ(events[0].userSid, "S-1-22-1-" + std::to_string(getuid()));
}

// Failures of the manager's calls inside the service process, injected through the machine's
// settings. Without a status handle the service cannot report at all: its process ends, and the
// manager finds it stopped.
TEST_F(ServiceControl, HandlerThatCannotBeRegisteredMeansNoReportAtAll)
{
    installService("com.pemrix.demo.service.ExampleService");
    winsim::setMachineSetting(winsim::machineRoot(), "fail.RegisterServiceCtrlHandlerA", "8");
    startService();
    ASSERT_TRUE(waitForState(SERVICE_STOPPED));
    EXPECT_EQ(status().dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    EXPECT_EQ(logMessages(kServiceLog), std::vector<std::string>{"Error: Failed to register service handler"});
    EXPECT_TRUE(winsim::serviceReports(kServiceName).empty());
}

// init cannot set up the invoker and no error was recorded: the only report says that the start
// failed, with service-specific code 1.
TEST_F(ServiceControl, ServiceWithoutInvokerStopsWithServiceSpecificCodeOne)
{
    writeProperties("com.pemrix.demo.service.ExampleService", "working-dir=C:\\missing\n");
    ASSERT_EQ(command("-install").output, kDisplayName + " installed.\n");
    startService();
    ASSERT_TRUE(waitForState(SERVICE_STOPPED));
    ASSERT_TRUE(waitForProcessEnd());
    EXPECT_EQ(reports(), (std::vector<Row>{
                             {SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, ERROR_SERVICE_SPECIFIC_ERROR, 1},
                         }));
    EXPECT_EQ(logMessages(kServiceLog), std::vector<std::string>{"Error: Could not set working dir: C:\\missing"});
    EXPECT_TRUE(winsim::readEventLog("Application").empty());
}

TEST_F(ServiceControl, FailedStatusReportsGoToTheEventLog)
{
    installService("com.pemrix.demo.service.ExampleService");
    winsim::setMachineSetting(winsim::machineRoot(), "fail.SetServiceStatus", "6");
    startService({"-trace"});
    // init's report fails, so start is skipped; stop's final report fails too.
    for (int i = 0; i < 500 && winsim::readEventLog("Application").size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto events = winsim::readEventLog("Application");
    ASSERT_EQ(events.size(), 2u);
    for (const winsim::EventRecord &event : events) {
        EXPECT_EQ(event.source, kServiceName);
        EXPECT_EQ(event.strings, std::vector<std::string>{"SetServiceStatus"});
    }
    auto messages = logMessages(kServiceLog);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "Error: Failed to set service status"), 2);
    EXPECT_FALSE(contains(messages, "Trace: In start"));
    // The code recorded by the first report is the one the failed call left.
    EXPECT_TRUE(contains(messages, "Debug: ERROR CODE:  6"));
    EXPECT_TRUE(winsim::serviceReports(kServiceName).empty());
}

// -trace is a start parameter at any position after the service's name: the argument lines
// before the one that switches tracing on, and that one, are not written. The start fails at
// once (no working directory), which is all the log needs.
TEST_F(ServiceControl, TraceBeyondTheFirstArgument)
{
    writeProperties("com.pemrix.demo.service.ExampleService", "working-dir=C:\\missing\n");
    ASSERT_EQ(command("-install").output, kDisplayName + " installed.\n");
    startService({"first", "-Trace", "third"});
    ASSERT_TRUE(waitForState(SERVICE_STOPPED));
    ASSERT_TRUE(waitForProcessEnd());
    EXPECT_EQ(logMessages(kServiceLog), (std::vector<std::string>{
                                            "Debug: Argc:3, s:third",
                                            "Trace: In setupInvoker",
                                            "Error: Could not set working dir: C:\\missing",
                                            "Trace: In stop",
                                            "Trace: Notifying SCM",
                                            "Trace: In service destructor",
                                            "Trace: In service destructor",
                                        }));
}

// The service's own name is argument 0, never a switch: a service named -trace is not traced.
TEST_F(ServiceControl, AServiceNamedTraceIsNotTraced)
{
    writeFile(kInstallDir + "\\service.properties",
              "service.name=-trace\nservice.displayname=Traced\nworking-dir=C:\\missing\n");
    ASSERT_EQ(command("-install").output, "Traced installed.\n");
    SC_HANDLE service = openService("-trace");
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    CloseServiceHandle(service);
    for (int i = 0; i < 3000 && status("-trace").dwCurrentState != SERVICE_STOPPED; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(waitForProcessEnd("-trace"));
    EXPECT_EQ(logMessages(kServiceLog), std::vector<std::string>{"Error: Could not set working dir: C:\\missing"});
}

// The debug command does not look at -trace: its log holds errors and messages only.
TEST_F(ServiceControl, DebugWithTraceLogsNoTrace)
{
    writeProperties("com.pemrix.demo.service.ExampleService", "working-dir=C:\\missing\n");
    Result result = run(kProgram, {"-debug", "-trace"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(logMessages("C:\\Temp\\qzsrvc.log"),
              std::vector<std::string>{"Error: Could not set working dir: C:\\missing"});
}

TEST_F(ServiceControl, RemoveReportsAFailedDeletion)
{
    installService("com.pemrix.demo.service.ExampleService");
    winsim::setMachineSetting(winsim::machineRoot(), "fail.DeleteService", "5");
    EXPECT_EQ(command("-remove").output, "DeleteService failed - Access is denied. (0x5)\n");
    winsim::setMachineSetting(winsim::machineRoot(), "fail.DeleteService", "");
    EXPECT_EQ(command("-remove").output, kDisplayName + " removed.\n");
}

// The program's full path must fit the 512 characters given for it: a path that fills them
// would register a program cut short, so nothing is registered. (Beside so long a path the
// properties file cannot be read, as on Windows past MAX_PATH: the default identity is used.)
TEST_F(ServiceControl, InstallNeedsTheWholeProgramPath)
{
    const std::string defaultName = "QzBackup Service";
    const std::string defaultDisplayName = "Pemrix Stowline Service";
    auto installedFrom = [&](size_t pathLength) {
        // C:\ + directories + \qzbackup.exe, the directories in pieces of at most 200.
        std::string directory = "C:";
        size_t left = pathLength - 2 - std::string("\\qzbackup.exe").size();
        for (char name = 'a'; left > 0; ++name) {
            size_t piece = std::min<size_t>(200, left - 1);
            directory += "\\" + std::string(piece, name);
            left -= piece + 1;
        }
        EXPECT_EQ(directory.size() + std::string("\\qzbackup.exe").size(), pathLength);
        // The test reaches so long a path in its \\?\ form; the program sees its plain form.
        const std::string prefixed = "\\\\?\\" + directory;
        installProgram("qzbackup", prefixed, "qzbackup.exe");
        return run(prefixed + "\\qzbackup.exe", {"-install"}).output;
    };
    EXPECT_EQ(installedFrom(512), "Unable to install " + defaultDisplayName +
                                      " - The data area passed to a system call is too small. (0x7a)\n");
    winsim::ServiceRecord record;
    EXPECT_EQ(winsim::loadService(defaultName, record), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(installedFrom(511), defaultDisplayName + " installed.\n");
    ASSERT_EQ(winsim::loadService(defaultName, record), 0u);
    EXPECT_EQ(record.binaryPath.size(), 511 + std::string("\"\" -start").size());
}

TEST_F(ServiceControl, UsageAndVerse)
{
    writeProperties("com.pemrix.demo.service.ExampleService");
    const std::string usage = "Invalid arguments\nusage:\n\tqzbackup -[install|remove|debug]\n";
    for (const std::vector<std::string> &arguments :
         std::vector<std::vector<std::string>>{{}, {"install"}, {"-foo"}, {"-installx"}, {"-"}}) {
        Result result = run(kProgram, arguments);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.output, usage);
    }
    Result verse = command("-NOSTALGIA");
    EXPECT_EQ(verse.exitCode, 0);
    auto verseLines = lines(verse.output);
    ASSERT_EQ(verseLines.size(), 14u);
    for (size_t i = 0; i < verseLines.size(); ++i)
        EXPECT_EQ(verseLines[i].empty(), i == 4 || i == 9) << i;

    // A prefixed command builds the service identity, so a missing file is reported even for
    // an unknown command; a word without the prefix reads nothing.
    std::remove(host(kInstallDir + "\\service.properties").c_str());
    run(kProgram, {"install"});
    EXPECT_TRUE(winsim::readEventLog("Application").empty());
    run(kProgram, {"-foo"});
    EXPECT_EQ(winsim::readEventLog("Application").size(), 1u);
}

#ifdef WITH_JVM

// Runs with a virtual machine in the service process.

// A normal run, traced: the reports of the table, an interrogation while running, the stop
// reaching Java's Stop on the thread that ran main, and the log lines that -TRACE enables.
TEST_F(ServiceControl, NormalRunReportsFollowTheTable)
{
    installService("com.pemrix.demo.service.ExampleService");
    startService({"-TRACE", "second"});
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));

    SERVICE_STATUS after{};
    ASSERT_EQ(control(SERVICE_CONTROL_INTERROGATE, after), 0u);
    EXPECT_EQ(after.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(after.dwCheckPoint, 0u);

    ASSERT_EQ(control(SERVICE_CONTROL_STOP, after), 0u);
    EXPECT_TRUE(after.dwCurrentState == SERVICE_STOP_PENDING || after.dwCurrentState == SERVICE_STOPPED);
    ASSERT_TRUE(waitForState(SERVICE_STOPPED));
    ASSERT_TRUE(waitForProcessEnd());

    EXPECT_EQ(reports(), (std::vector<Row>{
                             {SERVICE_START_PENDING, 0, 1, 3000, 0, 0},
                             {SERVICE_START_PENDING, 0, 2, 3000, 0, 0},
                             {SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0},
                             {SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0},
                             {SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 3, 0, 0, 0},
                             {SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, 0, 0},
                         }));
    SERVICE_STATUS last = status();
    EXPECT_EQ(last.dwWin32ExitCode, 0u);

    auto events = javaEvents();
    EXPECT_TRUE(contains(events, "arg 0 " + kServiceName));
    EXPECT_TRUE(contains(events, "arg 1 -TRACE"));
    EXPECT_TRUE(contains(events, "arg 2 second"));
    EXPECT_TRUE(contains(events, "main com.pemrix.demo.service.ExampleService thread=1/main"));
    EXPECT_TRUE(contains(events, "Stop thread=1/main"));
    EXPECT_TRUE(contains(events, "worker stopped"));

    EXPECT_EQ(logMessages(kServiceLog), (std::vector<std::string>{
                                            "Debug: Argc:2, s:second",
                                            "Trace: In setupInvoker",
                                            "Trace: In start",
                                            "Trace: Invoking service",
                                            "Trace: Waiting for stop event...",
                                            "Trace: Received stop event",
                                            "Trace: Exit start",
                                            "Trace: In stop",
                                            "Trace: Calling invoker stop",
                                            "Debug: Invoker Stopped",
                                            "Trace: Notifying SCM",
                                            "Trace: In service destructor",
                                            "Trace: In service destructor",
                                        }));
    EXPECT_TRUE(winsim::readEventLog("Application").empty());
}

TEST_F(ServiceControl, MainThatThrowsEndsWithServiceSpecificCodeTwo)
{
    installService("com.pemrix.demo.service.FailingService");
    startService();
    ASSERT_TRUE(waitForState(SERVICE_STOPPED));
    ASSERT_TRUE(waitForProcessEnd());
    // Stopped twice: by start with code 2, then by stop; no error was recorded, so the second
    // report still says that the service failed.
    EXPECT_EQ(reports(), (std::vector<Row>{
                             {SERVICE_START_PENDING, 0, 1, 3000, 0, 0},
                             {SERVICE_START_PENDING, 0, 2, 3000, 0, 0},
                             {SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, ERROR_SERVICE_SPECIFIC_ERROR, 2},
                             {SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, ERROR_SERVICE_SPECIFIC_ERROR, 2},
                         }));
    EXPECT_TRUE(contains(logMessages(kServiceLog), "Error: Exception occurred while invokin main method"));
    EXPECT_TRUE(contains(javaEvents(), "Stop thread=1/main"));
}

// Without service.properties every run reports the missing file under the default name: the
// service process twice (main, init), and the final report carries the error recorded then.
TEST_F(ServiceControl, MissingPropertiesFileIsReportedUnderTheDefaultName)
{
    EXPECT_EQ(command("-install").output, "Pemrix Stowline Service installed.\n");
    EXPECT_EQ(winsim::readEventLog("Application").size(), 1u);
    SC_HANDLE service = openService("QzBackup Service");
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(StartServiceA(service, 0, nullptr));
    CloseServiceHandle(service);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (status("QzBackup Service").dwCurrentState != SERVICE_STOPPED &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(waitForProcessEnd("QzBackup Service"));

    auto events = winsim::readEventLog("Application");
    ASSERT_EQ(events.size(), 3u);
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].source, "QzBackup Service");
        EXPECT_EQ(events[i].eventId, 0x20000001u);
        EXPECT_EQ(events[i].strings, std::vector<std::string>{"service.properties file not found, using defaults"});
    }
    // The service process runs as the local system.
    EXPECT_EQ(events[1].userSid, "S-1-5-18");
    EXPECT_EQ(events[2].userSid, "S-1-5-18");
    // The default main class is not there: the start fails with code 2, and the final report
    // carries the file-not-found error that init's report recorded (which tells why, in place
    // of the service-specific code).
    EXPECT_EQ(reports("QzBackup Service"),
              (std::vector<Row>{
                  {SERVICE_START_PENDING, 0, 1, 3000, 0, 0},
                  {SERVICE_START_PENDING, 0, 2, 3000, 0, 0},
                  {SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, ERROR_SERVICE_SPECIFIC_ERROR, 2},
                  {SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, ERROR_FILE_NOT_FOUND, 2},
              }));
    EXPECT_TRUE(contains(logMessages(kServiceLog), "Error: service.properties file not found, using defaults"));
}

TEST_F(ServiceControl, StopWhileStartPendingIsRefused)
{
    installService("com.pemrix.demo.service.SlowStartService");
    startService();
    SERVICE_STATUS after{};
    ASSERT_EQ(status().dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(control(SERVICE_CONTROL_STOP, after), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    EXPECT_EQ(control(SERVICE_CONTROL_STOP, after), 0u);
    ASSERT_TRUE(waitForState(SERVICE_STOPPED));
    EXPECT_EQ(control(SERVICE_CONTROL_STOP, after), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
}

TEST_F(ServiceControl, RemoveStopsARunningServiceWithProgressDots)
{
    installService("com.pemrix.demo.service.SlowStopService");
    startService();
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    Result result = command("-remove");
    EXPECT_EQ(result.exitCode, 0);
    // Stop takes 2.5 seconds: a further dot for each second stop-pending, two at least.
    EXPECT_TRUE(std::regex_match(result.output, std::regex("Stopping Qz Test Service\\.{3,6}\n"
                                                           "Qz Test Service stopped\\.\n"
                                                           "Qz Test Service removed\\.\n")))
        << result.output;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    EXPECT_EQ(OpenServiceA(manager, kServiceName.c_str(), SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    CloseServiceHandle(manager);
}

// A service that never leaves stop-pending does not hold remove forever: after the manager's
// 30 seconds it is given up and marked for deletion.
TEST_F(ServiceControl, RemoveGivesUpOnAServiceThatDoesNotStop)
{
    installService("com.pemrix.demo.service.HangingStopService");
    startService();
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    Result result = command("-remove");
    EXPECT_TRUE(std::regex_match(result.output, std::regex("Stopping Qz Test Service\\.{30}\n"
                                                           "Qz Test Service failed to stop\\.\n"
                                                           "Qz Test Service removed\\.\n")))
        << result.output;
    winsim::ServiceRecord record;
    ASSERT_EQ(winsim::loadService(kServiceName, record), 0u);
    EXPECT_TRUE(record.deleted);
    EXPECT_EQ(record.status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    // Once its process is gone, the service goes too.
    kill(static_cast<pid_t>(record.processId), SIGKILL);
    for (int i = 0; i < 200 && winsim::loadService(kServiceName, record) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(winsim::loadService(kServiceName, record), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

// A service that keeps raising its checkpoint does not hold remove forever either: each new
// checkpoint earns 30 seconds more, but in all remove waits 30 seconds plus the wait hints it
// saw. The test stands in for the stop-pending service's reports.
TEST_F(ServiceControl, RemoveGivesUpOnAServiceThatKeepsRaisingItsCheckpoint)
{
    installService("com.pemrix.demo.service.HangingStopService");
    startService();
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    std::atomic<bool> removing{true};
    std::thread progress([&] {
        winsim::ServiceRecord record;
        if (winsim::loadService(kServiceName, record) != 0)
            return;
        while (removing && status().dwCurrentState != SERVICE_STOP_PENDING)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (DWORD checkPoint = 100; removing; ++checkPoint) {
            SERVICE_STATUS raised{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 0, 0,
                                  checkPoint, 200};
            winsim::recordServiceReport(kServiceName, record.run, raised);
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    });
    Result result = run(kProgram, {"-remove"}, {}, 120);
    removing = false;
    progress.join();
    EXPECT_FALSE(result.timedOut);
    // 30 seconds, and at most 200 ms more for each poll that saw a new checkpoint.
    EXPECT_TRUE(std::regex_match(result.output, std::regex("Stopping Qz Test Service\\.{30,40}\n"
                                                           "Qz Test Service failed to stop\\.\n"
                                                           "Qz Test Service removed\\.\n")))
        << result.output;
}

TEST_F(ServiceControl, LogoffDoesNotEndTheServiceButOtherConsoleEventsDo)
{
    installService("com.pemrix.demo.service.ExampleService");
    startService();
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    winsim::ServiceRecord record;
    ASSERT_EQ(winsim::loadService(kServiceName, record), 0u);
    const pid_t process = static_cast<pid_t>(record.processId);
    ASSERT_EQ(winsim::sendConsoleEvent(process, CTRL_LOGOFF_EVENT), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_NE(winsim::processStartTime(process), 0u);
    EXPECT_EQ(status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    ASSERT_EQ(winsim::sendConsoleEvent(process, CTRL_CLOSE_EVENT), 0);
    ASSERT_TRUE(waitForState(SERVICE_STOPPED, 10));
    EXPECT_EQ(status().dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
}

TEST_F(ServiceControl, DebugRunsJavaUntilKilled)
{
    writeProperties("com.pemrix.demo.service.ExampleService");
    Result result = runUntil(kProgram, {"-debug", "extra"}, [&](const std::string &output) {
        return output.find("Service started, press Control-C to exit...\n") != std::string::npos &&
               contains(javaEvents(), "main returned");
    });
    EXPECT_TRUE(result.ended);
    EXPECT_EQ(result.output, "Service started, press Control-C to exit...\n");
    auto events = javaEvents();
    EXPECT_TRUE(contains(events, "args 3"));
    EXPECT_TRUE(contains(events, "arg 1 -debug"));
    EXPECT_TRUE(contains(events, "arg 2 extra"));
    EXPECT_FALSE(contains(events, "Stop thread=1/main"));
    EXPECT_FALSE(fileExists("C:\\Temp\\qzsrvc.log") && !readFile("C:\\Temp\\qzsrvc.log").empty());

    writeProperties("com.pemrix.demo.service.NoSuchClass");
    result = run(kProgram, {"/DEBUG"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.output.find("Invoker failed\n"), std::string::npos) << result.output;

    writeProperties("com.pemrix.demo.service.ExampleService", "working-dir=C:\\missing\n");
    result = run(kProgram, {"-debug"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "");
}

// The stop event cannot be made: start ends at once, Java's Stop still runs, and the final report
// carries the error that the event's creation left, so the failure is not taken for a clean stop.
TEST_F(ServiceControl, StopEventThatCannotBeCreated)
{
    installService("com.pemrix.demo.service.ExampleService");
    winsim::setMachineSetting(winsim::machineRoot(), "fail.CreateEventA", "8");
    startService();
    ASSERT_TRUE(waitForState(SERVICE_STOPPED));
    ASSERT_TRUE(waitForProcessEnd());
    EXPECT_EQ(reports(), (std::vector<Row>{
                             {SERVICE_START_PENDING, 0, 1, 3000, 0, 0},
                             {SERVICE_START_PENDING, 0, 2, 3000, 0, 0},
                             {SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, ERROR_NOT_ENOUGH_MEMORY, 0},
                         }));
    EXPECT_TRUE(contains(logMessages(kServiceLog), "Error: Failed to create stop event"));
    EXPECT_TRUE(contains(javaEvents(), "worker stopped"));
}

// The running report fails: start goes to its clean-up, stop follows, and the final report
// carries the failed report's error, which the event log has too.
TEST_F(ServiceControl, RunningReportThatFails)
{
    installService("com.pemrix.demo.service.ExampleService");
    winsim::setMachineSetting(winsim::machineRoot(), "fail.SetServiceStatus.4", "6");
    startService();
    ASSERT_TRUE(waitForState(SERVICE_STOPPED));
    ASSERT_TRUE(waitForProcessEnd());
    EXPECT_EQ(reports(), (std::vector<Row>{
                             {SERVICE_START_PENDING, 0, 1, 3000, 0, 0},
                             {SERVICE_START_PENDING, 0, 2, 3000, 0, 0},
                             {SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, ERROR_INVALID_HANDLE, 0},
                         }));
    EXPECT_TRUE(contains(logMessages(kServiceLog), "Error: Failed to set service status"));
    auto events = winsim::readEventLog("Application");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].strings, std::vector<std::string>{"SetServiceStatus"});
    EXPECT_TRUE(contains(javaEvents(), "worker stopped"));
}

// The stop-pending report fails: the handler still sets the stop event, the service stops, and
// the final report carries the error.
TEST_F(ServiceControl, StopPendingReportThatFails)
{
    installService("com.pemrix.demo.service.ExampleService");
    winsim::setMachineSetting(winsim::machineRoot(), "fail.SetServiceStatus.3", "6");
    startService();
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    SERVICE_STATUS after{};
    ASSERT_EQ(control(SERVICE_CONTROL_STOP, after), 0u);
    ASSERT_TRUE(waitForState(SERVICE_STOPPED));
    ASSERT_TRUE(waitForProcessEnd());
    EXPECT_EQ(reports(), (std::vector<Row>{
                             {SERVICE_START_PENDING, 0, 1, 3000, 0, 0},
                             {SERVICE_START_PENDING, 0, 2, 3000, 0, 0},
                             {SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0},
                             {SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, ERROR_INVALID_HANDLE, 0},
                         }));
    EXPECT_EQ(winsim::readEventLog("Application").size(), 1u);
    EXPECT_TRUE(contains(javaEvents(), "Stop thread=1/main"));
}

// The status query fails during the stop wait: the state last received, stop-pending from the
// stop control, decides the line; the deletion follows.
TEST_F(ServiceControl, RemoveWhenTheStatusQueryFails)
{
    installService("com.pemrix.demo.service.SlowStopService");
    startService();
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    winsim::setMachineSetting(winsim::machineRoot(), "fail.QueryServiceStatus", "6");
    Result result = command("-remove");
    EXPECT_EQ(result.output, "Stopping " + kDisplayName + ".\n" + kDisplayName + " failed to stop.\n" + kDisplayName +
                                 " removed.\n");
    winsim::setMachineSetting(winsim::machineRoot(), "fail.QueryServiceStatus", "");
    // It stops in its own time and goes then, as a service marked for deletion does.
    winsim::ServiceRecord record;
    for (int i = 0; i < 1500 && winsim::loadService(kServiceName, record) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(winsim::loadService(kServiceName, record), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

// A main that fails after starting a thread that never ends: the virtual machine cannot be
// destroyed, yet the run ends at once.
TEST_F(ServiceControl, DebugEndsWhenMainFailsAfterStartingAThread)
{
    writeProperties("com.pemrix.demo.service.FailingWithThreadService");
    Result result = run(kProgram, {"-debug"}, {}, 120);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.output.find("Invoker failed\n"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("the example application failed after starting a thread"), std::string::npos);
}

// The log cannot be written (its disk is full) when a status report fails: the error recorded,
// and carried by the final report, is the report's own.
TEST_F(ServiceControl, FailedReportKeepsItsErrorWhenTheLogCannotBeWritten)
{
    installService("com.pemrix.demo.service.ExampleService");
    makeDirectory("C:\\Windows\\Temp");
    ASSERT_EQ(symlink("/dev/full", host(kServiceLog).c_str()), 0);
    startService();
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    SERVICE_STATUS after{};
    winsim::setMachineSetting(winsim::machineRoot(), "fail.SetServiceStatus", "6");
    EXPECT_EQ(control(SERVICE_CONTROL_INTERROGATE, after), 0u);
    winsim::setMachineSetting(winsim::machineRoot(), "fail.SetServiceStatus", "");
    ASSERT_EQ(control(SERVICE_CONTROL_STOP, after), 0u);
    ASSERT_TRUE(waitForState(SERVICE_STOPPED));
    EXPECT_EQ(status().dwWin32ExitCode, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    auto events = winsim::readEventLog("Application");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].strings, std::vector<std::string>{"SetServiceStatus"});
}

#endif  // WITH_JVM

}  // namespace
