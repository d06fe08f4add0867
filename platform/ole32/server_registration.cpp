// Installs the machine's automation servers as an installer (or regsvr32) would: the DLL in
// System32, and under HKLM\SOFTWARE\Classes (what HKEY_CLASSES_ROOT shows) each class's
// programmatic identifier, class identifier and InprocServer32.
#include "automation/servers.h"
#include "machine/hive.h"
#include "machine/machine.h"

#include <winerror.h>
#include <winreg.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace winsim {

namespace {

std::string clsidText(const CLSID &clsid)
{
    char text[40];
    snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", clsid.Data1, clsid.Data2,
             clsid.Data3, clsid.Data4[0], clsid.Data4[1], clsid.Data4[2], clsid.Data4[3], clsid.Data4[4],
             clsid.Data4[5], clsid.Data4[6], clsid.Data4[7]);
    return text;
}

bool setString(Hive &hive, int64_t key, const char *name, const std::string &text)
{
    return hive.setValue(key, RegistryValue{name, REG_SZ, registryString(text)}) == 0;
}

void registerServerClass(Hive &hive, const automation::ServerClass &served)
{
    const std::string clsid = clsidText(served.clsid);
    const std::string dllPath = std::string("C:\\Windows\\System32\\") + automation::kServerDll;
    int64_t key = 0;
    bool created = false;
    if (hive.createPath(Hive::kRootKey, {"Classes", "CLSID", clsid}, key, created) != 0 ||
        !setString(hive, key, "", served.description) || !setString(hive, key, "ProgID", served.progId))
        return;
    int64_t server = 0;
    if (hive.createPath(key, {"InprocServer32"}, server, created) != 0 || !setString(hive, server, "", dllPath) ||
        !setString(hive, server, "ThreadingModel", "Both"))
        return;
    int64_t progId = 0;
    int64_t progIdClass = 0;
    // The identifier is written last: a class counts as installed once its name leads to it.
    if (hive.createPath(Hive::kRootKey, {"Classes", served.progId}, progId, created) != 0 ||
        !setString(hive, progId, "", served.description) ||
        hive.createPath(progId, {"CLSID"}, progIdClass, created) != 0)
        return;
    setString(hive, progIdClass, "", clsid);
}

void installAutomationServers(const std::string &root)
{
    const std::string library = platformLibraryDirectory() + "/" + automation::kServerLibrary;
    const std::string dll = root + "/drive_c/Windows/System32/" + automation::kServerDll;
    struct stat st;
    if (stat(library.c_str(), &st) == 0 && lstat(dll.c_str(), &st) != 0)
        symlink(library.c_str(), dll.c_str());

    DWORD error = 0;
    auto hive = Hive::open(softwareHivePath(root), error);
    if (!hive)
        return;
    for (const automation::ServerClass *served : automation::kServerClasses) {
        int64_t existing = 0;
        if (hive->openPath(Hive::kRootKey, {"Classes", served->progId}, existing) != 0)
            registerServerClass(*hive, *served);
    }
}

const MachineSetupRegistration automationServersSetup(200, installAutomationServers);

}  // namespace

}  // namespace winsim
