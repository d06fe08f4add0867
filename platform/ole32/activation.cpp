// COM activation of in-process servers, as ole32 does it: a programmatic identifier names its
// class under HKEY_CLASSES_ROOT (the machine's classes and the user's), the class names its server DLL under
// CLSID\{...}\InprocServer32, the DLL (found the loader's way: program directory, System32)
// hands out a class factory through DllGetClassObject, and the factory makes the object.
// Servers stay loaded for the life of the process.
#include "machine/injected_faults.h"
#include "machine/text.h"
#include "ole32/com.h"

#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace winsim;

namespace {

// The default value of a key under HKEY_CLASSES_ROOT, or false when the key or value is
// missing or not a string.
bool readClassesDefault(const std::u16string &subKey, std::u16string &value)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, subKey.c_str(), 0, KEY_QUERY_VALUE, &key) != 0)
        return false;
    DWORD type = 0;
    DWORD size = 0;
    bool found = RegQueryValueExW(key, u"", nullptr, &type, nullptr, &size) == 0 &&
                 (type == REG_SZ || type == REG_EXPAND_SZ);
    std::u16string data(size / sizeof(char16_t) + 1, u'\0');
    found = found && RegQueryValueExW(key, u"", nullptr, &type, reinterpret_cast<BYTE *>(data.data()), &size) == 0;
    RegCloseKey(key);
    if (!found)
        return false;
    data.resize(wideLength(data.c_str()));
    if (type == REG_EXPAND_SZ) {
        DWORD needed = ExpandEnvironmentStringsW(data.c_str(), nullptr, 0);
        std::u16string expanded(needed, u'\0');
        if (needed == 0 || ExpandEnvironmentStringsW(data.c_str(), expanded.data(), needed) == 0)
            return false;
        expanded.resize(wideLength(expanded.c_str()));
        data = expanded;
    }
    value = data;
    return true;
}

int hexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" exactly.
bool parseGuid(std::u16string_view text, GUID &guid)
{
    static const char kShape[] = "{........-....-....-....-............}";
    if (text.size() != sizeof kShape - 1)
        return false;
    std::vector<int> digits;
    for (size_t i = 0; i < text.size(); ++i) {
        if (kShape[i] == '.') {
            int digit = hexDigit(text[i]);
            if (digit < 0)
                return false;
            digits.push_back(digit);
        } else if (text[i] != static_cast<char16_t>(kShape[i])) {
            return false;
        }
    }
    auto take = [&digits](size_t from, size_t count) {
        uint64_t value = 0;
        for (size_t i = from; i < from + count; ++i)
            value = value << 4 | static_cast<uint64_t>(digits[i]);
        return value;
    };
    guid.Data1 = static_cast<DWORD>(take(0, 8));
    guid.Data2 = static_cast<WORD>(take(8, 4));
    guid.Data3 = static_cast<WORD>(take(12, 4));
    for (size_t b = 0; b < 8; ++b)
        guid.Data4[b] = static_cast<BYTE>(take(16 + 2 * b, 2));
    return true;
}

std::u16string guidText(REFGUID guid)
{
    char text[40];
    snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
             guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
             guid.Data4[6], guid.Data4[7]);
    return toUtf16(text);
}

}  // namespace

extern "C" {

int WINAPI StringFromGUID2(REFGUID guid, LPOLESTR text, int capacity)
{
    std::u16string formatted = guidText(guid);
    if (!text || capacity < static_cast<int>(formatted.size() + 1))
        return 0;
    formatted.copy(text, formatted.size());
    text[formatted.size()] = 0;
    return static_cast<int>(formatted.size() + 1);
}

HRESULT WINAPI CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid)
{
    if (!progId || !clsid)
        return E_INVALIDARG;
    if (auto failure = injectedFailure("CLSIDFromProgID"))
        return static_cast<HRESULT>(*failure);
    std::u16string classText;
    GUID parsed;
    if (*progId == 0 || !readClassesDefault(std::u16string(progId) + u"\\CLSID", classText) ||
        !parseGuid(classText, parsed)) {
        *clsid = GUID_NULL;
        return CO_E_CLASSSTRING;
    }
    *clsid = parsed;
    return S_OK;
}

HRESULT WINAPI CLSIDFromString(LPCOLESTR text, LPCLSID clsid)
{
    if (!clsid)
        return E_INVALIDARG;
    if (!text) {
        *clsid = GUID_NULL;
        return S_OK;
    }
    if (*text != u'{')
        return CLSIDFromProgID(text, clsid);
    GUID parsed;
    if (!parseGuid(std::u16string_view(text, wideLength(text)), parsed)) {
        *clsid = GUID_NULL;
        return CO_E_CLASSSTRING;
    }
    *clsid = parsed;
    return S_OK;
}

HRESULT WINAPI CoGetClassObject(REFCLSID clsid, DWORD context, LPVOID, REFIID iid, LPVOID *object)
{
    if (!object)
        return E_INVALIDARG;
    *object = nullptr;
    if (!comUsableOnThisThread())
        return CO_E_NOTINITIALIZED;
    std::u16string server;
    if (!(context & CLSCTX_INPROC_SERVER) ||
        !readClassesDefault(u"CLSID\\" + guidText(clsid) + u"\\InprocServer32", server) || server.empty())
        return REGDB_E_CLASSNOTREG;
    HMODULE module = LoadLibraryA(toUtf8(server).c_str());
    if (!module)
        return HRESULT_FROM_WIN32(GetLastError());
    auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "DllGetClassObject")));
    if (!getClassObject) {
        FreeLibrary(module);
        return CO_E_ERRORINDLL;
    }
    return getClassObject(clsid, iid, object);
}

HRESULT WINAPI CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID *object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (auto failure = injectedFailure("CoCreateInstance"))
        return static_cast<HRESULT>(*failure);
    IClassFactory *factory = nullptr;
    HRESULT found = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, reinterpret_cast<void **>(&factory));
    if (FAILED(found))
        return found;
    HRESULT created = factory->CreateInstance(outer, iid, object);
    factory->Release();
    if (FAILED(created))
        *object = nullptr;
    return created;
}

}  // extern "C"
