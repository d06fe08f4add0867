// The dictionary object: items under unique keys, kept in the order they were added, with the
// members, results and errors of the scripting dictionary that automation clients know. Keys
// are strings (compared by their characters), numbers (compared by their value as a
// single-precision number, so 1 and 1.0 are one key) or objects (compared by identity); the
// integer types that a scripting dictionary refuses as keys (VT_INT, VT_UINT, VT_I1, VT_UI2,
// VT_UI4, VT_I8) and any other type are refused the same way. Reading the item of a missing
// key adds that key with an empty item, as the scripting dictionary does.
#include "automation/automation_object.h"

#include <cmath>
#include <cstring>
#include <list>
#include <new>
#include <string>
#include <unordered_map>

namespace winsim::automation {

namespace {

// The errors of the scripting runtime (facility FACILITY_CONTROL).
constexpr HRESULT kIllegalFunctionCall = static_cast<HRESULT>(0x800A0005);
constexpr HRESULT kKeyAlreadyExists = static_cast<HRESULT>(0x800A01C9);
constexpr HRESULT kElementNotFound = static_cast<HRESULT>(0x800A802B);
constexpr const char16_t *kSource = u"WinSim.Dictionary";

enum : DISPID { kItem = DISPID_VALUE, kAdd = 1, kCount = 2, kExists = 3, kItems = 4, kRemove = 5, kRemoveAll = 6,
                kKeys = 7, kKey = 10 };

constexpr Member kMembers[] = {
    {u"Item", kItem, DISPATCH_PROPERTYGET | DISPATCH_PROPERTYPUT, 1},
    {u"Add", kAdd, DISPATCH_METHOD, 2},
    {u"Count", kCount, DISPATCH_PROPERTYGET, 0},
    {u"Exists", kExists, DISPATCH_METHOD, 1},
    {u"Items", kItems, DISPATCH_METHOD, 0},
    {u"Remove", kRemove, DISPATCH_METHOD, 1},
    {u"RemoveAll", kRemoveAll, DISPATCH_METHOD, 0},
    {u"Keys", kKeys, DISPATCH_METHOD, 0},
    {u"Key", kKey, DISPATCH_PROPERTYPUT, 1},
};

// A VARIANT that is cleared when it goes.
struct OwnedVariant {
    VARIANT value;
    OwnedVariant() { VariantInit(&value); }
    ~OwnedVariant() { VariantClear(&value); }
    OwnedVariant(const OwnedVariant &) = delete;
    OwnedVariant &operator=(const OwnedVariant &) = delete;
};

// The text under which a key is found; false when the key's type cannot be a key.
bool keyIdentity(const VARIANT *key, std::u16string &identity)
{
    OwnedVariant value;
    if (FAILED(VariantCopyInd(&value.value, key)))
        return false;
    const VARIANT *v = &value.value;
    auto number = [&identity](float x) {
        if (std::isnan(x))
            return false;
        if (x == 0)
            x = 0;  // one key for 0 and -0
        uint32_t bits;
        memcpy(&bits, &x, sizeof bits);
        identity = u"n";
        identity.append(reinterpret_cast<const char16_t *>(&bits), 2);
        return true;
    };
    switch (V_VT(v)) {
    case VT_BSTR:
        identity = u"s";
        if (V_BSTR(v))
            identity.append(V_BSTR(v), SysStringLen(V_BSTR(v)));
        return true;
    case VT_UI1:
        return number(V_UI1(v));
    case VT_I2:
        return number(V_I2(v));
    case VT_I4:
        return number(static_cast<float>(V_I4(v)));
    case VT_R4:
        return number(V_R4(v));
    case VT_R8:
        return number(static_cast<float>(V_R8(v)));
    case VT_DATE:
        return number(static_cast<float>(V_DATE(v)));
    case VT_UNKNOWN:
    case VT_DISPATCH: {
        IUnknown *identityObject = nullptr;
        if (V_UNKNOWN(v) && FAILED(V_UNKNOWN(v)->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&identityObject))))
            return false;
        uintptr_t address = reinterpret_cast<uintptr_t>(identityObject);
        if (identityObject)
            identityObject->Release();
        identity = u"o";
        identity.append(reinterpret_cast<const char16_t *>(&address), sizeof address / sizeof(char16_t));
        return true;
    }
    default:
        return false;
    }
}

class Dictionary final : public AutomationObject {
public:
    Dictionary() : AutomationObject(kDictionary.kind, kMembers, sizeof kMembers / sizeof kMembers[0]) {}

private:
    struct Entry {
        std::u16string identity;
        OwnedVariant key;
        OwnedVariant item;
    };

    std::list<Entry> entries_;
    std::unordered_map<std::u16string, std::list<Entry>::iterator> index_;

    Entry *find(const std::u16string &identity)
    {
        auto found = index_.find(identity);
        return found == index_.end() ? nullptr : &*found->second;
    }

    HRESULT add(const std::u16string &identity, const VARIANT *key, const VARIANT *item)
    {
        entries_.emplace_back();
        Entry &entry = entries_.back();
        entry.identity = identity;
        HRESULT copied = VariantCopyInd(&entry.key.value, key);
        if (SUCCEEDED(copied))
            copied = VariantCopyInd(&entry.item.value, item);
        if (FAILED(copied)) {
            entries_.pop_back();
            return copied;
        }
        index_[identity] = std::prev(entries_.end());
        return S_OK;
    }

    void remove(const std::u16string &identity)
    {
        auto found = index_.find(identity);
        entries_.erase(found->second);
        index_.erase(found);
    }

    HRESULT failure(const Call &call, HRESULT code)
    {
        const char16_t *text = code == kKeyAlreadyExists ? u"This key is already associated with an element of this collection"
                               : code == kElementNotFound ? u"Element not found"
                                                          : u"Invalid procedure call or argument";
        return raise(call.exception, code, kSource, text);
    }

    // Keys or items as a VT_ARRAY | VT_VARIANT with lower bound 0.
    HRESULT list(const Call &call, bool keys)
    {
        if (!call.result)
            return S_OK;
        SAFEARRAY *array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(entries_.size()));
        if (!array)
            return E_OUTOFMEMORY;
        LONG index = 0;
        for (Entry &entry : entries_) {
            HRESULT stored = SafeArrayPutElement(array, &index, keys ? &entry.key.value : &entry.item.value);
            if (FAILED(stored)) {
                SafeArrayDestroy(array);
                return stored;
            }
            ++index;
        }
        V_VT(call.result) = VT_ARRAY | VT_VARIANT;
        V_ARRAY(call.result) = array;
        return S_OK;
    }

    HRESULT call(const Call &call) override
    {
        std::u16string identity;
        switch (call.member->id) {
        case kAdd:
            if (!keyIdentity(call.argument(0), identity))
                return failure(call, kIllegalFunctionCall);
            if (find(identity))
                return failure(call, kKeyAlreadyExists);
            return add(identity, call.argument(0), call.argument(1));
        case kItem:
            if (!keyIdentity(call.argument(0), identity))
                return failure(call, kIllegalFunctionCall);
            if (call.kind == DISPATCH_PROPERTYPUT) {
                if (Entry *entry = find(identity))
                    return VariantCopyInd(&entry->item.value, call.putValue());
                return add(identity, call.argument(0), call.putValue());
            }
            if (Entry *entry = find(identity))
                return call.result ? VariantCopy(call.result, &entry->item.value) : S_OK;
            {
                VARIANT empty;
                VariantInit(&empty);
                return add(identity, call.argument(0), &empty);
            }
        case kCount:
            if (call.result) {
                V_VT(call.result) = VT_I4;
                V_I4(call.result) = static_cast<LONG>(entries_.size());
            }
            return S_OK;
        case kExists: {
            bool exists = keyIdentity(call.argument(0), identity) && find(identity);
            if (call.result) {
                V_VT(call.result) = VT_BOOL;
                V_BOOL(call.result) = exists ? VARIANT_TRUE : VARIANT_FALSE;
            }
            return S_OK;
        }
        case kItems:
            return list(call, false);
        case kKeys:
            return list(call, true);
        case kRemove:
            if (!keyIdentity(call.argument(0), identity) || !find(identity))
                return failure(call, kElementNotFound);
            remove(identity);
            return S_OK;
        case kRemoveAll:
            index_.clear();
            entries_.clear();
            return S_OK;
        case kKey: {
            // The item moves to the new key, which goes last, as the scripting dictionary does.
            std::u16string newIdentity;
            if (!keyIdentity(call.argument(0), identity) || !keyIdentity(call.putValue(), newIdentity))
                return failure(call, kIllegalFunctionCall);
            Entry *entry = find(identity);
            if (entry && newIdentity == identity)
                return S_OK;
            if (find(newIdentity))
                return failure(call, kKeyAlreadyExists);
            VARIANT empty;
            VariantInit(&empty);
            HRESULT added = add(newIdentity, call.putValue(), entry ? &entry->item.value : &empty);
            if (SUCCEEDED(added) && entry)
                remove(identity);
            return added;
        }
        default:
            return DISP_E_MEMBERNOTFOUND;
        }
    }
};

}  // namespace

IDispatch *newDictionary()
{
    return new (std::nothrow) Dictionary;
}

}  // namespace winsim::automation
