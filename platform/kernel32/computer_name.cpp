// GetComputerNameExW: the names of the emulated computer, read from the registry values in which
// Windows keeps them, so that a test sets them with the machine tool:
//   NetBIOS name   HKLM\SYSTEM\CurrentControlSet\Control\ComputerName\ActiveComputerName  ComputerName
//   DNS host name  HKLM\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters                Hostname
//   DNS domain     HKLM\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters                Domain
// The fully qualified name is the host name, a dot and the domain (the host name alone without
// a domain). The machine is no cluster node, so the physical forms give the same names.
#include "machine/hive.h"
#include "machine/machine.h"
#include "machine/text.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace winsim {

namespace {

constexpr const char *kActiveNameKey = "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName";
constexpr const char *kTcpipKey = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

// A string value of HKLM through the registry's own functions; 0 or the registry's error.
LONG readName(const char *keyPath, const char *valueName, std::string &out)
{
    HKEY key = nullptr;
    LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, &key);
    if (error != ERROR_SUCCESS)
        return error;
    DWORD type = 0;
    DWORD size = 0;
    error = RegQueryValueExA(key, valueName, nullptr, &type, nullptr, &size);
    std::string text(size + 1, '\0');
    if (error == ERROR_SUCCESS)
        error = RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<LPBYTE>(text.data()), &size);
    RegCloseKey(key);
    if (error != ERROR_SUCCESS)
        return error;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_INVALID_DATA;
    out.assign(text.c_str());
    return ERROR_SUCCESS;
}

LONG computerName(COMPUTER_NAME_FORMAT format, std::string &out)
{
    switch (format) {
    case ComputerNameNetBIOS:
    case ComputerNamePhysicalNetBIOS:
        return readName(kActiveNameKey, "ComputerName", out);
    case ComputerNameDnsHostname:
    case ComputerNamePhysicalDnsHostname:
        return readName(kTcpipKey, "Hostname", out);
    case ComputerNameDnsDomain:
    case ComputerNamePhysicalDnsDomain:
        return readName(kTcpipKey, "Domain", out);
    case ComputerNameDnsFullyQualified:
    case ComputerNamePhysicalDnsFullyQualified: {
        std::string host, domain;
        if (LONG error = readName(kTcpipKey, "Hostname", host))
            return error;
        if (LONG error = readName(kTcpipKey, "Domain", domain); error && error != ERROR_FILE_NOT_FOUND)
            return error;
        out = domain.empty() ? host : host + "." + domain;
        return ERROR_SUCCESS;
    }
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

// A new machine is a workgroup computer named as Windows Setup names one when told the name.
void registerComputerNames(const std::string &root)
{
    DWORD error = 0;
    auto hive = Hive::open(systemHivePath(root), error);
    if (!hive)
        return;
    auto seed = [&](const std::vector<std::string> &path, const char *name, const char *value) {
        int64_t key = 0;
        bool created = false;
        RegistryValue existing;
        if (hive->createPath(Hive::kRootKey, path, key, created) == 0 && hive->queryValue(key, name, existing) != 0)
            hive->setValue(key, RegistryValue{name, REG_SZ, registryString(value)});
    };
    seed({"CurrentControlSet", "Control", "ComputerName", "ActiveComputerName"}, "ComputerName", "WINSIM");
    seed({"CurrentControlSet", "Control", "ComputerName", "ComputerName"}, "ComputerName", "WINSIM");
    seed({"CurrentControlSet", "Services", "Tcpip", "Parameters"}, "Hostname", "winsim");
    seed({"CurrentControlSet", "Services", "Tcpip", "Parameters"}, "Domain", "");
}

const MachineSetupRegistration computerNameSetup(120, registerComputerNames);

}  // namespace

}  // namespace winsim

extern "C" {

BOOL WINAPI GetComputerNameExW(COMPUTER_NAME_FORMAT format, LPWSTR buffer, LPDWORD size)
{
    if (!size || format < ComputerNameNetBIOS || format >= ComputerNameMax) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string name;
    if (LONG error = winsim::computerName(format, name)) {
        SetLastError(static_cast<DWORD>(error));
        return FALSE;
    }
    std::u16string wide = winsim::toUtf16(name);
    if (!buffer || *size < wide.size() + 1) {
        *size = static_cast<DWORD>(wide.size() + 1);
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    memcpy(buffer, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
    *size = static_cast<DWORD>(wide.size());
    return TRUE;
}

}  // extern "C"
