// GetTickCount: milliseconds of the monotonic clock, in 32 bits that wrap after 49.7 days as on
// Windows. The machine setting `tick.offset` (milliseconds, may be negative) is added before
// the wrap, so a test can put the wrap, or a jump of the clock, inside an operation it times.
#include "machine/machine.h"

#include <windows.h>

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

namespace winsim {

namespace {

// The setting is read again only when machine.conf changes: the counter is asked for often.
int64_t tickOffset()
{
    static std::mutex lock;
    static struct timespec seen {};
    static ino_t seenInode = 0;
    static int64_t offset = 0;
    struct stat st {};
    const bool present = stat((machineRoot() + "/machine.conf").c_str(), &st) == 0;
    std::lock_guard<std::mutex> guard(lock);
    // The tool replaces the file by renaming a new one over it, so a change is a new inode too.
    if (present && (st.st_ino != seenInode || st.st_mtim.tv_sec != seen.tv_sec || st.st_mtim.tv_nsec != seen.tv_nsec)) {
        seen = st.st_mtim;
        seenInode = st.st_ino;
        offset = strtoll(machineSetting("tick.offset", "0").c_str(), nullptr, 0);
    }
    return offset;
}

}  // namespace

}  // namespace winsim

extern "C" {

DWORD WINAPI GetTickCount(void)
{
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t ms = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    return static_cast<DWORD>(static_cast<uint64_t>(ms + winsim::tickOffset()));
}

}  // extern "C"
