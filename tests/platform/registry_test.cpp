// The registry functions of the stand-in: predefined keys, case-insensitive names, the
// buffer-size protocol, rights, and the hive files shared by the machine's processes.
#include "machine/java_runtime.h"
#include "machine/machine.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>

using namespace winsim;

namespace {

class Registry : public testing::Test {
protected:
    void TearDown() override { setMachineSetting(machineRoot(), "administrator", "yes"); }
};

TEST_F(Registry, PredefinedKeysAreSignExtended)
{
    EXPECT_EQ(reinterpret_cast<uintptr_t>(HKEY_LOCAL_MACHINE), 0xFFFFFFFF80000002ull);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT), 0xFFFFFFFF80000000ull);
}

TEST_F(Registry, CreateOpenAndQueryIgnoreCase)
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Unit\\Case", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    const char text[] = "caf\xC3\xA9";
    ASSERT_EQ(RegSetValueExA(key, "Name", 0, REG_SZ, reinterpret_cast<const BYTE *>(text), sizeof text), ERROR_SUCCESS);
    DWORD number = 0x1F;
    ASSERT_EQ(RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number), sizeof number),
              ERROR_SUCCESS);
    RegCloseKey(key);

    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\UNIT\\case", 0, nullptr, 0, KEY_READ, nullptr, &key,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(key);

    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\unit", 0, KEY_READ, &key), ERROR_SUCCESS);
    HKEY child = nullptr;
    ASSERT_EQ(RegOpenKeyExA(key, "CASE", 0, KEY_READ, &child), ERROR_SUCCESS);
    RegCloseKey(key);

    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExA(child, "NAME", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, sizeof text);
    char buffer[16] = {};
    DWORD small = size - 1;
    EXPECT_EQ(RegQueryValueExA(child, "name", nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &small),
              ERROR_MORE_DATA);
    EXPECT_EQ(small, size);
    ASSERT_EQ(RegQueryValueExA(child, "name", nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size), ERROR_SUCCESS);
    EXPECT_STREQ(buffer, text);
    DWORD read = 0;
    size = sizeof read;
    ASSERT_EQ(RegQueryValueExA(child, "number", nullptr, &type, reinterpret_cast<LPBYTE>(&read), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(read, 0x1Fu);
    EXPECT_EQ(RegQueryValueExA(child, "missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    // The key was opened for reading only.
    EXPECT_EQ(RegSetValueExA(child, "x", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&read), sizeof read),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(child), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Unit\\Nothing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\\\Unit", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "NewHive", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
}

TEST_F(Registry, MachineKeysNeedAdministrativeRights)
{
    setMachineSetting(machineRoot(), "administrator", "no");
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Unit", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Unit", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    // Reading stays allowed.
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\JavaSoft\\Java Runtime Environment", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// A new machine registers its Java runtime as an installer would, in the SOFTWARE hive file
// under C:\Windows\System32\config, and another process sees the registry this one writes.
TEST_F(Registry, MachineHivesAreSharedFiles)
{
    struct stat st;
    EXPECT_EQ(stat((machineRoot() + "/drive_c/Windows/System32/config/SOFTWARE").c_str(), &st), 0);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\JavaSoft\\Java Runtime Environment\\1.8", 0, KEY_READ,
                            &key),
              ERROR_SUCCESS);
    char home[MAX_PATH];
    DWORD size = sizeof home;
    ASSERT_EQ(RegQueryValueExA(key, "JavaHome", nullptr, nullptr, reinterpret_cast<LPBYTE>(home), &size),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_STREQ(home, kJavaHome);
    EXPECT_NE(GetFileAttributesA((std::string(home) + "\\bin\\server\\jvm.dll").c_str()), INVALID_FILE_ATTRIBUTES);

    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const char value[] = "from the test";
    RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE *>(value), sizeof value);
    RegCloseKey(key);
    std::string command = std::string(WINSIM_TOOL) + " reg query 'HKLM\\system\\shared' text";
    FILE *tool = popen(command.c_str(), "r");
    ASSERT_NE(tool, nullptr);
    char line[64] = {};
    ASSERT_NE(fgets(line, sizeof line, tool), nullptr);
    pclose(tool);
    EXPECT_STREQ(line, "from the test\n");
}

}  // namespace
