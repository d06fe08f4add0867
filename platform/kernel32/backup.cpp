// BackupRead and BackupWrite over the file metadata of the emulated machine.
#include "advapi32/token.h"
#include "advapi32/efs.h"
#include "kernel32/backup_stream.h"
#include "kernel32/file.h"
#include "machine/file_metadata.h"
#include "machine/paths.h"
#include "machine/security_descriptor.h"

#include <windows.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>

namespace winsim {

namespace {

// Security descriptors are bounded by their 16-bit ACL sizes; anything far larger is not one.
constexpr uint64_t kMaxSecurityStream = 1 << 20;

bool validStreamName(const std::u16string &name)
{
    if (name.empty() || name.size() > 255)
        return false;
    for (char16_t c : name)
        if (c == 0 || c == u'\\' || c == u'/' || c == u':')
            return false;
    return true;
}

// ":name:$DATA" (or ":name") gives name.
bool parseAlternateStreamName(const std::u16string &full, std::u16string &name)
{
    if (full.size() < 2 || full[0] != u':')
        return false;
    std::u16string rest = full.substr(1);
    const std::u16string suffix = u":$DATA";
    if (rest.size() > suffix.size() && rest.compare(rest.size() - suffix.size(), suffix.size(), suffix) == 0)
        rest.resize(rest.size() - suffix.size());
    if (!validStreamName(rest))
        return false;
    name = rest;
    return true;
}

class RestoreSink : public StreamSink {
public:
    explicit RestoreSink(bool processSecurity) : processSecurity_(processSecurity) {}

    // The file of the call that feeds the sink; the sequence does not keep it open.
    void attach(FileObject *file) { file_ = file; }

    DWORD begin(const StreamHeader &header) override
    {
        kind_ = header.id;
        size_ = header.size;
        offset_ = 0;
        switch (header.id) {
        case BACKUP_DATA:
            if (file_->directory || !header.name.empty())
                return ERROR_INVALID_DATA;
            if (!(file_->access & FILE_WRITE_DATA))
                return ERROR_ACCESS_DENIED;
            return 0;
        case BACKUP_ALTERNATE_DATA: {
            std::u16string name;
            if (!parseAlternateStreamName(header.name, name))
                return ERROR_INVALID_NAME;
            if (!(file_->access & FILE_WRITE_DATA))
                return ERROR_ACCESS_DENIED;
            return NamedStreamWriter::open(file_->fd, name, header.size, stream_);
        }
        case BACKUP_SECURITY_DATA:
            if (header.size > kMaxSecurityStream)
                return ERROR_INVALID_DATA;
            security_.clear();
            return 0;
        default:
            return ERROR_INVALID_DATA;
        }
    }

    DWORD data(const uint8_t *bytes, size_t count) override
    {
        switch (kind_) {
        case BACKUP_DATA:
            while (count > 0) {
                ssize_t done = pwrite(file_->fd, bytes, count, static_cast<off_t>(offset_));
                if (done < 0) {
                    if (errno == EINTR)
                        continue;
                    return errorFromErrno(errno);
                }
                bytes += done;
                count -= static_cast<size_t>(done);
                offset_ += static_cast<uint64_t>(done);
            }
            return 0;
        case BACKUP_ALTERNATE_DATA:
            return stream_->write(bytes, count);
        default:
            security_.insert(security_.end(), bytes, bytes + count);
            return 0;
        }
    }

    DWORD end() override
    {
        switch (kind_) {
        case BACKUP_DATA:
            // The file holds exactly the stream, even where it was longer before.
            return ftruncate(file_->fd, static_cast<off_t>(size_)) == 0 ? 0 : errorFromErrno(errno);
        case BACKUP_ALTERNATE_DATA: {
            DWORD error = stream_->finish(file_->fd);
            stream_.reset();
            return error;
        }
        default:
            return applySecurity();
        }
    }

private:
    DWORD applySecurity()
    {
        // Without security processing the stream is skipped; an empty one carries nothing to set.
        if (!processSecurity_ || security_.empty())
            return 0;
        SecurityDescriptor sd;
        if (DWORD error = parseSecurityDescriptor(security_.data(), security_.size(), sd))
            return error;
        // Each part is restored only through a handle that may write it.
        SECURITY_INFORMATION parts = partsPresent(sd);
        if (!(file_->access & WRITE_OWNER))
            parts &= ~(OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION);
        if (!(file_->access & WRITE_DAC))
            parts &= ~DACL_SECURITY_INFORMATION;
        if (!(file_->access & ACCESS_SYSTEM_SECURITY))
            parts &= ~SACL_SECURITY_INFORMATION;
        if (parts == 0)
            return 0;
        if (file_->readOnly)
            return ERROR_WRITE_PROTECT;
        struct stat st;
        if (fstat(file_->fd, &st) != 0)
            return errorFromErrno(errno);
        return writeSecurity(file_->fd, st, sd, parts);
    }

    FileObject *file_ = nullptr;
    bool processSecurity_;
    DWORD kind_ = 0;
    uint64_t size_ = 0;
    uint64_t offset_ = 0;
    std::unique_ptr<NamedStreamWriter> stream_;
    Bytes security_;
};

struct BackupContext {
    // The file the sequence belongs to. Closing its handle closes the file, as on Windows; the
    // sequence then fails instead of keeping the file open.
    std::weak_ptr<FileObject> file;
    // The file of the call under way, for the stream sources.
    FileObject *current = nullptr;
    bool writing = false;
    // Reading
    StreamEncoder encoder;
    std::vector<NamedStream> streams;
    Bytes security;
    // Writing
    StreamDecoder decoder;
    std::unique_ptr<RestoreSink> sink;
};

// Contexts live between calls behind the caller's context pointer; the registry lets a
// corrupted pointer fail with ERROR_INVALID_PARAMETER instead of being followed.
struct ContextRegistry {
    std::mutex lock;
    std::set<BackupContext *> live;
};

ContextRegistry &registry()
{
    static ContextRegistry *instance = new ContextRegistry;
    return *instance;
}

bool isLive(BackupContext *context)
{
    ContextRegistry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.live.count(context) != 0;
}

void track(BackupContext *context)
{
    ContextRegistry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.live.insert(context);
}

bool release(BackupContext *context)
{
    ContextRegistry &r = registry();
    {
        std::lock_guard<std::mutex> guard(r.lock);
        if (!r.live.erase(context))
            return false;
    }
    delete context;
    return true;
}

DWORD prepareRead(BackupContext &context, FileObject &file, bool processSecurity)
{
    if (!(file.access & FILE_READ_DATA))
        return ERROR_ACCESS_DENIED;
    struct stat st;
    if (fstat(file.fd, &st) != 0)
        return errorFromErrno(errno);
    // One listing tells which of the file's stored descriptor and streams there are to read, and
    // whether its contents are ciphertext, which a backup stream never carries as plain data.
    const AttributeNames names(file.fd);
    if (file.encryptionUnknown) {
        if (names.has(kEfsAttribute))
            return ERROR_ACCESS_DENIED;
        file.encryptionUnknown = false;
    }
    if (processSecurity && (file.access & READ_CONTROL)) {
        SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
        if (file.access & ACCESS_SYSTEM_SECURITY)
            parts |= SACL_SECURITY_INFORMATION;
        context.security = securityDescriptorOf(file.fd, st, names, parts);
        const Bytes *security = &context.security;
        context.encoder.add({BACKUP_SECURITY_DATA, STREAM_CONTAINS_SECURITY, security->size(), u""},
                            [security](uint64_t offset, uint8_t *into, size_t count, size_t &got) {
                                memcpy(into, security->data() + offset, count);
                                got = count;
                                return DWORD{0};
                            });
    }
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        BackupContext *owner = &context;
        context.encoder.add({BACKUP_DATA, STREAM_NORMAL_ATTRIBUTE, static_cast<uint64_t>(st.st_size), u""},
                            [owner](uint64_t offset, uint8_t *into, size_t count, size_t &got) {
                                for (;;) {
                                    ssize_t n = pread(owner->current->fd, into, count, static_cast<off_t>(offset));
                                    if (n >= 0) {
                                        got = static_cast<size_t>(n);
                                        return DWORD{0};
                                    }
                                    if (errno != EINTR)
                                        return errorFromErrno(errno);
                                }
                            });
    }
    if (DWORD error = listNamedStreams(file.fd, names, context.streams))
        return error;
    for (const NamedStream &stream : context.streams) {
        const NamedStream *source = &stream;
        context.encoder.add({BACKUP_ALTERNATE_DATA, STREAM_NORMAL_ATTRIBUTE, stream.size, u":" + stream.name + u":$DATA"},
                            [source](uint64_t offset, uint8_t *into, size_t count, size_t &got) {
                                ssize_t n = source->readAt(offset, into, count);
                                if (n < 0)
                                    return errorFromErrno(errno);
                                got = static_cast<size_t>(n);
                                return DWORD{0};
                            });
    }
    return 0;
}

// The context of a call, made on the first call of a sequence.
BackupContext *contextFor(LPVOID *contextPointer, const std::shared_ptr<FileObject> &file, bool writing,
                          BOOL processSecurity, DWORD &error)
{
    auto *context = static_cast<BackupContext *>(*contextPointer);
    if (context) {
        // Equal owners: the same open file, even where a new one took over the old one's address.
        if (!isLive(context) || context->writing != writing || context->file.owner_before(file) ||
            file.owner_before(context->file)) {
            error = ERROR_INVALID_PARAMETER;
            return nullptr;
        }
        return context;
    }
    auto fresh = std::make_unique<BackupContext>();
    fresh->file = file;
    fresh->writing = writing;
    if (writing)
        fresh->sink = std::make_unique<RestoreSink>(processSecurity);
    else if ((error = prepareRead(*fresh, *file, processSecurity)))
        return nullptr;
    context = fresh.release();
    track(context);
    *contextPointer = context;
    return context;
}

BOOL abortSequence(LPVOID *contextPointer)
{
    if (*contextPointer && !release(static_cast<BackupContext *>(*contextPointer))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *contextPointer = nullptr;
    return TRUE;
}

// One call of a BackupRead or BackupWrite sequence.
BOOL transfer(bool writing, HANDLE handle, LPBYTE buffer, DWORD count, LPDWORD done, BOOL abort,
              BOOL processSecurity, LPVOID *contextPointer)
{
    if (!contextPointer || (!abort && (!done || (!buffer && count)))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (abort)
        return abortSequence(contextPointer);
    *done = 0;
    std::shared_ptr<FileObject> file = fileFromHandle(handle);
    if (!file)
        return FALSE;
    DWORD error = 0;
    BackupContext *context = contextFor(contextPointer, file, writing, processSecurity, error);
    if (!context) {
        SetLastError(error);
        return FALSE;
    }
    size_t transferred = 0;
    context->current = file.get();
    try {
        if (writing) {
            context->sink->attach(file.get());
            error = context->decoder.feed(buffer, count, *context->sink);
            transferred = error ? 0 : count;
        } else {
            error = context->encoder.read(buffer, count, transferred);
        }
    } catch (const std::bad_alloc &) {
        // Named streams and descriptors are gathered in memory; running out is a failed call,
        // not a C++ exception in the caller's process.
        error = ERROR_NOT_ENOUGH_MEMORY;
    }
    *done = static_cast<DWORD>(transferred);
    if (error) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

BOOL WINAPI BackupRead(HANDLE handle, LPBYTE buffer, DWORD count, LPDWORD done, BOOL abort, BOOL processSecurity,
                       LPVOID *contextPointer)
{
    return transfer(false, handle, buffer, count, done, abort, processSecurity, contextPointer);
}

BOOL WINAPI BackupWrite(HANDLE handle, LPBYTE buffer, DWORD count, LPDWORD done, BOOL abort, BOOL processSecurity,
                        LPVOID *contextPointer)
{
    return transfer(true, handle, buffer, count, done, abort, processSecurity, contextPointer);
}

}  // extern "C"
