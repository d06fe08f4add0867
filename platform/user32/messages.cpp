// Message queues and posted messages: one queue per thread that has asked for one, posts to a
// thread or to a window (of this process, or of another through its listening socket), and the
// message loop's functions.
#include "user32/desktop.h"
#include "user32/window_state.h"

#include "machine/injected_faults.h"

#include <windows.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <thread>

namespace winsim {

namespace {

// Windows' default limit of posted messages in one queue (USERPostMessageLimit).
constexpr size_t kPostedMessageLimit = 10000;
constexpr int kRemotePostTimeoutSeconds = 5;

struct QueueTable {
    std::mutex lock;
    std::map<DWORD, std::shared_ptr<MessageQueue>> queues;
};

QueueTable &queueTable()
{
    static QueueTable *table = new QueueTable;  // outlives the static objects of other libraries
    return *table;
}

// Held by a thread from the moment it has a queue: when the thread ends, its queue and its
// windows go, so that posts to it fail from then on.
struct ThreadQueueOwner {
    std::shared_ptr<MessageQueue> queue;
    ~ThreadQueueOwner()
    {
        if (!queue)
            return;
        {
            QueueTable &table = queueTable();
            std::lock_guard<std::mutex> guard(table.lock);
            table.queues.erase(queue->thread);
        }
        destroyThreadWindows(queue->thread);
    }
};

ThreadQueueOwner &threadQueueOwner()
{
    thread_local ThreadQueueOwner owner;
    return owner;
}

const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

bool matches(const MSG &message, HWND window, UINT first, UINT last)
{
    if (window == kThreadMessagesOnly) {
        if (message.hwnd)
            return false;
    } else if (window && message.hwnd != window) {
        return false;
    }
    return (first == 0 && last == 0) || (message.message >= first && message.message <= last);
}

// The first message that the filter lets through, removed when `remove`; a quit that
// PostQuitMessage left comes when no other message waits, whatever the filter.
bool takeMessage(MessageQueue &queue, MSG *out, HWND window, UINT first, UINT last, bool remove)
{
    auto found = std::find_if(queue.posted.begin(), queue.posted.end(),
                              [&](const MSG &message) { return matches(message, window, first, last); });
    if (found != queue.posted.end()) {
        *out = *found;
        if (remove)
            queue.posted.erase(found);
        return true;
    }
    if (queue.quitPosted && queue.posted.empty()) {
        *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(queue.quitCode), 0, messageTime(), {0, 0}};
        if (remove)
            queue.quitPosted = false;
        return true;
    }
    return false;
}

// A window filter that GetMessageA and PeekMessageA accept: none, thread messages only, or a
// window of the calling thread.
bool validFilter(HWND window)
{
    if (!window || window == kThreadMessagesOnly)
        return true;
    auto local = findLocalWindow(window);
    return local && local->thread == GetCurrentThreadId();
}

// A post that travels between processes.
struct RemotePost {
    uint64_t window;
    uint32_t message;
    uint32_t reserved;
    uint64_t wParam;
    int64_t lParam;
};

socklen_t listenAddress(uint32_t process, sockaddr_un &address)
{
    // An abstract address: a leading NUL, then the name; gone with the process.
    const std::string name = "winsim-desktop-" + std::to_string(process);
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

void receivePosts(int socket)
{
    // Signals are for the process's other threads (console events, the JVM's own).
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
        RemotePost post{};
        ssize_t received = recv(socket, &post, sizeof post, 0);
        if (received != static_cast<ssize_t>(sizeof post))
            continue;
        HWND handle = reinterpret_cast<HWND>(static_cast<uintptr_t>(post.window));
        auto window = findLocalWindow(handle);
        if (!window)
            continue;
        if (auto queue = threadQueue(window->thread))
            postToQueue(*queue, MSG{handle, post.message, static_cast<WPARAM>(post.wParam),
                                    static_cast<LPARAM>(post.lParam), messageTime(), {0, 0}});
    }
}

}  // namespace

DWORD messageTime()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000);
}

std::shared_ptr<MessageQueue> currentThreadQueue()
{
    ThreadQueueOwner &owner = threadQueueOwner();
    if (owner.queue)
        return owner.queue;
    auto queue = std::make_shared<MessageQueue>();
    queue->thread = GetCurrentThreadId();
    {
        QueueTable &table = queueTable();
        std::lock_guard<std::mutex> guard(table.lock);
        table.queues[queue->thread] = queue;
    }
    owner.queue = queue;
    return queue;
}

std::shared_ptr<MessageQueue> threadQueue(DWORD thread)
{
    QueueTable &table = queueTable();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.queues.find(thread);
    return found == table.queues.end() ? nullptr : found->second;
}

DWORD postToQueue(MessageQueue &queue, const MSG &message)
{
    {
        std::lock_guard<std::mutex> guard(queue.lock);
        if (queue.posted.size() >= kPostedMessageLimit)
            return ERROR_NOT_ENOUGH_QUOTA;
        queue.posted.push_back(message);
    }
    queue.arrived.notify_all();
    return 0;
}

void dropWindowMessages(MessageQueue &queue, HWND window)
{
    std::lock_guard<std::mutex> guard(queue.lock);
    queue.posted.erase(std::remove_if(queue.posted.begin(), queue.posted.end(),
                                      [&](const MSG &message) { return message.hwnd == window; }),
                       queue.posted.end());
}

void listenForOtherProcesses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return;
        sockaddr_un address;
        socklen_t length = listenAddress(static_cast<uint32_t>(getpid()), address);
        if (bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0) {
            close(fd);
            return;
        }
        std::thread(receivePosts, fd).detach();
    });
}

DWORD postToOtherProcess(uint32_t process, const MSG &message)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return ERROR_NOT_ENOUGH_MEMORY;
    timeval timeout{kRemotePostTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    RemotePost post{reinterpret_cast<uintptr_t>(message.hwnd), message.message, 0,
                    static_cast<uint64_t>(message.wParam), static_cast<int64_t>(message.lParam)};
    sockaddr_un address;
    socklen_t length = listenAddress(process, address);
    ssize_t sent = sendto(fd, &post, sizeof post, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&address), length);
    const int error = errno;
    close(fd);
    if (sent == static_cast<ssize_t>(sizeof post))
        return 0;
    return error == EAGAIN || error == EWOULDBLOCK ? ERROR_NOT_ENOUGH_QUOTA : ERROR_INVALID_WINDOW_HANDLE;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

BOOL WINAPI GetMessageA(LPMSG message, HWND window, UINT first, UINT last)
{
    if (auto failure = injectedFailure("GetMessageA")) {
        SetLastError(static_cast<DWORD>(*failure));
        return -1;
    }
    if (!message) {
        SetLastError(ERROR_NOACCESS);
        return -1;
    }
    if (!validFilter(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    auto queue = currentThreadQueue();
    std::unique_lock<std::mutex> guard(queue->lock);
    queue->arrived.wait(guard, [&] { return takeMessage(*queue, message, window, first, last, true); });
    return message->message == WM_QUIT ? FALSE : TRUE;
}

BOOL WINAPI PeekMessageA(LPMSG message, HWND window, UINT first, UINT last, UINT remove)
{
    if (!message) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (!validFilter(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    auto queue = currentThreadQueue();
    std::lock_guard<std::mutex> guard(queue->lock);
    return takeMessage(*queue, message, window, first, last, (remove & PM_REMOVE) != 0) ? TRUE : FALSE;
}

BOOL WINAPI TranslateMessage(const MSG *message)
{
    // No keyboard here, so there are no characters to post; Windows answers nonzero for the
    // key messages whatever it translated.
    if (!message)
        return FALSE;
    switch (message->message) {
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP:
        return TRUE;
    }
    return FALSE;
}

LRESULT WINAPI DispatchMessageA(const MSG *message)
{
    if (!message || !message->hwnd)
        return 0;
    auto window = findLocalWindow(message->hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (window->thread != GetCurrentThreadId()) {
        SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
        return 0;
    }
    return callWindowProcedure(window, message->message, message->wParam, message->lParam);
}

LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM, LPARAM)
{
    switch (message) {
    case WM_NCCREATE:
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    }
    return 0;
}

BOOL WINAPI PostThreadMessageA(DWORD thread, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto queue = threadQueue(thread);
    if (!queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    if (DWORD error = postToQueue(*queue, MSG{nullptr, message, wParam, lParam, messageTime(), {0, 0}})) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI PostMessageA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!handle)
        return PostThreadMessageA(GetCurrentThreadId(), message, wParam, lParam);
    const MSG posted{handle, message, wParam, lParam, messageTime(), {0, 0}};
    DWORD error = ERROR_INVALID_WINDOW_HANDLE;
    if (auto window = findLocalWindow(handle)) {
        if (auto queue = threadQueue(window->thread))
            error = postToQueue(*queue, posted);
    } else if (auto record = desktopWindow(handle); record && record->process != static_cast<uint32_t>(getpid())) {
        error = postToOtherProcess(record->process, posted);
    }
    if (error) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

void WINAPI PostQuitMessage(int exitCode)
{
    auto queue = currentThreadQueue();
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        queue->quitPosted = true;
        queue->quitCode = exitCode;
    }
    queue->arrived.notify_all();
}

}  // extern "C"
