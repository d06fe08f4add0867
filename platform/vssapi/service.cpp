#include "vssapi/service.h"

#include "machine/counters.h"
#include "machine/machine.h"
#include "ole32/com.h"
#include "vssapi/snapshots.h"

#include <sys/random.h>

#include <cstdio>
#include <cstring>

extern "C" const IID IID_IVssAsync = {0x507c37b4, 0xcf5b, 0x4e95, {0xb0, 0xaf, 0x14, 0xeb, 0x97, 0x67, 0x46, 0x7e}};

namespace winsim::vss {

const VSS_ID kNullId = {};
const VSS_ID kProviderId = {0x57696e53, 0x696d, 0x5653, {0x53, 0x20, 0x70, 0x72, 0x6f, 0x76, 0x00, 0x01}};

std::optional<HRESULT> parseHresult(const std::string &text)
{
    if (text.empty())
        return std::nullopt;
    char *end = nullptr;
    unsigned long long value = strtoull(text.c_str(), &end, 0);
    if (!end || *end != '\0' || value > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<HRESULT>(static_cast<uint32_t>(value));
}

HRESULT enterCall(std::string_view name, Reach reach)
{
    std::string key = "vss." + std::string(name);
    addToCounter(key);
    releaseSnapshotsOfEndedProcesses();
    if (auto failure = parseHresult(machineSetting("vss.fail." + std::string(name), "")))
        return *failure;
    // The service is reached through COM, which a thread must have entered first.
    if (reach == Reach::throughCom && !comInitializedOnThisThread())
        return CO_E_NOTINITIALIZED;
    return S_OK;
}

HRESULT asyncOutcome(std::string_view name)
{
    std::string value = machineSetting("vss.async." + std::string(name), "");
    if (value == "cancelled")
        return VSS_S_ASYNC_CANCELLED;
    if (value == "pending")
        return VSS_S_ASYNC_PENDING;
    if (auto status = parseHresult(value))
        return *status;
    return VSS_S_ASYNC_FINISHED;
}

void objectCreated(const char *kind)
{
    addToCounter(std::string("vss.alive.") + kind);
}

void objectDestroyed(const char *kind)
{
    addToCounter(std::string("vss.alive.") + kind, -1);
}

VSS_ID newGuid()
{
    VSS_ID id;
    uint8_t bytes[16];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        memset(bytes, 0x5a, sizeof bytes);
    bytes[7] = static_cast<uint8_t>((bytes[7] & 0x0f) | 0x40);  // version 4 (Data3's high byte)
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);
    memcpy(&id, bytes, sizeof id);
    return id;
}

std::string guidText(const VSS_ID &id)
{
    char text[40];
    snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", id.Data1, id.Data2, id.Data3,
             id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    return text;
}

bool parseGuid(std::string_view text, VSS_ID &out)
{
    if (text.size() == 38 && text.front() == '{' && text.back() == '}')
        text = text.substr(1, 36);
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
        return false;
    auto hex = [&](size_t at, size_t digits, unsigned long long &value) {
        value = 0;
        for (size_t i = at; i < at + digits; ++i) {
            char c = text[i];
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0)
                return false;
            value = value * 16 + static_cast<unsigned>(d);
        }
        return true;
    };
    unsigned long long a, b, c, d;
    if (!hex(0, 8, a) || !hex(9, 4, b) || !hex(14, 4, c) || !hex(19, 4, d))
        return false;
    out.Data1 = static_cast<DWORD>(a);
    out.Data2 = static_cast<WORD>(b);
    out.Data3 = static_cast<WORD>(c);
    out.Data4[0] = static_cast<BYTE>(d >> 8);
    out.Data4[1] = static_cast<BYTE>(d);
    for (int i = 0; i < 6; ++i) {
        unsigned long long byte;
        if (!hex(24 + 2 * static_cast<size_t>(i), 2, byte))
            return false;
        out.Data4[2 + i] = static_cast<BYTE>(byte);
    }
    return true;
}

HRESULT makeBstr(const std::optional<std::u16string> &text, BSTR *out)
{
    *out = nullptr;
    if (!text)
        return S_OK;
    *out = SysAllocStringLen(text->data(), static_cast<UINT>(text->size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

namespace {

class Async final : public ComObject<IVssAsync> {
public:
    explicit Async(HRESULT status) : ComObject("Async", &IID_IVssAsync), status_(status) {}

    HRESULT STDMETHODCALLTYPE Cancel() override
    {
        if (HRESULT injected = enterCall("Async.Cancel"))
            return injected;
        // The operation ran before the object was handed out: only one left pending can be.
        if (status_ != VSS_S_ASYNC_PENDING)
            return status_;
        status_ = VSS_S_ASYNC_CANCELLED;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Wait(DWORD) override { return enterCall("Async.Wait"); }
    HRESULT STDMETHODCALLTYPE QueryStatus(HRESULT *status, INT *) override
    {
        if (!status)
            return E_POINTER;
        *status = S_OK;
        if (HRESULT injected = enterCall("Async.QueryStatus"))
            return injected;
        *status = status_;
        return S_OK;
    }

private:
    HRESULT status_;
};

}  // namespace

IVssAsync *newAsync(HRESULT status)
{
    return new Async(status);
}

}  // namespace winsim::vss
