#include "machine/security_descriptor.h"

#include <winerror.h>

#include <cstring>
#include <sstream>

namespace winsim {

namespace {

constexpr size_t kHeaderSize = 20;
constexpr size_t kAclHeaderSize = 8;
constexpr uint16_t kDaclControlBits = SE_DACL_DEFAULTED | SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED;
constexpr uint16_t kSaclControlBits = SE_SACL_DEFAULTED | SE_SACL_AUTO_INHERITED | SE_SACL_PROTECTED;

uint16_t get16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t get32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void put16(Bytes &out, size_t at, uint16_t v)
{
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(Bytes &out, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

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
    uint16_t aclSize = get16(acl + 2);
    uint16_t count = get16(acl + 4);
    if (revision < ACL_REVISION || revision > ACL_REVISION_DS || aclSize < kAclHeaderSize ||
        aclSize > size - offset)
        return ERROR_INVALID_ACL;
    Acl parsed;
    parsed.revision = revision;
    size_t pos = kAclHeaderSize;
    for (uint16_t i = 0; i < count; ++i) {
        if (aclSize - pos < 4)
            return ERROR_INVALID_ACL;
        uint16_t aceSize = get16(acl + pos + 2);
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
    put16(out, at + 2, static_cast<uint16_t>(aclLength(acl)));
    put16(out, at + 4, static_cast<uint16_t>(acl.aces.size()));
    put16(out, at + 6, 0);
    for (const Bytes &ace : acl.aces)
        out.insert(out.end(), ace.begin(), ace.end());
}

}  // namespace

DWORD parseSecurityDescriptor(const uint8_t *data, size_t size, SecurityDescriptor &out)
{
    if (!data || size < kHeaderSize || data[0] != SECURITY_DESCRIPTOR_REVISION)
        return ERROR_INVALID_SECURITY_DESCR;
    uint16_t control = get16(data + 2);
    if (!(control & SE_SELF_RELATIVE))
        return ERROR_INVALID_SECURITY_DESCR;
    SecurityDescriptor sd;
    sd.control = control & ~(SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_SACL_PRESENT);
    if (DWORD e = parseSid(data, size, get32(data + 4), sd.owner))
        return e;
    if (DWORD e = parseSid(data, size, get32(data + 8), sd.group))
        return e;
    sd.saclPresent = control & SE_SACL_PRESENT;
    if (sd.saclPresent)
        if (DWORD e = parseAcl(data, size, get32(data + 12), sd.sacl))
            return e;
    sd.daclPresent = control & SE_DACL_PRESENT;
    if (sd.daclPresent)
        if (DWORD e = parseAcl(data, size, get32(data + 16), sd.dacl))
            return e;
    out = std::move(sd);
    return 0;
}

Bytes buildSecurityDescriptor(const SecurityDescriptor &sd, SECURITY_INFORMATION which)
{
    Bytes out(kHeaderSize, 0);
    uint16_t control = SE_SELF_RELATIVE | (sd.control & (SE_OWNER_DEFAULTED | SE_GROUP_DEFAULTED));
    if (!(which & OWNER_SECURITY_INFORMATION))
        control &= ~SE_OWNER_DEFAULTED;
    if (!(which & GROUP_SECURITY_INFORMATION))
        control &= ~SE_GROUP_DEFAULTED;
    out[0] = SECURITY_DESCRIPTOR_REVISION;
    if ((which & SACL_SECURITY_INFORMATION) && sd.saclPresent) {
        control |= SE_SACL_PRESENT | (sd.control & kSaclControlBits);
        if (sd.sacl) {
            put32(out, 12, static_cast<uint32_t>(out.size()));
            appendAcl(out, *sd.sacl);
        }
    }
    if ((which & DACL_SECURITY_INFORMATION) && sd.daclPresent) {
        control |= SE_DACL_PRESENT | (sd.control & kDaclControlBits);
        if (sd.dacl) {
            put32(out, 16, static_cast<uint32_t>(out.size()));
            appendAcl(out, *sd.dacl);
        }
    }
    if ((which & OWNER_SECURITY_INFORMATION) && sd.owner) {
        put32(out, 4, static_cast<uint32_t>(out.size()));
        out.insert(out.end(), sd.owner->begin(), sd.owner->end());
    }
    if ((which & GROUP_SECURITY_INFORMATION) && sd.group) {
        put32(out, 8, static_cast<uint32_t>(out.size()));
        out.insert(out.end(), sd.group->begin(), sd.group->end());
    }
    put16(out, 2, control);
    return out;
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
        put32(sid, at, sub);
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
        put32(sid, 8 + 4 * (i - 2), static_cast<uint32_t>(numbers[i]));
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
        text += "-" + std::to_string(get32(sid.data() + 8 + 4 * i));
    return text;
}

Bytes makeAce(uint8_t type, uint8_t flags, uint32_t mask, const Bytes &sid)
{
    Bytes ace(8, 0);
    ace[0] = type;
    ace[1] = flags;
    put16(ace, 2, static_cast<uint16_t>(8 + sid.size()));
    put32(ace, 4, mask);
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

Bytes encodeNtAcl(const SecurityDescriptor &sd)
{
    // version 1, union level 1, then a unique pointer's referent id and the descriptor.
    Bytes out = {1, 0, 1, 0, 0, 0, 2, 0};
    Bytes body = buildSecurityDescriptor(sd, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                 DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

bool decodeNtAcl(const uint8_t *data, size_t size, SecurityDescriptor &out)
{
    if (size < 8 + kHeaderSize || get16(data) != 1 || get16(data + 2) != 1 || get32(data + 4) == 0)
        return false;
    return parseSecurityDescriptor(data + 8, size - 8, out) == 0;
}

}  // namespace winsim
