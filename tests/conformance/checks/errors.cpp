// Error codes: the thread's last error and the system message table's protocol (the texts are
// each implementation's own wording, so only their form is checked).
#include "../framework/support.h"

#include <atomic>
#include <cstring>
#include <thread>

using namespace conformance;

CHECK(errors, the_last_error_belongs_to_the_thread)
{
    // The threads meet on atomics, so that no call between setting and reading a code could
    // change it (starting and joining a thread may).
    std::atomic<int> step{0};
    DWORD otherInitially = 0xDEADBEEF;
    DWORD otherAfterwards = 0xDEADBEEF;
    std::thread other([&] {
        otherInitially = GetLastError();
        SetLastError(ERROR_FILE_NOT_FOUND);
        step = 1;
        while (step != 2)
            std::this_thread::yield();
        otherAfterwards = GetLastError();
    });
    while (step != 1)
        std::this_thread::yield();
    SetLastError(ERROR_ACCESS_DENIED);
    const DWORD mine = GetLastError();
    step = 2;
    other.join();
    EXPECT_EQ(mine, ERROR_ACCESS_DENIED);
    EXPECT_EQ(otherInitially, ERROR_SUCCESS);
    EXPECT_EQ(otherAfterwards, ERROR_FILE_NOT_FOUND);
}

CHECK(errors, a_system_message_is_terminated_by_a_line_end)
{
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  ERROR_FILE_NOT_FOUND, 0, text, sizeof text, nullptr);
    ASSERT_TRUE(length > 2);
    EXPECT_EQ(length, static_cast<DWORD>(strlen(text)));
    EXPECT_EQ(std::string(text + length - 2), std::string("\r\n"));

    WCHAR wide[512];
    DWORD wideLength = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      ERROR_ACCESS_DENIED, 0, wide, 512, nullptr);
    ASSERT_TRUE(wideLength > 2);
    EXPECT_EQ(wide[wideLength], WCHAR(0));
    EXPECT_EQ(wide[wideLength - 1], WCHAR('\n'));
}

CHECK(errors, an_allocated_message_is_freed_with_local_free)
{
    LPSTR text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  nullptr, ERROR_SHARING_VIOLATION, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    ASSERT_TRUE(length > 0);
    ASSERT_TRUE(text != nullptr);
    EXPECT_EQ(length, static_cast<DWORD>(strlen(text)));
    EXPECT_TRUE(LocalFree(text) == nullptr);
}

CHECK(errors, an_unknown_code_has_no_message)
{
    char text[512];
    EXPECT_FAILS_WITH(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 0x2A5F0u, 0,
                                     text, sizeof text, nullptr),
                      0u, ERROR_MR_MID_NOT_FOUND);
}

CHECK(errors, a_message_longer_than_the_buffer_is_refused)
{
    char text[4];
    EXPECT_FAILS_WITH(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                     ERROR_FILE_NOT_FOUND, 0, text, sizeof text, nullptr),
                      0u, ERROR_INSUFFICIENT_BUFFER);
}

CHECK(errors, win32_codes_in_hresults_have_the_same_message)
{
    char plain[512];
    char wrapped[512];
    DWORD plainLength = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                       ERROR_INVALID_HANDLE, 0, plain, sizeof plain, nullptr);
    DWORD wrappedLength = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                         0x80070006u, 0, wrapped, sizeof wrapped, nullptr);
    ASSERT_TRUE(plainLength > 0);
    EXPECT_EQ(wrappedLength, plainLength);
    EXPECT_EQ(std::string(wrapped), std::string(plain));
}
