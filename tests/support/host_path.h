// The host path of a Windows path of the test's machine, for checking what the stand-in stored.
#pragma once

#include "machine/paths.h"

#include <gtest/gtest.h>

#include <string>

inline std::string hostPath(const std::u16string &path)
{
    winsim::MappedPath mapped;
    EXPECT_EQ(winsim::mapWindowsPath(path, mapped), 0u);
    return mapped.posix;
}
