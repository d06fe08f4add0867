// The stand-in remote access service: the phonebook format, the record versions and buffer
// protocols of the functions, the states a dial steps through, and connections shared by the
// machine's processes.
#include "machine/machine.h"
#include "machine/restart.h"
#include "rasapi32/connections.h"
#include "rasapi32/phonebook.h"

#include <windows.h>

#include <ras.h>
#include <raserror.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace winsim;

namespace {

class RemoteAccess : public testing::Test {
protected:
    void SetUp() override
    {
        std::remove((machineRoot() + "/drive_c/ProgramData/Microsoft/Network/Connections/Pbk/rasphone.pbk").c_str());
        for (const Connection &connection : allConnections())
            RasHangUpA(connection.handle);
    }

    static void addEntry(const std::string &name, const std::string &number = "5550100")
    {
        PhonebookEntry entry;
        entry.name = name;
        entry.phoneNumber = number;
        entry.deviceName = "Test Modem";
        ASSERT_EQ(addPhonebookEntry(entry), 0u);
    }

    static HRASCONN dial(const char *entry, const char *user, const char *password, bool wait = false)
    {
        RASDIALPARAMSA parameters{};
        parameters.dwSize = sizeof parameters;
        strcpy(parameters.szEntryName, entry);
        strcpy(parameters.szUserName, user);
        strcpy(parameters.szPassword, password);
        HRASCONN connection = nullptr;
        lastDial = RasDialA(nullptr, nullptr, &parameters, 0xFFFFFFFF, wait ? nullptr : reinterpret_cast<LPVOID>(1),
                            &connection);
        return connection;
    }

    static inline DWORD lastDial = 0;
};

}  // namespace

TEST(Phonebook, ReadsTheEntriesOfAPhonebookAsWindowsWritesIt)
{
    const std::string text = "\xEF\xBB\xBF[Office]\r\nEncoding=1\r\nType=1\r\n\r\nMEDIA=rastapi\r\nPort=COM3\r\n"
                             "Device=Fast Modem\r\n\r\nDEVICE=modem\r\nPhoneNumber=555 0101\r\n\r\n"
                             "[Home [ISP]]\r\nPhoneNumber=555 0102\r\nPhoneNumber=555 0199\r\n";
    auto entries = parsePhonebook(text);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "Office");
    EXPECT_EQ(entries[0].phoneNumber, "555 0101");
    EXPECT_EQ(entries[0].deviceName, "Fast Modem");
    EXPECT_EQ(entries[0].deviceType, "modem");
    EXPECT_EQ(entries[1].name, "Home [ISP]");
    EXPECT_EQ(entries[1].phoneNumber, "555 0102") << "the first number is the entry's";

    const std::string without = withoutPhonebookEntry(text, "office");
    ASSERT_EQ(parsePhonebook(without).size(), 1u);
    EXPECT_EQ(parsePhonebook(without)[0].name, "Home [ISP]");
    EXPECT_EQ(parsePhonebook(withoutPhonebookEntry(text, "Home [ISP]")).size(), 1u);

    PhonebookEntry written{"Written", "123", "modem", "Some Modem"};
    auto reread = parsePhonebook(phonebookSection(written));
    ASSERT_EQ(reread.size(), 1u);
    EXPECT_EQ(reread[0].name, "Written");
    EXPECT_EQ(reread[0].phoneNumber, "123");
    EXPECT_EQ(reread[0].deviceName, "Some Modem");
}

TEST(Phonebook, DialStatesFollowTheTimeAndTheOutcome)
{
    Connection connects;
    connects.stepMs = 10;
    EXPECT_EQ(connectionStateAfter(connects, 0).state, RASCS_OpenPort);
    EXPECT_EQ(connectionStateAfter(connects, 25).state, RASCS_ConnectDevice);
    EXPECT_EQ(connectionStateAfter(connects, 89).state, RASCS_Authenticated);
    EXPECT_EQ(connectionStateAfter(connects, 90).state, RASCS_Connected);
    EXPECT_EQ(connectionStateAfter(connects, 100000).state, RASCS_Connected);

    Connection busy = connects;
    busy.outcome = ERROR_LINE_BUSY;
    EXPECT_EQ(connectionStateAfter(busy, 25).state, RASCS_ConnectDevice);
    EXPECT_EQ(connectionStateAfter(busy, 25).error, 0u);
    ConnectionState ended = connectionStateAfter(busy, 30);
    EXPECT_EQ(ended.state, RASCS_Disconnected);
    EXPECT_EQ(ended.error, static_cast<DWORD>(ERROR_LINE_BUSY));

    Connection refused = connects;
    refused.outcome = ERROR_AUTHENTICATION_FAILURE;
    EXPECT_EQ(connectionStateAfter(refused, 65).state, RASCS_AuthNotify);
    EXPECT_EQ(connectionStateAfter(refused, 70).state, RASCS_Disconnected);
    refused.stepMs = 0;
    EXPECT_EQ(connectionStateAfter(refused, 0).state, RASCS_Disconnected);
}

TEST_F(RemoteAccess, EntriesComeInTheCallersRecordVersionWithTheBufferProtocol)
{
    DWORD bytes = 0;
    DWORD count = 99;
    EXPECT_EQ(RasEnumEntriesA(nullptr, nullptr, nullptr, &bytes, &count), 0u);
    EXPECT_EQ(count, 0u);
    addEntry("First");
    addEntry("Second");
    bytes = 0;
    EXPECT_EQ(RasEnumEntriesA(nullptr, nullptr, nullptr, &bytes, &count), static_cast<DWORD>(ERROR_BUFFER_TOO_SMALL));
    EXPECT_EQ(bytes, 2 * sizeof(RASENTRYNAMEA));
    EXPECT_EQ(count, 2u);

    std::vector<RASENTRYNAMEA> entries(2);
    entries[0].dwSize = 12345;
    EXPECT_EQ(RasEnumEntriesA(nullptr, nullptr, entries.data(), &bytes, &count), static_cast<DWORD>(ERROR_INVALID_SIZE));
    entries[0].dwSize = sizeof(RASENTRYNAMEA);
    EXPECT_EQ(RasEnumEntriesA("reserved", nullptr, entries.data(), &bytes, &count),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(RasEnumEntriesA(nullptr, nullptr, entries.data(), &bytes, &count), 0u);
    EXPECT_STREQ(entries[0].szEntryName, "First");
    EXPECT_STREQ(entries[1].szEntryName, "Second");
    EXPECT_EQ(entries[1].dwFlags, static_cast<DWORD>(REN_AllUsers));
    EXPECT_STREQ(entries[1].szPhonebookPath, allUsersPhonebookPath().c_str());

    // The oldest version: the name alone, 264 bytes apart.
    std::vector<uint8_t> old(2 * 264, 0xCC);
    reinterpret_cast<RASENTRYNAMEA *>(old.data())->dwSize = 264;
    bytes = static_cast<DWORD>(old.size());
    ASSERT_EQ(RasEnumEntriesA(nullptr, nullptr, reinterpret_cast<LPRASENTRYNAMEA>(old.data()), &bytes, &count), 0u);
    EXPECT_STREQ(reinterpret_cast<const char *>(old.data() + 264 + 4), "Second");
    EXPECT_EQ(old[263], 0) << "padding is zeroed";

    EXPECT_EQ(RasEnumEntriesA(nullptr, "C:\\none.pbk", entries.data(), &bytes, &count),
              static_cast<DWORD>(ERROR_CANNOT_OPEN_PHONEBOOK));
}

TEST_F(RemoteAccess, ADialStepsToConnectedAndIsSeenByOtherProcesses)
{
    addEntry("Office");
    setMachineSetting(machineRoot(), "ras.entry.Office.step", "5");
    HRASCONN connection = dial("Office", "alice", "pw", true);
    ASSERT_EQ(lastDial, 0u);
    ASSERT_NE(connection, nullptr);

    RASCONNSTATUSA status{};
    status.dwSize = sizeof status;
    ASSERT_EQ(RasGetConnectStatusA(connection, &status), 0u);
    EXPECT_EQ(status.rasconnstate, RASCS_Connected);
    EXPECT_EQ(status.dwError, 0u);
    EXPECT_STREQ(status.szDeviceName, "Test Modem");
    EXPECT_STREQ(status.szPhoneNumber, "5550100");
    status.dwSize = 200;
    EXPECT_EQ(RasGetConnectStatusA(connection, &status), static_cast<DWORD>(ERROR_INVALID_SIZE));

    std::string command = std::string(WINSIM_TOOL) + " ras connections";
    FILE *listing = popen(command.c_str(), "r");
    char line[256] = {};
    ASSERT_NE(fgets(line, sizeof line, listing), nullptr);
    pclose(listing);
    EXPECT_NE(std::string(line).find("Office\tConnected\tuser=alice"), std::string::npos) << line;

    EXPECT_EQ(RasHangUpA(connection), 0u);
    EXPECT_EQ(RasHangUpA(connection), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(RasGetConnectStatusA(connection, &status), static_cast<DWORD>(ERROR_INVALID_SIZE));
    status.dwSize = sizeof status;
    EXPECT_EQ(RasGetConnectStatusA(connection, &status), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(RemoteAccess, DialFailures)
{
    addEntry("Secure");
    setMachineSetting(machineRoot(), "ras.entry.Secure.password", "right");
    setMachineSetting(machineRoot(), "ras.entry.Secure.step", "0");
    // Waiting for the end, the error comes back, and the failed connection is there to hang up.
    HRASCONN refused = dial("Secure", "u", "wrong", true);
    EXPECT_EQ(lastDial, static_cast<DWORD>(ERROR_AUTHENTICATION_FAILURE));
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(RasHangUpA(refused), 0u);

    EXPECT_EQ(dial("Nowhere", "u", "p"), nullptr);
    EXPECT_EQ(lastDial, static_cast<DWORD>(ERROR_CANNOT_FIND_PHONEBOOK_ENTRY));

    setMachineSetting(machineRoot(), "fail.RasDialA", "633");
    HRASCONN failed = dial("Secure", "u", "right");
    setMachineSetting(machineRoot(), "fail.RasDialA", "");
    EXPECT_EQ(lastDial, static_cast<DWORD>(ERROR_PORT_NOT_AVAILABLE));
    ASSERT_NE(failed, nullptr);
    RASCONNSTATUSA status{};
    status.dwSize = sizeof status;
    ASSERT_EQ(RasGetConnectStatusA(failed, &status), 0u);
    EXPECT_EQ(status.rasconnstate, RASCS_Disconnected);
    EXPECT_EQ(status.dwError, static_cast<DWORD>(ERROR_PORT_NOT_AVAILABLE));
    EXPECT_EQ(RasHangUpA(failed), 0u);

    RASDIALPARAMSA parameters{};
    parameters.dwSize = 1000;
    HRASCONN none = nullptr;
    EXPECT_EQ(RasDialA(nullptr, nullptr, &parameters, 0, nullptr, &none), static_cast<DWORD>(ERROR_INVALID_SIZE));
    EXPECT_EQ(RasDialA(nullptr, nullptr, nullptr, 0, nullptr, &none), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(RemoteAccess, ConnectionListingsAndTheRestartThatDropsThem)
{
    addEntry("Office");
    setMachineSetting(machineRoot(), "ras.entry.Office.step", "0");
    DWORD bytes = 0;
    DWORD count = 7;
    RASCONNA probe{};
    probe.dwSize = sizeof probe;
    EXPECT_EQ(RasEnumConnectionsA(&probe, &bytes, &count), 0u);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(count, 0u);

    HRASCONN first = dial("Office", "a", "p");
    HRASCONN second = dial("Office", "b", "p");
    bytes = 0;
    // Too small: the room needed and the count come back with the error.
    EXPECT_EQ(RasEnumConnectionsA(&probe, &bytes, &count), static_cast<DWORD>(ERROR_BUFFER_TOO_SMALL));
    EXPECT_EQ(bytes, 2 * sizeof(RASCONNA));
    EXPECT_EQ(count, 2u);

    // Windows NT 4's version: handle and name only, 416 bytes apart.
    std::vector<uint8_t> old(2 * 416, 0xCC);
    reinterpret_cast<RASCONNA *>(old.data())->dwSize = 416;
    bytes = static_cast<DWORD>(old.size());
    ASSERT_EQ(RasEnumConnectionsA(reinterpret_cast<LPRASCONNA>(old.data()), &bytes, &count), 0u);
    EXPECT_EQ(count, 2u);
    const auto *records = old.data();
    HRASCONN handle;
    memcpy(&handle, records + 416 + 4, sizeof handle);
    EXPECT_EQ(handle, second);
    EXPECT_STREQ(reinterpret_cast<const char *>(records + 416 + 12), "Office");
    EXPECT_EQ(old[415], 0);

    std::vector<StartupStep> steps = restartMachine();
    bool dropped = false;
    for (const StartupStep &step : steps)
        dropped |= step.name == "dial-up connections" && step.message == "2 dropped";
    EXPECT_TRUE(dropped);
    EXPECT_EQ(RasHangUpA(first), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    bytes = 0;
    EXPECT_EQ(RasEnumConnectionsA(&probe, &bytes, &count), 0u);
    EXPECT_EQ(count, 0u);
}
