// Owners and small file helpers for the checks, on the Windows API only.
#pragma once

#include "check.h"

#include <windows.h>

#include <string>

namespace conformance {

// A kernel handle: files, events, tokens, processes.
class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    ~OwnedHandle() { reset(); }
    OwnedHandle(const OwnedHandle &) = delete;
    OwnedHandle &operator=(const OwnedHandle &) = delete;
    OwnedHandle(OwnedHandle &&other) noexcept : handle_(other.release()) {}
    OwnedHandle &operator=(OwnedHandle &&other) noexcept
    {
        if (this != &other) {
            reset();
            handle_ = other.release();
        }
        return *this;
    }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE release()
    {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void reset()
    {
        if (valid())
            CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

class OwnedKey {
public:
    OwnedKey() = default;
    ~OwnedKey()
    {
        if (key_)
            RegCloseKey(key_);
    }
    OwnedKey(const OwnedKey &) = delete;
    OwnedKey &operator=(const OwnedKey &) = delete;

    HKEY get() const { return key_; }
    PHKEY out() { return &key_; }
    HKEY release()
    {
        HKEY key = key_;
        key_ = nullptr;
        return key;
    }

private:
    HKEY key_ = nullptr;
};

class OwnedService {
public:
    OwnedService() = default;
    explicit OwnedService(SC_HANDLE handle) : handle_(handle) {}
    ~OwnedService() { reset(); }
    OwnedService(const OwnedService &) = delete;
    OwnedService &operator=(const OwnedService &) = delete;

    SC_HANDLE get() const { return handle_; }
    void reset(SC_HANDLE handle = nullptr)
    {
        if (handle_)
            CloseServiceHandle(handle_);
        handle_ = handle;
    }

private:
    SC_HANDLE handle_ = nullptr;
};

// Creates (or replaces) a file holding content; true on success.
bool writeFile(const WString &path, const std::string &content);
// The whole content of a file; false when it cannot be read.
bool readFile(const WString &path, std::string &content);
// The size of a file as its directory entry gives it; -1 when it does not exist.
long long fileSize(const WString &path);
bool fileExists(const WString &path);

// Enables a privilege that the process token holds; true when it is enabled afterwards.
bool enablePrivilege(const WCHAR *name);

// Waits (polling, at most timeoutMs) until condition() holds; true when it did.
template <typename Condition>
bool eventually(Condition condition, DWORD timeoutMs = 10000)
{
    for (DWORD waited = 0;; waited += 20) {
        if (condition())
            return true;
        if (waited >= timeoutMs)
            return false;
        Sleep(20);
    }
}

}  // namespace conformance
