// The backup stream codec, with no operating system underneath.
#include "kernel32/backup_stream.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace winsim;

namespace {

using Bytes = std::vector<uint8_t>;

BodySource memory(const Bytes &data)
{
    return [&data](uint64_t offset, uint8_t *into, size_t count, size_t &got) {
        memcpy(into, data.data() + offset, count);
        got = count;
        return DWORD{0};
    };
}

Bytes drain(StreamEncoder &encoder, size_t chunk)
{
    Bytes out;
    Bytes buffer(chunk);
    size_t produced = 0;
    do {
        EXPECT_EQ(encoder.read(buffer.data(), chunk, produced), 0u);
        out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<long>(produced));
    } while (produced > 0);
    return out;
}

struct Recorded {
    StreamHeader header;
    Bytes body;
    bool ended = false;
};

class RecordingSink : public StreamSink {
public:
    DWORD begin(const StreamHeader &header) override
    {
        streams.push_back({header, {}, false});
        return header.id == 99 ? ERROR_INVALID_DATA : 0;
    }
    DWORD data(const uint8_t *bytes, size_t count) override
    {
        streams.back().body.insert(streams.back().body.end(), bytes, bytes + count);
        return 0;
    }
    DWORD end() override
    {
        streams.back().ended = true;
        return 0;
    }
    std::vector<Recorded> streams;
};

}  // namespace

TEST(BackupStream, HeaderIsTwentyBytesLittleEndianThenTheName)
{
    Bytes header = encodeStreamHeader({BACKUP_ALTERNATE_DATA, 0, 0x100000002ull, u":s:$DATA"});
    ASSERT_EQ(header.size(), 20u + 16u);
    EXPECT_EQ(header[0], 4);
    EXPECT_EQ(header[8], 2);
    EXPECT_EQ(header[12], 1);
    EXPECT_EQ(header[16], 16);
    EXPECT_EQ(header[20], ':');
    EXPECT_EQ(header[21], 0);
}

TEST(BackupStream, EveryReadSizeGivesTheSameBytes)
{
    Bytes security(37, 0xAA), data(1000), named{1, 2, 3};
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i);
    Bytes reference;
    for (size_t chunk : {1, 2, 19, 20, 21, 64, 4096}) {
        StreamEncoder encoder;
        encoder.add({BACKUP_SECURITY_DATA, STREAM_CONTAINS_SECURITY, security.size(), u""}, memory(security));
        encoder.add({BACKUP_DATA, 0, data.size(), u""}, memory(data));
        encoder.add({BACKUP_ALTERNATE_DATA, 0, named.size(), u":n:$DATA"}, memory(named));
        Bytes out = drain(encoder, chunk);
        if (reference.empty())
            reference = out;
        EXPECT_EQ(out, reference) << "chunk " << chunk;
    }
    EXPECT_EQ(reference.size(), 20 + 37 + 20 + 1000 + 20 + 16 + 3);
}

TEST(BackupStream, BodyEndingEarlyFailsInsteadOfPadding)
{
    StreamEncoder encoder;
    Bytes shortData(10);
    encoder.add({BACKUP_DATA, 0, 20, u""}, [&](uint64_t offset, uint8_t *into, size_t count, size_t &got) {
        got = offset >= shortData.size() ? 0 : std::min<size_t>(count, shortData.size() - offset);
        memcpy(into, shortData.data(), got);
        return DWORD{0};
    });
    uint8_t buffer[64];
    size_t produced = 0;
    EXPECT_EQ(encoder.read(buffer, sizeof buffer, produced), static_cast<DWORD>(ERROR_HANDLE_EOF));
}

TEST(BackupStream, DecoderSplitsWhatTheEncoderMadeInAnyPieces)
{
    Bytes data(300, 7), named(5, 9);
    StreamEncoder encoder;
    encoder.add({BACKUP_DATA, 0, data.size(), u""}, memory(data));
    encoder.add({BACKUP_ALTERNATE_DATA, 0, 0, u":empty:$DATA"}, memory(named));
    encoder.add({BACKUP_ALTERNATE_DATA, 0, named.size(), u":n:$DATA"}, memory(named));
    Bytes stream = drain(encoder, 4096);
    for (size_t piece : {1, 3, 20, 1000}) {
        StreamDecoder decoder;
        RecordingSink sink;
        for (size_t at = 0; at < stream.size(); at += piece)
            ASSERT_EQ(decoder.feed(stream.data() + at, std::min(piece, stream.size() - at), sink), 0u);
        EXPECT_TRUE(decoder.atBoundary());
        ASSERT_EQ(sink.streams.size(), 3u);
        EXPECT_EQ(sink.streams[0].body, data);
        EXPECT_EQ(sink.streams[1].header.name, u":empty:$DATA");
        EXPECT_TRUE(sink.streams[1].ended);
        EXPECT_EQ(sink.streams[2].body, named);
    }
}

TEST(BackupStream, DecoderRefusesOddNameSizesAndStaysFailed)
{
    Bytes header = encodeStreamHeader({BACKUP_ALTERNATE_DATA, 0, 0, u""});
    header[16] = 3;
    StreamDecoder decoder;
    RecordingSink sink;
    EXPECT_EQ(decoder.feed(header.data(), header.size(), sink), static_cast<DWORD>(ERROR_INVALID_DATA));
    Bytes valid = encodeStreamHeader({BACKUP_DATA, 0, 0, u""});
    EXPECT_EQ(decoder.feed(valid.data(), valid.size(), sink), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_TRUE(sink.streams.empty());
}

TEST(BackupStream, SinkErrorsStopTheDecoder)
{
    Bytes unknown = encodeStreamHeader({99, 0, 4, u""});
    unknown.insert(unknown.end(), {1, 2, 3, 4});
    StreamDecoder decoder;
    RecordingSink sink;
    EXPECT_EQ(decoder.feed(unknown.data(), unknown.size(), sink), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_TRUE(sink.streams[0].body.empty());
}

TEST(BackupStream, HugeNamesAreRefusedBeforeAnyAllocation)
{
    Bytes header = encodeStreamHeader({BACKUP_ALTERNATE_DATA, 0, 0, u""});
    header[16] = 0xFE;
    header[17] = 0xFF;
    header[18] = 0xFF;
    header[19] = 0x7F;
    StreamDecoder decoder;
    RecordingSink sink;
    EXPECT_EQ(decoder.feed(header.data(), header.size(), sink), static_cast<DWORD>(ERROR_INVALID_DATA));
}
