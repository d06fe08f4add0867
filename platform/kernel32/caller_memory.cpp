#include "kernel32/caller_memory.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

namespace winsim {

namespace {

constexpr size_t kPage = 4096;

// The bytes from `from` to the end of its page, at most `left`.
size_t pagePiece(const char *from, size_t left)
{
    return std::min(left, kPage - (reinterpret_cast<uintptr_t>(from) & (kPage - 1)));
}

// Through a pipe, where process_vm_readv is not allowed: write() reports EFAULT for an
// unreadable source, and the bytes come back out of the pipe.
size_t copyThroughPipe(const char *from, char *into, size_t size)
{
    int ends[2];
    if (pipe(ends) != 0)
        return 0;
    size_t copied = 0;
    while (copied < size) {
        // One page at most, so that a chunk never spans a readable and an unreadable page.
        size_t chunk = pagePiece(from + copied, size - copied);
        ssize_t written = write(ends[1], from + copied, chunk);
        if (written <= 0 || read(ends[0], into + copied, static_cast<size_t>(written)) != written)
            break;
        copied += static_cast<size_t>(written);
    }
    close(ends[0]);
    close(ends[1]);
    return copied;
}

}  // namespace

size_t copyCallerMemory(const void *from, void *into, size_t size)
{
    if (!from || size == 0)
        return 0;
    // A transfer stops at the first unreadable piece of the source; one piece per page makes
    // that the first unreadable page.
    const char *source = static_cast<const char *>(from);
    std::vector<iovec> pieces;
    for (size_t offset = 0; offset < size;) {
        size_t piece = pagePiece(source + offset, size - offset);
        pieces.push_back(iovec{const_cast<char *>(source + offset), piece});
        offset += piece;
    }
    iovec local{into, size};
    ssize_t copied = process_vm_readv(getpid(), &local, 1, pieces.data(), pieces.size(), 0);
    if (copied >= 0)
        return static_cast<size_t>(copied);
    if (errno == EFAULT)
        return 0;
    return copyThroughPipe(static_cast<const char *>(from), static_cast<char *>(into), size);
}

}  // namespace winsim
