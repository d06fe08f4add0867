// The computer's names, the tick count, and the service manager's view of dependencies.
#include "machine/machine.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <string>
#include <vector>

using namespace winsim;

TEST(ComputerName, SizesFollowTheMoreDataProtocol)
{
    DWORD size = 0;
    EXPECT_FALSE(GetComputerNameExW(ComputerNameNetBIOS, nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(size, 7u);  // "WINSIM" and its NUL
    std::vector<WCHAR> name(size);
    size = 3;
    EXPECT_FALSE(GetComputerNameExW(ComputerNameNetBIOS, name.data(), &size));
    EXPECT_EQ(size, 7u);
    ASSERT_TRUE(GetComputerNameExW(ComputerNameNetBIOS, name.data(), &size));
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(std::u16string(name.data()), u"WINSIM");

    size = 1;
    WCHAR empty[1] = {u'x'};
    ASSERT_TRUE(GetComputerNameExW(ComputerNameDnsDomain, empty, &size));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(empty[0], 0);

    EXPECT_FALSE(GetComputerNameExW(ComputerNameMax, name.data(), &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(GetComputerNameExW(ComputerNameNetBIOS, name.data(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(TickCount, CountsMillisecondsAndWrapsWithTheOffset)
{
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t monotonic = static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
    EXPECT_LE(static_cast<DWORD>(GetTickCount() - static_cast<DWORD>(monotonic)), 1000u);
    // Put the wrap a little ahead: the counter passes 0xFFFFFFFF and starts again from 0.
    const int64_t offset = (int64_t{1} << 32) - 1500 - static_cast<int64_t>(monotonic % (uint64_t{1} << 32));
    setMachineSetting(machineRoot(), "tick.offset", std::to_string(offset));
    const auto start = std::chrono::steady_clock::now();
    const DWORD before = GetTickCount();
    EXPECT_GE(before, 0xFFFF0000u);
    DWORD after = before;
    while (after >= before && std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
        Sleep(20);
        after = GetTickCount();
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_LT(after, before) << "the counter wrapped";
    // An unsigned difference does not see the wrap.
    EXPECT_NEAR(static_cast<double>(after - before), static_cast<double>(elapsed.count()), 100.0);
    setMachineSetting(machineRoot(), "tick.offset", "");
}

TEST(ServiceDependencies, DependentsAreListedInTheOrderInWhichTheyCanBeStopped)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    auto create = [&](const char *name, const char *dependencies) {
        SC_HANDLE service = CreateServiceA(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "\"C:\\none.exe\"", nullptr,
                                           nullptr, dependencies, nullptr, nullptr);
        EXPECT_NE(service, nullptr);
        return service;
    };
    // Top -> Middle -> Base, Side -> Base, Both -> Top and Side.
    SC_HANDLE base = create("Base", nullptr);
    CloseServiceHandle(create("Middle", "Base\0"));
    CloseServiceHandle(create("Top", "Middle\0"));
    CloseServiceHandle(create("Side", "base\0"));
    CloseServiceHandle(create("Both", "Top\0Side\0"));
    CloseServiceHandle(create("Unrelated", nullptr));

    DWORD needed = 0, count = 0;
    EXPECT_TRUE(EnumDependentServicesA(base, SERVICE_ACTIVE, nullptr, 0, &needed, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(EnumDependentServicesA(base, SERVICE_STATE_ALL, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    std::vector<char> buffer(needed);
    auto *list = reinterpret_cast<LPENUM_SERVICE_STATUSA>(buffer.data());
    ASSERT_TRUE(EnumDependentServicesA(base, SERVICE_STATE_ALL, list, needed, &needed, &count));
    std::vector<std::string> names;
    for (DWORD i = 0; i < count; ++i)
        names.push_back(list[i].lpServiceName);
    ASSERT_EQ(names.size(), 4u);
    auto position = [&](const char *name) { return std::find(names.begin(), names.end(), name) - names.begin(); };
    EXPECT_LT(position("Both"), position("Top"));
    EXPECT_LT(position("Both"), position("Side"));
    EXPECT_LT(position("Top"), position("Middle"));
    CloseServiceHandle(base);
    CloseServiceHandle(manager);
}
