// Tokens, privileges and file security: the size protocols and the privilege rules that the
// backup natives rely on.
#include "../framework/support.h"

#include <vector>

using namespace conformance;

CHECK(security, token_information_tells_its_size_first)
{
    HANDLE raw = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw));
    OwnedHandle token(raw);
    DWORD needed = 0;
    EXPECT_FAILS_WITH(GetTokenInformation(token.get(), TokenUser, nullptr, 0, &needed), FALSE,
                      ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(needed >= sizeof(TOKEN_USER));
    std::vector<BYTE> buffer(needed);
    DWORD written = 0;
    ASSERT_TRUE(GetTokenInformation(token.get(), TokenUser, buffer.data(), needed, &written));
    EXPECT_EQ(written, needed);
    auto *user = reinterpret_cast<TOKEN_USER *>(buffer.data());
    EXPECT_TRUE(IsValidSid(user->User.Sid));
    EXPECT_TRUE(GetLengthSid(user->User.Sid) >= 12);
}

CHECK(security, privileges_have_their_well_known_numbers)
{
    LUID luid{};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &luid));
    EXPECT_EQ(luid.LowPart, 17u);
    EXPECT_EQ(luid.HighPart, 0);
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &luid));
    EXPECT_EQ(luid.LowPart, 18u);
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_SECURITY_NAME, &luid));
    EXPECT_EQ(luid.LowPart, 8u);
    EXPECT_FAILS_WITH(LookupPrivilegeValueW(nullptr, TEXT("SeNoSuchPrivilege"), &luid), FALSE,
                      ERROR_NO_SUCH_PRIVILEGE);
}

CHECK(security, enabling_a_held_privilege_clears_the_last_error)
{
    HANDLE raw = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw));
    OwnedHandle token(raw);
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &privileges.Privileges[0].Luid));
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    SetLastError(0xDEADBEEF);
    EXPECT_TRUE(AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr));
    // Success with some not assigned is told only by the last error.
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
}

CHECK(security, file_security_tells_its_size_then_gives_a_self_relative_descriptor)
{
    const WString file = check.path(TEXT("secured.txt"));
    ASSERT_TRUE(writeFile(file, "x"));
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                        DACL_SECURITY_INFORMATION;
    DWORD needed = 0;
    EXPECT_FAILS_WITH(GetFileSecurityW(file.c_str(), wanted, nullptr, 0, &needed), FALSE, ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(needed >= 20);
    std::vector<BYTE> descriptor(needed);
    DWORD again = 0;
    ASSERT_TRUE(GetFileSecurityW(file.c_str(), wanted, descriptor.data(), needed, &again));
    EXPECT_EQ(descriptor[0], 1);  // revision
    const WORD control = static_cast<WORD>(descriptor[2] | (descriptor[3] << 8));
    EXPECT_EQ(control & SE_SELF_RELATIVE, SE_SELF_RELATIVE);
    EXPECT_EQ(control & SE_DACL_PRESENT, SE_DACL_PRESENT);
    DWORD ownerOffset = descriptor[4] | (descriptor[5] << 8) | (descriptor[6] << 16) | (descriptor[7] << 24);
    EXPECT_TRUE(ownerOffset >= 20 && ownerOffset < needed);

    EXPECT_FAILS_WITH(GetFileSecurityW(check.path(TEXT("missing.txt")).c_str(), wanted, descriptor.data(), needed,
                                       &again),
                      FALSE, ERROR_FILE_NOT_FOUND);
}
