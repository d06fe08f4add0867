// The registry's narrow functions: keys, values and their size protocol, under
// HKEY_LOCAL_MACHINE\SOFTWARE (the run has administrative rights on both sides).
#include "../framework/support.h"

#include <cstring>

using namespace conformance;

namespace {

// A new key of the check's own: SOFTWARE\Conformance\<check>.
bool createCheckKey(Check &check, OwnedKey &key, REGSAM access = KEY_ALL_ACCESS)
{
    const std::string path = "SOFTWARE\\Conformance\\" + check.name();
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                           key.out(), nullptr) == ERROR_SUCCESS;
}

LONG setString(HKEY key, const char *name, const std::string &text, bool withTerminator = true)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                          static_cast<DWORD>(text.size() + (withTerminator ? 1 : 0)));
}

}  // namespace

CHECK(registry, predefined_keys_are_sign_extended)
{
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(HKEY_LOCAL_MACHINE), static_cast<ULONG_PTR>(0xFFFFFFFF80000002ull));
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT), static_cast<ULONG_PTR>(0xFFFFFFFF80000000ull));
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(HKEY_CURRENT_USER), static_cast<ULONG_PTR>(0xFFFFFFFF80000001ull));
}

CHECK(registry, create_says_whether_the_key_is_new)
{
    const std::string path = "SOFTWARE\\Conformance\\" + check.name() + "\\Deep\\Path";
    DWORD disposition = 0;
    OwnedKey first;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_READ, nullptr, first.out(),
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    OwnedKey second;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_READ, nullptr, second.out(),
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
}

CHECK(registry, names_of_keys_and_values_match_in_any_case)
{
    OwnedKey key;
    ASSERT_TRUE(createCheckKey(check, key));
    ASSERT_EQ(setString(key.get(), "MixedName", "value"), ERROR_SUCCESS);
    const std::string upper = "software\\CONFORMANCE\\" + check.name();
    OwnedKey again;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, upper.c_str(), 0, KEY_READ, again.out()), ERROR_SUCCESS);
    DWORD type = 0;
    char data[16] = {};
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(again.get(), "MIXEDNAME", nullptr, &type, reinterpret_cast<LPBYTE>(data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(data), std::string("value"));
}

CHECK(registry, a_missing_key_or_value_is_not_found)
{
    OwnedKey missing;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Conformance\\NoSuchKey\\Below", 0, KEY_READ, missing.out()),
              ERROR_FILE_NOT_FOUND);
    OwnedKey key;
    ASSERT_TRUE(createCheckKey(check, key));
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "NoSuchValue", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

CHECK(registry, a_query_without_a_buffer_gives_the_size)
{
    OwnedKey key;
    ASSERT_TRUE(createCheckKey(check, key));
    ASSERT_EQ(setString(key.get(), "Text", "hello"), ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "Text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(RegQueryValueExA(key.get(), "Text", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
}

CHECK(registry, a_small_buffer_gives_more_data_and_the_size)
{
    OwnedKey key;
    ASSERT_TRUE(createCheckKey(check, key));
    ASSERT_EQ(setString(key.get(), "Text", "hello"), ERROR_SUCCESS);
    const DWORD number = 0x12345678;
    ASSERT_EQ(RegSetValueExA(key.get(), "Number", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number), sizeof number),
              ERROR_SUCCESS);

    char data[16];
    DWORD size = 3;
    EXPECT_EQ(RegQueryValueExA(key.get(), "Text", nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    size = 6;
    EXPECT_EQ(RegQueryValueExA(key.get(), "Text", nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(data), std::string("hello"));

    size = 2;
    EXPECT_EQ(RegQueryValueExA(key.get(), "Number", nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    DWORD read = 0;
    size = sizeof read;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "Number", nullptr, &type, reinterpret_cast<LPBYTE>(&read), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(read, number);
}

CHECK(registry, a_buffer_without_a_size_is_an_invalid_parameter)
{
    OwnedKey key;
    ASSERT_TRUE(createCheckKey(check, key));
    ASSERT_EQ(setString(key.get(), "Text", "hello"), ERROR_SUCCESS);
    char data[16];
    EXPECT_EQ(RegQueryValueExA(key.get(), "Text", nullptr, nullptr, reinterpret_cast<LPBYTE>(data), nullptr),
              ERROR_INVALID_PARAMETER);
}

CHECK(registry, a_narrow_string_stored_without_its_terminator_gets_one)
{
    OwnedKey key;
    ASSERT_TRUE(createCheckKey(check, key));
    ASSERT_EQ(setString(key.get(), "Bare", "abc", false), ERROR_SUCCESS);
    char data[16];
    memset(data, 'x', sizeof data);
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key.get(), "Bare", nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::string(data, 4), std::string("abc\0", 4));

    // An empty one stays empty: no bytes at all.
    ASSERT_EQ(RegSetValueExA(key.get(), "Empty", 0, REG_SZ, reinterpret_cast<const BYTE *>(""), 0), ERROR_SUCCESS);
    size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key.get(), "Empty", nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
}

CHECK(registry, multi_strings_and_the_default_value_round_trip)
{
    OwnedKey key;
    ASSERT_TRUE(createCheckKey(check, key));
    const char multi[] = "one\0two\0";
    ASSERT_EQ(RegSetValueExA(key.get(), "List", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(multi), sizeof multi),
              ERROR_SUCCESS);
    char data[32];
    DWORD size = sizeof data;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "List", nullptr, &type, reinterpret_cast<LPBYTE>(data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(size, static_cast<DWORD>(sizeof multi));
    EXPECT_TRUE(memcmp(data, multi, sizeof multi) == 0);

    ASSERT_EQ(setString(key.get(), nullptr, "default"), ERROR_SUCCESS);
    size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key.get(), "", nullptr, &type, reinterpret_cast<LPBYTE>(data), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(data), std::string("default"));
}

CHECK(registry, a_key_opened_for_reading_refuses_writing)
{
    OwnedKey created;
    ASSERT_TRUE(createCheckKey(check, created));
    const std::string path = "SOFTWARE\\Conformance\\" + check.name();
    OwnedKey reader;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, reader.out()), ERROR_SUCCESS);
    EXPECT_EQ(setString(reader.get(), "Denied", "x"), ERROR_ACCESS_DENIED);
    OwnedKey writer;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, writer.out()), ERROR_SUCCESS);
    EXPECT_EQ(setString(writer.get(), "Allowed", "x"), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(writer.get(), "Allowed", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
}

CHECK(registry, a_closed_key_is_an_invalid_handle)
{
    OwnedKey key;
    ASSERT_TRUE(createCheckKey(check, key));
    HKEY closed = key.release();
    EXPECT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(closed), ERROR_INVALID_HANDLE);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(closed, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

CHECK(registry, an_empty_subkey_opens_the_key_itself)
{
    OwnedKey key;
    ASSERT_TRUE(createCheckKey(check, key));
    ASSERT_EQ(setString(key.get(), "Here", "yes"), ERROR_SUCCESS);
    OwnedKey same;
    ASSERT_EQ(RegOpenKeyExA(key.get(), "", 0, KEY_READ, same.out()), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(same.get(), "Here", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    OwnedKey viaNull;
    EXPECT_EQ(RegOpenKeyExA(key.get(), nullptr, 0, KEY_READ, viaNull.out()), ERROR_SUCCESS);
}
