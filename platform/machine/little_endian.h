// Integers in byte buffers in little-endian order, the order of every structure that Windows
// keeps on disk or hands over as bytes: read from memory, written at an offset of a buffer, or
// appended to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace winsim {

template <typename Integer>
Integer loadLittleEndian(const uint8_t *p)
{
    static_assert(std::is_unsigned_v<Integer>);
    Integer value = 0;
    for (size_t i = 0; i < sizeof(Integer); ++i)
        value = static_cast<Integer>(value | static_cast<Integer>(static_cast<Integer>(p[i]) << (8 * i)));
    return value;
}

template <typename Integer>
void storeLittleEndian(std::vector<uint8_t> &out, size_t at, Integer value)
{
    static_assert(std::is_unsigned_v<Integer>);
    for (size_t i = 0; i < sizeof(Integer); ++i)
        out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

template <typename Integer>
void appendLittleEndian(std::vector<uint8_t> &out, Integer value)
{
    static_assert(std::is_unsigned_v<Integer>);
    for (size_t i = 0; i < sizeof(Integer); ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline uint16_t load16(const uint8_t *p) { return loadLittleEndian<uint16_t>(p); }
inline uint32_t load32(const uint8_t *p) { return loadLittleEndian<uint32_t>(p); }
inline uint64_t load64(const uint8_t *p) { return loadLittleEndian<uint64_t>(p); }

inline void store16(std::vector<uint8_t> &out, size_t at, uint16_t v) { storeLittleEndian(out, at, v); }
inline void store32(std::vector<uint8_t> &out, size_t at, uint32_t v) { storeLittleEndian(out, at, v); }

inline void append16(std::vector<uint8_t> &out, uint16_t v) { appendLittleEndian(out, v); }
inline void append32(std::vector<uint8_t> &out, uint32_t v) { appendLittleEndian(out, v); }
inline void append64(std::vector<uint8_t> &out, uint64_t v) { appendLittleEndian(out, v); }

}  // namespace winsim
