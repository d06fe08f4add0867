// The remote access functions: phonebook entries, dialling, connection status and hang-up.
// Each record is used in the version its size field names (sizes of 64-bit Windows); an
// unknown size is ERROR_INVALID_SIZE. The service counts the calls it receives
// ("ras.<function>") and answers the setting fail.<function> = <error> with that error.
#include "rasapi32/connections.h"
#include "rasapi32/phonebook.h"

#include "machine/counters.h"
#include "machine/injected_faults.h"
#include "machine/machine.h"
#include "machine/text.h"

#include <windows.h>

#include <ras.h>
#include <raserror.h>

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <string>

namespace winsim {

namespace {

constexpr int64_t kDefaultStepMs = 50;

// A version of a record: its size, and where its last field ends (the rest is padding).
struct RecordVersion {
    DWORD size;
    DWORD fieldsEnd;
};

// The versions of each record that Windows accepts, oldest first.
constexpr RecordVersion kEntryNameVersions[] = {{264, 261}, {532, 532}};
constexpr RecordVersion kConnectionVersions[] = {{272, 269}, {416, 415}, {696, 696}, {708, 708}, {724, 724}};
constexpr RecordVersion kStatusVersions[] = {{160, 158}, {288, 287}, {332, 332}};
constexpr RecordVersion kDialParamsVersions[] = {{1052, 1049}, {1064, 1064}, {1068, 1068}};

template <size_t N>
const RecordVersion *recordVersion(const RecordVersion (&versions)[N], DWORD size)
{
    for (const RecordVersion &version : versions)
        if (version.size == size)
            return &version;
    return nullptr;
}

// Writes a record in the caller's version: the fields it has, zero for its padding and for
// fields newer than the stand-in's own record.
template <typename Record>
void writeRecord(void *to, const Record &record, const RecordVersion &version)
{
    memset(to, 0, version.size);
    memcpy(to, &record, std::min<size_t>(version.fieldsEnd, sizeof record));
}

// Starts a call: counts it and gives the error that the machine's configuration injects.
DWORD beginCall(const char *function)
{
    addToCounter(std::string("ras.") + function);
    if (auto failure = injectedFailure(function))
        return static_cast<DWORD>(*failure);
    return 0;
}

// A NUL-terminated copy into a fixed field, cut to fit.
template <size_t N>
void copyField(CHAR (&field)[N], const std::string &value)
{
    size_t length = std::min(value.size(), N - 1);
    memcpy(field, value.data(), length);
    field[length] = '\0';
}

// A field of a caller's record, which may lack its terminating NUL.
template <size_t N>
std::string fieldText(const CHAR (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

std::string entrySetting(const std::string &entry, const char *name)
{
    return machineSetting("ras.entry." + entry + "." + name, "");
}

// How a dial of the entry with these credentials will end, from the machine's configuration.
DWORD dialOutcome(const std::string &entry, const std::string &user, const std::string &password)
{
    const std::string acceptedUser = entrySetting(entry, "user");
    const std::string acceptedPassword = entrySetting(entry, "password");
    if ((!acceptedUser.empty() && !equalsIgnoreCase(std::string_view(acceptedUser), std::string_view(user))) ||
        (!acceptedPassword.empty() && acceptedPassword != password))
        return ERROR_AUTHENTICATION_FAILURE;
    const std::string outcome = entrySetting(entry, "outcome");
    return outcome.empty() ? 0 : static_cast<DWORD>(strtoul(outcome.c_str(), nullptr, 0));
}

int64_t dialStep(const std::string &entry)
{
    const std::string step = entrySetting(entry, "step");
    return step.empty() ? kDefaultStepMs : strtoll(step.c_str(), nullptr, 0);
}

bool finished(const ConnectionState &state)
{
    return state.state == RASCS_Connected || state.state == RASCS_Disconnected;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

DWORD APIENTRY RasEnumEntriesA(LPCSTR reserved, LPCSTR phonebookPath, LPRASENTRYNAMEA names, LPDWORD bytes,
                               LPDWORD count)
{
    if (DWORD error = beginCall("RasEnumEntriesA"))
        return error;
    if (reserved || !bytes || !count)
        return ERROR_INVALID_PARAMETER;
    const RecordVersion *version =
        recordVersion(kEntryNameVersions, names ? names->dwSize : static_cast<DWORD>(sizeof(RASENTRYNAMEA)));
    if (!version)
        return ERROR_INVALID_SIZE;
    const DWORD recordSize = version->size;

    std::vector<Phonebook> phonebooks;
    if (phonebookPath) {
        Phonebook named;
        if (DWORD error = readPhonebook(phonebookPath, named))
            return error;
        phonebooks.push_back(named);
    } else {
        phonebooks = defaultPhonebooks();
    }
    DWORD total = 0;
    for (const Phonebook &phonebook : phonebooks)
        total += static_cast<DWORD>(phonebook.entries.size());
    const DWORD needed = total * recordSize;
    if (*bytes < needed || (total && !names)) {
        *bytes = needed;
        *count = total;
        return ERROR_BUFFER_TOO_SMALL;
    }
    auto *out = reinterpret_cast<BYTE *>(names);
    for (const Phonebook &phonebook : phonebooks) {
        for (const PhonebookEntry &entry : phonebook.entries) {
            RASENTRYNAMEA record{};
            record.dwSize = recordSize;
            copyField(record.szEntryName, entry.name);
            record.dwFlags = phonebook.allUsers ? REN_AllUsers : REN_User;
            copyField(record.szPhonebookPath, phonebook.path);
            writeRecord(out, record, *version);
            out += recordSize;
        }
    }
    *bytes = needed;
    *count = total;
    return 0;
}

DWORD APIENTRY RasEnumConnectionsA(LPRASCONNA connections, LPDWORD bytes, LPDWORD count)
{
    if (DWORD error = beginCall("RasEnumConnectionsA"))
        return error;
    if (!bytes || !count)
        return ERROR_INVALID_PARAMETER;
    const RecordVersion *version =
        recordVersion(kConnectionVersions, connections ? connections->dwSize : static_cast<DWORD>(sizeof(RASCONNA)));
    if (!version)
        return ERROR_INVALID_SIZE;
    const DWORD recordSize = version->size;
    const std::vector<Connection> active = allConnections();
    const DWORD total = static_cast<DWORD>(active.size());
    const DWORD needed = total * recordSize;
    // The count goes back with the error, so a caller can tell how many there are.
    if (*bytes < needed || (total && !connections)) {
        *bytes = needed;
        *count = total;
        return ERROR_BUFFER_TOO_SMALL;
    }
    auto *out = reinterpret_cast<BYTE *>(connections);
    for (const Connection &connection : active) {
        RASCONNA record{};
        record.dwSize = recordSize;
        record.hrasconn = connection.handle;
        copyField(record.szEntryName, connection.entry);
        copyField(record.szDeviceType, connection.deviceType);
        copyField(record.szDeviceName, connection.deviceName);
        copyField(record.szPhonebook, connection.phonebook);
        writeRecord(out, record, *version);
        out += recordSize;
    }
    *bytes = needed;
    *count = total;
    return 0;
}

DWORD APIENTRY RasDialA(LPRASDIALEXTENSIONS, LPCSTR phonebookPath, LPRASDIALPARAMSA parameters, DWORD notifierType,
                        LPVOID notifier, LPHRASCONN connectionHandle)
{
    const DWORD injected = beginCall("RasDialA");
    if (!parameters || !connectionHandle)
        return ERROR_INVALID_PARAMETER;
    // A handle on entry resumes a paused dial; nothing here pauses one.
    if (*connectionHandle)
        return ERROR_INVALID_HANDLE;
    if (!recordVersion(kDialParamsVersions, parameters->dwSize))
        return ERROR_INVALID_SIZE;
    if (notifier && notifierType > 2 && notifierType != 0xFFFFFFFF)
        return ERROR_INVALID_PARAMETER;

    const std::string entryName = fieldText(parameters->szEntryName);
    std::string phonebook;
    std::optional<PhonebookEntry> entry;
    if (!entryName.empty()) {
        entry = findPhonebookEntry(phonebookPath, entryName, &phonebook);
        if (!entry)
            return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    } else if (fieldText(parameters->szPhoneNumber).empty()) {
        return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    }

    Connection connection;
    connection.entry = entry ? entry->name : "";
    connection.phonebook = phonebook;
    connection.userName = fieldText(parameters->szUserName);
    connection.deviceType = entry ? entry->deviceType : "modem";
    connection.deviceName = entry ? entry->deviceName : "";
    const std::string number = fieldText(parameters->szPhoneNumber);
    connection.phoneNumber = !number.empty() ? number : entry ? entry->phoneNumber : "";
    connection.process = static_cast<uint32_t>(getpid());
    connection.dialledMs = currentTimeMs();
    connection.stepMs = dialStep(connection.entry);
    connection.outcome = dialOutcome(connection.entry, connection.userName, fieldText(parameters->szPassword));
    if (injected) {
        // The dial failed as it started: the connection exists, in its failed state, and is
        // the caller's to hang up, as Windows leaves it.
        connection.outcome = injected;
        connection.stepMs = 0;
    }
    if (DWORD error = addConnection(connection))
        return error;
    *connectionHandle = connection.handle;
    if (injected)
        return injected;
    if (notifier)
        return 0;
    // Without a notifier the call returns when the dial has ended, either way.
    for (;;) {
        std::optional<Connection> current = findConnection(connection.handle);
        if (!current)
            return ERROR_USER_DISCONNECTION;
        ConnectionState state = connectionState(*current);
        if (finished(state))
            return state.error;
        Sleep(static_cast<DWORD>(std::max<int64_t>(connection.stepMs, 1)));
    }
}

DWORD APIENTRY RasGetConnectStatusA(HRASCONN handle, LPRASCONNSTATUSA status)
{
    if (DWORD error = beginCall("RasGetConnectStatusA"))
        return error;
    if (!status)
        return ERROR_INVALID_PARAMETER;
    const RecordVersion *version = recordVersion(kStatusVersions, status->dwSize);
    if (!version)
        return ERROR_INVALID_SIZE;
    std::optional<Connection> connection = findConnection(handle);
    if (!connection)
        return ERROR_INVALID_HANDLE;
    const ConnectionState state = connectionState(*connection);
    RASCONNSTATUSA record{};
    record.dwSize = version->size;
    record.rasconnstate = state.state;
    record.dwError = state.error;
    copyField(record.szDeviceType, connection->deviceType);
    copyField(record.szDeviceName, connection->deviceName);
    copyField(record.szPhoneNumber, connection->phoneNumber);
    writeRecord(status, record, *version);
    return 0;
}

DWORD APIENTRY RasHangUpA(HRASCONN handle)
{
    if (DWORD error = beginCall("RasHangUpA"))
        return error;
    return removeConnection(handle) ? 0 : ERROR_INVALID_HANDLE;
}

}  // extern "C"
