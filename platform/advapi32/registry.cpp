// The registry functions. HKEY_LOCAL_MACHINE holds the machine's hives SOFTWARE and SYSTEM,
// each an SQLite file under C:\Windows\System32\config shared by every process of the machine.
#include "advapi32/registry.h"

#include "advapi32/token.h"
#include "kernel32/handles.h"
#include "machine/machine.h"
#include "machine/text.h"

#include <cstring>

namespace winsim {

namespace {

struct RegistryKeyObject : KernelObject {
    std::shared_ptr<Hive> hive;  // null for the root of HKEY_LOCAL_MACHINE, which holds the hives
    int64_t id = 0;
    ACCESS_MASK access = 0;
};

constexpr ACCESS_MASK kKeyWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC |
                                        WRITE_OWNER;

struct MachineHive {
    const char *name;
    std::string (*path)(const std::string &root);
};

const MachineHive kMachineHives[] = {{"SOFTWARE", softwareHivePath}, {"SYSTEM", systemHivePath}};

ACCESS_MASK mapKeyAccess(REGSAM sam)
{
    ACCESS_MASK access = sam & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED |
                                 KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    if (sam & (GENERIC_READ | GENERIC_EXECUTE))
        access |= KEY_READ;
    if (sam & GENERIC_WRITE)
        access |= KEY_WRITE;
    if (sam & GENERIC_ALL)
        access |= KEY_ALL_ACCESS;
    if (sam & MAXIMUM_ALLOWED)
        access |= mayWriteMachineKeys() ? KEY_ALL_ACCESS : KEY_READ;
    return access;
}

// The key object of a handle; the predefined HKEY_LOCAL_MACHINE is always open.
std::shared_ptr<RegistryKeyObject> keyFromHandle(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE) {
        auto root = std::make_shared<RegistryKeyObject>();
        root->access = KEY_ALL_ACCESS;
        return root;
    }
    return lookupHandleAs<RegistryKeyObject>(reinterpret_cast<HANDLE>(key));
}

LONG openOrCreate(HKEY parent, LPCSTR subKey, REGSAM sam, bool create, PHKEY result, LPDWORD disposition)
{
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    auto base = keyFromHandle(parent);
    if (!base)
        return ERROR_INVALID_HANDLE;
    std::vector<std::string> path;
    if (LONG error = static_cast<LONG>(splitRegistryPath(subKey ? subKey : "", path)))
        return error;
    ACCESS_MASK access = mapKeyAccess(sam);
    const bool writer = mayWriteMachineKeys();
    if ((access & kKeyWriteRights) && !writer)
        return ERROR_ACCESS_DENIED;

    auto opened = std::make_shared<RegistryKeyObject>();
    opened->access = access;
    opened->hive = base->hive;
    opened->id = base->id;
    if (!base->hive && !path.empty()) {
        // The first name under HKEY_LOCAL_MACHINE picks a hive; nothing else can be created there.
        const MachineHive *chosen = nullptr;
        for (const MachineHive &hive : kMachineHives)
            if (equalsIgnoreCase(std::string_view(hive.name), std::string_view(path.front())))
                chosen = &hive;
        if (!chosen)
            return create ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
        DWORD error = 0;
        opened->hive = Hive::open(chosen->path(machineRoot()), error);
        if (!opened->hive)
            return static_cast<LONG>(error);
        opened->id = Hive::kRootKey;
        path.erase(path.begin());
    }
    bool created = false;
    if (opened->hive) {
        int64_t found = 0;
        DWORD error = opened->hive->openPath(opened->id, path, found);
        if (error == ERROR_FILE_NOT_FOUND && create) {
            // Creating a key takes the right to create subkeys, which only writers hold here.
            if (!writer)
                return ERROR_ACCESS_DENIED;
            error = opened->hive->createPath(opened->id, path, found, created);
        }
        if (error)
            return static_cast<LONG>(error);
        opened->id = found;
    }
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = reinterpret_cast<HKEY>(insertHandle(opened));
    return ERROR_SUCCESS;
}

bool isStringType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

}  // namespace

bool mayWriteMachineKeys()
{
    return hasAdministrativeRights();
}

LONG registryKeyContents(HKEY key, std::vector<std::string> &subkeys, std::vector<RegistryValue> &values)
{
    auto object = keyFromHandle(key);
    if (!object)
        return ERROR_INVALID_HANDLE;
    if (!object->hive) {
        for (const MachineHive &hive : kMachineHives)
            subkeys.push_back(hive.name);
        return ERROR_SUCCESS;
    }
    if (DWORD error = object->hive->listSubkeys(object->id, subkeys))
        return static_cast<LONG>(error);
    return static_cast<LONG>(object->hive->listValues(object->id, values));
}

}  // namespace winsim

using namespace winsim;

extern "C" {

LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR, DWORD options, REGSAM sam,
                            const LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition)
{
    if (reserved != 0 || (options & ~REG_OPTION_VOLATILE) != 0 || !subKey)
        return ERROR_INVALID_PARAMETER;
    return openOrCreate(key, subKey, sam, true, result, disposition);
}

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM sam, PHKEY result)
{
    return openOrCreate(key, subKey, sam, false, result, nullptr);
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize)
{
    if (reserved || (data && !dataSize))
        return ERROR_INVALID_PARAMETER;
    auto object = keyFromHandle(key);
    if (!object)
        return ERROR_INVALID_HANDLE;
    if (!(object->access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    if (!object->hive)
        return ERROR_FILE_NOT_FOUND;
    RegistryValue value;
    if (DWORD error = object->hive->queryValue(object->id, valueName ? valueName : "", value))
        return static_cast<LONG>(error);
    std::vector<uint8_t> bytes = value.data;
    if (isStringType(value.type)) {
        // The narrow form of a stored UTF-16 string, its terminators kept as stored.
        std::u16string wide;
        for (size_t i = 0; i + 1 < value.data.size(); i += 2)
            wide.push_back(static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8)));
        std::string narrow = toUtf8(wide);
        bytes.assign(narrow.begin(), narrow.end());
    }
    if (type)
        *type = value.type;
    if (!dataSize)
        return ERROR_SUCCESS;
    DWORD available = *dataSize;
    *dataSize = static_cast<DWORD>(bytes.size());
    if (!data)
        return ERROR_SUCCESS;
    if (available < bytes.size())
        return ERROR_MORE_DATA;
    if (!bytes.empty())
        memcpy(data, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE *data, DWORD size)
{
    if (reserved != 0 || (!data && size))
        return ERROR_INVALID_PARAMETER;
    auto object = keyFromHandle(key);
    if (!object)
        return ERROR_INVALID_HANDLE;
    if (!(object->access & KEY_SET_VALUE) || !object->hive)
        return ERROR_ACCESS_DENIED;
    RegistryValue value;
    value.name = valueName ? valueName : "";
    value.type = type;
    if (isStringType(type))
        value.data = registryString(std::string(reinterpret_cast<const char *>(data), size), false);
    else if (size)
        value.data.assign(data, data + size);
    return static_cast<LONG>(object->hive->setValue(object->id, value));
}

LONG WINAPI RegCloseKey(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    if (!lookupHandleAs<RegistryKeyObject>(reinterpret_cast<HANDLE>(key)))
        return ERROR_INVALID_HANDLE;
    removeHandle(reinterpret_cast<HANDLE>(key));
    return ERROR_SUCCESS;
}

}  // extern "C"
