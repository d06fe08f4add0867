#include "rasapi32/phonebook.h"

#include "machine/paths.h"
#include "machine/text.h"

#include <ras.h>
#include <raserror.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <sstream>

namespace winsim {

namespace {

const char *kPhonebookFolder = "\\Microsoft\\Network\\Connections\\Pbk";
const char *kPhonebookName = "\\rasphone.pbk";

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// The entry name of a section header line, or nullopt when the line is no header.
std::optional<std::string_view> sectionName(std::string_view line)
{
    line = trimmed(line);
    if (line.size() < 2 || line.front() != '[')
        return std::nullopt;
    size_t close = line.rfind(']');
    if (close == 0 || close == std::string_view::npos)
        return std::nullopt;
    return line.substr(1, close - 1);
}

std::vector<std::string_view> linesOf(std::string_view text)
{
    // A UTF-8 byte order mark, as an editor may leave it.
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::string readText(const std::string &posix, bool &exists)
{
    std::ifstream in(posix, std::ios::binary);
    exists = static_cast<bool>(in);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string posixOf(const std::string &windowsPath)
{
    MappedPath mapped;
    return mapWindowsPath(toUtf16(windowsPath), mapped) == 0 ? mapped.posix : std::string();
}

std::string userPhonebookPath()
{
    char appData[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("APPDATA", appData, sizeof appData);
    if (length == 0 || length >= sizeof appData)
        return {};
    return std::string(appData) + kPhonebookFolder + kPhonebookName;
}

void makeParentDirectories(const std::string &posix)
{
    for (size_t slash = posix.find('/', 1); slash != std::string::npos; slash = posix.find('/', slash + 1))
        mkdir(posix.substr(0, slash).c_str(), 0755);
}

// Runs change on the text of a phonebook under the file's lock and writes the result back.
DWORD rewritePhonebook(const std::string &windowsPath, bool create,
                       const std::function<DWORD(std::string &text)> &change)
{
    const std::string posix = posixOf(windowsPath);
    if (posix.empty())
        return ERROR_CANNOT_OPEN_PHONEBOOK;
    if (create)
        makeParentDirectories(posix);
    int fd = open(posix.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
    if (fd < 0)
        return create ? ERROR_CANNOT_OPEN_PHONEBOOK : ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    flock(fd, LOCK_EX);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    DWORD error = change(text);
    if (!error) {
        if (ftruncate(fd, 0) != 0 || pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
            error = ERROR_CANNOT_LOAD_PHONEBOOK;
    }
    close(fd);
    return error;
}

}  // namespace

std::vector<PhonebookEntry> parsePhonebook(std::string_view text)
{
    std::vector<PhonebookEntry> entries;
    for (std::string_view line : linesOf(text)) {
        if (auto name = sectionName(line)) {
            entries.push_back(PhonebookEntry{std::string(*name), "", "", ""});
            continue;
        }
        if (entries.empty())
            continue;
        size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            continue;
        std::string_view key = trimmed(line.substr(0, equals));
        std::string value(trimmed(line.substr(equals + 1)));
        PhonebookEntry &entry = entries.back();
        // Keys are case-sensitive: "Device=" names the device, "DEVICE=" its type.
        if (key == "PhoneNumber" && entry.phoneNumber.empty())
            entry.phoneNumber = value;
        else if (key == "DEVICE")
            entry.deviceType = value;
        else if (key == "Device")
            entry.deviceName = value;
    }
    return entries;
}

std::string phonebookSection(const PhonebookEntry &entry)
{
    std::ostringstream out;
    out << "[" << entry.name << "]\r\n"
        << "Encoding=1\r\nPBVersion=4\r\nType=1\r\nAutoLogon=0\r\nUseRasCredentials=1\r\nDialParamsUID=0\r\n"
        << "Guid=\r\nVpnStrategy=0\r\nExcludedProtocols=0\r\nLcpExtensions=1\r\nDataEncryption=8\r\n"
        << "SwCompression=1\r\nNegotiateMultilinkAlways=0\r\nIpPrioritizeRemote=1\r\nIpAssign=1\r\n"
        << "IpNameAssign=1\r\nRedialAttempts=3\r\nRedialSeconds=60\r\nIdleDisconnectSeconds=0\r\n\r\n"
        << "NETCOMPONENTS=\r\nms_msclient=1\r\nms_server=1\r\n\r\n"
        << "MEDIA=rastapi\r\nPort=COM1\r\nDevice=" << (entry.deviceName.empty() ? "Standard Modem" : entry.deviceName)
        << "\r\nConnectBPS=56000\r\n\r\n"
        << "DEVICE=" << (entry.deviceType.empty() ? "modem" : entry.deviceType) << "\r\n"
        << "PhoneNumber=" << entry.phoneNumber << "\r\n"
        << "AreaCode=\r\nCountryCode=0\r\nCountryID=0\r\nUseDialingRules=0\r\nComment=\r\nFriendlyName=\r\n"
        << "LastSelectedPhone=0\r\nPromoteAlternates=0\r\nTryNextAlternateOnFail=1\r\n\r\n";
    return out.str();
}

std::string withoutPhonebookEntry(std::string_view text, std::string_view name)
{
    std::string out;
    bool skipping = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end + 1;
        std::string_view line = text.substr(start, end - start);
        std::string_view content = line;
        while (!content.empty() && (content.back() == '\n' || content.back() == '\r'))
            content.remove_suffix(1);
        if (auto section = sectionName(start == 0 && content.substr(0, 3) == "\xEF\xBB\xBF" ? content.substr(3) : content))
            skipping = equalsIgnoreCase(*section, name);
        if (!skipping)
            out.append(line);
        start = end;
    }
    return out;
}

std::string allUsersPhonebookPath()
{
    char programData[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("ProgramData", programData, sizeof programData);
    std::string base = length && length < sizeof programData ? programData : "C:\\ProgramData";
    return base + kPhonebookFolder + kPhonebookName;
}

DWORD readPhonebook(const std::string &windowsPath, Phonebook &out)
{
    const std::string posix = posixOf(windowsPath);
    bool exists = false;
    std::string text = posix.empty() ? std::string() : readText(posix, exists);
    if (!exists)
        return ERROR_CANNOT_OPEN_PHONEBOOK;
    out.path = windowsPath;
    out.entries = parsePhonebook(text);
    return 0;
}

std::vector<Phonebook> defaultPhonebooks()
{
    std::vector<Phonebook> phonebooks;
    Phonebook allUsers;
    if (readPhonebook(allUsersPhonebookPath(), allUsers) != 0)
        allUsers.path = allUsersPhonebookPath();
    allUsers.allUsers = true;
    phonebooks.push_back(allUsers);
    if (std::string user = userPhonebookPath(); !user.empty()) {
        Phonebook own;
        if (readPhonebook(user, own) != 0)
            own.path = user;
        own.allUsers = false;
        phonebooks.push_back(own);
    }
    return phonebooks;
}

std::optional<PhonebookEntry> findPhonebookEntry(const char *phonebookPath, std::string_view name,
                                                 std::string *foundIn)
{
    std::vector<Phonebook> phonebooks;
    if (phonebookPath) {
        Phonebook named;
        if (readPhonebook(phonebookPath, named) != 0)
            return std::nullopt;
        phonebooks.push_back(named);
    } else {
        phonebooks = defaultPhonebooks();
    }
    for (const Phonebook &phonebook : phonebooks) {
        for (const PhonebookEntry &entry : phonebook.entries) {
            if (equalsIgnoreCase(std::string_view(entry.name), name)) {
                if (foundIn)
                    *foundIn = phonebook.path;
                return entry;
            }
        }
    }
    return std::nullopt;
}

DWORD addPhonebookEntry(const PhonebookEntry &entry)
{
    if (entry.name.empty() || entry.name.size() > RAS_MaxEntryName ||
        entry.name.find_first_of("[]\r\n") != std::string::npos)
        return ERROR_INVALID_NAME;
    return rewritePhonebook(allUsersPhonebookPath(), true, [&](std::string &text) -> DWORD {
        for (const PhonebookEntry &existing : parsePhonebook(text))
            if (equalsIgnoreCase(std::string_view(existing.name), std::string_view(entry.name)))
                return ERROR_ALREADY_EXISTS;
        if (!text.empty() && text.back() != '\n')
            text += "\r\n";
        text += phonebookSection(entry);
        return 0;
    });
}

DWORD removePhonebookEntry(std::string_view name)
{
    for (const Phonebook &phonebook : defaultPhonebooks()) {
        bool removed = false;
        rewritePhonebook(phonebook.path, false, [&](std::string &text) -> DWORD {
            std::string changed = withoutPhonebookEntry(text, name);
            removed = changed.size() != text.size();
            text = changed;
            return removed ? 0 : ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
        });
        if (removed)
            return 0;
    }
    return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
}

}  // namespace winsim
