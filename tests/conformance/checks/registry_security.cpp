// The registry's key security and hive files: RegGetKeySecurity/RegSetKeySecurity,
// RegSaveKeyW, RegLoadKeyW and RegUnLoadKeyW with the privileges they need.
#include "../framework/support.h"

#include <vector>

using namespace conformance;

namespace {

bool createKey(HKEY root, const WString &path, OwnedKey &key, REGSAM access = KEY_ALL_ACCESS)
{
    return RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, key.out(),
                           nullptr) == ERROR_SUCCESS;
}

constexpr SECURITY_INFORMATION kOwnerGroupDacl =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

}  // namespace

CHECK(registry_security, key_security_tells_its_size_and_round_trips)
{
    OwnedKey key;
    ASSERT_TRUE(createKey(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\ConformanceSecurity\\Round"), key,
                          KEY_READ | WRITE_DAC | WRITE_OWNER));
    DWORD size = 0;
    EXPECT_EQ(RegGetKeySecurity(key.get(), kOwnerGroupDacl, nullptr, &size), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(size >= 20);
    std::vector<BYTE> descriptor(size);
    DWORD small = 8;
    EXPECT_EQ(RegGetKeySecurity(key.get(), kOwnerGroupDacl, descriptor.data(), &small), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(small, size);
    ASSERT_EQ(RegGetKeySecurity(key.get(), kOwnerGroupDacl, descriptor.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(descriptor[0], 1);
    const WORD control = static_cast<WORD>(descriptor[2] | (descriptor[3] << 8));
    EXPECT_EQ(control & SE_SELF_RELATIVE, SE_SELF_RELATIVE);
    EXPECT_EQ(control & SE_DACL_PRESENT, SE_DACL_PRESENT);
    EXPECT_EQ(RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor.data()), ERROR_SUCCESS);
}

CHECK(registry_security, key_security_needs_read_control)
{
    OwnedKey created;
    ASSERT_TRUE(createKey(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\ConformanceSecurity\\Denied"), created));
    OwnedKey valuesOnly;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\ConformanceSecurity\\Denied"), 0, KEY_QUERY_VALUE,
                            valuesOnly.out()),
              ERROR_SUCCESS);
    BYTE descriptor[512];
    DWORD size = sizeof descriptor;
    EXPECT_EQ(RegGetKeySecurity(valuesOnly.get(), kOwnerGroupDacl, descriptor, &size), ERROR_ACCESS_DENIED);
}

CHECK(registry_security, a_saved_key_loads_as_a_hive_and_unloads_once_no_key_of_it_is_open)
{
    ASSERT_TRUE(enablePrivilege(SE_BACKUP_NAME));
    ASSERT_TRUE(enablePrivilege(SE_RESTORE_NAME));
    OwnedKey source;
    ASSERT_TRUE(createKey(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\ConformanceSecurity\\Saved"), source));
    const DWORD number = 42;
    ASSERT_EQ(RegSetValueExW(source.get(), TEXT("Answer"), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number),
                             sizeof number),
              ERROR_SUCCESS);
    OwnedKey inner;
    ASSERT_TRUE(createKey(source.get(), TEXT("Inner"), inner));

    const WString file = check.path(TEXT("saved.hive"));
    ASSERT_EQ(RegSaveKeyW(source.get(), file.c_str(), nullptr), ERROR_SUCCESS);

    ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, TEXT("ConformanceLoaded"), file.c_str()), ERROR_SUCCESS);
    {
        OwnedKey loaded;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("ConformanceLoaded"), 0, KEY_READ, loaded.out()),
                  ERROR_SUCCESS);
        DWORD read = 0;
        DWORD size = sizeof read;
        EXPECT_EQ(RegQueryValueExW(loaded.get(), TEXT("Answer"), nullptr, nullptr, reinterpret_cast<LPBYTE>(&read),
                                   &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(read, number);
        OwnedKey loadedInner;
        EXPECT_EQ(RegOpenKeyExW(loaded.get(), TEXT("Inner"), 0, KEY_READ, loadedInner.out()), ERROR_SUCCESS);
        EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, TEXT("ConformanceLoaded")), ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, TEXT("ConformanceLoaded")), ERROR_SUCCESS);
    OwnedKey gone;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("ConformanceLoaded"), 0, KEY_READ, gone.out()),
              ERROR_FILE_NOT_FOUND);
}

CHECK(registry_security, a_key_is_not_saved_over_an_existing_file)
{
    ASSERT_TRUE(enablePrivilege(SE_BACKUP_NAME));
    OwnedKey source;
    ASSERT_TRUE(createKey(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\ConformanceSecurity\\Twice"), source));
    const WString file = check.path(TEXT("twice.hive"));
    ASSERT_EQ(RegSaveKeyW(source.get(), file.c_str(), nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegSaveKeyW(source.get(), file.c_str(), nullptr), ERROR_ALREADY_EXISTS);
}

CHECK(registry_security, loading_a_hive_needs_the_restore_privilege)
{
    ASSERT_TRUE(enablePrivilege(SE_BACKUP_NAME));
    OwnedKey source;
    ASSERT_TRUE(createKey(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\ConformanceSecurity\\Unprivileged"), source));
    const WString file = check.path(TEXT("unprivileged.hive"));
    ASSERT_EQ(RegSaveKeyW(source.get(), file.c_str(), nullptr), ERROR_SUCCESS);

    // The restore privilege disabled for the load, enabled again afterwards.
    HANDLE raw = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw));
    OwnedHandle token(raw);
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &privileges.Privileges[0].Luid));
    privileges.Privileges[0].Attributes = 0;
    ASSERT_TRUE(AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr));
    const LONG loaded = RegLoadKeyW(HKEY_LOCAL_MACHINE, TEXT("ConformanceUnprivileged"), file.c_str());
    EXPECT_TRUE(enablePrivilege(SE_RESTORE_NAME));
    EXPECT_EQ(loaded, ERROR_PRIVILEGE_NOT_HELD);
    if (loaded == ERROR_SUCCESS)
        RegUnLoadKeyW(HKEY_LOCAL_MACHINE, TEXT("ConformanceUnprivileged"));
}
