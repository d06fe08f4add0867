// Console control events. Windows delivers them to a console process on a new thread; here
// they arrive as a real-time signal whose value is the event, sent by the machine tool
// ("winsim console-event <pid> <event>") or by tests through sendConsoleEvent.
#pragma once

#include <windef.h>

#include <sys/types.h>

namespace winsim {

int consoleEventSignal();

// Returns 0 or an errno.
int sendConsoleEvent(pid_t process, DWORD ctrlType);

}  // namespace winsim
