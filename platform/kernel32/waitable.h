// Kernel objects that WaitForSingleObject and WaitForMultipleObjects wait on (events, and any
// other object that derives from WaitableObject: threads, change notifications, ...). One lock
// and one condition serve every waitable object of the process, which keeps waits on several
// objects of different kinds simple.
#pragma once

#include "kernel32/handles.h"

#include <condition_variable>
#include <mutex>

namespace winsim {

struct WaitableObject : KernelObject {
    // Both are called with waitLock() held.
    virtual bool signalled() const = 0;
    // The wait that this object satisfied takes it (an auto-reset event resets itself).
    virtual void acquire() {}
};

std::mutex &waitLock();

// Wakes every waiter, so that it looks at its objects again. Call it after changing the state
// of a waitable object under waitLock(), once the lock is released.
void notifyWaiters();

// Changes the state of waitable objects under the lock, then wakes the waiters.
template <typename Change>
void updateWaitables(Change change)
{
    {
        std::lock_guard<std::mutex> guard(waitLock());
        change();
    }
    notifyWaiters();
}

}  // namespace winsim
