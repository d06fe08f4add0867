// MoveFileExW: renames within a volume, copies across volumes (MOVEFILE_COPY_ALLOWED) with the
// data, named streams, attributes, times and security descriptor of the file, and records
// renames and deletions for the next start of the machine (MOVEFILE_DELAY_UNTIL_REBOOT) in
// PendingFileRenameOperations, where the session manager's start-up task finds them.
//
// A volume is what Windows would call one: a drive letter, a share of another computer, a shadow
// copy; the host directories behind two drives may well share a file system, yet a rename
// between them fails as it does between two disks.
#include "kernel32/file.h"
#include "kernel32/message_table.h"
#include "kernel32/pending_renames.h"

#include "machine/file_metadata.h"
#include "machine/machine.h"
#include "machine/paths.h"
#include "machine/restart.h"
#include "machine/text.h"

#include <windows.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

namespace {

constexpr DWORD kKnownFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_DELAY_UNTIL_REBOOT |
                              MOVEFILE_WRITE_THROUGH | MOVEFILE_CREATE_HARDLINK | MOVEFILE_FAIL_IF_NOT_TRACKABLE;

struct Descriptor {
    int fd = -1;
    Descriptor() = default;
    explicit Descriptor(int value) : fd(value) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
};

std::string absolutePosix(const std::string &posix)
{
    if (!posix.empty() && posix[0] == '/')
        return posix;
    char cwd[PATH_MAX];
    return std::string(getcwd(cwd, sizeof cwd) ? cwd : "/") + "/" + posix;
}

std::string parentOf(const std::string &posix)
{
    size_t slash = posix.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : posix.substr(0, slash);
}

// The volume that holds an absolute host path: "drive_x", "unc/server/share", "shadow/<copy>", or
// "" for Z:, the host's own file system.
std::string volumeOf(const std::string &absolute)
{
    const std::string root = machineRoot() + "/";
    if (absolute.compare(0, root.size(), root) != 0)
        return "";
    const std::string rest = absolute.substr(root.size());
    size_t components = 0;
    if (rest.compare(0, 6, "drive_") == 0)
        components = 1;
    else if (rest.compare(0, 4, "unc/") == 0)
        components = 3;
    else if (rest.compare(0, 7, "shadow/") == 0)
        components = 2;
    else
        return "";
    size_t end = 0;
    for (size_t i = 0; i < components && end != std::string::npos; ++i)
        end = rest.find('/', i == 0 ? 0 : end + 1);
    return foldedKey(rest.substr(0, end));
}

DWORD syncPath(const std::string &path)
{
    Descriptor directory(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.fd < 0 || fsync(directory.fd) != 0)
        return errorFromErrno(errno);
    return 0;
}

DWORD writeAll(int fd, const char *data, size_t count, off_t offset)
{
    while (count > 0) {
        ssize_t done = pwrite(fd, data, count, offset);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            return errorFromErrno(errno);
        }
        data += done;
        count -= static_cast<size_t>(done);
        offset += done;
    }
    return 0;
}

// Copies [offset, end) of the data; the kernel copies when it can, a buffer otherwise.
DWORD copyRange(int from, int to, off_t offset, off_t end)
{
    while (offset < end) {
        loff_t in = offset, out = offset;
        ssize_t done = copy_file_range(from, &in, to, &out, static_cast<size_t>(end - offset), 0);
        if (done > 0) {
            offset += done;
            continue;
        }
        if (done == 0)
            return ERROR_HANDLE_EOF;  // the source shrank while it was copied
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            return errorFromErrno(errno);
        static thread_local std::vector<char> buffer(1 << 20);
        while (offset < end) {
            ssize_t got = pread(from, buffer.data(), std::min<off_t>(end - offset, buffer.size()), offset);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return got < 0 ? errorFromErrno(errno) : ERROR_HANDLE_EOF;
            if (DWORD error = writeAll(to, buffer.data(), static_cast<size_t>(got), offset))
                return error;
            offset += got;
        }
    }
    return 0;
}

// The file's data, its holes kept as holes.
DWORD copyData(int from, int to, off_t size)
{
    off_t offset = 0;
    while (offset < size) {
        off_t data = lseek(from, offset, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO)
                break;  // nothing but a hole up to the end
            data = offset;  // the file system cannot tell: copy everything
        }
        off_t hole = lseek(from, data, SEEK_HOLE);
        if (hole < 0 || hole > size)
            hole = size;
        if (DWORD error = copyRange(from, to, data, hole))
            return error;
        offset = hole;
    }
    return ftruncate(to, size) == 0 ? 0 : errorFromErrno(errno);
}

DWORD copyNamedStreams(int from, int to)
{
    std::vector<NamedStream> streams;
    if (DWORD error = listNamedStreams(from, streams))
        return error;
    std::vector<uint8_t> piece(64 * 1024);
    for (const NamedStream &stream : streams) {
        std::unique_ptr<NamedStreamWriter> writer;
        if (DWORD error = NamedStreamWriter::open(to, stream.name, stream.size, writer))
            return error;
        for (uint64_t offset = 0; offset < stream.size;) {
            ssize_t got = stream.readAt(offset, piece.data(), piece.size());
            if (got <= 0)
                return got < 0 ? errorFromErrno(errno) : ERROR_HANDLE_EOF;
            if (DWORD error = writer->write(piece.data(), static_cast<size_t>(got)))
                return error;
            offset += static_cast<uint64_t>(got);
        }
        if (DWORD error = writer->finish(to))
            return error;
    }
    return 0;
}

// Every extended attribute of the user namespace that the named stream copy does not carry: the
// DOS attributes (the encrypted one with them), the security descriptor, an encrypted file's key
// record, and whatever else the file keeps there. The attribute that names a file's sidecar store
// is the file's own: the copy gets one of its own when its streams need it.
DWORD copyExtendedAttributes(int from, int to)
{
    constexpr std::string_view kUserNamespace = "user.";
    constexpr std::string_view kStreamPrefix = "user.DosStream.";
    std::vector<char> names(4096);
    ssize_t listed;
    while ((listed = flistxattr(from, names.data(), names.size())) < 0 && errno == ERANGE)
        names.resize(names.size() * 2);
    if (listed < 0)
        return errno == ENOTSUP ? 0 : errorFromErrno(errno);
    std::vector<char> value(4096);
    for (ssize_t at = 0; at < listed;) {
        const std::string name(names.data() + at);
        at += static_cast<ssize_t>(name.size()) + 1;
        if (name.compare(0, kUserNamespace.size(), kUserNamespace) != 0 ||
            name.compare(0, kStreamPrefix.size(), kStreamPrefix) == 0 || name == kSidecarAttribute)
            continue;
        ssize_t size;
        while ((size = fgetxattr(from, name.c_str(), value.data(), value.size())) < 0 && errno == ERANGE)
            value.resize(value.size() * 2);
        if (size < 0) {
            if (errno == ENODATA)
                continue;  // removed since the listing
            return errorFromErrno(errno);
        }
        if (fsetxattr(to, name.c_str(), value.data(), static_cast<size_t>(size), 0) != 0)
            return errorFromErrno(errno);
    }
    return 0;
}

// A copy of the file under a name of its own in target's directory, complete and on disk: the
// data, the named streams, the other extended attributes, the mode, attributes (stored, so that
// they do not change with the name), security descriptor (stored, so that it does not change
// with the owner) and times.
DWORD makeCopy(int source, const struct stat &st, const std::string &sourcePath, const std::string &target,
               std::string &copyPath)
{
    char suffix[64];
    snprintf(suffix, sizeof suffix, ".winsim-move-%d-%p", static_cast<int>(getpid()), static_cast<const void *>(&st));
    copyPath = parentOf(target) + "/." + std::string(target.substr(target.find_last_of('/') + 1)) + suffix;
    Descriptor copy(open(copyPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (copy.fd < 0)
        return errno == ENOENT ? ERROR_PATH_NOT_FOUND : errorFromErrno(errno);
    struct stat copied;
    DWORD error = copyData(source, copy.fd, st.st_size);
    if (!error)
        error = copyNamedStreams(source, copy.fd);
    if (!error)
        error = copyExtendedAttributes(source, copy.fd);
    if (!error && fchmod(copy.fd, st.st_mode & 07777) != 0)
        error = errorFromErrno(errno);
    if (!error && fstat(copy.fd, &copied) != 0)
        error = errorFromErrno(errno);
    if (!error)
        error = writeAttributes(copy.fd, copied, readAttributes(source, st, sourcePath));
    if (!error) {
        SecurityDescriptor security = readSecurity(source, st);
        error = writeSecurity(copy.fd, copied, security, partsPresent(security));
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (!error && futimens(copy.fd, times) != 0)
        error = errorFromErrno(errno);
    if (!error && fsync(copy.fd) != 0)
        error = errorFromErrno(errno);
    if (error) {
        removeNamedStreams(copy.fd);
        unlink(copyPath.c_str());
    }
    return error;
}

// A named stream kept beside the file (in the sidecar store) does not go with its inode.
void forgetRemovedFile(int fd)
{
    if (fd >= 0)
        removeNamedStreams(fd);
}

// Puts a renamed or copied file in place of target: refused when target exists unless replace.
// The displaced file's sidecar streams are removed with it.
DWORD putInPlace(const std::string &from, const std::string &target, bool replace)
{
    if (!replace) {
        if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
            return 0;
        if (errno == EEXIST)
            return ERROR_ALREADY_EXISTS;
        if (errno == EXDEV)
            return ERROR_NOT_SAME_DEVICE;
        if (errno != EINVAL && errno != ENOSYS)
            return errno == ENOENT ? ERROR_PATH_NOT_FOUND : errorFromErrno(errno);
        // The file system cannot refuse atomically; the caller checked that target is absent.
    }
    Descriptor displaced(replace ? openForMetadata(target) : -1);
    if (rename(from.c_str(), target.c_str()) != 0) {
        if (errno == ENOENT)
            return ERROR_PATH_NOT_FOUND;
        if (errno == EXDEV)
            return ERROR_NOT_SAME_DEVICE;
        if (errno == EEXIST || errno == ENOTEMPTY)
            return replace ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS;
        return errorFromErrno(errno);
    }
    forgetRemovedFile(displaced.fd);
    return 0;
}

DWORD copyAcrossVolumes(const std::string &source, const struct stat &st, const std::string &target, bool replace,
                        bool removeSource)
{
    // Only files travel between volumes; a directory stays on its own.
    if (S_ISDIR(st.st_mode))
        return ERROR_ACCESS_DENIED;
    Descriptor from(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (from.fd < 0)
        return errorFromErrno(errno);
    std::string copyPath;
    if (DWORD error = makeCopy(from.fd, st, source, target, copyPath))
        return error;
    if (DWORD error = putInPlace(copyPath, target, replace)) {
        Descriptor copy(openForMetadata(copyPath));
        forgetRemovedFile(copy.fd);
        unlink(copyPath.c_str());
        return error;
    }
    if (DWORD error = syncPath(parentOf(target)))
        return error;
    // The copy is complete and on disk; only now does the original go. A source that cannot be
    // removed stays, and the move still succeeds, as on Windows.
    if (removeSource && unlink(source.c_str()) == 0)
        forgetRemovedFile(from.fd);
    return 0;
}

// The last name of a Windows path as the caller wrote it (the mapped path has the case of an
// existing entry), for renames that change only the case of a name.
std::string writtenName(std::u16string_view path)
{
    const bool prefixed = path.size() >= 4 && path.substr(0, 4) == u"\\\\?\\";
    while (!path.empty() && (path.back() == u'\\' || path.back() == u'/'))
        path.remove_suffix(1);
    size_t separator = path.find_last_of(u"\\/");
    std::u16string_view name = separator == std::u16string_view::npos ? path : path.substr(separator + 1);
    if (!prefixed && name != u"." && name != u"..")
        while (!name.empty() && (name.back() == u'.' || name.back() == u' '))
            name.remove_suffix(1);
    return toUtf8(name);
}

DWORD moveFile(LPCWSTR existingName, LPCWSTR newName, DWORD flags)
{
    if (!existingName || (flags & ~kKnownFlags))
        return ERROR_INVALID_PARAMETER;
    const bool delayed = flags & MOVEFILE_DELAY_UNTIL_REBOOT;
    if (delayed && (flags & MOVEFILE_COPY_ALLOWED))
        return ERROR_INVALID_PARAMETER;
    MappedPath source;
    if (DWORD error = mapWindowsPath(existingName, source))
        return error;
    MappedPath target;
    if (newName) {
        if (DWORD error = mapWindowsPath(newName, target))
            return error;
    } else if (!delayed) {
        return ERROR_INVALID_PARAMETER;
    }
    const bool replace = flags & MOVEFILE_REPLACE_EXISTING;
    if (delayed) {
        PendingRename rename{ntNameOf(absolutePosix(source.posix)),
                             newName ? ntNameOf(absolutePosix(target.posix)) : std::u16string(), replace};
        return recordPendingRename(rename);
    }

    struct stat st;
    if (lstat(source.posix.c_str(), &st) != 0)
        return errno == ENOENT ? errorForMissing(source.posix) : errorFromErrno(errno);
    if (target.readOnly || (source.readOnly && !(flags & MOVEFILE_COPY_ALLOWED)))
        return ERROR_WRITE_PROTECT;
    const std::string from = absolutePosix(source.posix);
    std::string to = absolutePosix(target.posix);

    struct stat existing;
    bool targetExists = lstat(to.c_str(), &existing) == 0;
    if (targetExists && existing.st_dev == st.st_dev && existing.st_ino == st.st_ino &&
        equalsIgnoreCase(std::string_view(from), std::string_view(to))) {
        // The same entry: at most its name changes case.
        to = parentOf(to) + "/" + writtenName(newName);
        if (to == from)
            return 0;
        targetExists = false;
    }
    if (targetExists) {
        if (!replace)
            return ERROR_ALREADY_EXISTS;
        if (S_ISDIR(existing.st_mode) || S_ISDIR(st.st_mode))
            return ERROR_ACCESS_DENIED;
        if (readAttributesOfPath(to, existing) & FILE_ATTRIBUTE_READONLY)
            return ERROR_ACCESS_DENIED;
        if (!openHandlesAllow(existing.st_dev, existing.st_ino, DELETE))
            return ERROR_SHARING_VIOLATION;
    }

    const bool sameVolume = volumeOf(from) == volumeOf(to);
    if (!sameVolume) {
        if (!(flags & MOVEFILE_COPY_ALLOWED))
            return ERROR_NOT_SAME_DEVICE;
        return copyAcrossVolumes(from, st, to, replace, !source.readOnly);
    }
    if (!openHandlesAllow(st.st_dev, st.st_ino, DELETE))
        return ERROR_SHARING_VIOLATION;
    DWORD error = putInPlace(from, to, replace);
    // One volume of Windows may span host file systems (Z: is the whole host): there a move is a
    // copy, as a rename cannot cross them.
    if (error == ERROR_NOT_SAME_DEVICE)
        error = S_ISDIR(st.st_mode) ? ERROR_ACCESS_DENIED : copyAcrossVolumes(from, st, to, replace, true);
    if (error)
        return error;
    if (flags & MOVEFILE_WRITE_THROUGH) {
        if (DWORD synced = syncPath(parentOf(to)))
            return synced;
        if (parentOf(to) != parentOf(from))
            return syncPath(parentOf(from));
    }
    return 0;
}

// One recorded operation, as the session manager carries it out while the machine starts.
DWORD carryOut(const PendingRename &operation)
{
    MappedPath source;
    if (DWORD error = mapWindowsPath(win32NameOf(operation.source), source))
        return error;
    if (source.readOnly)
        return ERROR_WRITE_PROTECT;
    struct stat st;
    if (lstat(source.posix.c_str(), &st) != 0)
        return errno == ENOENT ? errorForMissing(source.posix) : errorFromErrno(errno);
    if (operation.target.empty()) {
        // A directory goes only when it is empty.
        if (S_ISDIR(st.st_mode))
            return rmdir(source.posix.c_str()) == 0 ? 0 : errno == ENOTEMPTY ? ERROR_DIR_NOT_EMPTY : errorFromErrno(errno);
        Descriptor removed(openForMetadata(source.posix));
        if (unlink(source.posix.c_str()) != 0)
            return errorFromErrno(errno);
        forgetRemovedFile(removed.fd);
        return 0;
    }
    MappedPath target;
    if (DWORD error = mapWindowsPath(win32NameOf(operation.target), target))
        return error;
    if (target.readOnly)
        return ERROR_WRITE_PROTECT;
    const std::string from = absolutePosix(source.posix), to = absolutePosix(target.posix);
    if (volumeOf(from) != volumeOf(to))
        return ERROR_NOT_SAME_DEVICE;
    struct stat existing;
    if (lstat(to.c_str(), &existing) == 0) {
        if (!operation.replace)
            return ERROR_ALREADY_EXISTS;
        if (S_ISDIR(existing.st_mode) || S_ISDIR(st.st_mode))
            return ERROR_ACCESS_DENIED;
    }
    return putInPlace(from, to, operation.replace);
}

std::string describe(const PendingRename &operation)
{
    auto shown = [](const std::u16string &name) {
        return toUtf8(name.compare(0, 4, u"\\??\\") == 0 ? name.substr(4) : name);
    };
    if (operation.target.empty())
        return "delete " + shown(operation.source);
    return "rename " + shown(operation.source) + " to " + shown(operation.target);
}

// The session manager's part of a start: the recorded renames and deletions, in the order they
// were recorded; one that fails does not stop the others. The list is gone afterwards.
StartupStep carryOutPendingRenames()
{
    StartupStep step;
    std::vector<PendingRename> operations;
    if (DWORD error = takePendingRenames(operations)) {
        step.error = error;
        step.message = "cannot read the pending operations";
        return step;
    }
    for (const PendingRename &operation : operations) {
        DWORD error = carryOut(operation);
        std::string line = describe(operation);
        if (error) {
            const char *text = systemMessageText(error);
            std::string reason = text ? text : "error " + std::to_string(error);
            while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
                reason.pop_back();
            line += ": " + reason;
            if (!step.error)
                step.error = error;
        }
        step.message += (step.message.empty() ? "" : "; ") + line;
    }
    return step;
}

const StartupTaskRegistration pendingRenamesAtStart(kStartupPendingFileRenames, "pending file renames",
                                                    carryOutPendingRenames);

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" BOOL WINAPI MoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags)
{
    DWORD error = moveFile(existingFileName, newFileName, flags);
    SetLastError(error);
    return error == ERROR_SUCCESS;
}
