// RegisterEventSourceA, ReportEventA, DeregisterEventSource over the machine's event logs.
#include "advapi32/eventlog.h"

#include "kernel32/handles.h"
#include "machine/machine.h"
#include "machine/security_descriptor.h"
#include "machine/text.h"

#include <windows.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace winsim {

namespace {

constexpr int kBusyTimeoutMs = 30000;

const char *kSchema =
    "CREATE TABLE IF NOT EXISTS events ("
    " record INTEGER PRIMARY KEY AUTOINCREMENT, time_generated INTEGER NOT NULL, process_id INTEGER NOT NULL,"
    " event_id INTEGER NOT NULL, type INTEGER NOT NULL, category INTEGER NOT NULL, source TEXT NOT NULL,"
    " user_sid TEXT NOT NULL, data BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS event_strings ("
    " record INTEGER NOT NULL, position INTEGER NOT NULL, text TEXT NOT NULL, PRIMARY KEY (record, position));";

const char *const kLogs[] = {"Application", "System"};

struct EventSourceObject : KernelObject {
    std::string source;
    std::string log;
};

struct Database {
    sqlite3 *db = nullptr;
    ~Database() { sqlite3_close(db); }
};

// Opens (and creates) a log's file; null when it cannot be opened.
std::unique_ptr<Database> openLog(const std::string &log, bool create)
{
    const std::string path = eventLogPath(machineRoot(), log);
    struct stat st;
    if (!create && stat(path.c_str(), &st) != 0)
        return nullptr;
    mkdir((machineRoot() + "/drive_c/Windows/System32/winevt").c_str(), 0755);
    mkdir((machineRoot() + "/drive_c/Windows/System32/winevt/Logs").c_str(), 0755);
    auto database = std::make_unique<Database>();
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &database->db, flags, nullptr) != SQLITE_OK)
        return nullptr;
    sqlite3_busy_timeout(database->db, kBusyTimeoutMs);
    if (sqlite3_exec(database->db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK)
        return nullptr;
    return database;
}

bool validType(WORD type)
{
    return type == EVENTLOG_SUCCESS || type == EVENTLOG_ERROR_TYPE || type == EVENTLOG_WARNING_TYPE ||
           type == EVENTLOG_INFORMATION_TYPE || type == EVENTLOG_AUDIT_SUCCESS || type == EVENTLOG_AUDIT_FAILURE;
}

bool append(const std::string &log, const EventRecord &event)
{
    auto database = openLog(log, true);
    if (!database)
        return false;
    sqlite3 *db = database->db;
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    bool ok = false;
    sqlite3_stmt *insert = nullptr;
    if (sqlite3_prepare_v2(db,
                           "INSERT INTO events (time_generated, process_id, event_id, type, category, source,"
                           " user_sid, data) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                           -1, &insert, nullptr) == SQLITE_OK) {
        sqlite3_bind_int64(insert, 1, event.timeGenerated);
        sqlite3_bind_int64(insert, 2, event.processId);
        sqlite3_bind_int64(insert, 3, event.eventId);
        sqlite3_bind_int64(insert, 4, event.type);
        sqlite3_bind_int64(insert, 5, event.category);
        sqlite3_bind_text(insert, 6, event.source.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 7, event.userSid.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_blob(insert, 8, event.data.empty() ? "" : static_cast<const void *>(event.data.data()),
                          static_cast<int>(event.data.size()), SQLITE_TRANSIENT);
        ok = sqlite3_step(insert) == SQLITE_DONE;
    }
    sqlite3_finalize(insert);
    const int64_t record = sqlite3_last_insert_rowid(db);
    for (size_t i = 0; ok && i < event.strings.size(); ++i) {
        sqlite3_stmt *text = nullptr;
        ok = sqlite3_prepare_v2(db, "INSERT INTO event_strings (record, position, text) VALUES (?, ?, ?)", -1,
                                &text, nullptr) == SQLITE_OK;
        if (ok) {
            sqlite3_bind_int64(text, 1, record);
            sqlite3_bind_int64(text, 2, static_cast<int64_t>(i));
            sqlite3_bind_text(text, 3, event.strings[i].c_str(), -1, SQLITE_TRANSIENT);
            ok = sqlite3_step(text) == SQLITE_DONE;
        }
        sqlite3_finalize(text);
    }
    ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok)
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return ok;
}

}  // namespace

std::string eventLogPath(const std::string &root, const std::string &log)
{
    return root + "/drive_c/Windows/System32/winevt/Logs/" + log + ".sqlite";
}

std::vector<EventRecord> readEventLog(const std::string &log)
{
    std::vector<EventRecord> events;
    auto database = openLog(log, false);
    if (!database)
        return events;
    sqlite3_stmt *query = nullptr;
    if (sqlite3_prepare_v2(database->db,
                           "SELECT record, time_generated, process_id, event_id, type, category, source, user_sid,"
                           " data FROM events ORDER BY record",
                           -1, &query, nullptr) != SQLITE_OK)
        return events;
    while (sqlite3_step(query) == SQLITE_ROW) {
        EventRecord event;
        event.record = sqlite3_column_int64(query, 0);
        event.timeGenerated = sqlite3_column_int64(query, 1);
        event.processId = static_cast<uint32_t>(sqlite3_column_int64(query, 2));
        event.eventId = static_cast<DWORD>(sqlite3_column_int64(query, 3));
        event.type = static_cast<WORD>(sqlite3_column_int64(query, 4));
        event.category = static_cast<WORD>(sqlite3_column_int64(query, 5));
        event.source = reinterpret_cast<const char *>(sqlite3_column_text(query, 6));
        event.userSid = reinterpret_cast<const char *>(sqlite3_column_text(query, 7));
        const auto *data = static_cast<const uint8_t *>(sqlite3_column_blob(query, 8));
        event.data.assign(data, data + sqlite3_column_bytes(query, 8));
        events.push_back(std::move(event));
    }
    sqlite3_finalize(query);
    if (sqlite3_prepare_v2(database->db, "SELECT record, text FROM event_strings ORDER BY record, position", -1,
                           &query, nullptr) != SQLITE_OK)
        return events;
    size_t at = 0;
    while (sqlite3_step(query) == SQLITE_ROW) {
        int64_t record = sqlite3_column_int64(query, 0);
        while (at < events.size() && events[at].record < record)
            ++at;
        if (at < events.size() && events[at].record == record)
            events[at].strings.push_back(reinterpret_cast<const char *>(sqlite3_column_text(query, 1)));
    }
    sqlite3_finalize(query);
    return events;
}

std::string eventLogOfSource(const std::string &source)
{
    for (const char *log : kLogs) {
        std::string path = std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\") + log + "\\" + source;
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
            RegCloseKey(key);
            return log;
        }
    }
    // As on Windows, a source that no log registers writes to Application (its events then
    // have no message text to show).
    return "Application";
}

}  // namespace winsim

using namespace winsim;

extern "C" {

HANDLE WINAPI RegisterEventSourceA(LPCSTR server, LPCSTR source)
{
    if (server && *server) {
        SetLastError(ERROR_BAD_NETPATH);
        return nullptr;
    }
    if (!source || !*source) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto object = std::make_shared<EventSourceObject>();
    object->source = source;
    object->log = eventLogOfSource(source);
    return insertHandle(object);
}

BOOL WINAPI DeregisterEventSource(HANDLE handle)
{
    if (!lookupHandleAs<EventSourceObject>(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    removeHandle(handle);
    return TRUE;
}

BOOL WINAPI ReportEventA(HANDLE handle, WORD type, WORD category, DWORD eventId, PSID userSid, WORD stringCount,
                         DWORD dataSize, LPCSTR *strings, LPVOID rawData)
{
    auto source = lookupHandleAs<EventSourceObject>(handle);
    if (!source) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!validType(type) || (stringCount && !strings) || (dataSize && !rawData) ||
        (userSid && !IsValidSid(userSid))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    EventRecord event;
    event.timeGenerated = static_cast<int64_t>(time(nullptr));
    event.processId = static_cast<uint32_t>(getpid());
    event.eventId = eventId;
    event.type = type;
    event.category = category;
    event.source = source->source;
    if (userSid) {
        const auto *sid = static_cast<const uint8_t *>(userSid);
        event.userSid = sidToString(Bytes(sid, sid + GetLengthSid(userSid)));
    }
    for (WORD i = 0; i < stringCount; ++i) {
        if (!strings[i]) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        event.strings.push_back(strings[i]);
    }
    if (dataSize) {
        const auto *data = static_cast<const uint8_t *>(rawData);
        event.data.assign(data, data + dataSize);
    }
    if (!append(source->log, event)) {
        SetLastError(ERROR_CANTWRITE);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
