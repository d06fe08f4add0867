// COM activation (CLSIDFromProgID, CoCreateInstance) and one scenario of calls on a scripting
// dictionary through IDispatch: the stand-in's own dictionary server (WinSim.Dictionary) and
// Wine's Scripting.Dictionary must answer it the same way, errors included.
#include "../framework/support.h"

#include <objbase.h>
#include <oleauto.h>

#include <cstring>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

using namespace conformance;

namespace {

const WCHAR *dictionaryProgId()
{
    return std::strcmp(sideName(), "wine") == 0 ? TEXT("Scripting.Dictionary") : TEXT("WinSim.Dictionary");
}

// A class identifier that no one registers.
const CLSID kUnregistered = {0x5c1f04a7, 0x2b8e, 0x4d6a, {0x9f, 0x31, 0x7e, 0x04, 0xc2, 0x58, 0xa1, 0x6d}};

class Apartment {
public:
    Apartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~Apartment()
    {
        if (SUCCEEDED(result_))
            CoUninitialize();
    }
    Apartment(const Apartment &) = delete;
    Apartment &operator=(const Apartment &) = delete;
    HRESULT result() const { return result_; }

private:
    HRESULT result_;
};

std::string hex(HRESULT result)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(result));
    return text;
}

// A VARIANT as text: "i4:5", "bstr:\"x\"", "bool:-1", "empty", "array<variant>(0..1)[...]".
std::string show(const VARIANT &value)
{
    switch (value.vt) {
    case VT_EMPTY:
        return "empty";
    case VT_I4:
        return "i4:" + std::to_string(value.lVal);
    case VT_I2:
        return "i2:" + std::to_string(value.iVal);
    case VT_BOOL:
        return "bool:" + std::to_string(value.boolVal);
    case VT_BSTR:
        return "bstr:\"" + utf8(value.bstrVal ? WString(value.bstrVal) : WString()) + "\"";
    case VT_ARRAY | VT_VARIANT: {
        LONG lower = 0;
        LONG upper = -1;
        SafeArrayGetLBound(value.parray, 1, &lower);
        SafeArrayGetUBound(value.parray, 1, &upper);
        std::string out = "array<variant>(" + std::to_string(lower) + ".." + std::to_string(upper) + ")[";
        for (LONG i = lower; i <= upper; ++i) {
            VARIANT element;
            VariantInit(&element);
            SafeArrayGetElement(value.parray, &i, &element);
            out += (i > lower ? ", " : "") + show(element);
            VariantClear(&element);
        }
        return out + "]";
    }
    default:
        return "vt:" + std::to_string(value.vt);
    }
}

class Dictionary {
public:
    explicit Dictionary(IDispatch *object) : object_(object) {}
    ~Dictionary()
    {
        if (object_)
            object_->Release();
    }
    Dictionary(const Dictionary &) = delete;
    Dictionary &operator=(const Dictionary &) = delete;

    DISPID id(const WCHAR *name, HRESULT &result)
    {
        DISPID found = DISPID_UNKNOWN;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        result = object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &found);
        return found;
    }

    // Calls a member with arguments (given first to last) and returns the transcript line:
    // "<member> <flags> <arguments> -> <result> [scode] [value]".
    std::string call(const WCHAR *member, WORD flags, std::vector<VARIANT> arguments)
    {
        HRESULT result = S_OK;
        const DISPID dispid = id(member, result);
        std::ostringstream line;
        line << utf8(member) << " " << flags;
        for (const VARIANT &argument : arguments)
            line << " " << show(argument);
        if (FAILED(result)) {
            line << " -> names " << hex(result);
            clear(arguments);
            return line.str();
        }
        std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());  // rgvarg is last first
        DISPID putId = DISPID_PROPERTYPUT;
        DISPPARAMS parameters{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        if (flags & DISPATCH_PROPERTYPUT) {
            parameters.rgdispidNamedArgs = &putId;
            parameters.cNamedArgs = 1;
        }
        VARIANT value;
        VariantInit(&value);
        EXCEPINFO exception{};
        UINT argumentError = 0;
        result = object_->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, flags, &parameters, &value, &exception,
                                 &argumentError);
        line << " -> " << hex(result);
        if (result == DISP_E_EXCEPTION)
            line << " scode " << hex(exception.scode ? exception.scode : exception.wCode);
        else if (SUCCEEDED(result))
            line << " " << show(value);
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);
        VariantClear(&value);
        clear(arguments);
        return line.str();
    }

private:
    static void clear(std::vector<VARIANT> &arguments)
    {
        for (VARIANT &argument : arguments)
            VariantClear(&argument);
    }

    IDispatch *object_;
};

VARIANT text(const WCHAR *value)
{
    VARIANT out;
    VariantInit(&out);
    out.vt = VT_BSTR;
    out.bstrVal = SysAllocString(value);
    return out;
}

VARIANT number(LONG value)
{
    VARIANT out;
    VariantInit(&out);
    out.vt = VT_I4;
    out.lVal = value;
    return out;
}

VARIANT unsignedNumber(ULONG value)
{
    VARIANT out;
    VariantInit(&out);
    out.vt = VT_UI4;
    out.ulVal = value;
    return out;
}

}  // namespace

CHECK(com_activation, an_unknown_program_identifier_and_an_unregistered_class_are_told_apart)
{
    Apartment apartment;
    ASSERT_EQ(apartment.result(), S_OK);
    CLSID found{};
    EXPECT_EQ(CLSIDFromProgID(TEXT("Conformance.NoSuchProgram"), &found), CO_E_CLASSSTRING);
    IUnknown *object = nullptr;
    EXPECT_EQ(CoCreateInstance(kUnregistered, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void **>(&object)),
              REGDB_E_CLASSNOTREG);
    EXPECT_TRUE(object == nullptr);
}

CHECK(com_activation, creating_an_object_needs_com_on_the_thread)
{
    HRESULT result = S_OK;
    CLSID dictionary{};
    std::thread uninitialised([&] {
        IUnknown *object = nullptr;
        if (CLSIDFromProgID(dictionaryProgId(), &dictionary) == S_OK)
            result = CoCreateInstance(dictionary, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                      reinterpret_cast<void **>(&object));
        if (object)
            object->Release();
    });
    uninitialised.join();
    EXPECT_EQ(result, CO_E_NOTINITIALIZED);
}

CHECK(com_activation, a_scripting_dictionary_answers_the_scenario)
{
    Apartment apartment;
    ASSERT_EQ(apartment.result(), S_OK);
    CLSID classId{};
    ASSERT_EQ(CLSIDFromProgID(dictionaryProgId(), &classId), S_OK);
    IDispatch *raw = nullptr;
    ASSERT_EQ(CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void **>(&raw)),
              S_OK);
    Dictionary dictionary(raw);

    const WORD get = DISPATCH_PROPERTYGET;
    const WORD method = DISPATCH_METHOD;
    const WORD getOrMethod = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
    const WORD put = DISPATCH_PROPERTYPUT;
    std::vector<std::string> transcript;
    transcript.push_back(dictionary.call(TEXT("Add"), method, {text(TEXT("a")), number(1)}));
    transcript.push_back(dictionary.call(TEXT("Add"), method, {text(TEXT("b")), text(TEXT("two"))}));
    transcript.push_back(dictionary.call(TEXT("Add"), method, {text(TEXT("a")), number(3)}));
    transcript.push_back(dictionary.call(TEXT("Count"), get, {}));
    transcript.push_back(dictionary.call(TEXT("Exists"), getOrMethod, {text(TEXT("a"))}));
    transcript.push_back(dictionary.call(TEXT("Exists"), getOrMethod, {text(TEXT("zz"))}));
    transcript.push_back(dictionary.call(TEXT("Item"), get, {text(TEXT("b"))}));
    transcript.push_back(dictionary.call(TEXT("Item"), get, {text(TEXT("missing"))}));
    transcript.push_back(dictionary.call(TEXT("Count"), get, {}));
    transcript.push_back(dictionary.call(TEXT("Item"), put, {text(TEXT("a")), number(10)}));
    transcript.push_back(dictionary.call(TEXT("Item"), get, {text(TEXT("a"))}));
    transcript.push_back(dictionary.call(TEXT("Keys"), getOrMethod, {}));
    transcript.push_back(dictionary.call(TEXT("Items"), getOrMethod, {}));
    transcript.push_back(dictionary.call(TEXT("Remove"), method, {text(TEXT("zz"))}));
    transcript.push_back(dictionary.call(TEXT("Remove"), method, {text(TEXT("missing"))}));
    transcript.push_back(dictionary.call(TEXT("Count"), method, {}));
    transcript.push_back(dictionary.call(TEXT("Add"), method, {text(TEXT("only a key"))}));
    transcript.push_back(dictionary.call(TEXT("Add"), method, {unsignedNumber(7), number(1)}));
    transcript.push_back(dictionary.call(TEXT("NoSuchMember"), method, {}));
    transcript.push_back(dictionary.call(TEXT("RemoveAll"), method, {}));
    transcript.push_back(dictionary.call(TEXT("Count"), get, {}));

    const std::vector<std::string> expected = {
        "Add 1 bstr:\"a\" i4:1 -> 0x00000000 empty",
        "Add 1 bstr:\"b\" bstr:\"two\" -> 0x00000000 empty",
        "Add 1 bstr:\"a\" i4:3 -> 0x80020009 scode 0x800A01C9",
        "Count 2 -> 0x00000000 i4:2",
        "Exists 3 bstr:\"a\" -> 0x00000000 bool:-1",
        "Exists 3 bstr:\"zz\" -> 0x00000000 bool:0",
        "Item 2 bstr:\"b\" -> 0x00000000 bstr:\"two\"",
        "Item 2 bstr:\"missing\" -> 0x00000000 empty",
        "Count 2 -> 0x00000000 i4:3",
        "Item 4 bstr:\"a\" i4:10 -> 0x00000000 empty",
        "Item 2 bstr:\"a\" -> 0x00000000 i4:10",
        "Keys 3 -> 0x00000000 array<variant>(0..2)[bstr:\"a\", bstr:\"b\", bstr:\"missing\"]",
        "Items 3 -> 0x00000000 array<variant>(0..2)[i4:10, bstr:\"two\", empty]",
        "Remove 1 bstr:\"zz\" -> 0x80020009 scode 0x800A802B",
        "Remove 1 bstr:\"missing\" -> 0x00000000 empty",
        "Count 1 -> 0x80020003",
        "Add 1 bstr:\"only a key\" -> 0x8002000E",
        "Add 1 vt:19 i4:1 -> 0x80020009 scode 0x800A0005",
        "NoSuchMember 1 -> names 0x80020006",
        "RemoveAll 1 -> 0x00000000 empty",
        "Count 2 -> 0x00000000 i4:0",
    };
    EXPECT_EQ(transcript.size(), expected.size());
    for (size_t i = 0; i < transcript.size() && i < expected.size(); ++i)
        EXPECT_EQ(transcript[i], expected[i]);
}
