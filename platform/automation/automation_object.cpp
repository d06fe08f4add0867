#include "automation/automation_object.h"

#include "machine/counters.h"

#include <cstring>
#include <new>

namespace winsim::automation {

namespace {

char16_t folded(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

WORD chosenKind(WORD requested, WORD allowed)
{
    // A caller may offer several kinds (method or property get, as scripting languages do);
    // a put is never combined with the others.
    for (WORD kind : {DISPATCH_PROPERTYPUT, DISPATCH_PROPERTYPUTREF, DISPATCH_METHOD, DISPATCH_PROPERTYGET})
        if (requested & allowed & kind)
            return kind;
    return 0;
}

}  // namespace

bool sameName(const char16_t *a, const char16_t *b)
{
    for (; *a && *b; ++a, ++b)
        if (folded(*a) != folded(*b))
            return false;
    return *a == *b;
}

const VARIANT *Call::argument(UINT i) const
{
    const UINT positional = parameters->cArgs - parameters->cNamedArgs;
    const VARIANT *value = &parameters->rgvarg[parameters->cNamedArgs + (positional - 1 - i)];
    if (V_VT(value) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(value))
        value = V_VARIANTREF(value);
    return value;
}

const VARIANT *Call::putValue() const
{
    const VARIANT *value = &parameters->rgvarg[0];
    if (V_VT(value) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(value))
        value = V_VARIANTREF(value);
    return value;
}

CountedObject::CountedObject(const char *kind) : counter_(std::string("automation.alive.") + kind)
{
    addToCounter(counter_);
}

CountedObject::~CountedObject()
{
    addToCounter(counter_, -1);
}

AutomationObject::AutomationObject(const char *kind, const Member *members, size_t memberCount)
    : CountedObject(kind), members_(members), memberCount_(memberCount)
{
}

HRESULT STDMETHODCALLTYPE AutomationObject::QueryInterface(REFIID iid, void **object)
{
    if (!object)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
        *object = static_cast<IDispatch *>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE AutomationObject::AddRef()
{
    return ++references_;
}

ULONG STDMETHODCALLTYPE AutomationObject::Release()
{
    ULONG left = --references_;
    if (left == 0)
        delete this;
    return left;
}

HRESULT STDMETHODCALLTYPE AutomationObject::GetTypeInfoCount(UINT *count)
{
    if (!count)
        return E_INVALIDARG;
    *count = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE AutomationObject::GetTypeInfo(UINT, LCID, ITypeInfo **info)
{
    if (info)
        *info = nullptr;
    return DISP_E_BADINDEX;
}

HRESULT STDMETHODCALLTYPE AutomationObject::GetIDsOfNames(REFIID iid, LPOLESTR *names, UINT count, LCID,
                                                          DISPID *ids)
{
    if (iid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    if (!names || !ids || count == 0)
        return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i)
        ids[i] = DISPID_UNKNOWN;
    if (!names[0])
        return E_INVALIDARG;
    bool found = false;
    for (size_t m = 0; m < memberCount_ && !found; ++m) {
        if (sameName(names[0], members_[m].name)) {
            ids[0] = members_[m].id;
            found = true;
        }
    }
    if (!found)
        found = otherName(names[0], ids[0]);
    // The members take no named arguments, so further names are unknown too.
    return found && count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
}

HRESULT STDMETHODCALLTYPE AutomationObject::Invoke(DISPID id, REFIID iid, LCID, WORD flags,
                                                   DISPPARAMS *parameters, VARIANT *result,
                                                   EXCEPINFO *exception, UINT *)
{
    if (iid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    if (!parameters || (parameters->cArgs && !parameters->rgvarg) ||
        (parameters->cNamedArgs && !parameters->rgdispidNamedArgs) || parameters->cNamedArgs > parameters->cArgs)
        return E_INVALIDARG;
    const Member *member = nullptr;
    for (size_t m = 0; m < memberCount_ && !member; ++m)
        if (members_[m].id == id)
            member = &members_[m];
    if (!member)
        member = otherMember(id);
    if (!member)
        return DISP_E_MEMBERNOTFOUND;
    const WORD kind = chosenKind(flags, member->flags);
    if (!kind)
        return DISP_E_MEMBERNOTFOUND;
    UINT valueArguments = 0;
    if (kind & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        if (parameters->cNamedArgs != 1 || parameters->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
            return DISP_E_PARAMNOTFOUND;
        valueArguments = 1;
    } else if (parameters->cNamedArgs != 0) {
        return DISP_E_PARAMNOTFOUND;
    }
    if (parameters->cArgs - valueArguments != member->parameters)
        return DISP_E_BADPARAMCOUNT;
    if (result)
        VariantInit(result);
    if (exception)
        memset(exception, 0, sizeof *exception);
    try {
        return call(Call{member, kind, parameters, result, exception});
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    }
}

HRESULT AutomationObject::raise(EXCEPINFO *exception, HRESULT code, const char16_t *source,
                                const char16_t *description)
{
    if (exception) {
        memset(exception, 0, sizeof *exception);
        exception->bstrSource = SysAllocString(source);
        exception->bstrDescription = SysAllocString(description);
        exception->scode = code;
    }
    return DISP_E_EXCEPTION;
}

}  // namespace winsim::automation
