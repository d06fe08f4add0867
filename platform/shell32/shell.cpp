// ExtractIconA and ShellExecuteA.
//
// ShellExecuteA answers as Windows does for what it finds (a missing file or folder, a file
// type without a program registered under HKLM\SOFTWARE\Classes, a program, a folder, a
// document with a program) and records each request on the desktop, where the machine tool
// lists it; it starts nothing, as a machine without a user session would show nothing.
#include "shell32/icon_file.h"
#include "user32/desktop.h"
#include "user32/icons.h"

#include "machine/paths.h"
#include "machine/text.h"

#include <windows.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace winsim {

namespace {

// What ShellExecute returns when it did what was asked: any value above 32.
constexpr intptr_t kShellExecuted = 42;

class File {
public:
    explicit File(const std::string &path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~File()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    bool isRegular() const
    {
        struct stat st;
        return fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
    }
    bool readAt(uint64_t offset, void *buffer, size_t size) const
    {
        return pread(fd_, buffer, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
    }

private:
    int fd_;
};

bool registryKeyExists(const std::string &path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// The scheme of a URL ("http" of "http://host/"), empty for a path; one letter is a drive.
std::string urlScheme(const std::string &file)
{
    size_t colon = file.find(':');
    if (colon == std::string::npos || colon < 2)
        return {};
    for (size_t i = 0; i < colon; ++i) {
        char c = file[i];
        if (!isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return {};
    }
    return file.substr(0, colon);
}

std::string extensionOf(const std::string &file)
{
    size_t dot = file.find_last_of('.');
    size_t separator = file.find_last_of("\\/");
    if (dot == std::string::npos || (separator != std::string::npos && dot < separator))
        return {};
    return file.substr(dot);
}

bool isProgram(const std::string &extension)
{
    for (const char *program : {".exe", ".com", ".bat", ".cmd"})
        if (equalsIgnoreCase(std::string_view(extension), std::string_view(program)))
            return true;
    return false;
}

intptr_t shellExecute(const std::string &verb, const std::string &file, const std::string &directory)
{
    if (file.empty())
        return SE_ERR_FNF;
    const bool opens = verb.empty() || equalsIgnoreCase(std::string_view(verb), std::string_view("open")) ||
                       equalsIgnoreCase(std::string_view(verb), std::string_view("runas"));
    const std::string scheme = urlScheme(file);
    if (!scheme.empty())
        return registryKeyExists("SOFTWARE\\Classes\\" + scheme) ? kShellExecuted : SE_ERR_NOASSOC;

    std::string path = file;
    const bool relative = path.size() < 2 || (path[1] != ':' && path[0] != '\\' && path[0] != '/');
    if (relative && !directory.empty())
        path = directory + "\\" + path;
    MappedPath mapped;
    if (DWORD error = mapWindowsPath(toUtf16(path), mapped))
        return error == ERROR_PATH_NOT_FOUND ? SE_ERR_PNF : SE_ERR_FNF;
    struct stat st;
    if (stat(mapped.posix.c_str(), &st) != 0)
        return errorForMissing(mapped.posix) == ERROR_PATH_NOT_FOUND ? SE_ERR_PNF : SE_ERR_FNF;
    if (S_ISDIR(st.st_mode))
        return opens || equalsIgnoreCase(std::string_view(verb), std::string_view("explore")) ? kShellExecuted
                                                                                              : SE_ERR_NOASSOC;
    const std::string extension = extensionOf(file);
    if (isProgram(extension))
        return opens ? kShellExecuted : SE_ERR_NOASSOC;
    if (extension.empty() || !registryKeyExists("SOFTWARE\\Classes\\" + extension))
        return SE_ERR_NOASSOC;
    return kShellExecuted;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

HICON WINAPI ExtractIconA(HINSTANCE, LPCSTR fileName, UINT index)
{
    if (!fileName || !*fileName)
        return nullptr;
    MappedPath mapped;
    if (mapWindowsPath(toUtf16(fileName), mapped) != 0)
        return nullptr;
    File file(mapped.posix);
    if (!file.isRegular())
        return nullptr;
    std::optional<unsigned> count =
        iconCount([&](uint64_t offset, void *buffer, size_t size) { return file.readAt(offset, buffer, size); });
    if (!count)
        return reinterpret_cast<HICON>(static_cast<uintptr_t>(1));  // neither an icon file nor an executable
    if (index == static_cast<UINT>(-1))
        return reinterpret_cast<HICON>(static_cast<uintptr_t>(*count));
    if (index >= *count)
        return nullptr;
    return createIcon(mapped.posix, index);
}

HINSTANCE WINAPI ShellExecuteA(HWND, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory, INT show)
{
    ShellExecution execution;
    execution.process = static_cast<uint32_t>(getpid());
    execution.verb = verb ? verb : "";
    execution.file = file ? file : "";
    execution.parameters = parameters ? parameters : "";
    execution.directory = directory ? directory : "";
    execution.show = show;
    execution.result = shellExecute(execution.verb, execution.file, execution.directory);
    recordShellExecution(execution);
    return reinterpret_cast<HINSTANCE>(execution.result);
}

}  // extern "C"
