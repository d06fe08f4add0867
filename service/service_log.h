// The service log (qzsrvc.log in the temporary directory), the Application event log reports,
// and the service's identity with the last error it reported.
#pragma once

#include <windows.h>

#include <string>

enum LogLevel {
    LOG_ERROR = 0,
    LOG_MESSAGE = 1,
    LOG_DEBUG = 2,
    LOG_TRACE = 3,
};

// The log's path: %TEMP%\qzsrvc.log, or C:\WINDOWS\Temp\qzsrvc.log when TEMP is unset or does
// not fit a MAX_PATH buffer.
std::string serviceLogPath();

// Opens the log for appending, shared with other processes; a stream opened earlier is replaced.
// When the file cannot be opened nothing is logged.
void openServiceLog();

// Appends "MM/DD/YY HH:MM:SS <label><message>" when level passes the threshold.
void writeLog(const char *message, int level);
void writeLog(const std::string &message, int level);

// LOG_MESSAGE until the -trace start parameter raises it to LOG_TRACE.
void setLogThreshold(int level);
int logThreshold();

// The system text of the thread's last error without its line end, followed by " (0x<code>)";
// the empty string when the text and that suffix do not fit in size bytes.
char *lastErrorText(char *buffer, DWORD size);

// An event source of the Application log, registered under
// HKLM\SYSTEM\CurrentControlSet\Services\Eventlog\Application\<name> on every open.
class EventLogSource {
public:
    EventLogSource() = default;
    ~EventLogSource();
    EventLogSource(const EventLogSource &) = delete;
    EventLogSource &operator=(const EventLogSource &) = delete;

    // messageFile null: EventText.dll beside the program.
    bool open(const char *name, const char *messageFile);
    bool report(WORD eventType, const char *text);
    void close();

    static constexpr DWORD kEventId = 0x20000001;

private:
    HANDLE handle = nullptr;
    char *sourceName = nullptr;
};

class ServiceConfig {
public:
    ServiceConfig(const std::string &name, const std::string &displayName);

    const std::string &name() const { return name_; }
    const std::string &displayName() const { return displayName_; }
    DWORD lastError() const { return lastError_; }

    // One error event under the service name; records the error that was current when the
    // failure was reported. Silent when the event log cannot be written.
    void reportError(const char *message);

private:
    std::string name_;
    std::string displayName_;
    DWORD lastError_ = 0;
};
