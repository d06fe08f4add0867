// The remote access phonebooks of the machine, in Windows' own file format and place: the
// all-users phonebook C:\ProgramData\Microsoft\Network\Connections\Pbk\rasphone.pbk and, when
// APPDATA names a profile, the user's %APPDATA%\Microsoft\Network\Connections\Pbk\rasphone.pbk.
//
// A phonebook is a UTF-8 text file ("Encoding=1") of sections, one per entry, "[entry name]"
// followed by "key=value" lines in CR LF lines; the entry's device is described by the block
// that starts with "MEDIA=", its number by the block that starts with "DEVICE=".
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

struct PhonebookEntry {
    std::string name;
    std::string phoneNumber;
    std::string deviceType = "modem";  // the DEVICE= key
    std::string deviceName;            // the Device= key
};

// The entries of a phonebook's text, in file order; lines outside a section are ignored.
std::vector<PhonebookEntry> parsePhonebook(std::string_view text);
// The section of a new entry, as Windows writes it.
std::string phonebookSection(const PhonebookEntry &entry);
// The text without the named entry's section (names compare case-insensitively).
std::string withoutPhonebookEntry(std::string_view text, std::string_view name);

struct Phonebook {
    std::string path;  // Windows path
    bool allUsers = true;
    std::vector<PhonebookEntry> entries;
};

// The default phonebooks (all users first, then the user's when there is one) as they are now;
// one that does not exist has no entries.
std::vector<Phonebook> defaultPhonebooks();
// A phonebook named by its Windows path; ERROR_CANNOT_OPEN_PHONEBOOK when it cannot be read.
DWORD readPhonebook(const std::string &windowsPath, Phonebook &out);

// The entry of that name in the given phonebook (null: the default ones) and its phonebook.
std::optional<PhonebookEntry> findPhonebookEntry(const char *phonebookPath, std::string_view name,
                                                 std::string *foundIn = nullptr);

// Adds an entry to the all-users phonebook (made if missing): 0, ERROR_ALREADY_EXISTS, or the
// error of writing it.
DWORD addPhonebookEntry(const PhonebookEntry &entry);
// Removes an entry from the default phonebooks: 0 or ERROR_CANNOT_FIND_PHONEBOOK_ENTRY.
DWORD removePhonebookEntry(std::string_view name);

std::string allUsersPhonebookPath();

}  // namespace winsim
