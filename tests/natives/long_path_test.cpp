// The long-path rule of the file natives.
#include "common/paths.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string wide(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

std::u16string prefixed(std::u16string path)
{
    bool copied = false;
    path.push_back(0);
    WCHAR *result = pallux::toLongPath(path.data(), path.size() - 1, &copied);
    std::u16string out(result);
    if (copied)
        free(result);
    return out;
}

}  // namespace

TEST(LongPath, DrivePathGetsThePrefix)
{
    EXPECT_EQ(prefixed(u"C:\\dir\\file"), u"\\\\?\\C:\\dir\\file");
}

TEST(LongPath, UncPathGetsTheUncPrefix)
{
    EXPECT_EQ(prefixed(u"\\\\server\\share\\f"), u"\\\\?\\UNC\\server\\share\\f");
}

TEST(LongPath, PrefixedPathIsLeftAloneWithoutACopy)
{
    std::u16string path = u"\\\\?\\C:\\x";
    bool copied = true;
    WCHAR *result = pallux::toLongPath(path.data(), path.size(), &copied);
    EXPECT_FALSE(copied);
    EXPECT_EQ(result, path.data());
}

TEST(LongPath, NothingElseIsNormalised)
{
    EXPECT_EQ(prefixed(u"relative/./dir/../f"), u"\\\\?\\relative/./dir/../f");
}

TEST(LongPath, ThresholdIs260Units)
{
    EXPECT_EQ(pallux::kLongPathThreshold, 260u);
    EXPECT_EQ(prefixed(wide("C:\\" + std::string(300, 'a'))).substr(0, 7), u"\\\\?\\C:\\");
}
