// winsim reg ...: the registry of the machine.
#include "commands.h"

#include "advapi32/registry.h"
#include "machine/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *typeName(DWORD type)
{
    switch (type) {
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_BINARY:
        return "REG_BINARY";
    case REG_DWORD:
        return "REG_DWORD";
    case REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    case REG_QWORD:
        return "REG_QWORD";
    default:
        return "REG_NONE";
    }
}

std::string valueText(const winsim::RegistryValue &value)
{
    char number[32];
    switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ:
        return winsim::registryStringText(value.data);
    case REG_DWORD:
        if (value.data.size() == 4) {
            DWORD n = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) | (static_cast<DWORD>(value.data[3]) << 24);
            snprintf(number, sizeof number, "0x%x", n);
            return number;
        }
        [[fallthrough]];
    default: {
        std::string hex;
        for (uint8_t b : value.data) {
            snprintf(number, sizeof number, "%02X", b);
            hex += number;
        }
        return hex;
    }
    }
}

// "HKLM\\path" or "HKEY_LOCAL_MACHINE\\path" opened with the given rights.
LONG openKey(const std::string &name, REGSAM access, bool create, HKEY &key)
{
    size_t slash = name.find('\\');
    std::string root = name.substr(0, slash);
    std::string path = slash == std::string::npos ? std::string() : name.substr(slash + 1);
    if (!winsim::equalsIgnoreCase(std::string_view(root), "HKLM") &&
        !winsim::equalsIgnoreCase(std::string_view(root), "HKEY_LOCAL_MACHINE"))
        return ERROR_INVALID_PARAMETER;
    if (create)
        return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, access, nullptr, &key, nullptr);
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key);
}

}  // namespace

int registryCommand(int argc, char **argv)
{
    if (argc >= 2 && argc <= 3 && strcmp(argv[0], "query") == 0) {
        HKEY key = nullptr;
        if (LONG error = openKey(argv[1], KEY_READ, false, key))
            return failed(argv[1], error);
        std::vector<std::string> subkeys;
        std::vector<winsim::RegistryValue> values;
        LONG error = winsim::registryKeyContents(key, subkeys, values);
        RegCloseKey(key);
        if (error)
            return failed(argv[1], error);
        for (const auto &value : values) {
            if (argc == 3 && !winsim::equalsIgnoreCase(std::string_view(value.name), argv[2]))
                continue;
            if (argc == 3) {
                printf("%s\n", valueText(value).c_str());
                return 0;
            }
            printf("    %s    %s    %s\n", value.name.empty() ? "(Default)" : value.name.c_str(), typeName(value.type),
                   valueText(value).c_str());
        }
        if (argc == 3)
            return failed(argv[2], ERROR_FILE_NOT_FOUND);
        for (const std::string &subkey : subkeys)
            printf("%s\\%s\n", argv[1], subkey.c_str());
        return 0;
    }
    if (argc == 5 && strcmp(argv[0], "set") == 0) {
        std::string type = argv[3];
        std::string data = argv[4];
        DWORD dword = 0;
        const BYTE *bytes;
        DWORD size;
        DWORD typeCode;
        if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
            typeCode = type == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
            bytes = reinterpret_cast<const BYTE *>(data.c_str());
            size = static_cast<DWORD>(data.size() + 1);
        } else if (type == "REG_DWORD") {
            typeCode = REG_DWORD;
            dword = static_cast<DWORD>(strtoul(data.c_str(), nullptr, 0));
            bytes = reinterpret_cast<const BYTE *>(&dword);
            size = sizeof dword;
        } else {
            return commandUsage("reg");
        }
        HKEY key = nullptr;
        if (LONG error = openKey(argv[1], KEY_SET_VALUE, true, key))
            return failed(argv[1], error);
        LONG error = RegSetValueExA(key, argv[2], 0, typeCode, bytes, size);
        RegCloseKey(key);
        return error ? failed(argv[2], error) : 0;
    }
    return commandUsage("reg");
}
