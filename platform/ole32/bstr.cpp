// BSTRs (oleaut32): the characters are preceded by their length in bytes and followed by a NUL
// unit; the BSTR points at the characters. The machine counts the BSTRs alive, so tests can
// see a string that was never freed.
#include "machine/counters.h"

#include <ole2.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace winsim;

extern "C" {

BSTR WINAPI SysAllocStringLen(const OLECHAR *text, UINT length)
{
    if (length > (UINT32_MAX - sizeof(uint32_t) - sizeof(OLECHAR)) / sizeof(OLECHAR))
        return nullptr;
    auto *block = static_cast<char *>(malloc(sizeof(uint32_t) + (length + 1) * sizeof(OLECHAR)));
    if (!block)
        return nullptr;
    uint32_t bytes = length * sizeof(OLECHAR);
    memcpy(block, &bytes, sizeof bytes);
    BSTR string = reinterpret_cast<BSTR>(block + sizeof(uint32_t));
    if (text)
        memcpy(string, text, bytes);
    else
        memset(string, 0, bytes);
    string[length] = 0;
    addToCounter("oleaut32.bstr.alive");
    return string;
}

BSTR WINAPI SysAllocString(const OLECHAR *text)
{
    if (!text)
        return nullptr;
    UINT length = 0;
    while (text[length])
        ++length;
    return SysAllocStringLen(text, length);
}

UINT WINAPI SysStringLen(BSTR string)
{
    if (!string)
        return 0;
    uint32_t bytes;
    memcpy(&bytes, reinterpret_cast<char *>(string) - sizeof bytes, sizeof bytes);
    return bytes / sizeof(OLECHAR);
}

UINT WINAPI SysStringByteLen(BSTR string)
{
    if (!string)
        return 0;
    uint32_t bytes;
    memcpy(&bytes, reinterpret_cast<char *>(string) - sizeof bytes, sizeof bytes);
    return bytes;
}

void WINAPI SysFreeString(BSTR string)
{
    if (!string)
        return;
    free(reinterpret_cast<char *>(string) - sizeof(uint32_t));
    addToCounter("oleaut32.bstr.alive", -1);
}

}  // extern "C"
