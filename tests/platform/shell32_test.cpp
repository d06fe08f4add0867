// Icons of files (the formats the icon parser knows, and damaged ones) and the shell's answers.
#include "shell32/icon_file.h"
#include "user32/desktop.h"

#include "machine/machine.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

void put16(std::vector<uint8_t> &bytes, size_t at, uint16_t value)
{
    bytes[at] = static_cast<uint8_t>(value);
    bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

void put32(std::vector<uint8_t> &bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A 64-bit executable with one section, .rsrc, whose root directory lists `groups` icon
// groups (and a type before them, as real images have).
std::vector<uint8_t> executable(unsigned groups, bool withResources = true)
{
    std::vector<uint8_t> image(0x400, 0);
    image[0] = 'M';
    image[1] = 'Z';
    const uint32_t pe = 0x80;
    put32(image, 0x3C, pe);
    memcpy(&image[pe], "PE\0\0", 4);
    const size_t coff = pe + 4;
    put16(image, coff, 0x8664);
    put16(image, coff + 2, 1);      // one section
    put16(image, coff + 16, 240);   // size of the optional header of PE32+
    const size_t optional = coff + 20;
    put16(image, optional, 0x20B);  // PE32+
    put32(image, optional + 108, 16);
    if (withResources)
        put32(image, optional + 112 + 8 * 2, 0x1000);  // resource table at RVA 0x1000
    const size_t section = optional + 240;
    memcpy(&image[section], ".rsrc\0\0\0", 8);
    put32(image, section + 8, 0x200);
    put32(image, section + 12, 0x1000);
    put32(image, section + 16, 0x200);
    put32(image, section + 20, 0x200);
    // Root: two types by id, RT_ICON (3) and RT_GROUP_ICON (14).
    const size_t root = 0x200;
    put16(image, root + 14, 2);
    put32(image, root + 16, 3);
    put32(image, root + 20, 0x80000000u | 0x40);
    put32(image, root + 24, 14);
    put32(image, root + 28, 0x80000000u | 0x60);
    put16(image, root + 0x60 + 14, static_cast<uint16_t>(groups));
    return image;
}

std::optional<unsigned> countOf(const std::vector<uint8_t> &bytes)
{
    return winsim::iconCount([&](uint64_t offset, void *buffer, size_t size) {
        if (offset > bytes.size() || size > bytes.size() - offset)
            return false;
        memcpy(buffer, bytes.data() + offset, size);
        return true;
    });
}

std::string writeFile(const std::string &name, const std::vector<uint8_t> &bytes)
{
    const std::string windows = "C:\\" + name;
    std::ofstream out(winsim::machineRoot() + "/drive_c/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return windows;
}

}  // namespace

TEST(IconFiles, CountsByFormat)
{
    EXPECT_EQ(countOf({0, 0, 1, 0, 3, 0}), 3u);
    EXPECT_EQ(countOf({0, 0, 1, 0, 0, 0}), 0u);
    EXPECT_EQ(countOf({0, 0, 2, 0, 1, 0}), std::nullopt) << "a cursor file";
    EXPECT_EQ(countOf({'t', 'e', 'x', 't'}), std::nullopt);
    EXPECT_EQ(countOf({}), std::nullopt);
    EXPECT_EQ(countOf(executable(2)), 2u);
    EXPECT_EQ(countOf(executable(0)), 0u);
    EXPECT_EQ(countOf(executable(5, false)), 0u) << "no resources";
    EXPECT_EQ(countOf({'M', 'Z'}), 0u) << "an executable of an older format";
}

// Every prefix of an image is a damaged file: the parser answers without reading outside it.
TEST(IconFiles, TruncatedExecutablesAreReadSafely)
{
    const std::vector<uint8_t> whole = executable(4);
    for (size_t length = 0; length < whole.size(); ++length) {
        std::vector<uint8_t> part(whole.begin(), whole.begin() + static_cast<long>(length));
        std::optional<unsigned> count = countOf(part);
        if (length >= 2) {
            EXPECT_TRUE(count.has_value()) << length;
        }
        if (count) {
            EXPECT_LE(*count, 4u) << length;
        }
    }
    std::vector<uint8_t> wild = executable(1);
    put32(wild, 0x3C, 0xFFFFFFF0u);
    EXPECT_EQ(countOf(wild), 0u);
}

TEST(IconFiles, ExtractIconGivesHandlesForIconsOneForOtherFilesAndNullOtherwise)
{
    const std::string icons = writeFile("two.ico", {0, 0, 1, 0, 2, 0});
    const std::string program = writeFile("app.exe", executable(1));
    const std::string plain = writeFile("plain.txt", {'h', 'i'});

    HICON first = ExtractIconA(nullptr, icons.c_str(), 0);
    HICON second = ExtractIconA(nullptr, icons.c_str(), 1);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(ExtractIconA(nullptr, icons.c_str(), 2), nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(ExtractIconA(nullptr, icons.c_str(), static_cast<UINT>(-1))), 2u);
    EXPECT_NE(ExtractIconA(nullptr, program.c_str(), 0), nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(ExtractIconA(nullptr, plain.c_str(), 0)), 1u);
    EXPECT_EQ(ExtractIconA(nullptr, "C:\\missing.ico", 0), nullptr);
    EXPECT_EQ(ExtractIconA(nullptr, "C:\\", 0), nullptr);

    EXPECT_TRUE(DestroyIcon(first));
    EXPECT_FALSE(DestroyIcon(first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_CURSOR_HANDLE));
    EXPECT_FALSE(DestroyIcon(reinterpret_cast<HICON>(1)));
}

TEST(Shell, ShellExecuteAnswersAsWindowsAndRecordsTheRequest)
{
    writeFile("notes.txt", {'x'});
    writeFile("tool.exe", {'M', 'Z'});
    auto result = [](const char *verb, const char *file, const char *directory = nullptr) {
        return reinterpret_cast<intptr_t>(ShellExecuteA(nullptr, verb, file, nullptr, directory, SW_HIDE));
    };
    EXPECT_EQ(result("open", "C:\\missing.txt"), SE_ERR_FNF);
    EXPECT_EQ(result("open", "C:\\no such folder\\missing.txt"), SE_ERR_PNF);
    EXPECT_EQ(result("open", "C:\\Windows"), 42);
    EXPECT_EQ(result(nullptr, "C:\\tool.exe"), 42);
    EXPECT_EQ(result("open", "tool.exe", "C:\\"), 42);
    EXPECT_EQ(result("print", "C:\\tool.exe"), SE_ERR_NOASSOC);
    EXPECT_EQ(result("open", "C:\\notes.txt"), SE_ERR_NOASSOC);
    EXPECT_EQ(result("open", "https://example.invalid/"), SE_ERR_NOASSOC);

    // A program registered for the file type opens it.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\.txt", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(result("open", "C:\\notes.txt"), 42);

    auto executions = winsim::shellExecutions();
    ASSERT_EQ(executions.size(), 9u);
    EXPECT_EQ(executions[4].file, "tool.exe");
    EXPECT_EQ(executions[4].directory, "C:\\");
    EXPECT_EQ(executions[4].verb, "open");
    EXPECT_EQ(executions[4].show, SW_HIDE);
    EXPECT_EQ(executions[8].result, 42);
}
