// What the stand-in COM runtime tells the rest of the stand-in (its servers, the shadow copy
// service, the activation functions).
#pragma once

#include <windows.h>

namespace winsim {

// True when the calling thread has initialised COM (CoInitializeEx) and not uninitialised it.
bool comInitializedOnThisThread();

// True when the calling thread may make COM calls: it initialised COM itself, or it did not
// but another thread of the process keeps the multithreaded apartment alive, which Windows
// makes the implicit apartment of every thread that chose none.
bool comUsableOnThisThread();

}  // namespace winsim
