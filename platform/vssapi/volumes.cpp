#include "vssapi/volumes.h"

#include "machine/machine.h"
#include "machine/paths.h"
#include "machine/text.h"
#include "vssapi/service.h"

#include <sys/stat.h>

#include <vss.h>

namespace winsim::vss {

namespace {

bool isDirectory(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A GUID of the machine and the letter: the same every time, different for every machine.
std::u16string guidNameOf(char16_t letter)
{
    uint64_t low = 1469598103934665603ull, high = 1099511628211ull;
    for (char c : machineRoot() + ":" + static_cast<char>(letter)) {
        low = (low ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        high = (high ^ static_cast<unsigned char>(c)) * 14029467366897019727ull;
    }
    auto mix = [](uint64_t x) {
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
        return x ^ (x >> 31);
    };
    low = mix(low);
    high = mix(high ^ low);
    VSS_ID id;
    id.Data1 = static_cast<DWORD>(low);
    id.Data2 = static_cast<WORD>(low >> 32);
    id.Data3 = static_cast<WORD>(((low >> 48) & 0x0fff) | 0x4000);
    for (int i = 0; i < 8; ++i)
        id.Data4[i] = static_cast<BYTE>(high >> (8 * i));
    id.Data4[0] = static_cast<BYTE>((id.Data4[0] & 0x3f) | 0x80);
    return u"\\\\?\\Volume" + toUtf16(guidText(id)) + u"\\";
}

Volume volumeOf(char16_t letter)
{
    Volume volume;
    volume.letter = letter;
    volume.root = driveDirectory(letter);
    volume.guidName = guidNameOf(letter);
    std::string key = std::string("vss.volume.") + static_cast<char>(letter) + ".supported";
    volume.supported = machineFlag(key, true);
    return volume;
}

bool isLetter(char16_t c)
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

}  // namespace

std::vector<Volume> machineVolumes()
{
    std::vector<Volume> volumes;
    for (char16_t letter = u'A'; letter <= u'Y'; ++letter)
        if (isDirectory(driveDirectory(letter)))
            volumes.push_back(volumeOf(letter));
    return volumes;
}

HRESULT findVolume(std::u16string_view name, Volume &out)
{
    // A volume is named by a mount point, which ends in a backslash: "C:" or a GUID name without
    // it names no volume, as on Windows.
    if (name.size() >= 2 && name.size() <= 3 && isLetter(name[0]) && name[1] == u':') {
        char16_t letter = foldCase(name[0]);
        if (name.size() == 2 || name[2] != u'\\' || letter == u'Z' || !isDirectory(driveDirectory(letter)))
            return VSS_E_OBJECT_NOT_FOUND;
        out = volumeOf(letter);
        return S_OK;
    }
    if (name.size() >= 10 && equalsIgnoreCase(name.substr(0, 10), u"\\\\?\\Volume")) {
        for (const Volume &volume : machineVolumes()) {
            if (equalsIgnoreCase(name, volume.guidName)) {
                out = volume;
                return S_OK;
            }
        }
        return VSS_E_OBJECT_NOT_FOUND;
    }
    return E_INVALIDARG;
}

}  // namespace winsim::vss
