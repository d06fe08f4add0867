// The Windows side: the checks run under Wine in a prefix made for the run.
#include "side.h"

namespace conformance::side {

const char *name()
{
    return "wine";
}

bool start()
{
    // Unattended: no dialog for a crash or a missing disk.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    return true;
}

void finish() {}

bool makeDirectory(const WString &path)
{
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

}  // namespace conformance::side
