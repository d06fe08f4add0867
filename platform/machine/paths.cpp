#include "machine/paths.h"

#include "machine/machine.h"
#include "machine/text.h"

#include <winerror.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

namespace winsim {

namespace {

bool isSeparator(char16_t c)
{
    return c == u'\\' || c == u'/';
}

bool isDriveLetter(char16_t c)
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

bool startsWith(std::u16string_view s, std::u16string_view prefix)
{
    return s.size() >= prefix.size() && equalsIgnoreCase(s.substr(0, prefix.size()), prefix);
}

std::vector<std::u16string_view> splitComponents(std::u16string_view path)
{
    std::vector<std::u16string_view> parts;
    parts.reserve(16);
    size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && isSeparator(path[i]))
            ++i;
        size_t start = i;
        while (i < path.size() && !isSeparator(path[i]))
            ++i;
        if (i > start)
            parts.push_back(path.substr(start, i - start));
    }
    return parts;
}

DWORD checkComponent(std::u16string_view name, bool wildcardsAllowed)
{
    for (char16_t c : name) {
        if (c < 32 || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u':')
            return ERROR_INVALID_NAME;
        if ((c == u'*' || c == u'?') && !wildcardsAllowed)
            return ERROR_INVALID_NAME;
    }
    return 0;
}

// Win32 drops trailing dots and blanks from each name of a path that is not in \\?\ form.
std::u16string_view trimTrailing(std::u16string_view name)
{
    if (name == u"." || name == u"..")
        return name;
    while (!name.empty() && (name.back() == u'.' || name.back() == u' '))
        name.remove_suffix(1);
    return name;
}

// Joins components under base, folding "." and ".." lexically and never climbing above base
// when base is a root. A relative path keeps the ".." that climb above its start.
DWORD joinComponents(std::string base, const std::vector<std::u16string_view> &parts, bool prefixed,
                     unsigned options, std::string &out)
{
    const bool absolute = !base.empty();
    out = std::move(base);
    // Where each component joined so far begins (at its separator), for ".." to take it back.
    std::vector<size_t> starts;
    starts.reserve(parts.size());
    size_t climbs = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        std::u16string_view part = prefixed ? parts[i] : trimTrailing(parts[i]);
        bool last = i + 1 == parts.size();
        if (part == u".")
            continue;
        if (part == u"..") {
            if (!starts.empty()) {
                out.resize(starts.back());
                starts.pop_back();
            } else if (!absolute) {
                ++climbs;
            }
            continue;
        }
        if (part.empty())
            return ERROR_INVALID_NAME;
        if (DWORD error = checkComponent(part, last && (options & kPathAllowWildcards)))
            return error;
        starts.push_back(out.size());
        if (!out.empty() && out.back() != '/')
            out += '/';
        out += toUtf8(part);
    }
    if (climbs > 0) {
        std::string up;
        for (size_t i = 0; i < climbs; ++i)
            up += i + 1 < climbs || !out.empty() ? "../" : "..";
        out = up + out;
    }
    if (out.empty())
        out = absolute ? "/" : ".";
    return 0;
}

bool upperEquals(const std::string &a, const char *b)
{
    return equalsIgnoreCase(toUtf16(a), toUtf16(b));
}

// Replaces each name that does not exist as given by an existing entry of the same name in
// another case; stops at the first name that has no match at all. A path that exists as given
// needs no search; its lstat is kept in found.
std::string resolveCase(const std::string &posix, size_t fixedLength, std::optional<struct stat> &found)
{
    struct stat st;
    if (lstat(posix.c_str(), &st) == 0) {
        found = st;
        return posix;
    }
    if (errno != ENOENT)
        return posix;
    std::string resolved = posix.substr(0, fixedLength);
    size_t pos = fixedLength;
    while (pos < posix.size()) {
        size_t next = posix.find('/', pos);
        if (next == std::string::npos)
            next = posix.size();
        std::string name = posix.substr(pos, next - pos);
        std::string dir = resolved.empty() ? "." : resolved;
        std::string candidate = resolved + (resolved.empty() || resolved.back() == '/' ? "" : "/") + name;
        if (!name.empty() && lstat(candidate.c_str(), &st) != 0) {
            bool found = false;
            if (DIR *d = opendir(dir.c_str())) {
                while (dirent *entry = readdir(d)) {
                    if (upperEquals(entry->d_name, name.c_str())) {
                        candidate = resolved + (resolved.empty() || resolved.back() == '/' ? "" : "/") + entry->d_name;
                        found = true;
                        break;
                    }
                }
                closedir(d);
            }
            if (!found)
                return candidate + posix.substr(next);
        }
        resolved = candidate;
        pos = next + 1;
    }
    return resolved;
}

constexpr std::u16string_view kShadowCopyDevice = u"GLOBALROOT\\Device\\HarddiskVolumeShadowCopy";

}  // namespace

std::string shadowCopyDirectory(unsigned long number)
{
    return machineRoot() + "/shadow/HarddiskVolumeShadowCopy" + std::to_string(number);
}

std::string driveDirectory(char16_t letter)
{
    char16_t upper = foldCase(letter);
    if (upper == u'Z')
        return "/";
    return machineRoot() + "/drive_" + static_cast<char>(upper - u'A' + 'a');
}

DWORD mapWindowsPath(std::u16string_view path, MappedPath &out, unsigned options)
{
    out = MappedPath{};
    if (path.empty())
        return ERROR_PATH_NOT_FOUND;

    std::u16string_view rest = path;
    if (startsWith(rest, u"\\\\?\\") || startsWith(rest, u"\\\\.\\")) {
        out.prefixed = true;
        rest.remove_prefix(4);
        // The prefix hands the path on unparsed: "/" separates nothing there, and no name holds one.
        if (rest.find(u'/') != std::u16string_view::npos)
            return ERROR_INVALID_NAME;
    } else if (path.size() >= MAX_PATH) {
        return ERROR_FILENAME_EXCED_RANGE;
    }

    std::string base;
    size_t fixed = 0;
    enum class Root { checked, drive, snapshot } rootToCheck = Root::checked;
    if (out.prefixed && startsWith(rest, kShadowCopyDevice)) {
        rest.remove_prefix(kShadowCopyDevice.size());
        unsigned long number = 0;
        size_t digits = 0;
        while (digits < rest.size() && rest[digits] >= u'0' && rest[digits] <= u'9' && digits < 9)
            number = number * 10 + (rest[digits++] - u'0');
        if (digits == 0 || number == 0 || (digits < rest.size() && !isSeparator(rest[digits])))
            return ERROR_PATH_NOT_FOUND;
        rest.remove_prefix(digits);
        base = shadowCopyDirectory(number);
        fixed = base.size();
        out.readOnly = true;
        rootToCheck = Root::snapshot;
    } else if (out.prefixed && startsWith(rest, u"UNC\\")) {
        rest.remove_prefix(4);
        base = machineRoot() + "/unc";
        fixed = base.size();
        if (splitComponents(rest).size() < 2)
            return ERROR_BAD_NETPATH;
    } else if (!out.prefixed && rest.size() >= 2 && isSeparator(rest[0]) && isSeparator(rest[1])) {
        rest.remove_prefix(2);
        base = machineRoot() + "/unc";
        fixed = base.size();
        if (splitComponents(rest).size() < 2)
            return ERROR_BAD_NETPATH;
    } else if (rest.size() >= 2 && isDriveLetter(rest[0]) && rest[1] == u':') {
        base = driveDirectory(rest[0]);
        fixed = base.size();
        rest.remove_prefix(2);
        rootToCheck = base != "/" ? Root::drive : Root::checked;
    } else if (!out.prefixed && rest[0] == u'/') {
        base = "/";
        fixed = 1;
    } else if (!out.prefixed && rest[0] == u'\\') {
        // Rooted on the current drive; our processes live on Z: unless they moved into a drive.
        char cwd[PATH_MAX];
        std::string current = getcwd(cwd, sizeof cwd) ? cwd : "/";
        std::string drives = machineRoot() + "/drive_";
        if (current.compare(0, drives.size(), drives) == 0 && current.size() > drives.size())
            base = current.substr(0, drives.size() + 1);
        else
            base = "/";
        fixed = base.size();
    } else if (out.prefixed) {
        return ERROR_INVALID_NAME;
    }

    // A drive or shadow copy that the machine does not have makes any path on it not found; it
    // is looked at only when the path itself was not found as given.
    auto rootMissing = [&] {
        struct stat st;
        if (rootToCheck == Root::checked || (options & kPathAsGiven))
            return false;
        return stat(base.c_str(), &st) != 0 || (rootToCheck == Root::snapshot && !S_ISDIR(st.st_mode));
    };
    std::string joined;
    if (DWORD error = joinComponents(base, splitComponents(rest), out.prefixed, options, joined))
        return rootMissing() ? ERROR_PATH_NOT_FOUND : error;
    if (options & kPathAsGiven) {
        out.posix = std::move(joined);
        return 0;
    }
    out.posix = resolveCase(joined, fixed, out.found);
    if (!out.found && rootMissing()) {
        out = MappedPath{};
        return ERROR_PATH_NOT_FOUND;
    }
    return 0;
}

std::u16string windowsPathFromPosix(const std::string &posix)
{
    std::string absolute = posix;
    if (absolute.empty() || absolute[0] != '/') {
        char cwd[PATH_MAX];
        absolute = std::string(getcwd(cwd, sizeof cwd) ? cwd : "/") + "/" + posix;
    }
    const std::string &root = machineRoot();
    std::u16string result;
    std::string rest;
    if (absolute.compare(0, root.size() + 7, root + "/drive_") == 0 && absolute.size() > root.size() + 7 &&
        (absolute.size() == root.size() + 8 || absolute[root.size() + 8] == '/')) {
        char letter = static_cast<char>(absolute[root.size() + 7] - 'a' + 'A');
        result = std::u16string(1, static_cast<char16_t>(letter)) + u":\\";
        rest = absolute.substr(std::min(absolute.size(), root.size() + 9));
    } else if (absolute.compare(0, root.size() + 5, root + "/unc/") == 0) {
        result = u"\\\\";
        rest = absolute.substr(root.size() + 5);
    } else {
        result = u"Z:\\";
        rest = absolute.substr(1);
    }
    for (char16_t c : toUtf16(rest))
        result += c == u'/' ? u'\\' : c;
    return result;
}

DWORD errorForMissing(const std::string &posix)
{
    size_t slash = posix.find_last_of('/');
    if (slash == std::string::npos)
        return ERROR_FILE_NOT_FOUND;
    std::string parent = slash == 0 ? "/" : posix.substr(0, slash);
    struct stat st;
    if (stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return ERROR_FILE_NOT_FOUND;
    return ERROR_PATH_NOT_FOUND;
}

DWORD errorFromErrno(int error)
{
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case EBUSY:
        return ERROR_BUSY;
    case ENOTSUP:
        return ERROR_NOT_SUPPORTED;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EIO:
        return ERROR_GEN_FAILURE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

bool matchesPattern(std::u16string_view name, std::u16string_view pattern)
{
    // Iterative wildcard match with single-star backtracking.
    size_t n = 0, p = 0, starP = std::u16string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || foldCase(pattern[p]) == foldCase(name[n]))) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starN = n;
        } else if (starP != std::u16string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    // "*.*" matches names without a dot too, as on Windows.
    if (p + 2 == pattern.size() && pattern.substr(p) == u".*")
        return true;
    return p == pattern.size();
}

}  // namespace winsim
