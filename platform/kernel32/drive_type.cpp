// GetDriveTypeW / GetDriveTypeA. Every drive of the machine is a fixed disk unless the machine
// configuration says otherwise (`drive.<letter>.type = removable | fixed | remote | cdrom |
// ramdisk`); a declared drive has its type even with no medium in it (no <root>/drive_<letter>),
// as an empty CD-ROM drive has on Windows. Shares of other computers are remote.
#include "machine/machine.h"
#include "machine/paths.h"
#include "machine/text.h"

#include <windows.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

namespace winsim {

namespace {

bool isSeparator(char16_t c)
{
    return c == u'\\' || c == u'/';
}

bool isLetter(char16_t c)
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

bool startsWith(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

// The type declared for a drive letter, or nothing (-1) when the configuration names none.
int declaredType(char16_t letter)
{
    const char upper = static_cast<char>(foldCase(letter));
    std::string value = machineSetting(std::string("drive.") + upper + ".type", "");
    if (value.empty())
        value = machineSetting(std::string("drive.") + static_cast<char>(upper - 'A' + 'a') + ".type", "");
    if (value.empty())
        return -1;
    static const struct {
        const char *name;
        UINT type;
    } kTypes[] = {{"removable", DRIVE_REMOVABLE}, {"fixed", DRIVE_FIXED}, {"remote", DRIVE_REMOTE},
                  {"cdrom", DRIVE_CDROM},         {"ramdisk", DRIVE_RAMDISK}};
    for (const auto &known : kTypes)
        if (equalsIgnoreCase(std::string_view(value), std::string_view(known.name)))
            return static_cast<int>(known.type);
    return DRIVE_UNKNOWN;
}

// The root of the current directory: "X:\" or "\\server\share\".
std::u16string currentRoot()
{
    char cwd[PATH_MAX];
    std::u16string current = windowsPathFromPosix(getcwd(cwd, sizeof cwd) ? cwd : "/");
    if (current.size() >= 3 && current[1] == u':')
        return current.substr(0, 3);
    size_t server = current.find(u'\\', 2);
    size_t share = server == std::u16string::npos ? server : current.find(u'\\', server + 1);
    return share == std::u16string::npos ? current + u"\\" : current.substr(0, share + 1);
}

UINT driveType(std::u16string path)
{
    // "X:" names the root of the drive; otherwise the path must end in a separator.
    if (path.size() == 2 && isLetter(path[0]) && path[1] == u':')
        path += u'\\';
    if (path.empty() || !isSeparator(path.back()))
        return DRIVE_NO_ROOT_DIR;
    std::u16string_view rest = path;
    if (startsWith(rest, u"\\\\?\\") || startsWith(rest, u"\\\\.\\"))
        rest.remove_prefix(4);
    const bool letterForm = rest.size() >= 2 && isLetter(rest[0]) && rest[1] == u':';
    const int declared = letterForm ? declaredType(rest[0]) : -1;
    if (declared >= 0 && rest.size() == 3)
        return static_cast<UINT>(declared);

    MappedPath mapped;
    struct stat st;
    if (mapWindowsPath(path, mapped) != 0 || stat(mapped.posix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return DRIVE_NO_ROOT_DIR;
    if (declared >= 0)
        return static_cast<UINT>(declared);
    if (mapped.readOnly)
        return DRIVE_FIXED;  // a shadow copy is a volume of the machine
    // The volume that holds the directory, whichever way the path named it.
    std::u16string holder = windowsPathFromPosix(mapped.posix);
    if (holder.size() >= 2 && holder[0] == u'\\' && holder[1] == u'\\')
        return DRIVE_REMOTE;
    if (holder.size() >= 2 && holder[1] == u':') {
        int type = declaredType(holder[0]);
        if (type >= 0)
            return static_cast<UINT>(type);
    }
    return DRIVE_FIXED;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

UINT WINAPI GetDriveTypeW(LPCWSTR rootPathName)
{
    return driveType(rootPathName ? std::u16string(rootPathName) : currentRoot());
}

UINT WINAPI GetDriveTypeA(LPCSTR rootPathName)
{
    // The ANSI code page of the machine is UTF-8.
    return driveType(rootPathName ? toUtf16(rootPathName) : currentRoot());
}

}  // extern "C"
