// Threads, window classes, windows, message queues and the machine's desktop, called directly;
// windows of another process through a program that owns one (tests/support/window_owner.cpp).
#include "user32/desktop.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

// Every message that reached a window of these tests, in order.
thread_local std::vector<UINT> seen;

LRESULT CALLBACK recordingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    seen.push_back(message);
    return DefWindowProcA(window, message, wParam, lParam);
}

void registerClass(const char *name)
{
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = recordingProcedure;
    windowClass.lpszClassName = name;
    RegisterClassExA(&windowClass);
}

HWND createWindow(const char *className, const char *title)
{
    return CreateWindowExA(0, className, title, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

// Runs a routine on a thread made by CreateThread and waits for it.
template <typename Routine>
DWORD onNewThread(Routine routine)
{
    struct Call {
        static DWORD WINAPI run(LPVOID parameter)
        {
            (*static_cast<Routine *>(parameter))();
            return 0;
        }
    };
    HANDLE thread = CreateThread(nullptr, 0, Call::run, &routine, 0, nullptr);
    EXPECT_NE(thread, nullptr);
    DWORD result = WaitForSingleObject(thread, 20000);
    CloseHandle(thread);
    return result;
}

// The window_owner program, with pipes to its input and from its output.
struct WindowOwner {
    pid_t process = -1;
    FILE *output = nullptr;
    int input = -1;
    HWND window = nullptr;

    WindowOwner(const char *className, const char *title)
    {
        int toChild[2];
        int fromChild[2];
        if (pipe(toChild) != 0 || pipe(fromChild) != 0)
            return;
        process = fork();
        if (process == 0) {
            dup2(toChild[0], 0);
            dup2(fromChild[1], 1);
            close(toChild[1]);
            close(fromChild[0]);
            execl(WINDOW_OWNER, WINDOW_OWNER, className, title, static_cast<char *>(nullptr));
            _exit(127);
        }
        close(toChild[0]);
        close(fromChild[1]);
        input = toChild[1];
        output = fdopen(fromChild[0], "r");
        unsigned long long handle = 0;
        if (fscanf(output, "%llu", &handle) == 1)
            window = reinterpret_cast<HWND>(static_cast<uintptr_t>(handle));
    }

    std::string nextLine()
    {
        char line[256];
        // The rest of the line before, then the line itself.
        return fgets(line, sizeof line, output) ? std::string(line) : std::string();
    }

    int end()
    {
        close(input);
        int status = 0;
        waitpid(process, &status, 0);
        fclose(output);
        return status;
    }
};

}  // namespace

TEST(Threads, ThreadObjectIsSignalledWhenTheThreadEndsWithItsExitCode)
{
    std::atomic<bool> release{false};
    std::atomic<DWORD> idInside{0};
    struct Context {
        std::atomic<bool> *release;
        std::atomic<DWORD> *id;
    } context{&release, &idInside};
    DWORD id = 0;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
            auto *c = static_cast<Context *>(parameter);
            *c->id = GetCurrentThreadId();
            while (!*c->release)
                Sleep(1);
            return 42;
        },
        &context, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(thread, 20), static_cast<DWORD>(WAIT_TIMEOUT));
    release = true;
    EXPECT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(idInside.load(), id);
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    // Signalled for good: a second wait returns at once.
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_FALSE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Threads, WaitForTheFirstOfAnEventAndAThread)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    HANDLE both[2] = {event, thread};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 20000), WAIT_OBJECT_0 + 1);
    CloseHandle(thread);
    CloseHandle(event);
}

TEST(WindowClasses, ASecondRegistrationOfTheSameNameFailsWith1410)
{
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = recordingProcedure;
    windowClass.lpszClassName = "Registered Once";
    ATOM atom = RegisterClassExA(&windowClass);
    EXPECT_GE(atom, 0xC000);
    windowClass.lpszClassName = "REGISTERED ONCE";
    EXPECT_EQ(RegisterClassExA(&windowClass), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
    // From another thread of the process too: classes belong to the process.
    onNewThread([&] {
        EXPECT_EQ(RegisterClassExA(&windowClass), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
    });
    EXPECT_EQ(createWindow("No Such Class", "x"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
}

TEST(Windows, LifeOfAWindowOnTheDesktop)
{
    registerClass("Life");
    seen.clear();
    HWND window = createWindow("Life", "Life title");
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(seen, (std::vector<UINT>{WM_NCCREATE, WM_CREATE}));
    EXPECT_TRUE(IsWindow(window));
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(FindWindowA("life", "LIFE TITLE"), window);
    EXPECT_EQ(FindWindowA(nullptr, "Life title"), window);
    EXPECT_EQ(FindWindowA("Life", nullptr), window);
    char title[64];
    EXPECT_EQ(GetWindowTextA(window, title, sizeof title), 10);
    EXPECT_STREQ(title, "Life title");
    DWORD process = 0;
    EXPECT_EQ(GetWindowThreadProcessId(window, &process), GetCurrentThreadId());
    EXPECT_EQ(process, GetCurrentProcessId());

    EXPECT_EQ(SetWindowLongPtrA(window, GWLP_USERDATA, 1234), 0);
    EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), 1234);
    EXPECT_EQ(GetWindowLongPtrA(window, 12345), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));

    EXPECT_FALSE(ShowWindow(window, SW_SHOW));
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_TRUE(ShowWindow(window, SW_MINIMIZE));
    EXPECT_TRUE(SetForegroundWindow(window));
    EXPECT_EQ(GetForegroundWindow(), window);

    // Only the window's own thread may destroy it.
    onNewThread([&] {
        EXPECT_FALSE(DestroyWindow(window));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    });
    seen.clear();
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_EQ(seen, (std::vector<UINT>{WM_DESTROY, WM_NCDESTROY}));
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(GetForegroundWindow(), nullptr);
    EXPECT_EQ(FindWindowA("Life", nullptr), nullptr);
    EXPECT_FALSE(ShowWindow(window, SW_SHOW));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(DestroyWindow(window));
}

TEST(Windows, FindWindowGivesTheTopOfTheZOrder)
{
    registerClass("Stacked");
    HWND lower = createWindow("Stacked", "same");
    HWND upper = createWindow("Stacked", "same");
    EXPECT_EQ(FindWindowA("Stacked", "same"), upper);
    EXPECT_TRUE(SetForegroundWindow(lower));
    EXPECT_EQ(FindWindowA("Stacked", "same"), lower);
    DestroyWindow(lower);
    DestroyWindow(upper);
}

TEST(MessageQueues, APostToAThreadBeforeItHasAQueueOrAfterItEndedFails)
{
    std::atomic<int> stage{0};
    std::atomic<DWORD> id{0};
    std::thread worker([&] {
        id = GetCurrentThreadId();
        stage = 1;
        while (stage != 2)
            Sleep(1);
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // Windows' way of making the queue
        stage = 3;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        }
        stage = 4;
    });
    while (stage != 1)
        Sleep(1);
    // The race of a new thread: it runs, but has no queue yet.
    EXPECT_FALSE(PostThreadMessageA(id, WM_USER, 1, 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    stage = 2;
    while (stage != 3)
        Sleep(1);
    EXPECT_TRUE(PostThreadMessageA(id, WM_QUIT, 0, 0));
    worker.join();
    EXPECT_EQ(stage.load(), 4);
    EXPECT_FALSE(PostThreadMessageA(id, WM_USER, 1, 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
}

TEST(MessageQueues, FiltersOrderQuitAndLimit)
{
    onNewThread([] {
        registerClass("Filtered");
        HWND window = createWindow("Filtered", "filtered");
        const DWORD self = GetCurrentThreadId();
        PostQuitMessage(3);
        PostThreadMessageA(self, WM_USER + 1, 10, 20);
        PostMessageA(window, WM_USER + 2, 30, 40);
        PostThreadMessageA(self, WM_APP, 0, 0);

        MSG message;
        // The window's messages only, then thread messages only, then a range.
        ASSERT_TRUE(PeekMessageA(&message, window, 0, 0, PM_REMOVE));
        EXPECT_EQ(message.message, static_cast<UINT>(WM_USER + 2));
        EXPECT_EQ(message.hwnd, window);
        ASSERT_TRUE(PeekMessageA(&message, kThreadMessagesOnly, WM_APP, WM_APP, PM_NOREMOVE));
        EXPECT_EQ(message.message, static_cast<UINT>(WM_APP));
        ASSERT_EQ(GetMessageA(&message, nullptr, 0, 0), TRUE);
        EXPECT_EQ(message.message, static_cast<UINT>(WM_USER + 1));
        EXPECT_EQ(message.wParam, 10u);
        EXPECT_EQ(message.lParam, 20);
        ASSERT_EQ(GetMessageA(&message, nullptr, 0, 0), TRUE);
        EXPECT_EQ(message.message, static_cast<UINT>(WM_APP));
        // The quit comes last, whatever the filter.
        EXPECT_EQ(GetMessageA(&message, nullptr, WM_USER, WM_USER), FALSE);
        EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
        EXPECT_EQ(message.wParam, 3u);

        // A filter that is no window of this thread is an error, not a wait.
        EXPECT_EQ(GetMessageA(&message, reinterpret_cast<HWND>(0x7777776), 0, 0), -1);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

        // A destroyed window's messages leave the queue with it.
        PostMessageA(window, WM_USER, 0, 0);
        DestroyWindow(window);
        EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));

        // Windows' limit of posted messages in one queue.
        int posted = 0;
        while (PostThreadMessageA(self, WM_USER, 0, 0))
            ++posted;
        EXPECT_EQ(posted, 10000);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
    });
}

TEST(MessageQueues, TheWindowsOfAThreadGoWhenItEnds)
{
    HWND window = nullptr;
    onNewThread([&] {
        registerClass("Ends With Its Thread");
        window = createWindow("Ends With Its Thread", "short-lived");
    });
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(FindWindowA("Ends With Its Thread", nullptr), nullptr);
    EXPECT_FALSE(PostMessageA(window, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST(Desktop, WindowsOfAnotherProcessAreFoundShownAndPostedTo)
{
    WindowOwner owner("Owned Elsewhere", "Other Process");
    ASSERT_NE(owner.window, nullptr);
    owner.nextLine();
    EXPECT_EQ(FindWindowA("owned elsewhere", "other process"), owner.window);
    DWORD process = 0;
    GetWindowThreadProcessId(owner.window, &process);
    EXPECT_EQ(process, static_cast<DWORD>(owner.process));
    EXPECT_EQ(GetWindowLongPtrA(owner.window, GWLP_USERDATA), 0x5EED);
    EXPECT_EQ(SetWindowLongPtrA(owner.window, GWLP_USERDATA, 1), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DestroyWindow(owner.window));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    EXPECT_FALSE(ShowWindow(owner.window, SW_RESTORE));
    EXPECT_TRUE(IsWindowVisible(owner.window));
    EXPECT_TRUE(SetForegroundWindow(owner.window));
    EXPECT_EQ(GetForegroundWindow(), owner.window);

    ASSERT_TRUE(PostMessageA(owner.window, WM_USER + 1, 7, -8));
    ASSERT_TRUE(PostMessageA(owner.window, WM_APP, 9, 10));
    EXPECT_EQ(owner.nextLine(), "1025 7 -8\n");
    EXPECT_EQ(owner.nextLine(), "32768 9 10\n");

    // The posts reach it through the machine tool as well.
    std::string command = std::string(WINSIM_TOOL) + " desktop post " +
                          std::to_string(reinterpret_cast<uintptr_t>(owner.window)) + " 0x401 0 0x203";
    ASSERT_EQ(system(command.c_str()), 0);
    EXPECT_EQ(owner.nextLine(), "1025 0 515\n");
    EXPECT_EQ(owner.end(), 0);
}

TEST(Desktop, TheWindowsOfAKilledProcessAreGone)
{
    WindowOwner owner("Killed", "Killed");
    ASSERT_NE(owner.window, nullptr);
    EXPECT_TRUE(IsWindow(owner.window));
    kill(owner.process, SIGKILL);
    owner.end();
    EXPECT_FALSE(IsWindow(owner.window));
    EXPECT_EQ(FindWindowA("Killed", nullptr), nullptr);
    EXPECT_FALSE(PostMessageA(owner.window, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST(Desktop, MessageBoxesAreRecordedAndAnsweredWithTheirDefaultButton)
{
    const size_t before = winsim::messageBoxes().size();
    EXPECT_EQ(MessageBoxA(nullptr, "text", "caption", MB_OK), IDOK);
    EXPECT_EQ(MessageBoxA(nullptr, "Sure?", nullptr, MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION), IDNO);
    EXPECT_EQ(MessageBoxA(nullptr, "again", "c", MB_RETRYCANCEL | MB_DEFBUTTON4), IDRETRY);
    auto boxes = winsim::messageBoxes();
    ASSERT_EQ(boxes.size(), before + 3);
    const winsim::MessageBoxRecord &asked = boxes[before + 1];
    EXPECT_EQ(asked.caption, "Error");
    EXPECT_EQ(asked.text, "Sure?");
    EXPECT_EQ(asked.answer, IDNO);
    EXPECT_EQ(asked.process, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(asked.thread, GetCurrentThreadId());
}

// The pattern of the desktop indicator, as fast as it goes: threads that make a queue and a
// window, take a few messages and end, while another thread posts to them the whole time, to
// the thread and to its window, racing the thread's end.
TEST(MessageQueues, PostsRacingTheEndOfThreadsAndWindows)
{
    registerClass("Racing");
    std::atomic<DWORD> target{0};
    std::atomic<HWND> targetWindow{nullptr};
    std::atomic<bool> done{false};
    std::atomic<long> delivered{0};
    std::thread poster([&] {
        while (!done) {
            PostThreadMessageA(target, WM_USER, 0, 0);
            PostMessageA(targetWindow, WM_USER + 1, 0, 0);
        }
    });
    for (int round = 0; round < 300; ++round) {
        onNewThread([&] {
            MSG message;
            PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
            HWND window = createWindow("Racing", "racing");
            targetWindow = window;
            target = GetCurrentThreadId();
            for (int i = 0; i < 2 && GetMessageA(&message, nullptr, 0, 0) > 0; ++i) {
                DispatchMessageA(&message);
                ++delivered;
            }
            if (round % 2)
                DestroyWindow(window);  // else it goes with the thread
        });
    }
    done = true;
    poster.join();
    EXPECT_EQ(delivered.load(), 600);
    EXPECT_EQ(FindWindowA("Racing", nullptr), nullptr);
}
