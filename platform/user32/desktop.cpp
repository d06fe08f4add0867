#include "user32/desktop.h"

#include "advapi32/services.h"
#include "machine/database.h"
#include "machine/machine.h"
#include "machine/restart.h"

#include <time.h>
#include <unistd.h>

#include <mutex>

namespace winsim {

namespace {

// Window handles are small even numbers above this base, as a 32-bit program may hold them;
// row ids are never reused, so neither are handles.
constexpr uintptr_t kWindowHandleBase = 0x10000;

const char *kSchema =
    "CREATE TABLE IF NOT EXISTS windows ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, class TEXT NOT NULL, title TEXT NOT NULL, style INTEGER NOT NULL,"
    " ex_style INTEGER NOT NULL, parent INTEGER NOT NULL, message_only INTEGER NOT NULL,"
    " process INTEGER NOT NULL, process_start INTEGER NOT NULL, thread INTEGER NOT NULL,"
    " user_data INTEGER NOT NULL, z INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS foreground (only INTEGER PRIMARY KEY CHECK (only = 1), window INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS message_boxes ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, time_ms INTEGER NOT NULL, process INTEGER NOT NULL,"
    " thread INTEGER NOT NULL, owner INTEGER NOT NULL, caption TEXT NOT NULL, text TEXT NOT NULL,"
    " type INTEGER NOT NULL, answer INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS shell_executions ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, time_ms INTEGER NOT NULL, process INTEGER NOT NULL,"
    " verb TEXT NOT NULL, file TEXT NOT NULL, parameters TEXT NOT NULL, directory TEXT NOT NULL,"
    " show INTEGER NOT NULL, result INTEGER NOT NULL);";

const char *kWindowColumns =
    "id, class, title, style, ex_style, parent, message_only, process, process_start, thread, user_data";

// The machine's desktop database, opened once per process. The desktop does not survive a
// restart, so nothing here needs to reach the disk.
ProcessDatabase &database()
{
    static ProcessDatabase *instance =
        openProcessDatabase(machineRoot() + "/desktop.sqlite", kSchema, Durability::untilRestart);
    return *instance;
}

int64_t nowMs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t handleValue(HWND handle)
{
    return static_cast<int64_t>(reinterpret_cast<uintptr_t>(handle));
}

DesktopWindow readWindow(Statement &query)
{
    DesktopWindow window;
    window.handle = windowHandleOfId(query.integer(0));
    window.className = query.text(1);
    window.title = query.text(2);
    window.style = static_cast<DWORD>(query.integer(3));
    window.exStyle = static_cast<DWORD>(query.integer(4));
    window.parent = reinterpret_cast<HWND>(static_cast<uintptr_t>(query.integer(5)));
    window.messageOnly = query.integer(6) != 0;
    window.process = static_cast<uint32_t>(query.integer(7));
    window.processStart = static_cast<uint64_t>(query.integer(8));
    window.thread = static_cast<DWORD>(query.integer(9));
    window.userData = static_cast<LONG_PTR>(query.integer(10));
    return window;
}

bool processRuns(const DesktopWindow &window)
{
    if (window.process == static_cast<uint32_t>(getpid()))
        return true;
    uint64_t started = processStartTime(static_cast<pid_t>(window.process));
    return started != 0 && started == window.processStart;
}

// Removes the windows of processes that ended without destroying them (killed, crashed).
void dropWindowsOfEndedProcesses(sqlite3 *db, const std::vector<DesktopWindow> &ended)
{
    for (const DesktopWindow &window : ended) {
        Statement remove(db, "DELETE FROM windows WHERE id = ?");
        remove.bind(1, windowIdOfHandle(window.handle));
        remove.step();
    }
}

HWND readForeground(sqlite3 *db)
{
    Statement query(db, "SELECT window FROM foreground WHERE only = 1");
    if (!query.ok() || query.step() != SQLITE_ROW)
        return nullptr;
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(query.integer(0)));
}

int64_t topOfZOrder(sqlite3 *db)
{
    Statement query(db, "SELECT COALESCE(MAX(z), 0) FROM windows");
    return query.ok() && query.step() == SQLITE_ROW ? query.integer(0) : 0;
}

// A restart brings up an empty desktop session: what the last one showed is gone, and so are
// the windows of processes that did not survive it.
StartupStep resetDesktop()
{
    StartupStep step;
    step.name = "desktop";
    ProcessDatabase &desktop = database();
    std::lock_guard<std::mutex> guard(desktop.lock);
    if (!desktop.db) {
        step.error = ERROR_BADDB;
        step.message = "the desktop database cannot be opened";
        return step;
    }
    std::vector<DesktopWindow> ended;
    {
        Statement query(desktop.db, (std::string("SELECT ") + kWindowColumns + " FROM windows").c_str());
        while (query.ok() && query.step() == SQLITE_ROW) {
            DesktopWindow window = readWindow(query);
            if (!processRuns(window))
                ended.push_back(window);
        }
    }
    dropWindowsOfEndedProcesses(desktop.db, ended);
    sqlite3_exec(desktop.db, "DELETE FROM message_boxes; DELETE FROM shell_executions;", nullptr, nullptr, nullptr);
    return step;
}

const StartupTaskRegistration desktopReset(kStartupResetRuntimeState, "desktop", resetDesktop);

}  // namespace

HWND windowHandleOfId(int64_t id)
{
    return reinterpret_cast<HWND>(kWindowHandleBase + static_cast<uintptr_t>(id) * 2);
}

int64_t windowIdOfHandle(HWND handle)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value <= kWindowHandleBase || (value & 1) || value > 0xFFFFFFFFu)
        return 0;
    return static_cast<int64_t>((value - kWindowHandleBase) / 2);
}

DWORD addDesktopWindow(DesktopWindow &window)
{
    ProcessDatabase &desktop = database();
    std::lock_guard<std::mutex> guard(desktop.lock);
    if (!desktop.db)
        return ERROR_NOT_ENOUGH_MEMORY;
    Transaction transaction(desktop.db);
    Statement insert(desktop.db,
                     "INSERT INTO windows (class, title, style, ex_style, parent, message_only, process, process_start,"
                     " thread, user_data, z) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, 0, ?)");
    if (!transaction.active() || !insert.ok())
        return ERROR_NOT_ENOUGH_MEMORY;
    insert.bind(1, window.className).bind(2, window.title);
    insert.bind(3, static_cast<int64_t>(window.style)).bind(4, static_cast<int64_t>(window.exStyle));
    insert.bind(5, handleValue(window.parent)).bind(6, static_cast<int64_t>(window.messageOnly));
    insert.bind(7, static_cast<int64_t>(window.process)).bind(8, static_cast<int64_t>(window.processStart));
    insert.bind(9, static_cast<int64_t>(window.thread)).bind(10, topOfZOrder(desktop.db) + 1);
    if (insert.step() != SQLITE_DONE)
        return ERROR_NOT_ENOUGH_MEMORY;
    window.handle = windowHandleOfId(sqlite3_last_insert_rowid(desktop.db));
    return transaction.commit() ? 0 : ERROR_NOT_ENOUGH_MEMORY;
}

void removeDesktopWindow(HWND handle)
{
    ProcessDatabase &desktop = database();
    std::lock_guard<std::mutex> guard(desktop.lock);
    if (!desktop.db)
        return;
    Transaction transaction(desktop.db);
    Statement remove(desktop.db, "DELETE FROM windows WHERE id = ?");
    remove.bind(1, windowIdOfHandle(handle));
    remove.step();
    Statement unfocus(desktop.db, "DELETE FROM foreground WHERE window = ?");
    unfocus.bind(1, handleValue(handle));
    unfocus.step();
    transaction.commit();
}

std::optional<DesktopWindow> desktopWindow(HWND handle)
{
    const int64_t id = windowIdOfHandle(handle);
    if (id == 0)
        return std::nullopt;
    ProcessDatabase &desktop = database();
    std::lock_guard<std::mutex> guard(desktop.lock);
    if (!desktop.db)
        return std::nullopt;
    Statement query(desktop.db, (std::string("SELECT ") + kWindowColumns + " FROM windows WHERE id = ?").c_str());
    query.bind(1, id);
    if (!query.ok() || query.step() != SQLITE_ROW)
        return std::nullopt;
    DesktopWindow window = readWindow(query);
    if (!processRuns(window)) {
        dropWindowsOfEndedProcesses(desktop.db, {window});
        return std::nullopt;
    }
    window.foreground = readForeground(desktop.db) == window.handle;
    return window;
}

std::vector<DesktopWindow> desktopWindows()
{
    std::vector<DesktopWindow> windows;
    ProcessDatabase &desktop = database();
    std::lock_guard<std::mutex> guard(desktop.lock);
    if (!desktop.db)
        return windows;
    std::vector<DesktopWindow> ended;
    HWND foreground = readForeground(desktop.db);
    {
        Statement query(desktop.db,
                        (std::string("SELECT ") + kWindowColumns + " FROM windows ORDER BY z DESC, id DESC").c_str());
        while (query.ok() && query.step() == SQLITE_ROW) {
            DesktopWindow window = readWindow(query);
            window.foreground = window.handle == foreground;
            (processRuns(window) ? windows : ended).push_back(window);
        }
    }
    dropWindowsOfEndedProcesses(desktop.db, ended);
    return windows;
}

bool changeWindowStyle(HWND handle, DWORD set, DWORD clear, DWORD *before)
{
    ProcessDatabase &desktop = database();
    std::lock_guard<std::mutex> guard(desktop.lock);
    if (!desktop.db)
        return false;
    Transaction transaction(desktop.db);
    Statement query(desktop.db, "SELECT style FROM windows WHERE id = ?");
    query.bind(1, windowIdOfHandle(handle));
    if (!transaction.active() || !query.ok() || query.step() != SQLITE_ROW)
        return false;
    const DWORD style = static_cast<DWORD>(query.integer(0));
    if (before)
        *before = style;
    Statement update(desktop.db, "UPDATE windows SET style = ? WHERE id = ?");
    update.bind(1, static_cast<int64_t>((style & ~clear) | set)).bind(2, windowIdOfHandle(handle));
    return update.step() == SQLITE_DONE && transaction.commit();
}

bool setWindowUserData(HWND handle, LONG_PTR value)
{
    ProcessDatabase &desktop = database();
    std::lock_guard<std::mutex> guard(desktop.lock);
    if (!desktop.db)
        return false;
    Statement update(desktop.db, "UPDATE windows SET user_data = ? WHERE id = ?");
    update.bind(1, static_cast<int64_t>(value)).bind(2, windowIdOfHandle(handle));
    return update.step() == SQLITE_DONE && sqlite3_changes(desktop.db) == 1;
}

bool setForegroundDesktopWindow(HWND handle)
{
    ProcessDatabase &desktop = database();
    std::lock_guard<std::mutex> guard(desktop.lock);
    if (!desktop.db)
        return false;
    Transaction transaction(desktop.db);
    if (!transaction.active())
        return false;
    Statement raise(desktop.db, "UPDATE windows SET z = ? WHERE id = ?");
    raise.bind(1, topOfZOrder(desktop.db) + 1).bind(2, windowIdOfHandle(handle));
    if (raise.step() != SQLITE_DONE || sqlite3_changes(desktop.db) != 1)
        return false;
    Statement focus(desktop.db, "INSERT OR REPLACE INTO foreground (only, window) VALUES (1, ?)");
    focus.bind(1, handleValue(handle));
    return focus.step() == SQLITE_DONE && transaction.commit();
}

HWND foregroundDesktopWindow()
{
    HWND handle;
    {
        ProcessDatabase &desktop = database();
        std::lock_guard<std::mutex> guard(desktop.lock);
        if (!desktop.db)
            return nullptr;
        handle = readForeground(desktop.db);
    }
    // The foreground window of a process that has ended is no window.
    return handle && desktopWindow(handle) ? handle : nullptr;
}

void recordMessageBox(MessageBoxRecord &box)
{
    ProcessDatabase &desktop = database();
    std::lock_guard<std::mutex> guard(desktop.lock);
    if (!desktop.db)
        return;
    box.timeMs = nowMs();
    Statement insert(desktop.db,
                     "INSERT INTO message_boxes (time_ms, process, thread, owner, caption, text, type, answer)"
                     " VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, box.timeMs).bind(2, static_cast<int64_t>(box.process)).bind(3, static_cast<int64_t>(box.thread));
    insert.bind(4, handleValue(box.owner)).bind(5, box.caption).bind(6, box.text);
    insert.bind(7, static_cast<int64_t>(box.type)).bind(8, static_cast<int64_t>(box.answer));
    if (insert.step() == SQLITE_DONE)
        box.id = sqlite3_last_insert_rowid(desktop.db);
}

std::vector<MessageBoxRecord> messageBoxes()
{
    std::vector<MessageBoxRecord> boxes;
    ProcessDatabase &desktop = database();
    std::lock_guard<std::mutex> guard(desktop.lock);
    if (!desktop.db)
        return boxes;
    Statement query(desktop.db, "SELECT id, time_ms, process, thread, owner, caption, text, type, answer"
                                " FROM message_boxes ORDER BY id");
    while (query.ok() && query.step() == SQLITE_ROW) {
        MessageBoxRecord box;
        box.id = query.integer(0);
        box.timeMs = query.integer(1);
        box.process = static_cast<uint32_t>(query.integer(2));
        box.thread = static_cast<DWORD>(query.integer(3));
        box.owner = reinterpret_cast<HWND>(static_cast<uintptr_t>(query.integer(4)));
        box.caption = query.text(5);
        box.text = query.text(6);
        box.type = static_cast<UINT>(query.integer(7));
        box.answer = static_cast<int>(query.integer(8));
        boxes.push_back(box);
    }
    return boxes;
}

void recordShellExecution(ShellExecution &execution)
{
    ProcessDatabase &desktop = database();
    std::lock_guard<std::mutex> guard(desktop.lock);
    if (!desktop.db)
        return;
    execution.timeMs = nowMs();
    Statement insert(desktop.db, "INSERT INTO shell_executions (time_ms, process, verb, file, parameters, directory,"
                                 " show, result) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, execution.timeMs).bind(2, static_cast<int64_t>(execution.process)).bind(3, execution.verb);
    insert.bind(4, execution.file).bind(5, execution.parameters).bind(6, execution.directory);
    insert.bind(7, static_cast<int64_t>(execution.show)).bind(8, static_cast<int64_t>(execution.result));
    if (insert.step() == SQLITE_DONE)
        execution.id = sqlite3_last_insert_rowid(desktop.db);
}

std::vector<ShellExecution> shellExecutions()
{
    std::vector<ShellExecution> executions;
    ProcessDatabase &desktop = database();
    std::lock_guard<std::mutex> guard(desktop.lock);
    if (!desktop.db)
        return executions;
    Statement query(desktop.db, "SELECT id, time_ms, process, verb, file, parameters, directory, show, result"
                                " FROM shell_executions ORDER BY id");
    while (query.ok() && query.step() == SQLITE_ROW) {
        ShellExecution execution;
        execution.id = query.integer(0);
        execution.timeMs = query.integer(1);
        execution.process = static_cast<uint32_t>(query.integer(2));
        execution.verb = query.text(3);
        execution.file = query.text(4);
        execution.parameters = query.text(5);
        execution.directory = query.text(6);
        execution.show = static_cast<int>(query.integer(7));
        execution.result = static_cast<intptr_t>(query.integer(8));
        executions.push_back(execution);
    }
    return executions;
}

}  // namespace winsim
