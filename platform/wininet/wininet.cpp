// wininet.dll of the emulated machine: InternetQueryOptionA for the process-wide settings (no
// Internet handle), read afresh on every call from the current user's Internet Settings key, as
// the control panel and `winsim reg set` write them:
//   HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings
//     ProxyEnable (REG_DWORD), ProxyServer (REG_SZ), ProxyOverride (REG_SZ: the bypass list),
//     MaxConnectionsPerServer, MaxConnectionsPer1_0Server (REG_DWORD).
// The library keeps no state; no Internet session exists, so every handle is invalid.
#include <windows.h>
#include <wininet.h>

#include <cstring>
#include <algorithm>
#include <string>

namespace {

constexpr const char *kSettingsKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
// What Windows uses on a broadband connection unless told otherwise.
constexpr DWORD kDefaultConnectionsPerServer = 6;

class SettingsKey {
public:
    SettingsKey()
    {
        if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &key_) != ERROR_SUCCESS)
            key_ = nullptr;
    }
    ~SettingsKey()
    {
        if (key_)
            RegCloseKey(key_);
    }
    SettingsKey(const SettingsKey &) = delete;
    SettingsKey &operator=(const SettingsKey &) = delete;

    bool number(const char *name, DWORD &value) const
    {
        DWORD type = 0, size = sizeof value;
        DWORD read = 0;
        if (!key_ || RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<LPBYTE>(&read), &size) !=
                         ERROR_SUCCESS || type != REG_DWORD || size != sizeof read)
            return false;
        value = read;
        return true;
    }

    // A string value without its terminator; false when absent or of another type.
    bool text(const char *name, std::string &value) const
    {
        DWORD type = 0, size = 0;
        if (!key_ || RegQueryValueExA(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
            (type != REG_SZ && type != REG_EXPAND_SZ))
            return false;
        std::string data(size, '\0');
        if (RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<LPBYTE>(data.data()), &size) !=
            ERROR_SUCCESS)
            return false;
        data.resize(std::min<size_t>(size, data.size()));
        value = data.substr(0, data.find('\0'));
        return true;
    }

private:
    HKEY key_ = nullptr;
};

// The INTERNET_PROXY_INFO record with its strings behind it in one block, as Windows lays it out;
// the pointers are filled when the block is copied into the caller's buffer.
struct ProxyRecord {
    DWORD accessType = INTERNET_OPEN_TYPE_DIRECT;
    std::string proxy;
    std::string bypass;
    bool hasProxy = false;
    bool hasBypass = false;

    DWORD size() const
    {
        return static_cast<DWORD>(sizeof(INTERNET_PROXY_INFO) + (hasProxy ? proxy.size() + 1 : 0) +
                                  (hasBypass ? bypass.size() + 1 : 0));
    }

    void copyTo(void *buffer) const
    {
        auto *info = static_cast<INTERNET_PROXY_INFO *>(buffer);
        char *strings = static_cast<char *>(buffer) + sizeof(INTERNET_PROXY_INFO);
        info->dwAccessType = accessType;
        info->lpszProxy = nullptr;
        info->lpszProxyBypass = nullptr;
        if (hasProxy) {
            memcpy(strings, proxy.c_str(), proxy.size() + 1);
            info->lpszProxy = reinterpret_cast<LPCTSTR>(strings);
            strings += proxy.size() + 1;
        }
        if (hasBypass) {
            memcpy(strings, bypass.c_str(), bypass.size() + 1);
            info->lpszProxyBypass = reinterpret_cast<LPCTSTR>(strings);
        }
    }
};

// A direct connection unless a proxy is enabled and named; a proxy without a bypass list has
// none (a null pointer).
ProxyRecord proxySettings()
{
    SettingsKey settings;
    ProxyRecord record;
    DWORD enabled = 0;
    std::string server;
    if (!settings.number("ProxyEnable", enabled) || enabled == 0 || !settings.text("ProxyServer", server) ||
        server.empty())
        return record;
    record.accessType = INTERNET_OPEN_TYPE_PROXY;
    record.proxy = server;
    record.hasProxy = true;
    record.hasBypass = settings.text("ProxyOverride", record.bypass) && !record.bypass.empty();
    return record;
}

DWORD connectionsSetting(const char *name)
{
    DWORD value = kDefaultConnectionsPerServer;
    SettingsKey().number(name, value);
    return value;
}

// The size protocol of every option: a buffer too small (or none) learns the size it needs.
BOOL answer(const void *data, DWORD size, LPVOID buffer, LPDWORD length)
{
    if (!buffer || *length < size) {
        *length = size;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(buffer, data, size);
    *length = size;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL answerNumber(DWORD value, LPVOID buffer, LPDWORD length)
{
    return answer(&value, sizeof value, buffer, length);
}

}  // namespace

extern "C" BOOL WINAPI InternetQueryOptionA(HINTERNET internet, DWORD option, LPVOID buffer, LPDWORD length)
{
    if (!length) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (internet) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    switch (option) {
    case INTERNET_OPTION_PROXY: {
        ProxyRecord record = proxySettings();
        const DWORD size = record.size();
        if (!buffer || *length < size) {
            *length = size;
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        record.copyTo(buffer);
        *length = size;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    case INTERNET_OPTION_VERSION: {
        const INTERNET_VERSION_INFO version = {1, 2};
        return answer(&version, sizeof version, buffer, length);
    }
    case INTERNET_OPTION_CONNECTED_STATE:
        return answerNumber(INTERNET_STATE_CONNECTED, buffer, length);
    case INTERNET_OPTION_MAX_CONNS_PER_SERVER:
        return answerNumber(connectionsSetting("MaxConnectionsPerServer"), buffer, length);
    case INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER:
        return answerNumber(connectionsSetting("MaxConnectionsPer1_0Server"), buffer, length);
    case INTERNET_OPTION_USER_AGENT:
    case 43:  // INTERNET_OPTION_PROXY_USERNAME
    case 44:  // INTERNET_OPTION_PROXY_PASSWORD
        // Options of a session, which the process-wide settings do not have.
        SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        return FALSE;
    default:
        SetLastError(ERROR_INTERNET_INVALID_OPTION);
        return FALSE;
    }
}
