// RegisterEventSourceA, ReportEventA, DeregisterEventSource over the machine's event logs.
#include "advapi32/eventlog.h"

#include "kernel32/handles.h"
#include "machine/database.h"
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

// Opens (and creates) a log's file; empty when it cannot be opened.
DatabaseConnection openLog(const std::string &log, bool create)
{
    const std::string path = eventLogPath(machineRoot(), log);
    struct stat st;
    if (!create && stat(path.c_str(), &st) != 0)
        return DatabaseConnection();
    mkdir((machineRoot() + "/drive_c/Windows/System32/winevt").c_str(), 0755);
    mkdir((machineRoot() + "/drive_c/Windows/System32/winevt/Logs").c_str(), 0755);
    return DatabaseConnection(openMachineDatabase(path, kSchema, Durability::durable));
}

bool validType(WORD type)
{
    return type == EVENTLOG_SUCCESS || type == EVENTLOG_ERROR_TYPE || type == EVENTLOG_WARNING_TYPE ||
           type == EVENTLOG_INFORMATION_TYPE || type == EVENTLOG_AUDIT_SUCCESS || type == EVENTLOG_AUDIT_FAILURE;
}

bool append(const std::string &log, const EventRecord &event)
{
    DatabaseConnection database = openLog(log, true);
    if (!database)
        return false;
    sqlite3 *db = database.get();
    Transaction transaction(db);
    if (!transaction.active())
        return false;
    Statement insert(db,
                     "INSERT INTO events (time_generated, process_id, event_id, type, category, source, user_sid,"
                     " data) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, event.timeGenerated).bind(2, static_cast<int64_t>(event.processId));
    insert.bind(3, static_cast<int64_t>(event.eventId)).bind(4, static_cast<int64_t>(event.type));
    insert.bind(5, static_cast<int64_t>(event.category)).bind(6, event.source).bind(7, event.userSid);
    insert.bindBlob(8, event.data);
    if (!insert.ok() || insert.step() != SQLITE_DONE)
        return false;
    const int64_t record = sqlite3_last_insert_rowid(db);
    for (size_t i = 0; i < event.strings.size(); ++i) {
        Statement text(db, "INSERT INTO event_strings (record, position, text) VALUES (?, ?, ?)");
        text.bind(1, record).bind(2, static_cast<int64_t>(i)).bind(3, event.strings[i]);
        if (!text.ok() || text.step() != SQLITE_DONE)
            return false;
    }
    return transaction.commit();
}

}  // namespace

std::string eventLogPath(const std::string &root, const std::string &log)
{
    return root + "/drive_c/Windows/System32/winevt/Logs/" + log + ".sqlite";
}

std::vector<EventRecord> readEventLog(const std::string &log)
{
    std::vector<EventRecord> events;
    DatabaseConnection database = openLog(log, false);
    if (!database)
        return events;
    Statement query(database.get(),
                    "SELECT record, time_generated, process_id, event_id, type, category, source, user_sid, data"
                    " FROM events ORDER BY record");
    while (query.ok() && query.step() == SQLITE_ROW) {
        EventRecord event;
        event.record = query.integer(0);
        event.timeGenerated = query.integer(1);
        event.processId = static_cast<uint32_t>(query.integer(2));
        event.eventId = static_cast<DWORD>(query.integer(3));
        event.type = static_cast<WORD>(query.integer(4));
        event.category = static_cast<WORD>(query.integer(5));
        event.source = query.text(6);
        event.userSid = query.text(7);
        event.data = query.blob(8);
        events.push_back(std::move(event));
    }
    Statement strings(database.get(), "SELECT record, text FROM event_strings ORDER BY record, position");
    size_t at = 0;
    while (strings.ok() && strings.step() == SQLITE_ROW) {
        int64_t record = strings.integer(0);
        while (at < events.size() && events[at].record < record)
            ++at;
        if (at < events.size() && events[at].record == record)
            events[at].strings.push_back(strings.text(1));
    }
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
    // Only a registered source may write: a program that reports without registering its
    // source first would otherwise go unnoticed here.
    return "";
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
    if (object->log.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
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
