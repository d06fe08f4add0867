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

TEST(SecurityDescriptor, NtAclVersionOneLayout)
{
    Bytes blob = encodeNtAcl(sample());
    ASSERT_GT(blob.size(), 8u);
    EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 8), (Bytes{1, 0, 1, 0, 0, 0, 2, 0}));
    SecurityDescriptor decoded;
    ASSERT_TRUE(decodeNtAcl(blob.data(), blob.size(), decoded));
    EXPECT_EQ(buildSecurityDescriptor(decoded, kAll), buildSecurityDescriptor(sample(), kAll));
    blob[0] = 4;
    EXPECT_FALSE(decodeNtAcl(blob.data(), blob.size(), decoded));
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
