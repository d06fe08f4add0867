// wininet.dll of the machine, loaded by name as the product loads it: the process-wide proxy
// settings of the current user, the size protocol and the errors of InternetQueryOptionA.
#include "machine/machine.h"

#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using QueryOption = BOOL(WINAPI *)(HINTERNET, DWORD, LPVOID, LPDWORD);

QueryOption queryOption()
{
    HMODULE module = LoadLibraryA("wininet");
    EXPECT_NE(module, nullptr);
    return module ? reinterpret_cast<QueryOption>(reinterpret_cast<void (*)()>(GetProcAddress(module, "InternetQueryOptionA")))
                  : nullptr;
}

void setSetting(const char16_t *name, DWORD type, const void *data, DWORD size)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                              nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (data)
        ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE *>(data), size), ERROR_SUCCESS);
    else
        RegDeleteValueW(key, name);
    RegCloseKey(key);
}

void setText(const char16_t *name, const std::u16string &text)
{
    setSetting(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2));
}

void setNumber(const char16_t *name, DWORD value)
{
    setSetting(name, REG_DWORD, &value, sizeof value);
}

// The proxy record in a buffer of exactly the size asked for.
std::vector<char> proxyRecord(QueryOption query)
{
    DWORD size = 0;
    EXPECT_FALSE(query(nullptr, INTERNET_OPTION_PROXY, nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<char> buffer(size);
    DWORD small = size - 1;
    EXPECT_FALSE(query(nullptr, INTERNET_OPTION_PROXY, buffer.data(), &small));
    EXPECT_EQ(small, size);
    EXPECT_TRUE(query(nullptr, INTERNET_OPTION_PROXY, buffer.data(), &size));
    EXPECT_EQ(size, buffer.size());
    return buffer;
}

const char *proxyOf(const std::vector<char> &record)
{
    return reinterpret_cast<const char *>(reinterpret_cast<const INTERNET_PROXY_INFO *>(record.data())->lpszProxy);
}

const char *bypassOf(const std::vector<char> &record)
{
    return reinterpret_cast<const char *>(
        reinterpret_cast<const INTERNET_PROXY_INFO *>(record.data())->lpszProxyBypass);
}

DWORD accessOf(const std::vector<char> &record)
{
    return reinterpret_cast<const INTERNET_PROXY_INFO *>(record.data())->dwAccessType;
}

}  // namespace

TEST(Wininet, ProxySettingsOfTheCurrentUserInOneBuffer)
{
    QueryOption query = queryOption();
    ASSERT_NE(query, nullptr);

    std::vector<char> record = proxyRecord(query);
    EXPECT_EQ(accessOf(record), static_cast<DWORD>(INTERNET_OPEN_TYPE_DIRECT));
    EXPECT_EQ(record.size(), sizeof(INTERNET_PROXY_INFO));

    setText(u"ProxyServer", u"http=proxy.example:8080;https=secure.example:8443");
    setText(u"ProxyOverride", u"*.internal;<local>");
    record = proxyRecord(query);
    EXPECT_EQ(accessOf(record), static_cast<DWORD>(INTERNET_OPEN_TYPE_DIRECT)) << "not enabled";

    setNumber(u"ProxyEnable", 1);
    record = proxyRecord(query);
    EXPECT_EQ(accessOf(record), static_cast<DWORD>(INTERNET_OPEN_TYPE_PROXY));
    EXPECT_STREQ(proxyOf(record), "http=proxy.example:8080;https=secure.example:8443");
    EXPECT_STREQ(bypassOf(record), "*.internal;<local>");
    // The strings lie in the caller's buffer, behind the record.
    EXPECT_GE(proxyOf(record), record.data() + sizeof(INTERNET_PROXY_INFO));
    EXPECT_LT(bypassOf(record), record.data() + record.size());

    setSetting(u"ProxyOverride", REG_SZ, nullptr, 0);
    record = proxyRecord(query);
    EXPECT_STREQ(proxyOf(record), "http=proxy.example:8080;https=secure.example:8443");
    EXPECT_EQ(bypassOf(record), nullptr) << "a proxy without a bypass list";

    setNumber(u"ProxyEnable", 0);
    EXPECT_EQ(accessOf(proxyRecord(query)), static_cast<DWORD>(INTERNET_OPEN_TYPE_DIRECT));
}

TEST(Wininet, OtherOptionsAndErrors)
{
    QueryOption query = queryOption();
    ASSERT_NE(query, nullptr);
    DWORD value = 0, size = sizeof value;
    EXPECT_TRUE(query(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &value, &size));
    EXPECT_EQ(value, 6u);
    setNumber(u"MaxConnectionsPerServer", 0x41424344);
    EXPECT_TRUE(query(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &value, &size));
    EXPECT_EQ(value, 0x41424344u);
    EXPECT_TRUE(query(nullptr, INTERNET_OPTION_CONNECTED_STATE, &value, &size));
    EXPECT_EQ(value, static_cast<DWORD>(INTERNET_STATE_CONNECTED));
    INTERNET_VERSION_INFO version{};
    size = sizeof version;
    EXPECT_TRUE(query(nullptr, INTERNET_OPTION_VERSION, &version, &size));
    EXPECT_EQ(version.dwMajorVersion, 1u);

    size = sizeof value;
    EXPECT_FALSE(query(nullptr, 9999, &value, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_INVALID_OPTION));
    EXPECT_FALSE(query(nullptr, INTERNET_OPTION_USER_AGENT, &value, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_INCORRECT_HANDLE_TYPE));
    EXPECT_FALSE(query(reinterpret_cast<HINTERNET>(0x1234), INTERNET_OPTION_PROXY, &value, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(query(nullptr, INTERNET_OPTION_PROXY, &value, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}
