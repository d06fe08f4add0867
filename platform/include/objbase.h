/* Stand-in Windows SDK: COM initialisation and the task allocator (ole32). */
#pragma once

#include "unknwn.h"

typedef enum tagCOINIT {
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_MULTITHREADED = 0x0,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

extern "C" HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
extern "C" void WINAPI CoUninitialize(void);
extern "C" LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb);
extern "C" void WINAPI CoTaskMemFree(LPVOID pv);
