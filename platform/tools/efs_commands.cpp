// winsim efs ...: encrypted files and the users' keys of the machine.
#include "commands.h"

#include "advapi32/efs.h"
#include "kernel32/file.h"
#include "machine/file_metadata.h"
#include "machine/text.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The value after `option` among the arguments, or the fallback.
std::string option(int argc, char **argv, const char *name, const std::string &fallback)
{
    for (int i = 0; i + 1 < argc; ++i)
        if (strcmp(argv[i], name) == 0)
            return argv[i + 1];
    return fallback;
}

std::string hex(const uint8_t *data, size_t size)
{
    std::string out;
    char two[3];
    for (size_t i = 0; i < size; ++i) {
        snprintf(two, sizeof two, "%02x", data[i]);
        out += two;
    }
    return out;
}

int show(const char *path)
{
    winsim::ExistingFile file;
    if (!file.open(winsim::toUtf16(path).c_str()))
        return lastFailure(path);
    const DWORD attributes = winsim::readAttributes(file.fd, file.st, file.posix);
    winsim::EfsMetadata metadata;
    const DWORD state = winsim::readEfsMetadata(file.fd, metadata);
    printf("attributes 0x%x\n", attributes);
    printf("encrypted  %s\n", state == 0 ? "yes" : "no");
    if (state != 0 && state != ERROR_FILE_NOT_ENCRYPTED)
        return failed(path, static_cast<LONG>(state));
    for (const winsim::EfsUser &user : metadata.users)
        printf("user       %s key %s\n", user.sid.c_str(), hex(user.thumbprint.data(), user.thumbprint.size()).c_str());
    for (const winsim::EfsStream &stream : metadata.streams)
        printf("stream     %s %llu bytes\n", stream.name.empty() ? "(data)" : winsim::toUtf8(stream.name).c_str(),
               static_cast<unsigned long long>(stream.size));
    return 0;
}

}  // namespace

int efsCommand(int argc, char **argv)
{
    if (argc < 2)
        return commandUsage("efs");
    const std::string verb = argv[0];
    const std::string sid = option(argc, argv, "--user", winsim::tokenUserSidText());
    if (verb == "encrypt" || verb == "decrypt") {
        const std::u16string path = winsim::toUtf16(argv[1]);
        DWORD error = verb == "encrypt" ? winsim::encryptFileFor(path.c_str(), sid) : winsim::decryptFileAs(path.c_str(), sid);
        return error ? failed(argv[1], static_cast<LONG>(error)) : 0;
    }
    if (verb == "show" && argc == 2)
        return show(argv[1]);
    if (verb == "key" && argc >= 3) {
        const std::string subverb = argv[1];
        const std::string password = option(argc, argv, "--password", "");
        if (subverb == "export") {
            if (DWORD error = winsim::exportUserKeys(sid, argv[2], password))
                return failed("key export", static_cast<LONG>(error));
            printf("exported the keys of %s\n", sid.c_str());
            return 0;
        }
        if (subverb == "import") {
            std::string owner;
            if (DWORD error = winsim::importUserKeys(argv[2], password, owner))
                return failed("key import", static_cast<LONG>(error));
            printf("imported the keys of %s\n", owner.c_str());
            return 0;
        }
    }
    return commandUsage("efs");
}
