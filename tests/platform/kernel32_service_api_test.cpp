// The kernel32 functions that the service host calls: environment, program path, current
// directory, events, narrow file functions and the event log.
#include "advapi32/eventlog.h"
#include "machine/machine.h"
#include "machine/paths.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <thread>

using namespace winsim;

TEST(Environment, VariablesFollowTheBufferProtocol)
{
    setenv("UnitVariable", "value", 1);
    char buffer[8];
    EXPECT_EQ(GetEnvironmentVariableA("UNITVARIABLE", buffer, sizeof buffer), 5u);
    EXPECT_STREQ(buffer, "value");
    EXPECT_EQ(GetEnvironmentVariableA("UnitVariable", buffer, 5), 6u);
    SetLastError(0);
    EXPECT_EQ(GetEnvironmentVariableA("NoSuchUnitVariable", buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
    unsetenv("UnitVariable");
}

TEST(Environment, ProgramPathInWindowsForm)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    ASSERT_GT(length, 0u);
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    std::string expected = "Z:" + std::string(self);
    for (char &c : expected)
        c = c == '/' ? '\\' : c;
    EXPECT_EQ(std::string(path, length), expected);

    char small[5];
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), 5u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(small), expected.substr(0, 4));
}

TEST(Environment, CurrentDirectory)
{
    char before[PATH_MAX];
    ASSERT_NE(getcwd(before, sizeof before), nullptr);
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\Windows\\"));
    char now[PATH_MAX];
    ASSERT_NE(getcwd(now, sizeof now), nullptr);
    EXPECT_EQ(std::string(now), machineRoot() + "/drive_c/Windows");
    EXPECT_FALSE(SetCurrentDirectoryA("C:\\NoSuchDirectory"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(SetCurrentDirectoryA("C:\\Windows\\System32\\kernel32.dll"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    ASSERT_EQ(chdir(before), 0);
}

TEST(Files, AppendOnlyHandlesWriteAtTheEnd)
{
    HANDLE first = CreateFileA("C:\\append.txt", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE second = CreateFileA("C:\\append.txt", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(first, "one\r\n", 5, &written, nullptr));
    EXPECT_TRUE(WriteFile(second, "two\r\n", 5, &written, nullptr));
    EXPECT_TRUE(WriteFile(first, "three\r\n", 7, &written, nullptr));
    char buffer[32];
    DWORD read = 0;
    EXPECT_FALSE(ReadFile(first, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(first);
    CloseHandle(second);

    HANDLE reader = CreateFileA("C:\\APPEND.TXT", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(ReadFile(reader, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "one\r\ntwo\r\nthree\r\n");
    EXPECT_FALSE(WriteFile(reader, "x", 1, &written, nullptr));
    CloseHandle(reader);
}

TEST(Events, ManualResetEventReleasesWaiters)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 10), static_cast<DWORD>(WAIT_TIMEOUT));
    std::thread setter([event] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SetEvent(event);
    });
    EXPECT_EQ(WaitForMultipleObjects(1, &event, FALSE, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    setter.join();
    // Manual reset: it stays signalled until reset.
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    ResetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(EventLog, ReportsAreStoredWithTheirRegisteredSource)
{
    EXPECT_EQ(RegisterEventSourceA(nullptr, "Unregistered Source"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                              "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Registered Source", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    HANDLE source = RegisterEventSourceA(nullptr, "Registered Source");
    ASSERT_NE(source, nullptr);
    LPCSTR strings[2] = {"first", "second"};
    EXPECT_TRUE(ReportEventA(source, EVENTLOG_WARNING_TYPE, 3, 42, nullptr, 2, 0, strings, nullptr));
    EXPECT_FALSE(ReportEventA(source, 0x40, 0, 42, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(DeregisterEventSource(source));
    EXPECT_FALSE(ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(RegisterEventSourceA(nullptr, ""), nullptr);

    auto events = readEventLog("Application");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].source, "Registered Source");
    EXPECT_EQ(events[0].type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(events[0].category, 3);
    EXPECT_EQ(events[0].eventId, 42u);
    EXPECT_EQ(events[0].strings, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(events[0].userSid, "");
}
