// Owners of the Windows resources that the service host holds.
#pragma once

#include <windows.h>

#include <utility>

// A kernel object handle; both null and INVALID_HANDLE_VALUE mean none.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() { reset(); }
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ && handle_ != INVALID_HANDLE_VALUE; }
    void reset(HANDLE handle = nullptr)
    {
        if (valid())
            CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

class RegistryKey {
public:
    explicit RegistryKey(HKEY key = nullptr) : key_(key) {}
    ~RegistryKey() { reset(); }
    RegistryKey(const RegistryKey &) = delete;
    RegistryKey &operator=(const RegistryKey &) = delete;

    HKEY get() const { return key_; }
    void reset()
    {
        if (key_)
            RegCloseKey(key_);
        key_ = nullptr;
    }

private:
    HKEY key_;
};

class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
    ~ServiceHandle()
    {
        if (handle_)
            CloseServiceHandle(handle_);
    }
    ServiceHandle(const ServiceHandle &) = delete;
    ServiceHandle &operator=(const ServiceHandle &) = delete;

    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};

// A block of the process heap.
class HeapBlock {
public:
    HeapBlock() = default;
    explicit HeapBlock(SIZE_T bytes) : block_(HeapAlloc(GetProcessHeap(), 0, bytes)) {}
    ~HeapBlock()
    {
        if (block_)
            HeapFree(GetProcessHeap(), 0, block_);
    }
    HeapBlock(HeapBlock &&other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    HeapBlock &operator=(HeapBlock &&other) noexcept
    {
        std::swap(block_, other.block_);
        return *this;
    }

    void *get() const { return block_; }

private:
    void *block_ = nullptr;
};

// A block that the system allocated with LocalAlloc (FormatMessage's buffer).
class LocalBlock {
public:
    explicit LocalBlock(void *block) : block_(block) {}
    ~LocalBlock()
    {
        if (block_)
            LocalFree(block_);
    }
    LocalBlock(const LocalBlock &) = delete;
    LocalBlock &operator=(const LocalBlock &) = delete;

private:
    void *block_;
};
