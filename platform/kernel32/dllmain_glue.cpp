// Linked into every DLL built for the stand-in platform: calls the library's DllMain when the
// library is loaded and unloaded, as the Windows loader does. A library without a DllMain
// leaves the weak reference null.
#include <windows.h>

#include <dlfcn.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) __attribute__((weak));

namespace {

HINSTANCE thisModule()
{
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&thisModule), &info) || !info.dli_fname)
        return nullptr;
    // The loader's handle of this library, the value LoadLibraryA returns for it.
    void *handle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    if (handle)
        dlclose(handle);
    return static_cast<HINSTANCE>(handle);
}

__attribute__((constructor)) void attachProcess()
{
    if (DllMain)
        DllMain(thisModule(), DLL_PROCESS_ATTACH, nullptr);
}

__attribute__((destructor)) void detachProcess()
{
    if (DllMain)
        DllMain(thisModule(), DLL_PROCESS_DETACH, nullptr);
}

}  // namespace
