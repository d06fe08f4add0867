// LoadLibraryA, GetProcAddress, FreeLibrary: DLL names resolve the Windows way, through the
// program's directory and the machine's System32, where the stand-in DLLs are installed.
#include "machine/machine.h"
#include "machine/paths.h"
#include "machine/text.h"

#include <windows.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

namespace winsim {

namespace {

bool isFile(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string programDirectory()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string program(path, static_cast<size_t>(n));
    return program.substr(0, program.find_last_of('/'));
}

// The POSIX file of a DLL name, or empty.
std::string findModule(const std::string &name)
{
    const bool hasPath = name.find_first_of("\\/:") != std::string::npos;
    // Windows adds ".dll" to a name without an extension; a trailing dot means "no extension".
    std::string file = name;
    size_t base = file.find_last_of("\\/");
    base = base == std::string::npos ? 0 : base + 1;
    if (!file.empty() && file.back() == '.')
        file.pop_back();
    else if (file.find('.', base) == std::string::npos)
        file += ".dll";
    std::vector<std::u16string> candidates;
    if (hasPath) {
        candidates.push_back(toUtf16(file));
    } else {
        candidates.push_back(windowsPathFromPosix(programDirectory()) + u"\\" + toUtf16(file));
        candidates.push_back(u"C:\\Windows\\System32\\" + toUtf16(file));
    }
    for (const std::u16string &candidate : candidates) {
        MappedPath mapped;
        if (mapWindowsPath(candidate, mapped) == 0 && isFile(mapped.posix))
            return mapped.posix;
    }
    return {};
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

HMODULE WINAPI LoadLibraryA(LPCSTR name)
{
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    machineRoot();
    std::string file = findModule(name);
    if (file.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void *module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    return static_cast<HMODULE>(module);
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name)
{
    // Import by ordinal (a name pointer below 64K) is not offered by the stand-in libraries.
    if (!module || reinterpret_cast<uintptr_t>(name) < 0x10000) {
        SetLastError(module ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void *symbol = dlsym(module, name);
    if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL WINAPI FreeLibrary(HMODULE module)
{
    if (!module || dlclose(module) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// The stand-in loader sends no thread notifications at all, so there is nothing to turn off.
BOOL WINAPI DisableThreadLibraryCalls(HMODULE module)
{
    if (!module) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
