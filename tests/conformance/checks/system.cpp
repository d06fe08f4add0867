// System information, modules, environment and memory: GetVersionExA, GetModuleFileNameA,
// LoadLibraryA, GetProcAddress, environment variables, LocalAlloc, HeapAlloc.
#include "../framework/support.h"

#include <cstring>
#include <vector>

using namespace conformance;

CHECK(system, get_version_takes_either_record_size_only)
{
    OSVERSIONINFOEXA info;
    const DWORD wrongSizes[] = {0, sizeof(OSVERSIONINFOA) - 1, sizeof(OSVERSIONINFOA) + 1, sizeof(OSVERSIONINFOEXA) + 4};
    for (DWORD wrong : wrongSizes) {
        memset(&info, 0, sizeof info);
        info.dwOSVersionInfoSize = wrong;
        EXPECT_FAILS_WITH(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&info)), FALSE, ERROR_INSUFFICIENT_BUFFER);
    }
    EXPECT_EQ(sizeof(OSVERSIONINFOA), 148u);
    EXPECT_EQ(sizeof(OSVERSIONINFOEXA), 156u);

    OSVERSIONINFOA basic;
    memset(&basic, 0xCC, sizeof basic);
    basic.dwOSVersionInfoSize = sizeof basic;
    ASSERT_TRUE(GetVersionExA(&basic));
    EXPECT_EQ(basic.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_TRUE(basic.dwMajorVersion >= 6);
    EXPECT_TRUE(memchr(basic.szCSDVersion, 0, sizeof basic.szCSDVersion) != nullptr);

    memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&info)));
    EXPECT_EQ(info.dwMajorVersion, basic.dwMajorVersion);
    EXPECT_EQ(info.dwBuildNumber, basic.dwBuildNumber);
    EXPECT_TRUE(info.wProductType >= VER_NT_WORKSTATION && info.wProductType <= VER_NT_SERVER);
}

CHECK(system, a_program_without_a_manifest_is_told_windows_8)
{
    // Since Windows 8.1 a program that does not declare itself compatible in a manifest is told
    // 6.2, build 9200, whatever version runs it.
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwMajorVersion, 6u);
    EXPECT_EQ(info.dwMinorVersion, 2u);
    EXPECT_EQ(info.dwBuildNumber, 9200u);
}

CHECK(system, a_module_name_too_long_for_the_buffer_is_truncated_and_terminated)
{
    char full[MAX_PATH * 4];
    DWORD length = GetModuleFileNameA(nullptr, full, sizeof full);
    ASSERT_TRUE(length > 4 && length < sizeof full);
    EXPECT_EQ(length, static_cast<DWORD>(strlen(full)));
    EXPECT_TRUE(full[1] == ':' || (full[0] == '\\' && full[1] == '\\'));

    char small[5];
    memset(small, 'x', sizeof small);
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), static_cast<DWORD>(sizeof small));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(small, 4), std::string(full, 4));
    EXPECT_EQ(small[4], '\0');
}

CHECK(system, libraries_load_by_name_and_report_what_is_missing)
{
    HMODULE advapi = LoadLibraryA("advapi32.dll");
    ASSERT_TRUE(advapi != nullptr);
    EXPECT_TRUE(GetProcAddress(advapi, "RegOpenKeyExA") != nullptr);
    EXPECT_FAILS_WITH(GetProcAddress(advapi, "NoSuchFunction"), nullptr, ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(advapi));
    EXPECT_FAILS_WITH(LoadLibraryA("no-such-library.dll"), nullptr, ERROR_MOD_NOT_FOUND);
}

CHECK(system, environment_variables_tell_their_size_and_absence)
{
    ASSERT_TRUE(SetEnvironmentVariableW(TEXT("CONFORMANCE_VALUE"), TEXT("twelve chars")));
    char buffer[64];
    EXPECT_EQ(GetEnvironmentVariableA("conformance_value", buffer, sizeof buffer), 12u);
    EXPECT_EQ(std::string(buffer), std::string("twelve chars"));
    EXPECT_EQ(GetEnvironmentVariableA("CONFORMANCE_VALUE", buffer, 12), 13u);
    EXPECT_EQ(GetEnvironmentVariableA("CONFORMANCE_VALUE", nullptr, 0), 13u);

    ASSERT_TRUE(SetEnvironmentVariableW(TEXT("CONFORMANCE_VALUE"), nullptr));
    EXPECT_FAILS_WITH(GetEnvironmentVariableA("CONFORMANCE_VALUE", buffer, sizeof buffer), 0u, ERROR_ENVVAR_NOT_FOUND);
}

CHECK(system, expansion_counts_the_terminator_and_keeps_unknown_names)
{
    ASSERT_TRUE(SetEnvironmentVariableW(TEXT("CONFORMANCE_DIR"), TEXT("C:\\data")));
    const WString source = TEXT("%conformance_dir%\\x;%CONFORMANCE_UNSET%;100%");
    const WString expected = TEXT("C:\\data\\x;%CONFORMANCE_UNSET%;100%");
    WCHAR buffer[128];
    EXPECT_EQ(ExpandEnvironmentStringsW(source.c_str(), buffer, 128), static_cast<DWORD>(expected.size() + 1));
    EXPECT_EQ(WString(buffer), expected);
    EXPECT_EQ(ExpandEnvironmentStringsW(source.c_str(), buffer, 4), static_cast<DWORD>(expected.size() + 1));
    EXPECT_EQ(ExpandEnvironmentStringsW(source.c_str(), nullptr, 0), static_cast<DWORD>(expected.size() + 1));

    DWORD length = ExpandEnvironmentStringsW(TEXT("%SystemRoot%"), buffer, 128);
    ASSERT_TRUE(length > 3);
    EXPECT_TRUE((buffer[0] == 'C' || buffer[0] == 'c') && buffer[1] == ':' && buffer[2] == '\\');
}

CHECK(system, local_and_heap_blocks_are_zeroed_when_asked_and_freed)
{
    auto *local = static_cast<unsigned char *>(LocalAlloc(LPTR, 64));
    ASSERT_TRUE(local != nullptr);
    bool zero = true;
    for (int i = 0; i < 64; ++i)
        zero = zero && local[i] == 0;
    EXPECT_TRUE(zero);
    EXPECT_TRUE(LocalFree(local) == nullptr);

    auto *heap = static_cast<unsigned char *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 64));
    ASSERT_TRUE(heap != nullptr);
    zero = true;
    for (int i = 0; i < 64; ++i)
        zero = zero && heap[i] == 0;
    EXPECT_TRUE(zero);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, heap));
}

CHECK(system, computer_names_tell_their_size_first)
{
    WString netbios;
    WString host;
    for (COMPUTER_NAME_FORMAT format : {ComputerNameNetBIOS, ComputerNameDnsHostname, ComputerNameDnsFullyQualified}) {
        DWORD size = 0;
        EXPECT_FAILS_WITH(GetComputerNameExW(format, nullptr, &size), FALSE, ERROR_MORE_DATA);
        ASSERT_TRUE(size > 1 && size < 300);
        std::vector<WCHAR> name(size + 1, WCHAR('x'));
        DWORD length = size;
        ASSERT_SUCCEEDS(GetComputerNameExW(format, name.data(), &length));
        EXPECT_EQ(length, size - 1);
        EXPECT_EQ(name[length], WCHAR(0));
        if (format == ComputerNameNetBIOS)
            netbios.assign(name.data(), length);
        else if (format == ComputerNameDnsHostname)
            host.assign(name.data(), length);
        else if (!host.empty())
            EXPECT_TRUE(length >= host.size());
    }
    // The NetBIOS name: at most 15 characters, in upper case.
    EXPECT_TRUE(netbios.size() <= 15);
    bool upper = true;
    for (WCHAR c : netbios)
        upper = upper && !(c >= 'a' && c <= 'z');
    EXPECT_TRUE(upper);
    DWORD size = 0;
    EXPECT_FAILS_WITH(GetComputerNameExW(ComputerNameMax, nullptr, &size), FALSE, ERROR_INVALID_PARAMETER);
}
