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
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>

namespace winsim {

namespace {

struct FindObject : KernelObject {
    DIR *directory = nullptr;  // null when the search named one entry, or the listing ended
    std::string directoryPath;
    std::u16string pattern;
    bool skipDotEntries = false;   // a drive root has none, and they were queued up front otherwise
    std::deque<std::string> queued;  // entries to report before the listing: ".", "..", or the named entry

    ~FindObject() override
    {
        if (directory)
            closedir(directory);
    }
};

bool hasWildcards(std::u16string_view name)
{
    return name.find_first_of(u"*?") != std::u16string_view::npos;
}

std::string joinPath(const std::string &directory, const std::string &name)
{
    return directory == "/" ? "/" + name : directory + "/" + name;
}

// Fills data for an entry; false when it is gone or its name does not fit the record.
bool describe(const std::string &posix, const std::u16string &name, WIN32_FIND_DATAW &data)
{
    struct stat st;
    if (name.size() >= MAX_PATH || stat(posix.c_str(), &st) != 0)
        return false;
    memset(&data, 0, sizeof data);
    data.dwFileAttributes = readAttributesOfPath(posix, st);
    data.ftCreationTime = toFileTime(st.st_ctim);
    data.ftLastAccessTime = toFileTime(st.st_atim);
    data.ftLastWriteTime = toFileTime(st.st_mtim);
    if (!S_ISDIR(st.st_mode)) {
        data.nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
        data.nFileSizeLow = static_cast<DWORD>(st.st_size);
    }
    memcpy(data.cFileName, name.data(), name.size() * sizeof(char16_t));
    return true;
}

std::string lastComponent(const std::string &posix)
{
    size_t slash = posix.find_last_of('/');
    return slash == std::string::npos ? posix : posix.substr(slash + 1);
}

std::string parentOf(const std::string &posix)
{
    size_t slash = posix.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : posix.substr(0, slash);
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
        const std::string posix = search.directory ? joinPath(search.directoryPath, name) : search.directoryPath;
        if (describe(posix, toUtf16(name), data))
            return true;
    }
    while (search.directory) {
        errno = 0;
        dirent *entry = readdir(search.directory);
        if (!entry) {
            closedir(search.directory);
            search.directory = nullptr;
            return false;
        }
        const char *name = entry->d_name;
        if (search.skipDotEntries && (strcmp(name, ".") == 0 || strcmp(name, "..") == 0))
            continue;
        std::u16string wide = toUtf16(name);
        // An entry that vanished since the listing, or whose name no record can hold, is passed over.
        if (matchesPattern(wide, search.pattern) && describe(joinPath(search.directoryPath, name), wide, data))
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
    MappedPath mapped;
    if (DWORD error = mapWindowsPath(fileName, mapped, kPathAllowWildcards)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    auto search = std::make_shared<FindObject>();
    search->pattern = toUtf16(lastComponent(mapped.posix));
    if (!hasWildcards(search->pattern)) {
        if (isDriveRoot(mapped.posix)) {
            SetLastError(errorForMissing(mapped.posix));
            return INVALID_HANDLE_VALUE;
        }
        search->directoryPath = mapped.posix;
        search->queued.push_back(lastComponent(mapped.posix));
    } else {
        search->directoryPath = parentOf(mapped.posix);
        search->directory = opendir(search->directoryPath.c_str());
        if (!search->directory) {
            SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : errorFromErrno(errno));
            return INVALID_HANDLE_VALUE;
        }
        search->skipDotEntries = true;
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
