// FindFirstChangeNotificationA / FindNextChangeNotification / FindCloseChangeNotification on
// Linux's inotify.
//
// The process has one inotify instance (the per-user limit on instances is small), read by one
// thread of the platform; every change handle subscribes to the watches of its directory, and a
// subtree handle to those of every directory below it, directories created later included.
// A handle follows Windows' rules: a change that its filter selects signals it; it stays
// signalled (waits do not reset it) until FindNextChangeNotification re-arms it, and a change
// that came while it was signalled signals it again at once on the re-arm.
//
// inotify tells what happened to an entry, not which piece of metadata changed: IN_ATTRIB stands
// for a change of mode, owner, times or extended attributes (where the DOS attributes, the
// security descriptor and named streams live), so it signals every metadata filter. A handle
// may therefore wake for a metadata change of another kind than its filter names; it never
// misses one.
#include "kernel32/waitable.h"

#include "machine/paths.h"
#include "machine/text.h"

#include <windows.h>

#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace winsim {

namespace {

// FILE_NOTIFY_VALID_MASK: the bits NtNotifyChangeDirectoryFile accepts (names, attributes, size,
// times, extended attributes, security and the stream bits).
constexpr DWORD kValidFilter = 0x00000FFF;
constexpr DWORD kNameFilters = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
// Extended attributes (0x80) and the named stream bits (0x200, 0x400, 0x800) live in extended
// attributes here, as do the DOS attributes and the security descriptor.
constexpr DWORD kMetadataFilters = FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                   FILE_NOTIFY_CHANGE_LAST_ACCESS | FILE_NOTIFY_CHANGE_CREATION | 0x80 |
                                   FILE_NOTIFY_CHANGE_SECURITY | 0x200 | 0x400 | 0x800;
constexpr DWORD kWriteFilters = FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE | 0x400 | 0x800;

constexpr uint32_t kWatchEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB |
                                  IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// The filters that an inotify event on an entry satisfies.
DWORD filtersOf(uint32_t mask)
{
    DWORD filters = 0;
    if (mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO))
        filters |= (mask & IN_ISDIR) ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME;
    if (mask & IN_MODIFY)
        filters |= kWriteFilters;
    if (mask & IN_ATTRIB)
        filters |= kMetadataFilters;
    // Reading a directory is an access too, but the watches' own scans of new directories are
    // not the caller's changes: only files count.
    if ((mask & IN_ACCESS) && !(mask & IN_ISDIR))
        filters |= FILE_NOTIFY_CHANGE_LAST_ACCESS;
    return filters;
}

struct ChangeNotificationObject;

// A watched directory and the handles that listen to it.
struct Watch {
    std::string path;
    std::vector<ChangeNotificationObject *> listeners;
};

struct ChangeNotificationObject : WaitableObject {
    DWORD filter = 0;
    bool subtree = false;
    int rootWatch = -1;
    // Under waitLock().
    bool signalledNow = false;
    bool changedWhileSignalled = false;

    bool signalled() const override { return signalledNow; }
    ~ChangeNotificationObject() override;
};

class ChangeMonitor {
public:
    static ChangeMonitor &instance()
    {
        static ChangeMonitor *monitor = new ChangeMonitor;  // its thread reads for the life of the process
        return *monitor;
    }

    // Subscribes a handle to directory (and with subtree to everything below it). Returns 0 or
    // a Windows error.
    DWORD subscribe(ChangeNotificationObject &object, const std::string &directory)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (DWORD error = start())
            return error;
        // A new handle is told only of changes made after it was made: those already queued go
        // to the handles that were there.
        drainLocked();
        uint32_t events = kWatchEvents | ((object.filter & FILE_NOTIFY_CHANGE_LAST_ACCESS) ? IN_ACCESS : 0);
        int root = addWatch(object, directory, events);
        if (root < 0)
            return watchError(errno);
        object.rootWatch = root;
        if (object.subtree && !watchBelow(object, directory, events)) {
            DWORD error = watchError(errno);
            unsubscribeLocked(object);
            return error;
        }
        return 0;
    }

    void unsubscribe(ChangeNotificationObject &object)
    {
        std::lock_guard<std::mutex> guard(lock_);
        unsubscribeLocked(object);
    }

private:
    ChangeMonitor() = default;

    static DWORD watchError(int error)
    {
        // Out of inotify watches: the per-user limit of the system.
        return error == ENOSPC ? ERROR_NO_SYSTEM_RESOURCES : errorFromErrno(error);
    }

    DWORD start()
    {
        if (fd_ >= 0)
            return 0;
        fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (fd_ < 0)
            return errno == EMFILE ? ERROR_TOO_MANY_OPEN_FILES : errorFromErrno(errno);
        std::thread([this] { readEvents(); }).detach();
        return 0;
    }

    int addWatch(ChangeNotificationObject &object, const std::string &path, uint32_t events)
    {
        int wd = inotify_add_watch(fd_, path.c_str(), events | IN_MASK_ADD);
        if (wd < 0)
            return -1;
        Watch &watch = watches_[wd];
        watch.path = path;
        if (std::find(watch.listeners.begin(), watch.listeners.end(), &object) == watch.listeners.end())
            watch.listeners.push_back(&object);
        return wd;
    }

    // Watches every directory below path for object; false with errno set when the system ran out
    // of watches. Directories that vanish meanwhile are passed over. Returns through *found
    // whether path holds any entry.
    bool watchBelow(ChangeNotificationObject &object, const std::string &path, uint32_t events,
                    bool *found = nullptr)
    {
        DIR *dir = opendir(path.c_str());
        if (!dir)
            return true;
        std::vector<std::string> subdirectories;
        while (dirent *entry = readdir(dir)) {
            if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
                continue;
            if (found)
                *found = true;
            std::string child = path + "/" + entry->d_name;
            struct stat st;
            if (entry->d_type == DT_DIR || (entry->d_type == DT_UNKNOWN && lstat(child.c_str(), &st) == 0 &&
                                            S_ISDIR(st.st_mode)))
                subdirectories.push_back(std::move(child));
        }
        closedir(dir);
        for (const std::string &child : subdirectories) {
            if (addWatch(object, child, events) < 0) {
                if (errno == ENOENT || errno == ENOTDIR)
                    continue;
                return false;
            }
            if (!watchBelow(object, child, events))
                return false;
        }
        return true;
    }

    void dropListener(int wd, ChangeNotificationObject *object)
    {
        auto it = watches_.find(wd);
        if (it == watches_.end())
            return;
        auto &listeners = it->second.listeners;
        listeners.erase(std::remove(listeners.begin(), listeners.end(), object), listeners.end());
        if (listeners.empty()) {
            inotify_rm_watch(fd_, wd);
            watches_.erase(it);
        }
    }

    void unsubscribeLocked(ChangeNotificationObject &object)
    {
        std::vector<int> used;
        for (const auto &[wd, watch] : watches_)
            if (std::find(watch.listeners.begin(), watch.listeners.end(), &object) != watch.listeners.end())
                used.push_back(wd);
        for (int wd : used)
            dropListener(wd, &object);
    }

    // A directory that left the tree of these subtree listeners: they stop watching it and
    // everything below it (a handle rooted inside it keeps its own watches).
    void forgetTree(const std::string &path, const std::vector<ChangeNotificationObject *> &listeners)
    {
        std::vector<std::pair<int, ChangeNotificationObject *>> leaving;
        for (const auto &[wd, watch] : watches_) {
            if (watch.path != path && watch.path.compare(0, path.size() + 1, path + "/") != 0)
                continue;
            for (ChangeNotificationObject *listener : watch.listeners)
                if (listener->rootWatch != wd &&
                    std::find(listeners.begin(), listeners.end(), listener) != listeners.end())
                    leaving.emplace_back(wd, listener);
        }
        for (const auto &[wd, listener] : leaving)
            dropListener(wd, listener);
    }

    static void signal(std::vector<ChangeNotificationObject *> &objects)
    {
        if (objects.empty())
            return;
        updateWaitables([&] {
            for (ChangeNotificationObject *object : objects) {
                if (object->signalledNow)
                    object->changedWhileSignalled = true;
                else
                    object->signalledNow = true;
            }
        });
    }

    void handle(const inotify_event &event, std::vector<ChangeNotificationObject *> &toSignal)
    {
        auto add = [&](ChangeNotificationObject *object) {
            if (std::find(toSignal.begin(), toSignal.end(), object) == toSignal.end())
                toSignal.push_back(object);
        };
        if (event.mask & IN_Q_OVERFLOW) {
            // Changes were lost: every handle must look again, as Windows asks callers whose
            // change buffer overflowed to enumerate the directory.
            for (auto &[wd, watch] : watches_)
                for (ChangeNotificationObject *listener : watch.listeners)
                    add(listener);
            return;
        }
        auto it = watches_.find(event.wd);
        if (it == watches_.end())
            return;
        if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
            // The watched directory itself went away; a handle rooted there reports it once.
            for (ChangeNotificationObject *listener : it->second.listeners)
                if (listener->rootWatch == event.wd)
                    add(listener);
            if (event.mask & IN_IGNORED) {
                for (ChangeNotificationObject *listener : it->second.listeners)
                    if (listener->rootWatch == event.wd)
                        listener->rootWatch = -1;
                watches_.erase(it);
            }
            return;
        }
        if (event.len == 0)
            return;  // a change to the watched directory itself, which its parent reports
        const std::string child = it->second.path + "/" + event.name;
        const DWORD filters = filtersOf(event.mask);
        std::vector<ChangeNotificationObject *> listeners = it->second.listeners;
        for (ChangeNotificationObject *listener : listeners)
            if (listener->filter & filters)
                add(listener);

        if (!(event.mask & IN_ISDIR))
            return;
        if (event.mask & IN_MOVED_FROM)
            forgetTree(child, listeners);
        if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
            for (ChangeNotificationObject *listener : listeners) {
                if (!listener->subtree)
                    continue;
                uint32_t events = kWatchEvents | ((listener->filter & FILE_NOTIFY_CHANGE_LAST_ACCESS) ? IN_ACCESS : 0);
                if (addWatch(*listener, child, events) < 0)
                    continue;
                // Entries made before the watch took hold are reported as one change.
                bool found = false;
                watchBelow(*listener, child, events, &found);
                if (found && (listener->filter & kNameFilters))
                    add(listener);
            }
        }
    }

    // Takes every change queued so far and shows it to the handles subscribed now. Under the
    // monitor's lock, so that no handle is destroyed meanwhile.
    void drainLocked()
    {
        alignas(inotify_event) static char buffer[64 * 1024];
        for (;;) {
            ssize_t got = read(fd_, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return;
            std::vector<ChangeNotificationObject *> toSignal;
            for (char *at = buffer; at < buffer + got;) {
                const auto *event = reinterpret_cast<const inotify_event *>(at);
                handle(*event, toSignal);
                at += sizeof(inotify_event) + event->len;
            }
            signal(toSignal);
        }
    }

    void readEvents()
    {
        pollfd ready{fd_, POLLIN, 0};
        for (;;) {
            if (poll(&ready, 1, -1) < 0 && errno != EINTR)
                return;
            std::lock_guard<std::mutex> guard(lock_);
            drainLocked();
        }
    }

    std::mutex lock_;
    int fd_ = -1;
    std::unordered_map<int, Watch> watches_;
};

ChangeNotificationObject::~ChangeNotificationObject()
{
    ChangeMonitor::instance().unsubscribe(*this);
}

std::shared_ptr<ChangeNotificationObject> changeHandle(HANDLE handle)
{
    auto object = lookupHandleAs<ChangeNotificationObject>(handle);
    if (!object)
        SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

HANDLE WINAPI FindFirstChangeNotificationA(LPCSTR pathName, BOOL watchSubtree, DWORD notifyFilter)
{
    if (notifyFilter == 0 || (notifyFilter & ~kValidFilter)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    MappedPath mapped;
    // The ANSI code page of the machine is UTF-8.
    if (DWORD error = mapWindowsPath(toUtf16(pathName ? pathName : ""), mapped)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (stat(mapped.posix.c_str(), &st) != 0) {
        SetLastError(errno == ENOENT ? errorForMissing(mapped.posix) : errorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (!S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_DIRECTORY);
        return INVALID_HANDLE_VALUE;
    }
    auto object = std::make_shared<ChangeNotificationObject>();
    object->filter = notifyFilter;
    object->subtree = watchSubtree != FALSE;
    if (DWORD error = ChangeMonitor::instance().subscribe(*object, mapped.posix)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return insertHandle(object);
}

BOOL WINAPI FindNextChangeNotification(HANDLE handle)
{
    auto object = changeHandle(handle);
    if (!object)
        return FALSE;
    std::lock_guard<std::mutex> guard(waitLock());
    object->signalledNow = object->changedWhileSignalled;
    object->changedWhileSignalled = false;
    return TRUE;
}

BOOL WINAPI FindCloseChangeNotification(HANDLE handle)
{
    if (!changeHandle(handle))
        return FALSE;
    removeHandle(handle);
    return TRUE;
}

}  // extern "C"
