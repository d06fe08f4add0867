// The registry's wide functions: size protocols in bytes and characters, enumeration and its
// order, deletion, the root keys of the user and of the classes.
#include "../framework/support.h"

#include <cstring>
#include <vector>

using namespace conformance;

namespace {

WString checkKeyPath(Check &check)
{
    return TEXT("SOFTWARE\\ConformanceWide\\") + widen(check.name());
}

bool createKey(HKEY root, const WString &path, OwnedKey &key, REGSAM access = KEY_ALL_ACCESS)
{
    return RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, key.out(),
                           nullptr) == ERROR_SUCCESS;
}

LONG setText(HKEY key, const WCHAR *name, const WString &text, DWORD bytes)
{
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()), bytes);
}

DWORD bytesOf(const WString &text)
{
    return static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR));
}

}  // namespace

CHECK(registry_wide, a_query_gives_the_size_in_bytes_and_more_data_when_short)
{
    OwnedKey key;
    ASSERT_TRUE(createKey(HKEY_LOCAL_MACHINE, checkKeyPath(check), key));
    const WString text = TEXT("hello");
    ASSERT_EQ(setText(key.get(), TEXT("Text"), text, bytesOf(text)), ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key.get(), TEXT("Text"), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 12u);
    WCHAR data[16];
    size = 6;
    EXPECT_EQ(RegQueryValueExW(key.get(), TEXT("Text"), nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 12u);
    size = sizeof data;
    EXPECT_EQ(RegQueryValueExW(key.get(), TEXT("Text"), nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(WString(data), text);
}

CHECK(registry_wide, a_string_whose_terminator_was_not_counted_gets_it)
{
    OwnedKey key;
    ASSERT_TRUE(createKey(HKEY_LOCAL_MACHINE, checkKeyPath(check), key));
    const WString text = TEXT("abc");
    ASSERT_EQ(setText(key.get(), TEXT("Uncounted"), text, 6), ERROR_SUCCESS);
    WCHAR data[8];
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExW(key.get(), TEXT("Uncounted"), nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(WString(data, 4), WString(text.c_str(), 4));

    // No text at all stays no bytes at all.
    ASSERT_EQ(RegSetValueExW(key.get(), TEXT("Empty"), 0, REG_SZ, nullptr, 0), ERROR_SUCCESS);
    size = sizeof data;
    EXPECT_EQ(RegQueryValueExW(key.get(), TEXT("Empty"), nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
}

CHECK(registry_wide, subkeys_enumerate_in_upper_case_order_with_counted_names)
{
    OwnedKey key;
    ASSERT_TRUE(createKey(HKEY_LOCAL_MACHINE, checkKeyPath(check), key));
    for (const WCHAR *name : {TEXT("b"), TEXT("_under"), TEXT("A"), TEXT("c")}) {
        OwnedKey subkey;
        ASSERT_TRUE(createKey(key.get(), name, subkey));
    }
    WString names;
    for (DWORD index = 0;; ++index) {
        WCHAR name[64];
        DWORD length = 64;
        LONG result = RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(result, ERROR_SUCCESS);
        EXPECT_EQ(static_cast<size_t>(length), WString(name).size());
        names += WString(name) + TEXT(" ");
        ASSERT_TRUE(index < 10);
    }
    // '_' (0x5F) sorts after the upper-case letters and before the lower-case ones.
    EXPECT_EQ(names, W(TEXT("A b c _under ")));

    WCHAR small[4];
    DWORD length = 4;
    EXPECT_EQ(RegEnumKeyExW(key.get(), 3, small, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
}

CHECK(registry_wide, values_enumerate_with_their_sizes_and_then_no_more_items)
{
    OwnedKey key;
    ASSERT_TRUE(createKey(HKEY_LOCAL_MACHINE, checkKeyPath(check), key));
    const WString text = TEXT("data");
    ASSERT_EQ(setText(key.get(), TEXT("Name"), text, bytesOf(text)), ERROR_SUCCESS);
    WCHAR name[32];
    DWORD nameLength = 32;
    DWORD type = 0;
    BYTE data[32];
    DWORD size = sizeof data;
    ASSERT_EQ(RegEnumValueW(key.get(), 0, name, &nameLength, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(WString(name), W(TEXT("Name")));
    EXPECT_EQ(nameLength, 4u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 10u);

    nameLength = 4;  // no room for the terminator
    size = sizeof data;
    EXPECT_EQ(RegEnumValueW(key.get(), 0, name, &nameLength, nullptr, nullptr, data, &size), ERROR_MORE_DATA);
    nameLength = 32;
    size = 4;
    EXPECT_EQ(RegEnumValueW(key.get(), 0, name, &nameLength, nullptr, nullptr, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 10u);
    nameLength = 32;
    EXPECT_EQ(RegEnumValueW(key.get(), 1, name, &nameLength, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

CHECK(registry_wide, a_key_with_subkeys_is_not_deleted_and_a_deleted_keys_handle_fails)
{
    const WString path = checkKeyPath(check);
    OwnedKey parent;
    ASSERT_TRUE(createKey(HKEY_LOCAL_MACHINE, path, parent));
    OwnedKey child;
    ASSERT_TRUE(createKey(parent.get(), TEXT("Child"), child));
    OwnedKey grandchild;
    ASSERT_TRUE(createKey(child.get(), TEXT("Grandchild"), grandchild));
    EXPECT_EQ(RegDeleteKeyW(parent.get(), TEXT("Child")), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(child.get(), TEXT("Grandchild")), ERROR_SUCCESS);
    const WString text = TEXT("x");
    EXPECT_EQ(setText(grandchild.get(), TEXT("Late"), text, bytesOf(text)), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKeyW(parent.get(), TEXT("Child")), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(parent.get(), TEXT("Child")), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(parent.get(), TEXT("NoSuchValue")), ERROR_FILE_NOT_FOUND);
}

CHECK(registry_wide, the_current_user_has_a_key_of_its_own)
{
    OwnedKey key;
    ASSERT_TRUE(createKey(HKEY_CURRENT_USER, TEXT("Software\\ConformanceWide"), key));
    const WString text = TEXT("mine");
    ASSERT_EQ(setText(key.get(), TEXT("Owner"), text, bytesOf(text)), ERROR_SUCCESS);
    OwnedKey again;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("software\\conformancewide"), 0, KEY_READ, again.out()),
              ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(again.get(), TEXT("Owner"), nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, bytesOf(text));
}

CHECK(registry_wide, the_classes_root_shows_the_machines_classes)
{
    OwnedKey machine;
    ASSERT_TRUE(createKey(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Classes\\Conformance.Machine"), machine));
    const WString text = TEXT("machine");
    ASSERT_EQ(setText(machine.get(), nullptr, text, bytesOf(text)), ERROR_SUCCESS);
    OwnedKey classes;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, TEXT("Conformance.Machine"), 0, KEY_READ, classes.out()),
              ERROR_SUCCESS);
    WCHAR data[16];
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExW(classes.get(), nullptr, nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(WString(data), text);
}

CHECK(registry_wide, the_users_classes_hide_the_machines)
{
    OwnedKey machine;
    ASSERT_TRUE(createKey(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Classes\\Conformance.Both"), machine));
    const WString machineText = TEXT("machine");
    ASSERT_EQ(setText(machine.get(), nullptr, machineText, bytesOf(machineText)), ERROR_SUCCESS);
    OwnedKey user;
    ASSERT_TRUE(createKey(HKEY_CURRENT_USER, TEXT("Software\\Classes\\Conformance.Both"), user));
    const WString userText = TEXT("user");
    ASSERT_EQ(setText(user.get(), nullptr, userText, bytesOf(userText)), ERROR_SUCCESS);
    OwnedKey classes;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, TEXT("Conformance.Both"), 0, KEY_READ, classes.out()), ERROR_SUCCESS);
    WCHAR data[16];
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExW(classes.get(), nullptr, nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(WString(data), userText);
}
