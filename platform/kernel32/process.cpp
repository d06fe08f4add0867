// Memory, pseudo handles and the other small process services.
#include <windows.h>

#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern "C" {

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes)
{
    void *block = (flags & LMEM_ZEROINIT) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
    if (!block)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

HLOCAL WINAPI LocalFree(HLOCAL block)
{
    free(block);
    return nullptr;
}

HANDLE WINAPI GetProcessHeap(void)
{
    static int processHeap;
    return &processHeap;
}

LPVOID WINAPI HeapAlloc(HANDLE, DWORD flags, SIZE_T bytes)
{
    return (flags & HEAP_ZERO_MEMORY) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
}

BOOL WINAPI HeapFree(HANDLE, DWORD, LPVOID block)
{
    free(block);
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess(void)
{
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

HANDLE WINAPI GetCurrentThread(void)
{
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));
}

DWORD WINAPI GetCurrentProcessId(void)
{
    return static_cast<DWORD>(getpid());
}

void WINAPI Sleep(DWORD milliseconds)
{
    // Sleep(0) gives the rest of the time slice to another ready thread.
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    timespec delay{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

void WINAPI ExitProcess(UINT exitCode)
{
    // Every thread ends at once. Libraries are not notified and the C runtime's buffers are not
    // written out here, so a caller flushes what it printed first.
    _exit(static_cast<int>(exitCode));
}

}  // extern "C"
