// File objects behind the handles that CreateFileW gives out.
#pragma once

#include "kernel32/handles.h"

#include <windef.h>
#include <winnt.h>

#include <sys/stat.h>

#include <atomic>
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
    // The handle may read data but nobody has looked yet whether the file is encrypted: that costs
    // a read of the stored attributes, which a backup read learns from its listing for nothing.
    std::atomic<bool> encryptionUnknown{false};
    ~FileObject() override;
};

// An encrypted file's contents are ciphertext here: they are reached through its raw form or by
// decrypting it, never as plain data (see the README). ERROR_ACCESS_DENIED for a handle to an
// encrypted file, 0 otherwise; looks at the file's attributes only once per handle.
DWORD refuseEncryptedData(FileObject &file);

// The file object of a handle, or null with ERROR_INVALID_HANDLE set.
std::shared_ptr<FileObject> fileFromHandle(HANDLE handle);

// Whether the handles this process has open on a file let another open take `access`
// (DELETE, to rename or remove it) whatever it shares.
bool openHandlesAllow(dev_t device, ino_t inode, ACCESS_MASK access);

// Opens a path only to read or change its metadata. Returns the descriptor or -1 with errno set.
int openForMetadata(const std::string &posix);

// An existing file or directory, named by a Windows path, opened for its metadata.
struct ExistingFile {
    std::string posix;
    struct stat st {};
    int fd = -1;
    bool readOnly = false;  // on a snapshot
    ExistingFile() = default;
    ExistingFile(const ExistingFile &) = delete;
    ExistingFile &operator=(const ExistingFile &) = delete;
    ~ExistingFile();
    // Returns false with the Windows last error set when the path is invalid or missing.
    bool open(LPCWSTR path);
};

FILETIME toFileTime(const struct timespec &time);

}  // namespace winsim
