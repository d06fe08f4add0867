// The stand-in Volume Shadow Copy Service: what its parts share.
//
// Every call the service receives goes through enterCall(), which counts it in the machine's
// counters as "vss.<Interface>.<Method>" and, when the machine configuration holds
// "vss.fail.<Interface>.<Method> = <HRESULT>", answers it with that result instead of doing
// anything; a call from a thread that has not initialised COM fails with CO_E_NOTINITIALIZED,
// as a call through COM does on Windows. What only gives back what the caller holds (Release,
// FreeComponentInfo, VssFreeSnapshotProperties) works on any thread. Asynchronous operations end as "vss.async.<Interface>.<Method>" says:
// "cancelled", "pending" or an HRESULT status (by default VSS_S_ASYNC_FINISHED); an operation
// that does not end in success has no effect.
#pragma once

#include <vsbackup.h>

#include <atomic>
#include <optional>
#include <string>
#include <string_view>

namespace winsim::vss {

// How a call reaches the service: through COM, or as a local release of what the caller holds.
enum class Reach { throughCom, local };

// Counts the call; returns the configured failure, CO_E_NOTINITIALIZED for a call through COM
// on a thread without it, or S_OK to go on.
HRESULT enterCall(std::string_view name, Reach reach = Reach::throughCom);

// The final status configured for an asynchronous operation.
HRESULT asyncOutcome(std::string_view name);

// An HRESULT in the configuration: hexadecimal with 0x, or decimal. Empty when unparsable.
std::optional<HRESULT> parseHresult(const std::string &text);

// Objects alive, per kind ("vss.alive.<kind>"), so that tests see references never released.
void objectCreated(const char *kind);
void objectDestroyed(const char *kind);

// A new IVssAsync whose operation already ended with `status`.
IVssAsync *newAsync(HRESULT status);

// Identifiers.
VSS_ID newGuid();
std::string guidText(const VSS_ID &id);  // {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}
bool parseGuid(std::string_view text, VSS_ID &out);
extern const VSS_ID kNullId;
extern const VSS_ID kProviderId;  // the machine's one snapshot provider

// A BSTR of a text, or null for none; E_OUTOFMEMORY when the heap is out.
HRESULT makeBstr(const std::optional<std::u16string> &text, BSTR *out);

// The IUnknown part of the service's COM objects: one reference when made, deleted with the
// last Release, and counted alive as "vss.alive.<kind>".
template <typename Interface>
class ComObject : public Interface {
public:
    ComObject(const char *kind, const IID *iid) : kind_(kind), iid_(iid) { objectCreated(kind_); }
    virtual ~ComObject() { objectDestroyed(kind_); }
    ComObject(const ComObject &) = delete;
    ComObject &operator=(const ComObject &) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (iid == IID_IUnknown)
            *object = static_cast<IUnknown *>(this);
        else if (iid_ && iid == *iid_)
            *object = static_cast<Interface *>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG left = --references_;
        if (left == 0)
            delete this;
        return left;
    }

private:
    const char *kind_;
    const IID *iid_;
    std::atomic<ULONG> references_{1};
};

}  // namespace winsim::vss
