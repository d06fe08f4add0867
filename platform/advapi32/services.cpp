// The service control manager's client functions: the service database, starting a service
// as a real process of the machine, and controls sent to the dispatcher in that process.
#include "advapi32/services.h"

#include "advapi32/token.h"
#include "kernel32/handles.h"
#include "machine/injected_faults.h"
#include "machine/machine.h"
#include "machine/paths.h"
#include "machine/text.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

extern char **environ;

namespace winsim {

namespace {

constexpr int kStartTimeoutMs = 30000;
constexpr int kControlTimeoutMs = 30000;

constexpr ACCESS_MASK kManagerReadRights =
    SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
constexpr ACCESS_MASK kServiceReadRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                           SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE |
                                           SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;

struct ManagerObject : KernelObject {
    ACCESS_MASK access = 0;
};

struct ServiceObject : KernelObject {
    std::string name;
    ACCESS_MASK access = 0;
};

ACCESS_MASK mapManagerAccess(DWORD access)
{
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & (GENERIC_READ | GENERIC_EXECUTE))
        mapped |= kManagerReadRights;
    if (access & (GENERIC_WRITE | GENERIC_ALL))
        mapped |= SC_MANAGER_ALL_ACCESS;
    return mapped;
}

ACCESS_MASK mapServiceAccess(DWORD access)
{
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & (GENERIC_READ | GENERIC_EXECUTE))
        mapped |= kServiceReadRights;
    if (access & (GENERIC_WRITE | GENERIC_ALL))
        mapped |= SERVICE_ALL_ACCESS;
    return mapped;
}

template <typename Result>
Result fail(DWORD error, Result value)
{
    SetLastError(error);
    return value;
}

// The manager's bookkeeping shared by every entry point: counts the call and applies an
// injected failure. Returns the failure, or 0.
DWORD enter(const char *function)
{
    countServiceCall(function);
    if (auto failure = injectedFailure(function))
        return static_cast<DWORD>(*failure);
    return 0;
}

std::shared_ptr<ServiceObject> serviceFromHandle(SC_HANDLE handle, ACCESS_MASK needed, DWORD &error)
{
    auto service = lookupHandleAs<ServiceObject>(reinterpret_cast<HANDLE>(handle));
    error = !service ? ERROR_INVALID_HANDLE : (service->access & needed) != needed ? ERROR_ACCESS_DENIED : 0;
    return error ? nullptr : service;
}

SC_HANDLE newServiceHandle(const std::string &name, ACCESS_MASK access)
{
    auto service = std::make_shared<ServiceObject>();
    service->name = name;
    service->access = access;
    HANDLE handle = insertHandle(service);
    if (DWORD error = openServiceHandle(name, reinterpret_cast<uintptr_t>(handle))) {
        removeHandle(handle);
        return fail(error, static_cast<SC_HANDLE>(nullptr));
    }
    return reinterpret_cast<SC_HANDLE>(handle);
}

bool validServiceName(const char *name)
{
    size_t length = name ? strlen(name) : 0;
    return length > 0 && length <= 256 && !strpbrk(name, "/\\");
}

// The program and arguments of a command line, by the rules of CreateProcess (the program,
// quoted or up to the first blank) and of the C runtime (quotes and backslashes).
bool parseCommandLine(const std::string &line, std::string &program, std::vector<std::string> &arguments)
{
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos)
        return false;
    if (line[i] == '"') {
        size_t close = line.find('"', i + 1);
        if (close == std::string::npos)
            return false;
        program = line.substr(i + 1, close - i - 1);
        i = close + 1;
    } else {
        size_t end = line.find_first_of(" \t", i);
        program = line.substr(i, end == std::string::npos ? std::string::npos : end - i);
        i = end == std::string::npos ? line.size() : end;
    }
    for (;;) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= line.size())
            break;
        std::string argument;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            size_t slashes = 0;
            while (i < line.size() && line[i] == '\\') {
                ++slashes;
                ++i;
            }
            if (i < line.size() && line[i] == '"') {
                argument.append(slashes / 2, '\\');
                if (slashes % 2) {
                    argument += '"';
                } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                    argument += '"';
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                argument.append(slashes, '\\');
                if (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t')))
                    argument += line[i++];
            }
        }
        arguments.push_back(argument);
    }
    return !program.empty();
}

std::string newToken()
{
    std::random_device random;
    char token[33];
    snprintf(token, sizeof token, "%08x%08x%08x%08x", random(), random(), random(), random());
    return token;
}

void makeDirectories(const std::string &path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

// Starts the service's program as a process of the machine, detached from the caller (a new
// session, its parent gone), with the environment of a service of the local system account.
DWORD spawnService(const ServiceRecord &record, pid_t &started)
{
    std::string program;
    std::vector<std::string> arguments;
    if (!parseCommandLine(record.binaryPath, program, arguments))
        return ERROR_BAD_PATHNAME;
    MappedPath mapped;
    if (DWORD error = mapWindowsPath(toUtf16(program), mapped))
        return error;
    struct stat st;
    if (stat(mapped.posix.c_str(), &st) != 0)
        return errorForMissing(mapped.posix);
    if (!S_ISREG(st.st_mode) || access(mapped.posix.c_str(), X_OK) != 0)
        return ERROR_BAD_EXE_FORMAT;

    std::vector<std::string> argumentStrings{program};
    argumentStrings.insert(argumentStrings.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &argument : argumentStrings)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    const std::string root = machineRoot();
    std::vector<std::string> environment;
    for (char **entry = environ; entry && *entry; ++entry) {
        std::string variable = *entry;
        std::string name = variable.substr(0, variable.find('='));
        if (name != kMachineRootVariable && name != kServiceVariable && name != kServiceTokenVariable &&
            !equalsIgnoreCase(std::string_view(name), "TEMP") && !equalsIgnoreCase(std::string_view(name), "TMP"))
            environment.push_back(variable);
    }
    environment.push_back(std::string(kMachineRootVariable) + "=" + root);
    environment.push_back("TEMP=C:\\Windows\\TEMP");
    environment.push_back("TMP=C:\\Windows\\TEMP");
    environment.push_back(std::string(kServiceVariable) + "=" + record.name);
    environment.push_back(std::string(kServiceTokenVariable) + "=" + record.token);
    std::vector<char *> envp;
    for (std::string &variable : environment)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    makeDirectories(root + "/scm");
    const std::string workingDirectory = root + "/drive_c/Windows/System32";
    int console = open(serviceConsolePath(record.name).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int report[2];
    if (console < 0 || input < 0 || pipe2(report, O_CLOEXEC) != 0) {
        if (console >= 0)
            close(console);
        if (input >= 0)
            close(input);
        return ERROR_NO_SYSTEM_RESOURCES;
    }
    pid_t child = fork();
    if (child == 0) {
        // Only async-signal-safe calls between fork and exec.
        setsid();
        pid_t service = fork();
        if (service != 0) {
            ssize_t ignored = write(report[1], &service, sizeof service);
            (void)ignored;
            _exit(0);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction byDefault {};
        byDefault.sa_handler = SIG_DFL;
        for (int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP})
            sigaction(signal, &byDefault, nullptr);
        dup2(input, 0);
        dup2(console, 1);
        dup2(console, 2);
        if (chdir(workingDirectory.c_str()) != 0)
            _exit(127);
        execve(mapped.posix.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(console);
    close(input);
    close(report[1]);
    pid_t service = -1;
    if (child > 0) {
        if (read(report[0], &service, sizeof service) != sizeof service)
            service = -1;
        int status;
        waitpid(child, &status, 0);
    }
    close(report[0]);
    if (service <= 0)
        return ERROR_NO_SYSTEM_RESOURCES;
    started = service;
    return 0;
}

bool reportedInRun(const std::string &name, int64_t run)
{
    for (const ServiceReport &report : serviceReports(name))
        if (report.run == run)
            return true;
    return false;
}

// Waits until the started process's dispatcher connects (or the service reported on its own);
// false when the process ended first or did not connect in time.
bool waitForDispatcher(const std::string &name, int64_t run, pid_t process)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        ServiceRecord record;
        if (loadService(name, record) != 0 || record.run != run)
            return false;
        if (!record.control.empty() || reportedInRun(name, run))
            return true;
        if (record.status.dwCurrentState == SERVICE_STOPPED)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The manager ends a service process that never connected.
    if (processStartTime(process) != 0)
        kill(process, SIGKILL);
    return false;
}

// Sends a control to the dispatcher listening at address and waits until its handler ran.
DWORD sendControl(const std::string &address, DWORD control)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return ERROR_NO_SYSTEM_RESOURCES;
    sockaddr_un peer{};
    peer.sun_family = AF_UNIX;
    // An abstract address: a leading NUL, then the name.
    memcpy(peer.sun_path + 1, address.data(), std::min(address.size(), sizeof peer.sun_path - 2));
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + address.size());
    DWORD result = ERROR_SERVICE_NOT_ACTIVE;
    if (connect(fd, reinterpret_cast<sockaddr *>(&peer), length) == 0 &&
        send(fd, &control, sizeof control, MSG_NOSIGNAL) == sizeof control) {
        pollfd wait{fd, POLLIN, 0};
        DWORD answer = 0;
        if (poll(&wait, 1, kControlTimeoutMs) <= 0)
            result = ERROR_SERVICE_REQUEST_TIMEOUT;
        else if (recv(fd, &answer, sizeof answer, MSG_WAITALL) == sizeof answer)
            result = answer;
    }
    close(fd);
    return result;
}

bool validControl(DWORD control)
{
    return (control >= SERVICE_CONTROL_STOP && control <= SERVICE_CONTROL_SHUTDOWN) ||
           (control >= 128 && control <= 255);
}

ACCESS_MASK rightForControl(DWORD control)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
        return SERVICE_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
        return SERVICE_PAUSE_CONTINUE;
    case SERVICE_CONTROL_INTERROGATE:
        return SERVICE_INTERROGATE;
    default:
        return SERVICE_USER_DEFINED_CONTROL;
    }
}

bool dependsOn(const ServiceRecord &record, const std::string &name)
{
    for (const std::string &dependency : record.dependencies)
        if (equalsIgnoreCase(std::string_view(dependency), std::string_view(name)))
            return true;
    return false;
}

// The services that depend on `name`, directly or through others, each listed before every
// service it depends on: the order in which they can be stopped.
void collectDependents(const std::string &name, const std::vector<ServiceRecord> &all,
                       std::vector<const ServiceRecord *> &out)
{
    for (const ServiceRecord &record : all) {
        if (!dependsOn(record, name))
            continue;
        bool listed = false;
        for (const ServiceRecord *seen : out)
            listed = listed || seen == &record;
        if (listed)
            continue;
        collectDependents(record.name, all, out);
        // A cycle (which creation refuses) must not list a service twice.
        for (const ServiceRecord *seen : out)
            listed = listed || seen == &record;
        if (!listed)
            out.push_back(&record);
    }
}

bool active(const ServiceRecord &record)
{
    return record.status.dwCurrentState != SERVICE_STOPPED;
}

DWORD startService(const std::string &name, DWORD argumentCount, LPCSTR *arguments,
                   std::vector<std::string> &starting);

// Brings up a service that `name` depends on: started (as the manager starts it, without
// arguments and whatever the caller's rights on it) unless it already runs, then waited for
// until it runs. `starting` holds the services being started on the way here.
DWORD startDependency(const std::string &name, std::vector<std::string> &starting)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    bool asked = false;
    for (;;) {
        ServiceRecord record;
        if (loadService(name, record) != 0 || record.deleted)
            return ERROR_SERVICE_DEPENDENCY_DELETED;
        switch (record.status.dwCurrentState) {
        case SERVICE_RUNNING:
        case SERVICE_PAUSED:
        case SERVICE_PAUSE_PENDING:
        case SERVICE_CONTINUE_PENDING:
            return 0;
        case SERVICE_STOPPED:
            // Stopped again after it was started: it failed.
            if (asked)
                return ERROR_SERVICE_DEPENDENCY_FAIL;
            asked = true;
            for (const std::string &on : starting)
                if (equalsIgnoreCase(std::string_view(on), std::string_view(record.name)))
                    return ERROR_SERVICE_DEPENDENCY_FAIL;  // a cycle, which creation refuses
            if (DWORD error = startService(record.name, 0, nullptr, starting);
                error && error != ERROR_SERVICE_ALREADY_RUNNING)
                return ERROR_SERVICE_DEPENDENCY_FAIL;
            continue;
        default:
            break;  // on its way up or down: seen again shortly
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return ERROR_SERVICE_DEPENDENCY_FAIL;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Starts a service as StartServiceA does: first, as the manager does, every service it depends
// on that does not run yet (a load-order group, "+name", is not kept by this machine and is
// passed over); a dependency that is missing or marked for deletion gives
// ERROR_SERVICE_DEPENDENCY_DELETED, one that cannot be started or stops before it runs
// ERROR_SERVICE_DEPENDENCY_FAIL, and the service itself is then left stopped.
DWORD startService(const std::string &name, DWORD argumentCount, LPCSTR *arguments,
                   std::vector<std::string> &starting)
{
    ServiceRecord current;
    if (DWORD error = loadService(name, current))
        return error;
    if (current.deleted)
        return ERROR_SERVICE_MARKED_FOR_DELETE;
    if (current.status.dwCurrentState != SERVICE_STOPPED)
        return ERROR_SERVICE_ALREADY_RUNNING;
    if (current.startType == SERVICE_DISABLED)
        return ERROR_SERVICE_DISABLED;
    starting.push_back(current.name);
    for (const std::string &dependency : current.dependencies) {
        if (dependency.empty() || dependency[0] == SC_GROUP_IDENTIFIERA)
            continue;
        if (DWORD error = startDependency(dependency, starting)) {
            starting.pop_back();
            return error;
        }
    }
    starting.pop_back();

    ServiceRecord started;
    DWORD error = modifyService(name, [&](ServiceRecord &record) -> DWORD {
        if (record.deleted)
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        if (record.status.dwCurrentState != SERVICE_STOPPED)
            return ERROR_SERVICE_ALREADY_RUNNING;
        if (record.startType == SERVICE_DISABLED)
            return ERROR_SERVICE_DISABLED;
        record.startArguments.clear();
        for (DWORD i = 0; i < argumentCount; ++i)
            record.startArguments.push_back(arguments[i] ? arguments[i] : "");
        record.token = newToken();
        record.control.clear();
        record.run += 1;
        record.status = SERVICE_STATUS{record.type, SERVICE_START_PENDING, 0, 0, 0, 0, 2000};
        record.processId = 0;
        record.processStart = 0;
        started = record;
        return 0;
    });
    if (error)
        return error;

    pid_t process = 0;
    error = spawnService(started, process);
    if (!error) {
        modifyService(started.name, [&](ServiceRecord &record) -> DWORD {
            // The dispatcher may have connected already and recorded itself.
            if (record.run == started.run && record.processId == 0) {
                record.processId = static_cast<uint32_t>(process);
                record.processStart = processStartTime(process);
            }
            return 0;
        });
        if (!waitForDispatcher(started.name, started.run, process))
            error = ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    if (error) {
        modifyService(started.name, [&](ServiceRecord &record) -> DWORD {
            if (record.run == started.run && record.status.dwCurrentState != SERVICE_STOPPED) {
                record.status = SERVICE_STATUS{record.type, SERVICE_STOPPED, 0, error, 0, 0, 0};
                record.processId = 0;
                record.control.clear();
            }
            return 0;
        });
        return error;
    }
    return 0;
}

}  // namespace

DWORD controlRefusal(DWORD control, const SERVICE_STATUS &status)
{
    switch (status.dwCurrentState) {
    case SERVICE_STOPPED:
        return ERROR_SERVICE_NOT_ACTIVE;
    case SERVICE_START_PENDING:
    case SERVICE_STOP_PENDING:
        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    default:
        break;
    }
    DWORD needed = 0;
    switch (control) {
    case SERVICE_CONTROL_STOP:
        needed = SERVICE_ACCEPT_STOP;
        break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
        needed = SERVICE_ACCEPT_PAUSE_CONTINUE;
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        needed = SERVICE_ACCEPT_SHUTDOWN;
        break;
    default:
        // Interrogation and the service's own controls (128 to 255) always reach it.
        break;
    }
    return (status.dwControlsAccepted & needed) != needed ? ERROR_INVALID_SERVICE_CONTROL : 0;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess)
{
    if (DWORD failure = enter("OpenSCManagerA"))
        return fail(failure, static_cast<SC_HANDLE>(nullptr));
    if (machineName && *machineName)
        return fail(ERROR_BAD_NETPATH, static_cast<SC_HANDLE>(nullptr));
    if (databaseName && strcmp(databaseName, SERVICES_ACTIVE_DATABASEA) != 0)
        return fail(ERROR_DATABASE_DOES_NOT_EXIST, static_cast<SC_HANDLE>(nullptr));
    ACCESS_MASK access = mapManagerAccess(desiredAccess) | SC_MANAGER_CONNECT;
    if ((access & ~kManagerReadRights) && !hasAdministrativeRights())
        return fail(ERROR_ACCESS_DENIED, static_cast<SC_HANDLE>(nullptr));
    auto manager = std::make_shared<ManagerObject>();
    manager->access = access;
    return reinterpret_cast<SC_HANDLE>(insertHandle(manager));
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE managerHandle, LPCSTR serviceName, LPCSTR displayName,
                                DWORD desiredAccess, DWORD serviceType, DWORD startType, DWORD errorControl,
                                LPCSTR binaryPathName, LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies,
                                LPCSTR serviceStartName, LPCSTR)
{
    if (DWORD failure = enter("CreateServiceA"))
        return fail(failure, static_cast<SC_HANDLE>(nullptr));
    auto manager = lookupHandleAs<ManagerObject>(reinterpret_cast<HANDLE>(managerHandle));
    if (!manager)
        return fail(ERROR_INVALID_HANDLE, static_cast<SC_HANDLE>(nullptr));
    if (!(manager->access & SC_MANAGER_CREATE_SERVICE))
        return fail(ERROR_ACCESS_DENIED, static_cast<SC_HANDLE>(nullptr));
    if (!validServiceName(serviceName))
        return fail(ERROR_INVALID_NAME, static_cast<SC_HANDLE>(nullptr));
    const DWORD processType = serviceType & ~SERVICE_INTERACTIVE_PROCESS;
    if (!binaryPathName || !*binaryPathName || (loadOrderGroup && *loadOrderGroup) || tagId ||
        (processType != SERVICE_WIN32_OWN_PROCESS && processType != SERVICE_WIN32_SHARE_PROCESS) ||
        startType > SERVICE_DISABLED || errorControl > SERVICE_ERROR_CRITICAL)
        return fail(ERROR_INVALID_PARAMETER, static_cast<SC_HANDLE>(nullptr));
    ServiceRecord record;
    record.name = serviceName;
    record.displayName = displayName && *displayName ? displayName : serviceName;
    for (const ServiceRecord &other : allServices())
        if (equalsIgnoreCase(std::string_view(other.displayName), std::string_view(record.displayName)) ||
            equalsIgnoreCase(std::string_view(other.name), std::string_view(record.displayName)))
            if (!equalsIgnoreCase(std::string_view(other.name), std::string_view(record.name)))
                return fail(ERROR_DUPLICATE_SERVICE_NAME, static_cast<SC_HANDLE>(nullptr));
    record.binaryPath = binaryPathName;
    record.account = serviceStartName && *serviceStartName ? serviceStartName : "LocalSystem";
    for (const char *dependency = dependencies; dependency && *dependency; dependency += strlen(dependency) + 1)
        record.dependencies.push_back(dependency);
    record.type = serviceType;
    record.startType = startType;
    record.errorControl = errorControl;
    record.status.dwServiceType = serviceType;
    record.status.dwCurrentState = SERVICE_STOPPED;
    record.status.dwWin32ExitCode = ERROR_SERVICE_NEVER_STARTED;
    if (DWORD error = insertService(record))
        return fail(error, static_cast<SC_HANDLE>(nullptr));
    return newServiceHandle(record.name, mapServiceAccess(desiredAccess));
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE managerHandle, LPCSTR serviceName, DWORD desiredAccess)
{
    if (DWORD failure = enter("OpenServiceA"))
        return fail(failure, static_cast<SC_HANDLE>(nullptr));
    if (!lookupHandleAs<ManagerObject>(reinterpret_cast<HANDLE>(managerHandle)))
        return fail(ERROR_INVALID_HANDLE, static_cast<SC_HANDLE>(nullptr));
    if (!serviceName || !*serviceName)
        return fail(ERROR_INVALID_NAME, static_cast<SC_HANDLE>(nullptr));
    ServiceRecord record;
    if (DWORD error = loadService(serviceName, record))
        return fail(error, static_cast<SC_HANDLE>(nullptr));
    ACCESS_MASK access = mapServiceAccess(desiredAccess);
    if ((access & ~kServiceReadRights) && !hasAdministrativeRights())
        return fail(ERROR_ACCESS_DENIED, static_cast<SC_HANDLE>(nullptr));
    return newServiceHandle(record.name, access);
}

BOOL WINAPI StartServiceA(SC_HANDLE handle, DWORD argumentCount, LPCSTR *arguments)
{
    if (DWORD failure = enter("StartServiceA"))
        return fail(failure, FALSE);
    DWORD error = 0;
    auto service = serviceFromHandle(handle, SERVICE_START, error);
    if (!service)
        return fail(error, FALSE);
    if (argumentCount && !arguments)
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    std::vector<std::string> starting;
    if ((error = startService(service->name, argumentCount, arguments, starting)))
        return fail(error, FALSE);
    return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE handle, DWORD control, LPSERVICE_STATUS status)
{
    if (DWORD failure = enter("ControlService"))
        return fail(failure, FALSE);
    if (!status)
        return fail(ERROR_INVALID_ADDRESS, FALSE);
    if (!validControl(control))
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    DWORD error = 0;
    auto service = serviceFromHandle(handle, rightForControl(control), error);
    if (!service)
        return fail(error, FALSE);
    ServiceRecord record;
    if ((error = loadService(service->name, record)) != 0)
        return fail(error, FALSE);
    *status = record.status;
    // A quick answer from the stored status; the dispatcher in the service process decides
    // again, one control at a time, on the status the service last reported, so that two
    // controls sent together are not both taken.
    if ((error = controlRefusal(control, record.status)) != 0)
        return fail(error, FALSE);
    if (control == SERVICE_CONTROL_STOP) {
        const std::vector<ServiceRecord> all = allServices();
        std::vector<const ServiceRecord *> dependents;
        collectDependents(record.name, all, dependents);
        for (const ServiceRecord *dependent : dependents)
            if (active(*dependent))
                return fail(ERROR_DEPENDENT_SERVICES_RUNNING, FALSE);
    }
    if (record.control.empty())
        return fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, FALSE);
    error = sendControl(record.control, control);
    if (loadService(service->name, record) == 0)
        *status = record.status;
    if (error)
        return fail(error, FALSE);
    return TRUE;
}

BOOL WINAPI QueryServiceStatusEx(SC_HANDLE handle, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size,
                                 LPDWORD needed)
{
    if (DWORD failure = enter("QueryServiceStatusEx"))
        return fail(failure, FALSE);
    if (level != SC_STATUS_PROCESS_INFO)
        return fail(ERROR_INVALID_LEVEL, FALSE);
    if (!needed)
        return fail(ERROR_INVALID_ADDRESS, FALSE);
    DWORD error = 0;
    auto service = serviceFromHandle(handle, SERVICE_QUERY_STATUS, error);
    if (!service)
        return fail(error, FALSE);
    *needed = sizeof(SERVICE_STATUS_PROCESS);
    if (!buffer || size < sizeof(SERVICE_STATUS_PROCESS))
        return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    ServiceRecord record;
    if ((error = loadService(service->name, record)) != 0)
        return fail(error, FALSE);
    SERVICE_STATUS_PROCESS info{};
    memcpy(&info, &record.status, sizeof record.status);
    info.dwProcessId = record.status.dwCurrentState == SERVICE_STOPPED ? 0 : record.processId;
    memcpy(buffer, &info, sizeof info);
    return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE handle, LPSERVICE_STATUS status)
{
    if (DWORD failure = enter("QueryServiceStatus"))
        return fail(failure, FALSE);
    if (!status)
        return fail(ERROR_INVALID_ADDRESS, FALSE);
    DWORD error = 0;
    auto service = serviceFromHandle(handle, SERVICE_QUERY_STATUS, error);
    if (!service)
        return fail(error, FALSE);
    ServiceRecord record;
    if ((error = loadService(service->name, record)) != 0)
        return fail(error, FALSE);
    *status = record.status;
    return TRUE;
}

BOOL WINAPI EnumDependentServicesA(SC_HANDLE handle, DWORD serviceState, LPENUM_SERVICE_STATUSA services,
                                   DWORD size, LPDWORD needed, LPDWORD returned)
{
    if (DWORD failure = enter("EnumDependentServicesA"))
        return fail(failure, FALSE);
    if (!needed || !returned)
        return fail(ERROR_INVALID_ADDRESS, FALSE);
    if (serviceState < SERVICE_ACTIVE || serviceState > SERVICE_STATE_ALL)
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    DWORD error = 0;
    auto service = serviceFromHandle(handle, SERVICE_ENUMERATE_DEPENDENTS, error);
    if (!service)
        return fail(error, FALSE);
    // Indirect dependents too, in the order in which they can be stopped, as Windows lists them.
    const std::vector<ServiceRecord> all = allServices();
    std::vector<const ServiceRecord *> every;
    collectDependents(service->name, all, every);
    std::vector<ServiceRecord> dependents;
    for (const ServiceRecord *record : every)
        if (((serviceState & SERVICE_ACTIVE) && active(*record)) || ((serviceState & SERVICE_INACTIVE) && !active(*record)))
            dependents.push_back(*record);
    size_t bytes = dependents.size() * sizeof(ENUM_SERVICE_STATUSA);
    for (const ServiceRecord &record : dependents)
        bytes += record.name.size() + 1 + record.displayName.size() + 1;
    *needed = static_cast<DWORD>(bytes);
    *returned = 0;
    if (bytes > size || (bytes && !services))
        return fail(ERROR_MORE_DATA, FALSE);
    char *strings = reinterpret_cast<char *>(services) + dependents.size() * sizeof(ENUM_SERVICE_STATUSA);
    for (size_t i = 0; i < dependents.size(); ++i) {
        services[i].lpServiceName = strings;
        strings = stpcpy(strings, dependents[i].name.c_str()) + 1;
        services[i].lpDisplayName = strings;
        strings = stpcpy(strings, dependents[i].displayName.c_str()) + 1;
        services[i].ServiceStatus = dependents[i].status;
    }
    *needed = 0;
    *returned = static_cast<DWORD>(dependents.size());
    return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE handle)
{
    if (DWORD failure = enter("DeleteService"))
        return fail(failure, FALSE);
    DWORD error = 0;
    auto service = serviceFromHandle(handle, DELETE, error);
    if (!service)
        return fail(error, FALSE);
    error = modifyService(service->name, [&](ServiceRecord &record) -> DWORD {
        if (record.deleted)
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        record.deleted = true;
        return 0;
    });
    if (error)
        return fail(error, FALSE);
    // Marked only: the service goes when it has stopped and its last handle is closed.
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle)
{
    HANDLE object = reinterpret_cast<HANDLE>(handle);
    auto service = lookupHandleAs<ServiceObject>(object);
    if (!lookupHandleAs<ManagerObject>(object) && !service)
        return fail(ERROR_INVALID_HANDLE, FALSE);
    removeHandle(object);
    if (service)
        closeServiceHandle(service->name, reinterpret_cast<uintptr_t>(object));
    return TRUE;
}

}  // extern "C"
