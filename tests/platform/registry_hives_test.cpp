// Key security, hive files and the registry under several processes: descriptors and their
// inheritance, the checks of Windows on owners and the system list, hives of the older schema
// and files that are not hives, a writer killed in the middle of a write, two writers at once,
// the registry held still for a shadow copy, and a restart whose replacement is unusable.
#include "machine/hive.h"
#include "machine/hive_list.h"
#include "machine/machine.h"
#include "machine/restart.h"
#include "machine/security_descriptor.h"
#include "machine/text.h"
#include "support/host_path.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace winsim;

namespace {

constexpr uint8_t kInheritedAce = 0x10;
constexpr uint8_t kInheritOnlyAce = 0x08;

void enablePrivilege(const char16_t *name, bool enable = true)
{
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid));
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
    CloseHandle(token);
}

HKEY createKey(HKEY root, const char16_t *path, REGSAM access = KEY_ALL_ACCESS, DWORD options = 0)
{
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, options, access, nullptr, &key, nullptr), ERROR_SUCCESS);
    return key;
}

SecurityDescriptor keySecurity(HKEY key, SECURITY_INFORMATION which)
{
    DWORD size = 0;
    EXPECT_EQ(RegGetKeySecurity(key, which, nullptr, &size), ERROR_INSUFFICIENT_BUFFER);
    std::vector<uint8_t> buffer(size);
    EXPECT_EQ(RegGetKeySecurity(key, which, buffer.data(), &size), ERROR_SUCCESS);
    SecurityDescriptor sd;
    EXPECT_EQ(parseSecurityDescriptor(buffer.data(), buffer.size(), sd), 0u);
    return sd;
}

LONG setKeySecurity(HKEY key, const SecurityDescriptor &sd, SECURITY_INFORMATION which)
{
    Bytes built = buildSecurityDescriptor(sd, which);
    return RegSetKeySecurity(key, which, built.data());
}

struct AceView {
    uint8_t type;
    uint8_t flags;
    uint32_t mask;
    std::string sid;
};

std::vector<AceView> aces(const std::optional<Acl> &acl)
{
    std::vector<AceView> out;
    if (!acl)
        return out;
    for (const Bytes &ace : acl->aces)
        out.push_back(AceView{ace[0], ace[1],
                              static_cast<uint32_t>(ace[4] | ace[5] << 8 | ace[6] << 16 | static_cast<uint32_t>(ace[7]) << 24),
                              sidToString(Bytes(ace.begin() + 8, ace.end()))});
    return out;
}

std::string text(const Bytes &sid)
{
    return sidToString(sid);
}

// A program of the machine, its standard output read line by line.
class Child {
public:
    explicit Child(const std::vector<std::string> &arguments)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            std::vector<char *> argv;
            for (const std::string &argument : arguments)
                argv.push_back(const_cast<char *>(argument.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        out_ = fds[0];
    }
    ~Child()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }
    // The next line, or "" when none comes within the timeout (or the program ended).
    std::string readLine(std::chrono::milliseconds timeout = std::chrono::seconds(60))
    {
        std::string line;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd fd{out_, POLLIN, 0};
            if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0)
                return "";
            char c;
            if (read(out_, &c, 1) != 1)
                return "";
            if (c == '\n')
                return line;
            line += c;
        }
    }
    void kill()
    {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    int wait()
    {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

std::string integrityOf(const std::string &file)
{
    sqlite3 *db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 30000);
        sqlite3_stmt *stmt = nullptr;
        sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr);
        result = sqlite3_step(stmt) == SQLITE_ROW ? reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)) : "?";
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return result;
}

std::vector<uint8_t> readBinary(HKEY root, const char16_t *path, const char16_t *name)
{
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    std::vector<uint8_t> data(size);
    EXPECT_EQ(RegQueryValueExW(key, name, nullptr, nullptr, data.data(), &size), ERROR_SUCCESS);
    RegCloseKey(key);
    return data;
}

std::string fileBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class RegistrySecurity : public testing::Test {
protected:
    void TearDown() override { setMachineSetting(machineRoot(), "administrator", "yes"); }
};

TEST_F(RegistrySecurity, NewKeysInheritTheEntriesOfTheirParents)
{
    HKEY key = createKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Secured\\Child");
    SecurityDescriptor sd = keySecurity(key, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                 DACL_SECURITY_INFORMATION);
    // An elevated administrator's keys belong to the Administrators group.
    EXPECT_EQ(text(*sd.owner), "S-1-5-32-544");
    std::vector<AceView> entries = aces(sd.dacl);
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].sid, "S-1-5-18");
    EXPECT_EQ(entries[0].flags, CONTAINER_INHERIT_ACE | kInheritedAce);
    EXPECT_EQ(entries[0].mask, static_cast<uint32_t>(KEY_ALL_ACCESS));
    EXPECT_EQ(entries[2].sid, "S-1-5-32-545");
    EXPECT_EQ(entries[2].mask, static_cast<uint32_t>(KEY_READ));
    // CREATOR OWNER becomes the creator for this key, and passes on as it is.
    EXPECT_EQ(entries[3].sid, "S-1-5-32-544");
    EXPECT_EQ(entries[3].flags, kInheritedAce);
    EXPECT_EQ(entries[4].sid, "S-1-3-0");
    EXPECT_EQ(entries[4].flags, CONTAINER_INHERIT_ACE | kInheritOnlyAce | kInheritedAce);

    // Reading needs READ_CONTROL on the handle.
    HKEY valuesOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Secured\\Child", 0, KEY_QUERY_VALUE, &valuesOnly),
              ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegGetKeySecurity(valuesOnly, DACL_SECURITY_INFORMATION, nullptr, &size), ERROR_ACCESS_DENIED);
    RegCloseKey(valuesOnly);

    // A standard user reads the machine's keys and writes only its own.
    setMachineSetting(machineRoot(), "administrator", "no");
    HKEY denied = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Secured\\Child", 0, KEY_SET_VALUE, &denied),
              ERROR_ACCESS_DENIED);
    HKEY read = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Secured\\Child", 0, KEY_READ, &read), ERROR_SUCCESS);
    RegCloseKey(read);
    HKEY own = createKey(HKEY_CURRENT_USER, u"Software\\Own");
    SecurityDescriptor ownSd = keySecurity(own, OWNER_SECURITY_INFORMATION);
    EXPECT_EQ(text(*ownSd.owner).rfind("S-1-22-1-", 0), 0u);
    RegCloseKey(own);
    RegCloseKey(key);
}

TEST_F(RegistrySecurity, TheAccessListDecidesWhoOpensAKey)
{
    HKEY key = createKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Guarded");
    SecurityDescriptor sd;
    sd.daclPresent = true;
    Acl acl;
    acl.aces.push_back(makeAce(ACCESS_DENIED_ACE_TYPE, 0, KEY_SET_VALUE, makeSid(1, {0})));
    acl.aces.push_back(makeAce(ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, makeSid(1, {0})));
    sd.dacl = acl;
    ASSERT_EQ(setKeySecurity(key, sd, DACL_SECURITY_INFORMATION), ERROR_SUCCESS);
    RegCloseKey(key);
    enablePrivilege(u"SeRestorePrivilege", false);
    enablePrivilege(u"SeBackupPrivilege", false);

    HKEY opened = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Guarded", 0, KEY_SET_VALUE, &opened), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Guarded", 0, KEY_READ | DELETE, &opened), ERROR_SUCCESS);
    RegCloseKey(opened);

    // The restore privilege opens it for writing when asked through REG_OPTION_BACKUP_RESTORE.
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Guarded", 0, nullptr, REG_OPTION_BACKUP_RESTORE, 0,
                              nullptr, &opened, nullptr),
              ERROR_ACCESS_DENIED);
    enablePrivilege(u"SeRestorePrivilege");
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Guarded", 0, nullptr, REG_OPTION_BACKUP_RESTORE, 0,
                              nullptr, &opened, nullptr),
              ERROR_SUCCESS);
    const BYTE data[] = {1};
    EXPECT_EQ(RegSetValueExW(opened, u"v", 0, REG_BINARY, data, 1), ERROR_SUCCESS);
    RegCloseKey(opened);

    // A list that keeps everybody out still lets the owner read and change it.
    sd.dacl->aces.clear();
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Guarded", 0, WRITE_DAC, &opened), ERROR_SUCCESS);
    ASSERT_EQ(setKeySecurity(opened, sd, DACL_SECURITY_INFORMATION), ERROR_SUCCESS);
    RegCloseKey(opened);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Guarded", 0, KEY_READ, &opened), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Guarded", 0, READ_CONTROL | WRITE_DAC, &opened),
              ERROR_SUCCESS);
    RegCloseKey(opened);
}

TEST_F(RegistrySecurity, OwnersAndTheSystemListNeedTheirPrivileges)
{
    enablePrivilege(u"SeRestorePrivilege", false);
    enablePrivilege(u"SeSecurityPrivilege", false);
    HKEY key = createKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Owned");
    SecurityDescriptor sd;
    sd.owner = makeSid(5, {32, 545});
    EXPECT_EQ(setKeySecurity(key, sd, OWNER_SECURITY_INFORMATION), ERROR_INVALID_OWNER);
    enablePrivilege(u"SeRestorePrivilege");
    ASSERT_EQ(setKeySecurity(key, sd, OWNER_SECURITY_INFORMATION), ERROR_SUCCESS);
    EXPECT_EQ(text(*keySecurity(key, OWNER_SECURITY_INFORMATION).owner), "S-1-5-32-545");

    // The system list: ACCESS_SYSTEM_SECURITY needs the security privilege, reading it needs
    // that right on the handle.
    DWORD size = 0;
    EXPECT_EQ(RegGetKeySecurity(key, SACL_SECURITY_INFORMATION, nullptr, &size), ERROR_ACCESS_DENIED);
    HKEY audited = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Owned", 0, KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY,
                            &audited),
              ERROR_PRIVILEGE_NOT_HELD);
    enablePrivilege(u"SeSecurityPrivilege");
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Owned", 0, KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY,
                            &audited),
              ERROR_SUCCESS);
    SecurityDescriptor audit;
    audit.saclPresent = true;
    Acl sacl;
    sacl.aces.push_back(makeAce(SYSTEM_AUDIT_ACE_TYPE, CONTAINER_INHERIT_ACE | 0x80, KEY_SET_VALUE, makeSid(1, {0})));
    audit.sacl = sacl;
    ASSERT_EQ(setKeySecurity(audited, audit, SACL_SECURITY_INFORMATION), ERROR_SUCCESS);
    std::vector<AceView> entries = aces(keySecurity(audited, SACL_SECURITY_INFORMATION).sacl);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].type, SYSTEM_AUDIT_ACE_TYPE);

    // A new key below inherits the audit entry.
    HKEY child = nullptr;
    ASSERT_EQ(RegCreateKeyExW(audited, u"Child", 0, nullptr, 0, KEY_READ | ACCESS_SYSTEM_SECURITY, nullptr, &child,
                              nullptr),
              ERROR_SUCCESS);
    entries = aces(keySecurity(child, SACL_SECURITY_INFORMATION).sacl);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].flags & kInheritedAce, kInheritedAce);
    RegCloseKey(child);
    RegCloseKey(audited);
    RegCloseKey(key);
}

class RegistryHives : public testing::Test {
protected:
    void SetUp() override
    {
        enablePrivilege(u"SeBackupPrivilege");
        enablePrivilege(u"SeRestorePrivilege");
        mkdir((machineRoot() + "/drive_c/hives").c_str(), 0755);
    }
    static std::string host(const char *name) { return machineRoot() + "/drive_c/hives/" + name; }
};

// The first stand-in hives had neither classes nor descriptors and folded names to lower case.
TEST_F(RegistryHives, HivesOfTheOlderSchemaStillLoad)
{
    const std::string file = host("old.hive");
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE keys (id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT NULL,"
                           " folded TEXT NOT NULL, written INTEGER NOT NULL, UNIQUE (parent, folded));"
                           "CREATE TABLE key_values (key INTEGER NOT NULL, name TEXT NOT NULL, folded TEXT NOT NULL,"
                           " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY (key, folded));"
                           "INSERT INTO keys VALUES (1, 0, '', '', 0), (2, 1, 'Zeta', 'zeta', 0),"
                           " (3, 1, '_under', '_under', 0), (4, 1, 'Alpha', 'alpha', 0);"
                           "INSERT INTO key_values VALUES (2, 'Name', 'name', 1, x'760031000000');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"Old", u"C:\\hives\\old.hive"), ERROR_SUCCESS);
    EXPECT_EQ(readBinary(HKEY_LOCAL_MACHINE, u"Old\\ZETA", u"NAME"), (std::vector<uint8_t>{'v', 0, '1', 0, 0, 0}));
    HKEY old = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Old", 0, KEY_ALL_ACCESS, &old), ERROR_SUCCESS);
    std::vector<std::u16string> names;
    WCHAR name[32];
    DWORD length = 32;
    for (DWORD i = 0; RegEnumKeyExW(old, i, name, &(length = 32), nullptr, nullptr, nullptr, nullptr) == 0; ++i)
        names.emplace_back(name, length);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"Zeta", u"_under"}));  // Windows' order
    HKEY added = createKey(old, u"Zeta\\Added");
    RegCloseKey(added);
    RegCloseKey(old);
    ASSERT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"Old"), ERROR_SUCCESS);
    EXPECT_EQ(integrityOf(file), "ok");
}

TEST_F(RegistryHives, FilesThatAreNotHivesAreRefusedUntouched)
{
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(host("other.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE keys (id INTEGER); INSERT INTO keys VALUES (1);", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    std::ofstream(host("text.txt")) << "plain text";
    std::ofstream(host("empty"));
    for (const char *file : {"other.db", "text.txt", "empty"}) {
        const std::string before = fileBytes(host(file));
        EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"Refused", toUtf16(std::string("C:\\hives\\") + file).c_str()),
                  ERROR_NOT_REGISTRY_FILE)
            << file;
        EXPECT_EQ(fileBytes(host(file)), before) << file;
        struct stat st;
        EXPECT_NE(stat((host(file) + "-journal").c_str(), &st), 0) << file;
    }
    // A missing file becomes a new hive, as Windows documents.
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, u"Fresh", u"C:\\hives\\fresh.hive"), ERROR_SUCCESS);
    RegCloseKey(createKey(HKEY_USERS, u"Fresh\\Made"));
    ASSERT_EQ(RegUnLoadKeyW(HKEY_USERS, u"Fresh"), ERROR_SUCCESS);
    EXPECT_EQ(Hive::identify(host("fresh.hive")), 0u);
    // Only under the two roots, one name deep, with both privileges.
    EXPECT_EQ(RegLoadKeyW(HKEY_CLASSES_ROOT, u"x", u"C:\\hives\\fresh.hive"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"a\\b", u"C:\\hives\\fresh.hive"), ERROR_INVALID_PARAMETER);
    enablePrivilege(u"SeBackupPrivilege", false);
    EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"x", u"C:\\hives\\fresh.hive"), ERROR_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"x"), ERROR_PRIVILEGE_NOT_HELD);
}

// A writer killed at any moment of a write leaves the hive whole, with the value before or after.
TEST_F(RegistryHives, AWriterKilledMidWriteLeavesTheOldOrTheNewValue)
{
    const size_t size = 512 * 1024;
    std::mt19937 random(12345);
    for (int round = 0; round < 6; ++round) {
        Child writer({REGISTRY_WRITER, "SOFTWARE\\Crash", "Value", "0", std::to_string(size)});
        ASSERT_EQ(writer.readLine(), "ready");
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
        writer.kill();
        std::vector<uint8_t> data = readBinary(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Crash", u"Value");
        ASSERT_EQ(data.size(), size) << "round " << round;
        for (uint8_t b : data)
            ASSERT_EQ(b, data[0]) << "round " << round;
        EXPECT_EQ(integrityOf(softwareHivePath(machineRoot())), "ok");
    }
}

// Two processes writing values of one key at once lose none of them.
TEST_F(RegistryHives, TwoWritersAtOnceLoseNothing)
{
    const char *count = "40";
    Child first({REGISTRY_WRITER, "SOFTWARE\\Shared", "First#", count, "64"});
    Child second({REGISTRY_WRITER, "SOFTWARE\\Shared", "Second#", count, "64"});
    ASSERT_EQ(first.readLine(), "ready");
    ASSERT_EQ(second.readLine(), "ready");
    EXPECT_EQ(first.readLine(), "done");
    EXPECT_EQ(second.readLine(), "done");
    EXPECT_EQ(first.wait(), 0);
    EXPECT_EQ(second.wait(), 0);
    for (const char *prefix : {"First", "Second"}) {
        for (int i = 0; i < 40; ++i) {
            std::u16string name = toUtf16(prefix + std::to_string(i));
            std::vector<uint8_t> data = readBinary(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared", name.c_str());
            ASSERT_EQ(data, std::vector<uint8_t>(64, static_cast<uint8_t>(i)));
        }
    }
}

// While a shadow copy is made no write to a hive of the volume commits, so the copy of each hive
// file is whole; writers go on afterwards.
TEST_F(RegistryHives, TheRegistryHoldsStillForAShadowCopy)
{
    RegCloseKey(createKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Frozen"));
    std::unique_ptr<Child> writer;
    {
        RegistryFreeze freeze(machineRoot() + "/drive_c");
        writer = std::make_unique<Child>(
            std::vector<std::string>{REGISTRY_WRITER, "SOFTWARE\\Frozen", "Value", "1", "8"});
        EXPECT_EQ(writer->readLine(std::chrono::milliseconds(400)), "");
    }
    EXPECT_EQ(writer->readLine(), "ready");
    EXPECT_EQ(writer->readLine(), "done");
    EXPECT_EQ(writer->wait(), 0);
}

TEST_F(RegistryHives, ARestartKeepsAHiveWhoseReplacementIsUnusable)
{
    HKEY software = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &software), ERROR_SUCCESS);
    ASSERT_EQ(RegSaveKeyW(software, u"C:\\hives\\software.new", nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegSaveKeyW(software, u"C:\\hives\\software.new", nullptr), ERROR_ALREADY_EXISTS);
    ASSERT_EQ(RegReplaceKeyW(software, nullptr, u"C:\\hives\\software.new", u"C:\\hives\\software.old"),
              ERROR_SUCCESS);
    EXPECT_EQ(RegReplaceKeyW(software, nullptr, u"C:\\hives\\software.new", u"C:\\hives\\software.old"),
              ERROR_ALREADY_EXISTS);
    RegCloseKey(software);
    std::ofstream(host("software.new"), std::ios::trunc) << "overwritten meanwhile";

    std::vector<StartupStep> steps = restartMachine();
    bool reported = false;
    for (const StartupStep &step : steps) {
        if (step.name == "hives") {
            reported = true;
            EXPECT_EQ(step.error, static_cast<DWORD>(ERROR_NOT_REGISTRY_FILE));
            EXPECT_NE(step.message.find("not replaced"), std::string::npos) << step.message;
        }
    }
    EXPECT_TRUE(reported);
    HKEY runtime = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\JavaSoft\\Java Runtime Environment", 0, KEY_READ, &runtime),
              ERROR_SUCCESS);
    RegCloseKey(runtime);
    // Saving needs the backup privilege.
    enablePrivilege(u"SeBackupPrivilege", false);
    EXPECT_EQ(RegSaveKeyW(HKEY_CURRENT_USER, u"C:\\hives\\user.hive", nullptr), ERROR_PRIVILEGE_NOT_HELD);
}

}  // namespace
