// MessageBoxA. Nobody sits at the emulated machine, so a message box never waits: it is
// recorded on the desktop (the machine tool lists what was shown, by which process) and
// answered at once with its default button, as pressing Enter would.
#include "user32/desktop.h"
#include "user32/window_state.h"

#include <windows.h>

#include <unistd.h>

#include <vector>

namespace winsim {

namespace {

// The buttons of each MB_TYPEMASK value, in the order Windows shows them.
const std::vector<int> kButtons[] = {
    {IDOK},                            // MB_OK
    {IDOK, IDCANCEL},                  // MB_OKCANCEL
    {IDABORT, IDRETRY, IDIGNORE},      // MB_ABORTRETRYIGNORE
    {IDYES, IDNO, IDCANCEL},           // MB_YESNOCANCEL
    {IDYES, IDNO},                     // MB_YESNO
    {IDRETRY, IDCANCEL},               // MB_RETRYCANCEL
    {IDCANCEL, IDTRYAGAIN, IDCONTINUE}, // MB_CANCELTRYCONTINUE
};

}  // namespace

}  // namespace winsim

extern "C" int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    using namespace winsim;
    const UINT buttonsType = type & MB_TYPEMASK;
    if (buttonsType >= std::size(kButtons)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    currentThreadQueue();
    const std::vector<int> &buttons = kButtons[buttonsType];
    const size_t defaultButton = (type & MB_DEFMASK) >> 8;
    MessageBoxRecord box;
    box.process = static_cast<uint32_t>(getpid());
    box.thread = GetCurrentThreadId();
    box.owner = owner;
    box.caption = caption ? caption : "Error";  // Windows' caption when none is given
    box.text = text ? text : "";
    box.type = type;
    box.answer = buttons[defaultButton < buttons.size() ? defaultButton : 0];
    recordMessageBox(box);
    return box.answer;
}
