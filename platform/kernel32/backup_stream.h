// The backup stream format of BackupRead and BackupWrite: a sequence of streams, each a
// 20-byte WIN32_STREAM_ID header (id, attributes, 64-bit size, name size in bytes), the
// stream's UTF-16 name and its contents. Pure code, no operating system calls.
#pragma once

#include <windef.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace winsim {

// Never sizeof(WIN32_STREAM_ID), which pads to 24.
inline constexpr size_t kStreamHeaderSize = 20;
// Longest stream name the decoder accepts, in bytes.
inline constexpr size_t kMaxStreamNameBytes = 65534;

struct StreamHeader {
    DWORD id = 0;
    DWORD attributes = 0;
    uint64_t size = 0;
    std::u16string name;
};

std::vector<uint8_t> encodeStreamHeader(const StreamHeader &header);

// Reads up to count bytes of a stream body at offset into `into`; sets got (0 means the body
// ended early). Returns 0 or a Windows error.
using BodySource = std::function<DWORD(uint64_t offset, uint8_t *into, size_t count, size_t &got)>;

// Serves the streams added to it as one byte sequence, in reads of any size.
class StreamEncoder {
public:
    void add(const StreamHeader &header, BodySource body);
    // Fills up to count bytes; produced is 0 only at the end. A body that ends before the
    // size its header announced fails with ERROR_HANDLE_EOF rather than yield a corrupt stream.
    DWORD read(uint8_t *out, size_t count, size_t &produced);

private:
    struct Entry {
        std::vector<uint8_t> header;
        uint64_t size;
        BodySource body;
    };
    std::deque<Entry> entries_;
    size_t headerDone_ = 0;
    uint64_t bodyDone_ = 0;
};

// Receives the streams that the decoder finds.
class StreamSink {
public:
    virtual ~StreamSink() = default;
    virtual DWORD begin(const StreamHeader &header) = 0;
    virtual DWORD data(const uint8_t *bytes, size_t count) = 0;
    virtual DWORD end() = 0;
};

// Splits a backup stream that arrives in pieces of any size into its streams. After a failure
// every further piece fails with the same error.
class StreamDecoder {
public:
    DWORD feed(const uint8_t *bytes, size_t count, StreamSink &sink);
    // True between two streams (nothing of a stream pending).
    bool atBoundary() const { return state_ == State::Header && headerHave_ == 0; }

private:
    enum class State { Header, Name, Body };
    DWORD startBody(StreamSink &sink);
    State state_ = State::Header;
    uint8_t header_[kStreamHeaderSize] = {};
    size_t headerHave_ = 0;
    StreamHeader current_;
    std::vector<uint8_t> name_;
    size_t nameBytes_ = 0;
    uint64_t remaining_ = 0;
    DWORD failure_ = 0;
};

}  // namespace winsim
