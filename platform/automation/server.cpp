// The server DLL's entry points: a class factory for each class it serves.
#include "automation/automation_object.h"

#include <new>

namespace winsim::automation {

namespace {

class ClassFactory final : public IClassFactory, private CountedObject {
public:
    explicit ClassFactory(const ServerClass &served) : CountedObject("ClassFactory"), served_(served) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *object = static_cast<IClassFactory *>(this);
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

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        IUnknown *made = &served_ == &kDictionary ? static_cast<IUnknown *>(newDictionary())
                         : &served_ == &kRecorder ? static_cast<IUnknown *>(newRecorder())
                                                  : newPlainObject();
        if (!made)
            return E_OUTOFMEMORY;
        HRESULT found = made->QueryInterface(iid, object);
        made->Release();
        return found;
    }

    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    const ServerClass &served_;
    std::atomic<ULONG> references_{1};
};

}  // namespace

}  // namespace winsim::automation

using namespace winsim::automation;

extern "C" __attribute__((visibility("default"))) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid,
                                                                                          LPVOID *object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    for (const ServerClass *served : kServerClasses) {
        if (served->clsid == clsid) {
            auto *factory = new (std::nothrow) ClassFactory(*served);
            if (!factory)
                return E_OUTOFMEMORY;
            HRESULT found = factory->QueryInterface(iid, object);
            factory->Release();
            return found;
        }
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

// The server stays loaded for the life of the process.
extern "C" __attribute__((visibility("default"))) HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return S_FALSE;
}
