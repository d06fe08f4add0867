#include "library_state.h"

namespace pallux {

LibraryState libraryState;

void recordLibraryLoad(HMODULE module)
{
    libraryState.module = module;
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    libraryState.ntFamily = GetVersionExA(&version) && version.dwPlatformId != VER_PLATFORM_WIN32_WINDOWS;
}

}  // namespace pallux
