// The recorder: an automation object that accepts any member name, records every call made to
// such a member (name, flags, locale, arguments in the order of rgvarg, named arguments, which
// out-pointers the caller gave) and answers with what it was told: a VARIANT written as text
// (Respond) or a failure (Fail). Its own members tell it what to do and report what it got.
#include "automation/automation_object.h"
#include "automation/variant_text.h"

#include "machine/text.h"

#include <new>
#include <string>
#include <vector>

namespace winsim::automation {

namespace {

constexpr const char16_t *kSource = u"WinSim.Recorder";

enum : DISPID { kRespond = 1, kFail = 2, kCallCount = 3, kCall = 4, kClear = 5, kRegisterActive = 6,
                kRevokeActive = 7 };
constexpr DISPID kFirstRecorded = 100;

constexpr Member kMembers[] = {
    {u"Respond", kRespond, DISPATCH_METHOD, 1},
    {u"Fail", kFail, DISPATCH_METHOD, 1},
    {u"CallCount", kCallCount, DISPATCH_PROPERTYGET, 0},
    {u"Call", kCall, DISPATCH_PROPERTYGET | DISPATCH_METHOD, 1},
    {u"Clear", kClear, DISPATCH_METHOD, 0},
    {u"RegisterActive", kRegisterActive, DISPATCH_METHOD, 0},
    {u"RevokeActive", kRevokeActive, DISPATCH_METHOD, 0},
};

bool integerArgument(const VARIANT *value, LONG &out)
{
    switch (V_VT(value)) {
    case VT_I2: out = V_I2(value); return true;
    case VT_I4: out = V_I4(value); return true;
    case VT_INT: out = V_INT(value); return true;
    case VT_UI4: out = static_cast<LONG>(V_UI4(value)); return true;
    default: return false;
    }
}

class Recorder final : public AutomationObject {
public:
    Recorder() : AutomationObject(kRecorder.kind, kMembers, sizeof kMembers / sizeof kMembers[0]) {}

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS *parameters,
                                     VARIANT *result, EXCEPINFO *exception, UINT *argumentError) override
    {
        if (id < kFirstRecorded || id >= kFirstRecorded + static_cast<DISPID>(names_.size()))
            return AutomationObject::Invoke(id, iid, locale, flags, parameters, result, exception, argumentError);
        if (parameters && ((parameters->cArgs && !parameters->rgvarg) ||
                           (parameters->cNamedArgs && !parameters->rgdispidNamedArgs)))
            return E_INVALIDARG;
        try {
            record(id, iid, locale, flags, parameters, result, exception, argumentError);
        } catch (const std::bad_alloc &) {
            return E_OUTOFMEMORY;
        }
        if (failure_ == DISP_E_EXCEPTION)
            return raise(exception, E_FAIL, kSource, u"Recorded failure");
        if (failure_ != S_OK)
            return failure_;
        if (!result)
            return S_OK;
        // Made afresh for each call, so that an answer naming the recorder itself holds no
        // reference that would keep the recorder alive.
        std::string error;
        return store_.parse(response_, this, *result, error) ? S_OK : E_UNEXPECTED;
    }

private:
    std::vector<std::u16string> names_;
    std::vector<std::string> calls_;
    std::string response_ = "empty";  // the answer, as text
    VariantStore store_;               // what by-reference answers point at
    HRESULT failure_ = S_OK;
    DWORD activeToken_ = 0;

    bool otherName(const char16_t *name, DISPID &id) override
    {
        for (size_t i = 0; i < names_.size(); ++i) {
            if (sameName(names_[i].c_str(), name)) {
                id = kFirstRecorded + static_cast<DISPID>(i);
                return true;
            }
        }
        names_.emplace_back(name);
        id = kFirstRecorded + static_cast<DISPID>(names_.size() - 1);
        return true;
    }

    void record(DISPID id, REFIID iid, LCID locale, WORD flags, const DISPPARAMS *parameters, const VARIANT *result,
                const EXCEPINFO *exception, const UINT *argumentError)
    {
        std::string line = toUtf8(names_[static_cast<size_t>(id - kFirstRecorded)]);
        line += " flags=" + std::to_string(flags) + " lcid=" + std::to_string(locale);
        if (iid != IID_NULL)
            line += " iid=other";
        line += " args=[";
        for (UINT i = 0; parameters && i < parameters->cArgs; ++i)
            line += (i ? ", " : "") + describeVariant(parameters->rgvarg[i]);
        line += "] named=[";
        for (UINT i = 0; parameters && i < parameters->cNamedArgs; ++i)
            line += (i ? ", " : "") + std::to_string(parameters->rgdispidNamedArgs[i]);
        line += "]";
        line += std::string(" result=") + (result ? "yes" : "no") + " exception=" + (exception ? "yes" : "no") +
                " argerr=" + (argumentError ? "yes" : "no");
        calls_.push_back(line);
    }

    HRESULT text(VARIANT *result, const std::string &value)
    {
        if (!result)
            return S_OK;
        std::u16string wide = toUtf16(value);
        V_BSTR(result) = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        if (!V_BSTR(result))
            return E_OUTOFMEMORY;
        V_VT(result) = VT_BSTR;
        return S_OK;
    }

    HRESULT call(const Call &call) override
    {
        switch (call.member->id) {
        case kRespond: {
            const VARIANT *answer = call.argument(0);
            if (V_VT(answer) != VT_BSTR)
                return DISP_E_TYPEMISMATCH;
            std::string text = toUtf8(std::u16string_view(V_BSTR(answer) ? V_BSTR(answer) : u"", SysStringLen(V_BSTR(answer))));
            VARIANT trial;
            VariantStore trialStore;
            std::string error;
            if (!trialStore.parse(text, this, trial, error)) {
                std::u16string message = toUtf16(error);
                return raise(call.exception, E_INVALIDARG, kSource, message.c_str());
            }
            VariantClear(&trial);
            response_ = text;
            failure_ = S_OK;
            return S_OK;
        }
        case kFail: {
            LONG code = 0;
            if (!integerArgument(call.argument(0), code))
                return DISP_E_TYPEMISMATCH;
            response_ = "empty";
            failure_ = static_cast<HRESULT>(code);
            return S_OK;
        }
        case kCallCount:
            if (call.result) {
                V_VT(call.result) = VT_I4;
                V_I4(call.result) = static_cast<LONG>(calls_.size());
            }
            return S_OK;
        case kCall: {
            LONG index = 0;
            if (!integerArgument(call.argument(0), index))
                return DISP_E_TYPEMISMATCH;
            if (index < 0 || static_cast<size_t>(index) >= calls_.size())
                return DISP_E_BADINDEX;
            return text(call.result, calls_[static_cast<size_t>(index)]);
        }
        case kClear:
            calls_.clear();
            return S_OK;
        case kRegisterActive:
            if (activeToken_)
                return S_OK;
            return RegisterActiveObject(static_cast<IDispatch *>(this), kRecorder.clsid, ACTIVEOBJECT_STRONG,
                                        &activeToken_);
        case kRevokeActive: {
            DWORD token = activeToken_;
            activeToken_ = 0;
            return token ? RevokeActiveObject(token, nullptr) : S_OK;
        }
        default:
            return DISP_E_MEMBERNOTFOUND;
        }
    }
};

class PlainObject final : public IUnknown, private CountedObject {
public:
    PlainObject() : CountedObject(kPlainObject.kind) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        if (iid == IID_IUnknown) {
            *object = static_cast<IUnknown *>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
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
    std::atomic<ULONG> references_{1};
};

}  // namespace

IDispatch *newRecorder()
{
    return new (std::nothrow) Recorder;
}

IUnknown *newPlainObject()
{
    return new (std::nothrow) PlainObject;
}

}  // namespace winsim::automation
