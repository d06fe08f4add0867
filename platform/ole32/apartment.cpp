// COM initialisation per thread and the task allocator. Each thread enters one apartment kind;
// nested initialisations of the same kind answer S_FALSE and are counted, as on Windows.
#include "ole32/com.h"

#include "machine/counters.h"

#include <ole2.h>

#include <cstdlib>

extern "C" const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace winsim {

namespace {

struct Apartment {
    unsigned initialisations = 0;
    DWORD model = 0;
};

thread_local Apartment apartment;

constexpr DWORD kModelBits = COINIT_APARTMENTTHREADED;

}  // namespace

bool comInitializedOnThisThread()
{
    return apartment.initialisations > 0;
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
    return apartment.initialisations++ == 0 ? S_OK : S_FALSE;
}

void WINAPI CoUninitialize(void)
{
    if (apartment.initialisations == 0)
        return;
    --apartment.initialisations;
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
