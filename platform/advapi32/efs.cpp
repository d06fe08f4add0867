// Encrypted files: the users' keys, the metadata of an encrypted file, and EncryptFileW /
// DecryptFileW, which turn a file's streams into ciphertext and back where they are stored.
#include "advapi32/efs.h"

#include "advapi32/token.h"
#include "kernel32/file.h"
#include "machine/file_metadata.h"
#include "machine/machine.h"
#include "machine/paths.h"
#include "machine/text.h"
#include "machine/little_endian.h"

#include <windows.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace winsim {

namespace {

constexpr uint32_t kMetadataVersion = 1;
constexpr size_t kMaxUsers = 64;
constexpr size_t kMaxStreams = 4096;
constexpr size_t kChunk = 1 << 20;

constexpr char kKeyFileMagic[8] = {'W', 'S', 'E', 'F', 'S', 'K', 'E', 'Y'};
constexpr uint32_t kKeyFileVersion = 1;
constexpr uint32_t kKeyFileIterations = 100000;

struct CipherContextDeleter {
    void operator()(EVP_CIPHER_CTX *context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

struct DigestContextDeleter {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

// A file key, wiped when it goes.
struct SecretKey {
    FileKey bytes{};
    ~SecretKey() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

template <size_t N>
void putArray(Bytes &out, const std::array<uint8_t, N> &a)
{
    out.insert(out.end(), a.begin(), a.end());
}

// Reads little-endian fields from a bounded record; every read checks the room left.
class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), left_(size) {}
    bool take(void *out, size_t n)
    {
        if (n > left_)
            return false;
        memcpy(out, data_, n);
        data_ += n;
        left_ -= n;
        return true;
    }
    template <typename T>
    bool number(T &out)
    {
        uint8_t raw[sizeof(T)];
        if (!take(raw, sizeof raw))
            return false;
        out = loadLittleEndian<T>(raw);
        return true;
    }
    bool text(std::string &out, size_t length)
    {
        if (length > left_)
            return false;
        out.assign(reinterpret_cast<const char *>(data_), length);
        data_ += length;
        left_ -= length;
        return true;
    }
    size_t left() const { return left_; }

private:
    const uint8_t *data_;
    size_t left_;
};

std::string hex(const uint8_t *data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

Thumbprint thumbprintOf(const FileKey &key)
{
    Thumbprint out{};
    unsigned int length = 0;
    EVP_Digest(key.data(), key.size(), out.data(), &length, EVP_sha256(), nullptr);
    return out;
}

// ---- the machine's store of user keys ----

std::string keyDirectory(const std::string &sid)
{
    return machineRoot() + "/efs/" + sid;
}

bool validSidText(const std::string &sid)
{
    return sid.size() > 4 && sid.size() < 200 && sid.compare(0, 4, "S-1-") == 0 &&
           sid.find_first_not_of("S-0123456789") == std::string::npos;
}

DWORD writeFileAtomically(const std::string &path, const void *data, size_t size)
{
    const std::string temp = path + ".tmp." + std::to_string(getpid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return errorFromErrno(errno);
    bool ok = write(fd, data, size) == static_cast<ssize_t>(size) && fsync(fd) == 0;
    const int error = errno;
    close(fd);
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        const int failure = ok ? errno : error;
        unlink(temp.c_str());
        return errorFromErrno(failure);
    }
    return 0;
}

bool readWholeFile(const std::string &path, std::string &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream content;
    content << in.rdbuf();
    out = content.str();
    return true;
}

bool loadUserKey(const std::string &sid, const Thumbprint &thumbprint, SecretKey &out)
{
    std::string content;
    if (!validSidText(sid) || !readWholeFile(keyDirectory(sid) + "/" + hex(thumbprint.data(), 32) + ".key", content) ||
        content.size() != out.bytes.size())
        return false;
    memcpy(out.bytes.data(), content.data(), content.size());
    OPENSSL_cleanse(content.data(), content.size());
    return thumbprintOf(out.bytes) == thumbprint;
}

DWORD storeUserKey(const std::string &sid, const FileKey &key, bool makeCurrent)
{
    const std::string dir = keyDirectory(sid);
    mkdir((machineRoot() + "/efs").c_str(), 0700);
    mkdir(dir.c_str(), 0700);
    const std::string name = hex(thumbprintOf(key).data(), 32);
    if (DWORD error = writeFileAtomically(dir + "/" + name + ".key", key.data(), key.size()))
        return error;
    if (!makeCurrent)
        return 0;
    return writeFileAtomically(dir + "/current", name.data(), name.size());
}

// The user's key for encrypting new files, made on first use as Windows makes a user's first
// encryption certificate.
DWORD currentUserKey(const std::string &sid, SecretKey &key, Thumbprint &thumbprint)
{
    if (!validSidText(sid))
        return ERROR_INVALID_SID;
    std::string current;
    if (readWholeFile(keyDirectory(sid) + "/current", current) && current.size() == 64) {
        for (size_t i = 0; i < 32; ++i)
            thumbprint[i] = static_cast<uint8_t>(std::stoi(current.substr(2 * i, 2), nullptr, 16));
        if (loadUserKey(sid, thumbprint, key))
            return 0;
    }
    if (RAND_bytes(key.bytes.data(), static_cast<int>(key.bytes.size())) != 1)
        return ERROR_ENCRYPTION_FAILED;
    thumbprint = thumbprintOf(key.bytes);
    return storeUserKey(sid, key.bytes, true);
}

std::vector<std::string> userKeyNames(const std::string &sid)
{
    std::vector<std::string> names;
    if (!validSidText(sid))
        return names;
    if (DIR *dir = opendir(keyDirectory(sid).c_str())) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() == 68 && name.compare(64, 4, ".key") == 0)
                names.push_back(name.substr(0, 64));
        }
        closedir(dir);
    }
    return names;
}

// ---- key wrapping ----

bool wrapKey(const FileKey &userKey, const FileKey &fileKey, Bytes &wrapped)
{
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context)
        return false;
    EVP_CIPHER_CTX_set_flags(context.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    wrapped.assign(fileKey.size() + 8, 0);
    int length = 0, last = 0;
    if (EVP_EncryptInit_ex(context.get(), EVP_aes_256_wrap(), nullptr, userKey.data(), nullptr) != 1 ||
        EVP_EncryptUpdate(context.get(), wrapped.data(), &length, fileKey.data(), static_cast<int>(fileKey.size())) != 1 ||
        EVP_EncryptFinal_ex(context.get(), wrapped.data() + length, &last) != 1)
        return false;
    wrapped.resize(static_cast<size_t>(length + last));
    return true;
}

bool unwrapKey(const FileKey &userKey, const Bytes &wrapped, FileKey &fileKey)
{
    if (wrapped.size() != fileKey.size() + 8)
        return false;
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context)
        return false;
    EVP_CIPHER_CTX_set_flags(context.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    uint8_t out[64];
    int length = 0, last = 0;
    bool ok = EVP_DecryptInit_ex(context.get(), EVP_aes_256_wrap(), nullptr, userKey.data(), nullptr) == 1 &&
              EVP_DecryptUpdate(context.get(), out, &length, wrapped.data(), static_cast<int>(wrapped.size())) == 1 &&
              EVP_DecryptFinal_ex(context.get(), out + length, &last) == 1 &&
              static_cast<size_t>(length + last) == fileKey.size();
    if (ok)
        memcpy(fileKey.data(), out, fileKey.size());
    OPENSSL_cleanse(out, sizeof out);
    return ok;
}

// The file key, unwrapped with a key the user holds.
bool fileKeyFor(const EfsMetadata &metadata, const std::string &sid, SecretKey &fileKey)
{
    for (const EfsUser &user : metadata.users) {
        if (user.sid != sid)
            continue;
        SecretKey userKey;
        if (loadUserKey(sid, user.thumbprint, userKey) && unwrapKey(userKey.bytes, user.wrappedKey, fileKey.bytes))
            return true;
    }
    return false;
}

// ---- sealing and opening one stream ----

// Reads and writes one stream of a file, whole or in chunks.
struct StreamAccess {
    virtual ~StreamAccess() = default;
    virtual DWORD read(uint64_t offset, uint8_t *into, size_t count) = 0;
    virtual DWORD write(uint64_t offset, const uint8_t *from, size_t count) = 0;
};

struct FileData : StreamAccess {
    explicit FileData(int fd) : fd(fd) {}
    DWORD read(uint64_t offset, uint8_t *into, size_t count) override
    {
        while (count > 0) {
            ssize_t n = pread(fd, into, count, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return n < 0 ? errorFromErrno(errno) : ERROR_HANDLE_EOF;
            into += n;
            offset += static_cast<uint64_t>(n);
            count -= static_cast<size_t>(n);
        }
        return 0;
    }
    DWORD write(uint64_t offset, const uint8_t *from, size_t count) override
    {
        while (count > 0) {
            ssize_t n = pwrite(fd, from, count, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return errorFromErrno(errno);
            from += n;
            offset += static_cast<uint64_t>(n);
            count -= static_cast<size_t>(n);
        }
        return 0;
    }
    int fd;
};

// A named stream, held in memory and stored back whole.
struct NamedStreamData : StreamAccess {
    DWORD read(uint64_t offset, uint8_t *into, size_t count) override
    {
        memcpy(into, contents.data() + offset, count);
        return 0;
    }
    DWORD write(uint64_t offset, const uint8_t *from, size_t count) override
    {
        memcpy(contents.data() + offset, from, count);
        return 0;
    }
    Bytes contents;
};

enum class Direction { seal, verify, open };

// One pass of AES-256-GCM over a stream, in place unless only verifying. Sealing fills the
// nonce, tag and digest of `stream`; opening and verifying check the tag.
DWORD transformStream(const FileKey &key, EfsStream &stream, StreamAccess &access, Direction direction)
{
    CipherContext context(EVP_CIPHER_CTX_new());
    DigestContext digest(EVP_MD_CTX_new());
    if (!context || !digest || EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1)
        return ERROR_NOT_ENOUGH_MEMORY;
    const bool sealing = direction == Direction::seal;
    if (sealing && RAND_bytes(stream.nonce.data(), static_cast<int>(stream.nonce.size())) != 1)
        return ERROR_ENCRYPTION_FAILED;
    const DWORD failure = sealing ? ERROR_ENCRYPTION_FAILED : ERROR_DECRYPTION_FAILED;
    if (EVP_CipherInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.data(), stream.nonce.data(), sealing ? 1 : 0) != 1)
        return failure;
    // The stream's name is bound to its ciphertext, so streams cannot be swapped unnoticed.
    const std::string name = toUtf8(stream.name);
    int length = 0;
    if (EVP_CipherUpdate(context.get(), nullptr, &length, reinterpret_cast<const uint8_t *>(name.data()),
                         static_cast<int>(name.size())) != 1)
        return failure;
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(stream.size, kChunk)));
    for (uint64_t offset = 0; offset < stream.size;) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(kChunk, stream.size - offset));
        if (DWORD error = access.read(offset, buffer.data(), count))
            return error;
        if (!sealing)
            EVP_DigestUpdate(digest.get(), buffer.data(), count);
        if (EVP_CipherUpdate(context.get(), buffer.data(), &length, buffer.data(), static_cast<int>(count)) != 1 ||
            static_cast<size_t>(length) != count)
            return failure;
        if (sealing)
            EVP_DigestUpdate(digest.get(), buffer.data(), count);
        if (direction != Direction::verify)
            if (DWORD error = access.write(offset, buffer.data(), count))
                return error;
        offset += count;
    }
    if (!sealing &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(stream.tag.size()), stream.tag.data()) != 1)
        return failure;
    uint8_t end[16];
    if (EVP_CipherFinal_ex(context.get(), end, &length) != 1)
        return failure;
    if (sealing &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(stream.tag.size()), stream.tag.data()) != 1)
        return failure;
    std::array<uint8_t, 32> sum{};
    unsigned int sumLength = 0;
    EVP_DigestFinal_ex(digest.get(), sum.data(), &sumLength);
    if (sealing)
        stream.digest = sum;
    else if (sum != stream.digest)
        return ERROR_DECRYPTION_FAILED;
    return 0;
}

// The streams of an open file or directory, to encrypt or decrypt.
struct FileStreams {
    std::unique_ptr<FileData> data;  // null for a directory or an empty file
    std::vector<std::pair<std::u16string, std::unique_ptr<NamedStreamData>>> named;
};

DWORD gatherStreams(int fd, int dataFd, const struct stat &st, FileStreams &out)
{
    if (S_ISREG(st.st_mode))
        out.data = std::make_unique<FileData>(dataFd);
    std::vector<NamedStream> streams;
    if (DWORD error = listNamedStreams(fd, streams))
        return error;
    for (const NamedStream &stream : streams) {
        auto held = std::make_unique<NamedStreamData>();
        held->contents.resize(static_cast<size_t>(stream.size));
        size_t done = 0;
        while (done < held->contents.size()) {
            ssize_t n = stream.readAt(done, held->contents.data() + done, held->contents.size() - done);
            if (n <= 0)
                return n < 0 ? errorFromErrno(errno) : ERROR_HANDLE_EOF;
            done += static_cast<size_t>(n);
        }
        out.named.emplace_back(stream.name, std::move(held));
    }
    return 0;
}

DWORD storeNamedStream(int fd, const std::u16string &name, const Bytes &contents)
{
    std::unique_ptr<NamedStreamWriter> writer;
    if (DWORD error = NamedStreamWriter::open(fd, name, contents.size(), writer))
        return error;
    if (DWORD error = writer->write(contents.data(), contents.size()))
        return error;
    return writer->finish(fd);
}

// A file or directory opened to change its streams in place.
struct OpenedForChange {
    ExistingFile file;
    int dataFd = -1;
    ~OpenedForChange()
    {
        if (dataFd >= 0)
            close(dataFd);
    }
    DWORD open(LPCWSTR path)
    {
        if (!file.open(path))
            return GetLastError();
        if (file.readOnly)
            return ERROR_WRITE_PROTECT;
        if (S_ISREG(file.st.st_mode)) {
            dataFd = ::open(file.posix.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
            if (dataFd < 0)
                return errorFromErrno(errno);
        }
        DWORD attributes = readAttributes(file.fd, file.st, file.posix);
        if (attributes & FILE_ATTRIBUTE_READONLY)
            return ERROR_ACCESS_DENIED;
        return 0;
    }
};

}  // namespace

// ---- metadata ----

Bytes encodeEfsMetadata(const EfsMetadata &metadata)
{
    Bytes out = {'W', 'E', 'F', 'S'};
    append32(out, kMetadataVersion);
    append32(out, static_cast<uint32_t>(metadata.users.size()));
    for (const EfsUser &user : metadata.users) {
        append16(out, static_cast<uint16_t>(user.sid.size()));
        out.insert(out.end(), user.sid.begin(), user.sid.end());
        putArray(out, user.thumbprint);
        append16(out, static_cast<uint16_t>(user.wrappedKey.size()));
        out.insert(out.end(), user.wrappedKey.begin(), user.wrappedKey.end());
    }
    append32(out, static_cast<uint32_t>(metadata.streams.size()));
    for (const EfsStream &stream : metadata.streams) {
        const std::string name = toUtf8(stream.name);
        append16(out, static_cast<uint16_t>(name.size()));
        out.insert(out.end(), name.begin(), name.end());
        append64(out, stream.size);
        putArray(out, stream.nonce);
        putArray(out, stream.tag);
        putArray(out, stream.digest);
    }
    return out;
}

bool decodeEfsMetadata(const uint8_t *data, size_t size, EfsMetadata &out)
{
    Reader in(data, size);
    char magic[4];
    uint32_t version = 0, users = 0, streams = 0;
    if (!in.take(magic, 4) || memcmp(magic, "WEFS", 4) != 0 || !in.number(version) || version != kMetadataVersion ||
        !in.number(users) || users == 0 || users > kMaxUsers)
        return false;
    out = EfsMetadata{};
    for (uint32_t i = 0; i < users; ++i) {
        EfsUser user;
        uint16_t sidLength = 0, wrappedLength = 0;
        if (!in.number(sidLength) || !in.text(user.sid, sidLength) || !validSidText(user.sid) ||
            !in.take(user.thumbprint.data(), user.thumbprint.size()) || !in.number(wrappedLength) ||
            wrappedLength != sizeof(FileKey) + 8)
            return false;
        user.wrappedKey.resize(wrappedLength);
        if (!in.take(user.wrappedKey.data(), wrappedLength))
            return false;
        out.users.push_back(std::move(user));
    }
    if (!in.number(streams) || streams > kMaxStreams)
        return false;
    for (uint32_t i = 0; i < streams; ++i) {
        EfsStream stream;
        uint16_t nameLength = 0;
        std::string name;
        if (!in.number(nameLength) || nameLength > 1024 || !in.text(name, nameLength) || !in.number(stream.size) ||
            !in.take(stream.nonce.data(), 12) || !in.take(stream.tag.data(), 16) || !in.take(stream.digest.data(), 32))
            return false;
        stream.name = toUtf16(name);
        // The data stream comes first, named streams after it, each once.
        if ((i > 0 && stream.name.empty()) || (stream.name.find_first_of(u"\\/:") != std::u16string::npos))
            return false;
        for (const EfsStream &earlier : out.streams)
            if (equalsIgnoreCase(earlier.name, stream.name))
                return false;
        out.streams.push_back(std::move(stream));
    }
    return in.left() == 0;
}

DWORD readEfsMetadata(int fd, EfsMetadata &out)
{
    ssize_t size = fgetxattr(fd, kEfsAttribute, nullptr, 0);
    if (size < 0)
        return errno == ENODATA ? ERROR_FILE_NOT_ENCRYPTED : errorFromErrno(errno);
    Bytes blob(static_cast<size_t>(size));
    size = fgetxattr(fd, kEfsAttribute, blob.data(), blob.size());
    if (size < 0)
        return errorFromErrno(errno);
    if (!decodeEfsMetadata(blob.data(), static_cast<size_t>(size), out))
        return ERROR_FILE_CORRUPT;
    return 0;
}

std::string tokenUserSidText()
{
    return sidToString(tokenUserSid());
}

bool userCanDecrypt(const EfsMetadata &metadata, const std::string &sid)
{
    SecretKey key;
    return fileKeyFor(metadata, sid, key);
}

bool userHasKeys(const std::string &sid)
{
    return !userKeyNames(sid).empty();
}

// ---- encrypting and decrypting in place ----

DWORD encryptFileFor(LPCWSTR path, const std::string &sid)
{
    OpenedForChange target;
    if (DWORD error = target.open(path))
        return error;
    EfsMetadata existing;
    DWORD state = readEfsMetadata(target.file.fd, existing);
    if (state == 0)
        return 0;
    if (state != ERROR_FILE_NOT_ENCRYPTED)
        return state;

    SecretKey userKey, fileKey;
    EfsUser user;
    user.sid = sid;
    if (DWORD error = currentUserKey(sid, userKey, user.thumbprint))
        return error;
    if (RAND_bytes(fileKey.bytes.data(), static_cast<int>(fileKey.bytes.size())) != 1 ||
        !wrapKey(userKey.bytes, fileKey.bytes, user.wrappedKey))
        return ERROR_ENCRYPTION_FAILED;
    EfsMetadata metadata;
    metadata.users.push_back(std::move(user));

    FileStreams streams;
    if (DWORD error = gatherStreams(target.file.fd, target.dataFd, target.file.st, streams))
        return error;
    if (streams.data) {
        EfsStream data;
        data.size = static_cast<uint64_t>(target.file.st.st_size);
        if (DWORD error = transformStream(fileKey.bytes, data, *streams.data, Direction::seal))
            return error;
        metadata.streams.push_back(data);
    }
    for (auto &[name, held] : streams.named) {
        EfsStream stream;
        stream.name = name;
        stream.size = held->contents.size();
        if (DWORD error = transformStream(fileKey.bytes, stream, *held, Direction::seal))
            return error;
        if (DWORD error = storeNamedStream(target.file.fd, name, held->contents))
            return error;
        metadata.streams.push_back(stream);
    }
    if (target.dataFd >= 0 && fsync(target.dataFd) != 0)
        return errorFromErrno(errno);
    const Bytes blob = encodeEfsMetadata(metadata);
    if (fsetxattr(target.file.fd, kEfsAttribute, blob.data(), blob.size(), 0) != 0)
        return errorFromErrno(errno);
    return setEncryptedAttribute(target.file.fd, target.file.st, target.file.posix, true);
}

DWORD decryptFileAs(LPCWSTR path, const std::string &sid)
{
    OpenedForChange target;
    if (DWORD error = target.open(path))
        return error;
    EfsMetadata metadata;
    DWORD state = readEfsMetadata(target.file.fd, metadata);
    if (state == ERROR_FILE_NOT_ENCRYPTED)
        return 0;
    if (state)
        return state;
    SecretKey fileKey;
    if (!fileKeyFor(metadata, sid, fileKey))
        return userHasKeys(sid) ? ERROR_ACCESS_DENIED : ERROR_NO_USER_KEYS;

    FileStreams streams;
    if (DWORD error = gatherStreams(target.file.fd, target.dataFd, target.file.st, streams))
        return error;
    // Every stream is checked before any is changed: a damaged file stays as it was.
    auto accessOf = [&](const EfsStream &stream) -> StreamAccess * {
        if (stream.name.empty())
            return streams.data.get();
        for (auto &[name, held] : streams.named)
            if (name == stream.name && held->contents.size() == stream.size)
                return held.get();
        return nullptr;
    };
    for (EfsStream &stream : metadata.streams) {
        StreamAccess *access = accessOf(stream);
        if (!access || (stream.name.empty() && stream.size != static_cast<uint64_t>(target.file.st.st_size)))
            return ERROR_FILE_CORRUPT;
        if (DWORD error = transformStream(fileKey.bytes, stream, *access, Direction::verify))
            return error;
    }
    for (EfsStream &stream : metadata.streams) {
        StreamAccess *access = accessOf(stream);
        if (DWORD error = transformStream(fileKey.bytes, stream, *access, Direction::open))
            return error;
        if (!stream.name.empty())
            if (DWORD error = storeNamedStream(target.file.fd, stream.name, static_cast<NamedStreamData *>(access)->contents))
                return error;
    }
    if (target.dataFd >= 0 && fsync(target.dataFd) != 0)
        return errorFromErrno(errno);
    if (fremovexattr(target.file.fd, kEfsAttribute) != 0)
        return errorFromErrno(errno);
    return setEncryptedAttribute(target.file.fd, target.file.st, target.file.posix, false);
}

// ---- keys in and out of the machine ----
//
// An exported key file: "WSEFSKEY", version (u32), PBKDF2 iterations (u32), salt (16), nonce (12),
// the sealed length (u32), then AES-256-GCM of { SID length (u16), SID, key count (u16), the keys
// (32 bytes each, the current one first) } under a key derived from the password with
// PBKDF2-HMAC-SHA256, its tag (16) last; everything before the sealed part is authenticated too.

DWORD exportUserKeys(const std::string &sid, const std::string &file, const std::string &password)
{
    if (!validSidText(sid))
        return ERROR_INVALID_SID;
    std::vector<std::string> names = userKeyNames(sid);
    if (names.empty())
        return ERROR_NO_USER_KEYS;
    std::string current;
    if (readWholeFile(keyDirectory(sid) + "/current", current))
        for (size_t i = 1; i < names.size(); ++i)
            if (names[i] == current)
                std::swap(names[0], names[i]);
    Bytes plain;
    append16(plain, static_cast<uint16_t>(sid.size()));
    plain.insert(plain.end(), sid.begin(), sid.end());
    append16(plain, static_cast<uint16_t>(names.size()));
    for (const std::string &name : names) {
        Thumbprint thumbprint{};
        for (size_t i = 0; i < 32; ++i)
            thumbprint[i] = static_cast<uint8_t>(std::stoi(name.substr(2 * i, 2), nullptr, 16));
        SecretKey key;
        if (!loadUserKey(sid, thumbprint, key))
            return ERROR_FILE_CORRUPT;
        plain.insert(plain.end(), key.bytes.begin(), key.bytes.end());
    }

    Bytes out(kKeyFileMagic, kKeyFileMagic + 8);
    append32(out, kKeyFileVersion);
    append32(out, kKeyFileIterations);
    uint8_t salt[16], nonce[12];
    SecretKey wrapping;
    if (RAND_bytes(salt, sizeof salt) != 1 || RAND_bytes(nonce, sizeof nonce) != 1 ||
        PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, sizeof salt, kKeyFileIterations,
                          EVP_sha256(), 32, wrapping.bytes.data()) != 1)
        return ERROR_ENCRYPTION_FAILED;
    out.insert(out.end(), salt, salt + sizeof salt);
    out.insert(out.end(), nonce, nonce + sizeof nonce);
    append32(out, static_cast<uint32_t>(plain.size()));
    CipherContext context(EVP_CIPHER_CTX_new());
    int length = 0;
    const size_t sealedAt = out.size();
    out.resize(sealedAt + plain.size() + 16);
    bool ok = context && EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, wrapping.bytes.data(), nonce) == 1 &&
              EVP_EncryptUpdate(context.get(), nullptr, &length, out.data(), static_cast<int>(sealedAt)) == 1 &&
              EVP_EncryptUpdate(context.get(), out.data() + sealedAt, &length, plain.data(), static_cast<int>(plain.size())) == 1 &&
              EVP_EncryptFinal_ex(context.get(), out.data() + sealedAt + plain.size(), &length) == 1 &&
              EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, 16, out.data() + sealedAt + plain.size()) == 1;
    OPENSSL_cleanse(plain.data(), plain.size());
    if (!ok)
        return ERROR_ENCRYPTION_FAILED;
    return writeFileAtomically(file, out.data(), out.size());
}

DWORD importUserKeys(const std::string &file, const std::string &password, std::string &sid)
{
    std::string content;
    if (!readWholeFile(file, content))
        return ERROR_FILE_NOT_FOUND;
    const auto *data = reinterpret_cast<const uint8_t *>(content.data());
    Reader in(data, content.size());
    char magic[8];
    uint32_t version = 0, iterations = 0, sealedLength = 0;
    uint8_t salt[16], nonce[12];
    if (!in.take(magic, 8) || memcmp(magic, kKeyFileMagic, 8) != 0 || !in.number(version) ||
        version != kKeyFileVersion || !in.number(iterations) || iterations == 0 || iterations > 10000000 ||
        !in.take(salt, sizeof salt) || !in.take(nonce, sizeof nonce) || !in.number(sealedLength) ||
        in.left() != static_cast<size_t>(sealedLength) + 16)
        return ERROR_INVALID_DATA;
    const size_t sealedAt = content.size() - in.left();
    SecretKey wrapping;
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, sizeof salt,
                          static_cast<int>(iterations), EVP_sha256(), 32, wrapping.bytes.data()) != 1)
        return ERROR_DECRYPTION_FAILED;
    Bytes plain(sealedLength);
    CipherContext context(EVP_CIPHER_CTX_new());
    int length = 0;
    uint8_t end[16];
    bool ok = context && EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, wrapping.bytes.data(), nonce) == 1 &&
              EVP_DecryptUpdate(context.get(), nullptr, &length, data, static_cast<int>(sealedAt)) == 1 &&
              EVP_DecryptUpdate(context.get(), plain.data(), &length, data + sealedAt, static_cast<int>(sealedLength)) == 1 &&
              EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, 16,
                                  const_cast<uint8_t *>(data + sealedAt + sealedLength)) == 1 &&
              EVP_DecryptFinal_ex(context.get(), end, &length) == 1;
    if (!ok)
        return ERROR_INVALID_PASSWORD;
    Reader keys(plain.data(), plain.size());
    uint16_t sidLength = 0, count = 0;
    if (!keys.number(sidLength) || !keys.text(sid, sidLength) || !validSidText(sid) || !keys.number(count) ||
        count == 0 || keys.left() != static_cast<size_t>(count) * 32)
        return ERROR_INVALID_DATA;
    for (uint16_t i = 0; i < count; ++i) {
        FileKey key{};
        keys.take(key.data(), key.size());
        // The first is the user's current key, unless the machine already has one for them.
        if (DWORD error = storeUserKey(sid, key, i == 0 && userKeyNames(sid).empty()))
            return error;
        OPENSSL_cleanse(key.data(), key.size());
    }
    OPENSSL_cleanse(plain.data(), plain.size());
    return 0;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

BOOL WINAPI EncryptFileW(LPCWSTR path)
{
    if (DWORD error = encryptFileFor(path, tokenUserSidText())) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DecryptFileW(LPCWSTR path, DWORD)
{
    if (DWORD error = decryptFileAs(path, tokenUserSidText())) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
