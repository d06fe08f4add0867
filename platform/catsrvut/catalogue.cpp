// catsrvut.dll: backup and restore of the machine's COM+ registration catalogue.
//
// The catalogue is a file of our own under C:\Windows\Registration, R000000000001.clb, as the
// real catalogue lives there: a first line "WINSIM COM+ CATALOGUE 1" and the registrations, one a
// line. A backup file holds it whole, fenced so that a foreign, truncated or damaged file is
// refused before anything changes:
//
//   WINSIM COM+ CATALOGUE BACKUP 1\n
//   size <n>\n
//   <the n bytes of the catalogue>
//   sha256 <64 lower-case hex digits of those n bytes>\n
//
// Both functions return an HRESULT, 0 on success, and set the thread's last error to the Win32
// code of a failure. The setting `fail.RegDBRestore = <code>` makes RegDBRestore return that
// code at once and leave the last error as it was, as the real function may.
#include "advapi32/token.h"
#include "machine/injected_faults.h"
#include "machine/machine.h"
#include "machine/paths.h"
#include "machine/text.h"

#include <windows.h>

#include <openssl/evp.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr const char *kCatalogueHeader = "WINSIM COM+ CATALOGUE 1\n";
constexpr const char *kBackupHeader = "WINSIM COM+ CATALOGUE BACKUP 1\n";
// Far above any catalogue; a larger "size" is not one of our backup files.
constexpr size_t kMaxCatalogue = 64u << 20;

std::string catalogueDirectory()
{
    return winsim::machineRoot() + "/drive_c/Windows/Registration";
}

std::string cataloguePath()
{
    return catalogueDirectory() + "/R000000000001.clb";
}

HRESULT failWith(DWORD error)
{
    SetLastError(error);
    return HRESULT_FROM_WIN32(error);
}

std::string sha256Hex(const std::string &data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 15];
    }
    return hex;
}

DWORD hostPath(LPCWSTR path, std::string &out, bool &readOnly)
{
    if (!path)
        return ERROR_INVALID_PARAMETER;
    winsim::MappedPath mapped;
    if (DWORD error = winsim::mapWindowsPath(path, mapped))
        return error;
    out = mapped.posix;
    readOnly = mapped.readOnly;
    return 0;
}

DWORD readFile(const std::string &posix, std::string &out)
{
    std::ifstream in(posix, std::ios::binary);
    if (!in)
        return errno == ENOENT ? winsim::errorForMissing(posix) : winsim::errorFromErrno(errno);
    std::ostringstream content;
    content << in.rdbuf();
    out = content.str();
    return 0;
}

// Writes beside the target and renames over it, so a reader sees the old file or the new one.
DWORD replaceFile(const std::string &posix, const std::string &content)
{
    const std::string temp = posix + ".tmp." + std::to_string(getpid());
    FILE *out = fopen(temp.c_str(), "wb");
    if (!out)
        return winsim::errorFromErrno(errno);
    bool written = fwrite(content.data(), 1, content.size(), out) == content.size();
    written = fflush(out) == 0 && fsync(fileno(out)) == 0 && written;
    const int error = errno;
    if (fclose(out) != 0 || !written) {
        unlink(temp.c_str());
        return winsim::errorFromErrno(written ? errno : error);
    }
    if (rename(temp.c_str(), posix.c_str()) != 0) {
        const int renameError = errno;
        unlink(temp.c_str());
        return winsim::errorFromErrno(renameError);
    }
    return 0;
}

// The catalogue carried by a backup file, or ERROR_INVALID_DATA for anything else.
DWORD parseBackup(const std::string &file, std::string &catalogue)
{
    const std::string header = kBackupHeader;
    if (file.compare(0, header.size(), header) != 0)
        return ERROR_INVALID_DATA;
    size_t pos = header.size();
    size_t lineEnd = file.find('\n', pos);
    if (lineEnd == std::string::npos || file.compare(pos, 5, "size ") != 0)
        return ERROR_INVALID_DATA;
    const std::string sizeText = file.substr(pos + 5, lineEnd - pos - 5);
    if (sizeText.empty() || sizeText.size() > 10 || sizeText.find_first_not_of("0123456789") != std::string::npos)
        return ERROR_INVALID_DATA;
    const size_t size = std::stoul(sizeText);
    pos = lineEnd + 1;
    const std::string trailerStart = "sha256 ";
    if (size > kMaxCatalogue || file.size() != pos + size + trailerStart.size() + 64 + 1)
        return ERROR_INVALID_DATA;
    catalogue = file.substr(pos, size);
    const size_t trailer = pos + size;
    if (file.compare(trailer, trailerStart.size(), trailerStart) != 0 || file.back() != '\n' ||
        file.compare(trailer + trailerStart.size(), 64, sha256Hex(catalogue)) != 0)
        return ERROR_INVALID_DATA;
    if (catalogue.compare(0, strlen(kCatalogueHeader), kCatalogueHeader) != 0)
        return ERROR_INVALID_DATA;
    return 0;
}

}  // namespace

extern "C" {

// Writes the machine's catalogue into a backup file at path (replacing one that is there).
__attribute__((visibility("default"))) HRESULT WINAPI RegDBBackup(LPCWSTR path)
{
    std::string posix;
    bool readOnly = false;
    if (DWORD error = hostPath(path, posix, readOnly))
        return failWith(error);
    if (readOnly)
        return failWith(ERROR_WRITE_PROTECT);
    std::string catalogue;
    if (readFile(cataloguePath(), catalogue) != 0)
        catalogue = kCatalogueHeader;  // nothing registered yet
    std::string backup = kBackupHeader;
    backup += "size " + std::to_string(catalogue.size()) + "\n";
    backup += catalogue;
    backup += "sha256 " + sha256Hex(catalogue) + "\n";
    if (DWORD error = replaceFile(posix, backup))
        return failWith(error);
    return S_OK;
}

// Replaces the machine's catalogue by the one in the backup file at path. Needs an
// administrator; the catalogue is left as it was whenever the call fails.
__attribute__((visibility("default"))) HRESULT WINAPI RegDBRestore(LPCWSTR path)
{
    if (auto failure = winsim::injectedFailure("RegDBRestore"))
        return static_cast<HRESULT>(*failure);
    if (!winsim::hasAdministrativeRights())
        return failWith(ERROR_ACCESS_DENIED);
    std::string posix;
    bool readOnly = false;
    if (DWORD error = hostPath(path, posix, readOnly))
        return failWith(error);
    struct stat st {};
    if (stat(posix.c_str(), &st) != 0)
        return failWith(errno == ENOENT ? winsim::errorForMissing(posix) : winsim::errorFromErrno(errno));
    if (!S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > kMaxCatalogue + 4096)
        return failWith(S_ISDIR(st.st_mode) ? ERROR_ACCESS_DENIED : ERROR_INVALID_DATA);
    std::string file;
    if (DWORD error = readFile(posix, file))
        return failWith(error);
    std::string catalogue;
    if (DWORD error = parseBackup(file, catalogue))
        return failWith(error);
    mkdir(catalogueDirectory().c_str(), 0755);
    if (DWORD error = replaceFile(cataloguePath(), catalogue))
        return failWith(error);
    return S_OK;
}

}  // extern "C"
