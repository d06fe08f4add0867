// The kernel32 and advapi32 file, error, token and module functions of the stand-in, called the
// way the product calls them.
#include "machine/machine.h"
#include "machine/paths.h"

#include <windows.h>

#include "support/host_path.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <thread>
#include <string>
#include <vector>

using namespace winsim;

namespace {

std::u16string freshDirectory(const char16_t *name)
{
    static int counter = 0;
    std::u16string dir = u"C:\\unit-" + std::u16string(name) + u"-" + static_cast<char16_t>(u'a' + counter++);
    mkdir(hostPath(dir).c_str(), 0755);
    return dir;
}

HANDLE open(const std::u16string &path, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0)
{
    return CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

std::string message(DWORD code)
{
    char *text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                             nullptr, code, 0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string out = n ? std::string(text, n) : "<none>";
    LocalFree(text);
    return out;
}

}  // namespace

TEST(Errors, LastErrorIsPerThreadAndMessagesKeepTheirLineEnd)
{
    SetLastError(5);
    std::thread([] { EXPECT_EQ(GetLastError(), 0u); }).join();
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_EQ(message(ERROR_ACCESS_DENIED), "Access is denied.\r\n");
    EXPECT_EQ(message(ERROR_SERVICE_EXISTS), "The specified service already exists.\r\n");
    EXPECT_EQ(message(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), "The system cannot find the file specified.\r\n");
    EXPECT_EQ(message(0x2000FFFF), "<none>");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));

    // Inserts: kept when ignored; read from arguments otherwise, so none given is refused.
    EXPECT_EQ(message(ERROR_BAD_EXE_FORMAT), "%1 is not a valid Win32 application.\r\n");
    char *text = nullptr;
    const DWORD withInserts = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY;
    EXPECT_EQ(FormatMessageA(withInserts, nullptr, ERROR_BAD_EXE_FORMAT, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED,
                             0, reinterpret_cast<LPSTR>(&text), 0, nullptr),
              19u);
    LocalFree(text);
}

TEST(Files, DispositionsAndTheLastErrorTheyLeave)
{
    std::u16string file = freshDirectory(u"disp") + u"\\f.txt";
    EXPECT_EQ(open(file, GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    HANDLE created = open(file, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(CloseHandle(created));
    EXPECT_EQ(GetFileAttributesW(file.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    // Overwriting a hidden file without asking for hidden is refused, as on Windows.
    EXPECT_EQ(open(file, GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE again = open(file, GENERIC_WRITE, 0, OPEN_ALWAYS);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(CloseHandle(again));
    EXPECT_FALSE(CloseHandle(again));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Opening or making a file is one step: openers that race to OPEN_ALWAYS or CREATE_ALWAYS a
// missing file all succeed, and exactly one of them made it.
TEST(Files, OpenersRacingToMakeAFileAllSucceed)
{
    const std::u16string directory = freshDirectory(u"race");
    for (DWORD disposition : {static_cast<DWORD>(OPEN_ALWAYS), static_cast<DWORD>(CREATE_ALWAYS)}) {
        for (int round = 0; round < 40; ++round) {
            const std::string name =
                "\\f" + std::to_string(round) + (disposition == OPEN_ALWAYS ? ".open" : ".create");
            const std::u16string file = directory + std::u16string(name.begin(), name.end());
            constexpr int kOpeners = 4;
            std::atomic<int> ready{0};
            std::vector<HANDLE> handles(kOpeners, INVALID_HANDLE_VALUE);
            std::vector<DWORD> errors(kOpeners, 0);
            std::vector<std::thread> openers;
            for (int i = 0; i < kOpeners; ++i) {
                openers.emplace_back([&, i] {
                    ready.fetch_add(1);
                    while (ready.load() < kOpeners)
                        std::this_thread::yield();
                    handles[i] = open(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, disposition);
                    errors[i] = GetLastError();
                });
            }
            for (std::thread &opener : openers)
                opener.join();
            int made = 0;
            for (int i = 0; i < kOpeners; ++i) {
                ASSERT_NE(handles[i], INVALID_HANDLE_VALUE) << "error " << errors[i];
                EXPECT_TRUE(errors[i] == ERROR_SUCCESS || errors[i] == ERROR_ALREADY_EXISTS) << errors[i];
                made += errors[i] == ERROR_SUCCESS;
                CloseHandle(handles[i]);
            }
            EXPECT_EQ(made, 1);
        }
    }
}

TEST(Files, ReadOnlyFilesRefuseWriteAccess)
{
    std::u16string file = freshDirectory(u"ro") + u"\\r.txt";
    CloseHandle(open(file, GENERIC_WRITE, 0, CREATE_NEW));
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(open(file, GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE reader = open(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    CloseHandle(reader);
}

// The file is opened before its attributes are looked at; a refused open changes nothing.
TEST(Files, RefusedOpensLeaveTheFileAsItWas)
{
    std::u16string file = freshDirectory(u"refused") + u"\\h.txt";
    HANDLE writer = open(file, GENERIC_WRITE, 0, CREATE_NEW);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writer, "kept", 4, &written, nullptr));
    CloseHandle(writer);
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(open(file, GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(open(file, GENERIC_READ, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    struct stat st;
    ASSERT_EQ(stat(hostPath(file).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4);
    EXPECT_EQ(GetFileAttributesW(file.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    // A name in another case is still found, through the search.
    std::u16string upper = file.substr(0, file.size() - 5) + u"H.TXT";
    HANDLE reader = open(upper, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    CloseHandle(reader);
    EXPECT_EQ(GetFileAttributesW(upper.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
}

TEST(Files, SharingModesFollowTheWindowsRules)
{
    std::u16string file = freshDirectory(u"share") + u"\\s.txt";
    CloseHandle(open(file, GENERIC_WRITE, 0, CREATE_NEW));
    HANDLE reader = open(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    HANDLE secondReader = open(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(secondReader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // Metadata-only access does not take part in sharing.
    HANDLE attributes = open(file, READ_CONTROL, 0, OPEN_EXISTING);
    EXPECT_EQ(attributes, INVALID_HANDLE_VALUE) << "share 0 refuses the open readers";
    CloseHandle(reader);
    CloseHandle(secondReader);
    attributes = open(file, READ_CONTROL, 0, OPEN_EXISTING);
    EXPECT_NE(attributes, INVALID_HANDLE_VALUE);
    CloseHandle(attributes);
}

TEST(Files, DirectoriesNeedBackupSemantics)
{
    std::u16string dir = freshDirectory(u"dirs");
    EXPECT_EQ(open(dir, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE handle = open(dir, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
    EXPECT_EQ(GetFileAttributesW(dir.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST(Files, FindFirstFileMatchesWildcardsAndRefusesATrailingSeparator)
{
    std::u16string dir = freshDirectory(u"find");
    for (const char16_t *name : {u"\\a.txt", u"\\B.TXT", u"\\c.dat"})
        CloseHandle(open(dir + name, GENERIC_WRITE, 0, CREATE_NEW));
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW((dir + u"\\*.txt").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::vector<std::u16string> names{data.cFileName};
    while (FindNextFileW(search, &data))
        names.push_back(data.cFileName);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(search));
    EXPECT_FALSE(FindClose(search));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::u16string>{u"B.TXT", u"a.txt"}));

    EXPECT_EQ(FindFirstFileW((dir + u"\\").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(FindFirstFileW((dir + u"\\*.none").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FindFirstFileW((dir + u"\\no\\*").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(Files, SecurityNeedsRoomAndThePrivilegeForTheSacl)
{
    std::u16string file = freshDirectory(u"sec") + u"\\s.txt";
    CloseHandle(open(file, GENERIC_WRITE, 0, CREATE_NEW));
    DWORD needed = 0;
    BYTE small[8];
    EXPECT_FALSE(GetFileSecurityW(file.c_str(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, small,
                                  sizeof small, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_GT(needed, 20u);
    std::vector<BYTE> room(needed);
    EXPECT_TRUE(GetFileSecurityW(file.c_str(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, room.data(),
                                 needed, &needed));
    EXPECT_FALSE(GetFileSecurityW(file.c_str(), SACL_SECURITY_INFORMATION, room.data(), needed, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
}

// Security attributes are probed, not followed: a pointer that leads nowhere fails the call
// with ERROR_NOACCESS and creates nothing; a descriptor that ends right before an unreadable
// page is read up to its end.
TEST(Files, SecurityAttributesThatCannotBeReadFailTheCall)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto *pages = static_cast<uint8_t *>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
    std::u16string file = freshDirectory(u"probe") + u"\\f.txt";
    auto create = [&](SECURITY_ATTRIBUTES *attributes) {
        return CreateFileW(file.c_str(), GENERIC_WRITE, 0, attributes, CREATE_NEW, 0, nullptr);
    };

    EXPECT_EQ(create(reinterpret_cast<SECURITY_ATTRIBUTES *>(pages + page)), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_EQ(create(reinterpret_cast<SECURITY_ATTRIBUTES *>(0x10)), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, pages + page + 64, FALSE};
    EXPECT_EQ(create(&attributes), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_EQ(GetFileAttributesW(file.c_str()), INVALID_FILE_ATTRIBUTES);

    // Owner S-1-5-32-544 only: 20 bytes of header and 16 of SID, at the very end of the page.
    const uint8_t descriptor[36] = {1, 0, 0x00, 0x80, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                    1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
    memcpy(pages + page - sizeof descriptor, descriptor, sizeof descriptor);
    attributes.lpSecurityDescriptor = pages + page - sizeof descriptor;
    HANDLE handle = create(&attributes);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(handle);
    uint8_t stored[256];
    DWORD needed = 0;
    ASSERT_TRUE(GetFileSecurityW(file.c_str(), OWNER_SECURITY_INFORMATION, stored, sizeof stored, &needed));
    ASSERT_GE(needed, 36u);
    EXPECT_EQ(memcmp(stored + 20, descriptor + 20, 16), 0);
    munmap(pages, 2 * page);
}

TEST(Tokens, PrivilegesAreLookedUpAndAdjusted)
{
    LUID luid;
    EXPECT_FALSE(LookupPrivilegeValueW(nullptr, u"SeNoSuchPrivilege", &luid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, u"sebackupprivilege", &luid));
    EXPECT_EQ(luid.LowPart, 17u);

    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES privileges{1, {{luid, SE_PRIVILEGE_ENABLED}}};
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(token);

    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), MAXIMUM_ALLOWED, &token));
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), 0u);
    LookupPrivilegeValueW(nullptr, u"SeTcbPrivilege", &privileges.Privileges[0].Luid);
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
    CloseHandle(token);
}

TEST(Modules, SystemDllsResolveThroughSystem32)
{
    HMODULE advapi = LoadLibraryA("ADVAPI32.DLL");
    ASSERT_NE(advapi, nullptr);
    EXPECT_NE(GetProcAddress(advapi, "OpenEncryptedFileRawW"), nullptr);
    EXPECT_EQ(GetProcAddress(advapi, "NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_TRUE(FreeLibrary(advapi));
    EXPECT_NE(LoadLibraryA("advapi32"), nullptr) << ".dll is added to a name without extension";

    EXPECT_EQ(LoadLibraryA("nosuch.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    // Removing a DLL from the machine's System32 makes it absent.
    ASSERT_EQ(unlink((machineRoot() + "/drive_c/Windows/System32/kernelbase.dll").c_str()), 0);
    EXPECT_EQ(LoadLibraryA("kernelbase.dll"), nullptr);
}

TEST(Modules, DllMainSeesAttachAndDetach)
{
    unsetenv("DLLMAIN_PROBE");
    HMODULE probe = LoadLibraryA(DLLMAIN_PROBE);
    ASSERT_NE(probe, nullptr);
    EXPECT_STREQ(getenv("DLLMAIN_PROBE"), "attach;");
    EXPECT_TRUE(FreeLibrary(probe));
    EXPECT_STREQ(getenv("DLLMAIN_PROBE"), "attach;detach;");
}

TEST(BackupApi, StreamsLargerThanTheAttributeRoomGoToTheSidecar)
{
    std::u16string file = freshDirectory(u"sidecar") + u"\\big.bin";
    HANDLE out = open(file, GENERIC_WRITE | GENERIC_READ, 0, CREATE_NEW, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    std::vector<BYTE> stream;
    auto add = [&](const std::u16string &name, size_t size, BYTE fill) {
        BYTE header[20] = {BACKUP_ALTERNATE_DATA};
        uint64_t length = size;
        memcpy(header + 8, &length, 8);
        header[16] = static_cast<BYTE>(name.size() * 2);
        stream.insert(stream.end(), header, header + 20);
        const BYTE *chars = reinterpret_cast<const BYTE *>(name.data());
        stream.insert(stream.end(), chars, chars + name.size() * 2);
        stream.insert(stream.end(), size, fill);
    };
    add(u":fits:$DATA", 1000, 1);
    add(u":medium:$DATA", 6000, 2);  // beyond one ext4 block of attributes
    add(u":large:$DATA", 200000, 3);  // beyond any extended attribute
    LPVOID context = nullptr;
    DWORD done = 0;
    ASSERT_TRUE(BackupWrite(out, stream.data(), static_cast<DWORD>(stream.size()), &done, FALSE, FALSE, &context));
    EXPECT_TRUE(BackupWrite(out, nullptr, 0, &done, TRUE, FALSE, &context));
    EXPECT_EQ(context, nullptr);
    CloseHandle(out);

    EXPECT_GT(getxattr(hostPath(file).c_str(), "user.DosStream.fits:$DATA", nullptr, 0), 0);
    EXPECT_GT(getxattr(hostPath(file).c_str(), "user.winsim.sidecar", nullptr, 0), 0);

    HANDLE in = open(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    std::vector<BYTE> back(stream.size() + 100);
    ASSERT_TRUE(BackupRead(in, back.data(), static_cast<DWORD>(back.size()), &done, FALSE, FALSE, &context));
    EXPECT_EQ(done, stream.size());
    back.resize(done);
    // Streams come back sorted by name: fits, large, medium.
    EXPECT_EQ(back[20 + 22], 1);
    EXPECT_EQ(back.back(), 2);
    BackupRead(in, nullptr, 0, &done, TRUE, FALSE, &context);
    CloseHandle(in);
}

TEST(BackupApi, SecurityStreamsNeedTheRightsOfTheHandle)
{
    std::u16string file = freshDirectory(u"rights") + u"\\r.bin";
    CloseHandle(open(file, GENERIC_WRITE, 0, CREATE_NEW));
    BYTE before[512];
    DWORD needed;
    ASSERT_TRUE(GetFileSecurityW(file.c_str(), OWNER_SECURITY_INFORMATION, before, sizeof before, &needed));
    std::vector<BYTE> original(before, before + needed);

    // Owner S-1-5-18 only, written through a handle without WRITE_OWNER: ignored.
    BYTE sd[20 + 12] = {1, 0, 0x00, 0x80, 20, 0, 0, 0};
    BYTE system[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    memcpy(sd + 20, system, sizeof system);
    BYTE header[20] = {BACKUP_SECURITY_DATA, 0, 0, 0, 2, 0, 0, 0, sizeof sd};
    HANDLE handle = open(file, GENERIC_WRITE, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    LPVOID context = nullptr;
    DWORD done;
    EXPECT_TRUE(BackupWrite(handle, header, sizeof header, &done, FALSE, TRUE, &context));
    EXPECT_TRUE(BackupWrite(handle, sd, sizeof sd, &done, FALSE, TRUE, &context));
    BackupWrite(handle, nullptr, 0, &done, TRUE, TRUE, &context);
    CloseHandle(handle);
    ASSERT_TRUE(GetFileSecurityW(file.c_str(), OWNER_SECURITY_INFORMATION, before, sizeof before, &needed));
    EXPECT_EQ(std::vector<BYTE>(before, before + needed), original);

    handle = open(file, GENERIC_WRITE | WRITE_OWNER, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    EXPECT_TRUE(BackupWrite(handle, header, sizeof header, &done, FALSE, TRUE, &context));
    EXPECT_TRUE(BackupWrite(handle, sd, sizeof sd, &done, FALSE, TRUE, &context));
    BackupWrite(handle, nullptr, 0, &done, TRUE, TRUE, &context);
    CloseHandle(handle);
    ASSERT_TRUE(GetFileSecurityW(file.c_str(), OWNER_SECURITY_INFORMATION, before, sizeof before, &needed));
    EXPECT_EQ(std::vector<BYTE>(before + 20, before + needed), std::vector<BYTE>(system, system + 12));
}

// The security stream of each file is its own, also where files of one owner and mode share a
// synthesised descriptor: files of other modes, and one with a stored descriptor, in between.
TEST(BackupApi, EachFilesSecurityStreamIsItsOwn)
{
    std::u16string dir = freshDirectory(u"security");
    struct Case {
        const char16_t *name;
        mode_t mode;
    } cases[] = {{u"\\a", 0600}, {u"\\b", 0644}, {u"\\c", 0600}, {u"\\d", 0640}, {u"\\e", 0600}};
    for (const Case &c : cases) {
        CloseHandle(open(dir + c.name, GENERIC_WRITE, 0, CREATE_NEW));
        ASSERT_EQ(chmod(hostPath(dir + c.name).c_str(), c.mode), 0);
    }
    // d gets a descriptor of its own, restored through a security stream.
    const BYTE ownerOnly[36] = {1, 0, 0x00, 0x80, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
    HANDLE writer = open(dir + u"\\d", WRITE_OWNER | WRITE_DAC, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    BYTE header[20] = {BACKUP_SECURITY_DATA, 0, 0, 0, STREAM_CONTAINS_SECURITY, 0, 0, 0, sizeof ownerOnly};
    LPVOID context = nullptr;
    DWORD done = 0;
    ASSERT_TRUE(BackupWrite(writer, header, sizeof header, &done, FALSE, TRUE, &context));
    ASSERT_TRUE(BackupWrite(writer, const_cast<BYTE *>(ownerOnly), sizeof ownerOnly, &done, FALSE, TRUE, &context));
    BackupWrite(writer, nullptr, 0, &done, TRUE, TRUE, &context);
    CloseHandle(writer);

    for (const Case &c : cases) {
        SCOPED_TRACE(static_cast<char>(c.name[1]));
        std::u16string file = dir + c.name;
        BYTE expected[512];
        DWORD needed = 0;
        ASSERT_TRUE(GetFileSecurityW(file.c_str(), OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                       DACL_SECURITY_INFORMATION,
                                     expected, sizeof expected, &needed));
        HANDLE in = open(file, GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
        BYTE stream[1024];
        context = nullptr;
        ASSERT_TRUE(BackupRead(in, stream, sizeof stream, &done, FALSE, TRUE, &context));
        BackupRead(in, nullptr, 0, &done, TRUE, TRUE, &context);
        CloseHandle(in);
        ASSERT_EQ(stream[0], BACKUP_SECURITY_DATA);
        ASSERT_EQ(stream[8], needed);
        EXPECT_EQ(memcmp(stream + 20, expected, needed), 0);
    }
}
