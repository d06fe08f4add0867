// The service side of the manager: StartServiceCtrlDispatcherA connects the process that the
// manager started, runs the service's main function on a new thread and, on the calling
// thread, runs the control handler for each control that arrives on its socket, until the
// service has stopped and its main function has returned. Controls are taken one at a time,
// each on the status that the service last reported, so that a control sent while another is
// being handled is judged on what that handler reported.
#include "advapi32/services.h"

#include "machine/injected_faults.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace winsim {

namespace {

constexpr int kRequestTimeoutMs = 5000;

struct Dispatcher {
    std::mutex lock;
    bool active = false;
    std::string name;
    int64_t run = 0;
    LPHANDLER_FUNCTION handler = nullptr;
    SERVICE_STATUS reported{};  // the status last reported (start-pending before the first report)
    bool mainReturned = false;
    bool stopped = false;
    int wake[2] = {-1, -1};
};

Dispatcher &dispatcher()
{
    static Dispatcher *instance = new Dispatcher;
    return *instance;
}

SERVICE_STATUS_HANDLE statusHandle()
{
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(&dispatcher());
}

void wakeDispatcher()
{
    char byte = 1;
    ssize_t ignored = write(dispatcher().wake[1], &byte, 1);
    (void)ignored;
}

DWORD enter(const char *function)
{
    countServiceCall(function);
    if (auto failure = injectedFailure(function))
        return static_cast<DWORD>(*failure);
    return 0;
}

// A listening socket at an abstract address; -1 on failure.
int listenAt(const std::string &address)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    memcpy(local.sun_path + 1, address.data(), std::min(address.size(), sizeof local.sun_path - 2));
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + address.size());
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), length) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One control request: read the code, run the handler on this thread, answer.
void serveControl(int listener)
{
    int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0)
        return;
    pollfd wait{connection, POLLIN, 0};
    DWORD control = 0;
    if (poll(&wait, 1, kRequestTimeoutMs) > 0 && recv(connection, &control, sizeof control, MSG_WAITALL) == sizeof control) {
        LPHANDLER_FUNCTION handler;
        DWORD answer;
        {
            std::lock_guard<std::mutex> guard(dispatcher().lock);
            handler = dispatcher().handler;
            answer = handler ? controlRefusal(control, dispatcher().reported) : ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        }
        // The next control is taken only once this handler has returned, so it sees whatever
        // this one reported.
        if (!answer)
            handler(control);
        send(connection, &answer, sizeof answer, MSG_NOSIGNAL);
    }
    close(connection);
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *table)
{
    if (DWORD failure = enter("StartServiceCtrlDispatcherA")) {
        SetLastError(failure);
        return FALSE;
    }
    if (!table || !table[0].lpServiceProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const char *name = getenv(kServiceVariable);
    const char *token = getenv(kServiceTokenVariable);
    Dispatcher &state = dispatcher();
    if (!name || !*name || !token || !*token) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (state.active) {
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return FALSE;
        }
        state.active = true;
    }
    const std::string address = std::string("winsim-scm-") + token;
    int listener = listenAt(address);
    ServiceRecord record;
    DWORD error = listener < 0 || pipe2(state.wake, O_CLOEXEC) != 0 ? ERROR_NO_SYSTEM_RESOURCES : 0;
    if (!error) {
        error = modifyService(name, [&](ServiceRecord &current) -> DWORD {
            if (current.token != token || current.status.dwCurrentState != SERVICE_START_PENDING ||
                !current.control.empty())
                return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
            current.control = address;
            current.processId = static_cast<uint32_t>(getpid());
            current.processStart = processStartTime(getpid());
            record = current;
            return 0;
        });
        if (error == ERROR_SERVICE_DOES_NOT_EXIST)
            error = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    }
    if (error) {
        if (listener >= 0)
            close(listener);
        std::lock_guard<std::mutex> guard(state.lock);
        for (int &end : state.wake) {
            if (end >= 0)
                close(end);
            end = -1;
        }
        state.active = false;
        SetLastError(error);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.name = record.name;
        state.run = record.run;
        state.reported = record.status;
        state.mainReturned = false;
        state.stopped = false;
    }

    // The service's arguments live until the dispatcher returns: its name, then the start
    // parameters.
    std::vector<std::string> argumentStrings{record.name};
    argumentStrings.insert(argumentStrings.end(), record.startArguments.begin(), record.startArguments.end());
    std::vector<char *> argv;
    for (std::string &argument : argumentStrings)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    LPSERVICE_MAIN_FUNCTIONA serviceMain = table[0].lpServiceProc;
    std::thread serviceThread([&] {
        serviceMain(static_cast<DWORD>(argumentStrings.size()), argv.data());
        {
            std::lock_guard<std::mutex> guard(state.lock);
            state.mainReturned = true;
        }
        wakeDispatcher();
    });

    for (;;) {
        {
            std::lock_guard<std::mutex> guard(state.lock);
            if (state.mainReturned && state.stopped)
                break;
        }
        pollfd waits[2] = {{listener, POLLIN, 0}, {state.wake[0], POLLIN, 0}};
        if (poll(waits, 2, -1) < 0 && errno != EINTR)
            break;
        if (waits[1].revents & POLLIN) {
            char drain[16];
            ssize_t ignored = read(state.wake[0], drain, sizeof drain);
            (void)ignored;
        }
        if (waits[0].revents & POLLIN)
            serveControl(listener);
    }
    serviceThread.join();
    close(listener);
    modifyService(record.name, [&](ServiceRecord &current) -> DWORD {
        if (current.token == record.token)
            current.control.clear();
        return 0;
    });
    std::lock_guard<std::mutex> guard(state.lock);
    close(state.wake[0]);
    close(state.wake[1]);
    state.wake[0] = state.wake[1] = -1;
    state.handler = nullptr;
    state.active = false;
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR, LPHANDLER_FUNCTION handler)
{
    if (DWORD failure = enter("RegisterServiceCtrlHandlerA")) {
        SetLastError(failure);
        return nullptr;
    }
    Dispatcher &state = dispatcher();
    std::lock_guard<std::mutex> guard(state.lock);
    // An own-process service has one entry, whatever name it registers under.
    if (!state.active) {
        SetLastError(ERROR_SERVICE_NOT_IN_EXE);
        return nullptr;
    }
    if (!handler) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    state.handler = handler;
    return statusHandle();
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    if (DWORD failure = enter("SetServiceStatus")) {
        SetLastError(failure);
        return FALSE;
    }
    // "fail.SetServiceStatus.<state> = <code>" fails only the reports of that state.
    if (status) {
        std::string ofState = "SetServiceStatus." + std::to_string(status->dwCurrentState);
        if (auto failure = injectedFailure(ofState.c_str())) {
            SetLastError(static_cast<DWORD>(*failure));
            return FALSE;
        }
    }
    Dispatcher &state = dispatcher();
    {
        // Recorded and remembered together, so that reports of two threads are remembered in
        // the order in which the manager recorded them.
        std::lock_guard<std::mutex> guard(state.lock);
        if (handle != statusHandle() || !state.active || !state.handler) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (!status) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        if (status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > SERVICE_PAUSED) {
            SetLastError(ERROR_INVALID_DATA);
            return FALSE;
        }
        if (DWORD error = recordServiceReport(state.name, state.run, *status)) {
            SetLastError(error);
            return FALSE;
        }
        state.reported = *status;
        if (status->dwCurrentState == SERVICE_STOPPED)
            state.stopped = true;
    }
    if (status->dwCurrentState == SERVICE_STOPPED)
        wakeDispatcher();
    return TRUE;
}

}  // extern "C"
