// Drive types: GetDriveTypeW of roots, letters without a drive, shares and malformed roots.
#include "../framework/support.h"

using namespace conformance;

CHECK(drives, the_system_drive_is_fixed)
{
    EXPECT_EQ(GetDriveTypeW(TEXT("C:\\")), static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeW(TEXT("c:\\")), static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeA("C:\\"), static_cast<UINT>(DRIVE_FIXED));
    // Without a root, the drive of the current directory.
    const UINT current = GetDriveTypeW(nullptr);
    EXPECT_TRUE(current > DRIVE_NO_ROOT_DIR && current <= DRIVE_RAMDISK);
}

CHECK(drives, a_letter_without_a_drive_and_malformed_roots_have_no_root_directory)
{
    EXPECT_EQ(GetDriveTypeW(TEXT("Q:\\")), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(GetDriveTypeW(TEXT("C?")), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(GetDriveTypeW(TEXT("C")), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(GetDriveTypeW(TEXT("")), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
}

CHECK(drives, a_letter_and_colon_name_the_drives_root)
{
    const UINT type = GetDriveTypeW(TEXT("C:"));
    EXPECT_EQ(type, static_cast<UINT>(DRIVE_FIXED));
}
