// Directory change notification: what each filter bit reacts to, subtrees, Windows' signalling
// rules, waits, and the errors of FindFirstChangeNotificationA.
#include "machine/machine.h"
#include "machine/text.h"

#include <windows.h>

#include "support/host_path.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

using namespace winsim;

namespace {

constexpr DWORD kEveryChange = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                               FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                               FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_LAST_ACCESS |
                               FILE_NOTIFY_CHANGE_CREATION | FILE_NOTIFY_CHANGE_SECURITY;

// A fresh directory of C: and its host path.
struct Directory {
    std::string windows;
    std::string host;
    explicit Directory(const char *name)
    {
        static int counter = 0;
        windows = "C:\\notify-" + std::string(name) + "-" + std::to_string(counter++);
        host = hostPath(toUtf16(windows));
        mkdir(host.c_str(), 0755);
    }
};

void writeFile(const std::string &path, const std::string &contents)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

// A change handle and a second one that sees every change of the same tree: once the second is
// signalled, the first has been shown the same changes (one thread reads them all, in order).
struct Watched {
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE everything = INVALID_HANDLE_VALUE;
    Watched(const Directory &dir, DWORD filter, bool subtree = false)
    {
        handle = FindFirstChangeNotificationA(dir.windows.c_str(), subtree, filter);
        everything = FindFirstChangeNotificationA(dir.windows.c_str(), TRUE, kEveryChange);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE);
        EXPECT_NE(everything, INVALID_HANDLE_VALUE);
    }
    ~Watched()
    {
        FindCloseChangeNotification(handle);
        FindCloseChangeNotification(everything);
    }
    // Whether the change made so far signalled the handle under test.
    bool signalledAfterChange()
    {
        EXPECT_EQ(WaitForSingleObject(everything, 10000), WAIT_OBJECT_0) << "the change was never reported";
        FindNextChangeNotification(everything);
        return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
    }
};

int inotifyInstances()
{
    int count = 0;
    DIR *fds = opendir("/proc/self/fd");
    while (dirent *entry = readdir(fds)) {
        char target[64] = {};
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::string(target) == "anon_inode:inotify")
            ++count;
    }
    closedir(fds);
    return count;
}

}  // namespace

TEST(ChangeNotification, NameFiltersTellFilesFromDirectories)
{
    Directory dir("names");
    {
        Watched files(dir, FILE_NOTIFY_CHANGE_FILE_NAME);
        mkdir((dir.host + "/sub").c_str(), 0755);
        EXPECT_FALSE(files.signalledAfterChange());
        writeFile(dir.host + "/new.txt", "x");
        EXPECT_TRUE(files.signalledAfterChange());
    }
    {
        Watched directories(dir, FILE_NOTIFY_CHANGE_DIR_NAME);
        rename((dir.host + "/new.txt").c_str(), (dir.host + "/renamed.txt").c_str());
        EXPECT_FALSE(directories.signalledAfterChange());
        rmdir((dir.host + "/sub").c_str());
        EXPECT_TRUE(directories.signalledAfterChange());
    }
    {
        Watched files(dir, FILE_NOTIFY_CHANGE_FILE_NAME);
        unlink((dir.host + "/renamed.txt").c_str());
        EXPECT_TRUE(files.signalledAfterChange());
    }
}

TEST(ChangeNotification, WritesSignalSizeAndLastWriteButNotNames)
{
    Directory dir("writes");
    writeFile(dir.host + "/data.bin", "1");
    for (DWORD filter : {FILE_NOTIFY_CHANGE_SIZE, FILE_NOTIFY_CHANGE_LAST_WRITE}) {
        Watched watched(dir, filter);
        writeFile(dir.host + "/data.bin", "12345");
        EXPECT_TRUE(watched.signalledAfterChange()) << filter;
    }
    Watched names(dir, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME);
    writeFile(dir.host + "/data.bin", "123");
    EXPECT_FALSE(names.signalledAfterChange());
}

TEST(ChangeNotification, MetadataInExtendedAttributesSignalsTheMetadataFilters)
{
    Directory dir("metadata");
    const std::u16string file = toUtf16(dir.windows + "\\f.txt");
    writeFile(dir.host + "/f.txt", "x");
    {
        // SetFileAttributesW writes the DOS attributes as an extended attribute.
        Watched attributes(dir, FILE_NOTIFY_CHANGE_ATTRIBUTES);
        ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_HIDDEN));
        EXPECT_TRUE(attributes.signalledAfterChange());
    }
    {
        Watched security(dir, FILE_NOTIFY_CHANGE_SECURITY);
        ASSERT_EQ(setxattr((dir.host + "/f.txt").c_str(), "user.NTACL", "\x01\x00", 2, 0), 0);
        EXPECT_TRUE(security.signalledAfterChange());
    }
    for (DWORD filter : {FILE_NOTIFY_CHANGE_CREATION, FILE_NOTIFY_CHANGE_LAST_WRITE}) {
        Watched times(dir, filter);
        const struct timespec stamps[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (dir.host + "/f.txt").c_str(), stamps, 0), 0);
        EXPECT_TRUE(times.signalledAfterChange()) << filter;
    }
    {
        Watched access(dir, FILE_NOTIFY_CHANGE_LAST_ACCESS);
        char byte;
        int fd = open((dir.host + "/f.txt").c_str(), O_RDONLY);
        ASSERT_EQ(read(fd, &byte, 1), 1);
        close(fd);
        EXPECT_TRUE(access.signalledAfterChange());
    }
}

TEST(ChangeNotification, SubtreeIncludesDirectoriesCreatedLater)
{
    Directory dir("subtree");
    mkdir((dir.host + "/existing").c_str(), 0755);
    Watched tree(dir, FILE_NOTIFY_CHANGE_FILE_NAME, true);
    Watched top(dir, FILE_NOTIFY_CHANGE_FILE_NAME, false);

    writeFile(dir.host + "/existing/a.txt", "a");
    EXPECT_TRUE(tree.signalledAfterChange());
    EXPECT_FALSE(top.signalledAfterChange());
    FindNextChangeNotification(tree.handle);

    // A directory made after the watch began, and one made inside it.
    mkdir((dir.host + "/later").c_str(), 0755);
    EXPECT_FALSE(tree.signalledAfterChange());
    mkdir((dir.host + "/later/deeper").c_str(), 0755);
    tree.signalledAfterChange();
    writeFile(dir.host + "/later/deeper/b.txt", "b");
    EXPECT_TRUE(tree.signalledAfterChange());
    FindNextChangeNotification(tree.handle);

    // A directory moved into the tree is watched too; one moved out is not.
    Directory outside("outside");
    mkdir((outside.host + "/moved").c_str(), 0755);
    ASSERT_EQ(rename((outside.host + "/moved").c_str(), (dir.host + "/later/moved").c_str()), 0);
    tree.signalledAfterChange();
    FindNextChangeNotification(tree.handle);
    writeFile(dir.host + "/later/moved/c.txt", "c");
    EXPECT_TRUE(tree.signalledAfterChange());
    FindNextChangeNotification(tree.handle);
    ASSERT_EQ(rename((dir.host + "/later").c_str(), (outside.host + "/later").c_str()), 0);
    tree.signalledAfterChange();
    FindNextChangeNotification(tree.handle);
    HANDLE away = FindFirstChangeNotificationA(outside.windows.c_str(), TRUE, FILE_NOTIFY_CHANGE_FILE_NAME);
    writeFile(outside.host + "/later/deeper/gone.txt", "d");
    ASSERT_EQ(WaitForSingleObject(away, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(tree.handle, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    FindCloseChangeNotification(away);
}

TEST(ChangeNotification, SignalledUntilRearmedAndSignalledAgainForChangesMeanwhile)
{
    Directory dir("rearm");
    HANDLE handle = FindFirstChangeNotificationA(dir.windows.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WaitForSingleObject(handle, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    writeFile(dir.host + "/one", "1");
    EXPECT_EQ(WaitForSingleObject(handle, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_OBJECT_0) << "a wait does not reset a change handle";
    EXPECT_TRUE(FindNextChangeNotification(handle));
    EXPECT_EQ(WaitForSingleObject(handle, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // Two changes while signalled: the re-arm finds the handle signalled again, once.
    writeFile(dir.host + "/two", "2");
    EXPECT_EQ(WaitForSingleObject(handle, 10000), WAIT_OBJECT_0);
    writeFile(dir.host + "/three", "3");
    writeFile(dir.host + "/four", "4");
    HANDLE sentinel = FindFirstChangeNotificationA(dir.windows.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
    writeFile(dir.host + "/five", "5");
    ASSERT_EQ(WaitForSingleObject(sentinel, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(FindNextChangeNotification(handle));
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(FindNextChangeNotification(handle));
    EXPECT_EQ(WaitForSingleObject(handle, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_TRUE(FindCloseChangeNotification(sentinel));
    EXPECT_TRUE(FindCloseChangeNotification(handle));
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(FindNextChangeNotification(handle));
    EXPECT_FALSE(FindCloseChangeNotification(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(ChangeNotification, AWaitIsReleasedByAChangeFromAnotherThread)
{
    Directory dir("thread");
    HANDLE handle = FindFirstChangeNotificationA(dir.windows.c_str(), TRUE, FILE_NOTIFY_CHANGE_FILE_NAME);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        writeFile(dir.host + "/from-thread", "x");
    });
    EXPECT_EQ(WaitForSingleObject(handle, INFINITE), WAIT_OBJECT_0);
    writer.join();
    // Events and change handles wait together.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    FindNextChangeNotification(handle);
    HANDLE both[] = {event, handle};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    writeFile(dir.host + "/again", "y");
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10000), WAIT_OBJECT_0 + 1);
    CloseHandle(event);
    // CloseHandle ends a change handle as FindCloseChangeNotification does.
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
}

TEST(ChangeNotification, ErrorsOfWindows)
{
    Directory dir("errors");
    writeFile(dir.host + "/file.txt", "x");
    auto fails = [](const std::string &path, DWORD filter) {
        SetLastError(0);
        HANDLE handle = FindFirstChangeNotificationA(path.c_str(), FALSE, filter);
        EXPECT_EQ(handle, INVALID_HANDLE_VALUE) << path;
        return GetLastError();
    };
    EXPECT_EQ(fails(dir.windows + "\\missing", FILE_NOTIFY_CHANGE_FILE_NAME), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(fails(dir.windows + "\\no\\such", FILE_NOTIFY_CHANGE_FILE_NAME), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(fails(dir.windows + "\\file.txt", FILE_NOTIFY_CHANGE_FILE_NAME), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_EQ(fails(dir.windows, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(fails(dir.windows, 0x1000), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(fails("Q:\\nowhere", FILE_NOTIFY_CHANGE_FILE_NAME), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(ChangeNotification, OneInotifyInstanceServesEveryHandle)
{
    Directory dir("instances");
    std::vector<HANDLE> handles;
    for (int i = 0; i < 20; ++i)
        handles.push_back(FindFirstChangeNotificationA(dir.windows.c_str(), i % 2, FILE_NOTIFY_CHANGE_FILE_NAME));
    EXPECT_EQ(inotifyInstances(), 1);
    writeFile(dir.host + "/all", "x");
    for (HANDLE handle : handles) {
        EXPECT_EQ(WaitForSingleObject(handle, 10000), WAIT_OBJECT_0);
        FindCloseChangeNotification(handle);
    }
}
