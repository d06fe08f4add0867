// The stand-in side: every run of the checks is on a fresh emulated machine of its own, unless
// WINSIM_ROOT names one (as it does in a service process that the machine started).
#include "side.h"

#include "machine/machine.h"
#include "machine/paths.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace conformance::side {

namespace {

std::string ownRoot;

}  // namespace

const char *name()
{
    return "stand-in";
}

bool start()
{
    if (!getenv(winsim::kMachineRootVariable)) {
        std::string pattern = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/winsim-conformance.XXXXXX";
        if (!mkdtemp(pattern.data()))
            return false;
        ownRoot = pattern;
        setenv(winsim::kMachineRootVariable, ownRoot.c_str(), 1);
    }
    winsim::machineRoot();
    return true;
}

void finish()
{
    if (!ownRoot.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(ownRoot, ignored);
    }
}

bool makeDirectory(const WString &path)
{
    winsim::MappedPath mapped;
    if (winsim::mapWindowsPath(path, mapped) != 0)
        return false;
    return mkdir(mapped.posix.c_str(), 0777) == 0 || errno == EEXIST;
}

}  // namespace conformance::side
