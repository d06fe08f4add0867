// Natives of com.pemrix.vaultcore.os.win32.Util: the computer's names, the product type, restoring
// the COM+ registration catalogue, and stopping a service together with its dependents.
#include "../common/class_cache.h"
#include "../common/errors.h"
#include "../common/modules.h"
#include "../common/strings.h"

#include <windows.h>

#include <jni.h>

#include <cstring>
#include <memory>

using namespace pallux;

namespace {

// The whole stop of a service, its dependents included, ends within this time.
constexpr DWORD kStopDeadlineMs = 30000;
// The shortest pause between two status queries: a wait hint of 0 must not poll the manager
// without pause.
constexpr DWORD kShortestPollMs = 50;

// Room for the status that QueryServiceStatusEx and ControlService write; the natives read the
// state and the wait hint, which SERVICE_STATUS and SERVICE_STATUS_PROCESS share.
constexpr DWORD kStatusBufferSize = 1000;

using RegDBRestoreFunction = HRESULT(WINAPI *)(LPCWSTR);

struct ServiceHandleCloser {
    void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

struct ProcessHeapDeleter {
    void operator()(void *block) const { HeapFree(GetProcessHeap(), 0, block); }
};

struct LibraryReleaser {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
using LoadedLibrary = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryReleaser>;

// One stop of a service: its start tick, the deadline it keeps, and the status buffer.
class StopOperation {
public:
    StopOperation() : start_(GetTickCount()) {}

    DWORD elapsed() const { return GetTickCount() - start_; }  // unsigned: a wrap does not matter
    bool pastDeadline() const { return elapsed() > kStopDeadlineMs; }

    // Sleeps for the service's wait hint, but never past the deadline (so a huge hint cannot hold
    // the caller beyond it) and never less than a short pause (so a hint of 0 does not spin).
    void pause() const
    {
        const DWORD spent = elapsed();
        const DWORD left = spent > kStopDeadlineMs ? 0 : kStopDeadlineMs + 1 - spent;
        DWORD sleep = status()->dwWaitHint < kShortestPollMs ? kShortestPollMs : status()->dwWaitHint;
        if (sleep > left)
            sleep = left;
        Sleep(sleep);
    }

    bool query(SC_HANDLE service)
    {
        DWORD needed = 0;
        return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, buffer_, sizeof buffer_, &needed);
    }
    bool control(SC_HANDLE service, DWORD code)
    {
        return ControlService(service, code, reinterpret_cast<LPSERVICE_STATUS>(buffer_));
    }
    DWORD state() const { return status()->dwCurrentState; }

    // Waits until the service reports stopped: 0, the query's error, or ERROR_TIMEOUT.
    DWORD waitUntilStopped(SC_HANDLE service)
    {
        for (;;) {
            pause();
            if (!query(service))
                return GetLastError();
            if (state() == SERVICE_STOPPED)
                return 0;
            if (pastDeadline())
                return ERROR_TIMEOUT;
        }
    }

private:
    const SERVICE_STATUS *status() const { return reinterpret_cast<const SERVICE_STATUS *>(buffer_); }

    DWORD start_;
    alignas(SERVICE_STATUS_PROCESS) BYTE buffer_[kStatusBufferSize] = {};
};

// Stops every active service that depends on the service (Windows lists them in an order in
// which they can be stopped). Returns 0 or a Windows error.
DWORD stopDependents(SC_HANDLE manager, SC_HANDLE service, StopOperation &stop)
{
    DWORD needed = 0;
    DWORD count = 0;
    if (EnumDependentServicesA(service, SERVICE_ACTIVE, nullptr, 0, &needed, &count))
        return 0;
    if (GetLastError() != ERROR_MORE_DATA)
        return GetLastError();
    std::unique_ptr<void, ProcessHeapDeleter> block(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
    if (!block)
        return GetLastError();
    auto *dependents = static_cast<LPENUM_SERVICE_STATUSA>(block.get());
    if (!EnumDependentServicesA(service, SERVICE_ACTIVE, dependents, needed, &needed, &count))
        return GetLastError();
    for (DWORD i = 0; i < count; ++i) {
        ServiceHandle dependent(OpenServiceA(manager, dependents[i].lpServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
        if (!dependent)
            return GetLastError();
        if (!stop.control(dependent.get(), SERVICE_CONTROL_STOP)) {
            // One that stopped by itself since it was listed is where the stop wants it.
            if (GetLastError() == ERROR_SERVICE_NOT_ACTIVE)
                continue;
            return GetLastError();
        }
        if (DWORD error = stop.waitUntilStopped(dependent.get()))
            return error;
    }
    return 0;
}

DWORD stopServiceAndDependents(SC_HANDLE manager, SC_HANDLE service)
{
    StopOperation stop;
    if (!stop.query(service))
        return GetLastError();
    if (stop.state() == SERVICE_STOPPED)
        return 0;
    // A stop already under way is waited for first.
    while (stop.state() == SERVICE_STOP_PENDING) {
        stop.pause();
        if (!stop.query(service))
            return GetLastError();
        if (stop.state() == SERVICE_STOPPED)
            return 0;
        if (stop.pastDeadline())
            return ERROR_TIMEOUT;
    }
    if (DWORD error = stopDependents(manager, service, stop))
        return error;
    if (!stop.control(service, SERVICE_CONTROL_STOP)) {
        // Stopped by itself since it was queried: where the caller wants it.
        if (GetLastError() == ERROR_SERVICE_NOT_ACTIVE)
            return 0;
        return GetLastError();
    }
    return stop.waitUntilStopped(service);
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_Util_init(JNIEnv *env, jclass)
{
    if (!classCache.nullPointerException)
        cacheCommonClasses(env);
}

JNIEXPORT jstring JNICALL Java_com_pemrix_vaultcore_os_win32_Util_GetComputerNameEx(JNIEnv *env, jclass,
                                                                                   jint nameType)
{
    const auto format = static_cast<COMPUTER_NAME_FORMAT>(nameType);
    DWORD size = 0;
    GetComputerNameExW(format, nullptr, &size);
    DWORD error = GetLastError();
    if (error != ERROR_MORE_DATA) {
        throwSystemError(env, classCache.exception, error);
        return nullptr;
    }
    HeapPtr<WCHAR> name(static_cast<WCHAR *>(malloc(static_cast<size_t>(size) * 2 + 2)));
    if (!name) {
        env->ThrowNew(classCache.outOfMemoryError, "");
        return nullptr;
    }
    if (!GetComputerNameExW(format, name.get(), &size)) {
        throwSystemError(env, classCache.exception, GetLastError());
        return nullptr;
    }
    return env->NewString(reinterpret_cast<const jchar *>(name.get()), static_cast<jsize>(size));
}

JNIEXPORT jbyte JNICALL Java_com_pemrix_vaultcore_os_win32_Util_GetProductType(JNIEnv *, jclass)
{
    OSVERSIONINFOEXA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&version)))
        return static_cast<jbyte>(0xFF);
    return static_cast<jbyte>(version.wProductType);
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_Util_RegDBRestoreN(JNIEnv *env, jclass, jstring path)
{
    // Loaded for this one call; a system without the catalogue utilities has nothing to restore.
    LoadedLibrary catalogue(LoadLibraryA("catsrvut.dll"));
    if (!catalogue)
        return;
    auto restore = procAddress<RegDBRestoreFunction>(catalogue.get(), "RegDBRestore");
    if (!restore) {
        throwSystemError(env, classCache.exception, GetLastError());
        return;
    }
    HeapPtr<WCHAR> widePath(javaStringToWide(env, path));
    if (!widePath)
        return;
    // The function returns an HRESULT and need not set the last error: its own code then
    // describes the failure, never the "completed successfully" of a stale 0.
    SetLastError(ERROR_SUCCESS);
    HRESULT result = restore(widePath.get());
    DWORD error = GetLastError();
    if (result != S_OK)
        throwSystemError(env, classCache.exception, error != ERROR_SUCCESS ? error : static_cast<DWORD>(result));
}

JNIEXPORT void JNICALL Java_com_pemrix_vaultcore_os_win32_Util_StopServiceN(JNIEnv *env, jclass, jstring serviceName)
{
    HeapPtr<char> name(javaStringToUtf(env, serviceName));
    if (!name)
        return;
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        throwSystemError(env, classCache.exception, GetLastError());
        return;
    }
    ServiceHandle service(
        OpenServiceA(manager.get(), name.get(), SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS));
    if (!service) {
        throwSystemError(env, classCache.exception, GetLastError());
        return;
    }
    if (DWORD error = stopServiceAndDependents(manager.get(), service.get()))
        throwSystemError(env, classCache.exception, error);
}

}  // extern "C"
