// Raw access to encrypted files: OpenEncryptedFileRawW, ReadEncryptedFileRaw,
// WriteEncryptedFileRaw and CloseEncryptedFileRaw.
//
// The raw form of an encrypted file or directory (all numbers little-endian):
//
//   header    "WSEFSRAW", version (u32, 1), flags (u32: 1 a directory), attributes (u32),
//             metadata length (u32), then the metadata record (the user.winsim.efs attribute)
//   streams   for each stream the metadata lists, in its order: "STRM", name length (u16),
//             the name in UTF-8 (empty for a file's data), size (u64), then the stored
//             ciphertext, `size` bytes
//   trailer   "WSEFSEND", SHA-256 of everything before it except the streams' contents
//
// Each stream's contents are checked against the SHA-256 that the metadata keeps for it, so an
// import refuses a damaged stream without needing any key.
#include "advapi32/efs.h"

#include "advapi32/token.h"
#include "kernel32/file.h"
#include "machine/file_metadata.h"
#include "machine/machine.h"
#include "machine/paths.h"
#include "machine/text.h"
#include "machine/little_endian.h"

#include <windows.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

namespace winsim {

namespace {

constexpr char kHeaderMagic[8] = {'W', 'S', 'E', 'F', 'S', 'R', 'A', 'W'};
constexpr char kStreamMagic[4] = {'S', 'T', 'R', 'M'};
constexpr char kTrailerMagic[8] = {'W', 'S', 'E', 'F', 'S', 'E', 'N', 'D'};
constexpr uint32_t kRawVersion = 1;
constexpr uint32_t kRawDirectory = 1;
constexpr size_t kHeaderSize = 24;
constexpr size_t kTrailerSize = 40;
constexpr size_t kMaxMetadata = 1 << 20;
constexpr size_t kDefaultPiece = 64 * 1024;
constexpr size_t kMaxPiece = 16 << 20;
// How much of a stream an export reads at once, in whole pieces.
constexpr size_t kReadAhead = 512 * 1024;
// A directory's named streams are held until the whole import has been checked.
constexpr uint64_t kMaxDirectoryStreams = 64 << 20;
constexpr const char *kNtAclAttribute = "user.NTACL";

struct DigestContextDeleter {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

DigestContext newDigest()
{
    DigestContext digest(EVP_MD_CTX_new());
    if (digest && EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1)
        digest.reset();
    return digest;
}

std::array<uint8_t, 32> finishDigest(EVP_MD_CTX *digest)
{
    std::array<uint8_t, 32> out{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(digest, out.data(), &length);
    return out;
}

Bytes streamHeader(const EfsStream &stream)
{
    const std::string name = toUtf8(stream.name);
    Bytes out(kStreamMagic, kStreamMagic + 4);
    append16(out, static_cast<uint16_t>(name.size()));
    out.insert(out.end(), name.begin(), name.end());
    append64(out, stream.size);
    return out;
}

// The pieces in which the raw form crosses to and from the caller (setting efs.raw.piece).
size_t pieceSize()
{
    unsigned long long piece = strtoull(machineSetting("efs.raw.piece", "").c_str(), nullptr, 0);
    if (piece == 0)
        return kDefaultPiece;
    return static_cast<size_t>(std::min<unsigned long long>(piece, kMaxPiece));
}

std::string parentOf(const std::string &posix)
{
    size_t slash = posix.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : posix.substr(0, slash);
}

bool readAttribute(int fd, const char *name, Bytes &out)
{
    ssize_t size = fgetxattr(fd, name, nullptr, 0);
    if (size < 0)
        return false;
    out.resize(static_cast<size_t>(size));
    size = fgetxattr(fd, name, out.data(), out.size());
    if (size < 0)
        return false;
    out.resize(static_cast<size_t>(size));
    return true;
}

struct RawContext {
    bool importing = false;
    bool directory = false;
    bool privileged = false;  // may move the file without holding its key
    std::string posix;
    int fd = -1;  // the file being exported
    std::string sid;
    ~RawContext()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Contexts live between calls behind the caller's pointer; the registry lets a stale, foreign or
// zero pointer fail with ERROR_INVALID_PARAMETER instead of being followed.
std::mutex registryLock;
std::set<RawContext *> &liveContexts()
{
    static auto *contexts = new std::set<RawContext *>;
    return *contexts;
}

RawContext *lookup(PVOID pointer)
{
    std::lock_guard<std::mutex> guard(registryLock);
    auto *context = static_cast<RawContext *>(pointer);
    return liveContexts().count(context) ? context : nullptr;
}

DWORD openForExport(const MappedPath &mapped, ULONG flags, RawContext &context)
{
    struct stat st {};
    if (stat(mapped.posix.c_str(), &st) != 0)
        return errno == ENOENT ? errorForMissing(mapped.posix) : errorFromErrno(errno);
    context.directory = S_ISDIR(st.st_mode);
    if (context.directory && !(flags & CREATE_FOR_DIR))
        return ERROR_ACCESS_DENIED;
    if (!context.directory && (flags & CREATE_FOR_DIR))
        return ERROR_DIRECTORY;
    context.fd = openForMetadata(mapped.posix);
    if (context.fd < 0)
        return errorFromErrno(errno);
    EfsMetadata metadata;
    if (DWORD error = readEfsMetadata(context.fd, metadata))
        return error;
    context.privileged = isPrivilegeEnabled(kSeBackupPrivilege);
    if (!context.privileged && !userCanDecrypt(metadata, context.sid))
        return ERROR_ACCESS_DENIED;
    return 0;
}

DWORD openForImport(const MappedPath &mapped, ULONG flags, RawContext &context)
{
    if (mapped.readOnly)
        return ERROR_WRITE_PROTECT;
    context.directory = flags & CREATE_FOR_DIR;
    struct stat st {};
    if (stat(parentOf(mapped.posix).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return ERROR_PATH_NOT_FOUND;
    context.privileged = isPrivilegeEnabled(kSeRestorePrivilege);
    if (stat(mapped.posix.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode) != context.directory)
            return S_ISDIR(st.st_mode) ? ERROR_ACCESS_DENIED : ERROR_DIRECTORY;
        int fd = openForMetadata(mapped.posix);
        if (fd < 0)
            return errorFromErrno(errno);
        DWORD attributes = readAttributes(fd, st, mapped.posix);
        EfsMetadata existing;
        bool foreign = readEfsMetadata(fd, existing) == 0 && !userCanDecrypt(existing, context.sid);
        close(fd);
        if (!context.directory && (attributes & FILE_ATTRIBUTE_READONLY))
            return ERROR_ACCESS_DENIED;
        if (!context.directory && (attributes & FILE_ATTRIBUTE_HIDDEN) && !(flags & OVERWRITE_HIDDEN))
            return ERROR_ACCESS_DENIED;
        if (foreign && !context.privileged)
            return ERROR_ACCESS_DENIED;
    } else if (errno != ENOENT) {
        return errorFromErrno(errno);
    }
    // Without the restore privilege a user imports only files they hold the key of, which the
    // imported metadata tells; one without any key cannot be such a user.
    if (!context.privileged && !userHasKeys(context.sid))
        return ERROR_ACCESS_DENIED;
    return 0;
}

// ---- export ----

// Fills the caller's pieces and hands each full one to the export callback.
class PieceWriter {
public:
    PieceWriter(PFE_EXPORT_FUNC callback, PVOID callbackContext)
        : callback_(callback), callbackContext_(callbackContext), piece_(pieceSize())
    {
    }

    DWORD put(const uint8_t *data, size_t count)
    {
        while (count > 0) {
            size_t n = std::min(count, piece_.size() - filled_);
            memcpy(piece_.data() + filled_, data, n);
            filled_ += n;
            data += n;
            count -= n;
            if (DWORD result = flushIfFull())
                return result;
        }
        return 0;
    }

    // Reads count bytes from the source straight into the pieces. Whole pieces are read several
    // at a time and handed out where they were read, so a large stream costs few reads and no
    // copy of its own; a piece that the records before it began is topped up first.
    template <typename Source>
    DWORD putFrom(Source &&readAt, uint64_t count)
    {
        uint64_t offset = 0;
        // Reads into the piece in hand, handing it out whenever it is full, while `more` holds.
        auto fillPiece = [&](auto more) -> DWORD {
            while (more()) {
                size_t want = static_cast<size_t>(std::min<uint64_t>(count - offset, piece_.size() - filled_));
                ssize_t got = readAt(offset, piece_.data() + filled_, want);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0)
                    return got < 0 ? errorFromErrno(errno) : ERROR_FILE_CORRUPT;
                filled_ += static_cast<size_t>(got);
                offset += static_cast<uint64_t>(got);
                if (DWORD result = flushIfFull())
                    return result;
            }
            return 0;
        };
        if (DWORD result = fillPiece([&] { return filled_ != 0 && offset < count; }))
            return result;
        const size_t piecesAhead = std::max<size_t>(1, kReadAhead / piece_.size());
        while (count - offset >= piece_.size()) {
            const size_t pieces = static_cast<size_t>(std::min<uint64_t>(piecesAhead, (count - offset) / piece_.size()));
            const size_t want = pieces * piece_.size();
            ahead_.resize(std::max(ahead_.size(), piecesAhead * piece_.size()));
            size_t got = 0;
            while (got < want) {
                ssize_t n = readAt(offset + got, ahead_.data() + got, want - got);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    return n < 0 ? errorFromErrno(errno) : ERROR_FILE_CORRUPT;
                got += static_cast<size_t>(n);
            }
            for (size_t at = 0; at < want; at += piece_.size())
                if (DWORD result = callback_(ahead_.data() + at, callbackContext_, static_cast<ULONG>(piece_.size())))
                    return result;
            offset += want;
        }
        return fillPiece([&] { return offset < count; });
    }

    DWORD finish() { return filled_ ? hand() : 0; }

private:
    DWORD flushIfFull() { return filled_ == piece_.size() ? hand() : 0; }
    DWORD hand()
    {
        DWORD result = callback_(piece_.data(), callbackContext_, static_cast<ULONG>(filled_));
        filled_ = 0;
        return result;
    }

    PFE_EXPORT_FUNC callback_;
    PVOID callbackContext_;
    std::vector<uint8_t> piece_;
    size_t filled_ = 0;
    std::vector<uint8_t> ahead_;
};

DWORD exportRaw(RawContext &context, PFE_EXPORT_FUNC callback, PVOID callbackContext)
{
    struct stat st {};
    if (fstat(context.fd, &st) != 0)
        return errorFromErrno(errno);
    Bytes metadataBlob;
    EfsMetadata metadata;
    if (!readAttribute(context.fd, kEfsAttribute, metadataBlob))
        return ERROR_FILE_NOT_ENCRYPTED;
    if (!decodeEfsMetadata(metadataBlob.data(), metadataBlob.size(), metadata))
        return ERROR_FILE_CORRUPT;
    std::vector<NamedStream> named;
    if (DWORD error = listNamedStreams(context.fd, named))
        return error;
    // What is stored must be what the metadata sealed.
    std::vector<const NamedStream *> sources;
    for (const EfsStream &stream : metadata.streams) {
        const NamedStream *source = nullptr;
        for (const NamedStream &candidate : named)
            if (candidate.name == stream.name)
                source = &candidate;
        const uint64_t stored = stream.name.empty() ? static_cast<uint64_t>(st.st_size) : source ? source->size : ~0ull;
        if ((stream.name.empty() && !S_ISREG(st.st_mode)) || stored != stream.size)
            return ERROR_FILE_CORRUPT;
        sources.push_back(source);
    }

    DigestContext digest = newDigest();
    if (!digest)
        return ERROR_NOT_ENOUGH_MEMORY;
    PieceWriter out(callback, callbackContext);
    Bytes header(kHeaderMagic, kHeaderMagic + 8);
    append32(header, kRawVersion);
    append32(header, context.directory ? kRawDirectory : 0);
    append32(header, readAttributes(context.fd, st, context.posix));
    append32(header, static_cast<uint32_t>(metadataBlob.size()));
    header.insert(header.end(), metadataBlob.begin(), metadataBlob.end());
    EVP_DigestUpdate(digest.get(), header.data(), header.size());
    if (DWORD result = out.put(header.data(), header.size()))
        return result;
    for (size_t i = 0; i < metadata.streams.size(); ++i) {
        const EfsStream &stream = metadata.streams[i];
        Bytes record = streamHeader(stream);
        EVP_DigestUpdate(digest.get(), record.data(), record.size());
        if (DWORD result = out.put(record.data(), record.size()))
            return result;
        DWORD result = 0;
        if (stream.name.empty()) {
            const int fd = context.fd;
            result = out.putFrom(
                [fd](uint64_t offset, uint8_t *into, size_t count) {
                    return pread(fd, into, count, static_cast<off_t>(offset));
                },
                stream.size);
        } else {
            const NamedStream *source = sources[i];
            result = out.putFrom(
                [source](uint64_t offset, uint8_t *into, size_t count) { return source->readAt(offset, into, count); },
                stream.size);
        }
        if (result)
            return result;
    }
    Bytes trailer(kTrailerMagic, kTrailerMagic + 8);
    const auto sum = finishDigest(digest.get());
    trailer.insert(trailer.end(), sum.begin(), sum.end());
    if (DWORD result = out.put(trailer.data(), trailer.size()))
        return result;
    return out.finish();
}

// ---- import ----

// Takes the raw form in pieces cut anywhere, checks it as it comes, and builds the file in a
// hidden temporary beside the target, which replaces the target only once everything checked.
class Importer {
public:
    explicit Importer(RawContext &context) : context_(context), digest_(newDigest()) {}

    ~Importer() { discard(); }

    DWORD feed(const uint8_t *data, size_t count)
    {
        while (count > 0) {
            if (state_ == State::done)
                return ERROR_INVALID_DATA;  // bytes after the trailer
            if (state_ == State::streamData) {
                size_t n = static_cast<size_t>(std::min<uint64_t>(count, left_));
                if (DWORD error = streamBytes(data, n))
                    return error;
                data += n;
                count -= n;
                left_ -= n;
                if (left_ == 0)
                    if (DWORD error = endStream())
                        return error;
                continue;
            }
            size_t n = std::min(count, wanted_ - field_.size());
            field_.insert(field_.end(), data, data + n);
            data += n;
            count -= n;
            // A foreign stream is told as such however short it is.
            if (state_ == State::header && memcmp(field_.data(), kHeaderMagic, std::min<size_t>(field_.size(), 8)) != 0)
                return ERROR_NOT_EXPORT_FORMAT;
            if (field_.size() == wanted_)
                if (DWORD error = fieldComplete())
                    return error;
        }
        return 0;
    }

    // The caller has no more data.
    DWORD finish()
    {
        if (state_ != State::done)
            return state_ == State::header && field_.empty() && !anything_ ? ERROR_NOT_EXPORT_FORMAT : ERROR_HANDLE_EOF;
        return commit();
    }

    void sawData() { anything_ = true; }

private:
    enum class State { header, metadata, streamStart, streamName, streamSize, streamData, trailer, done };

    void expect(State state, size_t bytes)
    {
        state_ = state;
        wanted_ = bytes;
        field_.clear();
    }

    DWORD fieldComplete()
    {
        const uint8_t *f = field_.data();
        switch (state_) {
        case State::header: {
            if (memcmp(f, kHeaderMagic, 8) != 0 || load32(f + 8) != kRawVersion)
                return ERROR_NOT_EXPORT_FORMAT;
            const uint32_t flags = load32(f + 12);
            attributes_ = static_cast<DWORD>(load32(f + 16));
            const uint64_t metadataLength = load32(f + 20);
            if ((flags & ~kRawDirectory) || metadataLength == 0 || metadataLength > kMaxMetadata)
                return ERROR_INVALID_DATA;
            if (((flags & kRawDirectory) != 0) != context_.directory)
                return context_.directory ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED;
            EVP_DigestUpdate(digest_.get(), f, field_.size());
            expect(State::metadata, static_cast<size_t>(metadataLength));
            return 0;
        }
        case State::metadata:
            EVP_DigestUpdate(digest_.get(), f, field_.size());
            metadataBlob_ = field_;
            if (!decodeEfsMetadata(f, field_.size(), metadata_))
                return ERROR_INVALID_DATA;
            if (context_.directory == (!metadata_.streams.empty() && metadata_.streams[0].name.empty()))
                return ERROR_INVALID_DATA;
            if (!context_.privileged && !userCanDecrypt(metadata_, context_.sid))
                return ERROR_ACCESS_DENIED;
            if (DWORD error = prepareTarget())
                return error;
            return nextStream();
        case State::streamStart:
            if (memcmp(f, kStreamMagic, 4) != 0)
                return ERROR_INVALID_DATA;
            EVP_DigestUpdate(digest_.get(), f, field_.size());
            expect(State::streamName, static_cast<size_t>(load16(f + 4)));
            return wanted_ == 0 ? fieldComplete() : 0;
        case State::streamName:
            EVP_DigestUpdate(digest_.get(), f, field_.size());
            if (toUtf16(std::string(field_.begin(), field_.end())) != current().name)
                return ERROR_INVALID_DATA;
            expect(State::streamSize, 8);
            return 0;
        case State::streamSize:
            EVP_DigestUpdate(digest_.get(), f, field_.size());
            if (load64(f) != current().size)
                return ERROR_INVALID_DATA;
            return beginStream();
        case State::trailer: {
            const auto sum = finishDigest(digest_.get());
            if (memcmp(f, kTrailerMagic, 8) != 0)
                return ERROR_INVALID_DATA;
            if (memcmp(f + 8, sum.data(), sum.size()) != 0)
                return ERROR_CRC;
            expect(State::done, 0);
            return 0;
        }
        default:
            return ERROR_INVALID_DATA;
        }
    }

    const EfsStream &current() const { return metadata_.streams[streamIndex_]; }

    DWORD nextStream()
    {
        if (streamIndex_ + 1 < metadata_.streams.size() || (!started_ && !metadata_.streams.empty())) {
            streamIndex_ = started_ ? streamIndex_ + 1 : 0;
            started_ = true;
            expect(State::streamStart, 6);
        } else {
            expect(State::trailer, kTrailerSize);
        }
        return 0;
    }

    DWORD prepareTarget()
    {
        if (context_.directory) {
            uint64_t total = 0;
            for (const EfsStream &stream : metadata_.streams)
                total += stream.size;
            return total > kMaxDirectoryStreams ? ERROR_NOT_ENOUGH_MEMORY : 0;
        }
        uint8_t random[8];
        RAND_bytes(random, sizeof random);
        char name[40];
        snprintf(name, sizeof name, "/.~efs-import-%016llx", static_cast<unsigned long long>(load64(random)));
        temp_ = parentOf(context_.posix) + name;
        tempFd_ = open(temp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (tempFd_ < 0) {
            temp_.clear();
            return errorFromErrno(errno);
        }
        return 0;
    }

    DWORD beginStream()
    {
        left_ = current().size;
        offset_ = 0;
        streamDigest_ = newDigest();
        if (!streamDigest_)
            return ERROR_NOT_ENOUGH_MEMORY;
        if (!current().name.empty()) {
            if (context_.directory)
                held_.emplace_back(current().name, Bytes());
            else if (DWORD error = NamedStreamWriter::open(tempFd_, current().name, current().size, writer_))
                return error;
        }
        state_ = State::streamData;
        return left_ == 0 ? endStream() : 0;
    }

    DWORD streamBytes(const uint8_t *data, size_t count)
    {
        EVP_DigestUpdate(streamDigest_.get(), data, count);
        if (current().name.empty()) {
            while (count > 0) {
                ssize_t n = pwrite(tempFd_, data, count, static_cast<off_t>(offset_));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    return errorFromErrno(errno);
                data += n;
                count -= static_cast<size_t>(n);
                offset_ += static_cast<uint64_t>(n);
            }
            return 0;
        }
        if (context_.directory) {
            held_.back().second.insert(held_.back().second.end(), data, data + count);
            return 0;
        }
        return writer_->write(data, count);
    }

    DWORD endStream()
    {
        if (finishDigest(streamDigest_.get()) != current().digest)
            return ERROR_CRC;
        if (writer_) {
            DWORD error = writer_->finish(tempFd_);
            writer_.reset();
            if (error)
                return error;
        }
        return nextStream();
    }

    DWORD applyMetadata(int fd, const struct stat &st)
    {
        if (DWORD error = writeAttributes(fd, st, attributes_ & ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL)))
            return error;
        if (fsetxattr(fd, kEfsAttribute, metadataBlob_.data(), metadataBlob_.size(), 0) != 0)
            return errorFromErrno(errno);
        return setEncryptedAttribute(fd, st, context_.posix, true);
    }

    DWORD commit()
    {
        if (context_.directory)
            return commitDirectory();
        struct stat st {};
        if (fstat(tempFd_, &st) != 0)
            return errorFromErrno(errno);
        // The file object stays the target's: its security goes over to the restored contents.
        int old = openForMetadata(context_.posix);
        Bytes security;
        if (old >= 0 && readAttribute(old, kNtAclAttribute, security))
            fsetxattr(tempFd_, kNtAclAttribute, security.data(), security.size(), 0);
        DWORD error = applyMetadata(tempFd_, st);
        if (!error && fsync(tempFd_) != 0)
            error = errorFromErrno(errno);
        if (!error && rename(temp_.c_str(), context_.posix.c_str()) != 0)
            error = errorFromErrno(errno);
        if (!error) {
            temp_.clear();
            // The replaced file's streams kept outside it go with it.
            if (old >= 0)
                removeNamedStreams(old);
        }
        if (old >= 0)
            close(old);
        return error;
    }

    DWORD commitDirectory()
    {
        if (mkdir(context_.posix.c_str(), 0777) != 0 && errno != EEXIST)
            return errorFromErrno(errno);
        int fd = openForMetadata(context_.posix);
        if (fd < 0)
            return errorFromErrno(errno);
        struct stat st {};
        DWORD error = fstat(fd, &st) == 0 ? removeNamedStreams(fd) : errorFromErrno(errno);
        for (size_t i = 0; !error && i < held_.size(); ++i) {
            std::unique_ptr<NamedStreamWriter> writer;
            error = NamedStreamWriter::open(fd, held_[i].first, held_[i].second.size(), writer);
            if (!error)
                error = writer->write(held_[i].second.data(), held_[i].second.size());
            if (!error)
                error = writer->finish(fd);
        }
        if (!error)
            error = applyMetadata(fd, st);
        close(fd);
        return error;
    }

    void discard()
    {
        writer_.reset();
        if (tempFd_ >= 0) {
            if (!temp_.empty())
                removeNamedStreams(tempFd_);
            close(tempFd_);
            tempFd_ = -1;
        }
        if (!temp_.empty()) {
            unlink(temp_.c_str());
            temp_.clear();
        }
    }

    RawContext &context_;
    DigestContext digest_;
    DigestContext streamDigest_;
    State state_ = State::header;
    size_t wanted_ = kHeaderSize;
    Bytes field_;
    bool anything_ = false;
    DWORD attributes_ = 0;
    Bytes metadataBlob_;
    EfsMetadata metadata_;
    size_t streamIndex_ = 0;
    bool started_ = false;
    uint64_t left_ = 0;
    uint64_t offset_ = 0;
    std::string temp_;
    int tempFd_ = -1;
    std::unique_ptr<NamedStreamWriter> writer_;
    std::vector<std::pair<std::u16string, Bytes>> held_;
};

DWORD importRaw(RawContext &context, PFE_IMPORT_FUNC callback, PVOID callbackContext)
{
    Importer importer(context);
    std::vector<uint8_t> piece(pieceSize());
    for (;;) {
        ULONG length = static_cast<ULONG>(piece.size());
        if (DWORD result = callback(piece.data(), callbackContext, &length))
            return result;
        if (length == 0)
            break;
        // A callback that claims more than the room it was given has written past it.
        if (length > piece.size())
            return ERROR_INVALID_PARAMETER;
        importer.sawData();
        if (DWORD error = importer.feed(piece.data(), length))
            return error;
    }
    return importer.finish();
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

DWORD WINAPI OpenEncryptedFileRawW(LPCWSTR fileName, ULONG flags, PVOID *contextPointer)
{
    if (!contextPointer)
        return ERROR_INVALID_PARAMETER;
    *contextPointer = nullptr;
    if (!fileName || (flags & ~static_cast<ULONG>(CREATE_FOR_IMPORT | CREATE_FOR_DIR | OVERWRITE_HIDDEN)))
        return ERROR_INVALID_PARAMETER;
    MappedPath mapped;
    if (DWORD error = mapWindowsPath(fileName, mapped))
        return error;
    auto context = std::make_unique<RawContext>();
    context->importing = flags & CREATE_FOR_IMPORT;
    context->posix = mapped.posix;
    context->sid = tokenUserSidText();
    if (DWORD error = context->importing ? openForImport(mapped, flags, *context) : openForExport(mapped, flags, *context))
        return error;
    std::lock_guard<std::mutex> guard(registryLock);
    liveContexts().insert(context.get());
    *contextPointer = context.release();
    return ERROR_SUCCESS;
}

DWORD WINAPI ReadEncryptedFileRaw(PFE_EXPORT_FUNC callback, PVOID callbackContext, PVOID contextPointer)
{
    RawContext *context = lookup(contextPointer);
    if (!context || context->importing || !callback)
        return ERROR_INVALID_PARAMETER;
    return exportRaw(*context, callback, callbackContext);
}

DWORD WINAPI WriteEncryptedFileRaw(PFE_IMPORT_FUNC callback, PVOID callbackContext, PVOID contextPointer)
{
    RawContext *context = lookup(contextPointer);
    if (!context || !context->importing || !callback)
        return ERROR_INVALID_PARAMETER;
    return importRaw(*context, callback, callbackContext);
}

void WINAPI CloseEncryptedFileRaw(PVOID contextPointer)
{
    RawContext *context = nullptr;
    {
        std::lock_guard<std::mutex> guard(registryLock);
        auto *candidate = static_cast<RawContext *>(contextPointer);
        if (liveContexts().erase(candidate))
            context = candidate;
    }
    delete context;
}

}  // extern "C"
