// SetConsoleCtrlHandler and the delivery of console control events.
#include "kernel32/console.h"

#include <windows.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

namespace winsim {

namespace {

// STATUS_CONTROL_C_EXIT, the exit code of a process that the default handler ends.
constexpr int kControlExitStatus = 0xC000013A & 0xFF;

struct ConsoleHandlers {
    std::mutex lock;
    std::vector<PHANDLER_ROUTINE> handlers;  // the last added is called first
    bool ignoreCtrlC = false;
    int pipe[2] = {-1, -1};
};

ConsoleHandlers &console()
{
    static ConsoleHandlers *state = new ConsoleHandlers;
    return *state;
}

void onSignal(int, siginfo_t *info, void *)
{
    // Only async-signal-safe work here: hand the event to the delivery thread.
    unsigned char event = static_cast<unsigned char>(info->si_value.sival_int);
    int saved = errno;
    ssize_t ignored = write(console().pipe[1], &event, 1);
    (void)ignored;
    errno = saved;
}

void dispatch(DWORD ctrlType)
{
    std::vector<PHANDLER_ROUTINE> handlers;
    bool ignoreCtrlC;
    {
        ConsoleHandlers &state = console();
        std::lock_guard<std::mutex> guard(state.lock);
        handlers = state.handlers;
        ignoreCtrlC = state.ignoreCtrlC;
    }
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it)
        if ((*it)(ctrlType))
            return;
    if (ctrlType == CTRL_C_EVENT && ignoreCtrlC)
        return;
    // The default handler ends the process.
    _exit(kControlExitStatus);
}

void deliveryLoop()
{
    for (;;) {
        unsigned char event;
        ssize_t n = read(console().pipe[0], &event, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        std::thread(dispatch, static_cast<DWORD>(event)).detach();
    }
}

void startDelivery()
{
    static std::once_flag once;
    std::call_once(once, [] {
        ConsoleHandlers &state = console();
        if (pipe2(state.pipe, O_CLOEXEC) != 0)
            return;
        std::thread(deliveryLoop).detach();
        struct sigaction action {};
        action.sa_sigaction = onSignal;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(consoleEventSignal(), &action, nullptr);
    });
}

}  // namespace

int consoleEventSignal()
{
    return SIGRTMIN + 4;
}

int sendConsoleEvent(pid_t process, DWORD ctrlType)
{
    union sigval value;
    value.sival_int = static_cast<int>(ctrlType);
    return sigqueue(process, consoleEventSignal(), value) == 0 ? 0 : errno;
}

}  // namespace winsim

using namespace winsim;

extern "C" BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add)
{
    ConsoleHandlers &state = console();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (!handler) {
            state.ignoreCtrlC = add != FALSE;
            return TRUE;
        }
        if (add) {
            state.handlers.push_back(handler);
        } else {
            auto it = std::find(state.handlers.rbegin(), state.handlers.rend(), handler);
            if (it == state.handlers.rend()) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            state.handlers.erase(std::next(it).base());
        }
    }
    startDelivery();
    return TRUE;
}
