// VARIANTs (oleaut32): initialising, clearing and copying, with the ownership rules of
// Windows: a VARIANT owns its BSTR, its interface reference and its array, never what a
// by-reference VARIANT points at.
#include "ole32/variant_types.h"

#include <ole2.h>

#include <cstring>

namespace winsim {

bool isValidVariantType(VARTYPE vt)
{
    const VARTYPE extras = vt & ~VT_TYPEMASK;
    if (extras & ~(VT_ARRAY | VT_BYREF))
        return false;
    const VARTYPE base = vt & VT_TYPEMASK;
    switch (base) {
    case VT_EMPTY:
    case VT_NULL:
        return extras == 0;
    case VT_VARIANT:
        return extras != 0;
    case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_BSTR:
    case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_UNKNOWN: case VT_DECIMAL: case VT_I1:
    case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
    case VT_RECORD:
        return true;
    default:
        return false;
    }
}

ULONG safeArrayElementSize(VARTYPE vt)
{
    switch (vt) {
    case VT_I1: case VT_UI1:
        return 1;
    case VT_I2: case VT_UI2: case VT_BOOL:
        return 2;
    case VT_I4: case VT_UI4: case VT_R4: case VT_INT: case VT_UINT: case VT_ERROR:
        return 4;
    case VT_R8: case VT_CY: case VT_DATE: case VT_I8: case VT_UI8:
        return 8;
    case VT_BSTR: case VT_DISPATCH: case VT_UNKNOWN:
        return sizeof(void *);
    case VT_DECIMAL:
        return sizeof(DECIMAL);
    case VT_VARIANT:
        return sizeof(VARIANT);
    default:
        return 0;
    }
}

}  // namespace winsim

using namespace winsim;

extern "C" {

void WINAPI VariantInit(VARIANTARG *variant)
{
    V_VT(variant) = VT_EMPTY;
    variant->wReserved1 = variant->wReserved2 = variant->wReserved3 = 0;
}

HRESULT WINAPI VariantClear(VARIANTARG *variant)
{
    if (!variant)
        return E_INVALIDARG;
    const VARTYPE vt = V_VT(variant);
    if (!isValidVariantType(vt))
        return DISP_E_BADVARTYPE;
    if (!(vt & VT_BYREF)) {
        if (vt & VT_ARRAY) {
            HRESULT destroyed = SafeArrayDestroy(V_ARRAY(variant));
            if (FAILED(destroyed))
                return destroyed;
        } else if (vt == VT_BSTR) {
            SysFreeString(V_BSTR(variant));
        } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
            if (V_UNKNOWN(variant))
                V_UNKNOWN(variant)->Release();
        }
    }
    V_VT(variant) = VT_EMPTY;
    return S_OK;
}

HRESULT WINAPI VariantCopy(VARIANTARG *destination, const VARIANTARG *source)
{
    if (!destination || !source)
        return E_INVALIDARG;
    if (destination == source)
        return S_OK;
    const VARTYPE vt = V_VT(source);
    if (!isValidVariantType(vt))
        return DISP_E_BADVARTYPE;
    if ((vt & ~VT_BYREF) == VT_RECORD)
        return E_NOTIMPL;
    HRESULT cleared = VariantClear(destination);
    if (FAILED(cleared))
        return cleared;
    VARIANT copy;
    memcpy(&copy, source, sizeof copy);
    if (!(vt & VT_BYREF)) {
        if (vt & VT_ARRAY) {
            if (V_ARRAY(source)) {
                HRESULT copied = SafeArrayCopy(V_ARRAY(source), &V_ARRAY(&copy));
                if (FAILED(copied))
                    return copied;
            }
        } else if (vt == VT_BSTR) {
            if (V_BSTR(source)) {
                V_BSTR(&copy) = SysAllocStringLen(V_BSTR(source), SysStringLen(V_BSTR(source)));
                if (!V_BSTR(&copy))
                    return E_OUTOFMEMORY;
            }
        } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
            if (V_UNKNOWN(source))
                V_UNKNOWN(source)->AddRef();
        }
    }
    memcpy(destination, &copy, sizeof copy);
    return S_OK;
}

HRESULT WINAPI VariantCopyInd(VARIANT *destination, const VARIANTARG *source)
{
    if (!destination || !source)
        return E_INVALIDARG;
    const VARTYPE vt = V_VT(source);
    if (!(vt & VT_BYREF))
        return VariantCopy(destination, source);
    if (!isValidVariantType(vt))
        return DISP_E_BADVARTYPE;
    if (!V_BYREF(source))
        return E_INVALIDARG;
    const VARTYPE target = vt & ~VT_BYREF;
    if (target == VT_VARIANT) {
        const VARIANT *inner = V_VARIANTREF(source);
        // A VARIANT by reference to another by-reference VARIANT is not followed twice.
        if (V_VT(inner) == (VT_BYREF | VT_VARIANT))
            return E_INVALIDARG;
        return VariantCopyInd(destination, inner);
    }
    // Make the value VARIANT the reference describes, then copy it as an owned value.
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = target;
    if (target & VT_ARRAY)
        V_ARRAY(&value) = *V_ARRAYREF(source);
    else if (target == VT_DECIMAL)
        memcpy(&value.decVal, V_BYREF(source), sizeof(DECIMAL));
    else if (target == VT_RECORD)
        return E_NOTIMPL;
    else
        memcpy(&value.llVal, V_BYREF(source), safeArrayElementSize(target));
    if (target == VT_DECIMAL)
        V_VT(&value) = VT_DECIMAL;
    if (destination == source) {
        VARIANT copy;
        VariantInit(&copy);
        HRESULT copied = VariantCopy(&copy, &value);
        if (SUCCEEDED(copied))
            memcpy(destination, &copy, sizeof copy);
        return copied;
    }
    return VariantCopy(destination, &value);
}

}  // extern "C"
