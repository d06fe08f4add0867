// COM initialisation per thread, the task allocator and BSTRs.
#include "../framework/support.h"

#include <objbase.h>
#include <oleauto.h>

#include <cstring>
#include <thread>

using namespace conformance;

CHECK(com, initialisation_is_counted_per_thread_and_keeps_its_model)
{
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);

    HRESULT otherFirst = E_FAIL;
    HRESULT otherSecond = E_FAIL;
    HRESULT otherChanged = E_FAIL;
    std::thread other([&] {
        otherFirst = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        otherSecond = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        otherChanged = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        CoUninitialize();
        if (SUCCEEDED(otherFirst))
            CoUninitialize();
    });
    other.join();
    EXPECT_EQ(otherFirst, S_OK);
    EXPECT_EQ(otherSecond, S_FALSE);
    EXPECT_EQ(otherChanged, RPC_E_CHANGED_MODE);

    // Two initialisations succeeded here (the refused one does not count): two ends.
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
}

CHECK(com, the_task_allocator_gives_a_block_even_for_zero_bytes)
{
    void *empty = CoTaskMemAlloc(0);
    EXPECT_TRUE(empty != nullptr);
    CoTaskMemFree(empty);
    CoTaskMemFree(nullptr);
    auto *block = static_cast<char *>(CoTaskMemAlloc(100));
    ASSERT_TRUE(block != nullptr);
    memset(block, 'a', 100);
    CoTaskMemFree(block);
}

CHECK(com, a_bstr_is_prefixed_by_its_byte_length_and_terminated)
{
    BSTR text = SysAllocString(TEXT("abc"));
    ASSERT_TRUE(text != nullptr);
    EXPECT_EQ(SysStringLen(text), 3u);
    uint32_t prefix = 0;
    memcpy(&prefix, reinterpret_cast<const char *>(text) - sizeof prefix, sizeof prefix);
    EXPECT_EQ(prefix, 6u);
    EXPECT_EQ(text[3], WCHAR(0));
    SysFreeString(text);

    const WCHAR withNul[] = {'a', 0, 'b'};
    BSTR counted = SysAllocStringLen(withNul, 3);
    ASSERT_TRUE(counted != nullptr);
    EXPECT_EQ(SysStringLen(counted), 3u);
    EXPECT_EQ(counted[2], WCHAR('b'));
    EXPECT_EQ(counted[3], WCHAR(0));
    SysFreeString(counted);

    BSTR blank = SysAllocStringLen(nullptr, 4);
    ASSERT_TRUE(blank != nullptr);
    EXPECT_EQ(SysStringLen(blank), 4u);
    EXPECT_EQ(blank[4], WCHAR(0));
    SysFreeString(blank);
}

CHECK(com, a_null_bstr_is_the_empty_string)
{
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_TRUE(SysAllocString(nullptr) == nullptr);
    SysFreeString(nullptr);
    BSTR empty = SysAllocString(TEXT(""));
    ASSERT_TRUE(empty != nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    SysFreeString(empty);
}
