// winsim reg ...: the registry of the machine, through the registry functions as any program of
// the machine would call them, so that tests can build any registry state (raw data of any type
// and size, such as other programs leave behind) and read what the product wrote.
#include "commands.h"

#include "advapi32/registry.h"
#include "machine/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct TypeName {
    DWORD type;
    const char *name;
};

const TypeName kTypeNames[] = {
    {REG_NONE, "REG_NONE"},
    {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {REG_BINARY, "REG_BINARY"},
    {REG_DWORD, "REG_DWORD"},
    {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, "REG_LINK"},
    {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_RESOURCE_LIST, "REG_RESOURCE_LIST"},
    {REG_FULL_RESOURCE_DESCRIPTOR, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {REG_RESOURCE_REQUIREMENTS_LIST, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {REG_QWORD, "REG_QWORD"},
};

std::string typeName(DWORD type)
{
    for (const TypeName &entry : kTypeNames)
        if (entry.type == type)
            return entry.name;
    char number[32];
    snprintf(number, sizeof number, "0x%x", static_cast<unsigned>(type));
    return number;
}

bool parseType(const std::string &text, DWORD &type)
{
    for (const TypeName &entry : kTypeNames) {
        if (text == entry.name) {
            type = entry.type;
            return true;
        }
    }
    char *end = nullptr;
    unsigned long number = strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end || number > 0xFFFFFFFFul)
        return false;
    type = static_cast<DWORD>(number);
    return true;
}

std::string hexText(const Bytes &data)
{
    std::string hex;
    char pair[4];
    for (uint8_t b : data) {
        snprintf(pair, sizeof pair, "%02X", b);
        hex += pair;
    }
    return hex;
}

// Hex digits, in pairs, optionally separated by commas, blanks or line breaks.
bool parseHex(const std::string &text, Bytes &out)
{
    out.clear();
    int high = -1;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        else
            return false;
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    return high < 0;
}

Bytes wideBytes(const std::u16string &text)
{
    Bytes out;
    for (char16_t unit : text) {
        out.push_back(static_cast<uint8_t>(unit));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return out;
}

std::u16string unitsOf(const Bytes &data)
{
    std::u16string wide;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        wide.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    return wide;
}

uint64_t littleEndian(const Bytes &data, size_t size)
{
    uint64_t n = 0;
    for (size_t i = size; i-- > 0;)
        n = n << 8 | data[i];
    return n;
}

std::string valueText(const winsim::RegistryValue &value)
{
    char number[32];
    switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        return winsim::registryStringText(value.data);
    case REG_MULTI_SZ: {
        // The strings joined with \0, as reg.exe shows them.
        std::u16string wide = unitsOf(value.data);
        while (!wide.empty() && wide.back() == u'\0')
            wide.pop_back();
        std::string text;
        size_t start = 0;
        for (size_t end; (end = wide.find(u'\0', start)) != std::u16string::npos; start = end + 1)
            text += winsim::toUtf8(wide.substr(start, end - start)) + "\\0";
        return text + winsim::toUtf8(wide.substr(start));
    }
    case REG_DWORD:
        if (value.data.size() == 4) {
            snprintf(number, sizeof number, "0x%x", static_cast<unsigned>(littleEndian(value.data, 4)));
            return number;
        }
        break;
    case REG_QWORD:
        if (value.data.size() == 8) {
            snprintf(number, sizeof number, "0x%llx", static_cast<unsigned long long>(littleEndian(value.data, 8)));
            return number;
        }
        break;
    default:
        break;
    }
    return hexText(value.data);
}

// The data of `reg set`: hex:... is taken as raw bytes for any type; otherwise as the type reads.
bool parseData(DWORD type, const std::string &text, Bytes &out)
{
    if (text.compare(0, 4, "hex:") == 0)
        return parseHex(text.substr(4), out);
    char *end = nullptr;
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_LINK: {
        out = wideBytes(winsim::toUtf16(text) + u'\0');
        return true;
    }
    case REG_MULTI_SZ: {
        std::u16string list;
        size_t start = 0;
        for (size_t sep; (sep = text.find("\\0", start)) != std::string::npos; start = sep + 2)
            list += winsim::toUtf16(text.substr(start, sep - start)) + u'\0';
        list += winsim::toUtf16(text.substr(start)) + u'\0';
        list += u'\0';
        out = wideBytes(list);
        return true;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN: {
        unsigned long long n = strtoull(text.c_str(), &end, 0);
        if (text.empty() || *end || n > 0xFFFFFFFFull)
            return false;
        out.clear();
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<uint8_t>(n >> (type == REG_DWORD ? 8 * i : 8 * (3 - i))));
        return true;
    }
    case REG_QWORD: {
        unsigned long long n = strtoull(text.c_str(), &end, 0);
        if (text.empty() || *end)
            return false;
        out.clear();
        for (int i = 0; i < 8; ++i)
            out.push_back(static_cast<uint8_t>(n >> (8 * i)));
        return true;
    }
    default:
        return parseHex(text, out);
    }
}

struct RootName {
    const char *shortName;
    const char *longName;
    HKEY key;
};

const RootName kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKU", "HKEY_USERS", HKEY_USERS},
};

// "HKLM\path" (or HKEY_LOCAL_MACHINE\path, HKCU, HKCR, HKU): the root and the path below it.
bool splitKeyName(const std::string &name, HKEY &root, std::u16string &path)
{
    size_t slash = name.find('\\');
    std::string rootName = name.substr(0, slash);
    for (const RootName &entry : kRoots) {
        if (winsim::equalsIgnoreCase(std::string_view(rootName), entry.shortName) ||
            winsim::equalsIgnoreCase(std::string_view(rootName), entry.longName)) {
            root = entry.key;
            path = slash == std::string::npos ? std::u16string() : winsim::toUtf16(name.substr(slash + 1));
            return true;
        }
    }
    return false;
}

LONG openKey(const std::string &name, REGSAM access, bool create, HKEY &key)
{
    HKEY root;
    std::u16string path;
    if (!splitKeyName(name, root, path))
        return ERROR_INVALID_PARAMETER;
    if (create)
        return RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, access, nullptr, &key, nullptr);
    return RegOpenKeyExW(root, path.c_str(), 0, access, &key);
}

// Enables a privilege the token holds, as reg.exe does for the commands that need one.
void enablePrivilege(const char16_t *name)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    CloseHandle(token);
}

// Deletes a key with everything below it.
LONG deleteTree(HKEY parent, const std::u16string &name)
{
    HKEY key = nullptr;
    if (LONG error = RegOpenKeyExW(parent, name.c_str(), 0, KEY_ENUMERATE_SUB_KEYS | DELETE, &key))
        return error;
    LONG error = 0;
    for (;;) {
        WCHAR child[256];
        DWORD length = 256;
        error = RegEnumKeyExW(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr);
        if (error)
            break;
        if ((error = deleteTree(key, std::u16string(child, length))))
            break;
    }
    RegCloseKey(key);
    if (error != ERROR_NO_MORE_ITEMS)
        return error;
    return RegDeleteKeyW(parent, name.c_str());
}

int query(const std::string &keyName, const char *valueName)
{
    HKEY key = nullptr;
    if (LONG error = openKey(keyName, KEY_READ, false, key))
        return failed(keyName.c_str(), error);
    std::vector<std::string> subkeys;
    std::vector<winsim::RegistryValue> values;
    LONG error = winsim::registryKeyContents(key, subkeys, values);
    RegCloseKey(key);
    if (error)
        return failed(keyName.c_str(), error);
    for (const auto &value : values) {
        if (valueName) {
            if (winsim::equalsIgnoreCase(std::string_view(value.name), valueName)) {
                printf("%s\n", valueText(value).c_str());
                return 0;
            }
            continue;
        }
        printf("    %s    %s    %s\n", value.name.empty() ? "(Default)" : value.name.c_str(),
               typeName(value.type).c_str(), valueText(value).c_str());
    }
    if (valueName)
        return failed(valueName, ERROR_FILE_NOT_FOUND);
    for (const std::string &subkey : subkeys)
        printf("%s\\%s\n", keyName.c_str(), subkey.c_str());
    return 0;
}

// Windows Registry Editor files: [key], [-key], "name"=..., @=..., continuation lines.
class RegFileImport {
public:
    int run(const std::string &file)
    {
        std::ifstream in(file, std::ios::binary);
        if (!in)
            return failed(file.c_str(), ERROR_FILE_NOT_FOUND);
        std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string text = decode(raw);
        std::vector<std::string> lines = logicalLines(text);
        if (lines.empty() || (lines[0] != "Windows Registry Editor Version 5.00" && lines[0] != "REGEDIT4")) {
            fprintf(stderr, "winsim: %s: not a registry file\n", file.c_str());
            return 1;
        }
        winsim::RegistryBatch batch;
        for (size_t i = 1; i < lines.size(); ++i) {
            if (int status = line(lines[i], batch)) {
                closeKey();
                return status;
            }
        }
        closeKey();
        if (LONG error = batch.commit())
            return failed(file.c_str(), error);
        return 0;
    }

private:
    static std::string decode(const std::string &raw)
    {
        if (raw.size() >= 2 && static_cast<uint8_t>(raw[0]) == 0xFF && static_cast<uint8_t>(raw[1]) == 0xFE) {
            std::u16string wide;
            for (size_t i = 2; i + 1 < raw.size(); i += 2)
                wide.push_back(static_cast<char16_t>(static_cast<uint8_t>(raw[i]) | static_cast<uint8_t>(raw[i + 1]) << 8));
            return winsim::toUtf8(wide);
        }
        if (raw.compare(0, 3, "\xEF\xBB\xBF") == 0)
            return raw.substr(3);
        return raw;
    }

    static std::vector<std::string> logicalLines(const std::string &text)
    {
        std::vector<std::string> lines;
        std::istringstream in(text);
        std::string line, pending;
        while (std::getline(in, line)) {
            while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
                line.pop_back();
            if (!pending.empty()) {
                size_t start = line.find_first_not_of(" \t");
                line = pending + (start == std::string::npos ? std::string() : line.substr(start));
                pending.clear();
            }
            if (!line.empty() && line.back() == '\\' && line.find('=') != std::string::npos) {
                line.pop_back();
                pending = line;
                continue;
            }
            if (!line.empty() && line[0] != ';')
                lines.push_back(line);
        }
        if (!pending.empty())
            lines.push_back(pending);
        return lines;
    }

    void closeKey()
    {
        if (key_)
            RegCloseKey(key_);
        key_ = nullptr;
    }

    int line(const std::string &text, winsim::RegistryBatch &batch)
    {
        if (text.front() == '[') {
            closeKey();
            if (text.back() != ']')
                return bad(text);
            std::string name = text.substr(1, text.size() - 2);
            if (!name.empty() && name.front() == '-') {
                HKEY root;
                std::u16string path;
                if (!splitKeyName(name.substr(1), root, path))
                    return bad(text);
                LONG error = deleteTree(root, path);
                return error && error != ERROR_FILE_NOT_FOUND ? failed(name.c_str(), error) : 0;
            }
            HKEY root;
            std::u16string path;
            if (!splitKeyName(name, root, path))
                return bad(text);
            // The batch starts at the hive's top, so that the keys on the path join it too.
            if (LONG error = joinHive(batch, root, path))
                return failed(name.c_str(), error);
            if (LONG error = openKey(name, KEY_ALL_ACCESS, true, key_))
                return failed(name.c_str(), error);
            if (LONG error = batch.join(key_))
                return failed(name.c_str(), error);
            return 0;
        }
        if (!key_)
            return bad(text);
        size_t at = 0;
        std::string name;
        if (text[0] == '@') {
            at = 1;
        } else if (!quoted(text, at, name)) {
            return bad(text);
        }
        if (at >= text.size() || text[at] != '=')
            return bad(text);
        std::string data = text.substr(at + 1);
        std::u16string wideName = winsim::toUtf16(name);
        if (data == "-") {
            LONG error = RegDeleteValueW(key_, wideName.c_str());
            return error && error != ERROR_FILE_NOT_FOUND ? failed(name.c_str(), error) : 0;
        }
        DWORD type = REG_SZ;
        Bytes bytes;
        if (!data.empty() && data[0] == '"') {
            size_t pos = 0;
            std::string value;
            if (!quoted(data, pos, value) || pos != data.size())
                return bad(text);
            bytes = wideBytes(winsim::toUtf16(value) + u'\0');
        } else if (data.compare(0, 6, "dword:") == 0) {
            type = REG_DWORD;
            if (!parseData(REG_DWORD, "0x" + data.substr(6), bytes))
                return bad(text);
        } else if (data.compare(0, 4, "hex:") == 0) {
            type = REG_BINARY;
            if (!parseHex(data.substr(4), bytes))
                return bad(text);
        } else if (data.compare(0, 4, "hex(") == 0) {
            size_t close = data.find("):");
            char *end = nullptr;
            unsigned long number = strtoul(data.substr(4, close - 4).c_str(), &end, 16);
            if (close == std::string::npos || *end || !parseHex(data.substr(close + 2), bytes))
                return bad(text);
            type = static_cast<DWORD>(number);
        } else {
            return bad(text);
        }
        LONG error = RegSetValueExW(key_, wideName.c_str(), 0, type, bytes.empty() ? nullptr : bytes.data(),
                                    static_cast<DWORD>(bytes.size()));
        return error ? failed(name.c_str(), error) : 0;
    }

    static LONG joinHive(winsim::RegistryBatch &batch, HKEY root, const std::u16string &path)
    {
        if (root != HKEY_LOCAL_MACHINE && root != HKEY_USERS)
            return batch.join(root);
        HKEY hive = nullptr;
        std::u16string top = path.substr(0, path.find(u'\\'));
        if (RegOpenKeyExW(root, top.c_str(), 0, KEY_READ, &hive) != ERROR_SUCCESS)
            return 0;  // the key's own opening reports why
        LONG error = batch.join(hive);
        RegCloseKey(hive);
        return error;
    }

    // A quoted string at text[at] with \\ and \" escapes; at ends past the closing quote.
    static bool quoted(const std::string &text, size_t &at, std::string &out)
    {
        if (at >= text.size() || text[at] != '"')
            return false;
        out.clear();
        for (size_t i = at + 1; i < text.size(); ++i) {
            if (text[i] == '\\' && i + 1 < text.size()) {
                out += text[++i];
            } else if (text[i] == '"') {
                at = i + 1;
                return true;
            } else {
                out += text[i];
            }
        }
        return false;
    }

    static int bad(const std::string &text)
    {
        fprintf(stderr, "winsim: cannot read registry file line: %s\n", text.c_str());
        return 1;
    }

    HKEY key_ = nullptr;
};

}  // namespace

int registryCommand(int argc, char **argv)
{
    const std::string command = argc > 0 ? argv[0] : "";
    if (command == "query" && (argc == 2 || argc == 3))
        return query(argv[1], argc == 3 ? argv[2] : nullptr);
    if (command == "raw" && argc == 3) {
        // A value's type and bytes exactly as stored, for tests.
        HKEY key = nullptr;
        if (LONG error = openKey(argv[1], KEY_QUERY_VALUE, false, key))
            return failed(argv[1], error);
        std::u16string name = winsim::toUtf16(argv[2]);
        DWORD type = 0, size = 0;
        LONG error = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
        Bytes data(size);
        if (!error)
            error = RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
        RegCloseKey(key);
        if (error)
            return failed(argv[2], error);
        data.resize(size);
        printf("%u %s\n", static_cast<unsigned>(type), hexText(data).c_str());
        return 0;
    }
    if (command == "security" && argc == 2) {
        // The key's whole descriptor, self-relative, in hex.
        enablePrivilege(u"SeSecurityPrivilege");
        HKEY key = nullptr;
        if (LONG error = openKey(argv[1], READ_CONTROL | ACCESS_SYSTEM_SECURITY, false, key))
            return failed(argv[1], error);
        const SECURITY_INFORMATION all = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                         DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
        DWORD size = 0;
        RegGetKeySecurity(key, all, nullptr, &size);
        Bytes descriptor(size);
        LONG error = RegGetKeySecurity(key, all, descriptor.data(), &size);
        RegCloseKey(key);
        if (error)
            return failed(argv[1], error);
        printf("%s\n", hexText(descriptor).c_str());
        return 0;
    }
    if (command == "set" && argc == 5) {
        DWORD type = 0;
        Bytes data;
        if (!parseType(argv[3], type) || !parseData(type, argv[4], data))
            return commandUsage("reg");
        HKEY key = nullptr;
        if (LONG error = openKey(argv[1], KEY_SET_VALUE, true, key))
            return failed(argv[1], error);
        std::u16string name = winsim::toUtf16(argv[2]);
        LONG error = RegSetValueExW(key, name.c_str(), 0, type, data.empty() ? nullptr : data.data(),
                                    static_cast<DWORD>(data.size()));
        RegCloseKey(key);
        return error ? failed(argv[2], error) : 0;
    }
    if (command == "delete" && argc == 3) {
        HKEY key = nullptr;
        if (LONG error = openKey(argv[1], KEY_SET_VALUE, false, key))
            return failed(argv[1], error);
        std::u16string name = winsim::toUtf16(argv[2]);
        LONG error = RegDeleteValueW(key, name.c_str());
        RegCloseKey(key);
        return error ? failed(argv[2], error) : 0;
    }
    if (command == "delete" && argc == 2) {
        HKEY root;
        std::u16string path;
        if (!splitKeyName(argv[1], root, path) || path.empty())
            return commandUsage("reg");
        LONG error = deleteTree(root, path);
        return error ? failed(argv[1], error) : 0;
    }
    if ((command == "load" && argc == 3) || (command == "unload" && argc == 2)) {
        HKEY root;
        std::u16string name;
        if (!splitKeyName(argv[1], root, name))
            return commandUsage("reg");
        enablePrivilege(u"SeBackupPrivilege");
        enablePrivilege(u"SeRestorePrivilege");
        LONG error = command == "load" ? RegLoadKeyW(root, name.c_str(), winsim::toUtf16(argv[2]).c_str())
                                       : RegUnLoadKeyW(root, name.c_str());
        return error ? failed(argv[1], error) : 0;
    }
    if (command == "save" && argc == 3) {
        enablePrivilege(u"SeBackupPrivilege");
        HKEY key = nullptr;
        if (LONG error = openKey(argv[1], KEY_READ, false, key))
            return failed(argv[1], error);
        LONG error = RegSaveKeyW(key, winsim::toUtf16(argv[2]).c_str(), nullptr);
        RegCloseKey(key);
        return error ? failed(argv[2], error) : 0;
    }
    if (command == "import" && argc == 2)
        return RegFileImport().run(argv[1]);
    return commandUsage("reg");
}
