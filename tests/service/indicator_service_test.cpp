// The service host with an application that leaves a desktop indicator shown when it is told
// to stop: the library's indicator thread must not hold up the destruction of the virtual
// machine, so the service still stops.
#include "service_test_support.h"

#include "advapi32/services.h"
#include "machine/machine.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <thread>

#ifdef WITH_JVM

using namespace servicetest;

namespace {

const std::string kInstallDir = "C:\\Program Files\\Qz Backup";
const std::string kServiceName = "QzIndicator";

SERVICE_STATUS serviceStatus()
{
    SERVICE_STATUS current{};
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, kServiceName.c_str(), SERVICE_ALL_ACCESS);
    QueryServiceStatus(service, &current);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return current;
}

bool waitForState(DWORD state, int seconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (serviceStatus().dwCurrentState == state)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace

TEST(IndicatorService, ApplicationThatLeavesAnIndicatorShownStillStops)
{
    installProgram("qzbackup", kInstallDir, "qzbackup.exe");
    installProgram("libpallux.so", kInstallDir, "libpallux.so");
    installExampleJar(kInstallDir);
    {
        std::ifstream in(PALLUX_JAVA_JAR, std::ios::binary);
        std::ofstream out(host(kInstallDir + "\\pallux-java.jar"), std::ios::binary);
        out << in.rdbuf();
    }
    writeFile(kInstallDir + "\\service.properties",
              "service.name=" + kServiceName + "\nservice.displayname=Qz Indicator\n"
              "rel-classpath=qzbackup-example.jar;pallux-java.jar\n"
              "main-class=com.pemrix.demo.service.IndicatorService\n");
    ASSERT_EQ(run(kInstallDir + "\\qzbackup.exe", {"-install"}).output, "Qz Indicator installed.\n");

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, kServiceName.c_str(), SERVICE_ALL_ACCESS);
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(waitForState(SERVICE_RUNNING, 60));
    // The indicator is up: its window is on the machine's desktop.
    ASSERT_NE(FindWindowA("PemrixBackupWindowClass", "PemrixBackupWindow"), nullptr)
        << readFile(kInstallDir + "\\service-events.txt");

    SERVICE_STATUS after{};
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &after)) << GetLastError();
    const bool stopped = waitForState(SERVICE_STOPPED, 60);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    winsim::ServiceRecord record;
    winsim::loadService(kServiceName, record);
    if (!stopped && record.processId)
        kill(static_cast<pid_t>(record.processId), SIGKILL);
    ASSERT_TRUE(stopped) << readFile(kInstallDir + "\\service-events.txt");
    EXPECT_EQ(serviceStatus().dwWin32ExitCode, 0u);
    const auto events = lines(readFile(kInstallDir + "\\service-events.txt"));
    EXPECT_TRUE(contains(events, "Stop with the indicator still shown"));
}

#endif  // WITH_JVM
