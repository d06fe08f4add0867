#include "machine/file_metadata.h"

#include "machine/machine.h"
#include "machine/paths.h"
#include "machine/text.h"

#include <winerror.h>
#include <winnt.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace winsim {

namespace {

constexpr const char *kDosAttribName = "user.DOSATTRIB";
constexpr const char *kNtAclName = "user.NTACL";
constexpr const char *kSidecarName = kSidecarAttribute;
constexpr const char *kStreamPrefix = "user.DosStream.";
constexpr const char *kStreamSuffix = ":$DATA";
// Largest value the Linux extended attribute interface accepts.
constexpr size_t kXattrValueLimit = 65536;

constexpr DWORD kStoredAttributeMask = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                       FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                                       FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                       FILE_ATTRIBUTE_ENCRYPTED;

bool getXattr(int fd, const char *name, Bytes &value)
{
    for (;;) {
        ssize_t size = fgetxattr(fd, name, nullptr, 0);
        if (size < 0)
            return false;
        value.resize(static_cast<size_t>(size));
        ssize_t got = fgetxattr(fd, name, value.data(), value.size());
        if (got >= 0) {
            value.resize(static_cast<size_t>(got));
            return true;
        }
        if (errno != ERANGE)
            return false;
    }
}

std::vector<std::string> listXattrs(int fd)
{
    std::vector<std::string> names;
    std::vector<char> buffer;
    for (;;) {
        ssize_t size = flistxattr(fd, nullptr, 0);
        if (size <= 0)
            return names;
        buffer.resize(static_cast<size_t>(size));
        ssize_t got = flistxattr(fd, buffer.data(), buffer.size());
        if (got >= 0) {
            buffer.resize(static_cast<size_t>(got));
            break;
        }
        if (errno != ERANGE)
            return names;
    }
    for (size_t pos = 0; pos < buffer.size();) {
        std::string name(buffer.data() + pos);
        pos += name.size() + 1;
        names.push_back(std::move(name));
    }
    return names;
}

uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void append16(Bytes &out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void append32(Bytes &out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void append64(Bytes &out, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::string streamXattrName(const std::u16string &name)
{
    return std::string(kStreamPrefix) + toUtf8(name) + kStreamSuffix;
}

bool streamNameFromXattr(const std::string &xattr, std::u16string &name)
{
    const size_t prefix = strlen(kStreamPrefix), suffix = strlen(kStreamSuffix);
    if (xattr.size() <= prefix + suffix || xattr.compare(0, prefix, kStreamPrefix) != 0 ||
        xattr.compare(xattr.size() - suffix, suffix, kStreamSuffix) != 0)
        return false;
    name = toUtf16(xattr.substr(prefix, xattr.size() - prefix - suffix));
    return true;
}

std::string hexEncode(const std::string &text)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Sidecar file names are the hex of the stream name; anything else (a partial write, say) is
// not a stream.
bool hexDecode(const std::string &hex, std::string &out)
{
    auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    if (hex.empty() || hex.size() % 2)
        return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = digit(hex[i]), low = digit(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out += static_cast<char>(high * 16 + low);
    }
    return true;
}

std::string sidecarDirectory(const std::string &id)
{
    return machineRoot() + "/sidecar/" + id;
}

// The sidecar directory of a file, optionally giving it one.
bool sidecarOf(int fd, bool create, std::string &dir)
{
    Bytes id;
    if (getXattr(fd, kSidecarName, id) && !id.empty()) {
        dir = sidecarDirectory(std::string(id.begin(), id.end()));
        return true;
    }
    if (!create)
        return false;
    uint8_t random[16];
    if (getrandom(random, sizeof random, 0) != sizeof random)
        return false;
    std::string text = hexEncode(std::string(reinterpret_cast<char *>(random), sizeof random));
    if (fsetxattr(fd, kSidecarName, text.data(), text.size(), XATTR_CREATE) != 0 && errno != EEXIST)
        return false;
    return sidecarOf(fd, false, dir) && (mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST);
}

std::vector<std::string> listDirectory(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *entry = readdir(d))
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        closedir(d);
    }
    return names;
}

// Removes every copy of a stream whose name equals `name` in any case.
void removeStream(int fd, const std::u16string &name)
{
    for (const std::string &xattr : listXattrs(fd)) {
        std::u16string existing;
        if (streamNameFromXattr(xattr, existing) && equalsIgnoreCase(existing, name))
            fremovexattr(fd, xattr.c_str());
    }
    std::string dir;
    std::string decoded;
    if (sidecarOf(fd, false, dir))
        for (const std::string &file : listDirectory(dir))
            if (hexDecode(file, decoded) && equalsIgnoreCase(toUtf16(decoded), name))
                unlink((dir + "/" + file).c_str());
}

}  // namespace

AttributeNames::AttributeNames(int fd) : names_(listXattrs(fd)) {}

bool AttributeNames::has(const std::string &name) const
{
    return std::find(names_.begin(), names_.end(), name) != names_.end();
}

// ---- DOS attributes ----

bool decodeDosAttrib(const uint8_t *data, size_t size, DWORD &attributes)
{
    size_t textEnd = 0;
    while (textEnd < size && data[textEnd] != 0)
        ++textEnd;
    std::string text(reinterpret_cast<const char *>(data), textEnd);
    bool haveText = text.size() > 2 && (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0) &&
                    text.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos && text.size() <= 10;
    size_t pos = textEnd + 1;
    pos += pos & 1;  // the text is padded to an even length
    if (pos + 6 <= size) {
        uint16_t version = static_cast<uint16_t>(data[pos] | (data[pos + 1] << 8));
        uint32_t level = le32(data + pos + 2);
        const uint8_t *info = data + pos + 6;
        size_t left = size - pos - 6;
        if (version == level) {
            if (version == 1 && left >= 4) {
                attributes = le32(info);
                return true;
            }
            if (version >= 2 && version <= 5 && left >= 8) {
                attributes = le32(info + 4);  // after the flags word
                return true;
            }
        }
    }
    if (haveText) {
        attributes = static_cast<DWORD>(std::stoul(text.substr(2), nullptr, 16));
        return true;
    }
    return false;
}

Bytes encodeDosAttrib(DWORD attributes)
{
    char text[16];
    snprintf(text, sizeof text, "0x%x", attributes);
    Bytes out(text, text + strlen(text) + 1);
    if (out.size() & 1)
        out.push_back(0);
    append16(out, 3);
    append32(out, 3);
    append32(out, 0x1);  // valid: the attribute word
    append32(out, attributes);
    append32(out, 0);  // EA size
    append64(out, 0);  // size
    append64(out, 0);  // allocation size
    append64(out, 0);  // creation time
    append64(out, 0);  // change time
    return out;
}

namespace {

// The attribute word from a file's stored record, or for a file without a readable one (record
// null) the word Samba would derive.
DWORD attributesFrom(const uint8_t *record, size_t size, const struct stat &st, const std::string &posixPath)
{
    DWORD attributes = 0;
    if (record && decodeDosAttrib(record, size, attributes)) {
        attributes &= kStoredAttributeMask;
    } else {
        attributes = S_ISDIR(st.st_mode) ? 0 : FILE_ATTRIBUTE_ARCHIVE;
        size_t slash = posixPath.find_last_of('/');
        std::string name = slash == std::string::npos ? posixPath : posixPath.substr(slash + 1);
        if (name.size() > 1 && name[0] == '.' && name != "..")
            attributes |= FILE_ATTRIBUTE_HIDDEN;
        if (!(st.st_mode & S_IWUSR))
            attributes |= FILE_ATTRIBUTE_READONLY;
    }
    if (S_ISDIR(st.st_mode))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (attributes == 0)
        attributes = FILE_ATTRIBUTE_NORMAL;
    return attributes;
}

}  // namespace

DWORD readAttributes(int fd, const struct stat &st, const std::string &posixPath)
{
    Bytes blob;
    bool stored = getXattr(fd, kDosAttribName, blob);
    return attributesFrom(stored ? blob.data() : nullptr, blob.size(), st, posixPath);
}

// The DOS attribute record of a directory entry. Linux 6.13 reads extended attributes relative to
// an open directory (getxattrat), which spares walking the whole path for every entry of a
// listing; older kernels (and sandboxes that refuse the call) read them by path.
ssize_t dosAttribOfEntry(int directoryFd, const std::string &directoryPath, const char *name, uint8_t *value,
                         size_t size)
{
#if defined(__x86_64__) || defined(__aarch64__)
    constexpr long kGetxattrat = 464;
    struct XattrArgs {
        uint64_t value;
        uint32_t size;
        uint32_t flags;
    };
    static std::atomic<bool> relativeReads{true};
    if (directoryFd != AT_FDCWD && relativeReads.load(std::memory_order_relaxed)) {
        XattrArgs args{reinterpret_cast<uintptr_t>(value), static_cast<uint32_t>(size), 0};
        long got = syscall(kGetxattrat, directoryFd, name, 0, kDosAttribName, &args, sizeof args);
        if (got >= 0 || (errno != ENOSYS && errno != EPERM))
            return got;
        relativeReads.store(false, std::memory_order_relaxed);
    }
#endif
    const std::string path = directoryPath.empty() ? name : directoryPath + "/" + name;
    return getxattr(path.c_str(), kDosAttribName, value, size);
}

DWORD readAttributesOfEntry(int directoryFd, const std::string &directoryPath, const char *name,
                            const struct stat &st)
{
    // Samba's records are well under this size; a larger one is read through a descriptor.
    uint8_t blob[256];
    ssize_t size = dosAttribOfEntry(directoryFd, directoryPath, name, blob, sizeof blob);
    if (size >= 0 || errno != ERANGE)
        return attributesFrom(size >= 0 ? blob : nullptr, size >= 0 ? static_cast<size_t>(size) : 0, st, name);
    const std::string path = directoryPath.empty() ? name : directoryPath + "/" + name;
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    DWORD attributes = readAttributes(fd, st, path);
    if (fd >= 0)
        close(fd);
    return attributes;
}

DWORD readAttributesOfPath(const std::string &posixPath, const struct stat &st)
{
    return readAttributesOfEntry(AT_FDCWD, "", posixPath.c_str(), st);
}

namespace {

DWORD storeAttributes(int fd, const struct stat &st, DWORD attributes)
{
    DWORD stored = attributes & kStoredAttributeMask;
    if (S_ISDIR(st.st_mode))
        stored |= FILE_ATTRIBUTE_DIRECTORY;
    Bytes blob = encodeDosAttrib(stored);
    if (fsetxattr(fd, kDosAttribName, blob.data(), blob.size(), 0) != 0)
        return errorFromErrno(errno);
    return 0;
}

bool storedEncrypted(int fd)
{
    DWORD attributes = 0;
    Bytes blob;
    return getXattr(fd, kDosAttribName, blob) && decodeDosAttrib(blob.data(), blob.size(), attributes) &&
           (attributes & FILE_ATTRIBUTE_ENCRYPTED);
}

}  // namespace

DWORD writeAttributes(int fd, const struct stat &st, DWORD attributes)
{
    attributes &= ~FILE_ATTRIBUTE_ENCRYPTED;
    if (storedEncrypted(fd))
        attributes |= FILE_ATTRIBUTE_ENCRYPTED;
    return storeAttributes(fd, st, attributes);
}

DWORD setEncryptedAttribute(int fd, const struct stat &st, const std::string &posixPath, bool encrypted)
{
    DWORD attributes = readAttributes(fd, st, posixPath) & ~(FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_NORMAL);
    return storeAttributes(fd, st, encrypted ? attributes | FILE_ATTRIBUTE_ENCRYPTED : attributes);
}

// ---- named streams ----

NamedStream::NamedStream(NamedStream &&other) noexcept
    : name(std::move(other.name)), size(other.size), data(std::move(other.data)), sidecarFd(other.sidecarFd)
{
    other.sidecarFd = -1;
}

NamedStream &NamedStream::operator=(NamedStream &&other) noexcept
{
    if (this != &other) {
        if (sidecarFd >= 0)
            close(sidecarFd);
        name = std::move(other.name);
        size = other.size;
        data = std::move(other.data);
        sidecarFd = other.sidecarFd;
        other.sidecarFd = -1;
    }
    return *this;
}

NamedStream::~NamedStream()
{
    if (sidecarFd >= 0)
        close(sidecarFd);
}

ssize_t NamedStream::readAt(uint64_t offset, uint8_t *into, size_t count) const
{
    if (sidecarFd >= 0)
        return pread(sidecarFd, into, count, static_cast<off_t>(offset));
    if (offset >= data.size())
        return 0;
    size_t n = std::min<size_t>(count, data.size() - offset);
    memcpy(into, data.data() + offset, n);
    return static_cast<ssize_t>(n);
}

DWORD listNamedStreams(int fd, std::vector<NamedStream> &streams)
{
    return listNamedStreams(fd, AttributeNames(fd), streams);
}

DWORD listNamedStreams(int fd, const AttributeNames &names, std::vector<NamedStream> &streams)
{
    streams.clear();
    for (const std::string &xattr : names.all()) {
        NamedStream stream;
        if (!streamNameFromXattr(xattr, stream.name))
            continue;
        if (!getXattr(fd, xattr.c_str(), stream.data))
            return errorFromErrno(errno);
        if (!stream.data.empty())
            stream.data.pop_back();  // the NUL that Samba stores after the contents
        stream.size = stream.data.size();
        streams.push_back(std::move(stream));
    }
    std::string dir;
    if (names.has(kSidecarName) && sidecarOf(fd, false, dir)) {
        std::string decoded;
        for (const std::string &file : listDirectory(dir)) {
            if (!hexDecode(file, decoded))
                continue;
            NamedStream stream;
            stream.name = toUtf16(decoded);
            stream.sidecarFd = ::open((dir + "/" + file).c_str(), O_RDONLY | O_CLOEXEC);
            struct stat st;
            if (stream.sidecarFd < 0 || fstat(stream.sidecarFd, &st) != 0)
                return errorFromErrno(errno);
            stream.size = static_cast<uint64_t>(st.st_size);
            streams.push_back(std::move(stream));
        }
    }
    std::sort(streams.begin(), streams.end(),
              [](const NamedStream &a, const NamedStream &b) { return a.name < b.name; });
    return 0;
}

DWORD NamedStreamWriter::open(int fd, std::u16string name, uint64_t size, std::unique_ptr<NamedStreamWriter> &out)
{
    std::unique_ptr<NamedStreamWriter> writer(new NamedStreamWriter);
    writer->fd_ = fd;
    writer->name_ = std::move(name);
    writer->size_ = size;
    if (size < kXattrValueLimit - 1)
        writer->buffer_.reserve(static_cast<size_t>(size) + 1);
    else if (DWORD error = writer->openSidecar())
        return error;
    out = std::move(writer);
    return 0;
}

DWORD NamedStreamWriter::openSidecar()
{
    std::string dir;
    if (!sidecarOf(fd_, true, dir))
        return ERROR_DISK_FULL;
    sidecarPath_ = dir + "/" + hexEncode(toUtf8(name_));
    sidecarTemp_ = sidecarPath_ + ".partial";
    sidecarFd_ = ::open(sidecarTemp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    return sidecarFd_ < 0 ? errorFromErrno(errno) : 0;
}

DWORD NamedStreamWriter::write(const uint8_t *data, size_t count)
{
    if (sidecarFd_ < 0) {
        buffer_.insert(buffer_.end(), data, data + count);
        return 0;
    }
    while (count > 0) {
        ssize_t done = ::write(sidecarFd_, data, count);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            return errorFromErrno(errno);
        }
        data += done;
        count -= static_cast<size_t>(done);
    }
    return 0;
}

DWORD NamedStreamWriter::finish(int fd)
{
    fd_ = fd;
    removeStream(fd_, name_);
    if (sidecarFd_ < 0) {
        buffer_.push_back(0);
        std::string xattr = streamXattrName(name_);
        if (fsetxattr(fd_, xattr.c_str(), buffer_.data(), buffer_.size(), 0) == 0)
            return 0;
        if (errno != ENOSPC && errno != E2BIG)
            return errorFromErrno(errno);
        buffer_.pop_back();
        // The file system is out of attribute room: the stream goes to the sidecar.
        if (DWORD error = openSidecar())
            return error;
        Bytes pending = std::move(buffer_);
        if (DWORD error = write(pending.data(), pending.size()))
            return error;
    }
    if (fsync(sidecarFd_) != 0 || close(sidecarFd_) != 0) {
        sidecarFd_ = -1;
        return errorFromErrno(errno);
    }
    sidecarFd_ = -1;
    if (rename(sidecarTemp_.c_str(), sidecarPath_.c_str()) != 0)
        return errorFromErrno(errno);
    sidecarTemp_.clear();
    return 0;
}

NamedStreamWriter::~NamedStreamWriter()
{
    if (sidecarFd_ >= 0)
        close(sidecarFd_);
    if (!sidecarTemp_.empty())
        unlink(sidecarTemp_.c_str());
}

std::string sidecarDirectoryOf(const std::string &id)
{
    return sidecarDirectory(id);
}

DWORD removeNamedStreams(int fd)
{
    for (const std::string &xattr : listXattrs(fd)) {
        std::u16string name;
        if (streamNameFromXattr(xattr, name) && fremovexattr(fd, xattr.c_str()) != 0)
            return errorFromErrno(errno);
    }
    std::string dir;
    std::string decoded;
    if (sidecarOf(fd, false, dir))
        for (const std::string &file : listDirectory(dir))
            if (hexDecode(file, decoded))
                unlink((dir + "/" + file).c_str());
    return 0;
}

// ---- security ----

namespace {

SecurityDescriptor readSecurityIf(int fd, const struct stat &st, bool stored)
{
    SecurityDescriptor effective = synthesiseSecurityDescriptor(st.st_uid, st.st_gid, st.st_mode);
    Bytes blob;
    SecurityDescriptor kept;
    if (stored && getXattr(fd, kNtAclName, blob) && decodeNtAcl(blob.data(), blob.size(), kept))
        mergeSecurityDescriptor(effective, kept, partsPresent(kept));
    return effective;
}

}  // namespace

SecurityDescriptor readSecurity(int fd, const struct stat &st)
{
    return readSecurityIf(fd, st, true);
}

SecurityDescriptor readSecurity(int fd, const struct stat &st, const AttributeNames &names)
{
    return readSecurityIf(fd, st, names.has(kNtAclName));
}

Bytes securityDescriptorOf(int fd, const struct stat &st, const AttributeNames &names, SECURITY_INFORMATION which)
{
    if (names.has(kNtAclName))
        return buildSecurityDescriptor(readSecurityIf(fd, st, true), which);
    struct Synthesised {
        bool valid = false;
        uid_t uid = 0;
        gid_t gid = 0;
        mode_t mode = 0;
        SECURITY_INFORMATION which = 0;
        Bytes descriptor;
    };
    thread_local Synthesised last;
    const mode_t mode = st.st_mode & 0777;
    if (!last.valid || last.uid != st.st_uid || last.gid != st.st_gid || last.mode != mode || last.which != which) {
        last.descriptor = buildSecurityDescriptor(synthesiseSecurityDescriptor(st.st_uid, st.st_gid, mode), which);
        last.valid = true;
        last.uid = st.st_uid;
        last.gid = st.st_gid;
        last.mode = mode;
        last.which = which;
    }
    return last.descriptor;
}

DWORD writeSecurity(int fd, const struct stat &st, const SecurityDescriptor &sd, SECURITY_INFORMATION which)
{
    SecurityDescriptor updated = readSecurity(fd, st);
    mergeSecurityDescriptor(updated, sd, which);
    Bytes blob = encodeNtAcl(updated);
    if (fsetxattr(fd, kNtAclName, blob.data(), blob.size(), 0) != 0)
        return errorFromErrno(errno);
    return 0;
}

}  // namespace winsim
