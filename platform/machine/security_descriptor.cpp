#include "machine/security_descriptor.h"
#include "machine/little_endian.h"

#include <winerror.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sstream>

namespace winsim {

namespace {

constexpr size_t kHeaderSize = 20;
constexpr size_t kAclHeaderSize = 8;
constexpr uint16_t kDaclControlBits = SE_DACL_DEFAULTED | SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED;
constexpr uint16_t kSaclControlBits = SE_SACL_DEFAULTED | SE_SACL_AUTO_INHERITED | SE_SACL_PROTECTED;

// The length of a valid SID at data, or 0.
size_t sidLength(const uint8_t *data, size_t available)
{
    if (available < 8 || data[0] != 1 || data[1] > 15)
        return 0;
    size_t length = 8 + 4 * static_cast<size_t>(data[1]);
    return length <= available ? length : 0;
}

DWORD parseSid(const uint8_t *data, size_t size, uint32_t offset, std::optional<Bytes> &out)
{
    if (offset == 0)
        return 0;
    if (offset >= size)
        return ERROR_INVALID_SECURITY_DESCR;
    size_t length = sidLength(data + offset, size - offset);
    if (length == 0)
        return ERROR_INVALID_SID;
    out = Bytes(data + offset, data + offset + length);
    return 0;
}

DWORD parseAcl(const uint8_t *data, size_t size, uint32_t offset, std::optional<Acl> &out)
{
    if (offset == 0)
        return 0;
    if (offset >= size || size - offset < kAclHeaderSize)
        return ERROR_INVALID_SECURITY_DESCR;
    const uint8_t *acl = data + offset;
    uint8_t revision = acl[0];
    uint16_t aclSize = load16(acl + 2);
    uint16_t count = load16(acl + 4);
    if (revision < ACL_REVISION || revision > ACL_REVISION_DS || aclSize < kAclHeaderSize ||
        aclSize > size - offset)
        return ERROR_INVALID_ACL;
    Acl parsed;
    parsed.revision = revision;
    size_t pos = kAclHeaderSize;
    for (uint16_t i = 0; i < count; ++i) {
        if (aclSize - pos < 4)
            return ERROR_INVALID_ACL;
        uint16_t aceSize = load16(acl + pos + 2);
        if (aceSize < 4 || aceSize > aclSize - pos)
            return ERROR_INVALID_ACL;
        parsed.aces.emplace_back(acl + pos, acl + pos + aceSize);
        pos += aceSize;
    }
    out = std::move(parsed);
    return 0;
}

size_t aclLength(const Acl &acl)
{
    size_t length = kAclHeaderSize;
    for (const Bytes &ace : acl.aces)
        length += ace.size();
    return length;
}

void appendAcl(Bytes &out, const Acl &acl)
{
    size_t at = out.size();
    out.resize(at + kAclHeaderSize);
    out[at] = acl.revision;
    out[at + 1] = 0;
    store16(out, at + 2, static_cast<uint16_t>(aclLength(acl)));
    store16(out, at + 4, static_cast<uint16_t>(acl.aces.size()));
    store16(out, at + 6, 0);
    for (const Bytes &ace : acl.aces)
        out.insert(out.end(), ace.begin(), ace.end());
}

}  // namespace

namespace {

// Parses the descriptor whose header is at `at`, with its offsets counted from `base` (the
// header itself, or an enclosing record's start).
DWORD parseDescriptorAt(const uint8_t *data, size_t size, size_t at, size_t base, SecurityDescriptor &out)
{
    if (!data || size < at || size - at < kHeaderSize || data[at] != SECURITY_DESCRIPTOR_REVISION || base > at)
        return ERROR_INVALID_SECURITY_DESCR;
    const uint8_t *header = data + at;
    uint16_t control = load16(header + 2);
    if (!(control & SE_SELF_RELATIVE))
        return ERROR_INVALID_SECURITY_DESCR;
    // The parts lie behind the header, whichever way their offsets are counted.
    auto where = [&](size_t field) -> uint32_t {
        uint32_t offset = load32(header + field);
        if (offset == 0)
            return 0;
        uint64_t absolute = static_cast<uint64_t>(base) + offset;
        return absolute >= at + kHeaderSize && absolute < size ? static_cast<uint32_t>(absolute) : UINT32_MAX;
    };
    SecurityDescriptor sd;
    sd.control = control & ~(SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_SACL_PRESENT);
    if (DWORD e = parseSid(data, size, where(4), sd.owner))
        return e;
    if (DWORD e = parseSid(data, size, where(8), sd.group))
        return e;
    sd.saclPresent = control & SE_SACL_PRESENT;
    if (sd.saclPresent)
        if (DWORD e = parseAcl(data, size, where(12), sd.sacl))
            return e;
    sd.daclPresent = control & SE_DACL_PRESENT;
    if (sd.daclPresent)
        if (DWORD e = parseAcl(data, size, where(16), sd.dacl))
            return e;
    out = std::move(sd);
    return 0;
}

// The self-relative form; in Samba's order (owner, group, SACL, DACL) or in the one Windows
// returns (SACL, DACL, owner, group), with `bias` added to every offset.
Bytes buildDescriptor(const SecurityDescriptor &sd, SECURITY_INFORMATION which, bool sambaOrder, uint32_t bias)
{
    Bytes out(kHeaderSize, 0);
    uint16_t control = SE_SELF_RELATIVE | (sd.control & (SE_OWNER_DEFAULTED | SE_GROUP_DEFAULTED));
    if (!(which & OWNER_SECURITY_INFORMATION))
        control &= ~SE_OWNER_DEFAULTED;
    if (!(which & GROUP_SECURITY_INFORMATION))
        control &= ~SE_GROUP_DEFAULTED;
    out[0] = SECURITY_DESCRIPTOR_REVISION;
    auto place = [&](size_t field) {
        while (out.size() % 4)
            out.push_back(0);
        store32(out, field, static_cast<uint32_t>(out.size()) + bias);
    };
    auto owner = [&] {
        if ((which & OWNER_SECURITY_INFORMATION) && sd.owner) {
            place(4);
            out.insert(out.end(), sd.owner->begin(), sd.owner->end());
        }
    };
    auto group = [&] {
        if ((which & GROUP_SECURITY_INFORMATION) && sd.group) {
            place(8);
            out.insert(out.end(), sd.group->begin(), sd.group->end());
        }
    };
    auto sacl = [&] {
        if ((which & SACL_SECURITY_INFORMATION) && sd.saclPresent) {
            control |= SE_SACL_PRESENT | (sd.control & kSaclControlBits);
            if (sd.sacl) {
                place(12);
                appendAcl(out, *sd.sacl);
            }
        }
    };
    auto dacl = [&] {
        if ((which & DACL_SECURITY_INFORMATION) && sd.daclPresent) {
            control |= SE_DACL_PRESENT | (sd.control & kDaclControlBits);
            if (sd.dacl) {
                place(16);
                appendAcl(out, *sd.dacl);
            }
        }
    };
    if (sambaOrder) {
        owner();
        group();
        sacl();
        dacl();
    } else {
        sacl();
        dacl();
        owner();
        group();
    }
    store16(out, 2, control);
    return out;
}

}  // namespace

DWORD parseSecurityDescriptor(const uint8_t *data, size_t size, SecurityDescriptor &out)
{
    return parseDescriptorAt(data, size, 0, 0, out);
}

Bytes buildSecurityDescriptor(const SecurityDescriptor &sd, SECURITY_INFORMATION which)
{
    return buildDescriptor(sd, which, false, 0);
}

SECURITY_INFORMATION partsPresent(const SecurityDescriptor &sd)
{
    SECURITY_INFORMATION parts = 0;
    if (sd.owner)
        parts |= OWNER_SECURITY_INFORMATION;
    if (sd.group)
        parts |= GROUP_SECURITY_INFORMATION;
    if (sd.daclPresent)
        parts |= DACL_SECURITY_INFORMATION;
    if (sd.saclPresent)
        parts |= SACL_SECURITY_INFORMATION;
    return parts;
}

void mergeSecurityDescriptor(SecurityDescriptor &target, const SecurityDescriptor &source,
                             SECURITY_INFORMATION which)
{
    if (which & OWNER_SECURITY_INFORMATION) {
        target.owner = source.owner;
        target.control = (target.control & ~SE_OWNER_DEFAULTED) | (source.control & SE_OWNER_DEFAULTED);
    }
    if (which & GROUP_SECURITY_INFORMATION) {
        target.group = source.group;
        target.control = (target.control & ~SE_GROUP_DEFAULTED) | (source.control & SE_GROUP_DEFAULTED);
    }
    if (which & DACL_SECURITY_INFORMATION) {
        target.daclPresent = source.daclPresent;
        target.dacl = source.dacl;
        target.control = (target.control & ~kDaclControlBits) | (source.control & kDaclControlBits);
    }
    if (which & SACL_SECURITY_INFORMATION) {
        target.saclPresent = source.saclPresent;
        target.sacl = source.sacl;
        target.control = (target.control & ~kSaclControlBits) | (source.control & kSaclControlBits);
    }
}

Bytes makeSid(uint64_t authority, std::initializer_list<uint32_t> subAuthorities)
{
    Bytes sid(8 + 4 * subAuthorities.size(), 0);
    sid[0] = 1;
    sid[1] = static_cast<uint8_t>(subAuthorities.size());
    for (int i = 0; i < 6; ++i)
        sid[2 + i] = static_cast<uint8_t>(authority >> (8 * (5 - i)));
    size_t at = 8;
    for (uint32_t sub : subAuthorities) {
        store32(sid, at, sub);
        at += 4;
    }
    return sid;
}

bool parseSidString(const std::string &text, Bytes &sid)
{
    if (text.size() < 4 || (text.compare(0, 2, "S-") != 0 && text.compare(0, 2, "s-") != 0))
        return false;
    std::stringstream parts(text.substr(2));
    std::string piece;
    std::vector<uint64_t> numbers;
    while (std::getline(parts, piece, '-')) {
        if (piece.empty() || piece.find_first_not_of("0123456789") != std::string::npos || piece.size() > 15)
            return false;
        numbers.push_back(std::stoull(piece));
    }
    if (numbers.size() < 2 || numbers[0] != 1 || numbers.size() - 2 > 15)
        return false;
    sid.assign(8 + 4 * (numbers.size() - 2), 0);
    sid[0] = 1;
    sid[1] = static_cast<uint8_t>(numbers.size() - 2);
    for (int i = 0; i < 6; ++i)
        sid[2 + i] = static_cast<uint8_t>(numbers[1] >> (8 * (5 - i)));
    for (size_t i = 2; i < numbers.size(); ++i) {
        if (numbers[i] > 0xFFFFFFFFu)
            return false;
        store32(sid, 8 + 4 * (i - 2), static_cast<uint32_t>(numbers[i]));
    }
    return true;
}

std::string sidToString(const Bytes &sid)
{
    if (sidLength(sid.data(), sid.size()) == 0)
        return "";
    uint64_t authority = 0;
    for (int i = 0; i < 6; ++i)
        authority = (authority << 8) | sid[2 + i];
    std::string text = "S-1-" + std::to_string(authority);
    for (size_t i = 0; i < sid[1]; ++i)
        text += "-" + std::to_string(load32(sid.data() + 8 + 4 * i));
    return text;
}

Bytes makeAce(uint8_t type, uint8_t flags, uint32_t mask, const Bytes &sid)
{
    Bytes ace(8, 0);
    ace[0] = type;
    ace[1] = flags;
    store16(ace, 2, static_cast<uint16_t>(8 + sid.size()));
    store32(ace, 4, mask);
    ace.insert(ace.end(), sid.begin(), sid.end());
    return ace;
}

SecurityDescriptor synthesiseSecurityDescriptor(uint32_t uid, uint32_t gid, uint32_t mode)
{
    auto rights = [](uint32_t bits, bool owner) {
        if ((bits & 7) == 7)
            return static_cast<uint32_t>(FILE_ALL_ACCESS);
        uint32_t mask = 0;
        if (bits & 4)
            mask |= FILE_GENERIC_READ;
        if (bits & 2)
            mask |= FILE_GENERIC_WRITE | DELETE;
        if (bits & 1)
            mask |= FILE_GENERIC_EXECUTE;
        if (owner)
            mask |= READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
        return mask;
    };
    SecurityDescriptor sd;
    sd.owner = makeSid(22, {1, uid});
    sd.group = makeSid(22, {2, gid});
    sd.daclPresent = true;
    Acl acl;
    acl.aces.push_back(makeAce(ACCESS_ALLOWED_ACE_TYPE, 0, rights(mode >> 6, true), *sd.owner));
    if (uint32_t m = rights(mode >> 3, false))
        acl.aces.push_back(makeAce(ACCESS_ALLOWED_ACE_TYPE, 0, m, *sd.group));
    if (uint32_t m = rights(mode, false))
        acl.aces.push_back(makeAce(ACCESS_ALLOWED_ACE_TYPE, 0, m, makeSid(1, {0})));
    sd.dacl = std::move(acl);
    return sd;
}

// Samba's NTACL record, as its NDR marshalling lays it out: the version, the union level (the
// same number), the referent of a unique pointer, and for versions 2 to 4 a hash structure whose
// own pointer to the descriptor comes first, the descriptor itself deferred behind it. The
// descriptor's offsets count from the start of the record, not from the descriptor, because the
// descriptor structure sets no base of its own for its relative pointers.
//   1: descriptor at 8
//   2: 16-byte hash; descriptor at 28
//   3: 16-bit hash type, 64-byte hash; descriptor at 80
//   4: as 3, then a NUL-terminated UTF-8 description, a 4-aligned 8-byte time and a 64-byte
//      hash of the POSIX ACLs; descriptor 4-aligned behind them
// Records that this machine wrote before it followed Samba's layout counted the offsets from
// the descriptor; their first part lies right behind the descriptor's header, which a record
// counted from its start cannot place there, so they are told apart and read too.
Bytes encodeNtAcl(const SecurityDescriptor &sd)
{
    constexpr uint32_t kDescriptorAt = 8;
    Bytes out = {1, 0, 1, 0, 0, 0, 2, 0};
    Bytes body = buildDescriptor(sd,
                                 OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                     DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION,
                                 true, kDescriptorAt);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

bool decodeNtAcl(const uint8_t *data, size_t size, SecurityDescriptor &out)
{
    if (!data || size < 8)
        return false;
    const uint16_t version = load16(data);
    if (load16(data + 2) != version || load32(data + 4) == 0)
        return false;
    size_t at = 0;
    switch (version) {
    case 1:
        at = 8;
        break;
    case 2:
        at = 28;
        break;
    case 3:
        at = 80;
        break;
    case 4: {
        size_t end = 78;
        while (end < size && data[end] != 0)
            ++end;
        at = ((end + 1 + 3) & ~size_t{3}) + 8 + 64;
        break;
    }
    default:
        return false;
    }
    // Versions 2 to 4 hold the descriptor through a pointer of their hash structure.
    if (version >= 2 && (size < 12 || load32(data + 8) == 0))
        return false;
    if (size < at + kHeaderSize)
        return false;
    size_t base = 0;
    if (version == 1) {
        uint32_t first = UINT32_MAX;
        for (size_t field = 4; field <= 16; field += 4)
            if (uint32_t offset = load32(data + at + field))
                first = std::min(first, offset);
        if (first < at + kHeaderSize)
            base = at;
    }
    return parseDescriptorAt(data, size, at, base, out) == 0;
}

}  // namespace winsim
