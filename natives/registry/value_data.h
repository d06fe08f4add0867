// Reading registry value data as the registry returned it, bounded by the size it reported:
// data written by other programs may be a string of odd length or without its NUL, a
// multi-string without its closing pair, or a number shorter than four bytes.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pallux {

// The units of string data up to its first NUL unit, or up to its last whole unit.
inline size_t stringDataLength(const BYTE *data, DWORD size)
{
    const size_t units = size / 2;
    size_t length = 0;
    while (length < units && (data[2 * length] | data[2 * length + 1]) != 0)
        ++length;
    return length;
}

// Multi-string data is copied into a list of this many units: the data's whole units followed
// by a closing pair of its own, so that a scan for the end of the list stops inside the copy
// whatever the data holds. An odd last byte is not part of any string.
inline size_t terminatedMultiStringUnits(DWORD size)
{
    return size / 2 + 2;
}

inline void copyTerminatedMultiString(const BYTE *data, DWORD size, WCHAR *list)
{
    const size_t units = size / 2;
    if (units)
        memcpy(list, data, units * sizeof(WCHAR));
    list[units] = 0;
    list[units + 1] = 0;
}

// The first four bytes as a little-endian number; shorter data is zero-extended.
inline uint32_t numberData(const BYTE *data, DWORD size)
{
    uint32_t number = 0;
    for (DWORD i = 0; i < size && i < 4; ++i)
        number |= static_cast<uint32_t>(data[i]) << (8 * i);
    return number;
}

}  // namespace pallux
