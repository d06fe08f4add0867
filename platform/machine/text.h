// Conversions between the UTF-16 of the Windows interfaces and the UTF-8 of POSIX.
#pragma once

#include <string>
#include <string_view>

namespace winsim {

// Unpaired surrogates become U+FFFD, as the kernel would refuse them in a POSIX name anyway.
std::string toUtf8(std::u16string_view text);
std::u16string toUtf16(std::string_view text);

// The length of a NUL-terminated UTF-16 string (null counts as empty).
size_t wideLength(const char16_t *text);

// ASCII case folding, as NTFS and the registry compare names for the characters we meet.
char16_t foldCase(char16_t c);
// Lower-case ASCII letters only: the key under which a case-insensitive name is stored.
std::string foldedKey(std::string_view name);
bool equalsIgnoreCase(std::u16string_view a, std::u16string_view b);
bool equalsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace winsim
