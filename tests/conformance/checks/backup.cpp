// Backup streams: BackupRead gives a file as WIN32_STREAM_ID records (a 20-byte header, the
// name, the content) in reads of any size; BackupWrite takes them back.
#include "../framework/support.h"

#include <cstring>
#include <vector>

using namespace conformance;

namespace {

constexpr DWORD kHeaderSize = 20;  // WIN32_STREAM_ID up to its name; sizeof says 24

struct Record {
    DWORD id = 0;
    DWORD attributes = 0;
    unsigned long long size = 0;
    std::string content;
};

// The records of a backup stream; false when it is cut short.
bool parseRecords(const std::string &stream, std::vector<Record> &records)
{
    size_t at = 0;
    while (at < stream.size()) {
        if (stream.size() - at < kHeaderSize)
            return false;
        Record record;
        DWORD nameSize = 0;
        memcpy(&record.id, stream.data() + at, 4);
        memcpy(&record.attributes, stream.data() + at + 4, 4);
        memcpy(&record.size, stream.data() + at + 8, 8);
        memcpy(&nameSize, stream.data() + at + 16, 4);
        at += kHeaderSize + nameSize;
        if (at > stream.size() || stream.size() - at < record.size)
            return false;
        record.content = stream.substr(at, static_cast<size_t>(record.size));
        at += static_cast<size_t>(record.size);
        records.push_back(record);
    }
    return true;
}

// The whole backup stream of a file, read chunk bytes at a time; the context is freed.
bool backupRead(Check &check, const WString &path, DWORD chunk, bool security, std::string &stream)
{
    OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.valid())
        return false;
    LPVOID context = nullptr;
    std::vector<BYTE> buffer(chunk);
    bool ok = true;
    for (int reads = 0;; ++reads) {
        DWORD read = 0;
        SetLastError(0xDEADBEEF);
        if (!BackupRead(file.get(), buffer.data(), chunk, &read, FALSE, security, &context)) {
            CONFORMANCE_FAIL("BackupRead failed with " + describe(GetLastError()));
            ok = false;
            break;
        }
        if (read == 0)
            break;
        stream.append(reinterpret_cast<const char *>(buffer.data()), read);
        if (reads > 100000) {
            ok = false;
            break;
        }
    }
    DWORD ignored = 0;
    BackupRead(file.get(), nullptr, 0, &ignored, TRUE, security, &context);
    return ok;
}

}  // namespace

CHECK(backup, a_file_reads_as_one_data_record_in_reads_of_any_size)
{
    const WString path = check.path(TEXT("data.txt"));
    ASSERT_TRUE(writeFile(path, "hello"));
    std::string whole;
    ASSERT_TRUE(backupRead(check, path, 4096, false, whole));
    std::vector<Record> records;
    ASSERT_TRUE(parseRecords(whole, records));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].id, static_cast<DWORD>(BACKUP_DATA));
    EXPECT_EQ(records[0].attributes, static_cast<DWORD>(STREAM_NORMAL_ATTRIBUTE));
    EXPECT_EQ(records[0].content, std::string("hello"));
    EXPECT_EQ(whole.size(), static_cast<size_t>(kHeaderSize + 5));

    std::string bytewise;
    ASSERT_TRUE(backupRead(check, path, 1, false, bytewise));
    EXPECT_TRUE(bytewise == whole);
}

CHECK(backup, security_comes_first_when_asked_for)
{
    const WString path = check.path(TEXT("secured.txt"));
    ASSERT_TRUE(writeFile(path, "data"));
    std::string stream;
    ASSERT_TRUE(backupRead(check, path, 4096, true, stream));
    std::vector<Record> records;
    ASSERT_TRUE(parseRecords(stream, records));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].id, static_cast<DWORD>(BACKUP_SECURITY_DATA));
    EXPECT_EQ(records[0].attributes & STREAM_CONTAINS_SECURITY, static_cast<DWORD>(STREAM_CONTAINS_SECURITY));
    EXPECT_TRUE(records[0].size >= 20);
    EXPECT_EQ(records[1].id, static_cast<DWORD>(BACKUP_DATA));
}

CHECK(backup, a_written_stream_restores_the_file)
{
    const WString source = check.path(TEXT("source.txt"));
    ASSERT_TRUE(writeFile(source, "restored content"));
    std::string stream;
    ASSERT_TRUE(backupRead(check, source, 4096, false, stream));

    const WString target = check.path(TEXT("target.txt"));
    OwnedHandle file(CreateFileW(target.c_str(), GENERIC_WRITE | WRITE_DAC | WRITE_OWNER, 0, nullptr, CREATE_NEW,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(file.valid());
    LPVOID context = nullptr;
    DWORD written = 0;
    EXPECT_SUCCEEDS(BackupWrite(file.get(), reinterpret_cast<LPBYTE>(stream.data()), static_cast<DWORD>(stream.size()),
                                &written, FALSE, FALSE, &context));
    EXPECT_EQ(written, static_cast<DWORD>(stream.size()));
    BackupWrite(file.get(), nullptr, 0, &written, TRUE, FALSE, &context);
    file.reset();
    std::string content;
    EXPECT_TRUE(readFile(target, content));
    EXPECT_EQ(content, std::string("restored content"));
}
