// The event log as the service host uses it: a source registered under the Application log
// reports error events; a source that no log registers still reports, to the Application log.
#include "../framework/support.h"

using namespace conformance;

namespace {

bool registerSource(const char *name)
{
    const std::string path = std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + name;
    OwnedKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.out(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    return RegSetValueExA(key.get(), "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&types),
                          sizeof types) == ERROR_SUCCESS;
}

}  // namespace

CHECK(eventlog, a_registered_source_reports_an_error_event)
{
    ASSERT_TRUE(registerSource("ConformanceSource"));
    HANDLE source = RegisterEventSourceA(nullptr, "ConformanceSource");
    ASSERT_SUCCEEDS(source);
    const char *strings[] = {"the conformance checks report an error"};
    EXPECT_SUCCEEDS(ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0x20000001, nullptr, 1, 0, strings, nullptr));
    EXPECT_SUCCEEDS(DeregisterEventSource(source));
}

CHECK(eventlog, a_source_that_no_log_registers_reports_to_the_application_log)
{
    HANDLE source = RegisterEventSourceA(nullptr, "ConformanceUnregisteredSource");
    ASSERT_SUCCEEDS(source);
    const char *strings[] = {"reported without a registration"};
    EXPECT_SUCCEEDS(ReportEventA(source, EVENTLOG_WARNING_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr));
    DeregisterEventSource(source);
}
