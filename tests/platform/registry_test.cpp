// The registry functions of the stand-in: predefined keys, case-insensitive names, the
// buffer-size protocol, rights, and the hive files shared by the machine's processes.
#include "advapi32/token.h"
#include "machine/java_runtime.h"
#include "machine/machine.h"
#include "machine/security_descriptor.h"
#include "machine/text.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

namespace {

std::u16string wide(const std::string &text)
{
    return winsim::toUtf16(text);
}

HKEY createKey(HKEY root, const std::u16string &path, REGSAM access = KEY_ALL_ACCESS, DWORD *disposition = nullptr)
{
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, access, nullptr, &key, disposition), ERROR_SUCCESS);
    return key;
}

std::vector<uint8_t> rawValue(HKEY key, const char16_t *name, DWORD &type)
{
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    std::vector<uint8_t> data(size);
    EXPECT_EQ(RegQueryValueExW(key, name, nullptr, &type, data.data(), &size), ERROR_SUCCESS);
    data.resize(size);
    return data;
}

std::vector<std::u16string> subkeyNames(HKEY key)
{
    std::vector<std::u16string> names;
    WCHAR name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        LONG error = RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_NO_MORE_ITEMS)
            break;
        EXPECT_EQ(error, ERROR_SUCCESS);
        if (error)
            break;
        names.emplace_back(name, length);
    }
    return names;
}

std::vector<std::u16string> valueNames(HKEY key)
{
    std::vector<std::u16string> names;
    std::vector<WCHAR> name(16384);
    for (DWORD i = 0;; ++i) {
        DWORD length = static_cast<DWORD>(name.size());
        LONG error = RegEnumValueW(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_NO_MORE_ITEMS)
            break;
        EXPECT_EQ(error, ERROR_SUCCESS);
        if (error)
            break;
        names.emplace_back(name.data(), length);
    }
    return names;
}

std::string toolOutput(const std::string &arguments)
{
    std::string command = std::string(WINSIM_TOOL) + " " + arguments + " 2>&1";
    FILE *tool = popen(command.c_str(), "r");
    std::string output;
    char buffer[256];
    while (tool && fgets(buffer, sizeof buffer, tool))
        output += buffer;
    if (tool)
        pclose(tool);
    return output;
}

// Data of any type and size is stored and returned byte for byte, with Windows' size protocol.
TEST_F(Registry, WideValuesAreKeptByteForByte)
{
    HKEY key = createKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Unit\\Bytes");
    const uint8_t oddString[] = {'a', 0, 'b'};
    const uint8_t shortNumber[] = {0x34, 0x12};
    const uint8_t qword[] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(RegSetValueExW(key, u"Odd", 0, REG_SZ, oddString, sizeof oddString), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"Short", 0, REG_DWORD, shortNumber, sizeof shortNumber), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"Q", 0, REG_QWORD, qword, sizeof qword), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"None", 0, REG_NONE, nullptr, 0), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"Custom", 0, 0x12345, qword, 3), ERROR_SUCCESS);

    DWORD type = 0;
    EXPECT_EQ(rawValue(key, u"odd", type), std::vector<uint8_t>(oddString, oddString + 3));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(rawValue(key, u"SHORT", type), std::vector<uint8_t>(shortNumber, shortNumber + 2));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(rawValue(key, u"Q", type), std::vector<uint8_t>(qword, qword + 8));
    EXPECT_TRUE(rawValue(key, u"None", type).empty());
    EXPECT_EQ(type, static_cast<DWORD>(REG_NONE));
    EXPECT_EQ(rawValue(key, u"Custom", type).size(), 3u);
    EXPECT_EQ(type, 0x12345u);

    // Too small a buffer: ERROR_MORE_DATA, the size needed, the buffer untouched.
    uint8_t buffer[8];
    memset(buffer, 0xCC, sizeof buffer);
    DWORD size = 7;
    EXPECT_EQ(RegQueryValueExW(key, u"Q", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(buffer[0], 0xCC);
    // Asking for the size of a missing value answers 0.
    size = 99;
    EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(RegQueryValueExW(key, u"Q", nullptr, &type, buffer, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key, u"x", 1, REG_SZ, buffer, 2), ERROR_INVALID_PARAMETER);

    // The narrow functions store UTF-16 and end a string the caller did not end.
    ASSERT_EQ(RegSetValueExA(key, "Narrow", 0, REG_SZ, reinterpret_cast<const BYTE *>("abc"), 3), ERROR_SUCCESS);
    EXPECT_EQ(rawValue(key, u"Narrow", type), (std::vector<uint8_t>{'a', 0, 'b', 0, 'c', 0, 0, 0}));
    RegCloseKey(key);
}

// Subkeys come in Windows' order (names compared in upper case), values in the order they were
// first written; the name room must include the NUL; 259 follows the last.
TEST_F(Registry, EnumerationOrderAndBufferRules)
{
    HKEY key = createKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Unit\\Order");
    for (const char16_t *name : {u"beta", u"_under", u"Alpha", u"alpha2"})
        RegCloseKey(createKey(key, name));
    EXPECT_EQ(subkeyNames(key), (std::vector<std::u16string>{u"Alpha", u"alpha2", u"beta", u"_under"}));

    const BYTE data[] = {1};
    for (const char16_t *name : {u"z", u"a", u"m"})
        ASSERT_EQ(RegSetValueExW(key, name, 0, REG_BINARY, data, 1), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"Z", 0, REG_BINARY, data, 1), ERROR_SUCCESS);  // keeps its place
    EXPECT_EQ(valueNames(key), (std::vector<std::u16string>{u"Z", u"a", u"m"}));

    WCHAR name[8];
    DWORD length = 5;  // "Alpha" needs 6 with its NUL
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    length = 6;
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(RegEnumKeyExW(key, 4, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyExW(key, 0, nullptr, &length, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);

    // Value enumeration: a name too long for its room gives the data size; data too long for its
    // room gives the name.
    DWORD type = 0, size = 0;
    length = 1;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &length, nullptr, &type, nullptr, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    BYTE small[1];
    size = 0;
    length = 8;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &length, nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(name[0], u'Z');
    EXPECT_EQ(RegEnumValueW(key, 3, name, &length, nullptr, &type, nullptr, &size), ERROR_NO_MORE_ITEMS);

    // Another process enumerates the same order.
    EXPECT_EQ(toolOutput("reg query 'HKLM\\SOFTWARE\\Unit\\Order'"),
              "    Z    REG_BINARY    01\n    a    REG_BINARY    01\n    m    REG_BINARY    01\n"
              "HKLM\\SOFTWARE\\Unit\\Order\\Alpha\nHKLM\\SOFTWARE\\Unit\\Order\\alpha2\n"
              "HKLM\\SOFTWARE\\Unit\\Order\\beta\nHKLM\\SOFTWARE\\Unit\\Order\\_under\n");
    RegCloseKey(key);
}

// An enumeration that another process changes under it counts its indexes afresh.
TEST_F(Registry, EnumerationFollowsChangesOfOtherProcesses)
{
    HKEY key = createKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Unit\\Changing");
    const BYTE data[] = {1};
    for (const char16_t *name : {u"v0", u"v1", u"v2", u"v3"})
        ASSERT_EQ(RegSetValueExW(key, name, 0, REG_BINARY, data, 1), ERROR_SUCCESS);
    for (const char16_t *name : {u"k0", u"k1", u"k2", u"k3"})
        RegCloseKey(createKey(key, name));
    WCHAR name[8];
    DWORD length = 8;
    ASSERT_EQ(RegEnumValueW(key, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    length = 8;
    ASSERT_EQ(RegEnumKeyExW(key, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    toolOutput("reg delete 'HKLM\\SOFTWARE\\Unit\\Changing' v0");
    toolOutput("reg delete 'HKLM\\SOFTWARE\\Unit\\Changing\\k0'");
    length = 8;
    ASSERT_EQ(RegEnumValueW(key, 2, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, length), u"v3");
    length = 8;
    ASSERT_EQ(RegEnumKeyExW(key, 2, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, length), u"k3");
    length = 8;
    EXPECT_EQ(RegEnumValueW(key, 3, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST_F(Registry, WindowsLimitsOnNamesAndDepth)
{
    HKEY key = createKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Unit\\Limits");
    HKEY child = nullptr;
    RegCloseKey(createKey(key, std::u16string(255, u'k')));
    EXPECT_EQ(RegCreateKeyExW(key, std::u16string(256, u'k').c_str(), 0, nullptr, 0, KEY_READ, nullptr, &child,
                              nullptr),
              ERROR_INVALID_PARAMETER);

    const BYTE data[] = {7};
    std::u16string longest(16383, u'v');
    ASSERT_EQ(RegSetValueExW(key, longest.c_str(), 0, REG_BINARY, data, 1), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, (longest + u"v").c_str(), 0, REG_BINARY, data, 1), ERROR_INVALID_PARAMETER);
    std::vector<WCHAR> name(16384);
    DWORD length = 16383;  // no room for the NUL
    EXPECT_EQ(RegEnumValueW(key, 0, name.data(), &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    length = 16384;
    EXPECT_EQ(RegEnumValueW(key, 0, name.data(), &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(length, 16383u);
    EXPECT_EQ(std::u16string(name.data(), length), longest);

    // At most 32 levels are made by one call.
    std::u16string deep;
    for (int i = 0; i < 33; ++i)
        deep += (i ? u"\\d" : u"d");
    EXPECT_EQ(RegCreateKeyExW(key, deep.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(createKey(key, deep.substr(2)));  // 32 levels
    RegCloseKey(key);
}

TEST_F(Registry, DeletingKeys)
{
    HKEY parent = createKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Unit\\Delete");
    HKEY child = createKey(parent, u"Child");
    RegCloseKey(createKey(child, u"Grandchild"));
    EXPECT_EQ(RegDeleteKeyW(parent, u"Child"), ERROR_ACCESS_DENIED);  // it has a subkey
    EXPECT_EQ(RegDeleteKeyW(parent, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyW(parent, u"Missing"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegDeleteKeyW(child, u"Grandchild"), ERROR_SUCCESS);
    const BYTE data[] = {1};
    ASSERT_EQ(RegSetValueExW(child, u"v", 0, REG_BINARY, data, 1), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyW(parent, u"child"), ERROR_SUCCESS);

    // The handle to the deleted key stays, and every use of it fails with 1018.
    DWORD type = 0, size = sizeof data;
    BYTE read[1];
    EXPECT_EQ(RegQueryValueExW(child, u"v", nullptr, &type, read, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegSetValueExW(child, u"v", 0, REG_BINARY, data, 1), ERROR_KEY_DELETED);
    WCHAR name[16];
    DWORD length = 16;
    EXPECT_EQ(RegEnumValueW(child, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumKeyExW(child, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    HKEY under = nullptr;
    EXPECT_EQ(RegCreateKeyExW(child, u"x", 0, nullptr, 0, KEY_READ, nullptr, &under, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);

    // A key made again under the same name is a new key, out of the old handle's reach.
    HKEY again = createKey(parent, u"Child");
    EXPECT_EQ(subkeyNames(again).size(), 0u);
    RegCloseKey(again);
    // The hive's top goes only with the hive.
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE"), ERROR_ACCESS_DENIED);
    RegCloseKey(parent);
}

// HKEY_CURRENT_USER is the token user's own hive, a file in the user's profile, mounted under
// HKEY_USERS on first use and seen by the machine's other processes.
TEST_F(Registry, CurrentUserIsTheUsersHiveFile)
{
    HKEY key = createKey(HKEY_CURRENT_USER, u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings");
    const DWORD enable = 1;
    ASSERT_EQ(RegSetValueExW(key, u"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&enable), 4),
              ERROR_SUCCESS);
    RegCloseKey(key);

    const std::string sid = sidToString(tokenUserSid());
    HKEY viaUsers = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, wide(sid + "\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings").c_str(),
                            0, KEY_READ, &viaUsers),
              ERROR_SUCCESS);
    DWORD type = 0;
    EXPECT_EQ(rawValue(viaUsers, u"ProxyEnable", type), (std::vector<uint8_t>{1, 0, 0, 0}));
    RegCloseKey(viaUsers);

    bool found = false;
    for (const std::u16string &name : subkeyNames(HKEY_USERS))
        found = found || name == wide(sid);
    EXPECT_TRUE(found);
    DIR *users = opendir((machineRoot() + "/drive_c/Users").c_str());
    ASSERT_NE(users, nullptr);
    bool hiveFile = false;
    while (dirent *entry = readdir(users)) {
        struct stat st;
        std::string path = machineRoot() + "/drive_c/Users/" + entry->d_name + "/NTUSER.DAT";
        hiveFile = hiveFile || stat(path.c_str(), &st) == 0;
    }
    closedir(users);
    EXPECT_TRUE(hiveFile);
    EXPECT_EQ(toolOutput("reg query 'HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings' "
                         "ProxyEnable"),
              "0x1\n");

    // The narrow functions reach the same hive.
    HKEY narrow = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                            KEY_READ, &narrow),
              ERROR_SUCCESS);
    DWORD value = 0, size = 4;
    EXPECT_EQ(RegQueryValueExA(narrow, "ProxyEnable", nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);
    RegCloseKey(narrow);
}

// HKEY_CLASSES_ROOT merges HKLM\SOFTWARE\Classes with the user's HKCU\Software\Classes: the user's
// keys and values hide the machine's, new keys go to the machine's classes.
TEST_F(Registry, ClassesRootMergesMachineAndUserClasses)
{
    auto setString = [](HKEY root, const char16_t *path, const char16_t *name, const char16_t *text) {
        HKEY key = createKey(root, path);
        std::u16string value(text);
        EXPECT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * 2)),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    };
    auto readString = [](HKEY root, const char16_t *path, const char16_t *name) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return std::u16string(u"<no key>");
        WCHAR text[64] = {};
        DWORD size = sizeof text - 2;
        LONG error = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &size);
        RegCloseKey(key);
        return error ? std::u16string(u"<no value>") : std::u16string(text);
    };
    setString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\Unit.Server\\CLSID", u"", u"{machine}");
    setString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\Unit.Server", u"Shared", u"machine");
    setString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\Unit.MachineOnly", u"", u"m");
    EXPECT_EQ(readString(HKEY_CLASSES_ROOT, u"Unit.Server\\CLSID", u""), u"{machine}");

    setString(HKEY_CURRENT_USER, u"Software\\Classes\\Unit.Server", u"Shared", u"user");
    setString(HKEY_CURRENT_USER, u"Software\\Classes\\Unit.UserOnly", u"", u"u");
    EXPECT_EQ(readString(HKEY_CLASSES_ROOT, u"unit.server", u"Shared"), u"user");
    EXPECT_EQ(readString(HKEY_CLASSES_ROOT, u"Unit.Server\\CLSID", u""), u"{machine}");
    EXPECT_EQ(readString(HKEY_CLASSES_ROOT, u"Unit.UserOnly", u""), u"u");

    std::vector<std::u16string> names;
    for (const std::u16string &name : subkeyNames(HKEY_CLASSES_ROOT))
        if (name.rfind(u"Unit.", 0) == 0)
            names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Unit.MachineOnly", u"Unit.Server", u"Unit.UserOnly"}));
    HKEY server = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Unit.Server", 0, KEY_READ, &server), ERROR_SUCCESS);
    EXPECT_EQ(valueNames(server), (std::vector<std::u16string>{u"Shared"}));
    RegCloseKey(server);

    // A new key under HKEY_CLASSES_ROOT is the machine's; a value of a key the user has is the user's.
    setString(HKEY_CLASSES_ROOT, u"CLSID\\{unit}\\InprocServer32", u"", u"server.dll");
    EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\CLSID\\{unit}\\InprocServer32", u""), u"server.dll");
    setString(HKEY_CLASSES_ROOT, u"Unit.Server", u"Written", u"through the view");
    EXPECT_EQ(readString(HKEY_CURRENT_USER, u"Software\\Classes\\Unit.Server", u"Written"), u"through the view");
    EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\Unit.Server", u"Written"), u"<no value>");

    EXPECT_EQ(toolOutput("reg query 'HKCR\\Unit.Server' Shared"), "user\n");
    char text[32] = {};
    DWORD size = sizeof text;
    HKEY narrow = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Unit.Server\\CLSID", 0, KEY_READ, &narrow), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(narrow, "", nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &size), ERROR_SUCCESS);
    EXPECT_STREQ(text, "{machine}");
    RegCloseKey(narrow);
}

}  // namespace
