// Files: CreateFileW dispositions, access and sharing, attributes, directories, long paths,
// enumeration, free space, reads and writes.
#include "../framework/support.h"

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace conformance;

namespace {

HANDLE open(const WString &path, DWORD access, DWORD share, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL)
{
    return CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Four openers at once ask for a missing file with OPEN_ALWAYS, then with CREATE_ALWAYS, 20 times
// each; gives, for each race, how many openers succeeded.
std::vector<int> raceToMakeFiles(Check &check)
{
    std::vector<int> outcomes;
    for (DWORD disposition : {static_cast<DWORD>(OPEN_ALWAYS), static_cast<DWORD>(CREATE_ALWAYS)}) {
        for (int round = 0; round < 20; ++round) {
            const std::string name =
                "race" + std::to_string(round) + (disposition == OPEN_ALWAYS ? ".open" : ".create");
            const WString file = check.path(widen(name));
            constexpr int kOpeners = 4;
            std::atomic<int> ready{0};
            std::vector<HANDLE> handles(kOpeners, INVALID_HANDLE_VALUE);
            std::vector<std::thread> openers;
            for (int i = 0; i < kOpeners; ++i) {
                openers.emplace_back([&, i] {
                    ready.fetch_add(1);
                    while (ready.load() < kOpeners)
                        std::this_thread::yield();
                    handles[i] = open(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, disposition);
                });
            }
            for (std::thread &opener : openers)
                opener.join();
            int opened = 0;
            for (HANDLE handle : handles) {
                if (handle != INVALID_HANDLE_VALUE) {
                    ++opened;
                    CloseHandle(handle);
                }
            }
            outcomes.push_back(opened);
        }
    }
    return outcomes;
}

}  // namespace

CHECK(files, create_new_makes_a_file_and_refuses_an_existing_one)
{
    const WString file = check.path(TEXT("new.txt"));
    SetLastError(0xDEADBEEF);
    OwnedHandle created(open(file, GENERIC_WRITE, 0, CREATE_NEW));
    ASSERT_TRUE(created.valid());
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    created.reset();
    EXPECT_FAILS_WITH(open(file, GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE, ERROR_FILE_EXISTS);
}

CHECK(files, create_always_truncates_an_existing_file_and_says_it_existed)
{
    const WString file = check.path(TEXT("data.txt"));
    ASSERT_TRUE(writeFile(file, "hello"));
    SetLastError(0xDEADBEEF);
    OwnedHandle replaced(open(file, GENERIC_WRITE, 0, CREATE_ALWAYS));
    ASSERT_TRUE(replaced.valid());
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    replaced.reset();
    EXPECT_EQ(fileSize(file), 0);

    SetLastError(0xDEADBEEF);
    OwnedHandle fresh(open(check.path(TEXT("fresh.txt")), GENERIC_WRITE, 0, CREATE_ALWAYS));
    ASSERT_TRUE(fresh.valid());
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
}

CHECK(files, open_always_creates_or_opens_and_says_which)
{
    const WString file = check.path(TEXT("either.txt"));
    SetLastError(0xDEADBEEF);
    OwnedHandle created(open(file, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS));
    ASSERT_TRUE(created.valid());
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(created.get(), "abc", 3, &written, nullptr));
    created.reset();

    SetLastError(0xDEADBEEF);
    OwnedHandle opened(open(file, GENERIC_READ, 0, OPEN_ALWAYS));
    ASSERT_TRUE(opened.valid());
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    opened.reset();
    EXPECT_EQ(fileSize(file), 3);
}

// Opening a file that exists and making one that does not are one step. (Windows also tells
// exactly one of them that it made the file; Wine decides that from a look taken before its open,
// so two may say so, now and then: the stand-in's own tests check that part.)
CHECK(files, openers_racing_to_make_a_file_all_succeed)
{
    for (int opened : raceToMakeFiles(check))
        EXPECT_EQ(opened, 4);
}

CHECK(files, open_existing_tells_a_missing_file_from_a_missing_directory)
{
    EXPECT_FAILS_WITH(open(check.path(TEXT("missing.txt")), GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE,
                      ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS_WITH(open(check.path(TEXT("missing\\file.txt")), GENERIC_READ, 0, OPEN_EXISTING),
                      INVALID_HANDLE_VALUE, ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS_WITH(open(check.path(TEXT("missing\\file.txt")), GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE,
                      ERROR_PATH_NOT_FOUND);
}

CHECK(files, truncate_existing_needs_write_access_and_an_existing_file)
{
    const WString file = check.path(TEXT("data.txt"));
    ASSERT_TRUE(writeFile(file, "hello"));
    EXPECT_FAILS_WITH(open(file, GENERIC_READ, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(fileSize(file), 5);
    OwnedHandle truncated(open(file, GENERIC_WRITE, 0, TRUNCATE_EXISTING));
    EXPECT_TRUE(truncated.valid());
    truncated.reset();
    EXPECT_EQ(fileSize(file), 0);
    EXPECT_FAILS_WITH(open(check.path(TEXT("missing.txt")), GENERIC_WRITE, 0, TRUNCATE_EXISTING),
                      INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
}

CHECK(files, an_unknown_disposition_is_an_invalid_parameter)
{
    EXPECT_FAILS_WITH(open(check.path(TEXT("a.txt")), GENERIC_WRITE, 0, 0), INVALID_HANDLE_VALUE,
                      ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(open(check.path(TEXT("a.txt")), GENERIC_WRITE, 0, 6), INVALID_HANDLE_VALUE,
                      ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(fileExists(check.path(TEXT("a.txt"))));
}

CHECK(files, a_second_open_must_share_what_the_first_does_and_the_first_must_share_it)
{
    const WString file = check.path(TEXT("shared.txt"));
    ASSERT_TRUE(writeFile(file, "content"));
    {
        OwnedHandle reader(open(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
        ASSERT_TRUE(reader.valid());
        OwnedHandle secondReader(open(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
        EXPECT_TRUE(secondReader.valid());
        // The first does not share writing.
        EXPECT_FAILS_WITH(open(file, GENERIC_WRITE, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE,
                          ERROR_SHARING_VIOLATION);
    }
    {
        OwnedHandle writer(open(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
        ASSERT_TRUE(writer.valid());
        // The second does not share the writing that the first already does.
        EXPECT_FAILS_WITH(open(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE,
                          ERROR_SHARING_VIOLATION);
        OwnedHandle reader(open(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
        EXPECT_TRUE(reader.valid());
    }
    {
        OwnedHandle exclusive(open(file, GENERIC_READ, 0, OPEN_EXISTING));
        ASSERT_TRUE(exclusive.valid());
        EXPECT_FAILS_WITH(open(file, GENERIC_READ, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE,
                          ERROR_SHARING_VIOLATION);
        EXPECT_FAILS_WITH(open(file, DELETE, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION);
        // Reading attributes touches no data: it never conflicts.
        OwnedHandle attributes(open(file, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING));
        EXPECT_TRUE(attributes.valid());
    }
    OwnedHandle afterwards(open(file, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING));
    EXPECT_TRUE(afterwards.valid());
}

CHECK(files, sharing_is_checked_when_replacing_and_truncating)
{
    const WString file = check.path(TEXT("busy.txt"));
    ASSERT_TRUE(writeFile(file, "content"));
    OwnedHandle reader(open(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    ASSERT_TRUE(reader.valid());
    EXPECT_FAILS_WITH(open(file, GENERIC_WRITE, kShareAll, CREATE_ALWAYS), INVALID_HANDLE_VALUE,
                      ERROR_SHARING_VIOLATION);
    EXPECT_FAILS_WITH(open(file, GENERIC_WRITE, kShareAll, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE,
                      ERROR_SHARING_VIOLATION);
    reader.reset();
    EXPECT_EQ(fileSize(file), 7);
}

CHECK(files, a_directory_opens_only_with_backup_semantics)
{
    const WString directory = check.directory();
    EXPECT_FAILS_WITH(open(directory, GENERIC_READ, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE,
                      ERROR_ACCESS_DENIED);
    OwnedHandle opened(open(directory, GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
    EXPECT_TRUE(opened.valid());
    OwnedHandle withSeparator(
        open(directory + TEXT("\\"), GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
    EXPECT_TRUE(withSeparator.valid());
    EXPECT_FAILS_WITH(open(directory, GENERIC_READ, kShareAll, CREATE_NEW, FILE_FLAG_BACKUP_SEMANTICS),
                      INVALID_HANDLE_VALUE, ERROR_FILE_EXISTS);
}

CHECK(files, create_always_replaces_a_file_opened_for_reading_only)
{
    // Replacing implies the right to write the data, whatever access the caller asks for.
    const WString file = check.path(TEXT("data.txt"));
    ASSERT_TRUE(writeFile(file, "hello"));
    SetLastError(0xDEADBEEF);
    OwnedHandle replaced(open(file, GENERIC_READ, 0, CREATE_ALWAYS));
    ASSERT_TRUE(replaced.valid());
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    replaced.reset();
    EXPECT_EQ(fileSize(file), 0);
}

CHECK(files, a_read_only_file_refuses_writing_and_replacing)
{
    const WString file = check.path(TEXT("locked.txt"));
    ASSERT_TRUE(writeFile(file, "keep"));
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FAILS_WITH(open(file, GENERIC_WRITE, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
    EXPECT_FAILS_WITH(open(file, GENERIC_READ, kShareAll, CREATE_ALWAYS), INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
    EXPECT_FAILS_WITH(open(file, GENERIC_WRITE, kShareAll, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE,
                      ERROR_ACCESS_DENIED);
    OwnedHandle reader(open(file, GENERIC_READ, kShareAll, OPEN_EXISTING));
    EXPECT_TRUE(reader.valid());
    reader.reset();
    EXPECT_EQ(fileSize(file), 4);
    EXPECT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL));
}

CHECK(files, create_always_keeps_a_hidden_file_only_when_asked_for_hidden)
{
    const WString file = check.path(TEXT("hidden.txt"));
    ASSERT_TRUE(writeFile(file, "secret"));
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_FAILS_WITH(open(file, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL), INVALID_HANDLE_VALUE,
                      ERROR_ACCESS_DENIED);
    OwnedHandle replaced(open(file, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN));
    EXPECT_TRUE(replaced.valid());
    replaced.reset();
    EXPECT_EQ(GetFileAttributesW(file.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
}

CHECK(files, new_files_are_archive_and_set_attributes_replace_the_old)
{
    const WString plain = check.path(TEXT("plain.txt"));
    OwnedHandle created(open(plain, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(created.valid());
    created.reset();
    EXPECT_EQ(GetFileAttributesW(plain.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));

    const WString system = check.path(TEXT("system.txt"));
    OwnedHandle withAttributes(open(system, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(withAttributes.valid());
    withAttributes.reset();
    EXPECT_EQ(GetFileAttributesW(system.c_str()),
              static_cast<DWORD>(FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));

    EXPECT_TRUE(SetFileAttributesW(plain.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(GetFileAttributesW(plain.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_TRUE(SetFileAttributesW(plain.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesW(plain.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
}

CHECK(files, a_directory_keeps_its_directory_attribute)
{
    const WString directory = check.directory();
    EXPECT_EQ(GetFileAttributesW(directory.c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_TRUE(SetFileAttributesW(directory.c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(GetFileAttributesW(directory.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_TRUE(SetFileAttributesW(directory.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesW(directory.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

CHECK(files, attributes_of_missing_paths_tell_file_from_directory)
{
    EXPECT_FAILS_WITH(GetFileAttributesW(check.path(TEXT("missing.txt")).c_str()), INVALID_FILE_ATTRIBUTES,
                      ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS_WITH(GetFileAttributesW(check.path(TEXT("missing\\file.txt")).c_str()), INVALID_FILE_ATTRIBUTES,
                      ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS_WITH(SetFileAttributesW(check.path(TEXT("missing.txt")).c_str(), FILE_ATTRIBUTE_HIDDEN), FALSE,
                      ERROR_FILE_NOT_FOUND);
}

CHECK(files, names_match_in_any_case_and_keep_their_own)
{
    ASSERT_TRUE(writeFile(check.path(TEXT("MixedCase.txt")), "x"));
    OwnedHandle opened(open(check.path(TEXT("MIXEDCASE.TXT")), GENERIC_READ, kShareAll, OPEN_EXISTING));
    EXPECT_TRUE(opened.valid());
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(check.path(TEXT("mixedcase.txt")).c_str(), &data);
    ASSERT_TRUE(search != INVALID_HANDLE_VALUE);
    FindClose(search);
    EXPECT_EQ(WString(data.cFileName), W(TEXT("MixedCase.txt")));
}

CHECK(files, a_separator_after_a_file_name_makes_the_name_invalid)
{
    const WString file = check.path(TEXT("file.txt"));
    ASSERT_TRUE(writeFile(file, "x"));
    EXPECT_FAILS_WITH(open(file + TEXT("\\"), GENERIC_READ, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE,
                      ERROR_INVALID_NAME);
}

CHECK(files, long_paths_need_the_prefix)
{
    // Nested directories of 100 units make a path of more than MAX_PATH units.
    const WString part(100, TEXT('d'));
    WString prefixed = TEXT("\\\\?\\") + check.directory();
    WString plain = check.directory();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(makeDirectory(prefixed + TEXT("\\") + part));
        prefixed += TEXT("\\") + part;
        plain += TEXT("\\") + part;
    }
    const WString name = TEXT("\\long.txt");
    ASSERT_TRUE(plain.size() + name.size() > MAX_PATH);

    OwnedHandle created(open(prefixed + name, GENERIC_WRITE, 0, CREATE_NEW));
    ASSERT_TRUE(created.valid());
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(created.get(), "long", 4, &written, nullptr));
    created.reset();
    EXPECT_EQ(GetFileAttributesW((prefixed + name).c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(fileSize(prefixed + name), 4);

    // Without it the path cannot be converted: Windows reports the path not found (some
    // versions, the name too long).
    SetLastError(0xDEADBEEF);
    OwnedHandle unprefixed(open(plain + name, GENERIC_READ, kShareAll, OPEN_EXISTING));
    const DWORD error = GetLastError();
    EXPECT_FALSE(unprefixed.valid());
    EXPECT_TRUE(error == ERROR_PATH_NOT_FOUND || error == ERROR_FILENAME_EXCED_RANGE);
}

CHECK(files, prefixed_paths_take_no_forward_slashes)
{
    // \\?\ passes the path on unparsed: "/" is no separator there, and no name holds one.
    ASSERT_TRUE(makeDirectory(check.path(TEXT("sub"))));
    ASSERT_TRUE(writeFile(check.path(TEXT("sub\\file.txt")), "x"));
    const WString prefixed = TEXT("\\\\?\\") + check.directory();
    EXPECT_EQ(GetFileAttributesW((prefixed + TEXT("\\sub\\file.txt")).c_str()),
              static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_FAILS_WITH(GetFileAttributesW((prefixed + TEXT("\\sub/file.txt")).c_str()), INVALID_FILE_ATTRIBUTES,
                      ERROR_INVALID_NAME);
    // Without the prefix both separators work.
    EXPECT_EQ(GetFileAttributesW((check.directory() + TEXT("/sub/file.txt")).c_str()),
              static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
}

CHECK(files, reads_stop_at_the_end_and_handles_keep_to_their_access)
{
    const WString file = check.path(TEXT("data.txt"));
    ASSERT_TRUE(writeFile(file, "abc"));
    char buffer[8] = {};
    DWORD count = 99;
    {
        OwnedHandle reader(open(file, GENERIC_READ, kShareAll, OPEN_EXISTING));
        ASSERT_TRUE(reader.valid());
        EXPECT_TRUE(ReadFile(reader.get(), buffer, sizeof buffer, &count, nullptr));
        EXPECT_EQ(count, 3u);
        count = 99;
        EXPECT_TRUE(ReadFile(reader.get(), buffer, sizeof buffer, &count, nullptr));
        EXPECT_EQ(count, 0u);
        EXPECT_FAILS_WITH(WriteFile(reader.get(), "x", 1, &count, nullptr), FALSE, ERROR_ACCESS_DENIED);
    }
    {
        OwnedHandle writer(open(file, GENERIC_WRITE, kShareAll, OPEN_EXISTING));
        ASSERT_TRUE(writer.valid());
        EXPECT_FAILS_WITH(ReadFile(writer.get(), buffer, sizeof buffer, &count, nullptr), FALSE, ERROR_ACCESS_DENIED);
        EXPECT_TRUE(WriteFile(writer.get(), "X", 1, &count, nullptr));
        EXPECT_EQ(count, 1u);
    }
    std::string content;
    EXPECT_TRUE(readFile(file, content));
    EXPECT_EQ(content, std::string("Xbc"));
}

CHECK(files, a_closed_handle_is_invalid)
{
    HANDLE file = open(check.path(TEXT("a.txt")), GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_TRUE(file != INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(file));
    DWORD written = 0;
    EXPECT_FAILS_WITH(WriteFile(file, "x", 1, &written, nullptr), FALSE, ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(CloseHandle(file), FALSE, ERROR_INVALID_HANDLE);
}

CHECK(files, free_space_of_a_directory_its_drive_and_a_missing_path)
{
    ULARGE_INTEGER available{}, total{}, free{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(check.directory().c_str(), &available, &total, &free));
    EXPECT_TRUE(total.QuadPart > 0);
    EXPECT_TRUE(free.QuadPart <= total.QuadPart);
    EXPECT_TRUE(available.QuadPart <= free.QuadPart);
    ULARGE_INTEGER rootTotal{};
    EXPECT_TRUE(GetDiskFreeSpaceExW(TEXT("C:\\"), nullptr, &rootTotal, nullptr));
    EXPECT_EQ(rootTotal.QuadPart, total.QuadPart);
    EXPECT_TRUE(GetDiskFreeSpaceExW(nullptr, &available, nullptr, nullptr));
    // The directory is opened as a file is: a missing last name is a file not found.
    EXPECT_FAILS_WITH(GetDiskFreeSpaceExW(check.path(TEXT("missing\\")).c_str(), &available, &total, &free), FALSE,
                      ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS_WITH(GetDiskFreeSpaceExW(check.path(TEXT("missing\\deeper\\")).c_str(), &available, &total, &free),
                      FALSE, ERROR_PATH_NOT_FOUND);
    ASSERT_TRUE(writeFile(check.path(TEXT("file.txt")), "x"));
    EXPECT_FAILS_WITH(GetDiskFreeSpaceExW(check.path(TEXT("file.txt")).c_str(), &available, &total, &free), FALSE,
                      ERROR_DIRECTORY);
}
