// File objects behind the handles that CreateFileW gives out.
#pragma once

#include "kernel32/handles.h"

#include <windef.h>
#include <winnt.h>

#include <sys/stat.h>

#include <memory>
#include <string>

namespace winsim {

struct FileObject : KernelObject {
    int fd = -1;
    std::string path;  // POSIX
    ACCESS_MASK access = 0;  // granted rights, generic ones mapped to the specific file rights
    DWORD share = 0;
    DWORD flags = 0;
    bool directory = false;
    dev_t device = 0;
    ino_t inode = 0;
    bool registered = false;  // counted in the process's sharing table
    bool readOnly = false;    // on a shadow copy
    ~FileObject() override;
};

// The file object of a handle, or null with ERROR_INVALID_HANDLE set.
std::shared_ptr<FileObject> fileFromHandle(HANDLE handle);

// Opens a path only to read or change its metadata. Returns the descriptor or -1 with errno set.
int openForMetadata(const std::string &posix);

FILETIME toFileTime(const struct timespec &time);

}  // namespace winsim
