// Enumeration of directories: FindFirstFileW, FindNextFileW, FindClose.
#include "../framework/support.h"

#include <map>

using namespace conformance;

namespace {

// Every entry of a search by name, or the error that ended it early.
struct Listing {
    DWORD firstError = 0;  // of FindFirstFileW, 0 when it found something
    DWORD endError = 0;    // of the FindNextFileW that ended the search
    std::map<WString, WIN32_FIND_DATAW> entries;
};

Listing list(const WString &pattern)
{
    Listing listing;
    WIN32_FIND_DATAW data;
    SetLastError(0xDEADBEEF);
    HANDLE search = FindFirstFileW(pattern.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) {
        listing.firstError = GetLastError();
        return listing;
    }
    do {
        listing.entries[data.cFileName] = data;
    } while (FindNextFileW(search, &data));
    listing.endError = GetLastError();
    FindClose(search);
    return listing;
}

unsigned long long sizeOf(const WIN32_FIND_DATAW &data)
{
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

CHECK(find, a_directory_lists_its_entries_with_dot_and_dot_dot_then_no_more_files)
{
    ASSERT_TRUE(writeFile(check.path(TEXT("five.txt")), "12345"));
    ASSERT_TRUE(writeFile(check.path(TEXT("empty.dat")), ""));
    ASSERT_TRUE(makeDirectory(check.path(TEXT("sub"))));
    Listing listing = list(check.path(TEXT("*")));
    ASSERT_EQ(listing.firstError, 0u);
    EXPECT_EQ(listing.endError, ERROR_NO_MORE_FILES);
    EXPECT_EQ(listing.entries.size(), 5u);
    for (const WCHAR *name : {TEXT("."), TEXT(".."), TEXT("sub")}) {
        auto entry = listing.entries.find(name);
        EXPECT_TRUE(entry != listing.entries.end());
        if (entry != listing.entries.end()) {
            EXPECT_EQ(entry->second.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY,
                      static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
            EXPECT_EQ(sizeOf(entry->second), 0u);
        }
    }
    auto five = listing.entries.find(TEXT("five.txt"));
    ASSERT_TRUE(five != listing.entries.end());
    EXPECT_EQ(sizeOf(five->second), 5u);
    EXPECT_EQ(five->second.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_TRUE(five->second.ftLastWriteTime.dwHighDateTime != 0);
    EXPECT_TRUE(listing.entries.count(TEXT("empty.dat")) == 1);
}

CHECK(find, patterns_select_names_in_any_case)
{
    ASSERT_TRUE(writeFile(check.path(TEXT("One.TXT")), "1"));
    ASSERT_TRUE(writeFile(check.path(TEXT("two.txt")), "2"));
    ASSERT_TRUE(writeFile(check.path(TEXT("three.log")), "3"));
    Listing texts = list(check.path(TEXT("*.txt")));
    ASSERT_EQ(texts.firstError, 0u);
    EXPECT_EQ(texts.entries.size(), 2u);
    EXPECT_TRUE(texts.entries.count(TEXT("One.TXT")) == 1);
    Listing single = list(check.path(TEXT("t??.*")));
    EXPECT_EQ(single.entries.size(), 1u);
    EXPECT_TRUE(single.entries.count(TEXT("two.txt")) == 1);
}

CHECK(find, a_name_without_wildcards_finds_that_entry_only)
{
    ASSERT_TRUE(makeDirectory(check.path(TEXT("sub"))));
    ASSERT_TRUE(writeFile(check.path(TEXT("sub\\inner.txt")), "inner"));
    Listing directory = list(check.path(TEXT("sub")));
    ASSERT_EQ(directory.firstError, 0u);
    EXPECT_EQ(directory.entries.size(), 1u);
    EXPECT_TRUE(directory.entries.count(TEXT("sub")) == 1);
    EXPECT_EQ(directory.endError, ERROR_NO_MORE_FILES);
    Listing file = list(check.path(TEXT("sub\\inner.txt")));
    EXPECT_EQ(file.entries.size(), 1u);
    if (!file.entries.empty())
        EXPECT_EQ(sizeOf(file.entries.begin()->second), 5u);
}

CHECK(find, nothing_found_is_file_not_found_and_a_missing_directory_path_not_found)
{
    ASSERT_TRUE(writeFile(check.path(TEXT("a.txt")), "a"));
    EXPECT_EQ(list(check.path(TEXT("*.none"))).firstError, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(list(check.path(TEXT("b.txt"))).firstError, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(list(check.path(TEXT("missing\\*"))).firstError, ERROR_PATH_NOT_FOUND);
    // A directory's path with a trailing separator names no entry to find.
    EXPECT_EQ(list(check.directory() + TEXT("\\")).firstError, ERROR_FILE_NOT_FOUND);
}

CHECK(find, a_drive_root_has_no_dot_entries)
{
    Listing root = list(TEXT("C:\\*"));
    ASSERT_EQ(root.firstError, 0u);
    EXPECT_TRUE(root.entries.count(TEXT(".")) == 0);
    EXPECT_TRUE(root.entries.count(TEXT("..")) == 0);
    EXPECT_TRUE(root.entries.count(TEXT("conformance")) == 1);
}

CHECK(find, an_ended_search_stays_ended)
{
    ASSERT_TRUE(writeFile(check.path(TEXT("only.txt")), "x"));
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(check.path(TEXT("only.txt")).c_str(), &data);
    ASSERT_TRUE(search != INVALID_HANDLE_VALUE);
    EXPECT_FAILS_WITH(FindNextFileW(search, &data), FALSE, ERROR_NO_MORE_FILES);
    EXPECT_FAILS_WITH(FindNextFileW(search, &data), FALSE, ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(search));
    EXPECT_FAILS_WITH(FindClose(INVALID_HANDLE_VALUE), FALSE, ERROR_INVALID_HANDLE);
}

CHECK(find, prefixed_long_paths_are_searched)
{
    const WString part(120, TEXT('e'));
    WString directory = TEXT("\\\\?\\") + check.directory();
    for (int i = 0; i < 2; ++i) {
        directory += TEXT("\\") + part;
        ASSERT_TRUE(makeDirectory(directory));
    }
    ASSERT_TRUE(writeFile(directory + TEXT("\\deep.txt"), "deep"));
    ASSERT_TRUE(directory.size() > MAX_PATH);
    Listing listing = list(directory + TEXT("\\*"));
    ASSERT_EQ(listing.firstError, 0u);
    EXPECT_TRUE(listing.entries.count(TEXT("deep.txt")) == 1);
}

CHECK(find, the_narrow_search_lists_the_same_entries)
{
    ASSERT_TRUE(writeFile(check.path(TEXT("three.txt")), "333"));
    ASSERT_TRUE(makeDirectory(check.path(TEXT("sub"))));
    const std::string pattern = utf8(check.path(TEXT("*")));
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern.c_str(), &data);
    ASSERT_TRUE(search != INVALID_HANDLE_VALUE);
    std::map<std::string, WIN32_FIND_DATAA> entries;
    do {
        entries[data.cFileName] = data;
    } while (FindNextFileA(search, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    FindClose(search);
    EXPECT_EQ(entries.size(), 4u);
    EXPECT_TRUE(entries.count(".") == 1 && entries.count("..") == 1 && entries.count("sub") == 1);
    auto three = entries.find("three.txt");
    ASSERT_TRUE(three != entries.end());
    EXPECT_EQ(three->second.nFileSizeLow, 3u);
    EXPECT_EQ(three->second.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));

    EXPECT_FAILS_WITH(FindFirstFileA(utf8(check.path(TEXT("*.none"))).c_str(), &data), INVALID_HANDLE_VALUE,
                      ERROR_FILE_NOT_FOUND);
}
