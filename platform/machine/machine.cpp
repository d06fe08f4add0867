#include "machine/machine.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

namespace winsim {

namespace {

// System DLL name (as Windows resolves it in System32) and the stand-in library that plays it.
struct SystemDll {
    const char *dllName;
    const char *library;
};

const SystemDll kSystemDlls[] = {
    {"kernel32.dll", "libwinsim.so"}, {"kernelbase.dll", "libwinsim.so"}, {"advapi32.dll", "libwinsim.so"},
    {"ntdll.dll", "libwinsim.so"},    {"user32.dll", "libwinsim.so"},     {"shell32.dll", "libwinsim.so"},
    {"ole32.dll", "libwinsim.so"},    {"oleaut32.dll", "libwinsim.so"},   {"vssapi.dll", "libvssapi.so"},
    {"rasapi32.dll", "librasapi32.so"}, {"wininet.dll", "libwininet.so"}, {"catsrvut.dll", "libcatsrvut.so"},
};

const char *kDefaultSettings =
    "# Emulated machine settings; see the README.\n"
    "administrator = yes\n";

void makeDirectories(const std::string &path)
{
    std::string partial;
    std::stringstream parts(path);
    std::string piece;
    while (std::getline(parts, piece, '/')) {
        if (piece.empty()) {
            partial += '/';
            continue;
        }
        partial += piece;
        mkdir(partial.c_str(), 0755);
        partial += '/';
    }
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string defaultRoot()
{
    if (const char *data = getenv("XDG_DATA_HOME"); data && *data)
        return std::string(data) + "/winsim";
    const char *home = getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/share/winsim";
}

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::map<std::string, std::string> readSettings(const std::string &root)
{
    std::map<std::string, std::string> settings;
    std::ifstream in(root + "/machine.conf");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        settings[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    }
    return settings;
}

struct SetupStep {
    int order;
    MachineSetupStep step;
};

// Filled by static objects while the library loads, so only through a function-local static.
std::vector<SetupStep> &setupSteps()
{
    static std::vector<SetupStep> steps;
    return steps;
}

void writeFileAtomically(const std::string &path, const std::string &content)
{
    std::string temp = path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(temp, std::ios::trunc);
        out << content;
    }
    rename(temp.c_str(), path.c_str());
}

}  // namespace

MachineSetupRegistration::MachineSetupRegistration(int order, MachineSetupStep step)
{
    setupSteps().push_back({order, step});
}

const std::string &platformLibraryDirectory()
{
    static const std::string dir = [] {
        Dl_info info{};
        dladdr(reinterpret_cast<void *>(&platformLibraryDirectory), &info);
        std::string path = info.dli_fname ? info.dli_fname : ".";
        char resolved[PATH_MAX];
        if (realpath(path.c_str(), resolved))
            path = resolved;
        size_t slash = path.rfind('/');
        return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    }();
    return dir;
}

void createMachine(const std::string &root)
{
    const std::string system32 = root + "/drive_c/Windows/System32";
    makeDirectories(system32 + "/config");
    makeDirectories(root + "/drive_c/Windows/Temp");
    makeDirectories(root + "/drive_c/Program Files");
    makeDirectories(root + "/drive_c/Users/Public");
    makeDirectories(root + "/unc");
    makeDirectories(root + "/sidecar");

    const std::string &libDir = platformLibraryDirectory();
    for (const SystemDll &dll : kSystemDlls) {
        std::string target = libDir + "/" + dll.library;
        std::string link = system32 + "/" + dll.dllName;
        if (exists(target) && !exists(link))
            symlink(target.c_str(), link.c_str());
    }

    if (!exists(root + "/machine.conf"))
        writeFileAtomically(root + "/machine.conf", kDefaultSettings);
    std::vector<SetupStep> steps = setupSteps();
    std::stable_sort(steps.begin(), steps.end(), [](const SetupStep &a, const SetupStep &b) { return a.order < b.order; });
    for (const SetupStep &entry : steps)
        entry.step(root);
}

const std::string &machineRoot()
{
    static std::once_flag once;
    static std::string root;
    std::call_once(once, [] {
        const char *configured = getenv(kMachineRootVariable);
        root = configured && *configured ? configured : defaultRoot();
        while (root.size() > 1 && root.back() == '/')
            root.pop_back();
        char resolved[PATH_MAX];
        makeDirectories(root);
        if (realpath(root.c_str(), resolved))
            root = resolved;
        if (!exists(root + "/machine.conf") || !exists(root + "/drive_c/Windows/System32"))
            createMachine(root);
    });
    return root;
}

std::string machineSetting(const std::string &key, const std::string &fallback)
{
    auto settings = readSettings(machineRoot());
    auto it = settings.find(key);
    return it == settings.end() ? fallback : it->second;
}

bool machineFlag(const std::string &key, bool fallback)
{
    std::string value = machineSetting(key, "");
    // An empty value clears the setting, as `winsim config set <key> ""` does for any other.
    if (value.empty())
        return fallback;
    return value == "yes" || value == "true" || value == "1" || value == "on";
}

void setMachineSetting(const std::string &root, const std::string &key, const std::string &value)
{
    std::ifstream in(root + "/machine.conf");
    std::ostringstream out;
    std::string line;
    bool replaced = false;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (!line.empty() && line[0] != '#' && eq != std::string::npos && trim(line.substr(0, eq)) == key) {
            if (!replaced)
                out << key << " = " << value << '\n';
            replaced = true;
            continue;
        }
        out << line << '\n';
    }
    if (!replaced)
        out << key << " = " << value << '\n';
    writeFileAtomically(root + "/machine.conf", out.str());
}

}  // namespace winsim
