// How many icons a file holds, by its format: an icon file (.ico) counts its images, a Windows
// executable or library (PE) its icon groups. Free of OS calls: the file is read through a
// function, so the parser is tested on bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

namespace winsim {

// Reads `size` bytes at `offset`; false when the file has fewer.
using ReadAt = std::function<bool(uint64_t offset, void *buffer, size_t size)>;

// The number of icons (0 for an executable without any); nullopt when the file is neither an
// icon file nor an executable.
std::optional<unsigned> iconCount(const ReadAt &read);

}  // namespace winsim
