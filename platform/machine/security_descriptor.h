// Security descriptors as the file system of the emulated machine keeps them: parsed from and
// built into the self-relative form, synthesised from POSIX ownership and mode, and stored in
// the NTACL extended attribute in the layout Samba uses.
#pragma once

#include <windef.h>
#include <winnt.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winsim {

using Bytes = std::vector<uint8_t>;

struct Acl {
    uint8_t revision = ACL_REVISION;
    std::vector<Bytes> aces;  // each ACE as stored, header included
};

struct SecurityDescriptor {
    // Control bits other than SE_SELF_RELATIVE and the two "present" bits.
    uint16_t control = 0;
    std::optional<Bytes> owner;
    std::optional<Bytes> group;
    bool daclPresent = false;
    std::optional<Acl> dacl;  // present without an ACL is a null DACL
    bool saclPresent = false;
    std::optional<Acl> sacl;
};

// Parses a self-relative descriptor. Returns 0 or ERROR_INVALID_SECURITY_DESCR, ERROR_INVALID_SID,
// ERROR_INVALID_ACL.
DWORD parseSecurityDescriptor(const uint8_t *data, size_t size, SecurityDescriptor &out);

// The self-relative form holding the parts that `which` names (OWNER_, GROUP_, DACL_,
// SACL_SECURITY_INFORMATION).
Bytes buildSecurityDescriptor(const SecurityDescriptor &sd, SECURITY_INFORMATION which);

// Which parts a descriptor carries.
SECURITY_INFORMATION partsPresent(const SecurityDescriptor &sd);

// Replaces the parts of target that `which` names by those of source.
void mergeSecurityDescriptor(SecurityDescriptor &target, const SecurityDescriptor &source,
                             SECURITY_INFORMATION which);

// The descriptor of a file that has none stored: owner and group are the POSIX ones in Samba's
// Unix user and group SIDs (S-1-22-1-uid, S-1-22-2-gid), the DACL grants what the mode bits grant
// to owner, group and Everyone.
SecurityDescriptor synthesiseSecurityDescriptor(uint32_t uid, uint32_t gid, uint32_t mode);

Bytes makeSid(uint64_t authority, std::initializer_list<uint32_t> subAuthorities);
bool parseSidString(const std::string &text, Bytes &sid);
std::string sidToString(const Bytes &sid);
Bytes makeAce(uint8_t type, uint8_t flags, uint32_t mask, const Bytes &sid);

// Samba's NTACL extended attribute: version 1 written (the descriptor alone), versions 1 to 4
// read (the later ones carry hashes, which are not checked), and the records of this machine's
// earlier layout too.
Bytes encodeNtAcl(const SecurityDescriptor &sd);
bool decodeNtAcl(const uint8_t *data, size_t size, SecurityDescriptor &out);

}  // namespace winsim
