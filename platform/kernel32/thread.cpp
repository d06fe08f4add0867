// Threads: CreateThread runs the routine on a new POSIX thread and gives a handle to a thread
// object, which is signalled once the thread has ended, after everything that ends with it (its
// message queue and windows, ...) is gone. Thread identifiers are the kernel's thread ids: unique
// on the machine while the thread runs, as Windows' are.
#include "kernel32/waitable.h"

#include <windows.h>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <future>
#include <memory>

namespace winsim {

namespace {

struct ThreadObject : WaitableObject {
    DWORD id = 0;
    // Both under waitLock().
    bool ended = false;
    DWORD exitCode = STILL_ACTIVE;

    bool signalled() const override { return ended; }
};

struct ThreadStart {
    std::shared_ptr<ThreadObject> thread;
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
    std::promise<DWORD> started;
};

// Made first on a created thread, so destroyed last of its thread-local objects: the thread
// object is signalled only after the others (message queue, windows) are cleaned up.
struct EndSignal {
    std::shared_ptr<ThreadObject> thread;
    DWORD exitCode = 0;
    ~EndSignal()
    {
        updateWaitables([&] {
            thread->exitCode = exitCode;
            thread->ended = true;
        });
    }
};

void *threadMain(void *argument)
{
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart *>(argument));
    thread_local EndSignal end;
    end.thread = start->thread;
    start->thread->id = static_cast<DWORD>(gettid());
    start->started.set_value(start->thread->id);
    LPTHREAD_START_ROUTINE routine = start->routine;
    LPVOID parameter = start->parameter;
    start.reset();
    end.exitCode = routine(parameter);
    return nullptr;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine, LPVOID parameter,
                           DWORD flags, LPDWORD threadId)
{
    if (!routine) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (flags & CREATE_SUSPENDED) {
        // Nothing here starts a thread suspended (there is no ResumeThread).
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto thread = std::make_shared<ThreadObject>();
    auto *start = new ThreadStart{thread, routine, parameter, {}};
    std::future<DWORD> started = start->started.get_future();

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize) {
        // Windows rounds the size up to its allocation granularity; POSIX needs a minimum.
        const SIZE_T granularity = 64 * 1024;
        stackSize = (stackSize + granularity - 1) / granularity * granularity;
        pthread_attr_setstacksize(&attributes, stackSize);
    }
    pthread_t posixThread;
    int error = pthread_create(&posixThread, &attributes, threadMain, start);
    pthread_attr_destroy(&attributes);
    if (error) {
        delete start;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // Windows hands out the identifier with the handle, so wait until the thread has one.
    const DWORD id = started.get();
    if (threadId)
        *threadId = id;
    SetLastError(ERROR_SUCCESS);
    return insertHandle(thread);
}

DWORD WINAPI GetCurrentThreadId(void)
{
    return static_cast<DWORD>(gettid());
}

BOOL WINAPI GetExitCodeThread(HANDLE handle, LPDWORD exitCode)
{
    auto thread = lookupHandleAs<ThreadObject>(handle);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!exitCode) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(waitLock());
    *exitCode = thread->exitCode;
    return TRUE;
}

}  // extern "C"
