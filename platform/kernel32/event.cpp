// Event objects, and the waits on every waitable object.
#include "kernel32/waitable.h"
#include "machine/injected_faults.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace winsim {

namespace {

struct EventObject : WaitableObject {
    bool manualReset = false;
    bool set = false;

    bool signalled() const override { return set; }
    void acquire() override
    {
        if (!manualReset)
            set = false;
    }
};

struct WaitState {
    std::mutex lock;
    std::condition_variable changed;
};

// Never destroyed: threads of the process may still wait while it exits.
WaitState &waits()
{
    static WaitState *state = new WaitState;
    return *state;
}

}  // namespace

std::mutex &waitLock()
{
    return waits().lock;
}

void notifyWaiters()
{
    waits().changed.notify_all();
}

}  // namespace winsim

using namespace winsim;

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name)
{
    if (auto failure = injectedFailure("CreateEventA")) {
        SetLastError(static_cast<DWORD>(*failure));
        return nullptr;
    }
    if (name && *name) {
        // Named events are shared between processes; nothing here asks for one.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto event = std::make_shared<EventObject>();
    event->manualReset = manualReset != FALSE;
    event->set = initialState != FALSE;
    SetLastError(ERROR_SUCCESS);
    return insertHandle(event);
}

BOOL WINAPI SetEvent(HANDLE handle)
{
    auto event = lookupHandleAs<EventObject>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    updateWaitables([&] { event->set = true; });
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE handle)
{
    auto event = lookupHandleAs<EventObject>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(waitLock());
    event->set = false;
    return TRUE;
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll, DWORD milliseconds)
{
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<WaitableObject>> objects;
    for (DWORD i = 0; i < count; ++i) {
        auto object = lookupHandleAs<WaitableObject>(handles[i]);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects.push_back(std::move(object));
    }
    WaitState &state = waits();
    std::unique_lock<std::mutex> guard(state.lock);
    auto satisfied = [&]() -> DWORD {
        if (waitAll) {
            for (const auto &object : objects)
                if (!object->signalled())
                    return WAIT_TIMEOUT;
            for (const auto &object : objects)
                object->acquire();
            return WAIT_OBJECT_0;
        }
        for (DWORD i = 0; i < count; ++i) {
            if (objects[i]->signalled()) {
                objects[i]->acquire();
                return WAIT_OBJECT_0 + i;
            }
        }
        return WAIT_TIMEOUT;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        DWORD result = satisfied();
        if (result != WAIT_TIMEOUT)
            return result;
        if (milliseconds == INFINITE)
            state.changed.wait(guard);
        else if (state.changed.wait_until(guard, deadline) == std::cv_status::timeout)
            return satisfied();
    }
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

}  // extern "C"
