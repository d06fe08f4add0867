// The machine's desktop: the top-level windows of every process of the machine, the foreground
// window, and what the desktop showed (message boxes) or was asked to open (shell executions).
// It lives in <root>/desktop.sqlite, so FindWindowA, ShowWindow, SetForegroundWindow and
// PostMessageA reach the windows of other processes, and the machine tool lists them. A window
// whose process has ended is gone: it is dropped the next time the desktop is read.
//
// What belongs to the owning process only (the window procedure, the message queues) is kept
// by that process (user32/window_state.h).
#pragma once

#include <windows.h>

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winsim {

struct DesktopWindow {
    HWND handle = nullptr;
    std::string className;
    std::string title;
    DWORD style = 0;
    DWORD exStyle = 0;
    HWND parent = nullptr;     // null for a top-level window
    bool messageOnly = false;  // created under HWND_MESSAGE: never found, never shown
    uint32_t process = 0;
    uint64_t processStart = 0;  // against reuse of the process id
    DWORD thread = 0;
    LONG_PTR userData = 0;
    bool foreground = false;
};

// Adds a window of the calling process and thread; fills in its handle. 0 or an error code.
DWORD addDesktopWindow(DesktopWindow &window);
void removeDesktopWindow(HWND handle);

// The window, when it exists and its process still runs.
std::optional<DesktopWindow> desktopWindow(HWND handle);

// Every window of the desktop whose process runs, the top of the Z order first.
std::vector<DesktopWindow> desktopWindows();

// ShowWindow's change of a window's style; the previous style in *before. False when there
// is no such window.
bool changeWindowStyle(HWND handle, DWORD set, DWORD clear, DWORD *before);
bool setWindowUserData(HWND handle, LONG_PTR value);
// Makes the window the foreground window, at the top of the Z order.
bool setForegroundDesktopWindow(HWND handle);
HWND foregroundDesktopWindow();

struct MessageBoxRecord {
    int64_t id = 0;
    int64_t timeMs = 0;
    uint32_t process = 0;
    DWORD thread = 0;
    HWND owner = nullptr;
    std::string caption;
    std::string text;
    UINT type = 0;
    int answer = 0;
};

void recordMessageBox(MessageBoxRecord &box);
std::vector<MessageBoxRecord> messageBoxes();

struct ShellExecution {
    int64_t id = 0;
    int64_t timeMs = 0;
    uint32_t process = 0;
    std::string verb;
    std::string file;
    std::string parameters;
    std::string directory;
    int show = 0;
    intptr_t result = 0;
};

void recordShellExecution(ShellExecution &execution);
std::vector<ShellExecution> shellExecutions();

// The handle value of the window with desktop row id, and back (0 when not a window's value).
HWND windowHandleOfId(int64_t id);
int64_t windowIdOfHandle(HWND handle);

}  // namespace winsim
