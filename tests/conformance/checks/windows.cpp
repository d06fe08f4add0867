// Windows and message queues (under a virtual X server on the Wine side): class registration,
// hidden windows and FindWindowA, ShowWindow, user data, queues made on demand, posts to a
// window reaching the thread that owns it.
#include "../framework/support.h"

#include <atomic>
#include <thread>

using namespace conformance;

namespace {

std::atomic<DWORD> procedureThread{0};
std::atomic<UINT> procedureMessage{0};

LRESULT CALLBACK recordingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message >= WM_APP) {
        procedureThread = GetCurrentThreadId();
        procedureMessage = message;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool registerClass(const char *name)
{
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = recordingProcedure;
    windowClass.lpszClassName = name;
    return RegisterClassExA(&windowClass) != 0;
}

HWND createHiddenWindow(const char *className, const char *title)
{
    return CreateWindowExA(0, className, title, WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
}

}  // namespace

CHECK(windows, a_class_registers_once_per_process)
{
    ASSERT_TRUE(registerClass("ConformanceOnce"));
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(registerClass("ConformanceOnce"));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
    DWORD otherError = 0;
    bool otherRegistered = true;
    std::thread other([&] {
        otherRegistered = registerClass("conformanceonce");
        otherError = GetLastError();
    });
    other.join();
    EXPECT_FALSE(otherRegistered);
    EXPECT_EQ(otherError, ERROR_CLASS_ALREADY_EXISTS);
}

CHECK(windows, a_window_is_hidden_until_shown_and_found_by_class_and_title)
{
    ASSERT_TRUE(registerClass("ConformanceFind"));
    HWND window = createHiddenWindow("ConformanceFind", "Conformance Finder");
    ASSERT_SUCCEEDS(window);
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(FindWindowA("conformancefind", "CONFORMANCE FINDER"), window);
    EXPECT_EQ(FindWindowA("ConformanceFind", nullptr), window);
    EXPECT_EQ(FindWindowA(nullptr, "Conformance Finder"), window);
    EXPECT_TRUE(FindWindowA("ConformanceFind", "Another Title") == nullptr);

    // ShowWindow tells whether the window was visible before.
    EXPECT_FALSE(ShowWindow(window, SW_SHOWNA));
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_TRUE(ShowWindow(window, SW_HIDE));
    EXPECT_FALSE(IsWindowVisible(window));

    EXPECT_SUCCEEDS(DestroyWindow(window));
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(FindWindowA("ConformanceFind", nullptr) == nullptr);
    EXPECT_FAILS_WITH(PostMessageA(window, WM_APP, 0, 0), FALSE, ERROR_INVALID_WINDOW_HANDLE);
}

CHECK(windows, a_window_keeps_its_user_data)
{
    ASSERT_TRUE(registerClass("ConformanceData"));
    HWND window = createHiddenWindow("ConformanceData", "Conformance Data");
    ASSERT_SUCCEEDS(window);
    EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), static_cast<LONG_PTR>(0));
    EXPECT_EQ(SetWindowLongPtrA(window, GWLP_USERDATA, 0x1234), static_cast<LONG_PTR>(0));
    EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), static_cast<LONG_PTR>(0x1234));
    DestroyWindow(window);
}

CHECK(windows, a_thread_has_a_queue_only_once_it_uses_one)
{
    std::atomic<DWORD> threadId{0};
    std::atomic<int> step{0};
    MSG received{};
    std::thread worker([&] {
        threadId = GetCurrentThreadId();
        step = 1;
        while (step != 2)
            Sleep(1);
        MSG peeked;
        PeekMessageA(&peeked, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
        step = 3;
        if (GetMessageA(&received, nullptr, 0, 0) <= 0)
            received.message = 0;
    });
    while (step != 1)
        Sleep(1);
    EXPECT_FAILS_WITH(PostThreadMessageA(threadId, WM_APP + 1, 0, 0), FALSE, ERROR_INVALID_THREAD_ID);
    step = 2;
    while (step != 3)
        Sleep(1);
    EXPECT_SUCCEEDS(PostThreadMessageA(threadId, WM_APP + 2, 5, 6));
    worker.join();
    EXPECT_EQ(received.message, static_cast<UINT>(WM_APP + 2));
    EXPECT_TRUE(received.hwnd == nullptr);
    EXPECT_EQ(received.wParam, static_cast<WPARAM>(5));
    EXPECT_EQ(received.lParam, static_cast<LPARAM>(6));
}

CHECK(windows, a_post_to_a_window_reaches_the_thread_that_owns_it)
{
    ASSERT_TRUE(registerClass("ConformanceOwner"));
    std::atomic<HWND> window{nullptr};
    std::atomic<DWORD> ownerId{0};
    std::atomic<bool> ready{false};
    MSG received{};
    std::thread owner([&] {
        ownerId = GetCurrentThreadId();
        window = createHiddenWindow("ConformanceOwner", "Conformance Owner");
        ready = true;
        if (!window)
            return;
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            if (message.message == WM_APP + 3) {
                received = message;
                DispatchMessageA(&message);
                DestroyWindow(window);
                PostQuitMessage(0);
            }
        }
    });
    while (!ready)
        Sleep(1);
    HWND created = window;
    if (created) {
        DWORD process = 0;
        EXPECT_EQ(GetWindowThreadProcessId(created, &process), static_cast<DWORD>(ownerId));
        EXPECT_EQ(process, GetCurrentProcessId());
        procedureThread = 0;
        EXPECT_SUCCEEDS(PostMessageA(created, WM_APP + 3, 7, 9));
    }
    owner.join();
    ASSERT_TRUE(created != nullptr);
    EXPECT_EQ(received.hwnd, created);
    EXPECT_EQ(received.wParam, static_cast<WPARAM>(7));
    EXPECT_EQ(received.lParam, static_cast<LPARAM>(9));
    EXPECT_EQ(static_cast<DWORD>(procedureThread), static_cast<DWORD>(ownerId));
    EXPECT_EQ(static_cast<UINT>(procedureMessage), static_cast<UINT>(WM_APP + 3));
}
