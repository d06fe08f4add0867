// Reads and writes the security of a file of the emulated machine the way the backup natives
// do, for tests that check the stored form against other programs:
//
//   security_probe read <path>          the self-relative descriptor (owner, group, DACL and
//                                       SACL) as GetFileSecurityW gives it, in hex
//   security_probe write <path> <hex>   restores a self-relative descriptor through BackupWrite
//                                       with a security stream, every part at once
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr SECURITY_INFORMATION kAllParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

std::u16string wide(const char *text)
{
    std::u16string out;
    for (const char *c = text; *c; ++c)
        out += static_cast<char16_t>(static_cast<unsigned char>(*c));
    return out;
}

// The system ACL is read and written only with the security privilege enabled.
bool enableSecurityPrivilege()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool enabled = LookupPrivilegeValueW(nullptr, TEXT("SeSecurityPrivilege"), &privileges.Privileges[0].Luid) &&
                   AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr);
    CloseHandle(token);
    return enabled;
}

int read(const char *path)
{
    std::vector<BYTE> descriptor(65536);
    DWORD needed = 0;
    if (!GetFileSecurityW(wide(path).c_str(), kAllParts, descriptor.data(), static_cast<DWORD>(descriptor.size()),
                          &needed)) {
        fprintf(stderr, "GetFileSecurityW failed: %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    for (DWORD i = 0; i < needed; ++i)
        printf("%02x", descriptor[i]);
    printf("\n");
    return 0;
}

int write(const char *path, const char *hex)
{
    std::vector<BYTE> descriptor;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
        unsigned byte = 0;
        if (sscanf(hex + i, "%2x", &byte) != 1)
            return 2;
        descriptor.push_back(static_cast<BYTE>(byte));
    }
    HANDLE file = CreateFileW(wide(path).c_str(), WRITE_DAC | WRITE_OWNER | ACCESS_SYSTEM_SECURITY, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "CreateFileW failed: %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    BYTE header[20] = {BACKUP_SECURITY_DATA, 0, 0, 0, STREAM_CONTAINS_SECURITY, 0, 0, 0};
    DWORD size = static_cast<DWORD>(descriptor.size());
    memcpy(header + 8, &size, sizeof size);
    LPVOID context = nullptr;
    DWORD done = 0;
    bool written = BackupWrite(file, header, sizeof header, &done, FALSE, TRUE, &context) &&
                   BackupWrite(file, descriptor.data(), size, &done, FALSE, TRUE, &context);
    DWORD error = GetLastError();
    BackupWrite(file, nullptr, 0, &done, TRUE, TRUE, &context);
    CloseHandle(file);
    if (!written) {
        fprintf(stderr, "BackupWrite failed: %lu\n", static_cast<unsigned long>(error));
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (!enableSecurityPrivilege()) {
        fprintf(stderr, "the security privilege cannot be enabled\n");
        return 1;
    }
    if (argc == 3 && strcmp(argv[1], "read") == 0)
        return read(argv[2]);
    if (argc == 4 && strcmp(argv[1], "write") == 0)
        return write(argv[2], argv[3]);
    fprintf(stderr, "usage: security_probe read <path> | write <path> <hex>\n");
    return 2;
}
