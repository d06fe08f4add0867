// The service log, the system error text, and the error reports to the event log.
#include "service_log.h"
#include "service_test_support.h"

#include "advapi32/eventlog.h"
#include "machine/machine.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>
#include <thread>

using namespace servicetest;

namespace {

class ServiceLog : public testing::Test {
protected:
    void SetUp() override
    {
        makeDirectory("C:\\LogTest");
        setenv("TEMP", "C:\\LogTest", 1);
        writeFile("C:\\LogTest\\qzsrvc.log", "");
        openServiceLog();
        setLogThreshold(LOG_MESSAGE);
    }
    void TearDown() override
    {
        unsetenv("TEMP");
        setLogThreshold(LOG_MESSAGE);
    }
    std::string logText() { return readFile("C:\\LogTest\\qzsrvc.log"); }
};

TEST_F(ServiceLog, PathFollowsTemp)
{
    EXPECT_EQ(serviceLogPath(), "C:\\LogTest\\qzsrvc.log");
    setenv("TEMP", "C:\\Temp\\", 1);
    EXPECT_EQ(serviceLogPath(), "C:\\Temp\\\\qzsrvc.log");
    unsetenv("TEMP");
    EXPECT_EQ(serviceLogPath(), "C:\\WINDOWS\\Temp\\qzsrvc.log");
    // 260 characters do not fit the buffer with their terminator; 259 do.
    setenv("TEMP", ("C:\\" + std::string(257, 't')).c_str(), 1);
    EXPECT_EQ(serviceLogPath(), "C:\\WINDOWS\\Temp\\qzsrvc.log");
    setenv("TEMP", ("C:\\" + std::string(256, 't')).c_str(), 1);
    EXPECT_EQ(serviceLogPath(), "C:\\" + std::string(256, 't') + "\\qzsrvc.log");
}

TEST_F(ServiceLog, LineFormatLabelsAndThreshold)
{
    writeLog("Failed get jre home", LOG_ERROR);
    writeLog("a message", LOG_MESSAGE);
    writeLog("hidden debug", LOG_DEBUG);
    writeLog("hidden trace", LOG_TRACE);
    setLogThreshold(LOG_TRACE);
    writeLog("a debug line", LOG_DEBUG);
    writeLog("a trace line", LOG_TRACE);
    writeLog("no label", -1);
    const std::string text = logText();
    const std::regex line(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d (.*)\r)");
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "every line ends in CR LF";
        std::smatch match;
        std::string one = text.substr(start, end - start);
        ASSERT_TRUE(std::regex_match(one, match, line)) << one;
        messages.push_back(match[1]);
        start = end + 1;
    }
    EXPECT_EQ(messages, (std::vector<std::string>{"Error: Failed get jre home", "Message: a message",
                                                  "Debug: a debug line", "Trace: a trace line", "no label"}));
}

TEST_F(ServiceLog, LinesOfConcurrentWritersStayWhole)
{
    setLogThreshold(LOG_TRACE);
    auto writer = [](const char *name) {
        for (int i = 0; i < 200; ++i)
            writeLog(std::string(name) + " line " + std::to_string(i), LOG_DEBUG);
    };
    std::thread first(writer, "first");
    std::thread second(writer, "second");
    first.join();
    second.join();
    auto messages = logMessages("C:\\LogTest\\qzsrvc.log");
    ASSERT_EQ(messages.size(), 400u);
    for (const std::string &message : messages)
        EXPECT_TRUE(std::regex_match(message, std::regex("Debug: (first|second) line \\d+"))) << message;
}

TEST(LastErrorText, SystemTextWithCode)
{
    char buffer[256];
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_STREQ(lastErrorText(buffer, sizeof buffer), "Access is denied. (0x5)");
    SetLastError(ERROR_SERVICE_EXISTS);
    EXPECT_STREQ(lastErrorText(buffer, sizeof buffer), "The specified service already exists. (0x431)");

    // "Access is denied.\r\n" is 19 characters: 33 bytes are needed, 32 are not enough.
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_STREQ(lastErrorText(buffer, 33), "Access is denied. (0x5)");
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_STREQ(lastErrorText(buffer, 32), "");
    SetLastError(0x20001234);
    EXPECT_STREQ(lastErrorText(buffer, sizeof buffer), "");
    // A system text with an insert is given as it is, with no arguments read for it.
    SetLastError(ERROR_BAD_EXE_FORMAT);
    EXPECT_STREQ(lastErrorText(buffer, sizeof buffer), "%1 is not a valid Win32 application. (0xc1)");
}

// Two processes (a service and a console run, say) append to the same log: every line of each
// stays whole. The log is opened for appending with sharing, and each line is one write.
TEST(ServiceLogFile, TwoProcessesAppendToOneLog)
{
    installProgram("qzprobe", "C:\\P", "qzprobe.exe");
    makeDirectory("C:\\Temp");
    writeFile("C:\\Temp\\qzsrvc.log", "");
    Result first, second;
    std::thread one([&] { first = run("C:\\P\\qzprobe.exe", {"log", "500", "first"}); });
    std::thread two([&] { second = run("C:\\P\\qzprobe.exe", {"log", "500", "second"}); });
    one.join();
    two.join();
    ASSERT_EQ(first.exitCode, 0) << first.output;
    ASSERT_EQ(second.exitCode, 0) << second.output;
    auto messages = logMessages("C:\\Temp\\qzsrvc.log");
    ASSERT_EQ(messages.size(), 1000u);
    int ofFirst = 0;
    for (const std::string &message : messages) {
        ASSERT_TRUE(std::regex_match(message, std::regex("Error: (first|second) \\d+"))) << message;
        ofFirst += message.compare(7, 5, "first") == 0;
    }
    EXPECT_EQ(ofFirst, 500);
}

// A log that cannot be opened (its directory is missing) turns logging off and nothing else.
TEST(ServiceLogFile, ALogThatCannotBeOpenedIsLeftOut)
{
    installProgram("qzprobe", "C:\\P", "qzprobe.exe");
    Result result = run("C:\\P\\qzprobe.exe", {"log", "3", "lost"}, {{"TEMP", "C:\\NoSuchDirectory"}});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_FALSE(fileExists("C:\\NoSuchDirectory"));
    EXPECT_FALSE(fileExists("C:\\WINDOWS\\Temp\\qzsrvc.log"));
}

class ErrorReports : public testing::Test {
protected:
    void TearDown() override { winsim::setMachineSetting(winsim::machineRoot(), "administrator", "yes"); }

    std::string registryString(const char *name)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                          "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\Reporter", 0, KEY_READ,
                          &key) != ERROR_SUCCESS)
            return "<no key>";
        char value[1024] = "";
        DWORD size = sizeof value;
        DWORD type = 0;
        LONG error = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(value), &size);
        RegCloseKey(key);
        if (error != ERROR_SUCCESS)
            return "<no value>";
        if (type == REG_DWORD)
            return std::to_string(*reinterpret_cast<DWORD *>(value));
        return value;
    }
};

TEST_F(ErrorReports, RegistersTheSourceAndWritesOneErrorEvent)
{
    ServiceConfig config("Reporter", "The Reporter");
    SetLastError(ERROR_INVALID_HANDLE);
    config.reportError("SetServiceStatus");
    EXPECT_EQ(config.lastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    char program[512];
    DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
    std::string directory = std::string(program, length).substr(0, std::string(program, length).rfind('\\'));
    EXPECT_EQ(registryString("EventMessageFile"), directory + "\\EventText.dll");
    EXPECT_EQ(registryString("TypesSupported"), "31");

    auto events = winsim::readEventLog("Application");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].source, "Reporter");
    EXPECT_EQ(events[0].eventId, 0x20000001u);
    EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(events[0].category, 0);
    EXPECT_EQ(events[0].strings, std::vector<std::string>{"SetServiceStatus"});
    EXPECT_EQ(events[0].userSid, "S-1-22-1-" + std::to_string(getuid()));
    EXPECT_EQ(events[0].processId, static_cast<uint32_t>(getpid()));

    EventLogSource source;
    ASSERT_TRUE(source.open("Reporter", "D:\\messages\\Other.dll"));
    EXPECT_EQ(registryString("EventMessageFile"), "D:\\messages\\Other.dll");
    EXPECT_FALSE(source.report(EVENTLOG_ERROR_TYPE, nullptr));
    source.close();
    EXPECT_FALSE(source.report(EVENTLOG_ERROR_TYPE, "closed"));
    EXPECT_EQ(winsim::readEventLog("Application").size(), 1u);
}

TEST_F(ErrorReports, WithoutAdministrativeRightsNothingIsWrittenButTheErrorIsRecorded)
{
    winsim::setMachineSetting(winsim::machineRoot(), "administrator", "no");
    ServiceConfig config("Reporter", "The Reporter");
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    config.reportError("StartServiceCtrlDispatcher failed.");
    EXPECT_EQ(config.lastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_EQ(registryString("TypesSupported"), "<no key>");
    EXPECT_TRUE(winsim::readEventLog("Application").empty());

    EventLogSource source;
    EXPECT_FALSE(source.open("Reporter", nullptr));
}

// The key of a source is named by a path built to its length, not in a buffer of fixed size:
// a name of the registry's longest (255 characters) registers and reports; a longer one, which
// the registry refuses as Windows does, reports nothing and still records the error.
TEST_F(ErrorReports, LongSourceNames)
{
    const std::string longest = "Reporter" + std::string(247, 'x');
    ServiceConfig config(longest, "Long");
    config.reportError("longest name");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            ("SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\" + longest).c_str(), 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
    auto events = winsim::readEventLog("Application");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].source, longest);

    ServiceConfig tooLong("Reporter" + std::string(600, 'x'), "Too long");
    SetLastError(ERROR_INVALID_HANDLE);
    tooLong.reportError("too long a name");
    EXPECT_EQ(tooLong.lastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(winsim::readEventLog("Application").size(), 1u);
}

TEST_F(ErrorReports, EmptyNameLogsNothing)
{
    ServiceConfig config("", "");
    SetLastError(ERROR_ACCESS_DENIED);
    config.reportError("message");
    EXPECT_EQ(config.lastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(winsim::readEventLog("Application").empty());
    EventLogSource source;
    EXPECT_FALSE(source.open(nullptr, nullptr));
    EXPECT_FALSE(source.open("", nullptr));
}

}  // namespace
