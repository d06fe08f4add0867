// Samba's user.DOSATTRIB blob in every form it has had.
#include "machine/file_metadata.h"

#include <winnt.h>

#include <gtest/gtest.h>

#include <cstring>

using namespace winsim;

namespace {

Bytes blob(const char *hex, std::initializer_list<uint8_t> binary)
{
    Bytes out(hex, hex + strlen(hex) + 1);
    out.insert(out.end(), binary);
    return out;
}

}  // namespace

TEST(DosAttrib, VersionThreeIsWrittenWithTheHexTextFirst)
{
    Bytes encoded = encodeDosAttrib(0x26);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(encoded.data())), "0x26");
    // "0x26\0" padded to six bytes, then version 3 (16 bits) and level 3 (32 bits).
    EXPECT_EQ(encoded[6], 3);
    EXPECT_EQ(encoded[8], 3);
    EXPECT_EQ(encoded[12], 1) << "valid flags: the attribute";
    EXPECT_EQ(encoded[16], 0x26);
    DWORD attributes = 0;
    ASSERT_TRUE(decodeDosAttrib(encoded.data(), encoded.size(), attributes));
    EXPECT_EQ(attributes, 0x26u);
}

TEST(DosAttrib, EveryVersionIsRead)
{
    DWORD attributes = 0;
    Bytes textOnly = blob("0x22", {});
    ASSERT_TRUE(decodeDosAttrib(textOnly.data(), textOnly.size() - 1, attributes));
    EXPECT_EQ(attributes, 0x22u);

    // The binary record wins over a stale text.
    Bytes v1 = blob("0x1", {1, 0, 1, 0, 0, 0, 0x21, 0, 0, 0});
    ASSERT_TRUE(decodeDosAttrib(v1.data(), v1.size(), attributes));
    EXPECT_EQ(attributes, 0x21u);

    // Version 4 leaves the text empty, padded to an even length.
    Bytes v4 = blob("", {0, 4, 0, 4, 0, 0, 0, 0x41, 0, 0, 0, 0x24, 0, 0, 0});
    ASSERT_TRUE(decodeDosAttrib(v4.data(), v4.size(), attributes));
    EXPECT_EQ(attributes, 0x24u);
}

TEST(DosAttrib, GarbageIsNotTakenForAttributes)
{
    DWORD attributes = 7;
    Bytes garbage = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_FALSE(decodeDosAttrib(garbage.data(), garbage.size(), attributes));
    Bytes tooLong = blob("0x123456789", {});
    EXPECT_FALSE(decodeDosAttrib(tooLong.data(), tooLong.size(), attributes));
    EXPECT_FALSE(decodeDosAttrib(nullptr, 0, attributes));
    EXPECT_EQ(attributes, 7u);
}
