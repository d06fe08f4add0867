/* Stand-in Windows SDK: BSTRs (oleaut32). */
#pragma once

#include "windef.h"

typedef WCHAR OLECHAR;
typedef OLECHAR *LPOLESTR;
typedef const OLECHAR *LPCOLESTR;
typedef OLECHAR *BSTR;
typedef BSTR *LPBSTR;

/* A BSTR is preceded by its length in bytes (32 bits) and followed by a NUL unit. */
extern "C" BSTR WINAPI SysAllocString(const OLECHAR *psz);
extern "C" BSTR WINAPI SysAllocStringLen(const OLECHAR *strIn, UINT ui);
extern "C" UINT WINAPI SysStringLen(BSTR pbstr);
extern "C" void WINAPI SysFreeString(BSTR bstrString);
