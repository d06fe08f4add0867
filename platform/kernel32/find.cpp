// FindFirstFileW / FindNextFileW / FindClose, and the narrow FindFirstFileA / FindNextFileA.
//
// A search keeps its directory open and describes each entry when the caller asks for it, as
// Windows does, so a directory of any size costs one entry at a time. "." and ".." come first
// (NTFS lists them first); the other entries come in the order the file system keeps them,
// which Windows does not promise either.
#include "kernel32/file.h"

#include "machine/file_metadata.h"
#include "machine/paths.h"
#include "machine/text.h"

#include <windows.h>

#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

namespace winsim {

namespace {

// What a listing of a directory learnt of each entry, in the order the directory gave them.
struct ListedEntry {
    uint64_t inode;
    uint64_t device;
    int64_t changedSeconds;
    uint32_t changedNanoseconds;
    DWORD attributes;
    bool dotName;  // derived attributes hide names that start with a dot
    bool settled;  // its change time was over a second old when the listing began
};
using Listing = std::vector<ListedEntry>;

// The last complete listing of each directory and pattern. A listing needs each entry's status
// and DOS attribute record, two system calls where Windows reads both from the directory; the
// next listing of the directory walks the last one beside its own (the file system gives the
// entries in the same order while the directory is unchanged) and reads the record again only
// for a file whose change time moved. Every change of an extended attribute, or of the mode that
// derived attributes follow, gives the file a new change time, unless it lands in the same tick
// of the clock as the one seen: so only change times over a second old are trusted.
class ListingMemory {
public:
    std::shared_ptr<const Listing> find(dev_t device, ino_t inode, const std::u16string &pattern)
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = listings_.find(Key{device, inode, pattern});
        return it == listings_.end() ? nullptr : it->second;
    }

    void store(dev_t device, ino_t inode, const std::u16string &pattern, std::shared_ptr<const Listing> listing)
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto &slot = listings_[Key{device, inode, pattern}];
        entries_ -= slot ? slot->size() : 0;
        if (entries_ + listing->size() > kLimit) {
            listings_.clear();
            entries_ = 0;
        }
        entries_ += listing->size();
        listings_[Key{device, inode, pattern}] = std::move(listing);
    }

private:
    static constexpr size_t kLimit = 1 << 20;  // entries of all listings, about 40 MB
    using Key = std::tuple<dev_t, ino_t, std::u16string>;
    std::mutex lock_;
    std::map<Key, std::shared_ptr<const Listing>> listings_;
    size_t entries_ = 0;
};

ListingMemory &listingMemory()
{
    static ListingMemory *memory = new ListingMemory;
    return *memory;
}

struct FindObject : KernelObject {
    DIR *directory = nullptr;  // null when the search named one entry, or the listing ended
    std::string directoryPath;
    std::u16string pattern;
    bool skipDotEntries = false;   // a drive root has none, and they were queued up front otherwise
    std::deque<std::string> queued;  // entries to report before the listing: ".", "..", or the named entry
    // The directory's last listing, walked beside this one, and this one, kept when it completes.
    struct stat directoryStatus {};
    bool remembering = false;
    std::shared_ptr<const Listing> previous;
    size_t previousAt = 0;
    Listing current;
    int64_t settledBefore = 0;

    ~FindObject() override
    {
        if (directory)
            closedir(directory);
    }

    // The attributes the last listing saw for this entry, if the file has not changed since.
    bool rememberedAttributes(const struct stat &st, bool dotName, DWORD &attributes)
    {
        if (!previous)
            return false;
        // The entry at the same place, or the one after it when an entry went.
        for (size_t at = previousAt; at < previous->size() && at < previousAt + 2; ++at) {
            const ListedEntry &seen = (*previous)[at];
            if (seen.inode != static_cast<uint64_t>(st.st_ino) || seen.device != static_cast<uint64_t>(st.st_dev))
                continue;
            previousAt = at + 1;
            if (!seen.settled || seen.dotName != dotName || seen.changedSeconds != st.st_ctim.tv_sec ||
                seen.changedNanoseconds != static_cast<uint32_t>(st.st_ctim.tv_nsec))
                return false;
            attributes = seen.attributes;
            return true;
        }
        return false;
    }

    void record(const struct stat &st, bool dotName, DWORD attributes)
    {
        current.push_back(ListedEntry{st.st_ino, st.st_dev, st.st_ctim.tv_sec,
                                      static_cast<uint32_t>(st.st_ctim.tv_nsec), attributes, dotName,
                                      st.st_ctim.tv_sec < settledBefore});
    }

    void listingEnded()
    {
        closedir(directory);
        directory = nullptr;
        previous.reset();
        if (remembering)
            listingMemory().store(directoryStatus.st_dev, directoryStatus.st_ino, pattern,
                                  std::make_shared<const Listing>(std::move(current)));
        current = Listing();
    }
};

bool hasWildcards(std::u16string_view name)
{
    return name.find_first_of(u"*?") != std::u16string_view::npos;
}

void fill(WIN32_FIND_DATAW &data, const struct stat &st, DWORD attributes, const std::u16string &wideName)
{
    memset(&data, 0, sizeof data);
    data.dwFileAttributes = attributes;
    data.ftCreationTime = toFileTime(st.st_ctim);
    data.ftLastAccessTime = toFileTime(st.st_atim);
    data.ftLastWriteTime = toFileTime(st.st_mtim);
    if (!S_ISDIR(st.st_mode)) {
        data.nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
        data.nFileSizeLow = static_cast<DWORD>(st.st_size);
    }
    memcpy(data.cFileName, wideName.data(), wideName.size() * sizeof(char16_t));
}

// Fills data for the entry name of directoryPath, open as directoryFd (AT_FDCWD with an empty
// directory and the whole path as name for an entry found by name); false when it is gone or its
// name does not fit the record. An entry of the listing is checked against the last listing.
bool describe(int directoryFd, const std::string &directoryPath, const char *name, const std::u16string &wideName,
              WIN32_FIND_DATAW &data, FindObject *listing = nullptr)
{
    struct stat st;
    if (wideName.size() >= MAX_PATH || fstatat(directoryFd, name, &st, 0) != 0)
        return false;
    const bool dotName = wideName.size() > 1 && wideName[0] == u'.' && wideName != u"..";
    DWORD attributes = 0;
    if (!listing || !listing->rememberedAttributes(st, dotName, attributes))
        attributes = readAttributesOfEntry(directoryFd, directoryPath, name, st);
    if (listing)
        listing->record(st, dotName, attributes);
    fill(data, st, attributes, wideName);
    return true;
}

std::string lastComponent(const std::string &posix)
{
    size_t slash = posix.find_last_of('/');
    return slash == std::string::npos ? posix : posix.substr(slash + 1);
}

bool isDriveRoot(const std::string &posix)
{
    return posix == "/" || toUtf8(windowsPathFromPosix(posix)).size() == 3;
}

// The next entry of the search that can be described, or false when there is none.
bool nextEntry(FindObject &search, WIN32_FIND_DATAW &data)
{
    while (!search.queued.empty()) {
        std::string name = std::move(search.queued.front());
        search.queued.pop_front();
        bool described = search.directory ? describe(dirfd(search.directory), search.directoryPath, name.c_str(),
                                                     toUtf16(name), data)
                                          : describe(AT_FDCWD, "", search.directoryPath.c_str(), toUtf16(name), data);
        if (described)
            return true;
    }
    const bool everything = search.pattern == u"*" || search.pattern == u"*.*";
    while (search.directory) {
        dirent *entry = readdir(search.directory);
        if (!entry) {
            search.listingEnded();
            return false;
        }
        const char *name = entry->d_name;
        if (search.skipDotEntries && (strcmp(name, ".") == 0 || strcmp(name, "..") == 0))
            continue;
        std::u16string wide = toUtf16(name);
        // An entry that vanished since the listing, or whose name no record can hold, is passed over.
        if ((everything || matchesPattern(wide, search.pattern)) &&
            describe(dirfd(search.directory), search.directoryPath, name, wide, data, &search))
            return true;
    }
    return false;
}

// The narrow record of a wide one; false when the name does not fit in the ANSI code page's form.
bool toNarrow(const WIN32_FIND_DATAW &wide, WIN32_FIND_DATAA &narrow)
{
    std::string name = toUtf8(std::u16string_view(wide.cFileName));
    if (name.size() >= MAX_PATH)
        return false;
    memset(&narrow, 0, sizeof narrow);
    narrow.dwFileAttributes = wide.dwFileAttributes;
    narrow.ftCreationTime = wide.ftCreationTime;
    narrow.ftLastAccessTime = wide.ftLastAccessTime;
    narrow.ftLastWriteTime = wide.ftLastWriteTime;
    narrow.nFileSizeHigh = wide.nFileSizeHigh;
    narrow.nFileSizeLow = wide.nFileSizeLow;
    memcpy(narrow.cFileName, name.data(), name.size());
    return true;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

HANDLE WINAPI FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findData)
{
    size_t length = wideLength(fileName);
    if (!fileName || !findData || length == 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // A search needs a name to match: "dir\" and a bare drive root find nothing.
    if (fileName[length - 1] == u'\\' || fileName[length - 1] == u'/') {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const std::u16string_view path(fileName, length);
    const size_t separator = path.find_last_of(u"\\/");
    std::u16string_view last = separator == std::u16string_view::npos ? path : path.substr(separator + 1);
    if (separator == std::u16string_view::npos && last.size() >= 2 && last[1] == u':')
        last.remove_prefix(2);  // "C:*", on the drive's current directory
    auto search = std::make_shared<FindObject>();
    MappedPath mapped;
    if (!hasWildcards(last)) {
        if (DWORD error = mapWindowsPath(path, mapped)) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        if (isDriveRoot(mapped.posix)) {
            SetLastError(errorForMissing(mapped.posix));
            return INVALID_HANDLE_VALUE;
        }
        search->directoryPath = mapped.posix;
        search->queued.push_back(lastComponent(mapped.posix));
    } else {
        // Only the directory is looked up; the pattern is matched against its entries.
        const bool prefixed = path.size() >= 4 && path.substr(0, 4) == u"\\\\?\\";
        if (!prefixed && length >= MAX_PATH) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return INVALID_HANDLE_VALUE;
        }
        for (char16_t c : last) {
            if (c < 32 || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u':') {
                SetLastError(ERROR_INVALID_NAME);
                return INVALID_HANDLE_VALUE;
            }
        }
        std::u16string directory(path.substr(0, path.size() - last.size()));
        if (DWORD error = mapWindowsPath(directory.empty() ? u"." : directory, mapped)) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        search->pattern = std::u16string(last);
        search->directoryPath = mapped.posix;
        search->directory = opendir(search->directoryPath.c_str());
        if (!search->directory) {
            SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : errorFromErrno(errno));
            return INVALID_HANDLE_VALUE;
        }
        search->skipDotEntries = true;
        search->remembering = fstat(dirfd(search->directory), &search->directoryStatus) == 0;
        if (search->remembering)
            search->previous = listingMemory().find(search->directoryStatus.st_dev, search->directoryStatus.st_ino,
                                                    search->pattern);
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        search->settledBefore = now.tv_sec - 1;
        if (!isDriveRoot(search->directoryPath))
            for (const char *dot : {".", ".."})
                if (matchesPattern(toUtf16(dot), search->pattern))
                    search->queued.push_back(dot);
    }
    const bool named = !search->directory;
    WIN32_FIND_DATAW first;
    if (!nextEntry(*search, first)) {
        struct stat st;
        if (!named)
            SetLastError(ERROR_FILE_NOT_FOUND);
        else if (stat(mapped.posix.c_str(), &st) != 0 && errno != ENOENT)
            SetLastError(errorFromErrno(errno));
        else
            SetLastError(errorForMissing(mapped.posix));
        return INVALID_HANDLE_VALUE;
    }
    *findData = first;
    SetLastError(ERROR_SUCCESS);
    return insertHandle(search);
}

BOOL WINAPI FindNextFileW(HANDLE handle, LPWIN32_FIND_DATAW findData)
{
    auto search = lookupHandleAs<FindObject>(handle);
    if (!search || !findData) {
        SetLastError(search ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    WIN32_FIND_DATAW next;
    if (!nextEntry(*search, next)) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    *findData = next;
    return TRUE;
}

HANDLE WINAPI FindFirstFileA(LPCSTR fileName, LPWIN32_FIND_DATAA findData)
{
    if (!fileName || !findData) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // The ANSI code page of the machine is UTF-8.
    std::u16string wide = toUtf16(fileName);
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(wide.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return search;
    if (!toNarrow(data, *findData)) {
        FindClose(search);
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    return search;
}

BOOL WINAPI FindNextFileA(HANDLE handle, LPWIN32_FIND_DATAA findData)
{
    if (!findData) {
        SetLastError(lookupHandleAs<FindObject>(handle) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    WIN32_FIND_DATAW data;
    if (!FindNextFileW(handle, &data))
        return FALSE;
    // The entry is passed by; the next call goes on with the one after it.
    if (!toNarrow(data, *findData)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE handle)
{
    if (!lookupHandleAs<FindObject>(handle) || !removeHandle(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
