#include "advapi32/services.h"

#include "machine/database.h"
#include "machine/machine.h"
#include "machine/text.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <sstream>

namespace winsim {

namespace {

const char *kSchema =
    "CREATE TABLE IF NOT EXISTS services ("
    " folded TEXT PRIMARY KEY, name TEXT NOT NULL, display TEXT NOT NULL, binary_path TEXT NOT NULL,"
    " account TEXT NOT NULL, dependencies BLOB NOT NULL, type INTEGER NOT NULL, start_type INTEGER NOT NULL,"
    " error_control INTEGER NOT NULL, deleted INTEGER NOT NULL, state INTEGER NOT NULL,"
    " controls INTEGER NOT NULL, win32_exit INTEGER NOT NULL, specific_exit INTEGER NOT NULL,"
    " checkpoint INTEGER NOT NULL, wait_hint INTEGER NOT NULL, process_id INTEGER NOT NULL,"
    " process_start INTEGER NOT NULL, token TEXT NOT NULL, control TEXT NOT NULL, start_args BLOB NOT NULL,"
    " run INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS reports ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, folded TEXT NOT NULL, run INTEGER NOT NULL,"
    " process_id INTEGER NOT NULL, time_ms INTEGER NOT NULL, type INTEGER NOT NULL, state INTEGER NOT NULL,"
    " controls INTEGER NOT NULL, win32_exit INTEGER NOT NULL, specific_exit INTEGER NOT NULL,"
    " checkpoint INTEGER NOT NULL, wait_hint INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS calls (function TEXT PRIMARY KEY, count INTEGER NOT NULL);"
    // How many times each name was installed, so that the reports of a service deleted and
    // made again under its name are told apart from those of the earlier one.
    "CREATE TABLE IF NOT EXISTS installations (folded TEXT PRIMARY KEY, number INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS handles ("
    " folded TEXT NOT NULL, process_id INTEGER NOT NULL, process_start INTEGER NOT NULL, handle INTEGER NOT NULL);";

// The installation of each report; a database made before reports kept it has it added.
bool addReportInstallation(sqlite3 *db)
{
    return Statement(db, "SELECT installation FROM reports LIMIT 0").ok() ||
           sqlite3_exec(db, "ALTER TABLE reports ADD COLUMN installation INTEGER NOT NULL DEFAULT 1", nullptr, nullptr,
                        nullptr) == SQLITE_OK;
}

const char *kColumns =
    "name, display, binary_path, account, dependencies, type, start_type, error_control, deleted, state, controls,"
    " win32_exit, specific_exit, checkpoint, wait_hint, process_id, process_start, token, control, start_args, run";

std::vector<uint8_t> joinList(const std::vector<std::string> &list)
{
    std::vector<uint8_t> out;
    for (const std::string &item : list) {
        out.insert(out.end(), item.begin(), item.end());
        out.push_back(0);
    }
    return out;
}

std::vector<std::string> splitList(const std::vector<uint8_t> &data)
{
    std::vector<std::string> out;
    std::string item;
    for (uint8_t byte : data) {
        if (byte == 0) {
            out.push_back(item);
            item.clear();
        } else {
            item += static_cast<char>(byte);
        }
    }
    return out;
}

// The machine's manager database, opened once per process.
ProcessDatabase *database()
{
    static ProcessDatabase *instance =
        openProcessDatabase(machineRoot() + "/scm.sqlite", kSchema, Durability::durable, addReportInstallation);
    return instance;
}

ServiceRecord readRecord(Statement &query)
{
    ServiceRecord r;
    r.name = query.text(0);
    r.displayName = query.text(1);
    r.binaryPath = query.text(2);
    r.account = query.text(3);
    r.dependencies = splitList(query.blob(4));
    r.type = static_cast<DWORD>(query.integer(5));
    r.startType = static_cast<DWORD>(query.integer(6));
    r.errorControl = static_cast<DWORD>(query.integer(7));
    r.deleted = query.integer(8) != 0;
    r.status.dwServiceType = r.type;
    r.status.dwCurrentState = static_cast<DWORD>(query.integer(9));
    r.status.dwControlsAccepted = static_cast<DWORD>(query.integer(10));
    r.status.dwWin32ExitCode = static_cast<DWORD>(query.integer(11));
    r.status.dwServiceSpecificExitCode = static_cast<DWORD>(query.integer(12));
    r.status.dwCheckPoint = static_cast<DWORD>(query.integer(13));
    r.status.dwWaitHint = static_cast<DWORD>(query.integer(14));
    r.processId = static_cast<uint32_t>(query.integer(15));
    r.processStart = static_cast<uint64_t>(query.integer(16));
    r.token = query.text(17);
    r.control = query.text(18);
    r.startArguments = splitList(query.blob(19));
    r.run = query.integer(20);
    return r;
}

DWORD select(sqlite3 *db, const std::string &name, ServiceRecord &out)
{
    Statement query(db, (std::string("SELECT ") + kColumns + " FROM services WHERE folded = ?").c_str());
    if (!query.ok())
        return ERROR_BADDB;
    query.bind(1, foldedKey(name));
    int rc = query.step();
    if (rc == SQLITE_DONE)
        return ERROR_SERVICE_DOES_NOT_EXIST;
    if (rc != SQLITE_ROW)
        return ERROR_BADDB;
    out = readRecord(query);
    return 0;
}

DWORD store(sqlite3 *db, const ServiceRecord &r, bool insert)
{
    std::string sql = insert ? std::string("INSERT INTO services (folded, ") + kColumns +
                                   ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16,"
                                   " ?17, ?18, ?19, ?20, ?21, ?22)"
                             : "UPDATE services SET name = ?2, display = ?3, binary_path = ?4, account = ?5,"
                               " dependencies = ?6, type = ?7, start_type = ?8, error_control = ?9, deleted = ?10,"
                               " state = ?11, controls = ?12, win32_exit = ?13, specific_exit = ?14,"
                               " checkpoint = ?15, wait_hint = ?16, process_id = ?17, process_start = ?18,"
                               " token = ?19, control = ?20, start_args = ?21, run = ?22 WHERE folded = ?1";
    Statement statement(db, sql.c_str());
    if (!statement.ok())
        return ERROR_BADDB;
    statement.bind(1, foldedKey(r.name)).bind(2, r.name).bind(3, r.displayName).bind(4, r.binaryPath).bind(5, r.account);
    statement.bindBlob(6, joinList(r.dependencies));
    statement.bind(7, static_cast<int64_t>(r.type)).bind(8, static_cast<int64_t>(r.startType));
    statement.bind(9, static_cast<int64_t>(r.errorControl)).bind(10, static_cast<int64_t>(r.deleted));
    statement.bind(11, static_cast<int64_t>(r.status.dwCurrentState));
    statement.bind(12, static_cast<int64_t>(r.status.dwControlsAccepted));
    statement.bind(13, static_cast<int64_t>(r.status.dwWin32ExitCode));
    statement.bind(14, static_cast<int64_t>(r.status.dwServiceSpecificExitCode));
    statement.bind(15, static_cast<int64_t>(r.status.dwCheckPoint));
    statement.bind(16, static_cast<int64_t>(r.status.dwWaitHint));
    statement.bind(17, static_cast<int64_t>(r.processId)).bind(18, static_cast<int64_t>(r.processStart));
    statement.bind(19, r.token).bind(20, r.control);
    statement.bindBlob(21, joinList(r.startArguments));
    statement.bind(22, r.run);
    if (statement.step() != SQLITE_DONE)
        return insert ? ERROR_SERVICE_EXISTS : ERROR_BADDB;
    return 0;
}

DWORD removeRow(sqlite3 *db, const std::string &name)
{
    Statement remove(db, "DELETE FROM services WHERE folded = ?");
    remove.bind(1, foldedKey(name));
    return remove.step() == SQLITE_DONE ? 0 : ERROR_BADDB;
}

uint64_t ownStartTime()
{
    static const uint64_t started = processStartTime(getpid());
    return started;
}

// How many handles of live processes the service has open; the rows of processes that ended
// without closing theirs go, as the handles of an ended process close on Windows.
int64_t openHandles(sqlite3 *db, const std::string &name)
{
    Statement query(db, "SELECT process_id, process_start FROM handles WHERE folded = ?");
    query.bind(1, foldedKey(name));
    std::vector<std::pair<int64_t, int64_t>> dead;
    int64_t live = 0;
    while (query.ok() && query.step() == SQLITE_ROW) {
        const int64_t pid = query.integer(0);
        const int64_t started = query.integer(1);
        if (processStartTime(static_cast<pid_t>(pid)) == static_cast<uint64_t>(started))
            ++live;
        else
            dead.emplace_back(pid, started);
    }
    for (const auto &[pid, started] : dead) {
        Statement remove(db, "DELETE FROM handles WHERE folded = ? AND process_id = ? AND process_start = ?");
        remove.bind(1, foldedKey(name)).bind(2, pid).bind(3, started);
        remove.step();
    }
    return live;
}

// A service marked for deletion leaves the database once it has stopped and its last handle
// is closed; true when it went.
bool removeIfGone(sqlite3 *db, const ServiceRecord &record)
{
    if (!record.deleted || record.status.dwCurrentState != SERVICE_STOPPED || openHandles(db, record.name) > 0)
        return false;
    removeRow(db, record.name);
    return true;
}

// A service whose process is gone without its final report is stopped, as the manager
// notices when a service process ends. True when the service is gone from the database.
bool settle(sqlite3 *db, ServiceRecord &record)
{
    if (record.status.dwCurrentState != SERVICE_STOPPED && record.processId != 0) {
        uint64_t started = processStartTime(static_cast<pid_t>(record.processId));
        if (started == 0 || (record.processStart != 0 && started != record.processStart)) {
            record.status.dwCurrentState = SERVICE_STOPPED;
            record.status.dwControlsAccepted = 0;
            record.status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
            record.status.dwServiceSpecificExitCode = 0;
            record.status.dwCheckPoint = 0;
            record.status.dwWaitHint = 0;
            record.processId = 0;
            // The control address stays: it tells StartServiceA that the dispatcher had
            // connected before its process ended.
            store(db, record, false);
        }
    }
    return removeIfGone(db, record);
}

int64_t nowMs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

template <typename Work>
DWORD inTransaction(Work work)
{
    ProcessDatabase *d = database();
    if (!d->db)
        return ERROR_BADDB;
    std::lock_guard<std::mutex> guard(d->lock);
    Transaction transaction(d->db);
    if (!transaction.active())
        return ERROR_BADDB;
    DWORD error = work(d->db);
    if (error)
        return error;
    return transaction.commit() ? 0 : ERROR_BADDB;
}

}  // namespace

uint64_t processStartTime(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat))
        return 0;
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    // Field 3 is the state; field 22 the start time.
    std::vector<std::string> values;
    while (fields >> field)
        values.push_back(field);
    if (values.size() < 20 || values[0] == "Z" || values[0] == "X")
        return 0;
    return std::stoull(values[19]);
}

std::string serviceConsolePath(const std::string &name)
{
    return machineRoot() + "/scm/" + name + ".out";
}

DWORD loadService(const std::string &name, ServiceRecord &out)
{
    return inTransaction([&](sqlite3 *db) -> DWORD {
        if (DWORD error = select(db, name, out))
            return error;
        return settle(db, out) ? ERROR_SERVICE_DOES_NOT_EXIST : 0;
    });
}

std::vector<ServiceRecord> allServices()
{
    std::vector<ServiceRecord> records;
    inTransaction([&](sqlite3 *db) -> DWORD {
        Statement query(db, (std::string("SELECT ") + kColumns + " FROM services ORDER BY folded").c_str());
        while (query.ok() && query.step() == SQLITE_ROW)
            records.push_back(readRecord(query));
        std::vector<ServiceRecord> live;
        for (ServiceRecord &record : records)
            if (!settle(db, record))
                live.push_back(record);
        records.swap(live);
        return 0;
    });
    return records;
}

DWORD modifyService(const std::string &name, const std::function<DWORD(ServiceRecord &)> &change)
{
    return inTransaction([&](sqlite3 *db) -> DWORD {
        ServiceRecord record;
        if (DWORD error = select(db, name, record))
            return error;
        if (settle(db, record))
            return ERROR_SERVICE_DOES_NOT_EXIST;
        if (DWORD error = change(record))
            return error;
        return store(db, record, false);
    });
}

DWORD insertService(const ServiceRecord &record)
{
    return inTransaction([&](sqlite3 *db) -> DWORD {
        ServiceRecord existing;
        if (select(db, record.name, existing) == 0 && !settle(db, existing))
            return existing.deleted ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS;
        Statement count(db,
                        "INSERT INTO installations (folded, number) VALUES (?, 1)"
                        " ON CONFLICT (folded) DO UPDATE SET number = number + 1");
        count.bind(1, foldedKey(record.name));
        if (count.step() != SQLITE_DONE)
            return ERROR_BADDB;
        return store(db, record, true);
    });
}

DWORD openServiceHandle(const std::string &name, uintptr_t handle)
{
    return inTransaction([&](sqlite3 *db) -> DWORD {
        Statement insert(db, "INSERT INTO handles (folded, process_id, process_start, handle) VALUES (?, ?, ?, ?)");
        insert.bind(1, foldedKey(name)).bind(2, static_cast<int64_t>(getpid()));
        insert.bind(3, static_cast<int64_t>(ownStartTime())).bind(4, static_cast<int64_t>(handle));
        return insert.step() == SQLITE_DONE ? 0 : ERROR_BADDB;
    });
}

void closeServiceHandle(const std::string &name, uintptr_t handle)
{
    inTransaction([&](sqlite3 *db) -> DWORD {
        Statement remove(db, "DELETE FROM handles WHERE folded = ? AND process_id = ? AND process_start = ? AND handle = ?");
        remove.bind(1, foldedKey(name)).bind(2, static_cast<int64_t>(getpid()));
        remove.bind(3, static_cast<int64_t>(ownStartTime())).bind(4, static_cast<int64_t>(handle));
        remove.step();
        ServiceRecord record;
        if (select(db, name, record) == 0)
            settle(db, record);
        return 0;
    });
}

DWORD recordServiceReport(const std::string &name, int64_t run, const SERVICE_STATUS &status)
{
    return inTransaction([&](sqlite3 *db) -> DWORD {
        ServiceRecord record;
        if (DWORD error = select(db, name, record))
            return error;
        Statement insert(db,
                         "INSERT INTO reports (folded, run, process_id, time_ms, type, state, controls, win32_exit,"
                         " specific_exit, checkpoint, wait_hint, installation) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?,"
                         " COALESCE((SELECT number FROM installations WHERE folded = ?1), 1))");
        insert.bind(1, foldedKey(name)).bind(2, run).bind(3, static_cast<int64_t>(getpid())).bind(4, nowMs());
        insert.bind(5, static_cast<int64_t>(status.dwServiceType));
        insert.bind(6, static_cast<int64_t>(status.dwCurrentState));
        insert.bind(7, static_cast<int64_t>(status.dwControlsAccepted));
        insert.bind(8, static_cast<int64_t>(status.dwWin32ExitCode));
        insert.bind(9, static_cast<int64_t>(status.dwServiceSpecificExitCode));
        insert.bind(10, static_cast<int64_t>(status.dwCheckPoint));
        insert.bind(11, static_cast<int64_t>(status.dwWaitHint));
        if (insert.step() != SQLITE_DONE)
            return ERROR_BADDB;
        record.status = status;
        record.status.dwServiceType = record.type;
        if (DWORD error = store(db, record, false))
            return error;
        removeIfGone(db, record);
        return 0;
    });
}

std::vector<ServiceReport> serviceReports(const std::string &name)
{
    std::vector<ServiceReport> reports;
    inTransaction([&](sqlite3 *db) -> DWORD {
        Statement query(db,
                        "SELECT run, process_id, time_ms, type, state, controls, win32_exit, specific_exit,"
                        " checkpoint, wait_hint, installation FROM reports WHERE folded = ? ORDER BY id");
        query.bind(1, foldedKey(name));
        while (query.ok() && query.step() == SQLITE_ROW) {
            ServiceReport report;
            report.run = query.integer(0);
            report.processId = static_cast<uint32_t>(query.integer(1));
            report.timeMs = query.integer(2);
            report.status = SERVICE_STATUS{static_cast<DWORD>(query.integer(3)), static_cast<DWORD>(query.integer(4)),
                                           static_cast<DWORD>(query.integer(5)), static_cast<DWORD>(query.integer(6)),
                                           static_cast<DWORD>(query.integer(7)), static_cast<DWORD>(query.integer(8)),
                                           static_cast<DWORD>(query.integer(9))};
            report.installation = query.integer(10);
            reports.push_back(report);
        }
        return 0;
    });
    return reports;
}

void countServiceCall(const char *function)
{
    inTransaction([&](sqlite3 *db) -> DWORD {
        Statement count(db,
                        "INSERT INTO calls (function, count) VALUES (?, 1)"
                        " ON CONFLICT (function) DO UPDATE SET count = count + 1");
        count.bind(1, std::string(function));
        return count.step() == SQLITE_DONE ? 0 : ERROR_BADDB;
    });
}

std::map<std::string, int64_t> serviceCallCounts()
{
    std::map<std::string, int64_t> counts;
    inTransaction([&](sqlite3 *db) -> DWORD {
        Statement query(db, "SELECT function, count FROM calls");
        while (query.ok() && query.step() == SQLITE_ROW)
            counts[query.text(0)] = query.integer(1);
        return 0;
    });
    return counts;
}

}  // namespace winsim
