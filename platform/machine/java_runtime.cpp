#include "machine/java_runtime.h"

#include "machine/hive.h"
#include "machine/machine.h"

#include <winerror.h>
#include <winreg.h>

#include <sys/stat.h>
#include <unistd.h>

namespace winsim {

namespace {

constexpr const char *kShimLibrary = "libwinsim-jvm.so";

void makeDirectories(const std::string &path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

DWORD setString(Hive &hive, int64_t key, const char *name, const std::string &text)
{
    return hive.setValue(key, RegistryValue{name, REG_SZ, registryString(text)});
}

}  // namespace

void installJavaRuntime(const std::string &root)
{
    const std::string server = root + "/drive_c/Program Files/Java/jre/bin/server";
    makeDirectories(server);
    const std::string shim = platformLibraryDirectory() + "/" + kShimLibrary;
    const std::string dll = server + "/jvm.dll";
    struct stat st;
    if (stat(shim.c_str(), &st) == 0 && lstat(dll.c_str(), &st) != 0)
        symlink(shim.c_str(), dll.c_str());

    DWORD error = 0;
    auto hive = Hive::open(softwareHivePath(root), error);
    if (!hive)
        return;
    int64_t jre = 0;
    bool created = false;
    if (hive->createPath(Hive::kRootKey, {"JavaSoft", "Java Runtime Environment"}, jre, created) != 0)
        return;
    RegistryValue current;
    if (hive->queryValue(jre, "CurrentVersion", current) == 0)
        return;
    int64_t version = 0;
    if (hive->createPath(jre, {kJavaVersion}, version, created) != 0)
        return;
    const std::string home = kJavaHome;
    setString(*hive, version, "JavaHome", home);
    setString(*hive, version, "RuntimeLib", home + "\\bin\\server\\jvm.dll");
    // Written last: a runtime counts as installed once its current version is named.
    setString(*hive, jre, "CurrentVersion", kJavaVersion);
}

namespace {
const MachineSetupRegistration javaRuntimeSetup(100, installJavaRuntime);
}

}  // namespace winsim
