// GetVersionExA: the version of the emulated machine. A program without a compatibility manifest
// is told 6.2 (build 9200) on every later Windows, so that is what the machine reports; the
// setting `version.family = 9x` makes it a Windows 98 machine, for the narrow code paths of
// programs that still choose by platform. The product type comes from the registry value that
// Windows keeps it in (HKLM\SYSTEM\CurrentControlSet\Control\ProductOptions, ProductType).
#include "machine/hive.h"
#include "machine/machine.h"
#include "machine/text.h"

#include <windows.h>

#include <cstring>

namespace winsim {

namespace {

constexpr const char *kProductOptionsKey = "SYSTEM\\CurrentControlSet\\Control\\ProductOptions";

BYTE productType()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductOptionsKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return VER_NT_WORKSTATION;
    char text[64] = {};
    DWORD size = sizeof text - 1;
    DWORD type = 0;
    LONG error = RegQueryValueExA(key, "ProductType", nullptr, &type, reinterpret_cast<LPBYTE>(text), &size);
    RegCloseKey(key);
    if (error != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return VER_NT_WORKSTATION;
    if (equalsIgnoreCase(std::string_view(text), "LanmanNT"))
        return VER_NT_DOMAIN_CONTROLLER;
    if (equalsIgnoreCase(std::string_view(text), "ServerNT"))
        return VER_NT_SERVER;
    return VER_NT_WORKSTATION;
}

// A new machine is a workstation, as a Windows client installation writes it.
void registerProductType(const std::string &root)
{
    DWORD error = 0;
    auto hive = Hive::open(systemHivePath(root), error);
    if (!hive)
        return;
    int64_t key = 0;
    bool created = false;
    if (hive->createPath(Hive::kRootKey, {"CurrentControlSet", "Control", "ProductOptions"}, key, created) != 0)
        return;
    RegistryValue existing;
    if (hive->queryValue(key, "ProductType", existing) == 0)
        return;
    hive->setValue(key, RegistryValue{"ProductType", REG_SZ, registryString("WinNT")});
}

const MachineSetupRegistration productTypeSetup(110, registerProductType);

}  // namespace

}  // namespace winsim

extern "C" {

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info)
{
    if (!info) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    const DWORD size = info->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const bool nineX = winsim::machineSetting("version.family", "nt") == "9x";
    memset(info, 0, size);
    info->dwOSVersionInfoSize = size;
    if (nineX) {
        info->dwMajorVersion = 4;
        info->dwMinorVersion = 10;
        info->dwBuildNumber = 0x040A08AE;  // 4.10.2222, with the version in the high word as 9x gives it
        info->dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
        strcpy(info->szCSDVersion, " A ");
    } else {
        info->dwMajorVersion = 6;
        info->dwMinorVersion = 2;
        info->dwBuildNumber = 9200;
        info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    }
    if (size == sizeof(OSVERSIONINFOEXA) && !nineX) {
        auto *extended = reinterpret_cast<LPOSVERSIONINFOEXA>(info);
        extended->wSuiteMask = 0x0100;  // VER_SUITE_SINGLEUSERTS, as a client edition reports
        extended->wProductType = winsim::productType();
    }
    return TRUE;
}

}  // extern "C"
