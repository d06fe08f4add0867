// What user32 keeps inside a process: its window classes, the window procedures and data of
// its windows, and the message queue of each of its threads that has one. The desktop that all
// processes share is in user32/desktop.h.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace winsim {

struct WindowClass {
    ATOM atom = 0;
    std::string name;
    HINSTANCE instance = nullptr;
    WNDPROC procedure = nullptr;
    UINT style = 0;
};

// The class registered in this process under the name (or atom, MAKEINTATOM) for the instance.
std::shared_ptr<WindowClass> findWindowClass(LPCSTR name, HINSTANCE instance);

struct LocalWindow {
    HWND handle = nullptr;
    DWORD thread = 0;  // the thread that created it, whose queue receives its messages
    std::shared_ptr<WindowClass> windowClass;
    HINSTANCE instance = nullptr;
    // Under localWindowsLock().
    WNDPROC procedure = nullptr;
    LONG_PTR userData = 0;
};

std::mutex &localWindowsLock();
std::shared_ptr<LocalWindow> findLocalWindow(HWND handle);
void addLocalWindow(const std::shared_ptr<LocalWindow> &window);
void removeLocalWindow(HWND handle);
// Runs a window's procedure the way SendMessage does for a window of the calling thread.
LRESULT callWindowProcedure(const std::shared_ptr<LocalWindow> &window, UINT message, WPARAM wParam, LPARAM lParam);

// The queue of posted messages of one thread. Windows gives a thread its queue on the thread's
// first call to a function that needs one (GetMessageA, PeekMessageA, CreateWindowExA,
// RegisterClassExA, MessageBoxA); a post to a thread without one fails.
struct MessageQueue {
    DWORD thread = 0;
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<MSG> posted;
    bool quitPosted = false;  // PostQuitMessage: WM_QUIT once nothing else waits
    int quitCode = 0;
};

// The calling thread's queue, made on first use; its windows and queue go when the thread ends.
std::shared_ptr<MessageQueue> currentThreadQueue();
// The queue of a thread of this process; null when it has none (or has ended).
std::shared_ptr<MessageQueue> threadQueue(DWORD thread);

// Appends a message to a queue: 0, or ERROR_NOT_ENOUGH_QUOTA when it holds as many posted
// messages as Windows allows.
DWORD postToQueue(MessageQueue &queue, const MSG &message);
// Drops the queued messages of a window that is being destroyed.
void dropWindowMessages(MessageQueue &queue, HWND window);

// Destroys every window of the calling thread without calling its procedure, as Windows does
// when the thread ends.
void destroyThreadWindows(DWORD thread);

// Delivery of posts between processes: each process that owns windows listens for the posts
// made to them by other processes.
void listenForOtherProcesses();
// Posts to a window of another process; 0 or ERROR_INVALID_WINDOW_HANDLE when that process no
// longer listens.
DWORD postToOtherProcess(uint32_t process, const MSG &message);

DWORD messageTime();

}  // namespace winsim
