// The stand-in shadow copy service seen from C++: frozen volume copies under the snapshot
// device path, and the writer metadata documents.
#include "machine/file_metadata.h"
#include "machine/machine.h"
#include "machine/paths.h"
#include "vssapi/metadata.h"

#include <windows.h>
#include <vsbackup.h>

#include "support/host_path.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>
#include <thread>

using namespace winsim;

namespace {

std::string xattr(const std::string &path, const char *name)
{
    char value[256];
    ssize_t n = getxattr(path.c_str(), name, value, sizeof value);
    return n < 0 ? std::string() : std::string(value, static_cast<size_t>(n));
}

void wait(HRESULT result, IVssAsync *async)
{
    ASSERT_EQ(result, S_OK);
    ASSERT_EQ(async->Wait(INFINITE), S_OK);
    HRESULT status = E_FAIL;
    EXPECT_EQ(async->QueryStatus(&status, nullptr), S_OK);
    EXPECT_EQ(status, VSS_S_ASYNC_FINISHED);
    async->Release();
}

class ShadowCopy : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        ASSERT_EQ(CreateVssBackupComponents(&backup), S_OK);
        IVssAsync *async = nullptr;
        ASSERT_EQ(backup->InitializeForBackup(nullptr), S_OK);
        ASSERT_EQ(backup->SetBackupState(false, false, VSS_BT_COPY, false), S_OK);
        HRESULT result = backup->GatherWriterMetadata(&async);
        wait(result, async);
    }
    void TearDown() override
    {
        if (backup)
            backup->Release();
        CoUninitialize();
    }

    // Freezes C: and returns the snapshot's device name.
    std::u16string snapshot()
    {
        VSS_ID set, id;
        IVssAsync *async = nullptr;
        EXPECT_EQ(backup->StartSnapshotSet(&set), S_OK);
        EXPECT_EQ(backup->AddToSnapshotSet(const_cast<VSS_PWSZ>(u"C:\\"), VSS_ID{}, &id), S_OK);
        HRESULT result = backup->PrepareForBackup(&async);
        wait(result, async);
        result = backup->DoSnapshotSet(&async);
        wait(result, async);
        VSS_SNAPSHOT_PROP properties;
        EXPECT_EQ(backup->GetSnapshotProperties(id, &properties), S_OK);
        std::u16string device = properties.m_pwszSnapshotDeviceObject;
        EXPECT_EQ(std::u16string(properties.m_pwszOriginalVolumeName).substr(0, 10), u"\\\\?\\Volume");
        VssFreeSnapshotProperties(&properties);
        EXPECT_EQ(properties.m_pwszSnapshotDeviceObject, nullptr);
        return device;
    }

    IVssBackupComponents *backup = nullptr;
};

}  // namespace

TEST_F(ShadowCopy, TheCopyKeepsMetadataAndOwnSidecarsAndIsReadOnly)
{
    const std::string dir = hostPath(u"C:\\unit-shadow");
    mkdir(dir.c_str(), 0755);
    {
        std::ofstream(dir + "/file.dat") << "frozen";
    }
    int fd = open((dir + "/file.dat").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::unique_ptr<NamedStreamWriter> writer;
    ASSERT_EQ(NamedStreamWriter::open(fd, u"big", 100000, writer), 0u);
    std::string big(100000, 'b');
    ASSERT_EQ(writer->write(reinterpret_cast<const uint8_t *>(big.data()), big.size()), 0u);
    ASSERT_EQ(writer->finish(fd), 0u);
    close(fd);
    ASSERT_EQ(setxattr((dir + "/file.dat").c_str(), "user.DosStream.small:$DATA", "s", 2, 0), 0);
    ASSERT_EQ(symlink("file.dat", (dir + "/link").c_str()), 0);
    std::string liveSidecar = xattr(dir + "/file.dat", kSidecarAttribute);
    ASSERT_FALSE(liveSidecar.empty()) << "the big stream should have gone to the sidecar store";

    std::u16string device = snapshot();
    const std::u16string frozen = device + u"\\unit-shadow";
    MappedPath mapped;
    ASSERT_EQ(mapWindowsPath(frozen + u"\\file.dat", mapped), 0u);
    EXPECT_TRUE(mapped.readOnly);
    const std::string copy = mapped.posix;
    unsigned long number = std::stoul(std::string(device.begin() + device.find_last_not_of(u"0123456789") + 1, device.end()));
    EXPECT_EQ(copy, shadowCopyDirectory(number) + "/unit-shadow/file.dat");
    ASSERT_EQ(mapWindowsPath(device + u"\\..\\..\\..\\etc", mapped), 0u);
    EXPECT_EQ(mapped.posix, shadowCopyDirectory(number) + "/etc");

    std::string frozenSidecar = xattr(copy, kSidecarAttribute);
    EXPECT_EQ(frozenSidecar, "shadowcopy" + std::to_string(number) + "-" + liveSidecar);
    struct stat st;
    EXPECT_EQ(stat(sidecarDirectoryOf(frozenSidecar).c_str(), &st), 0);
    EXPECT_EQ(xattr(copy, "user.DosStream.small:$DATA"), std::string("s", 2));
    EXPECT_EQ(lstat((shadowCopyDirectory(number) + "/unit-shadow/link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    std::set<std::u16string> names;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((frozen + u"\\*").c_str(), &entry);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do
        names.insert(entry.cFileName);
    while (FindNextFileW(search, &entry));
    FindClose(search);
    EXPECT_TRUE(names.count(u"file.dat") && names.count(u"link"));

    auto openFrozen = [&](const std::u16string &path, DWORD access, DWORD disposition) {
        HANDLE file = CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        return error;
    };
    EXPECT_EQ(openFrozen(frozen + u"\\file.dat", GENERIC_READ, OPEN_EXISTING), 0u);
    EXPECT_EQ(openFrozen(frozen + u"\\file.dat", GENERIC_WRITE, OPEN_EXISTING), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    EXPECT_EQ(openFrozen(frozen + u"\\file.dat", DELETE, OPEN_EXISTING), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    EXPECT_EQ(openFrozen(frozen + u"\\new.dat", GENERIC_READ, CREATE_NEW), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    EXPECT_EQ(openFrozen(frozen + u"\\new.dat", GENERIC_READ, OPEN_EXISTING), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(SetFileAttributesW((frozen + u"\\file.dat").c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_PROTECT));

    // The copy and its sidecars go with the requester object that made them.
    backup->Release();
    backup = nullptr;
    EXPECT_NE(stat(copy.c_str(), &st), 0);
    EXPECT_NE(stat(sidecarDirectoryOf(frozenSidecar).c_str(), &st), 0);
    EXPECT_EQ(stat(sidecarDirectoryOf(liveSidecar).c_str(), &st), 0);
    EXPECT_EQ(GetFileAttributesW((frozen + u"\\file.dat").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(WriterMetadataDocument, SavedDocumentsReadBackAndBadOnesAreSortedOut)
{
    const char *declaration =
        "<WriterMetadata name='W' writerId='{00000001-0002-0003-0405-060708090a0b}' usage='2' source='1'>"
        "<RestoreMethod method='3' service='Svc' writerRestore='2' rebootRequired='yes'/>"
        "<AlternateLocationMapping path='C:\\a' filespec='*' alternate='D:\\a'/>"
        "<Exclude path='C:\\tmp' filespec='*.tmp' recursive='yes'/>"
        "<Component name='C' caption='Cap' type='1' selectable='no' flags='4'>"
        "<Database path='%SystemRoot%\\db' filespec='x.db'/><Log path='C:\\logs' filespec='*.log'/></Component>"
        "<Status state='9' failure='0x800423F2' after='DoSnapshotSet'/>"
        "</WriterMetadata>";
    vss::WriterMetadata parsed;
    std::string error;
    ASSERT_EQ(vss::parseWriterMetadata(declaration, parsed, &error), S_OK) << error;
    ASSERT_TRUE(parsed.status.has_value());
    EXPECT_EQ(parsed.status->failure, static_cast<HRESULT>(0x800423F2));
    std::string saved = vss::writeWriterMetadata(parsed);
    EXPECT_EQ(saved.find("Status"), std::string::npos) << "status is no part of the document";
    vss::WriterMetadata again;
    ASSERT_EQ(vss::parseWriterMetadata(saved, again, &error), S_OK) << error;
    EXPECT_EQ(vss::writeWriterMetadata(again), saved);
    EXPECT_EQ(again.instanceId, parsed.instanceId);
    EXPECT_NE(again.instanceId, again.writerId);
    ASSERT_EQ(again.components.size(), 1u);
    EXPECT_FALSE(again.components[0].logicalPath.has_value());
    EXPECT_EQ(again.components[0].databases[0].path, std::u16string(u"%SystemRoot%\\db"));
    EXPECT_TRUE(again.restoreMethod->rebootRequired);

    EXPECT_EQ(vss::parseWriterMetadata("<WriterMetadata", parsed), VSS_E_CORRUPT_XML_DOCUMENT);
    EXPECT_EQ(vss::parseWriterMetadata("<Other/>", parsed), VSS_E_INVALID_XML_DOCUMENT);
    EXPECT_EQ(vss::parseWriterMetadata("<WriterMetadata/>", parsed, &error), VSS_E_INVALID_XML_DOCUMENT);
    EXPECT_NE(error.find("writerId"), std::string::npos);
    EXPECT_EQ(vss::parseWriterMetadata(
                  "<WriterMetadata writerId='{00000001-0002-0003-0405-060708090a0b}'><Component/></WriterMetadata>",
                  parsed, &error),
              VSS_E_INVALID_XML_DOCUMENT);
}

// The service is reached through COM: a thread that has not initialised it is refused, while
// releasing what it holds works on any thread.
TEST_F(ShadowCopy, CallsFromAThreadWithoutComAreRefused)
{
    std::thread([&] {
        EXPECT_EQ(backup->IsVolumeSupported(VSS_ID{}, const_cast<VSS_PWSZ>(u"C:\\"), nullptr), E_POINTER);
        BOOL supported = TRUE;
        EXPECT_EQ(backup->IsVolumeSupported(VSS_ID{}, const_cast<VSS_PWSZ>(u"C:\\"), &supported),
                  CO_E_NOTINITIALIZED);
        IVssBackupComponents *other = nullptr;
        EXPECT_EQ(CreateVssBackupComponents(&other), CO_E_NOTINITIALIZED);
        IVssExamineWriterMetadata *metadata = nullptr;
        BSTR document = SysAllocString(u"<WriterMetadata writerId='{00000001-0002-0003-0405-060708090a0b}'/>");
        EXPECT_EQ(CreateVssExamineWriterMetadata(document, &metadata), CO_E_NOTINITIALIZED);
        SysFreeString(document);
        backup->AddRef();
        EXPECT_EQ(backup->Release(), 1u);
    }).join();
    BOOL supported = FALSE;
    EXPECT_EQ(backup->IsVolumeSupported(VSS_ID{}, const_cast<VSS_PWSZ>(u"C:\\"), &supported), S_OK);
    EXPECT_TRUE(supported);
}

// Without the rights of an administrator or backup operator there is no requester.
TEST(ShadowCopyService, RefusesARequesterWithoutAdministrativeRights)
{
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    setMachineSetting(machineRoot(), "administrator", "no");
    IVssBackupComponents *backup = nullptr;
    EXPECT_EQ(CreateVssBackupComponents(&backup), E_ACCESSDENIED);
    EXPECT_EQ(backup, nullptr);
    setMachineSetting(machineRoot(), "administrator", "yes");
    ASSERT_EQ(CreateVssBackupComponents(&backup), S_OK);
    backup->Release();
    CoUninitialize();
}
