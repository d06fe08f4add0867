#include "shell32/icon_file.h"

#include <cstring>

namespace winsim {

namespace {

constexpr uint16_t kResourceTypeGroupIcon = 14;  // RT_GROUP_ICON
constexpr unsigned kResourceDirectoryIndex = 2;  // IMAGE_DIRECTORY_ENTRY_RESOURCE
constexpr uint32_t kSubdirectoryFlag = 0x80000000u;
constexpr unsigned kMaxSections = 96;  // the PE format's own limit

class Reader {
public:
    explicit Reader(const ReadAt &read) : read_(read) {}

    bool u16(uint64_t offset, uint16_t &value) const { return little(offset, &value, 2); }
    bool u32(uint64_t offset, uint32_t &value) const { return little(offset, &value, 4); }
    bool bytes(uint64_t offset, void *out, size_t size) const { return read_(offset, out, size); }

private:
    template <typename T>
    bool little(uint64_t offset, T *value, size_t size) const
    {
        uint8_t raw[4] = {};
        if (!read_(offset, raw, size))
            return false;
        uint32_t result = 0;
        for (size_t i = size; i-- > 0;)
            result = (result << 8) | raw[i];
        *value = static_cast<T>(result);
        return true;
    }

    const ReadAt &read_;
};

struct Section {
    uint32_t virtualAddress;
    uint32_t extent;
    uint32_t fileOffset;
};

// The entry count of the resource directory of icon groups; 0 when the image has none.
std::optional<unsigned> executableIconCount(const Reader &reader)
{
    uint32_t headerOffset = 0;
    char signature[4] = {};
    if (!reader.u32(0x3C, headerOffset) || !reader.bytes(headerOffset, signature, 4) ||
        memcmp(signature, "PE\0\0", 4) != 0)
        return 0;  // an executable of an older format, which has no resources to look in
    uint16_t sectionCount = 0;
    uint16_t optionalHeaderSize = 0;
    uint16_t magic = 0;
    const uint64_t coff = headerOffset + 4ull;
    const uint64_t optional = coff + 20;
    if (!reader.u16(coff + 2, sectionCount) || !reader.u16(coff + 16, optionalHeaderSize) ||
        !reader.u16(optional, magic) || sectionCount > kMaxSections)
        return 0;
    uint64_t directories;
    uint64_t directoryCountOffset;
    if (magic == 0x10B) {  // PE32
        directoryCountOffset = optional + 92;
        directories = optional + 96;
    } else if (magic == 0x20B) {  // PE32+
        directoryCountOffset = optional + 108;
        directories = optional + 112;
    } else {
        return 0;
    }
    uint32_t directoryCount = 0;
    uint32_t resourceRva = 0;
    if (!reader.u32(directoryCountOffset, directoryCount) || directoryCount <= kResourceDirectoryIndex ||
        directories + 8 * (kResourceDirectoryIndex + 1) > optional + optionalHeaderSize ||
        !reader.u32(directories + 8 * kResourceDirectoryIndex, resourceRva) || resourceRva == 0)
        return 0;

    const uint64_t sectionTable = optional + optionalHeaderSize;
    uint64_t resourceOffset = 0;
    bool mapped = false;
    for (unsigned i = 0; i < sectionCount && !mapped; ++i) {
        Section section{};
        uint32_t virtualSize = 0;
        uint32_t rawSize = 0;
        const uint64_t at = sectionTable + 40ull * i;
        if (!reader.u32(at + 8, virtualSize) || !reader.u32(at + 12, section.virtualAddress) ||
            !reader.u32(at + 16, rawSize) || !reader.u32(at + 20, section.fileOffset))
            return 0;
        section.extent = virtualSize > rawSize ? virtualSize : rawSize;
        if (resourceRva >= section.virtualAddress && resourceRva - section.virtualAddress < section.extent) {
            resourceOffset = section.fileOffset + static_cast<uint64_t>(resourceRva - section.virtualAddress);
            mapped = true;
        }
    }
    if (!mapped)
        return 0;

    // The root directory of the resources, by type.
    uint16_t named = 0;
    uint16_t identified = 0;
    if (!reader.u16(resourceOffset + 12, named) || !reader.u16(resourceOffset + 14, identified))
        return 0;
    for (unsigned i = 0; i < static_cast<unsigned>(named) + identified; ++i) {
        uint32_t name = 0;
        uint32_t target = 0;
        const uint64_t entry = resourceOffset + 16 + 8ull * i;
        if (!reader.u32(entry, name) || !reader.u32(entry + 4, target))
            return 0;
        if (name != kResourceTypeGroupIcon)
            continue;
        if (!(target & kSubdirectoryFlag))
            return 0;
        const uint64_t groups = resourceOffset + (target & ~kSubdirectoryFlag);
        uint16_t groupsNamed = 0;
        uint16_t groupsIdentified = 0;
        if (!reader.u16(groups + 12, groupsNamed) || !reader.u16(groups + 14, groupsIdentified))
            return 0;
        return static_cast<unsigned>(groupsNamed) + groupsIdentified;
    }
    return 0;
}

}  // namespace

std::optional<unsigned> iconCount(const ReadAt &read)
{
    Reader reader(read);
    uint8_t start[6] = {};
    if (!reader.bytes(0, start, 2))
        return std::nullopt;
    if (start[0] == 'M' && start[1] == 'Z')
        return executableIconCount(reader);
    // ICONDIR: reserved 0, type 1 (an icon, not a cursor), the image count.
    if (reader.bytes(0, start, 6) && start[0] == 0 && start[1] == 0 && start[2] == 1 && start[3] == 0)
        return static_cast<unsigned>(start[4] | (start[5] << 8));
    return std::nullopt;
}

}  // namespace winsim
