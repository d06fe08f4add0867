// Security descriptors: the self-relative form, synthesis from POSIX modes, Samba's NTACL.
#include "machine/security_descriptor.h"

#include <winerror.h>

#include <gtest/gtest.h>

using namespace winsim;

namespace {

SecurityDescriptor sample()
{
    SecurityDescriptor sd;
    sd.owner = makeSid(5, {32, 544});
    sd.group = makeSid(5, {18});
    sd.daclPresent = true;
    Acl acl;
    acl.aces.push_back(makeAce(ACCESS_DENIED_ACE_TYPE, 0, WRITE_DAC, makeSid(1, {0})));
    acl.aces.push_back(makeAce(ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE, FILE_ALL_ACCESS, *sd.owner));
    sd.dacl = acl;
    sd.control = SE_DACL_PROTECTED;
    return sd;
}

const SECURITY_INFORMATION kAll =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

}  // namespace

TEST(SecurityDescriptor, BuildAndParseRoundTrip)
{
    Bytes built = buildSecurityDescriptor(sample(), kAll);
    SecurityDescriptor parsed;
    ASSERT_EQ(parseSecurityDescriptor(built.data(), built.size(), parsed), 0u);
    EXPECT_EQ(buildSecurityDescriptor(parsed, kAll), built);
    EXPECT_EQ(sidToString(*parsed.owner), "S-1-5-32-544");
    EXPECT_EQ(parsed.dacl->aces.size(), 2u);
    EXPECT_EQ(parsed.control & SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

TEST(SecurityDescriptor, OnlyTheRequestedPartsAreBuilt)
{
    Bytes ownerOnly = buildSecurityDescriptor(sample(), OWNER_SECURITY_INFORMATION);
    SecurityDescriptor parsed;
    ASSERT_EQ(parseSecurityDescriptor(ownerOnly.data(), ownerOnly.size(), parsed), 0u);
    EXPECT_TRUE(parsed.owner.has_value());
    EXPECT_FALSE(parsed.group.has_value());
    EXPECT_FALSE(parsed.daclPresent);
    EXPECT_EQ(ownerOnly[2] | (ownerOnly[3] << 8), SE_SELF_RELATIVE);
}

TEST(SecurityDescriptor, MalformedDescriptorsAreRefused)
{
    Bytes good = buildSecurityDescriptor(sample(), kAll);
    SecurityDescriptor parsed;
    EXPECT_EQ(parseSecurityDescriptor(good.data(), 19, parsed), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));

    Bytes absolute = good;
    absolute[3] &= 0x7F;  // not self-relative
    EXPECT_EQ(parseSecurityDescriptor(absolute.data(), absolute.size(), parsed),
              static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));

    Bytes ownerOutside = good;
    ownerOutside[4] = 0xF0;
    ownerOutside[5] = 0xFF;
    EXPECT_EQ(parseSecurityDescriptor(ownerOutside.data(), ownerOutside.size(), parsed),
              static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));

    Bytes aclTooLong = good;
    aclTooLong[20 + 2] = 0xFF;  // DACL size beyond the buffer
    EXPECT_EQ(parseSecurityDescriptor(aclTooLong.data(), aclTooLong.size(), parsed), static_cast<DWORD>(ERROR_INVALID_ACL));

    Bytes aceOverrun = good;
    aceOverrun[20 + 8 + 2] = 0xF0;  // first ACE claims more than the ACL holds
    EXPECT_EQ(parseSecurityDescriptor(aceOverrun.data(), aceOverrun.size(), parsed), static_cast<DWORD>(ERROR_INVALID_ACL));

    Bytes badSid = good;
    size_t owner = badSid[4] | (badSid[5] << 8);
    badSid[owner + 1] = 200;  // sub-authority count
    EXPECT_EQ(parseSecurityDescriptor(badSid.data(), badSid.size(), parsed), static_cast<DWORD>(ERROR_INVALID_SID));
}

TEST(SecurityDescriptor, SynthesisedFromOwnerGroupAndMode)
{
    SecurityDescriptor sd = synthesiseSecurityDescriptor(1000, 100, 0640);
    EXPECT_EQ(sidToString(*sd.owner), "S-1-22-1-1000");
    EXPECT_EQ(sidToString(*sd.group), "S-1-22-2-100");
    ASSERT_TRUE(sd.daclPresent && sd.dacl);
    ASSERT_EQ(sd.dacl->aces.size(), 2u) << "no ACE for Everyone without other bits";
    uint32_t groupMask = sd.dacl->aces[1][4] | (sd.dacl->aces[1][5] << 8) | (sd.dacl->aces[1][6] << 16);
    EXPECT_EQ(groupMask, static_cast<uint32_t>(FILE_GENERIC_READ));
    SecurityDescriptor open = synthesiseSecurityDescriptor(0, 0, 0777);
    EXPECT_EQ(open.dacl->aces.size(), 3u);
}

TEST(SecurityDescriptor, MergeReplacesOnlyTheNamedParts)
{
    SecurityDescriptor target = synthesiseSecurityDescriptor(1, 2, 0600);
    SecurityDescriptor source = sample();
    mergeSecurityDescriptor(target, source, DACL_SECURITY_INFORMATION);
    EXPECT_EQ(sidToString(*target.owner), "S-1-22-1-1");
    EXPECT_EQ(target.dacl->aces, source.dacl->aces);
    EXPECT_EQ(target.control & SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

// Records as Samba's own marshalling code packs them (python3-samba, ndr_pack of xattr.NTACL) for
// O:BAG:SYD:P(A;;0x1f01ff;;;SY)S:(AU;SA;0x10000;;;WD): the descriptor's offsets count from the
// record's start, the parts lie owner, group, SACL, DACL. tests/samba checks against Samba itself.
namespace {

Bytes fromHex(const std::string &hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

const std::string kDescriptorParts =
    "0102000000000005200000002002000001010000000000051200000004001c0001000000024014000000010001010000000000010000"
    "000004001c000100000000001400ff011f00010100000000000512000000";
const std::string kSambaVersionOne =
    "0100010000000200010014901c0000002c0000003800000054000000" +
    kDescriptorParts;
const std::string kSambaVersionTwo =
    "020002000000020004000200111111111111111111111111111111110100149030000000400000004c00000068000000" +
    kDescriptorParts;
const std::string kSambaVersionThree =
    "030003000000020004000200010011111111111111111111111111111111111111111111111111111111111111111111111111111111"
    "1111111111111111111111111111111111111111111111110000010014906400000074000000800000009c000000" +
    kDescriptorParts;
const std::string kSambaVersionFour =
    "040004000000020004000200010011111111111111111111111111111111111111111111111111111111111111111111111111111111"
    "111111111111111111111111111111111111111111111111706f7369785f61636c00000000000000d901222222222222222222222222"
    "222222222222222222222222222222222222222222222222222222222222222222222222222222222222222222222222222222220100"
    "1490b4000000c4000000d0000000ec000000" +
    kDescriptorParts;

void expectSambaSample(const SecurityDescriptor &sd)
{
    ASSERT_TRUE(sd.owner && sd.group && sd.dacl && sd.sacl);
    EXPECT_EQ(sidToString(*sd.owner), "S-1-5-32-544");
    EXPECT_EQ(sidToString(*sd.group), "S-1-5-18");
    ASSERT_EQ(sd.dacl->aces.size(), 1u);
    EXPECT_EQ(sd.dacl->aces[0], makeAce(ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, makeSid(5, {18})));
    ASSERT_EQ(sd.sacl->aces.size(), 1u);
    EXPECT_EQ(sd.sacl->aces[0][0], SYSTEM_AUDIT_ACE_TYPE);
    EXPECT_EQ(sd.control & SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

}  // namespace

TEST(SecurityDescriptor, NtAclIsWrittenInSambasLayout)
{
    Bytes samba = fromHex(kSambaVersionOne);
    SecurityDescriptor sd;
    ASSERT_TRUE(decodeNtAcl(samba.data(), samba.size(), sd));
    EXPECT_EQ(encodeNtAcl(sd), samba);
}

TEST(SecurityDescriptor, NtAclOfEveryVersionSambaWritesIsRead)
{
    for (const std::string &hex : {kSambaVersionOne, kSambaVersionTwo, kSambaVersionThree, kSambaVersionFour}) {
        Bytes blob = fromHex(hex);
        SecurityDescriptor sd;
        ASSERT_TRUE(decodeNtAcl(blob.data(), blob.size(), sd)) << hex.substr(0, 8);
        expectSambaSample(sd);
        // Any record cut short is refused, never read beyond its end.
        for (size_t size = 0; size < blob.size(); size += 3) {
            Bytes cut(blob.begin(), blob.begin() + static_cast<long>(size));
            EXPECT_FALSE(decodeNtAcl(cut.data(), cut.size(), sd)) << size;
        }
    }
    Bytes unknown = fromHex(kSambaVersionOne);
    unknown[0] = unknown[2] = 5;
    SecurityDescriptor sd;
    EXPECT_FALSE(decodeNtAcl(unknown.data(), unknown.size(), sd));
    Bytes noDescriptor = fromHex(kSambaVersionTwo);
    noDescriptor[8] = noDescriptor[9] = noDescriptor[10] = noDescriptor[11] = 0;
    EXPECT_FALSE(decodeNtAcl(noDescriptor.data(), noDescriptor.size(), sd));
}

// Records that this machine wrote before it followed Samba's layout counted the offsets from the
// descriptor, with the parts SACL, DACL, owner, group: they are still read.
TEST(SecurityDescriptor, NtAclOfTheEarlierLayoutIsStillRead)
{
    SecurityDescriptor original = sample();
    Bytes earlier = {1, 0, 1, 0, 0, 0, 2, 0};
    Bytes body = buildSecurityDescriptor(original, kAll);
    earlier.insert(earlier.end(), body.begin(), body.end());
    SecurityDescriptor decoded;
    ASSERT_TRUE(decodeNtAcl(earlier.data(), earlier.size(), decoded));
    EXPECT_EQ(buildSecurityDescriptor(decoded, kAll), body);
    Bytes rewritten = encodeNtAcl(decoded);
    EXPECT_NE(rewritten, earlier);
    ASSERT_TRUE(decodeNtAcl(rewritten.data(), rewritten.size(), decoded));
    EXPECT_EQ(buildSecurityDescriptor(decoded, kAll), body);
}

TEST(SecurityDescriptor, SidStrings)
{
    Bytes sid;
    ASSERT_TRUE(parseSidString("S-1-5-21-1-2-3-1001", sid));
    EXPECT_EQ(sidToString(sid), "S-1-5-21-1-2-3-1001");
    EXPECT_FALSE(parseSidString("S-1", sid));
    EXPECT_FALSE(parseSidString("S-1-5-x", sid));
    EXPECT_FALSE(parseSidString("S-1-5-99999999999", sid));
}
