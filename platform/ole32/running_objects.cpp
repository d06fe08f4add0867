// Active objects (oleaut32): RegisterActiveObject, RevokeActiveObject and GetActiveObject over
// the process's running object table, keyed by class. The table holds a reference on each
// registered object until it is revoked; weak and strong registrations are alike, as there is
// no other process to hold the object alive for.
#include "machine/injected_faults.h"
#include "ole32/com.h"

#include <ole2.h>

#include <mutex>
#include <vector>

using namespace winsim;

namespace {

struct Registration {
    DWORD token;
    CLSID clsid;
    IUnknown *object;
};

struct RunningObjects {
    std::mutex mutex;
    std::vector<Registration> entries;  // oldest first
    DWORD lastToken = 0;
};

RunningObjects &table()
{
    // Never destroyed: a registration may outlive static destruction at process exit.
    static RunningObjects *const objects = new RunningObjects;
    return *objects;
}

}  // namespace

extern "C" {

HRESULT WINAPI RegisterActiveObject(IUnknown *object, REFCLSID clsid, DWORD, DWORD *token)
{
    if (!object || !token)
        return E_INVALIDARG;
    if (!comUsableOnThisThread())
        return CO_E_NOTINITIALIZED;
    object->AddRef();
    RunningObjects &objects = table();
    std::lock_guard<std::mutex> lock(objects.mutex);
    bool already = false;
    for (const Registration &entry : objects.entries)
        already |= entry.clsid == clsid;
    *token = ++objects.lastToken;
    objects.entries.push_back(Registration{*token, clsid, object});
    return already ? MK_S_MONIKERALREADYREGISTERED : S_OK;
}

HRESULT WINAPI RevokeActiveObject(DWORD token, void *)
{
    if (!comUsableOnThisThread())
        return CO_E_NOTINITIALIZED;
    IUnknown *released = nullptr;
    {
        RunningObjects &objects = table();
        std::lock_guard<std::mutex> lock(objects.mutex);
        for (auto entry = objects.entries.begin(); entry != objects.entries.end(); ++entry) {
            if (entry->token == token) {
                released = entry->object;
                objects.entries.erase(entry);
                break;
            }
        }
    }
    if (!released)
        return E_INVALIDARG;
    // Outside the lock: the object's destructor may revoke or look up other objects.
    released->Release();
    return S_OK;
}

HRESULT WINAPI GetActiveObject(REFCLSID clsid, void *, IUnknown **object)
{
    if (!object)
        return E_INVALIDARG;
    *object = nullptr;
    if (auto failure = injectedFailure("GetActiveObject"))
        return static_cast<HRESULT>(*failure);
    if (!comUsableOnThisThread())
        return CO_E_NOTINITIALIZED;
    RunningObjects &objects = table();
    std::lock_guard<std::mutex> lock(objects.mutex);
    for (const Registration &entry : objects.entries) {
        if (entry.clsid == clsid) {
            entry.object->AddRef();
            *object = entry.object;
            return S_OK;
        }
    }
    return MK_E_UNAVAILABLE;
}

}  // extern "C"
