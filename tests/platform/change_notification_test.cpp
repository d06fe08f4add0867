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

// A change handle under test, and a sentinel: one thread reads every change of the process in
// order, so once a change made after the one under test has reached the sentinel, the handle
// has been shown everything before it.
struct Watched {
    HANDLE handle = INVALID_HANDLE_VALUE;
    Directory sentinelDirectory{"sentinel"};
    HANDLE sentinel = INVALID_HANDLE_VALUE;
    Watched(const Directory &dir, DWORD filter, bool subtree = false)
    {
        handle = FindFirstChangeNotificationA(dir.windows.c_str(), subtree, filter);
        sentinel = FindFirstChangeNotificationA(sentinelDirectory.windows.c_str(), FALSE,
                                                FILE_NOTIFY_CHANGE_FILE_NAME);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE);
        EXPECT_NE(sentinel, INVALID_HANDLE_VALUE);
    }
    ~Watched()
    {
        FindCloseChangeNotification(handle);
        FindCloseChangeNotification(sentinel);
    }
    // Waits until every change made so far has been seen.
    void settle()
    {
        static int count = 0;
        writeFile(sentinelDirectory.host + "/" + std::to_string(count++), "");
        EXPECT_EQ(WaitForSingleObject(sentinel, 10000), WAIT_OBJECT_0) << "a change was never reported";
        FindNextChangeNotification(sentinel);
    }
    // Whether the change signals the handle, which starts unsignalled.
    template <typename Change>
    bool signalledBy(Change change)
    {
        settle();
        FindNextChangeNotification(handle);
        FindNextChangeNotification(handle);
        change();
        settle();
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
        EXPECT_FALSE(files.signalledBy([&] { mkdir((dir.host + "/sub").c_str(), 0755); }));
        EXPECT_TRUE(files.signalledBy([&] { writeFile(dir.host + "/new.txt", "x"); }));
    }
    {
        Watched directories(dir, FILE_NOTIFY_CHANGE_DIR_NAME);
        EXPECT_FALSE(directories.signalledBy(
            [&] { rename((dir.host + "/new.txt").c_str(), (dir.host + "/renamed.txt").c_str()); }));
        EXPECT_TRUE(directories.signalledBy([&] { rmdir((dir.host + "/sub").c_str()); }));
    }
    {
        Watched files(dir, FILE_NOTIFY_CHANGE_FILE_NAME);
        EXPECT_TRUE(files.signalledBy([&] { unlink((dir.host + "/renamed.txt").c_str()); }));
    }
}

TEST(ChangeNotification, WritesSignalSizeAndLastWriteButNotNames)
{
    Directory dir("writes");
    writeFile(dir.host + "/data.bin", "1");
    for (DWORD filter : {FILE_NOTIFY_CHANGE_SIZE, FILE_NOTIFY_CHANGE_LAST_WRITE}) {
        Watched watched(dir, filter);
        EXPECT_TRUE(watched.signalledBy([&] { writeFile(dir.host + "/data.bin", "12345"); })) << filter;
    }
    Watched names(dir, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME);
    EXPECT_FALSE(names.signalledBy([&] { writeFile(dir.host + "/data.bin", "123"); }));
}

TEST(ChangeNotification, MetadataInExtendedAttributesSignalsTheMetadataFilters)
{
    Directory dir("metadata");
    const std::u16string file = toUtf16(dir.windows + "\\f.txt");
    writeFile(dir.host + "/f.txt", "x");
    {
        // SetFileAttributesW writes the DOS attributes as an extended attribute.
        Watched attributes(dir, FILE_NOTIFY_CHANGE_ATTRIBUTES);
        EXPECT_TRUE(attributes.signalledBy([&] { EXPECT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_HIDDEN)); }));
    }
    {
        Watched security(dir, FILE_NOTIFY_CHANGE_SECURITY);
        EXPECT_TRUE(security.signalledBy(
            [&] { EXPECT_EQ(setxattr((dir.host + "/f.txt").c_str(), "user.NTACL", "\x01\x00", 2, 0), 0); }));
    }
    for (DWORD filter : {FILE_NOTIFY_CHANGE_CREATION, FILE_NOTIFY_CHANGE_LAST_WRITE}) {
        Watched times(dir, filter);
        const struct timespec stamps[2] = {{1000000000, 0}, {1000000000, 0}};
        EXPECT_TRUE(times.signalledBy(
            [&] { EXPECT_EQ(utimensat(AT_FDCWD, (dir.host + "/f.txt").c_str(), stamps, 0), 0); }))
            << filter;
    }
    {
        Watched access(dir, FILE_NOTIFY_CHANGE_LAST_ACCESS);
        EXPECT_TRUE(access.signalledBy([&] {
            char byte;
            int fd = open((dir.host + "/f.txt").c_str(), O_RDONLY);
            EXPECT_EQ(read(fd, &byte, 1), 1);
            close(fd);
        }));
    }
}

TEST(ChangeNotification, SubtreeIncludesDirectoriesCreatedLater)
{
    Directory dir("subtree");
    mkdir((dir.host + "/existing").c_str(), 0755);
    Watched tree(dir, FILE_NOTIFY_CHANGE_FILE_NAME, true);
    Watched top(dir, FILE_NOTIFY_CHANGE_FILE_NAME, false);

    auto inExisting = [&] { writeFile(dir.host + "/existing/a.txt", "a"); };
    EXPECT_TRUE(tree.signalledBy(inExisting));
    EXPECT_FALSE(top.signalledBy([&] { writeFile(dir.host + "/existing/b.txt", "b"); }));

    // A directory made after the watch began, and one made inside it.
    EXPECT_FALSE(tree.signalledBy([&] { mkdir((dir.host + "/later").c_str(), 0755); }));
    tree.signalledBy([&] { mkdir((dir.host + "/later/deeper").c_str(), 0755); });
    EXPECT_TRUE(tree.signalledBy([&] { writeFile(dir.host + "/later/deeper/b.txt", "b"); }));

    // A directory moved into the tree is watched too; one moved out is not.
    Directory outside("outside");
    mkdir((outside.host + "/moved").c_str(), 0755);
    tree.signalledBy([&] { rename((outside.host + "/moved").c_str(), (dir.host + "/later/moved").c_str()); });
    EXPECT_TRUE(tree.signalledBy([&] { writeFile(dir.host + "/later/moved/c.txt", "c"); }));
    tree.signalledBy([&] { rename((dir.host + "/later").c_str(), (outside.host + "/later").c_str()); });
    EXPECT_FALSE(tree.signalledBy([&] { writeFile(outside.host + "/later/deeper/gone.txt", "d"); }));
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
