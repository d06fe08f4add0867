#include "rasapi32/connections.h"

#include "machine/database.h"
#include "machine/machine.h"
#include "machine/restart.h"

#include <raserror.h>

#include <time.h>

#include <iterator>
#include <mutex>

namespace winsim {

namespace {

// Connection handles: small multiples of 4 above this base, never reused on a machine.
constexpr uintptr_t kConnectionHandleBase = 0x40000;

const char *kSchema =
    "CREATE TABLE IF NOT EXISTS connections ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, entry TEXT NOT NULL, phonebook TEXT NOT NULL, user TEXT NOT NULL,"
    " device_type TEXT NOT NULL, device_name TEXT NOT NULL, phone_number TEXT NOT NULL,"
    " process INTEGER NOT NULL, dialled_ms INTEGER NOT NULL, step_ms INTEGER NOT NULL, outcome INTEGER NOT NULL);";

// The states of a dial, as Windows reports them to a dialler on the way to connected.
const RASCONNSTATE kDialStates[] = {
    RASCS_OpenPort,           RASCS_PortOpened,   RASCS_ConnectDevice, RASCS_DeviceConnected,
    RASCS_AllDevicesConnected, RASCS_Authenticate, RASCS_AuthNotify,    RASCS_AuthProject,
    RASCS_Authenticated,      RASCS_Connected,
};

// The state of the dial in which an error shows: the line's errors while the modem dials,
// refused credentials while the remote end authenticates, the others as the port opens.
RASCONNSTATE failingState(DWORD error)
{
    switch (error) {
    case ERROR_LINE_BUSY:
    case ERROR_VOICE_ANSWER:
    case ERROR_NO_ANSWER:
    case ERROR_NO_CARRIER:
    case ERROR_NO_DIALTONE:
        return RASCS_ConnectDevice;
    case ERROR_AUTHENTICATION_FAILURE:
        return RASCS_AuthNotify;
    default:
        return RASCS_PortOpened;
    }
}

ProcessDatabase &database()
{
    // Connections do not survive a restart of the machine.
    static ProcessDatabase *instance =
        openProcessDatabase(machineRoot() + "/ras.sqlite", kSchema, Durability::untilRestart);
    return *instance;
}

HRASCONN handleOfId(int64_t id)
{
    return reinterpret_cast<HRASCONN>(kConnectionHandleBase + static_cast<uintptr_t>(id) * 4);
}

int64_t idOfHandle(HRASCONN handle)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value <= kConnectionHandleBase || (value & 3))
        return 0;
    return static_cast<int64_t>((value - kConnectionHandleBase) / 4);
}

const char *kColumns = "id, entry, phonebook, user, device_type, device_name, phone_number, process, dialled_ms,"
                       " step_ms, outcome";

Connection readConnection(Statement &query)
{
    Connection connection;
    connection.handle = handleOfId(query.integer(0));
    connection.entry = query.text(1);
    connection.phonebook = query.text(2);
    connection.userName = query.text(3);
    connection.deviceType = query.text(4);
    connection.deviceName = query.text(5);
    connection.phoneNumber = query.text(6);
    connection.process = static_cast<uint32_t>(query.integer(7));
    connection.dialledMs = query.integer(8);
    connection.stepMs = query.integer(9);
    connection.outcome = static_cast<DWORD>(query.integer(10));
    return connection;
}

// A restart ends every connection, as the modem hangs up when the machine goes down.
StartupStep dropConnections()
{
    StartupStep step;
    step.name = "dial-up connections";
    ProcessDatabase &ras = database();
    std::lock_guard<std::mutex> guard(ras.lock);
    if (!ras.db || sqlite3_exec(ras.db, "DELETE FROM connections", nullptr, nullptr, nullptr) != SQLITE_OK) {
        step.error = ERROR_BADDB;
        step.message = "the connection database cannot be changed";
        return step;
    }
    if (int dropped = sqlite3_changes(ras.db))
        step.message = std::to_string(dropped) + " dropped";
    return step;
}

const StartupTaskRegistration connectionsDrop(kStartupResetRuntimeState, "dial-up connections", dropConnections);

}  // namespace

int64_t currentTimeMs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

ConnectionState connectionStateAfter(const Connection &connection, int64_t elapsedMs)
{
    const int64_t last = static_cast<int64_t>(std::size(kDialStates)) - 1;
    int64_t step = connection.stepMs > 0 ? (elapsedMs < 0 ? 0 : elapsedMs / connection.stepMs) : last;
    if (step > last)
        step = last;
    if (connection.outcome) {
        const RASCONNSTATE failsIn = failingState(connection.outcome);
        int64_t failsAt = 0;
        while (kDialStates[failsAt] != failsIn)
            ++failsAt;
        if (step > failsAt)
            return ConnectionState{RASCS_Disconnected, connection.outcome};
    }
    return ConnectionState{kDialStates[step], 0};
}

ConnectionState connectionState(const Connection &connection)
{
    return connectionStateAfter(connection, currentTimeMs() - connection.dialledMs);
}

DWORD addConnection(Connection &connection)
{
    ProcessDatabase &ras = database();
    std::lock_guard<std::mutex> guard(ras.lock);
    if (!ras.db)
        return ERROR_NOT_ENOUGH_MEMORY;
    Statement insert(ras.db, "INSERT INTO connections (entry, phonebook, user, device_type, device_name, phone_number,"
                             " process, dialled_ms, step_ms, outcome) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, connection.entry).bind(2, connection.phonebook).bind(3, connection.userName);
    insert.bind(4, connection.deviceType).bind(5, connection.deviceName).bind(6, connection.phoneNumber);
    insert.bind(7, static_cast<int64_t>(connection.process)).bind(8, connection.dialledMs);
    insert.bind(9, connection.stepMs).bind(10, static_cast<int64_t>(connection.outcome));
    if (!insert.ok() || insert.step() != SQLITE_DONE)
        return ERROR_NOT_ENOUGH_MEMORY;
    connection.handle = handleOfId(sqlite3_last_insert_rowid(ras.db));
    return 0;
}

std::optional<Connection> findConnection(HRASCONN handle)
{
    const int64_t id = idOfHandle(handle);
    if (!id)
        return std::nullopt;
    ProcessDatabase &ras = database();
    std::lock_guard<std::mutex> guard(ras.lock);
    if (!ras.db)
        return std::nullopt;
    Statement query(ras.db, (std::string("SELECT ") + kColumns + " FROM connections WHERE id = ?").c_str());
    query.bind(1, id);
    if (!query.ok() || query.step() != SQLITE_ROW)
        return std::nullopt;
    return readConnection(query);
}

std::vector<Connection> allConnections()
{
    std::vector<Connection> connections;
    ProcessDatabase &ras = database();
    std::lock_guard<std::mutex> guard(ras.lock);
    if (!ras.db)
        return connections;
    Statement query(ras.db, (std::string("SELECT ") + kColumns + " FROM connections ORDER BY id").c_str());
    while (query.ok() && query.step() == SQLITE_ROW)
        connections.push_back(readConnection(query));
    return connections;
}

bool removeConnection(HRASCONN handle)
{
    const int64_t id = idOfHandle(handle);
    ProcessDatabase &ras = database();
    std::lock_guard<std::mutex> guard(ras.lock);
    if (!id || !ras.db)
        return false;
    Statement remove(ras.db, "DELETE FROM connections WHERE id = ?");
    remove.bind(1, id);
    return remove.step() == SQLITE_DONE && sqlite3_changes(ras.db) == 1;
}

}  // namespace winsim
