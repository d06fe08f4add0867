#include "kernel32/pending_renames.h"

#include "machine/hive.h"
#include "machine/machine.h"
#include "machine/paths.h"
#include "machine/text.h"

#include <windows.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace winsim {

namespace {

constexpr const WCHAR *kSessionManagerKey = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr const char *kSessionManagerPath[] = {"CurrentControlSet", "Control", "Session Manager"};
constexpr const WCHAR *kPendingValue = u"PendingFileRenameOperations";
constexpr const char *kPendingValueName = "PendingFileRenameOperations";

bool startsWith(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::u16string unitsOf(const std::vector<uint8_t> &data)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    return text;
}

std::vector<uint8_t> bytesOf(std::u16string_view text)
{
    std::vector<uint8_t> data;
    data.reserve(text.size() * 2);
    for (char16_t unit : text) {
        data.push_back(static_cast<uint8_t>(unit & 0xFF));
        data.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return data;
}

}  // namespace

std::u16string encodePendingRenames(const std::vector<PendingRename> &renames)
{
    std::u16string text;
    for (const PendingRename &rename : renames) {
        text += rename.source;
        text += u'\0';
        if (!rename.target.empty() && rename.replace)
            text += u'!';
        text += rename.target;
        text += u'\0';
    }
    text += u'\0';
    return text;
}

std::vector<PendingRename> decodePendingRenames(std::u16string_view text)
{
    std::vector<PendingRename> renames;
    size_t at = 0;
    auto next = [&]() {
        size_t end = text.find(u'\0', at);
        if (end == std::u16string_view::npos)
            end = text.size();
        std::u16string_view piece = text.substr(at, end - at);
        at = end < text.size() ? end + 1 : end;
        return std::u16string(piece);
    };
    while (at < text.size()) {
        PendingRename rename;
        rename.source = next();
        if (rename.source.empty())
            break;
        rename.target = next();
        if (!rename.target.empty() && rename.target[0] == u'!') {
            rename.replace = true;
            rename.target.erase(0, 1);
        }
        renames.push_back(std::move(rename));
    }
    return renames;
}

std::u16string ntNameOf(const std::string &absolutePosix)
{
    std::u16string win32 = windowsPathFromPosix(absolutePosix);
    if (startsWith(win32, u"\\\\"))
        return u"\\??\\UNC\\" + win32.substr(2);
    return u"\\??\\" + win32;
}

std::u16string win32NameOf(std::u16string_view ntName)
{
    if (startsWith(ntName, u"\\??\\"))
        return u"\\\\?\\" + std::u16string(ntName.substr(4));
    return std::u16string(ntName);
}

// Recording is a read, an append and a write of one value: processes of the machine that record
// at once, or record while the machine restarts, take turns so that none loses another's entry.
class PendingListLock {
public:
    PendingListLock()
    {
        fd_ = open((machineRoot() + "/pending-renames.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0)
            while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~PendingListLock()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    PendingListLock(const PendingListLock &) = delete;
    PendingListLock &operator=(const PendingListLock &) = delete;

private:
    int fd_ = -1;
};

DWORD recordPendingRename(const PendingRename &rename)
{
    PendingListLock lock;
    HKEY key = nullptr;
    LONG error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr);
    if (error != ERROR_SUCCESS)
        return static_cast<DWORD>(error);
    std::vector<uint8_t> data;
    DWORD type = 0, size = 0;
    error = RegQueryValueExW(key, kPendingValue, nullptr, &type, nullptr, &size);
    if (error == ERROR_SUCCESS && size > 0) {
        data.resize(size);
        error = RegQueryValueExW(key, kPendingValue, nullptr, &type, data.data(), &size);
        data.resize(std::min<size_t>(size, data.size()));
    } else if (error == ERROR_FILE_NOT_FOUND) {
        error = ERROR_SUCCESS;
    }
    if (error == ERROR_SUCCESS) {
        // The pairs already there keep their order; the new one goes before the closing NUL.
        std::vector<PendingRename> renames = type == REG_MULTI_SZ ? decodePendingRenames(unitsOf(data))
                                                                  : std::vector<PendingRename>();
        renames.push_back(rename);
        std::vector<uint8_t> updated = bytesOf(encodePendingRenames(renames));
        error = RegSetValueExW(key, kPendingValue, 0, REG_MULTI_SZ, updated.data(), static_cast<DWORD>(updated.size()));
    }
    RegCloseKey(key);
    return static_cast<DWORD>(error);
}

DWORD takePendingRenames(std::vector<PendingRename> &renames)
{
    // The session manager runs as the system: it reads and clears the value in the hive itself,
    // whatever rights the process that restarts the machine holds.
    renames.clear();
    PendingListLock lock;
    DWORD error = 0;
    auto hive = Hive::open(systemHivePath(machineRoot()), error);
    if (!hive)
        return error;
    int64_t key = 0;
    error = hive->openPath(Hive::kRootKey, {std::begin(kSessionManagerPath), std::end(kSessionManagerPath)}, key);
    if (error)
        return error == ERROR_FILE_NOT_FOUND ? 0 : error;
    RegistryValue value;
    error = hive->queryValue(key, kPendingValueName, value);
    if (error)
        return error == ERROR_FILE_NOT_FOUND ? 0 : error;
    if (value.type == REG_MULTI_SZ)
        renames = decodePendingRenames(unitsOf(value.data));
    return hive->deleteValue(key, kPendingValueName);
}

}  // namespace winsim
