// winsim desktop: the windows of the machine's desktop, posting to them, and what the desktop
// showed (message boxes) or was asked to open (shell executions).
#include "commands.h"

#include "machine/machine.h"
#include "user32/desktop.h"

#include <windows.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string stamp(int64_t timeMs)
{
    time_t when = static_cast<time_t>(timeMs / 1000);
    tm local{};
    localtime_r(&when, &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

bool parseNumber(const char *text, unsigned long long &value)
{
    char *end = nullptr;
    errno = 0;
    value = strtoull(text, &end, 0);
    return end != text && *end == '\0' && errno == 0;
}

int listWindows()
{
    for (const winsim::DesktopWindow &window : winsim::desktopWindows()) {
        printf("0x%08llx pid=%u thread=%u class=\"%s\" title=\"%s\" %s%s%s\n",
               static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window.handle)), window.process,
               window.thread, window.className.c_str(), window.title.c_str(),
               (window.style & WS_VISIBLE) ? "visible" : "hidden",
               (window.style & WS_MINIMIZE) ? " minimized" : (window.style & WS_MAXIMIZE) ? " maximized" : "",
               window.foreground ? " foreground" : "");
    }
    return 0;
}

int postMessage(int argc, char **argv)
{
    unsigned long long values[4] = {0, 0, 0, 0};
    for (int i = 0; i < argc; ++i) {
        if (!parseNumber(argv[i], values[i])) {
            fprintf(stderr, "winsim: not a number: %s\n", argv[i]);
            return 2;
        }
    }
    HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(values[0]));
    if (!PostMessageA(window, static_cast<UINT>(values[1]), static_cast<WPARAM>(values[2]),
                      static_cast<LPARAM>(values[3])))
        return lastFailure("PostMessageA");
    return 0;
}

int listMessageBoxes()
{
    for (const winsim::MessageBoxRecord &box : winsim::messageBoxes())
        printf("%lld %s pid=%u caption=\"%s\" text=\"%s\" type=0x%x answer=%d\n", static_cast<long long>(box.id),
               stamp(box.timeMs).c_str(), box.process, box.caption.c_str(), box.text.c_str(), box.type, box.answer);
    return 0;
}

int listShellExecutions()
{
    for (const winsim::ShellExecution &execution : winsim::shellExecutions())
        printf("%lld %s pid=%u verb=\"%s\" file=\"%s\" parameters=\"%s\" directory=\"%s\" show=%d result=%lld\n",
               static_cast<long long>(execution.id), stamp(execution.timeMs).c_str(), execution.process,
               execution.verb.c_str(), execution.file.c_str(), execution.parameters.c_str(),
               execution.directory.c_str(), execution.show, static_cast<long long>(execution.result));
    return 0;
}

}  // namespace

int desktopCommand(int argc, char **argv)
{
    if (argc < 1)
        return commandUsage("desktop");
    winsim::machineRoot();
    const std::string action = argv[0];
    if (action == "windows" && argc == 1)
        return listWindows();
    if (action == "post" && argc >= 3 && argc <= 5)
        return postMessage(argc - 1, argv + 1);
    if (action == "boxes" && argc == 1)
        return listMessageBoxes();
    if (action == "shell" && argc == 1)
        return listShellExecutions();
    return commandUsage("desktop");
}
