// winsim eventlog and winsim console-event.
#include "commands.h"

#include "advapi32/eventlog.h"
#include "kernel32/console.h"
#include "machine/machine.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char *eventTypeName(WORD type)
{
    switch (type) {
    case EVENTLOG_ERROR_TYPE:
        return "Error";
    case EVENTLOG_WARNING_TYPE:
        return "Warning";
    case EVENTLOG_INFORMATION_TYPE:
        return "Information";
    case EVENTLOG_AUDIT_SUCCESS:
        return "AuditSuccess";
    case EVENTLOG_AUDIT_FAILURE:
        return "AuditFailure";
    default:
        return "Success";
    }
}

}  // namespace

int eventLogCommand(int argc, char **argv)
{
    if (argc > 1)
        return commandUsage("eventlog");
    winsim::machineRoot();
    for (const winsim::EventRecord &event : winsim::readEventLog(argc == 1 ? argv[0] : "Application")) {
        time_t when = static_cast<time_t>(event.timeGenerated);
        tm local{};
        localtime_r(&when, &local);
        char stamp[32];
        strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        printf("%lld %s %s %s 0x%08X pid=%u user=%s", static_cast<long long>(event.record), stamp,
               eventTypeName(event.type), event.source.c_str(), event.eventId, event.processId,
               event.userSid.empty() ? "-" : event.userSid.c_str());
        for (const std::string &text : event.strings)
            printf(" \"%s\"", text.c_str());
        printf("\n");
    }
    return 0;
}

int consoleEventCommand(int argc, char **argv)
{
    static const struct {
        const char *name;
        DWORD type;
    } kEvents[] = {{"ctrl-c", CTRL_C_EVENT},   {"break", CTRL_BREAK_EVENT},       {"close", CTRL_CLOSE_EVENT},
                   {"logoff", CTRL_LOGOFF_EVENT}, {"shutdown", CTRL_SHUTDOWN_EVENT}};
    if (argc != 2)
        return commandUsage("console-event");
    for (const auto &event : kEvents) {
        if (strcmp(argv[1], event.name) == 0) {
            if (int error = winsim::sendConsoleEvent(static_cast<pid_t>(atol(argv[0])), event.type)) {
                fprintf(stderr, "winsim: cannot signal process %s: %s\n", argv[0], strerror(error));
                return 1;
            }
            return 0;
        }
    }
    return commandUsage("console-event");
}
