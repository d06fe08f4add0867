// COM initialisation, BSTRs and the process environment of the stand-in.
#include "machine/counters.h"

#include <windows.h>
#include <ole2.h>
#include <vsbackup.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

TEST(Com, InitialisationIsCountedPerThreadAndKeepsItsModel)
{
    std::thread([] {
        IVssBackupComponents *backup = nullptr;
        EXPECT_EQ(CreateVssBackupComponents(&backup), CO_E_NOTINITIALIZED);
        EXPECT_EQ(backup, nullptr);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        ASSERT_EQ(CreateVssBackupComponents(&backup), S_OK);
        EXPECT_EQ(backup->Release(), 0u);
        CoUninitialize();
        EXPECT_EQ(CreateVssBackupComponents(&backup), CO_E_NOTINITIALIZED);
        // Once fully uninitialised, the thread may choose the other model.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
        CoUninitialize();  // one too many is ignored
    }).join();
    EXPECT_EQ(winsim::counterValue("com.initialised"), 0);
}

TEST(Bstr, LengthPrecedesTheCharactersAndNullIsEmpty)
{
    BSTR text = SysAllocString(u"volume");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 6u);
    EXPECT_EQ(std::u16string(text), u"volume");
    uint32_t bytes;
    memcpy(&bytes, reinterpret_cast<char *>(text) - 4, 4);
    EXPECT_EQ(bytes, 12u);
    BSTR embedded = SysAllocStringLen(u"a\0b", 3);
    EXPECT_EQ(SysStringLen(embedded), 3u);
    EXPECT_EQ(embedded[3], 0);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    int64_t alive = winsim::counterValue("oleaut32.bstr.alive");
    SysFreeString(text);
    SysFreeString(embedded);
    SysFreeString(nullptr);
    EXPECT_EQ(winsim::counterValue("oleaut32.bstr.alive"), alive - 2);
}

namespace {

std::u16string expand(const char16_t *text)
{
    DWORD needed = ExpandEnvironmentStringsW(text, nullptr, 0);
    std::u16string out(needed, u'?');
    EXPECT_EQ(ExpandEnvironmentStringsW(text, out.data(), needed), needed);
    EXPECT_EQ(out.back(), u'\0');
    out.pop_back();
    return out;
}

}  // namespace

TEST(Environment, WindowsVariablesExpandAndUnknownOnesStay)
{
    EXPECT_EQ(expand(u"%SystemRoot%\\System32\\config"), u"C:\\Windows\\System32\\config");
    EXPECT_EQ(expand(u"%systemroot%"), u"C:\\Windows");
    EXPECT_EQ(expand(u"%NoSuchVariable%\\x%"), u"%NoSuchVariable%\\x%");
    EXPECT_EQ(expand(u"100%"), u"100%");
    EXPECT_EQ(expand(u""), u"");

    ASSERT_TRUE(SetEnvironmentVariableW(u"LedgerHome", u"D:\\Ledger"));
    EXPECT_EQ(expand(u"%LEDGERHOME%\\db"), u"D:\\Ledger\\db");
    ASSERT_TRUE(SetEnvironmentVariableW(u"ledgerhome", u"E:\\"));
    EXPECT_EQ(expand(u"%LedgerHome%"), u"E:\\");
    ASSERT_TRUE(SetEnvironmentVariableW(u"SystemRoot", u"C:\\WINNT"));
    EXPECT_EQ(expand(u"%SystemRoot%"), u"C:\\WINNT");
    ASSERT_TRUE(SetEnvironmentVariableW(u"LEDGERHOME", nullptr));
    ASSERT_TRUE(SetEnvironmentVariableW(u"SystemRoot", nullptr));
    EXPECT_EQ(expand(u"%LedgerHome%|%SystemRoot%"), u"%LedgerHome%|C:\\Windows");
    EXPECT_FALSE(SetEnvironmentVariableW(u"A=B", u"x"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    WCHAR small[4];
    EXPECT_EQ(ExpandEnvironmentStringsW(u"%SystemRoot%", small, 4), 11u);
}
