// What the stand-in COM runtime tells the stand-in COM servers.
#pragma once

#include <windows.h>

namespace winsim {

// True when the calling thread has initialised COM (CoInitializeEx) and not uninitialised it.
bool comInitializedOnThisThread();

}  // namespace winsim
