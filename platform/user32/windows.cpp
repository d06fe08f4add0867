// Window classes and windows. A class belongs to the process that registers it; a window
// belongs to the thread that creates it, which receives its messages, and is seen by every
// process of the machine through the desktop.
#include "user32/desktop.h"
#include "user32/window_state.h"

#include "advapi32/services.h"
#include "machine/injected_faults.h"
#include "machine/text.h"

#include <windows.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

namespace winsim {

namespace {

struct ClassTable {
    std::mutex lock;
    std::vector<std::shared_ptr<WindowClass>> classes;
    ATOM nextAtom = 0xC000;  // where Windows' string atoms begin
};

ClassTable &classTable()
{
    static ClassTable *table = new ClassTable;  // outlives the static objects of other libraries
    return *table;
}

struct WindowTable {
    std::mutex lock;
    std::map<HWND, std::shared_ptr<LocalWindow>> windows;
};

WindowTable &windowTable()
{
    static WindowTable *table = new WindowTable;
    return *table;
}

bool isAtom(LPCSTR name)
{
    return reinterpret_cast<uintptr_t>(name) < 0x10000;
}

// Removes a window from the process and the desktop, with its queued messages.
void forgetWindow(const std::shared_ptr<LocalWindow> &window)
{
    removeLocalWindow(window->handle);
    removeDesktopWindow(window->handle);
    if (auto queue = threadQueue(window->thread))
        dropWindowMessages(*queue, window->handle);
}

// The window for an operation that only its own thread may do: ERROR_INVALID_WINDOW_HANDLE for
// no window, ERROR_ACCESS_DENIED for a window of another thread or process.
std::shared_ptr<LocalWindow> ownWindow(HWND handle, DWORD &error)
{
    auto window = findLocalWindow(handle);
    if (window && window->thread == GetCurrentThreadId()) {
        error = 0;
        return window;
    }
    error = window || desktopWindow(handle) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE;
    return nullptr;
}

}  // namespace

std::shared_ptr<WindowClass> findWindowClass(LPCSTR name, HINSTANCE instance)
{
    ClassTable &table = classTable();
    std::lock_guard<std::mutex> guard(table.lock);
    std::shared_ptr<WindowClass> byName;
    for (const auto &entry : table.classes) {
        bool matches = isAtom(name) ? entry->atom == static_cast<ATOM>(reinterpret_cast<uintptr_t>(name))
                                    : equalsIgnoreCase(std::string_view(entry->name), std::string_view(name));
        if (!matches)
            continue;
        if (entry->instance == instance)
            return entry;
        byName = entry;
    }
    return byName;
}

LRESULT callWindowProcedure(const std::shared_ptr<LocalWindow> &window, UINT message, WPARAM wParam, LPARAM lParam)
{
    WNDPROC procedure;
    {
        std::lock_guard<std::mutex> guard(localWindowsLock());
        procedure = window->procedure;
    }
    return procedure ? procedure(window->handle, message, wParam, lParam) : 0;
}

std::mutex &localWindowsLock()
{
    return windowTable().lock;
}

std::shared_ptr<LocalWindow> findLocalWindow(HWND handle)
{
    WindowTable &table = windowTable();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.windows.find(handle);
    return found == table.windows.end() ? nullptr : found->second;
}

void addLocalWindow(const std::shared_ptr<LocalWindow> &window)
{
    WindowTable &table = windowTable();
    std::lock_guard<std::mutex> guard(table.lock);
    table.windows[window->handle] = window;
}

void removeLocalWindow(HWND handle)
{
    WindowTable &table = windowTable();
    std::lock_guard<std::mutex> guard(table.lock);
    table.windows.erase(handle);
}

void destroyThreadWindows(DWORD thread)
{
    std::vector<std::shared_ptr<LocalWindow>> owned;
    {
        WindowTable &table = windowTable();
        std::lock_guard<std::mutex> guard(table.lock);
        for (const auto &entry : table.windows)
            if (entry.second->thread == thread)
                owned.push_back(entry.second);
    }
    for (const auto &window : owned) {
        removeLocalWindow(window->handle);
        removeDesktopWindow(window->handle);
    }
}

}  // namespace winsim

using namespace winsim;

extern "C" {

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA *description)
{
    if (!description || description->cbSize != sizeof(WNDCLASSEXA) || isAtom(description->lpszClassName) ||
        !*description->lpszClassName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (auto failure = injectedFailure("RegisterClassExA")) {
        SetLastError(static_cast<DWORD>(*failure));
        return 0;
    }
    currentThreadQueue();
    ClassTable &table = classTable();
    std::lock_guard<std::mutex> guard(table.lock);
    for (const auto &entry : table.classes) {
        if (entry->instance == description->hInstance &&
            equalsIgnoreCase(std::string_view(entry->name), std::string_view(description->lpszClassName))) {
            SetLastError(ERROR_CLASS_ALREADY_EXISTS);
            return 0;
        }
    }
    auto windowClass = std::make_shared<WindowClass>();
    windowClass->atom = table.nextAtom++;
    windowClass->name = description->lpszClassName;
    windowClass->instance = description->hInstance;
    windowClass->procedure = description->lpfnWndProc;
    windowClass->style = description->style;
    table.classes.push_back(windowClass);
    return windowClass->atom;
}

HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                            int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID parameter)
{
    if (!className) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<WindowClass> windowClass = findWindowClass(className, instance);
    if (!windowClass) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    const bool messageOnly = parent == HWND_MESSAGE;
    if (parent && !messageOnly && !desktopWindow(parent)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (auto failure = injectedFailure("CreateWindowExA")) {
        SetLastError(static_cast<DWORD>(*failure));
        return nullptr;
    }
    currentThreadQueue();
    listenForOtherProcesses();

    DesktopWindow record;
    record.className = windowClass->name;
    record.title = windowName ? windowName : "";
    record.style = style;
    record.exStyle = exStyle;
    record.parent = messageOnly ? nullptr : parent;
    record.messageOnly = messageOnly;
    record.process = static_cast<uint32_t>(getpid());
    record.processStart = processStartTime(getpid());
    record.thread = GetCurrentThreadId();
    if (DWORD error = addDesktopWindow(record)) {
        SetLastError(error);
        return nullptr;
    }
    auto window = std::make_shared<LocalWindow>();
    window->handle = record.handle;
    window->thread = record.thread;
    window->windowClass = windowClass;
    window->instance = instance;
    window->procedure = windowClass->procedure;
    addLocalWindow(window);

    CREATESTRUCTA creation{parameter, instance, menu,  parent, height, width, y, x, static_cast<LONG>(style),
                           windowName, className, exStyle};
    LPARAM creationParameter = reinterpret_cast<LPARAM>(&creation);
    if (!callWindowProcedure(window, WM_NCCREATE, 0, creationParameter)) {
        callWindowProcedure(window, WM_NCDESTROY, 0, 0);
        forgetWindow(window);
        SetLastError(ERROR_SUCCESS);
        return nullptr;
    }
    if (callWindowProcedure(window, WM_CREATE, 0, creationParameter) == -1) {
        DestroyWindow(window->handle);
        SetLastError(ERROR_SUCCESS);
        return nullptr;
    }
    return window->handle;
}

BOOL WINAPI DestroyWindow(HWND handle)
{
    DWORD error = 0;
    auto window = ownWindow(handle, error);
    if (!window) {
        SetLastError(error);
        return FALSE;
    }
    callWindowProcedure(window, WM_DESTROY, 0, 0);
    callWindowProcedure(window, WM_NCDESTROY, 0, 0);
    forgetWindow(window);
    return TRUE;
}

BOOL WINAPI IsWindow(HWND handle)
{
    return desktopWindow(handle) ? TRUE : FALSE;
}

BOOL WINAPI IsWindowVisible(HWND handle)
{
    for (auto window = desktopWindow(handle); window; window = desktopWindow(window->parent)) {
        if (!(window->style & WS_VISIBLE))
            return FALSE;
        if (!window->parent)
            return TRUE;
    }
    return FALSE;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND handle, int index)
{
    if (auto window = findLocalWindow(handle)) {
        std::lock_guard<std::mutex> guard(localWindowsLock());
        switch (index) {
        case GWLP_USERDATA:
            return window->userData;
        case GWLP_WNDPROC:
            return reinterpret_cast<LONG_PTR>(window->procedure);
        case GWLP_HINSTANCE:
            return reinterpret_cast<LONG_PTR>(window->instance);
        }
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    // Another process's window: its user data is on the desktop; its procedure is not ours to call.
    auto window = desktopWindow(handle);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (index == GWLP_USERDATA)
        return window->userData;
    SetLastError(index == GWLP_WNDPROC || index == GWLP_HINSTANCE ? ERROR_ACCESS_DENIED : ERROR_INVALID_INDEX);
    return 0;
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND handle, int index, LONG_PTR value)
{
    auto window = findLocalWindow(handle);
    if (!window) {
        SetLastError(desktopWindow(handle) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    LONG_PTR previous;
    {
        std::lock_guard<std::mutex> guard(localWindowsLock());
        switch (index) {
        case GWLP_USERDATA:
            previous = window->userData;
            window->userData = value;
            break;
        case GWLP_WNDPROC:
            previous = reinterpret_cast<LONG_PTR>(window->procedure);
            window->procedure = reinterpret_cast<WNDPROC>(value);
            return previous;
        default:
            SetLastError(ERROR_INVALID_INDEX);
            return 0;
        }
    }
    setWindowUserData(handle, value);
    return previous;
}

DWORD WINAPI GetWindowThreadProcessId(HWND handle, LPDWORD process)
{
    auto window = desktopWindow(handle);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (process)
        *process = window->process;
    return window->thread;
}

int WINAPI GetWindowTextA(HWND handle, LPSTR text, int size)
{
    auto window = desktopWindow(handle);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (!text || size <= 0)
        return 0;
    const size_t copied = std::min(window->title.size(), static_cast<size_t>(size - 1));
    memcpy(text, window->title.data(), copied);
    text[copied] = '\0';
    return static_cast<int>(copied);
}

HWND WINAPI FindWindowA(LPCSTR className, LPCSTR windowName)
{
    for (const DesktopWindow &window : desktopWindows()) {
        if (window.parent || window.messageOnly)
            continue;
        if (className && !isAtom(className) &&
            !equalsIgnoreCase(std::string_view(window.className), std::string_view(className)))
            continue;
        if (className && isAtom(className)) {
            // An atom names a class of the calling process only.
            auto windowClass = findWindowClass(className, nullptr);
            if (!windowClass || !equalsIgnoreCase(std::string_view(window.className), std::string_view(windowClass->name)))
                continue;
        }
        if (windowName && !equalsIgnoreCase(std::string_view(window.title), std::string_view(windowName)))
            continue;
        return window.handle;
    }
    SetLastError(ERROR_SUCCESS);
    return nullptr;
}

BOOL WINAPI ShowWindow(HWND handle, int command)
{
    DWORD set = 0;
    DWORD clear = 0;
    switch (command) {
    case SW_HIDE:
        clear = WS_VISIBLE;
        break;
    case SW_SHOWNORMAL:
    case SW_RESTORE:
        set = WS_VISIBLE;
        clear = WS_MINIMIZE | WS_MAXIMIZE;
        break;
    case SW_SHOWMINIMIZED:
    case SW_MINIMIZE:
    case SW_SHOWMINNOACTIVE:
    case SW_FORCEMINIMIZE:
        set = WS_VISIBLE | WS_MINIMIZE;
        clear = WS_MAXIMIZE;
        break;
    case SW_SHOWMAXIMIZED:
        set = WS_VISIBLE | WS_MAXIMIZE;
        clear = WS_MINIMIZE;
        break;
    case SW_SHOWNOACTIVATE:
    case SW_SHOW:
    case SW_SHOWNA:
    case SW_SHOWDEFAULT:
        set = WS_VISIBLE;
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto window = desktopWindow(handle);
    DWORD before = 0;
    if (!window || window->messageOnly || !changeWindowStyle(handle, set, clear, &before)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return (before & WS_VISIBLE) ? TRUE : FALSE;
}

BOOL WINAPI SetForegroundWindow(HWND handle)
{
    auto window = desktopWindow(handle);
    if (!window || window->messageOnly || window->parent)
        return FALSE;
    return setForegroundDesktopWindow(handle) ? TRUE : FALSE;
}

HWND WINAPI GetForegroundWindow(void)
{
    return foregroundDesktopWindow();
}

}  // extern "C"
