#include "kernel32/handles.h"

#include <windows.h>

#include <mutex>
#include <unordered_map>

namespace winsim {

namespace {

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> entries;
    uintptr_t next = 0x1000;
};

HandleTable &table()
{
    static HandleTable *instance = new HandleTable;  // outlives static destructors of other libraries
    return *instance;
}

}  // namespace

HANDLE insertHandle(std::shared_ptr<KernelObject> object)
{
    HandleTable &t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    uintptr_t value = t.next;
    t.next += 4;
    t.entries.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> lookupHandle(HANDLE handle)
{
    HandleTable &t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.entries.find(reinterpret_cast<uintptr_t>(handle));
    return it == t.entries.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> removeHandle(HANDLE handle)
{
    HandleTable &t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.entries.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.entries.end())
        return nullptr;
    std::shared_ptr<KernelObject> object = std::move(it->second);
    t.entries.erase(it);
    return object;
}

}  // namespace winsim

extern "C" BOOL WINAPI CloseHandle(HANDLE handle)
{
    std::shared_ptr<winsim::KernelObject> object = winsim::removeHandle(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
