// Encrypted files of the emulated machine.
//
// An encrypted file or directory keeps its streams (a file's data and every named stream) as
// ciphertext where they always live (the file's contents, its user.DosStream.* attributes or
// sidecar files), each stream sealed once with AES-256-GCM under the file's own random key, so
// the sizes stay those of the plain streams. The file key is kept wrapped (AES key wrap,
// RFC 3394) by the key of each user who may decrypt it, in the file's metadata attribute
// user.winsim.efs, together with each stream's nonce, tag and the SHA-256 of its ciphertext.
// The attribute bit FILE_ATTRIBUTE_ENCRYPTED says the file is encrypted.
//
// Users' keys (256-bit) live in the machine, <root>/efs/<SID>/<thumbprint>.key, made on a
// user's first encryption; the thumbprint is the SHA-256 of the key. The machine tool exports
// and imports them, protected by a password, so that a raw backup restores on another machine.
//
// The raw form (OpenEncryptedFileRawW and its siblings) carries the stored ciphertext and the
// metadata as they are: exporting needs neither key nor decryption, importing neither.
#pragma once

#include "machine/security_descriptor.h"

#include <windef.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace winsim {

inline constexpr const char *kEfsAttribute = "user.winsim.efs";

using FileKey = std::array<uint8_t, 32>;
using Thumbprint = std::array<uint8_t, 32>;

struct EfsUser {
    std::string sid;          // S-1-...
    Thumbprint thumbprint{};  // of the user key that wraps the file key
    Bytes wrappedKey;         // the file key, wrapped
};

struct EfsStream {
    std::u16string name;  // empty for a file's data
    uint64_t size = 0;
    std::array<uint8_t, 12> nonce{};
    std::array<uint8_t, 16> tag{};
    std::array<uint8_t, 32> digest{};  // SHA-256 of the stored ciphertext
};

struct EfsMetadata {
    std::vector<EfsUser> users;
    std::vector<EfsStream> streams;
};

Bytes encodeEfsMetadata(const EfsMetadata &metadata);
// Returns false for anything that is not a well-formed metadata record.
bool decodeEfsMetadata(const uint8_t *data, size_t size, EfsMetadata &out);

// The metadata of an open file: 0, ERROR_FILE_NOT_ENCRYPTED, or another Windows error.
DWORD readEfsMetadata(int fd, EfsMetadata &out);

// The SID of the process token as text.
std::string tokenUserSidText();

// Whether the user holds a key that unwraps one of the file's wrapped keys.
bool userCanDecrypt(const EfsMetadata &metadata, const std::string &sid);
// Whether the user has any key in the machine.
bool userHasKeys(const std::string &sid);

// Encrypts (or decrypts) a file or directory in place for (as) the given user. 0 or a Windows
// error; encrypting an encrypted file changes nothing, as decrypting a plain one.
DWORD encryptFileFor(LPCWSTR path, const std::string &sid);
DWORD decryptFileAs(LPCWSTR path, const std::string &sid);

// A user's keys in a file protected by a password, and back into the machine.
DWORD exportUserKeys(const std::string &sid, const std::string &file, const std::string &password);
// Imports the keys of a file; the user they belong to is returned.
DWORD importUserKeys(const std::string &file, const std::string &password, std::string &sid);

}  // namespace winsim
