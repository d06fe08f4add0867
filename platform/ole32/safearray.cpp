// Safe arrays (oleaut32). As on Windows, 16 bytes in front of the descriptor hold the element
// type (its last 4 bytes, FADF_HAVEVARTYPE) or the interface identifier (FADF_HAVEIID), the
// bounds are stored last dimension first, and dimension 1 varies fastest in the data. Getting an
// element hands out a copy (a new BSTR, a new interface reference, a deep VARIANT copy). The
// machine counts the arrays alive, so tests can see one that was never destroyed.
#include "machine/counters.h"
#include "ole32/variant_types.h"

#include <ole2.h>

#include <cstdlib>
#include <cstring>

using namespace winsim;

namespace {

constexpr size_t kPrefixSize = 16;
constexpr const char *kAliveCounter = "oleaut32.safearray.alive";

size_t descriptorSize(UINT dimensions)
{
    return sizeof(SAFEARRAY) + (dimensions - 1) * sizeof(SAFEARRAYBOUND);
}

char *blockOf(SAFEARRAY *array)
{
    return reinterpret_cast<char *>(array) - kPrefixSize;
}

// The number of elements, or false when it does not fit in memory.
bool elementCount(const SAFEARRAY *array, size_t &count)
{
    count = 1;
    for (USHORT d = 0; d < array->cDims; ++d) {
        size_t n = array->rgsabound[d].cElements;
        if (n != 0 && count > SIZE_MAX / n)
            return false;
        count *= n;
    }
    return true;
}

USHORT featuresOf(VARTYPE vt)
{
    switch (vt) {
    case VT_BSTR:
        return FADF_BSTR | FADF_HAVEVARTYPE;
    case VT_UNKNOWN:
        return FADF_UNKNOWN | FADF_HAVEIID;
    case VT_DISPATCH:
        return FADF_DISPATCH | FADF_HAVEIID;
    case VT_VARIANT:
        return FADF_VARIANT | FADF_HAVEVARTYPE;
    default:
        return FADF_HAVEVARTYPE;
    }
}

// A descriptor with its prefix and zeroed data; the bounds are left to the caller.
SAFEARRAY *allocateArray(VARTYPE vt, UINT dimensions, const SAFEARRAYBOUND *boundsLastFirst)
{
    const ULONG elementSize = safeArrayElementSize(vt);
    if (dimensions == 0 || dimensions > 0xFFFF || elementSize == 0)
        return nullptr;
    auto *block = static_cast<char *>(calloc(1, kPrefixSize + descriptorSize(dimensions)));
    if (!block)
        return nullptr;
    auto *array = reinterpret_cast<SAFEARRAY *>(block + kPrefixSize);
    array->cDims = static_cast<USHORT>(dimensions);
    array->fFeatures = featuresOf(vt);
    array->cbElements = elementSize;
    memcpy(array->rgsabound, boundsLastFirst, dimensions * sizeof(SAFEARRAYBOUND));
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        memcpy(block, vt == VT_UNKNOWN ? &IID_IUnknown : &IID_IDispatch, sizeof(IID));
    } else {
        DWORD type = vt;
        memcpy(block + kPrefixSize - sizeof type, &type, sizeof type);
    }
    size_t count = 0;
    if (!elementCount(array, count) || count > SIZE_MAX / elementSize) {
        free(block);
        return nullptr;
    }
    array->pvData = calloc(count ? count : 1, elementSize);
    if (!array->pvData) {
        free(block);
        return nullptr;
    }
    addToCounter(kAliveCounter);
    return array;
}

// Releases what the elements own (strings, references, VARIANT contents) and zeroes them.
void clearElements(SAFEARRAY *array)
{
    size_t count = 0;
    elementCount(array, count);
    char *data = static_cast<char *>(array->pvData);
    for (size_t i = 0; i < count; ++i) {
        void *element = data + i * array->cbElements;
        if (array->fFeatures & FADF_BSTR) {
            SysFreeString(*static_cast<BSTR *>(element));
        } else if (array->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
            if (auto *object = *static_cast<IUnknown **>(element))
                object->Release();
        } else if (array->fFeatures & FADF_VARIANT) {
            VariantClear(static_cast<VARIANT *>(element));
        }
    }
    memset(data, 0, count * array->cbElements);
}

// Copies one element's value into an element slot that owns nothing.
HRESULT copyElement(const SAFEARRAY *array, void *destination, const void *source)
{
    if (array->fFeatures & FADF_BSTR) {
        BSTR text = *static_cast<const BSTR *>(source);
        BSTR copy = nullptr;
        if (text && !(copy = SysAllocStringLen(text, SysStringLen(text))))
            return E_OUTOFMEMORY;
        *static_cast<BSTR *>(destination) = copy;
    } else if (array->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        IUnknown *object = *static_cast<IUnknown *const *>(source);
        if (object)
            object->AddRef();
        *static_cast<IUnknown **>(destination) = object;
    } else if (array->fFeatures & FADF_VARIANT) {
        auto *variant = static_cast<VARIANT *>(destination);
        V_VT(variant) = VT_EMPTY;
        return VariantCopy(variant, static_cast<const VARIANT *>(source));
    } else {
        memcpy(destination, source, array->cbElements);
    }
    return S_OK;
}

}  // namespace

extern "C" {

SAFEARRAY *WINAPI SafeArrayCreate(VARTYPE vt, UINT dimensions, SAFEARRAYBOUND *bounds)
{
    if (!bounds || dimensions == 0 || dimensions > 0xFFFF)
        return nullptr;
    // The caller names dimension 1 first; the descriptor keeps the last dimension first.
    SAFEARRAYBOUND reversed[64];
    if (dimensions > sizeof reversed / sizeof reversed[0])
        return nullptr;
    for (UINT d = 0; d < dimensions; ++d)
        reversed[d] = bounds[dimensions - 1 - d];
    return allocateArray(vt, dimensions, reversed);
}

SAFEARRAY *WINAPI SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements)
{
    SAFEARRAYBOUND bound = {elements, lowerBound};
    return allocateArray(vt, 1, &bound);
}

HRESULT WINAPI SafeArrayDestroy(SAFEARRAY *array)
{
    if (!array)
        return S_OK;
    if (array->cLocks > 0)
        return DISP_E_ARRAYISLOCKED;
    clearElements(array);
    free(array->pvData);
    free(blockOf(array));
    addToCounter(kAliveCounter, -1);
    return S_OK;
}

HRESULT WINAPI SafeArrayCopy(SAFEARRAY *array, SAFEARRAY **copy)
{
    if (!copy)
        return E_INVALIDARG;
    *copy = nullptr;
    if (!array)
        return S_OK;
    VARTYPE vt = VT_EMPTY;
    HRESULT typed = SafeArrayGetVartype(array, &vt);
    if (FAILED(typed))
        return typed;
    SAFEARRAY *made = allocateArray(vt, array->cDims, array->rgsabound);
    if (!made)
        return E_OUTOFMEMORY;
    size_t count = 0;
    elementCount(array, count);
    for (size_t i = 0; i < count; ++i) {
        HRESULT copied = copyElement(array, static_cast<char *>(made->pvData) + i * made->cbElements,
                                     static_cast<char *>(array->pvData) + i * array->cbElements);
        if (FAILED(copied)) {
            SafeArrayDestroy(made);
            return copied;
        }
    }
    *copy = made;
    return S_OK;
}

UINT WINAPI SafeArrayGetDim(SAFEARRAY *array)
{
    return array ? array->cDims : 0;
}

UINT WINAPI SafeArrayGetElemsize(SAFEARRAY *array)
{
    return array ? array->cbElements : 0;
}

HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY *array, UINT dimension, LONG *lowerBound)
{
    if (!array || !lowerBound)
        return E_INVALIDARG;
    if (dimension < 1 || dimension > array->cDims)
        return DISP_E_BADINDEX;
    *lowerBound = array->rgsabound[array->cDims - dimension].lLbound;
    return S_OK;
}

HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY *array, UINT dimension, LONG *upperBound)
{
    if (!array || !upperBound)
        return E_INVALIDARG;
    if (dimension < 1 || dimension > array->cDims)
        return DISP_E_BADINDEX;
    const SAFEARRAYBOUND &bound = array->rgsabound[array->cDims - dimension];
    *upperBound = static_cast<LONG>(static_cast<int64_t>(bound.lLbound) + bound.cElements - 1);
    return S_OK;
}

HRESULT WINAPI SafeArrayGetVartype(SAFEARRAY *array, VARTYPE *vt)
{
    if (!array || !vt)
        return E_INVALIDARG;
    const char *block = blockOf(array);
    if (array->fFeatures & FADF_RECORD) {
        *vt = VT_RECORD;
    } else if (array->fFeatures & FADF_HAVEIID) {
        *vt = (array->fFeatures & FADF_DISPATCH) ? VT_DISPATCH : VT_UNKNOWN;
    } else if (array->fFeatures & FADF_HAVEVARTYPE) {
        DWORD type;
        memcpy(&type, block + kPrefixSize - sizeof type, sizeof type);
        *vt = static_cast<VARTYPE>(type);
    } else {
        return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT WINAPI SafeArrayLock(SAFEARRAY *array)
{
    if (!array)
        return E_INVALIDARG;
    if (array->cLocks == 0xFFFF)
        return E_UNEXPECTED;
    ++array->cLocks;
    return S_OK;
}

HRESULT WINAPI SafeArrayUnlock(SAFEARRAY *array)
{
    if (!array)
        return E_INVALIDARG;
    if (array->cLocks == 0)
        return E_UNEXPECTED;
    --array->cLocks;
    return S_OK;
}

HRESULT WINAPI SafeArrayAccessData(SAFEARRAY *array, void **data)
{
    if (!array || !data)
        return E_INVALIDARG;
    HRESULT locked = SafeArrayLock(array);
    *data = SUCCEEDED(locked) ? array->pvData : nullptr;
    return locked;
}

HRESULT WINAPI SafeArrayUnaccessData(SAFEARRAY *array)
{
    return SafeArrayUnlock(array);
}

HRESULT WINAPI SafeArrayPtrOfIndex(SAFEARRAY *array, LONG *indices, void **element)
{
    if (!array || !indices || !element)
        return E_INVALIDARG;
    size_t cell = 0;
    size_t stride = 1;
    for (USHORT d = 0; d < array->cDims; ++d) {
        // indices[0] belongs to dimension 1, which the descriptor stores last.
        const SAFEARRAYBOUND &bound = array->rgsabound[array->cDims - 1 - d];
        int64_t offset = static_cast<int64_t>(indices[d]) - bound.lLbound;
        if (offset < 0 || offset >= static_cast<int64_t>(bound.cElements))
            return DISP_E_BADINDEX;
        cell += static_cast<size_t>(offset) * stride;
        stride *= bound.cElements;
    }
    *element = static_cast<char *>(array->pvData) + cell * array->cbElements;
    return S_OK;
}

HRESULT WINAPI SafeArrayGetElement(SAFEARRAY *array, LONG *indices, void *value)
{
    if (!array || !indices || !value)
        return E_INVALIDARG;
    void *element = nullptr;
    HRESULT found = SafeArrayPtrOfIndex(array, indices, &element);
    if (FAILED(found))
        return found;
    SafeArrayLock(array);
    HRESULT copied = copyElement(array, value, element);
    SafeArrayUnlock(array);
    return copied;
}

HRESULT WINAPI SafeArrayPutElement(SAFEARRAY *array, LONG *indices, void *value)
{
    if (!array || !indices)
        return E_INVALIDARG;
    void *element = nullptr;
    HRESULT found = SafeArrayPtrOfIndex(array, indices, &element);
    if (FAILED(found))
        return found;
    // Strings and interfaces are passed as the pointer itself, everything else by address.
    if (!value && !(array->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH)))
        return E_INVALIDARG;
    SafeArrayLock(array);
    HRESULT stored = S_OK;
    if (array->fFeatures & FADF_VARIANT) {
        stored = VariantCopy(static_cast<VARIANT *>(element), static_cast<const VARIANT *>(value));
    } else if (array->fFeatures & FADF_BSTR) {
        BSTR text = static_cast<BSTR>(value);
        BSTR copy = nullptr;
        if (text && !(copy = SysAllocStringLen(text, SysStringLen(text)))) {
            stored = E_OUTOFMEMORY;
        } else {
            SysFreeString(*static_cast<BSTR *>(element));
            *static_cast<BSTR *>(element) = copy;
        }
    } else if (array->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        auto *object = static_cast<IUnknown *>(value);
        if (object)
            object->AddRef();
        if (auto *old = *static_cast<IUnknown **>(element))
            old->Release();
        *static_cast<IUnknown **>(element) = object;
    } else {
        memcpy(element, value, array->cbElements);
    }
    SafeArrayUnlock(array);
    return stored;
}

}  // extern "C"
