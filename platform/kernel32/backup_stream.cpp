#include "kernel32/backup_stream.h"
#include "machine/little_endian.h"

#include <winerror.h>

#include <algorithm>
#include <cstring>

namespace winsim {

std::vector<uint8_t> encodeStreamHeader(const StreamHeader &header)
{
    std::vector<uint8_t> out(kStreamHeaderSize + header.name.size() * 2, 0);
    store32(out, 0, header.id);
    store32(out, 4, header.attributes);
    store32(out, 8, static_cast<uint32_t>(header.size));
    store32(out, 12, static_cast<uint32_t>(header.size >> 32));
    store32(out, 16, static_cast<uint32_t>(header.name.size() * 2));
    for (size_t i = 0; i < header.name.size(); ++i) {
        out[kStreamHeaderSize + 2 * i] = static_cast<uint8_t>(header.name[i]);
        out[kStreamHeaderSize + 2 * i + 1] = static_cast<uint8_t>(header.name[i] >> 8);
    }
    return out;
}

void StreamEncoder::add(const StreamHeader &header, BodySource body)
{
    entries_.push_back(Entry{encodeStreamHeader(header), header.size, std::move(body)});
}

DWORD StreamEncoder::read(uint8_t *out, size_t count, size_t &produced)
{
    produced = 0;
    while (produced < count && !entries_.empty()) {
        Entry &entry = entries_.front();
        if (headerDone_ < entry.header.size()) {
            size_t n = std::min(count - produced, entry.header.size() - headerDone_);
            memcpy(out + produced, entry.header.data() + headerDone_, n);
            headerDone_ += n;
            produced += n;
            continue;
        }
        if (bodyDone_ < entry.size) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(count - produced, entry.size - bodyDone_));
            size_t got = 0;
            if (DWORD error = entry.body(bodyDone_, out + produced, want, got))
                return error;
            if (got == 0 || got > want)
                return ERROR_HANDLE_EOF;
            bodyDone_ += got;
            produced += got;
            continue;
        }
        entries_.pop_front();
        headerDone_ = 0;
        bodyDone_ = 0;
    }
    // Drop a finished last entry so that the next read reports the end at once.
    while (!entries_.empty() && headerDone_ == entries_.front().header.size() &&
           bodyDone_ == entries_.front().size) {
        entries_.pop_front();
        headerDone_ = 0;
        bodyDone_ = 0;
    }
    return 0;
}

DWORD StreamDecoder::startBody(StreamSink &sink)
{
    if (DWORD error = sink.begin(current_))
        return error;
    state_ = State::Body;
    if (remaining_ == 0) {
        if (DWORD error = sink.end())
            return error;
        state_ = State::Header;
        headerHave_ = 0;
    }
    return 0;
}

DWORD StreamDecoder::feed(const uint8_t *bytes, size_t count, StreamSink &sink)
{
    if (failure_)
        return failure_;
    size_t pos = 0;
    while (pos < count) {
        if (state_ == State::Header) {
            size_t n = std::min(count - pos, kStreamHeaderSize - headerHave_);
            memcpy(header_ + headerHave_, bytes + pos, n);
            headerHave_ += n;
            pos += n;
            if (headerHave_ < kStreamHeaderSize)
                break;
            current_ = StreamHeader{};
            current_.id = load32(header_);
            current_.attributes = load32(header_ + 4);
            current_.size = load32(header_ + 8) | (static_cast<uint64_t>(load32(header_ + 12)) << 32);
            nameBytes_ = load32(header_ + 16);
            if ((nameBytes_ & 1) || nameBytes_ > kMaxStreamNameBytes)
                return failure_ = ERROR_INVALID_DATA;
            remaining_ = current_.size;
            name_.clear();
            state_ = State::Name;
            if (nameBytes_ == 0)
                if (DWORD error = startBody(sink))
                    return failure_ = error;
        } else if (state_ == State::Name) {
            size_t n = std::min(count - pos, nameBytes_ - name_.size());
            name_.insert(name_.end(), bytes + pos, bytes + pos + n);
            pos += n;
            if (name_.size() < nameBytes_)
                break;
            for (size_t i = 0; i + 1 < name_.size(); i += 2)
                current_.name += static_cast<char16_t>(name_[i] | (name_[i + 1] << 8));
            if (DWORD error = startBody(sink))
                return failure_ = error;
        } else {
            size_t n = static_cast<size_t>(std::min<uint64_t>(count - pos, remaining_));
            if (DWORD error = sink.data(bytes + pos, n))
                return failure_ = error;
            pos += n;
            remaining_ -= n;
            if (remaining_ == 0) {
                if (DWORD error = sink.end())
                    return failure_ = error;
                state_ = State::Header;
                headerHave_ = 0;
            }
        }
    }
    return 0;
}

}  // namespace winsim
