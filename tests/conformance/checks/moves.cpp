// Moves: MoveFileExW within a directory, replacing, sharing, and moves at restart recorded in
// PendingFileRenameOperations.
#include "../framework/support.h"

#include <vector>

using namespace conformance;

namespace {

// The strings of PendingFileRenameOperations, in order; empty when the value is absent.
std::vector<WString> pendingOperations()
{
    OwnedKey key;
    std::vector<WString> strings;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SYSTEM\\CurrentControlSet\\Control\\Session Manager"), 0, KEY_READ,
                      key.out()) != ERROR_SUCCESS)
        return strings;
    DWORD size = 0;
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), TEXT("PendingFileRenameOperations"), nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS ||
        type != REG_MULTI_SZ)
        return strings;
    std::vector<WCHAR> data(size / sizeof(WCHAR) + 2, 0);
    if (RegQueryValueExW(key.get(), TEXT("PendingFileRenameOperations"), nullptr, nullptr,
                         reinterpret_cast<LPBYTE>(data.data()), &size) != ERROR_SUCCESS)
        return strings;
    // Pairs of strings, each ended by a NUL; the value ends with one more. An empty string is
    // the target of a deletion, so the list is read pairwise up to the data's size.
    const size_t units = size / sizeof(WCHAR);
    size_t at = 0;
    while (at < units) {
        WString text(data.data() + at);
        if (text.empty() && strings.size() % 2 == 0)
            break;  // the final NUL
        strings.push_back(text);
        at += text.size() + 1;
    }
    return strings;
}

}  // namespace

CHECK(moves, a_move_renames_and_refuses_to_replace_unless_asked)
{
    const WString source = check.path(TEXT("source.txt"));
    const WString target = check.path(TEXT("target.txt"));
    ASSERT_TRUE(writeFile(source, "moved"));
    ASSERT_SUCCEEDS(MoveFileExW(source.c_str(), target.c_str(), 0));
    EXPECT_FALSE(fileExists(source));
    std::string content;
    EXPECT_TRUE(readFile(target, content));
    EXPECT_EQ(content, std::string("moved"));

    ASSERT_TRUE(writeFile(source, "newer"));
    EXPECT_FAILS_WITH(MoveFileExW(source.c_str(), target.c_str(), 0), FALSE, ERROR_ALREADY_EXISTS);
    EXPECT_SUCCEEDS(MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_TRUE(readFile(target, content));
    EXPECT_EQ(content, std::string("newer"));
    EXPECT_FAILS_WITH(MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING), FALSE,
                      ERROR_FILE_NOT_FOUND);
}

CHECK(moves, a_file_open_without_delete_sharing_does_not_move)
{
    const WString source = check.path(TEXT("busy.txt"));
    ASSERT_TRUE(writeFile(source, "busy"));
    OwnedHandle open(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(open.valid());
    EXPECT_FAILS_WITH(MoveFileExW(source.c_str(), check.path(TEXT("moved.txt")).c_str(), 0), FALSE,
                      ERROR_SHARING_VIOLATION);
    open.reset();
    EXPECT_SUCCEEDS(MoveFileExW(source.c_str(), check.path(TEXT("moved.txt")).c_str(), 0));
}

CHECK(moves, moves_at_restart_are_recorded_in_windows_layout)
{
    const WString source = check.path(TEXT("later.txt"));
    const WString target = check.path(TEXT("renamed.txt"));
    const WString doomed = check.path(TEXT("doomed.txt"));
    ASSERT_TRUE(writeFile(source, "later"));
    ASSERT_TRUE(writeFile(doomed, "doomed"));
    const size_t before = pendingOperations().size();
    ASSERT_SUCCEEDS(MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
    ASSERT_SUCCEEDS(MoveFileExW(doomed.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    // Nothing moves before the restart.
    EXPECT_TRUE(fileExists(source));
    EXPECT_TRUE(fileExists(doomed));
    EXPECT_FALSE(fileExists(target));

    const std::vector<WString> operations = pendingOperations();
    ASSERT_EQ(operations.size(), before + 4);
    EXPECT_EQ(operations[before], TEXT("\\??\\") + source);
    EXPECT_EQ(operations[before + 1], TEXT("!\\??\\") + target);
    EXPECT_EQ(operations[before + 2], TEXT("\\??\\") + doomed);
    EXPECT_EQ(operations[before + 3], WString());
}

CHECK(moves, a_move_at_restart_cannot_be_a_copy)
{
    const WString source = check.path(TEXT("later.txt"));
    ASSERT_TRUE(writeFile(source, "later"));
    EXPECT_FAILS_WITH(MoveFileExW(source.c_str(), check.path(TEXT("copied.txt")).c_str(),
                                  MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED),
                      FALSE, ERROR_INVALID_PARAMETER);
}
