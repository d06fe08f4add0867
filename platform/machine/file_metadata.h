// Windows metadata on POSIX files, in Samba's conventions so that the files stay readable by
// Samba and Wine:
//   DOS attributes   user.DOSATTRIB                  (every version read; version 3 written)
//   named streams    user.DosStream.<name>:$DATA     (data plus one trailing NUL)
//   security         user.NTACL                      (versions 1 to 4 read; version 1 written)
// A named stream that the file system cannot hold as an extended attribute (ext4 keeps about
// 4 KB of them per file) lives in a sidecar file under <root>/sidecar, found through the
// file's user.winsim.sidecar attribute.
#pragma once

#include "machine/security_descriptor.h"

#include <windef.h>

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

namespace winsim {

// The names of a file's extended attributes, listed once: a reader that is given them asks only
// for the attributes that exist, so a file without any costs one listing instead of a failed
// read of each. (A file system without extended attributes lists none.)
class AttributeNames {
public:
    explicit AttributeNames(int fd);
    bool has(const std::string &name) const;
    const std::vector<std::string> &all() const { return names_; }

private:
    std::vector<std::string> names_;
};

// ---- DOS attributes ----

// Decodes any form Samba has written: the bare "0x.." text, or the text followed by the
// versioned binary record (versions 1 to 5). Returns false when the blob is not readable.
bool decodeDosAttrib(const uint8_t *data, size_t size, DWORD &attributes);
Bytes encodeDosAttrib(DWORD attributes);

// The attributes of an open file: those stored, or for a file without them the ones Samba
// would derive (archive for files, hidden for dot names, read-only without an owner write bit).
DWORD readAttributes(int fd, const struct stat &st, const std::string &posixPath);
// The same for a file named by its path, without opening it; and for the entry name of the
// directory directoryPath, open as directoryFd (directory listings, one call per entry).
DWORD readAttributesOfPath(const std::string &posixPath, const struct stat &st);
DWORD readAttributesOfEntry(int directoryFd, const std::string &directoryPath, const char *name,
                            const struct stat &st);
// Stores the attributes; the encrypted bit is the file's own state, which this keeps as it is
// whatever `attributes` says (as SetFileAttributes and CreateFile neither set nor clear it).
DWORD writeAttributes(int fd, const struct stat &st, DWORD attributes);
// Sets or clears FILE_ATTRIBUTE_ENCRYPTED, keeping the other attributes.
DWORD setEncryptedAttribute(int fd, const struct stat &st, const std::string &posixPath, bool encrypted);

// ---- named streams ----

struct NamedStream {
    std::u16string name;  // without the leading ':' and the ":$DATA" suffix
    uint64_t size = 0;
    Bytes data;           // contents when held in an extended attribute
    int sidecarFd = -1;   // open sidecar file otherwise; closed by the destructor
    NamedStream() = default;
    NamedStream(const NamedStream &) = delete;
    NamedStream &operator=(const NamedStream &) = delete;
    NamedStream(NamedStream &&other) noexcept;
    NamedStream &operator=(NamedStream &&other) noexcept;
    ~NamedStream();
    // Reads from the stream's contents at offset; returns the count or -1 with errno set.
    ssize_t readAt(uint64_t offset, uint8_t *into, size_t count) const;
};

// The named streams of a file, sorted by name. Returns 0 or a Windows error.
DWORD listNamedStreams(int fd, std::vector<NamedStream> &streams);
DWORD listNamedStreams(int fd, const AttributeNames &names, std::vector<NamedStream> &streams);

// Writes one named stream, replacing a stream of the same name in any case. Contents of any
// size arrive in pieces; finish() stores them. Destroying an unfinished writer discards them.
class NamedStreamWriter {
public:
    static DWORD open(int fd, std::u16string name, uint64_t size, std::unique_ptr<NamedStreamWriter> &out);
    DWORD write(const uint8_t *data, size_t count);
    // Stores the stream on the file open as fd (the same file the writer was opened for).
    DWORD finish(int fd);
    ~NamedStreamWriter();

private:
    NamedStreamWriter() = default;
    DWORD openSidecar();
    int fd_ = -1;
    std::u16string name_;
    uint64_t size_ = 0;
    Bytes buffer_;
    int sidecarFd_ = -1;
    std::string sidecarPath_;
    std::string sidecarTemp_;
};

// Removes every named stream (a file that is overwritten loses them, as on NTFS).
DWORD removeNamedStreams(int fd);

// The extended attribute that names a file's sidecar, and the directory of a sidecar name.
inline constexpr const char *kSidecarAttribute = "user.winsim.sidecar";
std::string sidecarDirectoryOf(const std::string &id);

// ---- security ----

// The stored descriptor with any part it lacks filled from the synthesised one.
SecurityDescriptor readSecurity(int fd, const struct stat &st);
SecurityDescriptor readSecurity(int fd, const struct stat &st, const AttributeNames &names);
// The self-relative form of the parts `which` of that descriptor. Files without a stored one
// that have the same owner, group and mode have the same synthesised one: the last is kept (per
// thread), so a tree of such files does not build it again for each.
Bytes securityDescriptorOf(int fd, const struct stat &st, const AttributeNames &names, SECURITY_INFORMATION which);
// Stores the parts of sd that `which` names, keeping the others.
DWORD writeSecurity(int fd, const struct stat &st, const SecurityDescriptor &sd, SECURITY_INFORMATION which);

}  // namespace winsim
