#include "service_log.h"

#include "win32_handles.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr DWORD kTempBufferSize = MAX_PATH;
constexpr const char *kFallbackLogPath = "C:\\WINDOWS\\Temp\\qzsrvc.log";
constexpr size_t kSourceNameBufferSize = 520;
constexpr size_t kSourceNameMaxLength = 518;
constexpr DWORD kAllEventTypes = 0x1F;

FileHandle logFile;
int threshold = LOG_MESSAGE;

const char *levelLabel(int level)
{
    switch (level) {
    case LOG_ERROR:
        return "Error: ";
    case LOG_MESSAGE:
        return "Message: ";
    case LOG_DEBUG:
        return "Debug: ";
    case LOG_TRACE:
        return "Trace: ";
    default:
        return "";
    }
}

// The current user's SID in a process-heap block, or null.
HeapBlock currentUserSid()
{
    HANDLE rawToken = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &rawToken)) {
        if (GetLastError() != ERROR_NO_TOKEN || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken))
            return HeapBlock();
    }
    FileHandle token(rawToken);
    DWORD needed = 0;
    if (GetTokenInformation(token.get(), TokenUser, nullptr, 0, &needed) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return HeapBlock();
    HeapBlock information(needed);
    if (!information.get() || !GetTokenInformation(token.get(), TokenUser, information.get(), needed, &needed))
        return HeapBlock();
    PSID sid = static_cast<TOKEN_USER *>(information.get())->User.Sid;
    DWORD length = GetLengthSid(sid);
    HeapBlock copy(length);
    if (!copy.get() || !CopySid(length, copy.get(), sid))
        return HeapBlock();
    return copy;
}

}  // namespace

std::string serviceLogPath()
{
    char temp[kTempBufferSize];
    DWORD length = GetEnvironmentVariableA("TEMP", temp, kTempBufferSize);
    // A value that does not fit returns the size it needs, which is not a path.
    if (length == 0 || length >= kTempBufferSize)
        return kFallbackLogPath;
    return std::string(temp, length) + "\\qzsrvc.log";
}

void openServiceLog()
{
    logFile.reset(CreateFileA(serviceLogPath().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

void writeLog(const char *message, int level)
{
    if (!logFile.valid() || level > threshold)
        return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[64];
    snprintf(stamp, sizeof stamp, "%02u/%02u/%02u %02u:%02u:%02u ", static_cast<unsigned>(now.wMonth % 100u),
             static_cast<unsigned>(now.wDay % 100u), static_cast<unsigned>(now.wYear % 100u),
             static_cast<unsigned>(now.wHour % 100u), static_cast<unsigned>(now.wMinute % 100u),
             static_cast<unsigned>(now.wSecond % 100u));
    // One write per line, so lines of two threads or processes never interleave.
    std::string line = std::string(stamp) + levelLabel(level) + (message ? message : "") + "\r\n";
    DWORD written = 0;
    WriteFile(logFile.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void writeLog(const std::string &message, int level)
{
    writeLog(message.c_str(), level);
}

void setLogThreshold(int level)
{
    threshold = level;
}

int logThreshold()
{
    return threshold;
}

char *lastErrorText(char *buffer, DWORD size)
{
    if (!buffer || size == 0)
        return buffer;
    const DWORD code = GetLastError();
    buffer[0] = '\0';
    LPSTR text = nullptr;
    // No arguments are passed, so inserts such as %1 in a system text are kept as they are.
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    LocalBlock owned(text);
    if (length == 0 || !text || size < length + 14)
        return buffer;
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        text[--length] = '\0';
    snprintf(buffer, size, "%s (0x%x)", text, static_cast<unsigned>(code));
    return buffer;
}

EventLogSource::~EventLogSource()
{
    close();
}

bool EventLogSource::open(const char *name, const char *messageFile)
{
    if (!name || !*name)
        return false;
    close();
    sourceName = static_cast<char *>(calloc(kSourceNameBufferSize, 1));
    if (!sourceName)
        return false;
    strncpy(sourceName, name, kSourceNameMaxLength);

    std::string keyPath = std::string("SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\") + sourceName;
    HKEY rawKey = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &rawKey, nullptr) != ERROR_SUCCESS)
        return false;
    RegistryKey key(rawKey);

    std::string file;
    if (messageFile) {
        file.assign(messageFile, strnlen(messageFile, kSourceNameMaxLength));
    } else {
        char program[MAX_PATH * 2] = "";
        DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
        std::string path(program, length < sizeof program ? length : 0);
        size_t slash = path.rfind('\\');
        file = (slash == std::string::npos ? std::string() : path.substr(0, slash)) + "\\EventText.dll";
    }
    RegSetValueExA(key.get(), "EventMessageFile", 0, REG_SZ, reinterpret_cast<const BYTE *>(file.c_str()),
                   static_cast<DWORD>(file.size() + 1));
    DWORD types = kAllEventTypes;
    RegSetValueExA(key.get(), "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&types), sizeof types);
    key.reset();

    handle = RegisterEventSourceA(nullptr, sourceName);
    return handle != nullptr;
}

bool EventLogSource::report(WORD eventType, const char *text)
{
    if (!handle || !text)
        return false;
    HeapBlock sid = currentUserSid();
    LPCSTR strings[1] = {text};
    return ReportEventA(handle, eventType, 0, kEventId, sid.get(), 1, 0, strings, nullptr) != FALSE;
}

void EventLogSource::close()
{
    if (handle) {
        DeregisterEventSource(handle);
        handle = nullptr;
    }
    free(sourceName);
    sourceName = nullptr;
}

ServiceConfig::ServiceConfig(const std::string &name, const std::string &displayName)
    : name_(name), displayName_(displayName)
{
}

void ServiceConfig::reportError(const char *message)
{
    // The failure being reported set this code; the event log calls below set others of their own.
    const DWORD failure = GetLastError();
    EventLogSource source;
    if (source.open(name_.c_str(), nullptr))
        source.report(EVENTLOG_ERROR_TYPE, message);
    lastError_ = failure;
    source.close();
}
