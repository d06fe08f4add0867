// Internet settings: InternetQueryOptionA without an Internet handle, reached as the product
// reaches it (wininet loaded by name), for the proxy record and its size protocol.
#include "../framework/support.h"

#include <wininet.h>

#include <cstring>
#include <vector>

using namespace conformance;

namespace {

using QueryOption = BOOL(WINAPI *)(HINTERNET, DWORD, LPVOID, LPDWORD);

constexpr const char *kSettingsKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

bool setSetting(const char *name, DWORD type, const void *data, DWORD size)
{
    OwnedKey key;
    return RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.out(),
                           nullptr) == ERROR_SUCCESS &&
           RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE *>(data), size) == ERROR_SUCCESS;
}

bool setProxy(DWORD enable, const char *server, const char *bypass)
{
    return setSetting("ProxyEnable", REG_DWORD, &enable, sizeof enable) &&
           setSetting("ProxyServer", REG_SZ, server, static_cast<DWORD>(strlen(server) + 1)) &&
           setSetting("ProxyOverride", REG_SZ, bypass, static_cast<DWORD>(strlen(bypass) + 1));
}

class Wininet {
public:
    Wininet() : module_(LoadLibraryA("wininet.dll"))
    {
        if (module_)
            query = reinterpret_cast<QueryOption>(reinterpret_cast<void (*)()>(GetProcAddress(module_, "InternetQueryOptionA")));
    }
    ~Wininet()
    {
        if (module_)
            FreeLibrary(module_);
    }
    Wininet(const Wininet &) = delete;
    Wininet &operator=(const Wininet &) = delete;

    QueryOption query = nullptr;

private:
    HMODULE module_;
};

const char *text(LPCTSTR pointer)
{
    return reinterpret_cast<const char *>(pointer);  // narrow in InternetQueryOptionA's answer
}

}  // namespace

CHECK(internet, the_proxy_record_tells_its_size_and_holds_its_strings)
{
    ASSERT_TRUE(setProxy(1, "proxy.example:8080", "<local>"));
    Wininet wininet;
    ASSERT_TRUE(wininet.query != nullptr);
    DWORD size = 0;
    EXPECT_FAILS_WITH(wininet.query(nullptr, INTERNET_OPTION_PROXY, nullptr, &size), FALSE, ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(size >= sizeof(INTERNET_PROXY_INFO) + strlen("proxy.example:8080") + strlen("<local>") + 2);
    std::vector<BYTE> buffer(size);
    DWORD given = size;
    ASSERT_SUCCEEDS(wininet.query(nullptr, INTERNET_OPTION_PROXY, buffer.data(), &given));
    EXPECT_EQ(given, size);
    const auto *info = reinterpret_cast<const INTERNET_PROXY_INFO *>(buffer.data());
    EXPECT_EQ(info->dwAccessType, static_cast<DWORD>(INTERNET_OPEN_TYPE_PROXY));
    ASSERT_TRUE(info->lpszProxy != nullptr && info->lpszProxyBypass != nullptr);
    EXPECT_EQ(std::string(text(info->lpszProxy)), std::string("proxy.example:8080"));
    EXPECT_EQ(std::string(text(info->lpszProxyBypass)), std::string("<local>"));
    // The strings live in the caller's buffer, after the record.
    const BYTE *first = reinterpret_cast<const BYTE *>(info->lpszProxy);
    const BYTE *second = reinterpret_cast<const BYTE *>(info->lpszProxyBypass);
    EXPECT_TRUE(first >= buffer.data() + sizeof(INTERNET_PROXY_INFO) && first < buffer.data() + size);
    EXPECT_TRUE(second >= buffer.data() + sizeof(INTERNET_PROXY_INFO) && second < buffer.data() + size);

    DWORD small = sizeof(INTERNET_PROXY_INFO);
    EXPECT_FAILS_WITH(wininet.query(nullptr, INTERNET_OPTION_PROXY, buffer.data(), &small), FALSE,
                      ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(small, size);
}

CHECK(internet, a_disabled_proxy_is_a_direct_connection)
{
    ASSERT_TRUE(setProxy(0, "proxy.example:8080", "<local>"));
    Wininet wininet;
    ASSERT_TRUE(wininet.query != nullptr);
    BYTE buffer[512];
    DWORD size = sizeof buffer;
    ASSERT_SUCCEEDS(wininet.query(nullptr, INTERNET_OPTION_PROXY, buffer, &size));
    const auto *info = reinterpret_cast<const INTERNET_PROXY_INFO *>(buffer);
    EXPECT_EQ(info->dwAccessType, static_cast<DWORD>(INTERNET_OPEN_TYPE_DIRECT));
}

CHECK(internet, an_option_of_a_session_needs_its_handle)
{
    Wininet wininet;
    ASSERT_TRUE(wininet.query != nullptr);
    char agent[64];
    DWORD size = sizeof agent;
    EXPECT_FAILS_WITH(wininet.query(nullptr, INTERNET_OPTION_USER_AGENT, agent, &size), FALSE,
                      ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
}
