#include "support.h"

namespace conformance {

bool writeFile(const WString &path, const std::string &content)
{
    OwnedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return false;
    DWORD written = 0;
    return content.empty() ||
           (WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
            written == content.size());
}

bool readFile(const WString &path, std::string &content)
{
    OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.valid())
        return false;
    content.clear();
    char buffer[4096];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr))
            return false;
        if (read == 0)
            return true;
        content.append(buffer, read);
    }
}

long long fileSize(const WString &path)
{
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(path.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return -1;
    FindClose(search);
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool fileExists(const WString &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool enablePrivilege(const WCHAR *name)
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw))
        return false;
    OwnedHandle token(raw);
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid))
        return false;
    return AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr) &&
           GetLastError() == ERROR_SUCCESS;
}

}  // namespace conformance
