// Windows paths of the emulated machine and the POSIX paths that hold them.
//
//   C:\dir\file, \\?\C:\dir\file   -> <root>/drive_c/dir/file   (any drive letter but Z)
//   Z:\etc\hosts                   -> /etc/hosts                 (Z: is the host's /, as in Wine)
//   \\server\share\f, \\?\UNC\...  -> <root>/unc/server/share/f
//   \\?\GLOBALROOT\Device\HarddiskVolumeShadowCopyN\f
//                                  -> <root>/shadow/HarddiskVolumeShadowCopyN/f (read-only)
//   /posix/absolute                -> itself
//   relative\path                  -> relative/path (to the current directory)
//
// Both separators are accepted. Names are matched case-insensitively against what exists,
// as NTFS does; a path that does not exist keeps the case it was given.
#pragma once

#include <windef.h>

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

namespace winsim {

struct MappedPath {
    std::string posix;
    bool prefixed = false;  // came with \\?\, so MAX_PATH does not apply
    bool readOnly = false;  // on a shadow copy, which nothing may change
    // What lstat said of the path when mapping found it as given (the common case, in which no
    // directory is searched for a name in another case); unset otherwise. It saves the caller a
    // second look, for anything but a symbolic link.
    std::optional<struct stat> found;
};

enum PathOptions : unsigned {
    kPathPlain = 0,
    kPathAllowWildcards = 1,  // * and ? in the last component (FindFirstFile)
    // The names as given, without looking at the file system: no search for a name in another
    // case, no check that the drive exists. For a caller that tries the path as given first (an
    // open tells in one look whether it exists) and maps again without this when it does not.
    kPathAsGiven = 2,
};

// Returns 0 and fills out, or a Windows error code (ERROR_INVALID_NAME, ERROR_FILENAME_EXCED_RANGE,
// ERROR_INVALID_DRIVE, ERROR_BAD_NETPATH).
DWORD mapWindowsPath(std::u16string_view path, MappedPath &out, unsigned options = kPathPlain);

// The directory that holds the frozen content of shadow copy number n (its device is
// \\?\GLOBALROOT\Device\HarddiskVolumeShadowCopy<n>).
std::string shadowCopyDirectory(unsigned long number);

// The Windows form of a POSIX path (absolute or relative to the current directory).
std::u16string windowsPathFromPosix(const std::string &posix);

// The directory of drive letter (upper or lower case); Z is the host's root.
std::string driveDirectory(char16_t letter);

// The error Windows reports for a path that does not exist: ERROR_FILE_NOT_FOUND when its
// directory exists, ERROR_PATH_NOT_FOUND otherwise.
DWORD errorForMissing(const std::string &posix);

// A Windows error code for a POSIX errno.
DWORD errorFromErrno(int error);

// Shell-style matching with * and ?, case-insensitive, as FindFirstFile matches names.
bool matchesPattern(std::u16string_view name, std::u16string_view pattern);

}  // namespace winsim
