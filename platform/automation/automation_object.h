// What the automation objects of the server share: reference counting with a machine counter
// of the objects alive, IDispatch over a table of members, and the argument and exception
// conventions of the standard dispatch implementation (arguments last first, the value of a
// property put named DISPID_PROPERTYPUT, failures of a member as DISP_E_EXCEPTION).
#pragma once

#include "automation/servers.h"

#include <ole2.h>

#include <atomic>
#include <string>

namespace winsim::automation {

struct Member {
    const char16_t *name;
    DISPID id;
    WORD flags;          // the DISPATCH_ kinds it may be invoked as
    UINT parameters;     // positional parameters (a property put's value not counted)
};

// What one Invoke asks for, after the checks that every member shares.
struct Call {
    const Member *member;
    WORD kind;                 // the one DISPATCH_ kind chosen from the flags
    DISPPARAMS *parameters;
    VARIANT *result;           // may be null
    EXCEPINFO *exception;      // may be null

    // Positional argument i (0 is the first one the caller wrote); a by-reference VARIANT is
    // followed to the VARIANT it points at.
    const VARIANT *argument(UINT i) const;
    // The value of a property put.
    const VARIANT *putValue() const;
};

// Counts itself in automation.alive.<kind> while it lives.
class CountedObject {
public:
    explicit CountedObject(const char *kind);
    virtual ~CountedObject();
    CountedObject(const CountedObject &) = delete;
    CountedObject &operator=(const CountedObject &) = delete;

private:
    std::string counter_;
};

class AutomationObject : public IDispatch, private CountedObject {
public:
    AutomationObject(const char *kind, const Member *members, size_t memberCount);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo **info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR *names, UINT count, LCID,
                                            DISPID *ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS *parameters,
                                     VARIANT *result, EXCEPINFO *exception, UINT *argumentError) override;

protected:
    // Runs a member once the shared checks passed.
    virtual HRESULT call(const Call &call) = 0;
    // A member the table does not name (the recorder accepts any); null when there is none.
    virtual const Member *otherMember(DISPID) { return nullptr; }
    virtual bool otherName(const char16_t *, DISPID &) { return false; }

    // Fills the exception information (when the caller gave a record) and returns
    // DISP_E_EXCEPTION, as the standard dispatch implementation reports a member's failure.
    static HRESULT raise(EXCEPINFO *exception, HRESULT code, const char16_t *source, const char16_t *description);

private:
    const Member *members_;
    size_t memberCount_;
    std::atomic<ULONG> references_{1};
};

// ASCII case-insensitive comparison of member names, as type information compares them.
bool sameName(const char16_t *a, const char16_t *b);

// The objects of the server, each with one reference for the caller.
IDispatch *newDictionary();
IDispatch *newRecorder();
IUnknown *newPlainObject();

}  // namespace winsim::automation
