// The conformance checks: statements of Windows behaviour, written once against the Windows API
// and run both on the stand-in platform and under Wine.
//
// A family of checks is one source file in checks/ (both sides) or windows/ (the Windows build
// only); each check is
//
//   CHECK(files, create_new_refuses_an_existing_file)
//   {
//       ...
//       EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
//   }
//
// and is named <family>.<name> in the results and in expectations.txt. EXPECT_* records a
// failure and goes on; ASSERT_* records it and ends the check. Each check gets an empty
// directory of its own (check.directory()) on the machine's C: drive.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace conformance {

using WString = std::basic_string<WCHAR>;

class Check {
public:
    explicit Check(std::string name) : name_(std::move(name)) {}

    const std::string &name() const { return name_; }
    const std::vector<std::string> &failures() const { return failures_; }
    void fail(const char *file, int line, const std::string &message);

    // A fresh directory for this check, "C:\conformance\<family>.<name>", without a trailing
    // separator; created on first use.
    const WString &directory();
    // directory() + "\" + name.
    WString path(const WString &name);

private:
    std::string name_;
    std::vector<std::string> failures_;
    WString directory_;
};

using CheckFunction = void (*)(Check &);

struct Registration {
    Registration(const char *family, const char *name, CheckFunction function);
};

// A mode of the check program that a check starts as another process (a service program, a
// child that exits with a chosen code): "conformance --helper <name> <arguments...>".
using HelperFunction = int (*)(int argc, char **argv);

struct HelperRegistration {
    HelperRegistration(const char *name, HelperFunction function);
};

// Text forms of values for failure messages.
std::string describe(const std::string &text);
std::string describe(const char *text);
std::string describe(const WString &text);
std::string describe(const WCHAR *text);
std::string describe(const void *pointer);
std::string describe(std::nullptr_t);
std::string describe(bool value);
template <typename T, typename = std::enable_if_t<std::is_integral_v<T> || std::is_enum_v<T>>>
std::string describe(T value)
{
    std::ostringstream out;
    if constexpr (std::is_enum_v<T>) {
        out << static_cast<long long>(value);
    } else if constexpr (std::is_signed_v<T>) {
        out << static_cast<long long>(value);
        if (value < 0 || value > 9)
            out << " (0x" << std::hex << static_cast<unsigned long long>(static_cast<std::make_unsigned_t<T>>(value))
                << ")";
    } else {
        out << static_cast<unsigned long long>(value);
        if (value > 9)
            out << " (0x" << std::hex << static_cast<unsigned long long>(value) << ")";
    }
    return out.str();
}

template <typename T>
bool isNegative(T value)
{
    if constexpr (std::is_signed_v<T>)
        return value < 0;
    else
        return false;
}

template <typename A, typename E>
bool equalValues(const A &actual, const E &expected)
{
    if constexpr (std::is_integral_v<A> && std::is_integral_v<E>) {
        // Windows mixes DWORD, LONG and HRESULT for the same codes: compare them as 32-bit
        // values when both fit, so that E_FAIL equals 0x80004005u.
        if constexpr (sizeof(A) <= 4 && sizeof(E) <= 4)
            return static_cast<uint32_t>(actual) == static_cast<uint32_t>(expected);
        else
            return isNegative(actual) == isNegative(expected) &&
                   static_cast<unsigned long long>(actual) == static_cast<unsigned long long>(expected);
    } else {
        return actual == expected;
    }
}

template <typename T>
bool succeeded(const T &result)
{
    if constexpr (std::is_pointer_v<T>)
        return result != nullptr && reinterpret_cast<const void *>(result) != INVALID_HANDLE_VALUE;
    else
        return result != 0;
}

// Windows paths and texts in checks: W("C:\\dir") is a WString in either build.
inline WString W(const WCHAR *text) { return WString(text); }

// UTF-8 and UTF-16 forms of a text (names built in loops, paths given to narrow functions).
WString widen(const std::string &text);
std::string utf8(const WString &text);

// The directory holding the check program, with a trailing separator.
WString programDirectory();
// The program's own path as GetModuleFileNameA gives it (in the ANSI code page, UTF-8 on the
// stand-in; the paths of the runs are ASCII).
std::string programPathA();

// Makes one directory whose parent exists (the stand-in has no CreateDirectoryW: the product
// never makes one); true when it exists afterwards.
bool makeDirectory(const WString &path);

// The name of the side running the checks: "stand-in" or "wine".
const char *sideName();

}  // namespace conformance

#define CONFORMANCE_JOIN2(a, b) a##b
#define CONFORMANCE_JOIN(a, b) CONFORMANCE_JOIN2(a, b)

#define CHECK(family, name)                                                                                  \
    static void conformance_##family##_##name(::conformance::Check &check);                                 \
    static const ::conformance::Registration conformance_registration_##family##_##name(#family, #name,     \
                                                                                        conformance_##family##_##name); \
    static void conformance_##family##_##name([[maybe_unused]] ::conformance::Check &check)

#define HELPER(name)                                                                                         \
    static int conformance_helper_##name(int argc, char **argv);                                             \
    static const ::conformance::HelperRegistration conformance_helper_registration_##name(#name,             \
                                                                                           conformance_helper_##name); \
    static int conformance_helper_##name([[maybe_unused]] int argc, [[maybe_unused]] char **argv)

#define CONFORMANCE_FAIL(message) check.fail(__FILE__, __LINE__, (message))

#define CONFORMANCE_EXPECT_TRUE(condition, on_failure)                                                        \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            CONFORMANCE_FAIL(std::string("expected ") + #condition);                                        \
            on_failure;                                                                                      \
        }                                                                                                    \
    } while (0)

#define CONFORMANCE_EXPECT_EQ(actual, expected, on_failure)                                                   \
    do {                                                                                                     \
        const auto &conformance_actual = (actual);                                                           \
        const auto &conformance_expected = (expected);                                                       \
        if (!::conformance::equalValues(conformance_actual, conformance_expected)) {                         \
            CONFORMANCE_FAIL(std::string(#actual) + " is " + ::conformance::describe(conformance_actual) +   \
                             ", expected " + ::conformance::describe(conformance_expected));                 \
            on_failure;                                                                                      \
        }                                                                                                    \
    } while (0)

#define EXPECT_TRUE(condition) CONFORMANCE_EXPECT_TRUE(condition, (void)0)
#define EXPECT_FALSE(condition) CONFORMANCE_EXPECT_TRUE(!(condition), (void)0)
#define EXPECT_EQ(actual, expected) CONFORMANCE_EXPECT_EQ(actual, expected, (void)0)
#define ASSERT_TRUE(condition) CONFORMANCE_EXPECT_TRUE(condition, return)
#define ASSERT_FALSE(condition) CONFORMANCE_EXPECT_TRUE(!(condition), return)
#define ASSERT_EQ(actual, expected) CONFORMANCE_EXPECT_EQ(actual, expected, return)

// A call that succeeds (or the result of the call just made): TRUE, a handle or a pointer (not
// null or INVALID_HANDLE_VALUE); on failure the last error is told.
#define CONFORMANCE_SUCCEEDS(call, on_failure)                                                               \
    do {                                                                                                     \
        if (!::conformance::succeeded(call)) {                                                               \
            const DWORD conformance_error = GetLastError();                                                  \
            CONFORMANCE_FAIL(std::string(#call) + " failed with " + ::conformance::describe(conformance_error)); \
            on_failure;                                                                                      \
        }                                                                                                    \
    } while (0)
#define EXPECT_SUCCEEDS(call) CONFORMANCE_SUCCEEDS(call, (void)0)
#define ASSERT_SUCCEEDS(call) CONFORMANCE_SUCCEEDS(call, return)

// A call that fails (returns a false, null or invalid value) and sets the given last error.
#define EXPECT_FAILS_WITH(call, failed_value, error)                                                          \
    do {                                                                                                     \
        SetLastError(0xDEADBEEF);                                                                            \
        const auto conformance_result = (call);                                                              \
        const DWORD conformance_error = GetLastError();                                                      \
        if (!::conformance::equalValues(conformance_result, failed_value))                                   \
            CONFORMANCE_FAIL(std::string(#call) + " gave " + ::conformance::describe(conformance_result) +   \
                             ", expected it to fail with " + #error);                                        \
        else if (conformance_error != static_cast<DWORD>(error))                                             \
            CONFORMANCE_FAIL(std::string(#call) + " failed with " + ::conformance::describe(conformance_error) + \
                             ", expected " + #error + " (" + ::conformance::describe(static_cast<DWORD>(error)) + ")"); \
    } while (0)
