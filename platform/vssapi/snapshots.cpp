#include "vssapi/snapshots.h"

#include "advapi32/services.h"
#include "machine/file_metadata.h"
#include "machine/hive_list.h"
#include "machine/machine.h"
#include "machine/paths.h"
#include "machine/text.h"
#include "vssapi/service.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

namespace winsim::vss {

namespace {

std::string storeDirectory()
{
    return machineRoot() + "/shadow";
}

std::string infoPath(unsigned long number)
{
    return shadowCopyDirectory(number) + ".info";
}

std::string sidecarPrefix(unsigned long number)
{
    return "shadowcopy" + std::to_string(number) + "-";
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

unsigned long nextNumber()
{
    mkdir(storeDirectory().c_str(), 0755);
    Fd counter(open((storeDirectory() + "/.last-number").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (counter.get() < 0)
        return 0;
    flock(counter.get(), LOCK_EX);
    char text[32] = {};
    ssize_t n = pread(counter.get(), text, sizeof text - 1, 0);
    unsigned long number = (n > 0 ? strtoul(text, nullptr, 10) : 0) + 1;
    std::string written = std::to_string(number) + "\n";
    bool ok = ftruncate(counter.get(), 0) == 0 &&
              pwrite(counter.get(), written.data(), written.size(), 0) == static_cast<ssize_t>(written.size());
    flock(counter.get(), LOCK_UN);
    return ok ? number : 0;
}

// Copies one volume's tree with everything the file functions keep about each entry.
class TreeCopy {
public:
    explicit TreeCopy(unsigned long number) : number_(number) {}

    // 0 or an errno value.
    int copyDirectory(const std::string &from, const std::string &to)
    {
        struct stat st;
        if (lstat(from.c_str(), &st) != 0)
            return errno;
        if (mkdir(to.c_str(), 0700) != 0)
            return errno;
        DIR *dir = opendir(from.c_str());
        if (!dir)
            return errno;
        int error = 0;
        while (dirent *entry = readdir(dir)) {
            if (!strcmp(entry->d_name, ".") || !strcmp(entry->d_name, ".."))
                continue;
            if ((error = copyEntry(from + "/" + entry->d_name, to + "/" + entry->d_name)))
                break;
        }
        closedir(dir);
        if (error)
            return error;
        Fd source(open(from.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        Fd target(open(to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (source.get() < 0 || target.get() < 0)
            return errno;
        return finish(source.get(), target.get(), st);
    }

private:
    int copyEntry(const std::string &from, const std::string &to)
    {
        struct stat st;
        if (lstat(from.c_str(), &st) != 0)
            return errno == ENOENT ? 0 : errno;  // gone while we copied: not in the snapshot
        if (S_ISDIR(st.st_mode))
            return copyDirectory(from, to);
        if (S_ISLNK(st.st_mode))
            return copyLink(from, to, st);
        if (S_ISREG(st.st_mode))
            return copyFile(from, to, st);
        return 0;  // devices, pipes and sockets have no place on a Windows volume
    }

    int copyLink(const std::string &from, const std::string &to, const struct stat &st)
    {
        std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
        ssize_t n = readlink(from.c_str(), target.data(), target.size());
        if (n < 0)
            return errno;
        target.resize(static_cast<size_t>(n));
        if (symlink(target.c_str(), to.c_str()) != 0)
            return errno;
        if (geteuid() == 0 && lchown(to.c_str(), st.st_uid, st.st_gid) != 0)
            return errno;
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
        return 0;
    }

    int copyFile(const std::string &from, const std::string &to, const struct stat &st)
    {
        Fd source(open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (source.get() < 0)
            return errno == ENOENT ? 0 : errno;
        Fd target(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (target.get() < 0)
            return errno;
        if (int error = copyData(source.get(), target.get()))
            return error;
        return finish(source.get(), target.get(), st);
    }

    static int copyData(int from, int to)
    {
        for (;;) {
            ssize_t n = copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
            if (n > 0)
                continue;
            if (n == 0)
                return 0;
            if (errno == EINTR)
                continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
                return errno;
            break;
        }
        char buffer[1 << 16];
        for (;;) {
            ssize_t n = read(from, buffer, sizeof buffer);
            if (n == 0)
                return 0;
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return errno;
            }
            for (ssize_t done = 0; done < n;) {
                ssize_t w = write(to, buffer + done, static_cast<size_t>(n - done));
                if (w < 0 && errno != EINTR)
                    return errno;
                done += w > 0 ? w : 0;
            }
        }
    }

    // Extended attributes (the Windows metadata), ownership, mode and times.
    int finish(int source, int target, const struct stat &st)
    {
        if (int error = copyAttributes(source, target))
            return error;
        if (geteuid() == 0 && fchown(target, st.st_uid, st.st_gid) != 0)
            return errno;
        if (fchmod(target, st.st_mode & 07777) != 0)
            return errno;
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        futimens(target, times);
        return 0;
    }

    int copyAttributes(int source, int target)
    {
        ssize_t size = flistxattr(source, nullptr, 0);
        if (size < 0)
            return errno == ENOTSUP ? 0 : errno;
        std::string names(static_cast<size_t>(size), '\0');
        size = flistxattr(source, names.data(), names.size());
        if (size < 0)
            return errno;
        names.resize(static_cast<size_t>(size));
        for (size_t at = 0; at < names.size(); at += strlen(names.c_str() + at) + 1) {
            std::string name = names.c_str() + at;
            if (name.compare(0, 5, "user.") != 0)
                continue;
            ssize_t length = fgetxattr(source, name.c_str(), nullptr, 0);
            if (length < 0)
                return errno == ENODATA ? 0 : errno;
            std::string value(static_cast<size_t>(length), '\0');
            length = fgetxattr(source, name.c_str(), value.data(), value.size());
            if (length < 0)
                return errno;
            value.resize(static_cast<size_t>(length));
            if (name == kSidecarAttribute) {
                std::string copy = sidecarPrefix(number_) + value;
                if (int error = copySidecar(value, copy))
                    return error;
                value = copy;
            }
            if (fsetxattr(target, name.c_str(), value.data(), value.size(), 0) != 0)
                return errno;
        }
        return 0;
    }

    int copySidecar(const std::string &id, const std::string &copy)
    {
        std::string from = sidecarDirectoryOf(id);
        std::string to = sidecarDirectoryOf(copy);
        if (mkdir(to.c_str(), 0700) != 0 && errno != EEXIST)
            return errno;
        DIR *dir = opendir(from.c_str());
        if (!dir)
            return errno == ENOENT ? 0 : errno;
        int error = 0;
        while (dirent *entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            Fd source(open((from + "/" + entry->d_name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            if (source.get() < 0)
                continue;
            Fd target(open((to + "/" + entry->d_name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
            if (target.get() < 0 || (error = copyData(source.get(), target.get())))
                break;
        }
        closedir(dir);
        return error ? error : 0;
    }

    unsigned long number_;
};

int removeEntry(const char *path, const struct stat *, int type, struct FTW *)
{
    if (type == FTW_DP)
        rmdir(path);
    else
        unlink(path);
    return 0;
}

void removeTree(const std::string &path)
{
    nftw(path.c_str(), removeEntry, 32, FTW_DEPTH | FTW_PHYS);
}

void removeSidecars(unsigned long number)
{
    std::string base = machineRoot() + "/sidecar";
    std::string prefix = sidecarPrefix(number);
    if (DIR *dir = opendir(base.c_str())) {
        std::vector<std::string> doomed;
        while (dirent *entry = readdir(dir))
            if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
                doomed.push_back(base + "/" + entry->d_name);
        closedir(dir);
        for (const std::string &path : doomed)
            removeTree(path);
    }
}

VSS_TIMESTAMP now()
{
    struct timespec time;
    clock_gettime(CLOCK_REALTIME, &time);
    return (static_cast<VSS_TIMESTAMP>(time.tv_sec) + 11644473600ll) * 10000000ll + time.tv_nsec / 100;
}

bool writeInfo(const Snapshot &snapshot)
{
    std::string path = infoPath(snapshot.number);
    std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << "id=" << guidText(snapshot.id) << "\n"
            << "set=" << guidText(snapshot.setId) << "\n"
            << "setSize=" << snapshot.setSize << "\n"
            << "volume=" << toUtf8(snapshot.volumeName) << "\n"
            << "letter=" << static_cast<char>(snapshot.letter) << "\n"
            << "created=" << snapshot.created << "\n"
            << "owner=" << snapshot.ownerProcess << "\n"
            << "ownerStart=" << snapshot.ownerStart << "\n";
        if (!out.flush())
            return false;
    }
    return rename(temp.c_str(), path.c_str()) == 0;
}

bool readInfo(unsigned long number, Snapshot &out)
{
    std::ifstream in(infoPath(number));
    if (!in)
        return false;
    std::map<std::string, std::string> values;
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    Snapshot snapshot;
    snapshot.number = number;
    if (!parseGuid(values["id"], snapshot.id) || !parseGuid(values["set"], snapshot.setId) ||
        values["letter"].size() != 1)
        return false;
    snapshot.setSize = strtol(values["setSize"].c_str(), nullptr, 10);
    snapshot.volumeName = toUtf16(values["volume"]);
    snapshot.letter = static_cast<char16_t>(values["letter"][0]);
    snapshot.created = strtoll(values["created"].c_str(), nullptr, 10);
    snapshot.ownerProcess = strtol(values["owner"].c_str(), nullptr, 10);
    snapshot.ownerStart = strtoull(values["ownerStart"].c_str(), nullptr, 10);
    out = snapshot;
    return true;
}

}  // namespace

std::u16string Snapshot::deviceName() const
{
    return u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy" + toUtf16(std::to_string(number));
}

HRESULT createSnapshot(const Volume &volume, Snapshot &snapshot)
{
    unsigned long number = nextNumber();
    if (number == 0)
        return VSS_E_UNEXPECTED_PROVIDER_ERROR;
    std::string complete = shadowCopyDirectory(number);
    std::string partial = complete + ".partial";
    int error;
    {
        // Registry writes wait while the volume is copied, so that each hive file is copied whole.
        RegistryFreeze registry(volume.root);
        error = TreeCopy(number).copyDirectory(volume.root, partial);
    }
    if (!error && rename(partial.c_str(), complete.c_str()) != 0)
        error = errno;
    snapshot.number = number;
    snapshot.letter = volume.letter;
    snapshot.volumeName = volume.guidName;
    snapshot.created = now();
    snapshot.ownerProcess = static_cast<long>(getpid());
    snapshot.ownerStart = processStartTime(getpid());
    if (!error && !writeInfo(snapshot))
        error = EIO;
    if (error) {
        removeTree(partial);
        removeTree(complete);
        removeSidecars(number);
        unlink(infoPath(number).c_str());
        return error == ENOSPC || error == EDQUOT ? VSS_E_INSUFFICIENT_STORAGE : VSS_E_UNEXPECTED_PROVIDER_ERROR;
    }
    return S_OK;
}

std::vector<Snapshot> listSnapshots()
{
    std::vector<Snapshot> snapshots;
    const std::string prefix = "HarddiskVolumeShadowCopy";
    if (DIR *dir = opendir(storeDirectory().c_str())) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.compare(0, prefix.size(), prefix) != 0 || name.size() < prefix.size() + 6 ||
                name.compare(name.size() - 5, 5, ".info") != 0)
                continue;
            Snapshot snapshot;
            if (readInfo(strtoul(name.c_str() + prefix.size(), nullptr, 10), snapshot))
                snapshots.push_back(snapshot);
        }
        closedir(dir);
    }
    std::sort(snapshots.begin(), snapshots.end(),
              [](const Snapshot &a, const Snapshot &b) { return a.number < b.number; });
    return snapshots;
}

bool findSnapshot(const VSS_ID &id, Snapshot &out)
{
    for (const Snapshot &snapshot : listSnapshots()) {
        if (snapshot.id == id) {
            out = snapshot;
            return true;
        }
    }
    return false;
}

unsigned snapshotsOfVolume(char16_t letter)
{
    unsigned count = 0;
    for (const Snapshot &snapshot : listSnapshots())
        count += snapshot.letter == letter;
    return count;
}

void releaseSnapshotsOfEndedProcesses()
{
    for (const Snapshot &snapshot : listSnapshots()) {
        if (snapshot.ownerProcess <= 0)
            continue;
        uint64_t started = processStartTime(static_cast<pid_t>(snapshot.ownerProcess));
        if (started == 0 || (snapshot.ownerStart != 0 && started != snapshot.ownerStart))
            deleteSnapshot(snapshot.number);
    }
}

void deleteSnapshot(unsigned long number)
{
    // The properties go first, so that the snapshot stops being listed before its files go.
    unlink(infoPath(number).c_str());
    removeTree(shadowCopyDirectory(number));
    removeSidecars(number);
}

}  // namespace winsim::vss
