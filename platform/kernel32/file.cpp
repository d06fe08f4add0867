// CreateFileW and the path-based file functions.
#include "kernel32/file.h"

#include "advapi32/token.h"
#include "kernel32/caller_memory.h"
#include "machine/file_metadata.h"
#include "machine/paths.h"
#include "machine/security_descriptor.h"
#include "machine/text.h"

#include <windows.h>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <list>
#include <map>
#include <mutex>
#include <optional>

namespace winsim {

namespace {

constexpr ACCESS_MASK kReadDataRights = FILE_READ_DATA | FILE_EXECUTE;
constexpr ACCESS_MASK kWriteDataRights = FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

ACCESS_MASK mapGenericRights(ACCESS_MASK access)
{
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (access & GENERIC_READ)
        mapped |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE)
        mapped |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE)
        mapped |= FILE_GENERIC_EXECUTE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED))
        mapped |= FILE_ALL_ACCESS;
    return mapped;
}

// Sharing between the opens of one file in this process, by the Windows rules.
struct OpenFile {
    ACCESS_MASK access;
    DWORD share;
};

struct ShareTable {
    std::mutex lock;
    std::map<std::pair<dev_t, ino_t>, std::list<OpenFile>> opens;
};

ShareTable &shareTable()
{
    static ShareTable *instance = new ShareTable;
    return *instance;
}

bool conflicts(ACCESS_MASK access, DWORD share, const OpenFile &other)
{
    auto clash = [](ACCESS_MASK a, DWORD s) {
        return ((a & kReadDataRights) && !(s & FILE_SHARE_READ)) ||
               ((a & kWriteDataRights) && !(s & FILE_SHARE_WRITE)) || ((a & DELETE) && !(s & FILE_SHARE_DELETE));
    };
    return clash(access, other.share) || clash(other.access, share);
}

bool registerOpen(FileObject &file)
{
    ShareTable &t = shareTable();
    std::lock_guard<std::mutex> guard(t.lock);
    auto &list = t.opens[{file.device, file.inode}];
    for (const OpenFile &other : list)
        if (conflicts(file.access, file.share, other))
            return false;
    list.push_back({file.access, file.share});
    file.registered = true;
    return true;
}

void unregisterOpen(const FileObject &file)
{
    ShareTable &t = shareTable();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.opens.find({file.device, file.inode});
    if (it == t.opens.end())
        return;
    for (auto entry = it->second.begin(); entry != it->second.end(); ++entry) {
        if (entry->access == file.access && entry->share == file.share) {
            it->second.erase(entry);
            break;
        }
    }
    if (it->second.empty())
        t.opens.erase(it);
}

// A handle with append rights but not write rights writes at the end of the file, whatever
// other processes appended meanwhile.
bool appendOnly(ACCESS_MASK access)
{
    return (access & FILE_APPEND_DATA) && !(access & FILE_WRITE_DATA);
}

HANDLE fail(DWORD error)
{
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

// The stat of a mapped path, from the mapping's own look where that was one (lstat and stat
// agree but for a symbolic link). Returns 0 or errno.
int statOf(const MappedPath &mapped, struct stat &st)
{
    if (mapped.found && !S_ISLNK(mapped.found->st_mode)) {
        st = *mapped.found;
        return 0;
    }
    return stat(mapped.posix.c_str(), &st) == 0 ? 0 : errno;
}

// What a path names. Most paths name a file that exists in the case given: opening it answers
// in one look what the mapping's search and a stat would, and the descriptor serves the caller
// that only reads. Otherwise the path is mapped with its search for names in another case.
struct LookedUp {
    MappedPath mapped;
    struct stat st {};
    int statError = 0;  // 0 when the path exists, errno otherwise
    int fd = -1;        // open for reading (openForMetadata) when the path was found as given
    LookedUp() = default;
    LookedUp(const LookedUp &) = delete;
    LookedUp &operator=(const LookedUp &) = delete;
    ~LookedUp()
    {
        if (fd >= 0)
            close(fd);
    }
    // Hands the descriptor over to a new owner.
    int take()
    {
        int taken = fd;
        fd = -1;
        return taken;
    }
};

// 0, or the error of a path that cannot be mapped.
DWORD lookUp(LPCWSTR path, LookedUp &out)
{
    if (mapWindowsPath(path, out.mapped, kPathAsGiven) == 0) {
        out.fd = openForMetadata(out.mapped.posix);
        if (out.fd >= 0 && fstat(out.fd, &out.st) == 0)
            return 0;
        if (out.fd >= 0)
            close(out.take());
    }
    if (DWORD error = mapWindowsPath(path, out.mapped))
        return error;
    out.statError = statOf(out.mapped, out.st);
    return 0;
}

bool endsWithSeparator(LPCWSTR path)
{
    size_t n = wideLength(path);
    return n > 0 && (path[n - 1] == u'\\' || path[n - 1] == u'/');
}

}  // namespace

FileObject::~FileObject()
{
    if (registered)
        unregisterOpen(*this);
    if (fd >= 0)
        close(fd);
}

std::shared_ptr<FileObject> fileFromHandle(HANDLE handle)
{
    auto file = lookupHandleAs<FileObject>(handle);
    if (!file)
        SetLastError(ERROR_INVALID_HANDLE);
    return file;
}

bool openHandlesAllow(dev_t device, ino_t inode, ACCESS_MASK access)
{
    ShareTable &t = shareTable();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.opens.find({device, inode});
    if (it == t.opens.end())
        return true;
    for (const OpenFile &other : it->second)
        if (conflicts(access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, other))
            return false;
    return true;
}

DWORD refuseEncryptedData(FileObject &file)
{
    if (!file.encryptionUnknown)
        return 0;
    struct stat st;
    if (fstat(file.fd, &st) != 0)
        return errorFromErrno(errno);
    if (readAttributes(file.fd, st, file.path) & FILE_ATTRIBUTE_ENCRYPTED)
        return ERROR_ACCESS_DENIED;
    file.encryptionUnknown = false;
    return 0;
}

int openForMetadata(const std::string &posix)
{
    return open(posix.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

ExistingFile::~ExistingFile()
{
    if (fd >= 0)
        close(fd);
}

bool ExistingFile::open(LPCWSTR path)
{
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    LookedUp looked;
    if (DWORD error = lookUp(path, looked)) {
        SetLastError(error);
        return false;
    }
    readOnly = looked.mapped.readOnly;
    if (int error = looked.statError) {
        SetLastError(error == ENOENT ? errorForMissing(looked.mapped.posix) : errorFromErrno(error));
        return false;
    }
    st = looked.st;
    posix = std::move(looked.mapped.posix);
    // "name\" names a directory; after a file's name the separator makes the path invalid.
    if (endsWithSeparator(path) && !S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    fd = looked.fd >= 0 ? looked.take() : openForMetadata(posix);
    if (fd < 0) {
        SetLastError(errorFromErrno(errno));
        return false;
    }
    return true;
}

FILETIME toFileTime(const struct timespec &time)
{
    // 100-nanosecond intervals since 1601-01-01.
    uint64_t ticks = (static_cast<uint64_t>(time.tv_sec) + 11644473600ull) * 10000000ull +
                     static_cast<uint64_t>(time.tv_nsec) / 100;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace winsim

using namespace winsim;

extern "C" {

// One attempt of CreateFileW. lostRace is set when the look found no file but another opener
// created it before this attempt could: the attempt fails, and CreateFileW tries again.
static HANDLE createFileOnce(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                             LPSECURITY_ATTRIBUTES securityAttributes, DWORD disposition, DWORD flagsAndAttributes,
                             bool &lostRace)
{
    if (!fileName)
        return fail(ERROR_INVALID_PARAMETER);
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
        return fail(ERROR_INVALID_PARAMETER);
    // The security attributes are read whatever the disposition, as Windows reads them; a
    // pointer that leads nowhere fails the call instead of the process.
    std::optional<SecurityDescriptor> requestedSecurity;
    if (securityAttributes) {
        SECURITY_ATTRIBUTES attributes;
        if (copyCallerMemory(securityAttributes, &attributes, sizeof attributes) != sizeof attributes)
            return fail(ERROR_NOACCESS);
        if (attributes.lpSecurityDescriptor) {
            // A self-relative descriptor is bounded by its own offsets and 16-bit ACL sizes.
            Bytes raw(65536);
            size_t readable = copyCallerMemory(attributes.lpSecurityDescriptor, raw.data(), raw.size());
            if (readable == 0)
                return fail(ERROR_NOACCESS);
            SecurityDescriptor sd;
            if (parseSecurityDescriptor(raw.data(), readable, sd) == 0)
                requestedSecurity = std::move(sd);
        }
    }
    LookedUp looked;
    if (DWORD error = lookUp(fileName, looked))
        return fail(error);
    const MappedPath &mapped = looked.mapped;

    ACCESS_MASK access = mapGenericRights(desiredAccess);
    if (disposition == TRUNCATE_EXISTING && !(access & FILE_WRITE_DATA))
        return fail(ERROR_INVALID_PARAMETER);
    if ((access & ACCESS_SYSTEM_SECURITY) && !isPrivilegeEnabled(kSeSecurityPrivilege))
        return fail(ERROR_PRIVILEGE_NOT_HELD);
    const bool backupSemantics = flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS;
    const DWORD newAttributes = (flagsAndAttributes & kSettableAttributes) | FILE_ATTRIBUTE_ARCHIVE;
    const bool wantsWrite = access & (kWriteDataRights | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA);

    auto file = std::make_shared<FileObject>();
    file->path = mapped.posix;
    file->access = access;
    file->share = shareMode;
    file->flags = flagsAndAttributes;
    file->readOnly = mapped.readOnly;

    struct stat st = looked.st;
    bool existed = looked.statError == 0;
    if (!existed && looked.statError != ENOENT)
        return fail(errorFromErrno(looked.statError));
    if (mapped.readOnly && (wantsWrite || (access & (DELETE | WRITE_DAC | WRITE_OWNER)) ||
                            disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING ||
                            (!existed && disposition != OPEN_EXISTING)))
        return fail(ERROR_WRITE_PROTECT);
    bool created = false;
    const bool lookedOpen = looked.fd >= 0;
    if (existed && S_ISDIR(st.st_mode)) {
        if (!backupSemantics)
            return fail(ERROR_ACCESS_DENIED);
        if (disposition == CREATE_NEW)
            return fail(ERROR_FILE_EXISTS);
        if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)
            return fail(ERROR_ACCESS_DENIED);
        file->fd = looked.fd >= 0 ? looked.take() : open(mapped.posix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        file->directory = true;
    } else if (existed) {
        if (disposition == CREATE_NEW)
            return fail(ERROR_FILE_EXISTS);
        if (endsWithSeparator(fileName))
            return fail(ERROR_INVALID_NAME);
        // Replacing or truncating writes the data whatever access the handle is to have.
        const bool replaces = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
        int mode = (access & kWriteDataRights) || wantsWrite || replaces ? O_RDWR : O_RDONLY;
        if (!S_ISREG(st.st_mode))
            mode |= O_NONBLOCK;
        mode |= appendOnly(access) ? O_APPEND : 0;
        // Opening changes nothing yet: the file is truncated, and its streams are dropped, only
        // once every check has passed. A handle that only reads keeps the descriptor of the
        // look (whose O_NONBLOCK, which the special files get anyway, means nothing to a
        // regular file).
        if (mode == O_RDONLY && looked.fd >= 0)
            file->fd = looked.take();
        else
            file->fd = open(mapped.posix.c_str(), mode | O_CLOEXEC | O_NOCTTY);
        if (file->fd < 0)
            return fail(errorFromErrno(errno));
        // The DOS attributes matter at once only to a handle that may change or replace the file.
        if ((access & (kWriteDataRights | DELETE)) || replaces) {
            DWORD current = readAttributes(file->fd, st, mapped.posix);
            if ((current & FILE_ATTRIBUTE_READONLY) && ((access & (kWriteDataRights | DELETE)) || replaces))
                return fail(ERROR_ACCESS_DENIED);
            if ((current & FILE_ATTRIBUTE_ENCRYPTED) && (access & (kReadDataRights | kWriteDataRights)))
                return fail(ERROR_ACCESS_DENIED);
            if (disposition == CREATE_ALWAYS &&
                (current & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) & ~newAttributes))
                return fail(ERROR_ACCESS_DENIED);
        } else if (access & kReadDataRights) {
            // Reads learn whether the file is encrypted when they first reach the data.
            file->encryptionUnknown = true;
        }
    } else {
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)
            return fail(errorForMissing(mapped.posix));
        if (endsWithSeparator(fileName))
            return fail(ERROR_INVALID_NAME);
        file->fd = open(mapped.posix.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | (appendOnly(access) ? O_APPEND : 0),
                        0666);
        if (file->fd < 0 && errno == ENOENT)
            return fail(ERROR_PATH_NOT_FOUND);
        if (file->fd < 0 && errno == EEXIST && disposition != CREATE_NEW) {
            lostRace = true;
            return fail(ERROR_FILE_EXISTS);
        }
        created = true;
    }
    if (file->fd < 0)
        return fail(errorFromErrno(errno));
    // The handle that kept the look's descriptor has its stat already.
    const bool statOfHandle = lookedOpen && looked.fd < 0;
    if (!statOfHandle && fstat(file->fd, &st) != 0)
        return fail(errorFromErrno(errno));
    file->device = st.st_dev;
    file->inode = st.st_ino;
    if (!registerOpen(*file)) {
        if (created)
            unlink(mapped.posix.c_str());
        return fail(ERROR_SHARING_VIOLATION);
    }

    if (created || (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)) {
        if (!created && ftruncate(file->fd, 0) != 0)
            return fail(errorFromErrno(errno));
        if (disposition == CREATE_ALWAYS && !created)
            removeNamedStreams(file->fd);
        if (created || disposition == CREATE_ALWAYS)
            if (DWORD error = writeAttributes(file->fd, st, newAttributes))
                return fail(error);
        if (created && requestedSecurity)
            writeSecurity(file->fd, st, *requestedSecurity, partsPresent(*requestedSecurity));
    }

    HANDLE handle = insertHandle(file);
    SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                          : ERROR_SUCCESS);
    return handle;
}

// Opening a file that exists and making one that does not are one step on Windows: two openers
// that both ask for OPEN_ALWAYS or CREATE_ALWAYS of a missing file both succeed, one making it
// and the other opening what the first made. Here the look and the creation are two steps, so an
// attempt that finds the file made in between is made again, as an open of an existing file.
HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD disposition, DWORD flagsAndAttributes,
                          HANDLE)
{
    constexpr int kAttempts = 8;  // each lost race means the file was made meanwhile
    for (int attempt = 1;; ++attempt) {
        bool lostRace = false;
        HANDLE handle = createFileOnce(fileName, desiredAccess, shareMode, securityAttributes, disposition,
                                       flagsAndAttributes, lostRace);
        if (!lostRace || attempt == kAttempts)
            return handle;
    }
}

DWORD WINAPI GetFileAttributesW(LPCWSTR fileName)
{
    ExistingFile file;
    if (!file.open(fileName))
        return INVALID_FILE_ATTRIBUTES;
    return readAttributes(file.fd, file.st, file.posix);
}

BOOL WINAPI SetFileAttributesW(LPCWSTR fileName, DWORD attributes)
{
    ExistingFile file;
    if (!file.open(fileName))
        return FALSE;
    if (file.readOnly) {
        SetLastError(ERROR_WRITE_PROTECT);
        return FALSE;
    }
    if (DWORD error = writeAttributes(file.fd, file.st, attributes & kSettableAttributes)) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR directory, PULARGE_INTEGER freeToCaller, PULARGE_INTEGER total,
                                PULARGE_INTEGER totalFree)
{
    MappedPath mapped;
    if (!directory) {
        mapped.posix = ".";
    } else if (DWORD error = mapWindowsPath(directory, mapped)) {
        SetLastError(error);
        return FALSE;
    }
    // The directory is opened as CreateFileW opens one: a missing last name is a file not found,
    // a file is not a directory.
    struct stat st;
    if (stat(mapped.posix.c_str(), &st) != 0) {
        SetLastError(errno == ENOENT ? errorForMissing(mapped.posix)
                     : errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                        : errorFromErrno(errno));
        return FALSE;
    }
    if (!S_ISDIR(st.st_mode)) {
        SetLastError(directory && endsWithSeparator(directory) ? ERROR_INVALID_NAME : ERROR_DIRECTORY);
        return FALSE;
    }
    struct statvfs vfs;
    if (statvfs(mapped.posix.c_str(), &vfs) != 0) {
        SetLastError(errorFromErrno(errno));
        return FALSE;
    }
    if (freeToCaller)
        freeToCaller->QuadPart = static_cast<ULONGLONG>(vfs.f_bavail) * vfs.f_frsize;
    if (total)
        total->QuadPart = static_cast<ULONGLONG>(vfs.f_blocks) * vfs.f_frsize;
    if (totalFree)
        totalFree->QuadPart = static_cast<ULONGLONG>(vfs.f_bfree) * vfs.f_frsize;
    return TRUE;
}

}  // extern "C"
