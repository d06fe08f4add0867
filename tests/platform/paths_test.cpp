// Windows paths of the emulated machine.
#include "machine/machine.h"
#include "machine/paths.h"

#include <winerror.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

using namespace winsim;

namespace {

std::string mapped(std::u16string path, unsigned options = kPathPlain)
{
    MappedPath out;
    DWORD error = mapWindowsPath(path, out, options);
    return error ? "error " + std::to_string(error) : out.posix;
}

std::string driveC()
{
    return machineRoot() + "/drive_c";
}

}  // namespace

TEST(Paths, DrivesUncAndPosixPaths)
{
    EXPECT_EQ(mapped(u"C:\\Windows\\System32"), driveC() + "/Windows/System32");
    EXPECT_EQ(mapped(u"c:/Windows/System32/"), driveC() + "/Windows/System32");
    EXPECT_EQ(mapped(u"\\\\?\\C:\\Windows"), driveC() + "/Windows");
    EXPECT_EQ(mapped(u"Z:\\etc\\hostname"), "/etc/hostname");
    EXPECT_EQ(mapped(u"/etc/hostname"), "/etc/hostname");
    EXPECT_EQ(mapped(u"\\\\server\\share\\dir\\f"), machineRoot() + "/unc/server/share/dir/f");
    EXPECT_EQ(mapped(u"\\\\?\\UNC\\server\\share\\f"), machineRoot() + "/unc/server/share/f");
    EXPECT_EQ(mapped(u"relative\\file"), "relative/file");
}

TEST(Paths, DotSegmentsFoldAndNeverClimbAboveTheDrive)
{
    EXPECT_EQ(mapped(u"C:\\a\\.\\b\\..\\c"), driveC() + "/a/c");
    EXPECT_EQ(mapped(u"C:\\..\\..\\etc"), driveC() + "/etc");
    EXPECT_EQ(mapped(u"C:\\dir\\name. . "), driveC() + "/dir/name");
}

TEST(Paths, NamesMatchExistingEntriesInAnyCase)
{
    EXPECT_EQ(mapped(u"C:\\WINDOWS\\system32\\KERNEL32.DLL"), driveC() + "/Windows/System32/kernel32.dll");
    EXPECT_EQ(mapped(u"C:\\windows\\NewFile.txt"), driveC() + "/Windows/NewFile.txt");
}

// A path found as given needs no search and says what lstat saw; the checks that the search
// would have made still hold where it is not found: a missing drive or shadow copy is not found,
// even where a name is invalid too.
TEST(Paths, AFoundPathIsLookedAtOnceAndTheRulesStillHold)
{
    MappedPath out;
    ASSERT_EQ(mapWindowsPath(u"C:\\Windows\\System32", out), 0u);
    ASSERT_TRUE(out.found.has_value());
    EXPECT_TRUE(S_ISDIR(out.found->st_mode));
    ASSERT_EQ(mapWindowsPath(u"C:\\WINDOWS\\System32", out), 0u);
    EXPECT_FALSE(out.found.has_value());
    EXPECT_EQ(out.posix, driveC() + "/Windows/System32");
    // As given: nothing is looked at, the case stays, and a missing drive is not noticed.
    EXPECT_EQ(mapped(u"C:\\WINDOWS\\x", kPathAsGiven), driveC() + "/WINDOWS/x");
    EXPECT_EQ(mapped(u"Q:\\x", kPathAsGiven), machineRoot() + "/drive_q/x");
    EXPECT_EQ(mapped(u"Q:\\a<b"), "error " + std::to_string(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(mapped(u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy99\\f"),
              "error " + std::to_string(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(mapped(u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy99\\a<b"),
              "error " + std::to_string(ERROR_PATH_NOT_FOUND));
}

TEST(Paths, InvalidNamesAndLengths)
{
    EXPECT_EQ(mapped(u"C:\\a<b"), "error " + std::to_string(ERROR_INVALID_NAME));
    EXPECT_EQ(mapped(u"C:\\a*"), "error " + std::to_string(ERROR_INVALID_NAME));
    EXPECT_EQ(mapped(u"C:\\dir\\a*", kPathAllowWildcards), driveC() + "/dir/a*");
    EXPECT_EQ(mapped(u"C:\\d*\\a", kPathAllowWildcards), "error " + std::to_string(ERROR_INVALID_NAME));
    EXPECT_EQ(mapped(u"\\\\server"), "error " + std::to_string(ERROR_BAD_NETPATH));
    EXPECT_EQ(mapped(u"Q:\\x"), "error " + std::to_string(ERROR_PATH_NOT_FOUND));
    std::u16string longPath = u"C:\\" + std::u16string(256, u'a');
    EXPECT_EQ(longPath.size(), 259u);
    EXPECT_EQ(mapped(longPath), driveC() + "/" + std::string(256, 'a'));
    EXPECT_EQ(mapped(longPath + u"b"), "error " + std::to_string(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(mapped(u"\\\\?\\" + longPath + u"b"), driveC() + "/" + std::string(256, 'a') + "b");
}

TEST(Paths, WindowsFormOfHostPaths)
{
    EXPECT_EQ(windowsPathFromPosix(driveC() + "/Program Files/x.exe"), u"C:\\Program Files\\x.exe");
    EXPECT_EQ(windowsPathFromPosix(driveC()), u"C:\\");
    EXPECT_EQ(windowsPathFromPosix("/usr/bin/env"), u"Z:\\usr\\bin\\env");
    EXPECT_EQ(windowsPathFromPosix(machineRoot() + "/unc/srv/share/f"), u"\\\\srv\\share\\f");
}

TEST(Paths, MissingFileOrMissingDirectory)
{
    EXPECT_EQ(errorForMissing(driveC() + "/Windows/nothing"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(errorForMissing(driveC() + "/nothing/deeper"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(Paths, WildcardsMatchAsFindFirstFileDoes)
{
    EXPECT_TRUE(matchesPattern(u"Report.TXT", u"*.txt"));
    EXPECT_TRUE(matchesPattern(u"a", u"*.*"));
    EXPECT_TRUE(matchesPattern(u"abc", u"a?c"));
    EXPECT_FALSE(matchesPattern(u"abcd", u"a?c"));
    EXPECT_TRUE(matchesPattern(u"aXbXc", u"a*b*c"));
    EXPECT_FALSE(matchesPattern(u"ab", u"a*c"));
}
