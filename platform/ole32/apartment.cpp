// COM initialisation per thread and the task allocator. Each thread enters one apartment kind;
// nested initialisations of the same kind answer S_FALSE and are counted, as on Windows.
#include "ole32/com.h"

#include "machine/counters.h"

#include <ole2.h>

#include <atomic>
#include <cstdlib>

namespace winsim {

namespace {

struct Apartment {
    unsigned initialisations = 0;
    DWORD model = 0;
};

thread_local Apartment apartment;

// Threads of the process that are in the multithreaded apartment; while there is one, the
// apartment exists and threads that initialised nothing belong to it implicitly.
std::atomic<int> multithreadedThreads{0};

constexpr DWORD kModelBits = COINIT_APARTMENTTHREADED;

}  // namespace

bool comInitializedOnThisThread()
{
    return apartment.initialisations > 0;
}

bool comUsableOnThisThread()
{
    return apartment.initialisations > 0 || multithreadedThreads.load() > 0;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD coInit)
{
    if (reserved)
        return E_INVALIDARG;
    DWORD model = coInit & kModelBits;
    if (apartment.initialisations > 0 && apartment.model != model)
        return RPC_E_CHANGED_MODE;
    apartment.model = model;
    addToCounter("com.initialised");
    if (apartment.initialisations++ > 0)
        return S_FALSE;
    if (model == COINIT_MULTITHREADED)
        ++multithreadedThreads;
    return S_OK;
}

void WINAPI CoUninitialize(void)
{
    if (apartment.initialisations == 0)
        return;
    if (--apartment.initialisations == 0 && apartment.model == COINIT_MULTITHREADED)
        --multithreadedThreads;
    addToCounter("com.initialised", -1);
}

LPVOID WINAPI CoTaskMemAlloc(SIZE_T size)
{
    return malloc(size ? size : 1);
}

void WINAPI CoTaskMemFree(LPVOID block)
{
    free(block);
}

}  // extern "C"
