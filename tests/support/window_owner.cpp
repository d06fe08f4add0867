// A program of the machine that owns a window, for the tests of windows across processes:
// window_owner <class> <title> creates the window, prints its handle, then prints each message
// that reaches the window ("<message> <wParam> <lParam>") until its standard input ends.
#include <windows.h>

#include <cstdio>
#include <thread>

namespace {

LRESULT CALLBACK printMessages(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message >= WM_USER) {
        printf("%u %llu %lld\n", message, static_cast<unsigned long long>(wParam), static_cast<long long>(lParam));
        fflush(stdout);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = printMessages;
    windowClass.lpszClassName = argv[1];
    if (!RegisterClassExA(&windowClass))
        return 1;
    HWND window = CreateWindowExA(0, argv[1], argv[2], WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                  nullptr, nullptr);
    if (!window)
        return 1;
    SetWindowLongPtrA(window, GWLP_USERDATA, 0x5EED);
    printf("%llu\n", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)));
    fflush(stdout);

    const DWORD loop = GetCurrentThreadId();
    std::thread([loop] {
        while (getchar() != EOF) {
        }
        PostThreadMessageA(loop, WM_QUIT, 0, 0);
    }).detach();
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0)
        DispatchMessageA(&message);
    return 0;
}
