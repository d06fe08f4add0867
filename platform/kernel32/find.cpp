// FindFirstFileW / FindNextFileW / FindClose.
#include "kernel32/file.h"

#include "machine/file_metadata.h"
#include "machine/paths.h"
#include "machine/text.h"

#include <windows.h>

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace winsim {

namespace {

struct FindObject : KernelObject {
    std::vector<WIN32_FIND_DATAW> entries;
    size_t next = 0;
};

bool hasWildcards(std::u16string_view name)
{
    return name.find_first_of(u"*?") != std::u16string_view::npos;
}

bool describe(const std::string &posix, const std::u16string &name, WIN32_FIND_DATAW &data)
{
    struct stat st;
    if (stat(posix.c_str(), &st) != 0 || name.size() >= MAX_PATH)
        return false;
    memset(&data, 0, sizeof data);
    int fd = openForMetadata(posix);
    if (fd >= 0) {
        data.dwFileAttributes = readAttributes(fd, st, posix);
        close(fd);
    } else {
        data.dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    }
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
    const std::u16string pattern = toUtf16(lastComponent(mapped.posix));
    if (!hasWildcards(pattern)) {
        WIN32_FIND_DATAW data;
        if (isDriveRoot(mapped.posix) || !describe(mapped.posix, pattern, data)) {
            SetLastError(errno == ENOENT || isDriveRoot(mapped.posix) ? errorForMissing(mapped.posix)
                                                                       : errorFromErrno(errno));
            return INVALID_HANDLE_VALUE;
        }
        search->entries.push_back(data);
    } else {
        std::string directory = parentOf(mapped.posix);
        DIR *dir = opendir(directory.c_str());
        if (!dir) {
            SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : errorFromErrno(errno));
            return INVALID_HANDLE_VALUE;
        }
        const bool root = isDriveRoot(directory);
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (root && (name == "." || name == ".."))
                continue;
            std::u16string wide = toUtf16(name);
            if (!matchesPattern(wide, pattern))
                continue;
            WIN32_FIND_DATAW data;
            std::string full = directory == "/" ? "/" + name : directory + "/" + name;
            if (describe(full, wide, data))
                search->entries.push_back(data);
        }
        closedir(dir);
        if (search->entries.empty()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
    }
    *findData = search->entries[0];
    search->next = 1;
    SetLastError(ERROR_SUCCESS);
    return insertHandle(search);
}

BOOL WINAPI FindNextFileW(HANDLE handle, LPWIN32_FIND_DATAW findData)
{
    auto search = lookupHandleAs<FindObject>(handle);
    if (!search) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (search->next >= search->entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    *findData = search->entries[search->next++];
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
