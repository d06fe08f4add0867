// The machine's event logs: one SQLite file per log under C:\Windows\System32\winevt\Logs,
// written by ReportEventA and read by tests and the machine tool.
#pragma once

#include <windef.h>

#include <cstdint>
#include <string>
#include <vector>

namespace winsim {

struct EventRecord {
    int64_t record = 0;
    int64_t timeGenerated = 0;  // seconds since 1970, UTC
    uint32_t processId = 0;
    DWORD eventId = 0;
    WORD type = 0;
    WORD category = 0;
    std::string source;
    std::string userSid;  // S-1-..., empty when the report carried none
    std::vector<std::string> strings;
    std::vector<uint8_t> data;
};

std::string eventLogPath(const std::string &root, const std::string &log);

// Every record of a log, oldest first; empty when the log was never written.
std::vector<EventRecord> readEventLog(const std::string &log);

// The log a source writes to: the one under SYSTEM\CurrentControlSet\Services\EventLog that
// registers it; empty for a source no log registers, which may not write.
std::string eventLogOfSource(const std::string &source);

}  // namespace winsim
