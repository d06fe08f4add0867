// Directory searches through the narrow functions, the entries every search reports, and the
// types of the machine's drives.
#include "machine/machine.h"
#include "machine/text.h"

#include <windows.h>

#include "support/host_path.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/xattr.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>

using namespace winsim;

namespace {

std::string freshDirectory(const char *name)
{
    static int counter = 0;
    std::string dir = "C:\\search-" + std::string(name) + "-" + std::to_string(counter++);
    mkdir(hostPath(toUtf16(dir)).c_str(), 0755);
    return dir;
}

uint64_t sizeOf(const WIN32_FIND_DATAA &data)
{
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

TEST(FileSearch, NarrowSearchReportsUtf8NamesDotEntriesFirstAndLargeSizes)
{
    const std::string dir = freshDirectory("narrow");
    const std::string host = hostPath(toUtf16(dir));
    std::ofstream(host + "/caf\xc3\xa9.txt") << "1234";
    mkdir((host + "/sub").c_str(), 0755);
    int fd = open((host + "/big.bin").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(ftruncate(fd, 5000000000), 0);
    close(fd);

    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::vector<std::string> order{data.cFileName};
    std::map<std::string, WIN32_FIND_DATAA> entries{{data.cFileName, data}};
    while (FindNextFileA(search, &data)) {
        order.push_back(data.cFileName);
        entries[data.cFileName] = data;
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(search));
    ASSERT_EQ(order.size(), 5u);
    EXPECT_EQ(order[0], ".");
    EXPECT_EQ(order[1], "..");
    EXPECT_TRUE(entries["."].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(entries[".."].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(entries["sub"].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(sizeOf(entries["big.bin"]), 5000000000u);
    EXPECT_EQ(sizeOf(entries["caf\xc3\xa9.txt"]), 4u);
    EXPECT_EQ(entries["caf\xc3\xa9.txt"].dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));

    // One entry by name, and by a pattern in the other case.
    search = FindFirstFileA((dir + "\\BIG.*").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "big.bin");
    EXPECT_EQ(sizeOf(data), 5000000000u);
    EXPECT_FALSE(FindNextFileA(search, &data));
    FindClose(search);
    search = FindFirstFileA((dir + "\\caf\xc3\xa9.txt").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "caf\xc3\xa9.txt");
    FindClose(search);

    EXPECT_EQ(FindFirstFileA((dir + "\\*.none").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FindFirstFileA((dir + "\\gone\\*").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    // A later snapshot of C: in this process need not copy it.
    unlink((host + "/big.bin").c_str());
}

TEST(FileSearch, PatternsAreCheckedAsWholePaths)
{
    const std::string dir = freshDirectory("patterns");
    std::ofstream(hostPath(toUtf16(dir)) + "/a.txt") << "a";
    WIN32_FIND_DATAW data;
    std::u16string longPattern = toUtf16(dir) + u"\\" + std::u16string(260, u'x') + u"*";
    EXPECT_EQ(FindFirstFileW(longPattern.c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(FindFirstFileW((toUtf16(dir) + u"\\a|*").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    HANDLE search = FindFirstFileW((u"\\\\?\\" + toUtf16(dir) + u"\\A.*").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(data.cFileName), u"a.txt");
    FindClose(search);
}

TEST(FileSearch, ListingsSeeEveryChangeOfAttributes)
{
    // Listings keep the attributes of files whose change time is settled (over a second old).
    const std::string dir = freshDirectory("changes");
    const std::string host = hostPath(toUtf16(dir));
    std::ofstream(host + "/f.txt") << "f";
    for (const char *name : {"/g1", "/g2", "/g3", "/g4"})
        std::ofstream(host + name) << "g";
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    auto listed = [&] {
        WIN32_FIND_DATAA data;
        HANDLE search = FindFirstFileA((dir + "\\f*").c_str(), &data);
        EXPECT_NE(search, INVALID_HANDLE_VALUE);
        FindClose(search);
        return data.dwFileAttributes;
    };
    EXPECT_EQ(listed(), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(listed(), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_TRUE(SetFileAttributesW(toUtf16(dir + "\\f.txt").c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(listed(), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    ASSERT_EQ(chmod((host + "/f.txt").c_str(), 0444), 0);
    ASSERT_EQ(removexattr((host + "/f.txt").c_str(), "user.DOSATTRIB"), 0);
    EXPECT_EQ(listed(), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
    // Entries that come and go between listings do not shift what the others report.
    auto all = [&] {
        std::map<std::string, DWORD> entries;
        WIN32_FIND_DATAA data;
        HANDLE search = FindFirstFileA((dir + "\\g*").c_str(), &data);
        EXPECT_NE(search, INVALID_HANDLE_VALUE);
        do
            entries[data.cFileName] = data.dwFileAttributes;
        while (FindNextFileA(search, &data));
        FindClose(search);
        return entries;
    };
    EXPECT_EQ(all().size(), 4u);
    ASSERT_TRUE(SetFileAttributesW(toUtf16(dir + "\\g3").c_str(), FILE_ATTRIBUTE_SYSTEM));
    unlink((host + "/g2").c_str());
    std::ofstream(host + "/g5") << "g";
    const std::map<std::string, DWORD> expected = {{"g1", FILE_ATTRIBUTE_ARCHIVE},
                                                   {"g3", FILE_ATTRIBUTE_SYSTEM},
                                                   {"g4", FILE_ATTRIBUTE_ARCHIVE},
                                                   {"g5", FILE_ATTRIBUTE_ARCHIVE}};
    EXPECT_EQ(all(), expected);
    EXPECT_EQ(all(), expected);

    // The same file under a name with a dot in front is hidden.
    ASSERT_EQ(link((host + "/f.txt").c_str(), (host + "/.f.txt").c_str()), 0);
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((dir + "\\.f.txt").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    EXPECT_EQ(data.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY |
                                                        FILE_ATTRIBUTE_HIDDEN));
}

TEST(DriveType, FixedDrivesMissingLettersSharesAndDeclaredTypes)
{
    EXPECT_EQ(GetDriveTypeW(u"C:\\"), static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeA("C:\\"), static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeA("c:"), static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeA("C:/"), static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeA("Z:\\"), static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeA("\\\\?\\C:\\"), static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeA("C:\\Windows\\"), static_cast<UINT>(DRIVE_FIXED));
    // The root must end in a separator, and exist.
    EXPECT_EQ(GetDriveTypeA("C:\\Windows"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(GetDriveTypeA("C:\\nothing\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(GetDriveTypeA("Q:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(GetDriveTypeA(""), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    // The current directory's drive: the test runs on Z:.
    EXPECT_EQ(GetDriveTypeW(nullptr), static_cast<UINT>(DRIVE_FIXED));

    mkdir((machineRoot() + "/unc/fileserver").c_str(), 0755);
    mkdir((machineRoot() + "/unc/fileserver/backup").c_str(), 0755);
    EXPECT_EQ(GetDriveTypeA("\\\\fileserver\\backup\\"), static_cast<UINT>(DRIVE_REMOTE));
    EXPECT_EQ(GetDriveTypeA("\\\\?\\UNC\\fileserver\\backup\\"), static_cast<UINT>(DRIVE_REMOTE));
    EXPECT_EQ(GetDriveTypeA("\\\\fileserver\\missing\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(GetDriveTypeA("\\\\fileserver\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));

    const std::string &root = machineRoot();
    setMachineSetting(root, "drive.E.type", "cdrom");
    setMachineSetting(root, "drive.F.type", "removable");
    setMachineSetting(root, "drive.R.type", "ramdisk");
    setMachineSetting(root, "drive.m.type", "remote");
    setMachineSetting(root, "drive.U.type", "tape");
    // Declared drives have their type with no medium in them; a folder needs the medium.
    EXPECT_EQ(GetDriveTypeA("E:\\"), static_cast<UINT>(DRIVE_CDROM));
    EXPECT_EQ(GetDriveTypeA("E:\\folder\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(GetDriveTypeA("F:"), static_cast<UINT>(DRIVE_REMOVABLE));
    EXPECT_EQ(GetDriveTypeW(u"R:\\"), static_cast<UINT>(DRIVE_RAMDISK));
    EXPECT_EQ(GetDriveTypeA("M:\\"), static_cast<UINT>(DRIVE_REMOTE));
    EXPECT_EQ(GetDriveTypeA("U:\\"), static_cast<UINT>(DRIVE_UNKNOWN));
    mkdir(driveDirectory(u'E').c_str(), 0755);
    mkdir((driveDirectory(u'E') + "/folder").c_str(), 0755);
    EXPECT_EQ(GetDriveTypeA("E:\\folder\\"), static_cast<UINT>(DRIVE_CDROM));
    for (const char *key : {"drive.E.type", "drive.F.type", "drive.R.type", "drive.m.type", "drive.U.type"})
        setMachineSetting(root, key, "");
    EXPECT_EQ(GetDriveTypeA("E:\\"), static_cast<UINT>(DRIVE_FIXED));
}
