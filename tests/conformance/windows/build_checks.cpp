// The Windows build under Wine: the JNI libraries load, run their entry points, resolve every
// export by name and every import against the system's libraries; qzbackup installs itself,
// runs the Java application (a recording jvm.dll in its Java64\bin\server) under the system's
// service control manager, stops and removes itself.
#include "../framework/support.h"

#include <cstring>
#include <sstream>
#include <vector>

using namespace conformance;

namespace {

const BYTE *rva(HMODULE module, DWORD offset)
{
    return reinterpret_cast<const BYTE *>(module) + offset;
}

const IMAGE_DATA_DIRECTORY &directoryOf(HMODULE module, int entry)
{
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(module);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(rva(module, dos->e_lfanew));
    return nt->OptionalHeader.DataDirectory[entry];
}

// Every exported name resolves with GetProcAddress to the address the export table gives;
// the number of names is returned (-1 for no table).
int checkExports(Check &check, HMODULE module)
{
    const IMAGE_DATA_DIRECTORY &entry = directoryOf(module, IMAGE_DIRECTORY_ENTRY_EXPORT);
    if (entry.VirtualAddress == 0)
        return -1;
    const auto *exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(rva(module, entry.VirtualAddress));
    const auto *names = reinterpret_cast<const DWORD *>(rva(module, exports->AddressOfNames));
    const auto *ordinals = reinterpret_cast<const WORD *>(rva(module, exports->AddressOfNameOrdinals));
    const auto *functions = reinterpret_cast<const DWORD *>(rva(module, exports->AddressOfFunctions));
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        const char *name = reinterpret_cast<const char *>(rva(module, names[i]));
        const void *expected = rva(module, functions[ordinals[i]]);
        const void *resolved = reinterpret_cast<const void *>(GetProcAddress(module, name));
        if (resolved != expected)
            CONFORMANCE_FAIL(std::string("export ") + name + " resolves to " + describe(resolved) + ", not " +
                             describe(expected));
    }
    return static_cast<int>(exports->NumberOfNames);
}

// Every import is bound to what the exporting library gives for its name or ordinal: a
// function missing from the system's library would be left to a placeholder.
void checkImports(Check &check, HMODULE module)
{
    const IMAGE_DATA_DIRECTORY &entry = directoryOf(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (entry.VirtualAddress == 0)
        return;
    for (const auto *library = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(rva(module, entry.VirtualAddress));
         library->Name != 0; ++library) {
        const char *libraryName = reinterpret_cast<const char *>(rva(module, library->Name));
        HMODULE exporter = GetModuleHandleA(libraryName);
        if (!exporter) {
            CONFORMANCE_FAIL(std::string(libraryName) + " is not loaded");
            continue;
        }
        const auto *lookup = reinterpret_cast<const IMAGE_THUNK_DATA64 *>(
            rva(module, library->OriginalFirstThunk ? library->OriginalFirstThunk : library->FirstThunk));
        const auto *bound = reinterpret_cast<const IMAGE_THUNK_DATA64 *>(rva(module, library->FirstThunk));
        for (; lookup->u1.AddressOfData != 0; ++lookup, ++bound) {
            std::string name;
            FARPROC resolved = nullptr;
            if (IMAGE_SNAP_BY_ORDINAL64(lookup->u1.Ordinal)) {
                const WORD ordinal = static_cast<WORD>(IMAGE_ORDINAL64(lookup->u1.Ordinal));
                name = "#" + std::to_string(ordinal);
                resolved = GetProcAddress(exporter, MAKEINTRESOURCEA(ordinal));
            } else {
                const auto *byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(
                    rva(module, static_cast<DWORD>(lookup->u1.AddressOfData)));
                name = reinterpret_cast<const char *>(byName->Name);
                resolved = GetProcAddress(exporter, name.c_str());
            }
            if (!resolved)
                CONFORMANCE_FAIL(std::string(libraryName) + " has no " + name);
            else if (reinterpret_cast<ULONGLONG>(resolved) != bound->u1.Function)
                CONFORMANCE_FAIL(std::string(libraryName) + "!" + name + " is bound elsewhere than it resolves");
        }
    }
}

class Library {
public:
    explicit Library(const WString &path) : module_(LoadLibraryW(path.c_str())), error_(GetLastError()) {}
    ~Library()
    {
        if (module_)
            FreeLibrary(module_);
    }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    HMODULE get() const { return module_; }
    DWORD error() const { return error_; }

private:
    HMODULE module_;
    DWORD error_;
};

void checkLibraryExports(Check &check, const WCHAR *file)
{
    Library library(programDirectory() + file);
    if (!library.get()) {
        CONFORMANCE_FAIL(utf8(file) + " does not load: " + describe(library.error()));
        return;
    }
    int count = checkExports(check, library.get());
    EXPECT_TRUE(count > 0);
}

void checkLibraryImports(Check &check, const WCHAR *file)
{
    Library library(programDirectory() + file);
    if (!library.get()) {
        CONFORMANCE_FAIL(utf8(file) + " does not load: " + describe(library.error()));
        return;
    }
    checkImports(check, library.get());
}

// ---- the service host ----

// Runs a program to its end (at most timeoutMs) with its output in outputFile; its exit code,
// or -1 when it could not run or did not end.
long runProgram(const WString &commandLine, const WString &outputFile, DWORD timeoutMs = 60000)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    OwnedHandle output(CreateFileW(outputFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!output.valid())
        return -1;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
    PROCESS_INFORMATION process{};
    std::vector<WCHAR> line(commandLine.begin(), commandLine.end());
    line.push_back(0);
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process))
        return -1;
    OwnedHandle processHandle(process.hProcess);
    OwnedHandle thread(process.hThread);
    if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    return static_cast<long>(code);
}

// qzbackup.exe and its service.properties in the check's directory; with a Java runtime of
// the recording jvm.dll in Java64\bin\server when withJava.
bool installProgram(Check &check, const std::string &serviceName, bool withJava)
{
    const WString program = check.path(TEXT("qzbackup.exe"));
    if (!CopyFileW((programDirectory() + TEXT("qzbackup.exe")).c_str(), program.c_str(), FALSE))
        return false;
    if (withJava) {
        WString server = check.directory();
        for (const WCHAR *part : {TEXT("\\Java64"), TEXT("\\bin"), TEXT("\\server")}) {
            server += part;
            if (!makeDirectory(server))
                return false;
        }
        if (!CopyFileW((programDirectory() + TEXT("conformance-jvm.dll")).c_str(), (server + TEXT("\\jvm.dll")).c_str(),
                       FALSE))
            return false;
    }
    return writeFile(check.path(TEXT("service.properties")),
                     "service.name=" + serviceName + "\r\n" + "service.displayname=" + serviceName + " Display\r\n" +
                         "rel-classpath=app.jar;lib\\util.jar\r\n" + "main-class=com.example.Recorded\r\n" +
                         "memory=512\r\n");
}

long runQzbackup(Check &check, const char *command)
{
    return runProgram(TEXT("\"") + check.path(TEXT("qzbackup.exe")) + TEXT("\" ") + widen(command),
                      check.path(TEXT("qzbackup-output.txt")));
}

bool serviceGone(const std::string &name)
{
    return eventually([&] {
        OwnedService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        OwnedService service(OpenServiceA(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
        return !service.get() && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    });
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        out.push_back(line);
    }
    return out;
}

// The value of "thread=<id>" in a recorded line.
std::string threadOf(const std::string &line)
{
    size_t at = line.find("thread=");
    if (at == std::string::npos)
        return {};
    return line.substr(at + 7, line.find(' ', at) - at - 7);
}

}  // namespace

CHECK(windows_build, pallux_loads_and_resolves_every_export)
{
    checkLibraryExports(check, TEXT("pallux.dll"));
}

CHECK(windows_build, pallux_imports_resolve_against_the_system_libraries)
{
    checkLibraryImports(check, TEXT("pallux.dll"));
}

CHECK(windows_build, pallux_entry_point_loads_and_frees_the_remote_access_library)
{
    const bool loadedBefore = GetModuleHandleA("rasapi32.dll") != nullptr;
    {
        Library pallux(programDirectory() + TEXT("pallux.dll"));
        ASSERT_SUCCEEDS(pallux.get());
        EXPECT_TRUE(GetModuleHandleA("rasapi32.dll") != nullptr);
    }
    if (!loadedBefore)
        EXPECT_TRUE(GetModuleHandleA("rasapi32.dll") == nullptr);
}

CHECK(windows_build, shadelink_loads_and_resolves_every_export)
{
    checkLibraryExports(check, TEXT("shadelink.dll"));
}

CHECK(windows_build, shadelink_imports_resolve_against_the_system_libraries)
{
    checkLibraryImports(check, TEXT("shadelink.dll"));
}

CHECK(windows_build, qzbackup_installs_itself_as_an_automatic_own_process_service)
{
    const std::string name = "QzConformanceInstall";
    ASSERT_TRUE(installProgram(check, name, false));
    EXPECT_EQ(runQzbackup(check, "-install"), 0);

    OwnedService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    OwnedService service(OpenServiceA(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG));
    ASSERT_SUCCEEDS(service.get());
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGA *>(buffer.data());
    ASSERT_SUCCEEDS(QueryServiceConfigA(service.get(), config, static_cast<DWORD>(buffer.size()), &needed));
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(std::string(config->lpBinaryPathName), "\"" + utf8(check.path(TEXT("qzbackup.exe"))) + "\" -start");
    EXPECT_EQ(std::string(config->lpDisplayName), name + " Display");
    EXPECT_EQ(std::string(config->lpServiceStartName), std::string("LocalSystem"));
    service.reset();

    EXPECT_EQ(runQzbackup(check, "-remove"), 0);
    EXPECT_TRUE(serviceGone(name));
    std::string output;
    EXPECT_TRUE(readFile(check.path(TEXT("qzbackup-output.txt")), output));
    EXPECT_TRUE(output.find(name + " Display installed.") != std::string::npos);
    EXPECT_TRUE(output.find(name + " Display removed.") != std::string::npos);
}

CHECK(windows_build, qzbackup_runs_java_under_the_service_manager)
{
    const std::string name = "QzConformanceRun";
    ASSERT_TRUE(installProgram(check, name, true));
    ASSERT_EQ(runQzbackup(check, "-install"), 0);
    OwnedService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    OwnedService service(OpenServiceA(manager.get(), name.c_str(), SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS));
    ASSERT_SUCCEEDS(service.get());

    const char *arguments[] = {"-trace"};
    EXPECT_SUCCEEDS(StartServiceA(service.get(), 1, arguments));
    SERVICE_STATUS status{};
    EXPECT_TRUE(eventually([&] {
        return QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_RUNNING;
    }, 30000));
    EXPECT_EQ(status.dwControlsAccepted & SERVICE_ACCEPT_STOP, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    EXPECT_SUCCEEDS(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(eventually([&] {
        return QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOPPED;
    }, 30000));
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    service.reset();
    EXPECT_EQ(runQzbackup(check, "-remove"), 0);
    EXPECT_TRUE(serviceGone(name));

    std::string recorded;
    ASSERT_TRUE(readFile(check.path(TEXT("Java64\\bin\\server\\jvm-calls.txt")), recorded));
    const std::vector<std::string> calls = lines(recorded);
    const std::string directory = utf8(check.directory()) + "\\";
    const std::vector<std::string> startup = {
        "option -Djava.class.path=" + directory + "app.jar;" + directory + "lib\\util.jar",
        "option -Djava.library.path=" + directory,
        "option -Xmx512m",
        "option -Dsun.net.inetaddr.ttl=300",
        "FindClass com/example/Recorded",
        "GetStaticMethodID com/example/Recorded main ([Ljava/lang/String;)V",
    };
    ASSERT_TRUE(calls.size() > startup.size() + 1);
    EXPECT_EQ(calls[0].substr(0, calls[0].find(" thread=")),
              std::string("JNI_CreateJavaVM version=10002 ignoreUnrecognized=1 options=4"));
    for (size_t i = 0; i < startup.size(); ++i)
        EXPECT_EQ(calls[i + 1], startup[i]);

    // main with the service's arguments (the strings made on the way aside), Stop and the
    // destruction, on the thread that made the virtual machine.
    const std::string creator = threadOf(calls[0]);
    std::vector<std::string> rest;
    for (size_t i = startup.size() + 1; i < calls.size(); ++i)
        if (calls[i].find(" java/lang/String") == std::string::npos)
            rest.push_back(calls[i]);
    const std::vector<std::string> expected = {
        "CallStaticVoidMethod com/example/Recorded main thread=" + creator + " argument " + name + " argument -trace",
        "GetEnv version=10002 thread=" + creator + " -> JNI_OK",
        "GetStaticMethodID com/example/Recorded Stop ()V",
        "CallStaticVoidMethod com/example/Recorded Stop thread=" + creator,
        "DestroyJavaVM thread=" + creator,
    };
    EXPECT_EQ(rest.size(), expected.size());
    for (size_t i = 0; i < rest.size() && i < expected.size(); ++i)
        EXPECT_EQ(rest[i], expected[i]);
}
