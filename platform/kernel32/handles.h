// The process handle table: every kernel object the stand-in hands out (files, searches,
// tokens, events, ...) is reached through a HANDLE value that names an entry here.
#pragma once

#include <windef.h>

#include <memory>

namespace winsim {

struct KernelObject {
    virtual ~KernelObject() = default;
};

// Values are never reused within a process, so a stale handle fails instead of reaching
// another object.
HANDLE insertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> lookupHandle(HANDLE handle);
// Removes the entry; the object lives on while a call that looked it up still holds it.
std::shared_ptr<KernelObject> removeHandle(HANDLE handle);

template <typename T>
std::shared_ptr<T> lookupHandleAs(HANDLE handle)
{
    return std::dynamic_pointer_cast<T>(lookupHandle(handle));
}

}  // namespace winsim
