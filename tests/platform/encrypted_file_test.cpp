// Encrypted files of the stand-in: the metadata record, the raw form cut anywhere, snapshots,
// and decryption that refuses damaged ciphertext.
#include "advapi32/efs.h"
#include "machine/file_metadata.h"
#include "machine/machine.h"
#include "machine/paths.h"

#include <windows.h>
#include <vsbackup.h>

#include "support/host_path.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace winsim;

namespace {

std::string readHost(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// An encrypted file with data and a named stream, in a directory of its own.
std::u16string encryptedFile(const std::u16string &name, const std::string &data)
{
    const std::u16string dir = u"C:\\efs-" + name;
    mkdir(hostPath(dir).c_str(), 0755);
    const std::u16string path = dir + u"\\" + name + u".bin";
    std::ofstream(hostPath(path), std::ios::binary) << data;
    EXPECT_EQ(setxattr(hostPath(path).c_str(), "user.DosStream.note:$DATA", "a note", 7, 0), 0);
    EXPECT_TRUE(EncryptFileW(path.c_str())) << GetLastError();
    return path;
}

DWORD WINAPI collect(PBYTE data, PVOID context, ULONG length)
{
    static_cast<std::string *>(context)->append(reinterpret_cast<const char *>(data), length);
    return 0;
}

std::string exportRaw(const std::u16string &path)
{
    PVOID context = nullptr;
    EXPECT_EQ(OpenEncryptedFileRawW(path.c_str(), 0, &context), 0u);
    std::string raw;
    EXPECT_EQ(ReadEncryptedFileRaw(collect, &raw, context), 0u);
    CloseEncryptedFileRaw(context);
    return raw;
}

// Hands the raw form over in cuts of the given sizes, in turn.
struct Cuts {
    std::string raw;
    std::vector<size_t> sizes;
    size_t at = 0;
    size_t next = 0;
};

DWORD WINAPI feed(PBYTE data, PVOID context, PULONG length)
{
    auto *cuts = static_cast<Cuts *>(context);
    size_t n = std::min<size_t>({cuts->sizes[cuts->next++ % cuts->sizes.size()], *length, cuts->raw.size() - cuts->at});
    memcpy(data, cuts->raw.data() + cuts->at, n);
    cuts->at += n;
    *length = static_cast<ULONG>(n);
    return 0;
}

DWORD importRaw(const std::u16string &path, ULONG flags, Cuts cuts)
{
    PVOID context = nullptr;
    DWORD result = OpenEncryptedFileRawW(path.c_str(), CREATE_FOR_IMPORT | flags, &context);
    if (result)
        return result;
    result = WriteEncryptedFileRaw(feed, &cuts, context);
    CloseEncryptedFileRaw(context);
    return result;
}

}  // namespace

TEST(EfsMetadata, RoundTripsAndRefusesEveryTruncation)
{
    EfsMetadata metadata;
    metadata.users.push_back(EfsUser{"S-1-22-1-1000", {1, 2, 3}, Bytes(40, 7)});
    EfsStream data;
    data.size = 12345;
    data.nonce[0] = 9;
    EfsStream named;
    named.name = u"summary";
    named.size = 3;
    named.digest[31] = 1;
    metadata.streams = {data, named};
    const Bytes blob = encodeEfsMetadata(metadata);
    EfsMetadata back;
    ASSERT_TRUE(decodeEfsMetadata(blob.data(), blob.size(), back));
    EXPECT_EQ(back.users[0].sid, "S-1-22-1-1000");
    EXPECT_EQ(back.users[0].wrappedKey, Bytes(40, 7));
    EXPECT_EQ(back.streams[1].name, u"summary");
    EXPECT_EQ(back.streams[0].size, 12345u);
    EXPECT_EQ(encodeEfsMetadata(back), blob);
    for (size_t length = 0; length < blob.size(); ++length)
        EXPECT_FALSE(decodeEfsMetadata(blob.data(), length, back)) << length;

    // A data stream after a named one, or a name given twice, is not ours.
    metadata.streams = {named, data};
    Bytes swapped = encodeEfsMetadata(metadata);
    EXPECT_FALSE(decodeEfsMetadata(swapped.data(), swapped.size(), back));
    metadata.streams = {data, named, named};
    Bytes twice = encodeEfsMetadata(metadata);
    EXPECT_FALSE(decodeEfsMetadata(twice.data(), twice.size(), back));
}

TEST(EncryptedFiles, TheRawFormImportsWhereverItIsCut)
{
    std::string data(70000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 31 + i / 97);
    const std::u16string source = encryptedFile(u"cuts", data);
    EXPECT_EQ(GetFileAttributesW(source.c_str()) & FILE_ATTRIBUTE_ENCRYPTED, static_cast<DWORD>(FILE_ATTRIBUTE_ENCRYPTED));
    EXPECT_EQ(readHost(hostPath(source)).find("a note"), std::string::npos);
    setMachineSetting(machineRoot(), "efs.raw.piece", "7");
    const std::string raw = exportRaw(source);
    setMachineSetting(machineRoot(), "efs.raw.piece", "");
    ASSERT_EQ(raw, exportRaw(source));

    std::mt19937 random(10);
    for (int round = 0; round < 6; ++round) {
        Cuts cuts{raw, {}};
        for (int i = 0; i < 50; ++i)
            cuts.sizes.push_back(1 + random() % (round < 3 ? 16 : 40000));
        const std::u16string target = u"C:\\efs-cuts\\copy" + std::u16string(1, u'0' + round);
        ASSERT_EQ(importRaw(target, 0, cuts), 0u) << round;
        EXPECT_EQ(exportRaw(target), raw);
        EXPECT_EQ(readHost(hostPath(target)), readHost(hostPath(source)));
    }

    // Decrypted, the copy is the original.
    const std::u16string copy = u"C:\\efs-cuts\\copy0";
    ASSERT_TRUE(DecryptFileW(copy.c_str(), 0)) << GetLastError();
    EXPECT_EQ(readHost(hostPath(copy)), data);
    char note[16] = {};
    EXPECT_EQ(getxattr(hostPath(copy).c_str(), "user.DosStream.note:$DATA", note, sizeof note), 7);
    EXPECT_STREQ(note, "a note");
    EXPECT_EQ(GetFileAttributesW(copy.c_str()) & FILE_ATTRIBUTE_ENCRYPTED, 0u);
}

TEST(EncryptedFiles, AttributesKeepTheEncryptedStateAndDataIsNotHandedOut)
{
    const std::u16string path = encryptedFile(u"attributes", "secret");
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ENCRYPTED));
    EXPECT_EQ(GetFileAttributesW(path.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ENCRYPTED));
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesW(path.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ENCRYPTED));

    // A handle that only reads is refused where it reaches the data, by ReadFile and BackupRead.
    HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    char data[16];
    DWORD got = 0;
    EXPECT_FALSE(ReadFile(reader, data, sizeof data, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(ReadFile(reader, data, sizeof data, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    BYTE stream[256];
    LPVOID backupContext = nullptr;
    EXPECT_FALSE(BackupRead(reader, stream, sizeof stream, &got, FALSE, FALSE, &backupContext));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    if (backupContext)
        BackupRead(reader, stream, 0, &got, TRUE, FALSE, &backupContext);
    CloseHandle(reader);
    EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
    HANDLE metadataOnly = CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(metadataOnly, INVALID_HANDLE_VALUE);
    CloseHandle(metadataOnly);
}

TEST(EncryptedFiles, DamagedCiphertextIsNotDecryptedAndTheFileStaysAsItWas)
{
    const std::u16string path = encryptedFile(u"damaged", std::string(5000, 'x'));
    const std::string host = hostPath(path);
    std::string stored = readHost(host);
    stored[2500] ^= 1;
    std::ofstream(host, std::ios::binary | std::ios::trunc) << stored;
    EXPECT_FALSE(DecryptFileW(path.c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DECRYPTION_FAILED));
    EXPECT_EQ(readHost(host), stored);
    EXPECT_NE(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_ENCRYPTED, 0u);

    // Nor is a raw form of it accepted elsewhere: its contents no longer match their digest.
    PVOID context = nullptr;
    ASSERT_EQ(OpenEncryptedFileRawW(path.c_str(), 0, &context), 0u);
    std::string raw;
    EXPECT_EQ(ReadEncryptedFileRaw(collect, &raw, context), 0u);
    CloseEncryptedFileRaw(context);
    EXPECT_EQ(importRaw(u"C:\\efs-damaged\\copy.bin", 0, Cuts{raw, {4096}}), static_cast<DWORD>(ERROR_CRC));
    struct stat st;
    EXPECT_NE(stat(hostPath(u"C:\\efs-damaged\\copy.bin").c_str(), &st), 0);
}

TEST(EncryptedFiles, AShadowCopyKeepsThemEncryptedAndExportsButNeverImports)
{
    const std::u16string path = encryptedFile(u"frozen", "frozen secret");
    const std::string live = exportRaw(path);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    IVssBackupComponents *backup = nullptr;
    ASSERT_EQ(CreateVssBackupComponents(&backup), S_OK);
    auto wait = [](HRESULT result, IVssAsync *async) {
        ASSERT_EQ(result, S_OK);
        ASSERT_EQ(async->Wait(INFINITE), S_OK);
        async->Release();
    };
    IVssAsync *async = nullptr;
    ASSERT_EQ(backup->InitializeForBackup(nullptr), S_OK);
    ASSERT_EQ(backup->SetBackupState(false, false, VSS_BT_COPY, false), S_OK);
    HRESULT result = backup->GatherWriterMetadata(&async);
    wait(result, async);
    VSS_ID set, id;
    ASSERT_EQ(backup->StartSnapshotSet(&set), S_OK);
    ASSERT_EQ(backup->AddToSnapshotSet(const_cast<VSS_PWSZ>(u"C:\\"), VSS_ID{}, &id), S_OK);
    result = backup->PrepareForBackup(&async);
    wait(result, async);
    result = backup->DoSnapshotSet(&async);
    wait(result, async);
    VSS_SNAPSHOT_PROP properties;
    ASSERT_EQ(backup->GetSnapshotProperties(id, &properties), S_OK);
    const std::u16string frozen = std::u16string(properties.m_pwszSnapshotDeviceObject) + u"\\efs-frozen\\frozen.bin";
    VssFreeSnapshotProperties(&properties);

    EXPECT_NE(GetFileAttributesW(frozen.c_str()) & FILE_ATTRIBUTE_ENCRYPTED, 0u);
    EXPECT_EQ(exportRaw(frozen), live);
    PVOID context = nullptr;
    EXPECT_EQ(OpenEncryptedFileRawW(frozen.c_str(), CREATE_FOR_IMPORT, &context), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    EXPECT_EQ(context, nullptr);
    backup->Release();
    CoUninitialize();
}
