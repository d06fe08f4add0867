// MoveFileExW: renames, replacing, copies between drives with everything a file carries, the
// errors of Windows, and operations recorded for the next start of the machine.
#include "kernel32/pending_renames.h"
#include "machine/file_metadata.h"
#include "machine/machine.h"
#include "machine/restart.h"
#include "machine/text.h"

#include <windows.h>

#include "support/host_path.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

using namespace winsim;

namespace {

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

void writeFile(const std::string &path, const std::string &contents)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A fresh directory on a drive; the drive is made when missing.
std::u16string freshDirectory(char16_t drive, const char16_t *name)
{
    static int counter = 0;
    mkdir(driveDirectory(drive).c_str(), 0755);
    std::u16string dir = std::u16string(1, drive) + u":\\move-" + name + u"-" + toUtf16(std::to_string(counter++));
    mkdir(hostPath(dir).c_str(), 0755);
    return dir;
}

DWORD moveError(const std::u16string &from, const std::u16string *to, DWORD flags)
{
    SetLastError(0);
    BOOL ok = MoveFileExW(from.c_str(), to ? to->c_str() : nullptr, flags);
    DWORD error = GetLastError();
    EXPECT_EQ(ok != FALSE, error == 0) << "the result and the last error agree";
    return error;
}

DWORD moveError(const std::u16string &from, const std::u16string &to, DWORD flags)
{
    return moveError(from, &to, flags);
}

void addStream(const std::string &path, const std::u16string &name, const std::string &data)
{
    int fd = open(path.c_str(), O_RDONLY);
    std::unique_ptr<NamedStreamWriter> writer;
    ASSERT_EQ(NamedStreamWriter::open(fd, name, data.size(), writer), 0u);
    ASSERT_EQ(writer->write(reinterpret_cast<const uint8_t *>(data.data()), data.size()), 0u);
    ASSERT_EQ(writer->finish(fd), 0u);
    close(fd);
}

std::vector<std::pair<std::u16string, std::string>> streamsOf(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY);
    std::vector<NamedStream> streams;
    EXPECT_EQ(listNamedStreams(fd, streams), 0u);
    close(fd);
    std::vector<std::pair<std::u16string, std::string>> out;
    for (const NamedStream &stream : streams) {
        std::string data(stream.size, '\0');
        EXPECT_EQ(stream.readAt(0, reinterpret_cast<uint8_t *>(data.data()), data.size()),
                  static_cast<ssize_t>(data.size()));
        out.emplace_back(stream.name, data);
    }
    return out;
}

// The value as stored, byte for byte; empty when there is none.
std::vector<uint8_t> pendingValue()
{
    HKEY key = nullptr;
    std::vector<uint8_t> data;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS)
        return data;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, u"PendingFileRenameOperations", nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        data.resize(size);
        RegQueryValueExW(key, u"PendingFileRenameOperations", nullptr, &type, data.data(), &size);
        EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    }
    RegCloseKey(key);
    return data;
}

// A literal with embedded NULs, all of it.
template <size_t N>
std::u16string units(const char16_t (&text)[N])
{
    return std::u16string(text, N - 1);
}

std::vector<uint8_t> utf16Bytes(const std::u16string &text)
{
    std::vector<uint8_t> bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

}  // namespace

TEST(MoveFile, RenamesWithinADriveAndReplacesOnlyWhenAsked)
{
    std::u16string dir = freshDirectory(u'C', u"rename");
    const std::string host = hostPath(dir);
    writeFile(host + "/a.txt", "alpha");
    writeFile(host + "/b.txt", "beta");

    EXPECT_EQ(moveError(dir + u"\\a.txt", dir + u"\\b.txt", 0), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(moveError(dir + u"\\a.txt", dir + u"\\b.txt", MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH), 0u);
    EXPECT_FALSE(exists(host + "/a.txt"));
    EXPECT_EQ(readFile(host + "/b.txt"), "alpha");

    // A change of case only, and a move onto itself.
    EXPECT_EQ(moveError(dir + u"\\b.txt", dir + u"\\B.TXT", 0), 0u);
    EXPECT_TRUE(exists(host + "/B.TXT"));
    EXPECT_FALSE(exists(host + "/b.txt"));
    EXPECT_EQ(moveError(dir + u"\\B.TXT", dir + u"\\B.TXT", 0), 0u);

    // Directories move within a drive with their content.
    mkdir((host + "/sub").c_str(), 0755);
    writeFile(host + "/sub/inner", "i");
    EXPECT_EQ(moveError(dir + u"\\sub", dir + u"\\moved", 0), 0u);
    EXPECT_EQ(readFile(host + "/moved/inner"), "i");
    EXPECT_EQ(moveError(dir + u"\\B.TXT", dir + u"\\moved", MOVEFILE_REPLACE_EXISTING),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(MoveFile, ErrorsOfWindows)
{
    std::u16string dir = freshDirectory(u'C', u"errors");
    const std::string host = hostPath(dir);
    writeFile(host + "/f.txt", "f");
    writeFile(host + "/ro.txt", "r");
    ASSERT_TRUE(SetFileAttributesW((dir + u"\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));

    EXPECT_EQ(moveError(dir + u"\\missing", dir + u"\\x", 0), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(moveError(dir + u"\\no\\missing", dir + u"\\x", 0), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(moveError(dir + u"\\f.txt", dir + u"\\no\\x", 0), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(moveError(dir + u"\\f.txt", dir + u"\\ro.txt", MOVEFILE_REPLACE_EXISTING),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(moveError(dir + u"\\f.txt", nullptr, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(moveError(dir + u"\\f.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(moveError(dir + u"\\f.txt", dir + u"\\g.txt", 0x100), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(moveError(dir + u"\\f.txt", dir + u"\\bad|name", 0), static_cast<DWORD>(ERROR_INVALID_NAME));

    // A file open without FILE_SHARE_DELETE cannot be renamed.
    HANDLE open = CreateFileW((dir + u"\\f.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    ASSERT_NE(open, INVALID_HANDLE_VALUE);
    EXPECT_EQ(moveError(dir + u"\\f.txt", dir + u"\\g.txt", 0), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(open);
    open = CreateFileW((dir + u"\\f.txt").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(moveError(dir + u"\\f.txt", dir + u"\\g.txt", 0), 0u);
    CloseHandle(open);
}

TEST(MoveFile, AcrossDrivesOnlyWithCopyAllowedAndWithEverythingTheFileCarries)
{
    std::u16string source = freshDirectory(u'C', u"from");
    std::u16string target = freshDirectory(u'D', u"to");
    const std::string from = hostPath(source) + "/doc.txt";
    writeFile(from, "the data");
    addStream(from, u"small", "tiny stream");
    addStream(from, u"large", std::string(100000, 's'));  // beyond what the file system keeps in attributes
    ASSERT_TRUE(SetFileAttributesW((source + u"\\doc.txt").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    SecurityDescriptor sd = synthesiseSecurityDescriptor(0, 0, 0640);
    sd.owner = makeSid(5, {32, 544});
    {
        int fd = open(from.c_str(), O_RDONLY);
        struct stat st;
        fstat(fd, &st);
        ASSERT_EQ(writeSecurity(fd, st, sd, partsPresent(sd)), 0u);
        close(fd);
    }
    const struct timespec stamps[2] = {{1200000000, 5}, {1300000000, 7}};
    utimensat(AT_FDCWD, from.c_str(), stamps, 0);

    EXPECT_EQ(moveError(source + u"\\doc.txt", target + u"\\doc.txt", 0), static_cast<DWORD>(ERROR_NOT_SAME_DEVICE));
    EXPECT_TRUE(exists(from));
    ASSERT_EQ(moveError(source + u"\\doc.txt", target + u"\\doc.txt", MOVEFILE_COPY_ALLOWED), 0u);

    const std::string to = hostPath(target) + "/doc.txt";
    EXPECT_FALSE(exists(from));
    EXPECT_EQ(readFile(to), "the data");
    auto streams = streamsOf(to);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0], std::make_pair(std::u16string(u"large"), std::string(100000, 's')));
    EXPECT_EQ(streams[1], std::make_pair(std::u16string(u"small"), std::string("tiny stream")));
    EXPECT_EQ(GetFileAttributesW((target + u"\\doc.txt").c_str()),
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    int fd = open(to.c_str(), O_RDONLY);
    struct stat st;
    fstat(fd, &st);
    SecurityDescriptor moved = readSecurity(fd, st);
    close(fd);
    EXPECT_EQ(buildSecurityDescriptor(moved, partsPresent(sd)), buildSecurityDescriptor(sd, partsPresent(sd)));
    EXPECT_EQ(st.st_mtim.tv_sec, 1300000000);
    // Nothing is left behind beside the moved file.
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((target + u"\\*").c_str(), &entry);
    int entries = 0;
    do
        ++entries;
    while (FindNextFileW(search, &entry));
    FindClose(search);
    EXPECT_EQ(entries, 3) << ". .. doc.txt";

    // Replacing on the other drive, and directories, which do not travel.
    writeFile(from, "second");
    EXPECT_EQ(moveError(source + u"\\doc.txt", target + u"\\doc.txt", MOVEFILE_COPY_ALLOWED),
              static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(moveError(source + u"\\doc.txt", target + u"\\doc.txt", MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING),
              0u);
    EXPECT_EQ(readFile(to), "second");
    EXPECT_TRUE(streamsOf(to).empty());
    mkdir((hostPath(source) + "/dir").c_str(), 0755);
    EXPECT_EQ(moveError(source + u"\\dir", target + u"\\dir", MOVEFILE_COPY_ALLOWED),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(MoveFile, AnEncryptedFileStaysEncryptedAndReadableAcrossDrives)
{
    std::u16string source = freshDirectory(u'C', u"efs");
    std::u16string target = freshDirectory(u'D', u"efs");
    const std::string from = hostPath(source) + "/secret.txt";
    writeFile(from, "ledger contents");
    addStream(from, u"notes", "stream contents");
    ASSERT_TRUE(EncryptFileW((source + u"\\secret.txt").c_str())) << GetLastError();
    ASSERT_NE(readFile(from), "ledger contents") << "stored as ciphertext";

    ASSERT_EQ(moveError(source + u"\\secret.txt", target + u"\\secret.txt", MOVEFILE_COPY_ALLOWED), 0u);
    const std::u16string moved = target + u"\\secret.txt";
    EXPECT_TRUE(GetFileAttributesW(moved.c_str()) & FILE_ATTRIBUTE_ENCRYPTED);
    ASSERT_TRUE(DecryptFileW(moved.c_str(), 0)) << GetLastError();
    EXPECT_EQ(readFile(hostPath(target) + "/secret.txt"), "ledger contents");
    auto streams = streamsOf(hostPath(target) + "/secret.txt");
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].second, "stream contents");
}

TEST(MoveFile, ASparseFileKeepsItsSizeAndHolesAcrossDrives)
{
    std::u16string source = freshDirectory(u'C', u"sparse");
    std::u16string target = freshDirectory(u'D', u"sparse");
    const std::string from = hostPath(source) + "/big.bin";
    int fd = open(from.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(pwrite(fd, "head", 4, 0), 4);
    ASSERT_EQ(pwrite(fd, "tail", 4, 5000000000 - 4), 4);
    close(fd);
    ASSERT_EQ(moveError(source + u"\\big.bin", target + u"\\big.bin", MOVEFILE_COPY_ALLOWED), 0u);
    struct stat st;
    ASSERT_EQ(stat((hostPath(target) + "/big.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 5000000000);
    EXPECT_LT(st.st_blocks * 512, 100 * 1024 * 1024) << "the holes stay holes";
    char tail[4];
    fd = open((hostPath(target) + "/big.bin").c_str(), O_RDONLY);
    ASSERT_EQ(pread(fd, tail, 4, 5000000000 - 4), 4);
    close(fd);
    EXPECT_EQ(std::string(tail, 4), "tail");
}

TEST(MoveFile, NothingMovesInsideAShadowCopy)
{
    const std::string frozen = shadowCopyDirectory(41);
    mkdir((machineRoot() + "/shadow").c_str(), 0755);
    mkdir(frozen.c_str(), 0755);
    writeFile(frozen + "/kept.txt", "frozen");
    const std::u16string device = u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy41";
    EXPECT_EQ(moveError(device + u"\\kept.txt", device + u"\\other.txt", 0), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    std::u16string live = freshDirectory(u'C', u"fromshadow");
    EXPECT_EQ(moveError(live, device + u"\\inside", 0), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    // Copied out, the snapshot's file stays where it is.
    EXPECT_EQ(moveError(device + u"\\kept.txt", live + u"\\kept.txt", MOVEFILE_COPY_ALLOWED), 0u);
    EXPECT_EQ(readFile(frozen + "/kept.txt"), "frozen");
    EXPECT_EQ(readFile(hostPath(live) + "/kept.txt"), "frozen");
}

TEST(PendingRenames, TheValueHasWindowsLayout)
{
    std::vector<PendingRename> renames = {{u"\\??\\C:\\a", u"\\??\\C:\\b", false},
                                          {u"\\??\\C:\\c", u"", false},
                                          {u"\\??\\C:\\d", u"\\??\\C:\\e", true}};
    std::u16string text = encodePendingRenames(renames);
    EXPECT_EQ(text, units(u"\\??\\C:\\a\0\\??\\C:\\b\0\\??\\C:\\c\0\0\\??\\C:\\d\0!\\??\\C:\\e\0\0"));
    auto decoded = decodePendingRenames(text);
    ASSERT_EQ(decoded.size(), 3u);
    EXPECT_EQ(decoded[1].source, u"\\??\\C:\\c");
    EXPECT_TRUE(decoded[1].target.empty());
    EXPECT_TRUE(decoded[2].replace);
    EXPECT_EQ(decoded[2].target, u"\\??\\C:\\e");
    // Left by another program without its final NUL, or cut in the middle of a pair.
    EXPECT_EQ(decodePendingRenames(units(u"\\??\\C:\\x\0\\??\\C:\\y")).size(), 1u);
    EXPECT_EQ(decodePendingRenames(units(u"\\??\\C:\\x"))[0].target, u"");
    EXPECT_TRUE(decodePendingRenames(std::u16string()).empty());

    EXPECT_EQ(ntNameOf(machineRoot() + "/drive_c/dir/f"), u"\\??\\C:\\dir\\f");
    EXPECT_EQ(ntNameOf(machineRoot() + "/unc/server/share/f"), u"\\??\\UNC\\server\\share\\f");
    EXPECT_EQ(win32NameOf(u"\\??\\UNC\\server\\share\\f"), u"\\\\?\\UNC\\server\\share\\f");
}

TEST(PendingRenames, RecordedForAdministratorsAndCarriedOutAtRestart)
{
    std::u16string dir = freshDirectory(u'C', u"delayed");
    const std::string host = hostPath(dir);
    writeFile(host + "/old.txt", "old");
    writeFile(host + "/new.txt", "new");
    writeFile(host + "/kept.txt", "kept");
    writeFile(host + "/doomed.txt", "doomed");
    mkdir((host + "/emptydir").c_str(), 0755);

    ASSERT_EQ(moveError(dir + u"\\new.txt", dir + u"\\old.txt", MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING),
              0u);
    ASSERT_EQ(moveError(dir + u"\\doomed.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT), 0u);
    ASSERT_EQ(moveError(dir + u"\\emptydir", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT), 0u);
    ASSERT_EQ(moveError(dir + u"\\kept.txt", dir + u"\\old.txt", MOVEFILE_DELAY_UNTIL_REBOOT), 0u);
    // Nothing happens before the restart.
    EXPECT_EQ(readFile(host + "/old.txt"), "old");
    EXPECT_TRUE(exists(host + "/doomed.txt"));

    const std::u16string nt = u"\\??\\" + dir;
    std::u16string expected = nt + u"\\new.txt" + u'\0' + u"!" + nt + u"\\old.txt" + u'\0' + nt + u"\\doomed.txt" +
                              u'\0' + u'\0' + nt + u"\\emptydir" + u'\0' + u'\0' + nt + u"\\kept.txt" + u'\0' + nt +
                              u"\\old.txt" + u'\0' + u'\0';
    EXPECT_EQ(pendingValue(), utf16Bytes(expected));

    std::string message;
    DWORD error = 0;
    for (const StartupStep &step : restartMachine()) {
        if (step.name == "pending file renames") {
            message = step.message;
            error = step.error;
        }
    }
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << message;
    EXPECT_EQ(readFile(host + "/old.txt"), "new");
    EXPECT_FALSE(exists(host + "/new.txt"));
    EXPECT_FALSE(exists(host + "/doomed.txt"));
    EXPECT_FALSE(exists(host + "/emptydir"));
    // The last one found its target taken and was not allowed to replace it.
    EXPECT_EQ(readFile(host + "/kept.txt"), "kept");
    EXPECT_NE(message.find("Cannot create a file when that file already exists."), std::string::npos) << message;
    // Done once: the list is gone.
    EXPECT_TRUE(pendingValue().empty());
}

TEST(PendingRenames, RefusedWithoutAdministrativeRights)
{
    std::u16string dir = freshDirectory(u'C', u"notadmin");
    writeFile(hostPath(dir) + "/f.txt", "f");
    setMachineSetting(machineRoot(), "administrator", "no");
    EXPECT_EQ(moveError(dir + u"\\f.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    setMachineSetting(machineRoot(), "administrator", "yes");
    EXPECT_TRUE(exists(hostPath(dir) + "/f.txt"));
}
