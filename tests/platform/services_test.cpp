// The stand-in service control manager's functions, called directly: the database rules, the
// buffer protocols, rights, failures, controls delivered to a service process, and the
// dispatcher's refusal outside a service process.
#include "advapi32/services.h"
#include "machine/machine.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace winsim;

namespace {

class Services : public testing::Test {
protected:
    void SetUp() override
    {
        manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager, nullptr);
    }
    void TearDown() override
    {
        CloseServiceHandle(manager);
        setMachineSetting(machineRoot(), "administrator", "yes");
        // No service process may outlive the test's machine.
        for (const ServiceRecord &record : allServices())
            if (record.processId && record.status.dwCurrentState != SERVICE_STOPPED)
                kill(static_cast<pid_t>(record.processId), SIGKILL);
    }

    SC_HANDLE create(const char *name, const char *display, const char *command, const char *dependencies = nullptr)
    {
        return CreateServiceA(manager, name, display, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command, nullptr, nullptr, dependencies,
                              nullptr, nullptr);
    }

    // The test service (tests/support/scm_test_service.cpp), started with the given parameters.
    SC_HANDLE startTestService(const char *name, const std::vector<std::string> &parameters)
    {
        SC_HANDLE service = create(name, name, ("\"" + std::string(SCM_TEST_SERVICE) + "\"").c_str());
        EXPECT_NE(service, nullptr);
        std::vector<LPCSTR> arguments;
        for (const std::string &parameter : parameters)
            arguments.push_back(parameter.c_str());
        EXPECT_TRUE(StartServiceA(service, static_cast<DWORD>(arguments.size()), arguments.data())) << GetLastError();
        return service;
    }

    static bool waitForState(SC_HANDLE service, DWORD state)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        SERVICE_STATUS status{};
        while (std::chrono::steady_clock::now() < deadline) {
            if (QueryServiceStatus(service, &status) && status.dwCurrentState == state)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // The error with which ControlService refused the control, 0 when it was taken.
    static DWORD control(SC_HANDLE service, DWORD code, SERVICE_STATUS &after)
    {
        return ControlService(service, code, &after) ? 0 : GetLastError();
    }

    static long reportsInState(const char *name, DWORD state)
    {
        auto reports = serviceReports(name);
        return std::count_if(reports.begin(), reports.end(),
                             [&](const ServiceReport &report) { return report.status.dwCurrentState == state; });
    }

    SC_HANDLE manager = nullptr;
};

TEST_F(Services, CreateValidatesAndRefusesDuplicates)
{
    SC_HANDLE first = create("Alpha", "The Alpha", "C:\\alpha.exe");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(create("ALPHA", "Other", "C:\\a.exe"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
    EXPECT_EQ(create("Beta", "the alpha", "C:\\b.exe"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));
    EXPECT_EQ(create("Bad\\Name", "Bad", "C:\\b.exe"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(create("NoCommand", "NoCommand", ""), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    SERVICE_STATUS status{};
    ASSERT_TRUE(QueryServiceStatus(first, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_NEVER_STARTED));
    EXPECT_FALSE(ControlService(first, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_FALSE(ControlService(first, 0, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    SERVICE_STATUS_PROCESS info{};
    DWORD needed = 0;
    EXPECT_FALSE(QueryServiceStatusEx(first, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&info), 8, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, sizeof(SERVICE_STATUS_PROCESS));

    // Marked while a handle is open; gone with the last one.
    ASSERT_TRUE(DeleteService(first));
    EXPECT_FALSE(DeleteService(first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_EQ(create("Alpha", "The Alpha", "C:\\alpha.exe"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_TRUE(CloseServiceHandle(first));
    EXPECT_FALSE(CloseServiceHandle(first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(OpenServiceA(manager, "Alpha", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(Services, DependentsFollowTheBufferProtocol)
{
    SC_HANDLE base = create("Base", "Base", "C:\\base.exe");
    SC_HANDLE user = create("User", "User of Base", "C:\\user.exe", "Other\0BASE\0");
    ASSERT_NE(base, nullptr);
    ASSERT_NE(user, nullptr);
    DWORD needed = 0, returned = 0;
    EXPECT_TRUE(EnumDependentServicesA(base, SERVICE_ACTIVE, nullptr, 0, &needed, &returned));
    EXPECT_EQ(returned, 0u);
    EXPECT_FALSE(EnumDependentServicesA(base, SERVICE_STATE_ALL, nullptr, 0, &needed, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    std::vector<BYTE> buffer(needed);
    auto *entries = reinterpret_cast<LPENUM_SERVICE_STATUSA>(buffer.data());
    ASSERT_TRUE(EnumDependentServicesA(base, SERVICE_STATE_ALL, entries, needed, &needed, &returned));
    ASSERT_EQ(returned, 1u);
    EXPECT_STREQ(entries[0].lpServiceName, "User");
    EXPECT_STREQ(entries[0].lpDisplayName, "User of Base");
    CloseServiceHandle(user);
    CloseServiceHandle(base);
}

TEST_F(Services, StartingAProgramThatIsMissingOrNeverConnects)
{
    SC_HANDLE missing = create("Missing", "Missing", "\"C:\\Program Files\\none\\none.exe\" -start");
    ASSERT_NE(missing, nullptr);
    EXPECT_FALSE(StartServiceA(missing, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    SERVICE_STATUS status{};
    ASSERT_TRUE(QueryServiceStatus(missing, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    // A program that ends without connecting to the manager.
    SC_HANDLE quits = create("Quits", "Quits", "Z:\\bin\\true");
    ASSERT_NE(quits, nullptr);
    EXPECT_FALSE(StartServiceA(quits, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    ASSERT_TRUE(QueryServiceStatus(quits, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    CloseServiceHandle(quits);
    CloseServiceHandle(missing);
}

TEST_F(Services, StartingAServiceStartsWhatItDependsOnFirst)
{
    const std::string program = "\"" + std::string(SCM_TEST_SERVICE) + "\"";
    SC_HANDLE base = create("Base", "Base", program.c_str());
    SC_HANDLE middle = create("Middle", "Middle", program.c_str(), "base\0");
    SC_HANDLE top = create("Top", "Top", program.c_str(), "Middle\0");
    ASSERT_TRUE(base && middle && top);
    LPCSTR arguments[] = {"Top", "accept=1"};
    ASSERT_TRUE(StartServiceA(top, 2, arguments)) << GetLastError();
    // Each dependency runs before what depends on it is started, and gets no arguments.
    SERVICE_STATUS status{};
    ASSERT_TRUE(QueryServiceStatus(base, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    ASSERT_TRUE(QueryServiceStatus(middle, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    ServiceRecord record;
    ASSERT_EQ(loadService("Middle", record), 0u);
    EXPECT_TRUE(record.startArguments.empty());
    ASSERT_EQ(loadService("Top", record), 0u);
    EXPECT_EQ(record.startArguments, (std::vector<std::string>{"Top", "accept=1"}));
    EXPECT_TRUE(waitForState(top, SERVICE_RUNNING));

    // A dependency that is not installed, or marked for deletion, and one that cannot start:
    // the service is not started.
    SC_HANDLE orphan = create("Orphan", "Orphan", program.c_str(), "Nowhere\0");
    SC_HANDLE broken = create("Broken", "Broken", "\"C:\\Program Files\\none\\none.exe\"");
    SC_HANDLE needsBroken = create("NeedsBroken", "NeedsBroken", program.c_str(), "Broken\0");
    ASSERT_TRUE(orphan && broken && needsBroken);
    EXPECT_FALSE(StartServiceA(orphan, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DEPENDENCY_DELETED));
    EXPECT_FALSE(StartServiceA(needsBroken, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DEPENDENCY_FAIL));
    ASSERT_TRUE(QueryServiceStatus(needsBroken, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    ASSERT_TRUE(DeleteService(broken));
    EXPECT_FALSE(StartServiceA(needsBroken, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DEPENDENCY_DELETED));

    // A disabled dependency cannot be started either.
    SC_HANDLE off = CreateServiceA(manager, "Off", "Off", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                   SERVICE_DISABLED, SERVICE_ERROR_NORMAL, program.c_str(), nullptr, nullptr, nullptr,
                                   nullptr, nullptr);
    SC_HANDLE needsOff = create("NeedsOff", "NeedsOff", program.c_str(), "Off\0");
    ASSERT_TRUE(off && needsOff);
    EXPECT_FALSE(StartServiceA(needsOff, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DEPENDENCY_FAIL));

    for (SC_HANDLE service : {top, middle, base})
        EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status) && waitForState(service, SERVICE_STOPPED));
    for (SC_HANDLE service : {needsOff, off, needsBroken, broken, orphan, top, middle, base})
        CloseServiceHandle(service);
}

TEST_F(Services, RightsFailuresAndCallCounts)
{
    SC_HANDLE service = create("Counted", "Counted", "C:\\counted.exe");
    ASSERT_NE(service, nullptr);
    CloseServiceHandle(service);

    setMachineSetting(machineRoot(), "administrator", "no");
    EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SC_HANDLE reader = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(OpenServiceA(reader, "Counted", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    service = OpenServiceA(reader, "counted", SERVICE_QUERY_STATUS);
    ASSERT_NE(service, nullptr);
    EXPECT_FALSE(DeleteService(service));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseServiceHandle(service);
    CloseServiceHandle(reader);

    setMachineSetting(machineRoot(), "fail.OpenServiceA", "1060");
    EXPECT_EQ(OpenServiceA(manager, "Counted", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    setMachineSetting(machineRoot(), "fail.OpenServiceA", "");
    EXPECT_EQ(serviceCallCounts()["OpenServiceA"], 3);
    EXPECT_EQ(serviceCallCounts()["OpenSCManagerA"], 3);
}

// Stops sent together while the service runs: the service's handler takes a while, yet only the
// first stop reaches it; the others find it stop-pending. A stop-pending service takes no
// control at all, and a stopped one is not active.
TEST_F(Services, ControlsSentTogetherAreTakenOneAtATime)
{
    const std::string release = machineRoot() + "/release-racer";
    SC_HANDLE service = startTestService("Racer", {"release=" + release});
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(waitForState(service, SERVICE_RUNNING));

    constexpr int kSenders = 6;
    std::vector<DWORD> results(kSenders, 0xFFFFFFFF);
    std::atomic<int> ready{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < kSenders; ++i) {
        senders.emplace_back([&, i] {
            SC_HANDLE own = OpenServiceA(manager, "Racer", SERVICE_STOP | SERVICE_QUERY_STATUS);
            ++ready;
            while (ready.load() < kSenders)
                std::this_thread::yield();
            SERVICE_STATUS after{};
            results[i] = control(own, SERVICE_CONTROL_STOP, after);
            CloseServiceHandle(own);
        });
    }
    for (std::thread &sender : senders)
        sender.join();
    EXPECT_EQ(std::count(results.begin(), results.end(), 0u), 1);
    EXPECT_EQ(std::count(results.begin(), results.end(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL)),
              kSenders - 1);
    EXPECT_EQ(reportsInState("Racer", SERVICE_STOP_PENDING), 1);

    SERVICE_STATUS after{};
    for (DWORD code : {DWORD{SERVICE_CONTROL_INTERROGATE}, DWORD{SERVICE_CONTROL_STOP}, DWORD{128}}) {
        EXPECT_EQ(control(service, code, after), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL)) << code;
        EXPECT_EQ(after.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    }

    std::ofstream(release).put('\n');
    ASSERT_TRUE(waitForState(service, SERVICE_STOPPED));
    EXPECT_EQ(control(service, SERVICE_CONTROL_INTERROGATE, after), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_EQ(reportsInState("Racer", SERVICE_STOP_PENDING), 1);
    CloseServiceHandle(service);
}

// A running service takes interrogation and its own controls whatever it accepts; any other
// control it does not accept is invalid.
TEST_F(Services, ControlsTheServiceDoesNotAcceptAreInvalid)
{
    SC_HANDLE service = startTestService("Picky", {"accept=0"});
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(waitForState(service, SERVICE_RUNNING));
    SERVICE_STATUS after{};
    for (DWORD code : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE}) {
        EXPECT_EQ(control(service, code, after), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL)) << code;
        EXPECT_EQ(after.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    }
    EXPECT_EQ(control(service, SERVICE_CONTROL_INTERROGATE, after), 0u);
    EXPECT_EQ(after.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(reportsInState("Picky", SERVICE_RUNNING), 2);
    // The service's own stop.
    EXPECT_EQ(control(service, 128, after), 0u);
    ASSERT_TRUE(waitForState(service, SERVICE_STOPPED));
    EXPECT_EQ(reportsInState("Picky", SERVICE_STOP_PENDING), 1);
    CloseServiceHandle(service);
}

TEST(ServiceDispatcher, RefusesAProcessTheManagerDidNotStart)
{
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>("Anything"), [](DWORD, LPSTR *) {}}, {nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_EQ(RegisterServiceCtrlHandlerA("Anything", [](DWORD) {}), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_IN_EXE));
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
    EXPECT_FALSE(SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(&status), &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// What the machine tool shows: the type with its meaning, the process of a service that a
// control reached, the command line as registered, and the runs of a deleted service apart
// from those of a new one of the same name.
TEST_F(Services, TheMachineToolShowsTypesProcessesAndInstallations)
{
    auto tool = [](const std::string &arguments) {
        std::string output;
        if (FILE *pipe = popen((std::string(WINSIM_TOOL) + " " + arguments + " 2>&1").c_str(), "r")) {
            char buffer[512];
            while (fgets(buffer, sizeof buffer, pipe))
                output += buffer;
            pclose(pipe);
        }
        return output;
    };
    auto line = [](const std::string &output, const std::string &start) {
        size_t at = output.find(start);
        return at == std::string::npos ? std::string() : output.substr(at, output.find('\n', at) - at);
    };
    SC_HANDLE service = startTestService("Shown", {});
    ASSERT_TRUE(waitForState(service, SERVICE_RUNNING));
    SERVICE_STATUS_PROCESS info{};
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&info), sizeof info,
                                     &needed));
    const std::string pid = "PID                : " + std::to_string(info.dwProcessId);
    std::string query = tool("sc query Shown");
    EXPECT_EQ(line(query, "TYPE"), "TYPE               : 10  WIN32_OWN_PROCESS");
    EXPECT_EQ(line(query, "PID"), pid);
    EXPECT_EQ(line(tool("sc interrogate Shown"), "PID"), pid);
    EXPECT_EQ(line(tool("sc list"), "Shown"), "Shown  RUNNING  \"" + std::string(SCM_TEST_SERVICE) + "\"");
    EXPECT_EQ(line(tool("sc stop Shown"), "PID"), pid);
    ASSERT_TRUE(waitForState(service, SERVICE_STOPPED));
    ASSERT_TRUE(DeleteService(service));
    CloseServiceHandle(service);

    service = startTestService("Shown", {});
    ASSERT_TRUE(waitForState(service, SERVICE_RUNNING));
    std::string history = tool("sc history Shown");
    EXPECT_EQ(history.compare(0, 13, "install  run "), 0) << history;
    EXPECT_NE(history.find("\n1        1    "), std::string::npos) << history;
    EXPECT_NE(history.find("\n2        1    "), std::string::npos) << history;
    EXPECT_LT(history.find("\n1        1    "), history.find("\n2        1    "));
    SERVICE_STATUS after{};
    ASSERT_EQ(control(service, SERVICE_CONTROL_STOP, after), 0u);
    ASSERT_TRUE(waitForState(service, SERVICE_STOPPED));
    CloseServiceHandle(service);
}

// A process that names a service the manager does not know cannot connect, and keeps no
// descriptor of the attempt.
TEST(ServiceDispatcher, FailedConnectionLeavesNoDescriptorOpen)
{
    auto openDescriptors = [] {
        size_t count = 0;
        if (DIR *directory = opendir("/proc/self/fd")) {
            while (readdir(directory))
                ++count;
            closedir(directory);
        }
        return count;
    };
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>("Nowhere"), [](DWORD, LPSTR *) {}}, {nullptr, nullptr}};
    setenv(kServiceVariable, "Nowhere", 1);
    setenv(kServiceTokenVariable, "0123456789abcdef", 1);
    // The first call also opens what the manager keeps open for the process (its database).
    EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
    const size_t before = openDescriptors();
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    }
    EXPECT_EQ(openDescriptors(), before);
    unsetenv(kServiceVariable);
    unsetenv(kServiceTokenVariable);
}

}  // namespace
