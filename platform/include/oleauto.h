/* Stand-in Windows SDK: BSTRs, VARIANTs, safe arrays and active objects (oleaut32). */
#pragma once

#include "oaidl.h"

#ifndef LOCALE_SYSTEM_DEFAULT
#define LOCALE_SYSTEM_DEFAULT 0x0800
#define LOCALE_USER_DEFAULT 0x0400
#endif

/* A BSTR is preceded by its length in bytes (32 bits) and followed by a NUL unit. */
extern "C" BSTR WINAPI SysAllocString(const OLECHAR *psz);
extern "C" BSTR WINAPI SysAllocStringLen(const OLECHAR *strIn, UINT ui);
extern "C" UINT WINAPI SysStringLen(BSTR pbstr);
extern "C" UINT WINAPI SysStringByteLen(BSTR bstr);
extern "C" void WINAPI SysFreeString(BSTR bstrString);

extern "C" void WINAPI VariantInit(VARIANTARG *pvarg);
extern "C" HRESULT WINAPI VariantClear(VARIANTARG *pvarg);
extern "C" HRESULT WINAPI VariantCopy(VARIANTARG *pvargDest, const VARIANTARG *pvargSrc);
extern "C" HRESULT WINAPI VariantCopyInd(VARIANT *pvarDest, const VARIANTARG *pvargSrc);

extern "C" SAFEARRAY *WINAPI SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND *rgsabound);
extern "C" SAFEARRAY *WINAPI SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
extern "C" HRESULT WINAPI SafeArrayDestroy(SAFEARRAY *psa);
extern "C" HRESULT WINAPI SafeArrayCopy(SAFEARRAY *psa, SAFEARRAY **ppsaOut);
extern "C" UINT WINAPI SafeArrayGetDim(SAFEARRAY *psa);
extern "C" UINT WINAPI SafeArrayGetElemsize(SAFEARRAY *psa);
extern "C" HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY *psa, UINT nDim, LONG *plLbound);
extern "C" HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY *psa, UINT nDim, LONG *plUbound);
extern "C" HRESULT WINAPI SafeArrayGetVartype(SAFEARRAY *psa, VARTYPE *pvt);
extern "C" HRESULT WINAPI SafeArrayLock(SAFEARRAY *psa);
extern "C" HRESULT WINAPI SafeArrayUnlock(SAFEARRAY *psa);
extern "C" HRESULT WINAPI SafeArrayAccessData(SAFEARRAY *psa, void **ppvData);
extern "C" HRESULT WINAPI SafeArrayUnaccessData(SAFEARRAY *psa);
/* rgIndices[0] is the index in dimension 1 (the left-most), rgIndices[cDims - 1] in the last. */
extern "C" HRESULT WINAPI SafeArrayPtrOfIndex(SAFEARRAY *psa, LONG *rgIndices, void **ppvData);
extern "C" HRESULT WINAPI SafeArrayGetElement(SAFEARRAY *psa, LONG *rgIndices, void *pv);
extern "C" HRESULT WINAPI SafeArrayPutElement(SAFEARRAY *psa, LONG *rgIndices, void *pv);

#define ACTIVEOBJECT_STRONG 0x0
#define ACTIVEOBJECT_WEAK 0x1
extern "C" HRESULT WINAPI RegisterActiveObject(IUnknown *punk, REFCLSID rclsid, DWORD dwFlags, DWORD *pdwRegister);
extern "C" HRESULT WINAPI RevokeActiveObject(DWORD dwRegister, void *pvReserved);
extern "C" HRESULT WINAPI GetActiveObject(REFCLSID rclsid, void *pvReserved, IUnknown **ppunk);

#define V_VT(X) ((X)->vt)
#define V_ISBYREF(X) (V_VT(X) & VT_BYREF)
#define V_ISARRAY(X) (V_VT(X) & VT_ARRAY)
#define V_UNION(X, Y) ((X)->Y)
#define V_I1(X) V_UNION(X, cVal)
#define V_UI1(X) V_UNION(X, bVal)
#define V_I2(X) V_UNION(X, iVal)
#define V_UI2(X) V_UNION(X, uiVal)
#define V_I4(X) V_UNION(X, lVal)
#define V_I4REF(X) V_UNION(X, plVal)
#define V_UI4(X) V_UNION(X, ulVal)
#define V_I8(X) V_UNION(X, llVal)
#define V_UI8(X) V_UNION(X, ullVal)
#define V_INT(X) V_UNION(X, intVal)
#define V_UINT(X) V_UNION(X, uintVal)
#define V_R4(X) V_UNION(X, fltVal)
#define V_R8(X) V_UNION(X, dblVal)
#define V_CY(X) V_UNION(X, cyVal)
#define V_DATE(X) V_UNION(X, date)
#define V_BSTR(X) V_UNION(X, bstrVal)
#define V_BSTRREF(X) V_UNION(X, pbstrVal)
#define V_DISPATCH(X) V_UNION(X, pdispVal)
#define V_DISPATCHREF(X) V_UNION(X, ppdispVal)
#define V_ERROR(X) V_UNION(X, scode)
#define V_BOOL(X) V_UNION(X, boolVal)
#define V_UNKNOWN(X) V_UNION(X, punkVal)
#define V_UNKNOWNREF(X) V_UNION(X, ppunkVal)
#define V_VARIANTREF(X) V_UNION(X, pvarVal)
#define V_ARRAY(X) V_UNION(X, parray)
#define V_ARRAYREF(X) V_UNION(X, pparray)
#define V_BYREF(X) V_UNION(X, byref)
#define V_DECIMAL(X) ((X)->decVal)
