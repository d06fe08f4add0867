// Event objects and the waits on them. One lock and condition serve every event of the
// process, which keeps waits on several events simple.
#include "kernel32/handles.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace winsim {

namespace {

struct EventObject : KernelObject {
    bool manualReset = false;
    bool signalled = false;
};

struct WaitState {
    std::mutex lock;
    std::condition_variable changed;
};

WaitState &waits()
{
    static WaitState *state = new WaitState;
    return *state;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name)
{
    if (name && *name) {
        // Named events are shared between processes; nothing here asks for one.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto event = std::make_shared<EventObject>();
    event->manualReset = manualReset != FALSE;
    event->signalled = initialState != FALSE;
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
    WaitState &state = waits();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        event->signalled = true;
    }
    state.changed.notify_all();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE handle)
{
    auto event = lookupHandleAs<EventObject>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(waits().lock);
    event->signalled = false;
    return TRUE;
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll, DWORD milliseconds)
{
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<EventObject>> events;
    for (DWORD i = 0; i < count; ++i) {
        auto event = lookupHandleAs<EventObject>(handles[i]);
        if (!event) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        events.push_back(std::move(event));
    }
    WaitState &state = waits();
    std::unique_lock<std::mutex> guard(state.lock);
    auto satisfied = [&]() -> DWORD {
        if (waitAll) {
            for (const auto &event : events)
                if (!event->signalled)
                    return WAIT_TIMEOUT;
            for (const auto &event : events)
                if (!event->manualReset)
                    event->signalled = false;
            return WAIT_OBJECT_0;
        }
        for (DWORD i = 0; i < count; ++i) {
            if (events[i]->signalled) {
                if (!events[i]->manualReset)
                    events[i]->signalled = false;
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
