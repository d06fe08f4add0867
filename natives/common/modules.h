// Functions bound by name at run time.
#pragma once

#include <windows.h>

namespace pallux {

// GetProcAddress typed as the function it names; null when the module does not export it.
template <typename Function>
Function procAddress(HMODULE module, const char *name)
{
    // Through the generic function pointer type, which compilers accept as a cast between
    // unrelated function types.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace pallux
