// GetVersionExA: both record sizes, the product type from the registry, the 9x setting; and the
// tasks of a machine restart.
#include "machine/machine.h"
#include "machine/restart.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

void setProductType(const char *type)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\ProductOptions", 0, nullptr,
                              0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "ProductType", 0, REG_SZ, reinterpret_cast<const BYTE *>(type),
                             static_cast<DWORD>(strlen(type) + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

}  // namespace

TEST(Version, BothRecordSizesAndNoOther)
{
    OSVERSIONINFOA plain{};
    plain.dwOSVersionInfoSize = sizeof plain;
    ASSERT_EQ(sizeof plain, 148u);
    ASSERT_TRUE(GetVersionExA(&plain));
    EXPECT_EQ(plain.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(plain.dwMajorVersion, 6u);
    EXPECT_EQ(plain.dwMinorVersion, 2u);

    OSVERSIONINFOEXA extended{};
    extended.dwOSVersionInfoSize = sizeof extended;
    ASSERT_EQ(sizeof extended, 156u);
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&extended)));
    EXPECT_EQ(extended.wProductType, VER_NT_WORKSTATION);

    OSVERSIONINFOEXA wrong{};
    wrong.dwOSVersionInfoSize = 150;
    SetLastError(0);
    EXPECT_FALSE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&wrong)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(Version, ProductTypeFollowsTheRegistry)
{
    const struct {
        const char *text;
        BYTE type;
    } cases[] = {{"ServerNT", VER_NT_SERVER}, {"lanmannt", VER_NT_DOMAIN_CONTROLLER}, {"WinNT", VER_NT_WORKSTATION}};
    for (const auto &c : cases) {
        setProductType(c.text);
        OSVERSIONINFOEXA extended{};
        extended.dwOSVersionInfoSize = sizeof extended;
        ASSERT_TRUE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&extended)));
        EXPECT_EQ(extended.wProductType, c.type) << c.text;
    }
}

TEST(Version, NineXFamilySetting)
{
    winsim::setMachineSetting(winsim::machineRoot(), "version.family", "9x");
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));
    EXPECT_EQ(info.dwMajorVersion, 4u);
    EXPECT_EQ(info.dwBuildNumber & 0xFFFF, 2222u);
    winsim::setMachineSetting(winsim::machineRoot(), "version.family", "");
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
}

namespace {

int restartOrder[2];
int restartCount = 0;

const winsim::StartupTaskRegistration lateTask(winsim::kStartupResetRuntimeState + 1, "late", [] {
    restartOrder[restartCount++ % 2] = 2;
    return winsim::StartupStep{};
});
const winsim::StartupTaskRegistration earlyTask(winsim::kStartupReplaceHives - 1, "early", [] {
    restartOrder[restartCount++ % 2] = 1;
    return winsim::StartupStep{"", ERROR_ACCESS_DENIED, "refused"};
});

}  // namespace

TEST(Restart, RunsEveryTaskInOrderEvenAfterAFailure)
{
    restartCount = 0;
    std::vector<winsim::StartupStep> steps = winsim::restartMachine();
    ASSERT_EQ(restartCount, 2);
    EXPECT_EQ(restartOrder[0], 1);
    EXPECT_EQ(restartOrder[1], 2);
    ASSERT_GE(steps.size(), 2u);
    EXPECT_EQ(steps.front().name, "early");
    EXPECT_EQ(steps.front().error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(steps.back().name, "late");
}
