// Reading memory that a caller points at without trusting the pointer: Windows probes the
// structures it is given and fails the call with ERROR_NOACCESS instead of faulting, so the
// stand-in copies them through the kernel, which reports an unreadable page instead of
// delivering a fault.
#pragma once

#include <cstddef>

namespace winsim {

// Copies up to size bytes from the caller's address into a buffer of ours; returns how many
// could be read before the first unreadable page (0 when the first byte cannot be read).
size_t copyCallerMemory(const void *from, void *into, size_t size);

}  // namespace winsim
