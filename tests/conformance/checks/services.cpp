// The service control manager: creation, start with arguments, status reports, controls, stop,
// deletion and the rule of services marked for deletion. The service program is this program
// itself, started by the manager as "conformance --helper service <name> <directory> <mode>":
//
//   plain   reports running, accepting stop, and stops when told to
//   hold    stays start-pending until <directory>\release exists
//   abort   ends its process on the stop control without reporting stopped
//
// It writes the arguments that its ServiceMain received, one a line, to <directory>\arguments.txt.
#include "../framework/support.h"

#include <cstring>
#include <string>

using namespace conformance;

namespace {

// ---- the service program ----

struct ServiceProgram {
    std::string name;
    WString directory;
    std::string mode;
    SERVICE_STATUS_HANDLE status = nullptr;
    HANDLE stop = nullptr;
    SERVICE_STATUS current{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 3000};
};

ServiceProgram program;

void report(DWORD state, DWORD accepted, DWORD checkPoint, DWORD waitHint)
{
    program.current.dwCurrentState = state;
    program.current.dwControlsAccepted = accepted;
    program.current.dwCheckPoint = checkPoint;
    program.current.dwWaitHint = waitHint;
    SetServiceStatus(program.status, &program.current);
}

void WINAPI handleControl(DWORD control)
{
    if (control == SERVICE_CONTROL_STOP) {
        if (program.mode == "abort")
            ExitProcess(3);
        report(SERVICE_STOP_PENDING, 0, 1, 3000);
        SetEvent(program.stop);
        return;
    }
    SetServiceStatus(program.status, &program.current);
}

void WINAPI serviceMain(DWORD argc, LPSTR *argv)
{
    program.status = RegisterServiceCtrlHandlerA(program.name.c_str(), handleControl);
    if (!program.status)
        return;
    std::string arguments;
    for (DWORD i = 0; i < argc; ++i)
        arguments += std::string(argv[i]) + "\n";
    writeFile(program.directory + TEXT("\\arguments.txt"), arguments);
    report(SERVICE_START_PENDING, 0, 1, 3000);
    if (program.mode == "hold") {
        for (DWORD checkPoint = 2; checkPoint < 600 && !fileExists(program.directory + TEXT("\\release")); ++checkPoint) {
            Sleep(50);
            report(SERVICE_START_PENDING, 0, checkPoint, 3000);
        }
    }
    report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0);
    WaitForSingleObject(program.stop, 120000);
    report(SERVICE_STOPPED, 0, 0, 0);
}

// ---- the manager's side ----

struct Manager {
    OwnedService handle{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
};

std::string commandLine(const std::string &name, Check &check, const char *mode)
{
    return "\"" + programPathA() + "\" --helper service " + name + " " + utf8(check.directory()) + " " + mode;
}

SC_HANDLE create(const Manager &manager, const std::string &name, const std::string &displayName,
                 const std::string &command, const char *dependencies = nullptr)
{
    return CreateServiceA(manager.handle.get(), name.c_str(), displayName.c_str(), SERVICE_ALL_ACCESS,
                          SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(),
                          nullptr, nullptr, dependencies, nullptr, nullptr);
}

SERVICE_STATUS statusOf(SC_HANDLE service)
{
    SERVICE_STATUS status{};
    QueryServiceStatus(service, &status);
    return status;
}

bool reaches(SC_HANDLE service, DWORD state)
{
    return eventually([&] { return statusOf(service).dwCurrentState == state; });
}

// Stops a service left running by a failed check and deletes it.
void remove(SC_HANDLE service)
{
    SERVICE_STATUS status{};
    if (statusOf(service).dwCurrentState != SERVICE_STOPPED) {
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        reaches(service, SERVICE_STOPPED);
    }
    DeleteService(service);
}

}  // namespace

HELPER(service)
{
    if (argc < 3)
        return 2;
    program.name = argv[0];
    program.directory = widen(argv[1]);
    program.mode = argv[2];
    program.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SERVICE_TABLE_ENTRYA table[] = {{program.name.data(), serviceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}

CHECK(services, a_missing_service_does_not_exist)
{
    Manager manager;
    ASSERT_TRUE(manager.handle.get() != nullptr);
    EXPECT_FAILS_WITH(OpenServiceA(manager.handle.get(), "ConformanceNoSuchService", SERVICE_QUERY_STATUS), nullptr,
                      ERROR_SERVICE_DOES_NOT_EXIST);
}

CHECK(services, names_are_unique_in_any_case)
{
    Manager manager;
    ASSERT_TRUE(manager.handle.get() != nullptr);
    const std::string command = commandLine("ConformanceUnique", check, "plain");
    OwnedService service(create(manager, "ConformanceUnique", "Conformance Unique", command));
    ASSERT_TRUE(service.get() != nullptr);
    EXPECT_FAILS_WITH(create(manager, "ConformanceUnique", "Another Display", command), nullptr,
                      ERROR_SERVICE_EXISTS);
    EXPECT_FAILS_WITH(create(manager, "CONFORMANCEUNIQUE", "Yet Another Display", command), nullptr,
                      ERROR_SERVICE_EXISTS);
    OwnedService again(OpenServiceA(manager.handle.get(), "conformanceunique", SERVICE_QUERY_STATUS));
    EXPECT_TRUE(again.get() != nullptr);
    EXPECT_SUCCEEDS(DeleteService(service.get()));
}

CHECK(services, a_display_name_may_not_be_another_services_name_or_display_name)
{
    Manager manager;
    ASSERT_TRUE(manager.handle.get() != nullptr);
    const std::string command = commandLine("ConformanceShown", check, "plain");
    OwnedService service(create(manager, "ConformanceShown", "Conformance Shown", command));
    ASSERT_TRUE(service.get() != nullptr);
    EXPECT_FAILS_WITH(create(manager, "ConformanceOther", "conformance shown", command), nullptr,
                      ERROR_DUPLICATE_SERVICE_NAME);
    OwnedService other(create(manager, "ConformanceOther", "ConformanceShown", command));
    EXPECT_TRUE(other.get() == nullptr);
    EXPECT_EQ(GetLastError(), ERROR_DUPLICATE_SERVICE_NAME);
    if (other.get())
        DeleteService(other.get());
    EXPECT_SUCCEEDS(DeleteService(service.get()));
}

CHECK(services, names_with_separators_are_invalid)
{
    Manager manager;
    ASSERT_TRUE(manager.handle.get() != nullptr);
    const std::string command = commandLine("x", check, "plain");
    EXPECT_FAILS_WITH(create(manager, "", "Conformance Empty", command), nullptr, ERROR_INVALID_NAME);
    EXPECT_FAILS_WITH(create(manager, "Conformance\\Slash", "Conformance Backslash", command), nullptr,
                      ERROR_INVALID_NAME);
    EXPECT_FAILS_WITH(create(manager, "Conformance/Slash", "Conformance Slash", command), nullptr,
                      ERROR_INVALID_NAME);
}

CHECK(services, a_new_service_is_stopped_and_never_started)
{
    Manager manager;
    ASSERT_TRUE(manager.handle.get() != nullptr);
    OwnedService service(create(manager, "ConformanceNew", "Conformance New", commandLine("ConformanceNew", check, "plain")));
    ASSERT_TRUE(service.get() != nullptr);
    SERVICE_STATUS status{};
    ASSERT_TRUE(QueryServiceStatus(service.get(), &status));
    EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status.dwWin32ExitCode, ERROR_SERVICE_NEVER_STARTED);
    EXPECT_FAILS_WITH(ControlService(service.get(), SERVICE_CONTROL_STOP, &status), FALSE, ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_SUCCEEDS(DeleteService(service.get()));
}

CHECK(services, the_process_status_tells_its_size_first)
{
    Manager manager;
    ASSERT_TRUE(manager.handle.get() != nullptr);
    OwnedService service(
        create(manager, "ConformanceSized", "Conformance Sized", commandLine("ConformanceSized", check, "plain")));
    ASSERT_TRUE(service.get() != nullptr);
    BYTE buffer[64];
    DWORD needed = 0;
    EXPECT_FAILS_WITH(QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, buffer, 8, &needed), FALSE,
                      ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(needed, static_cast<DWORD>(sizeof(SERVICE_STATUS_PROCESS)));
    EXPECT_TRUE(QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, buffer, sizeof buffer, &needed));
    EXPECT_SUCCEEDS(DeleteService(service.get()));
}

CHECK(services, a_started_service_gets_its_arguments_runs_and_stops)
{
    Manager manager;
    ASSERT_TRUE(manager.handle.get() != nullptr);
    OwnedService service(
        create(manager, "ConformanceRun", "Conformance Run", commandLine("ConformanceRun", check, "plain")));
    ASSERT_TRUE(service.get() != nullptr);
    const char *arguments[] = {"-first", "second argument"};
    ASSERT_SUCCEEDS(StartServiceA(service.get(), 2, arguments));
    ASSERT_TRUE(reaches(service.get(), SERVICE_RUNNING));

    std::string received;
    EXPECT_TRUE(readFile(check.path(TEXT("arguments.txt")), received));
    EXPECT_EQ(received, std::string("ConformanceRun\n-first\nsecond argument\n"));

    SERVICE_STATUS_PROCESS process{};
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&process),
                                     sizeof process, &needed));
    EXPECT_EQ(process.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(process.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    EXPECT_TRUE(process.dwProcessId != 0);
    EXPECT_TRUE(process.dwProcessId != GetCurrentProcessId());

    EXPECT_FAILS_WITH(StartServiceA(service.get(), 0, nullptr), FALSE, ERROR_SERVICE_ALREADY_RUNNING);
    SERVICE_STATUS status{};
    EXPECT_FAILS_WITH(ControlService(service.get(), SERVICE_CONTROL_PAUSE, &status), FALSE,
                      ERROR_INVALID_SERVICE_CONTROL);
    EXPECT_SUCCEEDS(ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    ASSERT_SUCCEEDS(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(status.dwCurrentState == SERVICE_STOP_PENDING || status.dwCurrentState == SERVICE_STOPPED);
    ASSERT_TRUE(reaches(service.get(), SERVICE_STOPPED));
    status = statusOf(service.get());
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    ASSERT_TRUE(QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&process),
                                     sizeof process, &needed));
    EXPECT_EQ(process.dwProcessId, 0u);
    EXPECT_FAILS_WITH(ControlService(service.get(), SERVICE_CONTROL_STOP, &status), FALSE, ERROR_SERVICE_NOT_ACTIVE);
    remove(service.get());
}

CHECK(services, starting_a_service_starts_what_it_depends_on_first)
{
    Manager manager;
    ASSERT_TRUE(manager.handle.get() != nullptr);
    OwnedService base(create(manager, "ConformanceBase", "Conformance Base",
                             commandLine("ConformanceBase", check, "plain")));
    OwnedService user(create(manager, "ConformanceUser", "Conformance User",
                             commandLine("ConformanceUser", check, "plain"), "conformancebase\0"));
    OwnedService orphan(create(manager, "ConformanceOrphan", "Conformance Orphan",
                               commandLine("ConformanceOrphan", check, "plain"), "ConformanceNowhere\0"));
    ASSERT_TRUE(base.get() != nullptr && user.get() != nullptr && orphan.get() != nullptr);

    ASSERT_SUCCEEDS(StartServiceA(user.get(), 0, nullptr));
    // The dependency runs before the service that needs it is started.
    EXPECT_EQ(statusOf(base.get()).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(reaches(user.get(), SERVICE_RUNNING));
    EXPECT_FAILS_WITH(StartServiceA(orphan.get(), 0, nullptr), FALSE, ERROR_SERVICE_DEPENDENCY_DELETED);
    EXPECT_EQ(statusOf(orphan.get()).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    remove(orphan.get());
    remove(user.get());
    remove(base.get());
}

CHECK(services, a_starting_service_takes_no_controls)
{
    Manager manager;
    ASSERT_TRUE(manager.handle.get() != nullptr);
    OwnedService service(
        create(manager, "ConformanceHold", "Conformance Hold", commandLine("ConformanceHold", check, "hold")));
    ASSERT_TRUE(service.get() != nullptr);
    ASSERT_SUCCEEDS(StartServiceA(service.get(), 0, nullptr));
    ASSERT_TRUE(eventually([&] { return fileExists(check.path(TEXT("arguments.txt"))); }));
    EXPECT_EQ(statusOf(service.get()).dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    SERVICE_STATUS status{};
    EXPECT_FAILS_WITH(ControlService(service.get(), SERVICE_CONTROL_STOP, &status), FALSE,
                      ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    ASSERT_TRUE(writeFile(check.path(TEXT("release")), ""));
    ASSERT_TRUE(reaches(service.get(), SERVICE_RUNNING));
    EXPECT_SUCCEEDS(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(reaches(service.get(), SERVICE_STOPPED));
    remove(service.get());
}

CHECK(services, a_process_that_ends_without_reporting_stopped_is_found_aborted)
{
    Manager manager;
    ASSERT_TRUE(manager.handle.get() != nullptr);
    OwnedService service(
        create(manager, "ConformanceAbort", "Conformance Abort", commandLine("ConformanceAbort", check, "abort")));
    ASSERT_TRUE(service.get() != nullptr);
    ASSERT_SUCCEEDS(StartServiceA(service.get(), 0, nullptr));
    ASSERT_TRUE(reaches(service.get(), SERVICE_RUNNING));
    SERVICE_STATUS status{};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    ASSERT_TRUE(reaches(service.get(), SERVICE_STOPPED));
    EXPECT_EQ(statusOf(service.get()).dwWin32ExitCode, ERROR_PROCESS_ABORTED);
    remove(service.get());
}

CHECK(services, a_deleted_service_is_marked_until_its_last_handle_closes)
{
    Manager manager;
    ASSERT_TRUE(manager.handle.get() != nullptr);
    const std::string command = commandLine("ConformanceMarked", check, "plain");
    OwnedService first(create(manager, "ConformanceMarked", "Conformance Marked", command));
    ASSERT_TRUE(first.get() != nullptr);
    OwnedService second(OpenServiceA(manager.handle.get(), "ConformanceMarked", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(second.get() != nullptr);

    EXPECT_SUCCEEDS(DeleteService(first.get()));
    EXPECT_FAILS_WITH(DeleteService(second.get()), FALSE, ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_FAILS_WITH(create(manager, "ConformanceMarked", "Conformance Marked", command), nullptr,
                      ERROR_SERVICE_MARKED_FOR_DELETE);

    first.reset();
    second.reset();
    EXPECT_TRUE(eventually([&] {
        OwnedService gone(OpenServiceA(manager.handle.get(), "ConformanceMarked", SERVICE_QUERY_STATUS));
        return gone.get() == nullptr && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    }));
    OwnedService recreated(create(manager, "ConformanceMarked", "Conformance Marked", command));
    EXPECT_TRUE(recreated.get() != nullptr);
    if (recreated.get())
        DeleteService(recreated.get());
}

CHECK(services, a_service_marked_for_deletion_does_not_start)
{
    Manager manager;
    ASSERT_TRUE(manager.handle.get() != nullptr);
    OwnedService service(create(manager, "ConformanceUnstartable", "Conformance Unstartable",
                                commandLine("ConformanceUnstartable", check, "plain")));
    ASSERT_TRUE(service.get() != nullptr);
    ASSERT_SUCCEEDS(DeleteService(service.get()));
    EXPECT_FAILS_WITH(StartServiceA(service.get(), 0, nullptr), FALSE, ERROR_SERVICE_MARKED_FOR_DELETE);
    remove(service.get());
}

CHECK(services, a_running_service_deleted_goes_when_it_stops)
{
    Manager manager;
    ASSERT_TRUE(manager.handle.get() != nullptr);
    const std::string command = commandLine("ConformanceDeleted", check, "plain");
    OwnedService service(create(manager, "ConformanceDeleted", "Conformance Deleted", command));
    ASSERT_TRUE(service.get() != nullptr);
    ASSERT_SUCCEEDS(StartServiceA(service.get(), 0, nullptr));
    ASSERT_TRUE(reaches(service.get(), SERVICE_RUNNING));
    EXPECT_SUCCEEDS(DeleteService(service.get()));
    EXPECT_EQ(statusOf(service.get()).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_FAILS_WITH(create(manager, "ConformanceDeleted", "Conformance Deleted", command), nullptr,
                      ERROR_SERVICE_MARKED_FOR_DELETE);
    SERVICE_STATUS status{};
    EXPECT_SUCCEEDS(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(reaches(service.get(), SERVICE_STOPPED));
    service.reset();
    EXPECT_TRUE(eventually([&] {
        OwnedService gone(OpenServiceA(manager.handle.get(), "ConformanceDeleted", SERVICE_QUERY_STATUS));
        return gone.get() == nullptr && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    }));
}

CHECK(services, the_dispatcher_needs_a_process_that_the_manager_started)
{
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>("ConformanceNotStarted"), serviceMain}, {nullptr, nullptr}};
    EXPECT_FAILS_WITH(StartServiceCtrlDispatcherA(table), FALSE, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
}
