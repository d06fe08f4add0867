// Change notification on one directory: FindFirstChangeNotificationA, the handle's signal,
// FindNextChangeNotification, FindCloseChangeNotification.
#include "../framework/support.h"

using namespace conformance;

namespace {

// Windows signals within moments; the stand-in reads its notifications on a thread of its own.
constexpr DWORD kSignalWaitMs = 5000;

class Notification {
public:
    Notification(const WString &directory, BOOL subtree, DWORD filter)
        : handle_(FindFirstChangeNotificationA(utf8(directory).c_str(), subtree, filter))
    {
    }
    ~Notification()
    {
        if (valid())
            FindCloseChangeNotification(handle_);
    }
    Notification(const Notification &) = delete;
    Notification &operator=(const Notification &) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

private:
    HANDLE handle_;
};

}  // namespace

CHECK(change_notification, a_new_name_in_the_directory_signals_until_the_next_request)
{
    const WString directory = check.directory();
    Notification notification(directory, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
    ASSERT_SUCCEEDS(notification.valid());
    EXPECT_EQ(WaitForSingleObject(notification.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(writeFile(check.path(TEXT("new.txt")), "x"));
    EXPECT_EQ(WaitForSingleObject(notification.get(), kSignalWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
    // A wait does not reset it.
    EXPECT_EQ(WaitForSingleObject(notification.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_SUCCEEDS(FindNextChangeNotification(notification.get()));
    EXPECT_EQ(WaitForSingleObject(notification.get(), 200), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(writeFile(check.path(TEXT("second.txt")), "y"));
    EXPECT_EQ(WaitForSingleObject(notification.get(), kSignalWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
}

CHECK(change_notification, a_single_directory_ignores_names_made_below_it)
{
    ASSERT_TRUE(makeDirectory(check.path(TEXT("below"))));
    Notification notification(check.directory(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
    ASSERT_SUCCEEDS(notification.valid());
    ASSERT_TRUE(writeFile(check.path(TEXT("below\\deeper.txt")), "x"));
    EXPECT_EQ(WaitForSingleObject(notification.get(), 500), static_cast<DWORD>(WAIT_TIMEOUT));
}

CHECK(change_notification, a_subtree_signals_for_names_made_below_it)
{
    ASSERT_TRUE(makeDirectory(check.path(TEXT("below"))));
    Notification subtree(check.directory(), TRUE, FILE_NOTIFY_CHANGE_FILE_NAME);
    ASSERT_SUCCEEDS(subtree.valid());
    ASSERT_TRUE(writeFile(check.path(TEXT("below\\deepest.txt")), "x"));
    EXPECT_EQ(WaitForSingleObject(subtree.get(), kSignalWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
}

CHECK(change_notification, a_missing_directory_and_a_bad_filter_are_refused)
{
    SetLastError(0xDEADBEEF);
    Notification missing(check.path(TEXT("missing")), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
    const DWORD error = GetLastError();
    EXPECT_FALSE(missing.valid());
    EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND);
    SetLastError(0xDEADBEEF);
    Notification noFilter(check.directory(), FALSE, 0);
    EXPECT_FALSE(noFilter.valid());
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}
