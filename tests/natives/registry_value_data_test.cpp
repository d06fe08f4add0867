// Reading registry value data bounded by its size, on buffers exactly as long as the data, so
// that the sanitizer build catches any read past them.
#include "registry/value_data.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace pallux;

namespace {

// A heap copy of exactly the data's length.
std::unique_ptr<BYTE[]> exact(const std::vector<BYTE> &data)
{
    std::unique_ptr<BYTE[]> copy(new BYTE[data.size()]);
    std::copy(data.begin(), data.end(), copy.get());
    return copy;
}

std::u16string listOf(const std::vector<BYTE> &data)
{
    auto copy = exact(data);
    std::vector<WCHAR> list(terminatedMultiStringUnits(static_cast<DWORD>(data.size())));
    copyTerminatedMultiString(copy.get(), static_cast<DWORD>(data.size()), list.data());
    // Up to and including the first closing pair.
    size_t end = 0;
    while (!(list[end] == 0 && list[end + 1] == 0))
        ++end;
    return std::u16string(list.data(), end + 2);
}

TEST(RegistryValueData, StringsEndAtTheirNulOrTheirLastWholeUnit)
{
    EXPECT_EQ(stringDataLength(exact({'a', 0, 'b', 0, 0, 0}).get(), 6), 2u);
    EXPECT_EQ(stringDataLength(exact({'a', 0, 'b'}).get(), 3), 1u);  // odd: the last byte is half a unit
    EXPECT_EQ(stringDataLength(exact({'a', 0, 'b', 0}).get(), 4), 2u);  // no NUL at all
    EXPECT_EQ(stringDataLength(exact({}).get(), 0), 0u);
    EXPECT_EQ(stringDataLength(exact({'x'}).get(), 1), 0u);
    EXPECT_EQ(stringDataLength(exact({0, 0x4E, 'z', 0}).get(), 4), 2u);  // U+4E00 is not a NUL
}

TEST(RegistryValueData, MultiStringsGetAClosingPairOfTheirOwn)
{
    EXPECT_EQ(listOf({'a', 0, 0, 0, 'b', 0, 'c', 0, 0, 0, 0, 0}), std::u16string(u"a\0bc\0\0", 6));
    // Without its closing pair, without any NUL, of odd length, empty.
    EXPECT_EQ(listOf({'a', 0, 0, 0, 'b', 0}), std::u16string(u"a\0b\0\0", 5));
    EXPECT_EQ(listOf({'a', 0, 'b', 0}), std::u16string(u"ab\0\0", 4));
    EXPECT_EQ(listOf({'a', 0, 0, 0, 'b'}), std::u16string(u"a\0\0", 3));
    EXPECT_EQ(listOf({}), std::u16string(u"\0\0", 2));
}

TEST(RegistryValueData, ShortNumbersAreZeroExtended)
{
    EXPECT_EQ(numberData(exact({0x78, 0x56, 0x34, 0x12}).get(), 4), 0x12345678u);
    EXPECT_EQ(numberData(exact({0x34, 0x12}).get(), 2), 0x1234u);
    EXPECT_EQ(numberData(exact({0xFF}).get(), 1), 0xFFu);
    EXPECT_EQ(numberData(exact({}).get(), 0), 0u);
    EXPECT_EQ(numberData(exact({1, 2, 3, 4, 5, 6, 7, 8}).get(), 8), 0x04030201u);  // a QWORD's low half
}

}  // namespace
