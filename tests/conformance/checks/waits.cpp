// Events and waits: WaitForSingleObject and WaitForMultipleObjects on events.
#include "../framework/support.h"

#include <chrono>
#include <thread>

using namespace conformance;

namespace {

HANDLE newEvent(bool manualReset, bool initiallySet)
{
    return CreateEventA(nullptr, manualReset, initiallySet, nullptr);
}

}  // namespace

CHECK(waits, an_auto_reset_event_releases_one_wait)
{
    OwnedHandle event(newEvent(false, true));
    ASSERT_TRUE(event.valid());
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(SetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 10), static_cast<DWORD>(WAIT_OBJECT_0));
}

CHECK(waits, a_manual_reset_event_stays_set_until_reset)
{
    OwnedHandle event(newEvent(true, false));
    ASSERT_TRUE(event.valid());
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(SetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(ResetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

CHECK(waits, a_wait_times_out_after_its_time)
{
    OwnedHandle event(newEvent(true, false));
    ASSERT_TRUE(event.valid());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event.get(), 50), static_cast<DWORD>(WAIT_TIMEOUT));
    // Windows' clock ticks in steps of up to 16 ms.
    EXPECT_TRUE(std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(34));
}

CHECK(waits, another_thread_setting_the_event_ends_the_wait)
{
    OwnedHandle event(newEvent(false, false));
    ASSERT_TRUE(event.valid());
    std::thread setter([&] {
        Sleep(30);
        SetEvent(event.get());
    });
    EXPECT_EQ(WaitForSingleObject(event.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    setter.join();
}

CHECK(waits, waiting_for_any_gives_the_lowest_set_index)
{
    OwnedHandle first(newEvent(false, false));
    OwnedHandle second(newEvent(false, true));
    OwnedHandle third(newEvent(false, true));
    HANDLE events[] = {first.get(), second.get(), third.get()};
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), static_cast<DWORD>(WAIT_OBJECT_0 + 1));
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), static_cast<DWORD>(WAIT_OBJECT_0 + 2));
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

CHECK(waits, waiting_for_all_takes_none_until_all_are_set)
{
    OwnedHandle first(newEvent(false, true));
    OwnedHandle second(newEvent(false, false));
    HANDLE events[] = {first.get(), second.get()};
    EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // The first event was not consumed by the wait that could not be satisfied.
    EXPECT_TRUE(SetEvent(second.get()));
    EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(first.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(second.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

CHECK(waits, bad_handles_and_counts_fail_the_wait)
{
    OwnedHandle event(newEvent(true, true));
    HANDLE closed = newEvent(true, true);
    ASSERT_TRUE(CloseHandle(closed));
    EXPECT_FAILS_WITH(WaitForSingleObject(closed, 0), WAIT_FAILED, ERROR_INVALID_HANDLE);
    HANDLE mixed[] = {event.get(), closed};
    EXPECT_FAILS_WITH(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED, ERROR_INVALID_HANDLE);
    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE &handle : many)
        handle = event.get();
    EXPECT_FAILS_WITH(WaitForMultipleObjects(0, many, FALSE, 0), WAIT_FAILED, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, 0), WAIT_FAILED,
                      ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(SetEvent(closed), FALSE, ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(ResetEvent(closed), FALSE, ERROR_INVALID_HANDLE);
}

CHECK(waits, a_new_event_clears_the_last_error)
{
    SetLastError(ERROR_ACCESS_DENIED);
    OwnedHandle event(newEvent(false, false));
    ASSERT_TRUE(event.valid());
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
}

namespace {

DWORD WINAPI waitThenExit(LPVOID parameter)
{
    WaitForSingleObject(static_cast<HANDLE>(parameter), 10000);
    return 42;
}

}  // namespace

CHECK(waits, a_thread_is_signalled_when_it_ends_and_keeps_its_exit_code)
{
    OwnedHandle release(newEvent(true, false));
    DWORD id = 0;
    OwnedHandle thread(CreateThread(nullptr, 0, waitThenExit, release.get(), 0, &id));
    ASSERT_SUCCEEDS(thread.get());
    EXPECT_TRUE(id != 0);
    DWORD code = 0;
    EXPECT_SUCCEEDS(GetExitCodeThread(thread.get(), &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(thread.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(SetEvent(release.get()));
    EXPECT_EQ(WaitForSingleObject(thread.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(thread.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_SUCCEEDS(GetExitCodeThread(thread.get(), &code));
    EXPECT_EQ(code, 42u);
}
