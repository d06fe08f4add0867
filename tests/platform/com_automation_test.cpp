// COM activation through the machine's registered classes, the running object table, and the
// machine's automation servers (dictionary, recorder) driven through IDispatch.
#include "support/host_path.h"
#include "machine/counters.h"
#include "machine/machine.h"
#include "ole32/com.h"

#include <windows.h>
#include <ole2.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace {

const CLSID kUnregistered = {0x1234abcd, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};

struct ComScope {
    explicit ComScope(DWORD model = COINIT_APARTMENTTHREADED) { EXPECT_EQ(CoInitializeEx(nullptr, model), S_OK); }
    ~ComScope() { CoUninitialize(); }
};

CLSID classOf(const char16_t *progId)
{
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(CLSIDFromProgID(progId, &clsid), S_OK) << "for the identifier of a registered class";
    return clsid;
}

IDispatch *create(const char16_t *progId)
{
    IDispatch *object = nullptr;
    EXPECT_EQ(CoCreateInstance(classOf(progId), nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                               reinterpret_cast<void **>(&object)),
              S_OK);
    return object;
}

VARIANT text(const char16_t *value)
{
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(value);
    return v;
}

VARIANT integer(VARTYPE vt, LONG value)
{
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = vt;
    V_I4(&v) = value;
    return v;
}

// Calls a member by name with the arguments in the order the caller writes them; a put passes
// the last one as the named DISPID_PROPERTYPUT. The arguments are cleared afterwards.
HRESULT invoke(IDispatch *object, const char16_t *name, WORD flags, std::vector<VARIANT> arguments,
               VARIANT *result = nullptr, EXCEPINFO *exception = nullptr)
{
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT found = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &id);
    if (FAILED(found))
        return found;
    std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS parameters = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags == DISPATCH_PROPERTYPUT) {
        parameters.rgdispidNamedArgs = &put;
        parameters.cNamedArgs = 1;
    }
    if (result)
        VariantInit(result);
    UINT argumentError = 0;
    HRESULT called = object->Invoke(id, IID_NULL, LOCALE_SYSTEM_DEFAULT, flags, &parameters, result, exception,
                                    &argumentError);
    for (VARIANT &argument : reversed)
        VariantClear(&argument);
    return called;
}

std::string describeResult(VARIANT &result)
{
    std::string out;
    if (V_VT(&result) == VT_BSTR) {
        for (const char16_t *c = V_BSTR(&result); *c; ++c)
            out += static_cast<char>(*c);
    }
    VariantClear(&result);
    return out;
}

void writeClassKey(const std::string &path, const std::string &value)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\Classes\\" + path).c_str(), 0, nullptr, 0, KEY_WRITE,
                              nullptr, &key, nullptr),
              0);
    ASSERT_EQ(RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)),
              0);
    RegCloseKey(key);
}

class ComAutomation : public testing::Test {
protected:
    void SetUp() override
    {
        for (const char *kind : {"Dictionary", "Recorder", "PlainObject", "ClassFactory"})
            start_.push_back(winsim::counterValue(std::string("automation.alive.") + kind));
        strings_ = winsim::counterValue("oleaut32.bstr.alive");
        arrays_ = winsim::counterValue("oleaut32.safearray.alive");
    }

    // Every object, string and array made during the test is gone again.
    void TearDown() override
    {
        size_t i = 0;
        for (const char *kind : {"Dictionary", "Recorder", "PlainObject", "ClassFactory"})
            EXPECT_EQ(winsim::counterValue(std::string("automation.alive.") + kind), start_[i++]) << kind;
        EXPECT_EQ(winsim::counterValue("oleaut32.bstr.alive"), strings_);
        EXPECT_EQ(winsim::counterValue("oleaut32.safearray.alive"), arrays_);
        for (const char *call : {"fail.CLSIDFromProgID", "fail.CoCreateInstance", "fail.GetActiveObject"})
            winsim::setMachineSetting(winsim::machineRoot(), call, "");
    }

    std::vector<int64_t> start_;
    int64_t strings_ = 0;
    int64_t arrays_ = 0;
};

}  // namespace

TEST_F(ComAutomation, ProgrammaticIdentifiersResolveCaseInsensitively)
{
    CLSID upper = GUID_NULL, lower = GUID_NULL;
    EXPECT_EQ(CLSIDFromProgID(u"WinSim.Dictionary", &upper), S_OK);
    EXPECT_EQ(CLSIDFromProgID(u"winsim.dictionary", &lower), S_OK);
    EXPECT_EQ(upper, lower);
    OLECHAR textual[39];
    ASSERT_EQ(StringFromGUID2(upper, textual, 39), 39);
    CLSID parsed = GUID_NULL;
    EXPECT_EQ(CLSIDFromString(textual, &parsed), S_OK);
    EXPECT_EQ(parsed, upper);
    // HKEY_CLASSES_ROOT shows the user's classes too.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Classes\\User.Only\\CLSID", 0, nullptr, 0, KEY_WRITE,
                              nullptr, &key, nullptr),
              0);
    ASSERT_EQ(RegSetValueExW(key, u"", 0, REG_SZ, reinterpret_cast<const BYTE *>(textual), sizeof textual), 0);
    RegCloseKey(key);
    EXPECT_EQ(CLSIDFromProgID(u"user.only", &parsed), S_OK);
    EXPECT_EQ(parsed, upper);
    EXPECT_EQ(CLSIDFromProgID(u"No.Such.Class", &parsed), CO_E_CLASSSTRING);
    EXPECT_EQ(parsed, GUID_NULL);
    EXPECT_EQ(CLSIDFromProgID(u"", &parsed), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromString(u"{6B0F3A51-2D4E-4C83-9A17-3E5D8021C46}", &parsed), CO_E_CLASSSTRING);
}

TEST_F(ComAutomation, CreationNeedsComOnTheThreadOrAMultithreadedApartment)
{
    const CLSID dictionary = classOf(u"WinSim.Dictionary");
    IUnknown *object = reinterpret_cast<IUnknown *>(1);
    std::thread([&] {
        EXPECT_EQ(CoCreateInstance(dictionary, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                   reinterpret_cast<void **>(&object)),
                  CO_E_NOTINITIALIZED);
        EXPECT_EQ(object, nullptr);
        EXPECT_EQ(GetActiveObject(dictionary, nullptr, &object), CO_E_NOTINITIALIZED);
    }).join();

    // While one thread keeps the multithreaded apartment, threads without COM belong to it.
    ComScope multithreaded(COINIT_MULTITHREADED);
    std::thread([&] {
        EXPECT_FALSE(winsim::comInitializedOnThisThread());
        ASSERT_EQ(CoCreateInstance(dictionary, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                   reinterpret_cast<void **>(&object)),
                  S_OK);
        object->Release();
    }).join();
}

TEST_F(ComAutomation, ActivationFailuresGiveWindowsResults)
{
    ComScope com;
    IUnknown *object = nullptr;
    EXPECT_EQ(CoCreateInstance(kUnregistered, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void **>(&object)),
              REGDB_E_CLASSNOTREG);
    const CLSID dictionary = classOf(u"WinSim.Dictionary");
    EXPECT_EQ(CoCreateInstance(dictionary, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                               reinterpret_cast<void **>(&object)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(dictionary, reinterpret_cast<IUnknown *>(8), CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void **>(&object)),
              CLASS_E_NOAGGREGATION);
    // An object without IDispatch.
    EXPECT_EQ(CoCreateInstance(classOf(u"WinSim.PlainObject"), nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void **>(&object)),
              E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);

    // A class whose server DLL has no DllGetClassObject, and one whose DLL is not there.
    OLECHAR textual[39];
    StringFromGUID2(kUnregistered, textual, 39);
    std::string clsid(textual, textual + 38);
    writeClassKey("CLSID\\" + clsid + "\\InprocServer32", "kernel32.dll");
    EXPECT_EQ(CoCreateInstance(kUnregistered, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void **>(&object)),
              CO_E_ERRORINDLL);
    writeClassKey("CLSID\\" + clsid + "\\InprocServer32", "C:\\Program Files\\Gone\\gone.dll");
    EXPECT_EQ(CoCreateInstance(kUnregistered, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void **>(&object)),
              HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    ASSERT_EQ(unlink(hostPath(u"C:\\Windows\\System32\\winsimauto.dll").c_str()), 0);
    EXPECT_EQ(CoCreateInstance(dictionary, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void **>(&object)),
              HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    winsim::createMachine(winsim::machineRoot());  // puts the DLL back
}

TEST_F(ComAutomation, InjectedFailuresAnswerTheCall)
{
    ComScope com;
    const std::string root = winsim::machineRoot();
    winsim::setMachineSetting(root, "fail.CLSIDFromProgID", "0x80004005");
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(CLSIDFromProgID(u"WinSim.Dictionary", &clsid), E_FAIL);
    winsim::setMachineSetting(root, "fail.CLSIDFromProgID", "");
    clsid = classOf(u"WinSim.Dictionary");
    winsim::setMachineSetting(root, "fail.CoCreateInstance", "0x80070005");
    IUnknown *object = nullptr;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void **>(&object)),
              E_ACCESSDENIED);
    winsim::setMachineSetting(root, "fail.GetActiveObject", "0x8007000E");
    EXPECT_EQ(GetActiveObject(clsid, nullptr, &object), E_OUTOFMEMORY);
    EXPECT_EQ(object, nullptr);
}

TEST_F(ComAutomation, ActiveObjectsAreFoundByClassUntilRevoked)
{
    ComScope com;
    IDispatch *recorder = create(u"WinSim.Recorder");
    ASSERT_NE(recorder, nullptr);
    const CLSID clsid = classOf(u"WinSim.Recorder");
    IUnknown *found = nullptr;
    EXPECT_EQ(GetActiveObject(clsid, nullptr, &found), MK_E_UNAVAILABLE);
    DWORD first = 0, second = 0;
    ASSERT_EQ(RegisterActiveObject(recorder, clsid, ACTIVEOBJECT_STRONG, &first), S_OK);
    EXPECT_EQ(RegisterActiveObject(recorder, clsid, ACTIVEOBJECT_WEAK, &second), MK_S_MONIKERALREADYREGISTERED);
    ASSERT_EQ(GetActiveObject(clsid, nullptr, &found), S_OK);
    EXPECT_EQ(found, static_cast<IUnknown *>(recorder));
    found->Release();
    EXPECT_EQ(RevokeActiveObject(first, nullptr), S_OK);
    EXPECT_EQ(RevokeActiveObject(first, nullptr), E_INVALIDARG);
    EXPECT_EQ(RevokeActiveObject(second, nullptr), S_OK);
    EXPECT_EQ(GetActiveObject(clsid, nullptr, &found), MK_E_UNAVAILABLE);
    // The table held its own references: the object now goes with the last of ours.
    EXPECT_EQ(recorder->Release(), 0u);
}

TEST_F(ComAutomation, DictionaryBehavesAsTheScriptingDictionary)
{
    ComScope com;
    IDispatch *dictionary = create(u"WinSim.Dictionary");
    ASSERT_NE(dictionary, nullptr);
    VARIANT result;
    EXCEPINFO exception = {};
    EXPECT_EQ(invoke(dictionary, u"Add", DISPATCH_METHOD, {text(u"a"), text(u"first")}), S_OK);
    EXPECT_EQ(invoke(dictionary, u"add", DISPATCH_METHOD, {integer(VT_I4, 7), text(u"seven")}), S_OK);

    // A duplicate key fails with the exception information filled in.
    EXPECT_EQ(invoke(dictionary, u"Add", DISPATCH_METHOD, {text(u"a"), text(u"again")}, &result, &exception),
              DISP_E_EXCEPTION);
    EXPECT_EQ(exception.scode, static_cast<SCODE>(0x800A01C9));
    EXPECT_EQ(std::u16string(exception.bstrDescription), u"This key is already associated with an element of this collection");
    EXPECT_NE(exception.bstrSource, nullptr);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);

    // Numbers are keys by value; VT_INT is not a key type.
    EXPECT_EQ(invoke(dictionary, u"Item", DISPATCH_PROPERTYGET, {integer(VT_I2, 7)}, &result), S_OK);
    EXPECT_EQ(describeResult(result), "seven");
    EXPECT_EQ(invoke(dictionary, u"Add", DISPATCH_METHOD, {integer(VT_INT, 1), text(u"x")}, &result, &exception),
              DISP_E_EXCEPTION);
    EXPECT_EQ(exception.scode, static_cast<SCODE>(0x800A0005));
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    EXPECT_EQ(invoke(dictionary, u"Exists", DISPATCH_METHOD, {integer(VT_INT, 7)}, &result), S_OK);
    EXPECT_EQ(V_VT(&result), VT_BOOL);
    EXPECT_EQ(V_BOOL(&result), VARIANT_FALSE);

    // Reading a missing key adds it with an empty item; a put replaces or adds.
    EXPECT_EQ(invoke(dictionary, u"Item", DISPATCH_PROPERTYGET, {text(u"missing")}, &result), S_OK);
    EXPECT_EQ(V_VT(&result), VT_EMPTY);
    EXPECT_EQ(invoke(dictionary, u"Item", DISPATCH_PROPERTYPUT, {text(u"a"), text(u"replaced")}), S_OK);
    EXPECT_EQ(invoke(dictionary, u"Count", DISPATCH_PROPERTYGET, {}, &result), S_OK);
    EXPECT_EQ(V_VT(&result), VT_I4);
    EXPECT_EQ(V_I4(&result), 3);
    EXPECT_EQ(invoke(dictionary, u"Exists", DISPATCH_METHOD, {text(u"missing")}, &result), S_OK);
    EXPECT_EQ(V_BOOL(&result), VARIANT_TRUE);

    // Keys and items in the order they were added, as a VARIANT array from 0.
    EXPECT_EQ(invoke(dictionary, u"Items", DISPATCH_METHOD, {}, &result), S_OK);
    ASSERT_EQ(V_VT(&result), VT_ARRAY | VT_VARIANT);
    LONG lower = -1, upper = -1, index = 0;
    SafeArrayGetLBound(V_ARRAY(&result), 1, &lower);
    SafeArrayGetUBound(V_ARRAY(&result), 1, &upper);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 2);
    VARIANT item;
    ASSERT_EQ(SafeArrayGetElement(V_ARRAY(&result), &index, &item), S_OK);
    EXPECT_EQ(describeResult(item), "replaced");
    VariantClear(&result);

    // Members are found only as what they are: Count is no method, Keys no property.
    EXPECT_EQ(invoke(dictionary, u"Count", DISPATCH_METHOD, {}, &result), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(invoke(dictionary, u"Keys", DISPATCH_PROPERTYGET, {}, &result), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(invoke(dictionary, u"Add", DISPATCH_METHOD, {text(u"b")}, &result), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(invoke(dictionary, u"Nothing", DISPATCH_METHOD, {}, &result), DISP_E_UNKNOWNNAME);

    EXPECT_EQ(invoke(dictionary, u"Remove", DISPATCH_METHOD, {text(u"zzz")}, &result, &exception), DISP_E_EXCEPTION);
    EXPECT_EQ(exception.scode, static_cast<SCODE>(0x800A802B));
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    EXPECT_EQ(invoke(dictionary, u"RemoveAll", DISPATCH_METHOD, {}), S_OK);
    EXPECT_EQ(invoke(dictionary, u"Keys", DISPATCH_METHOD, {}, &result), S_OK);
    SafeArrayGetUBound(V_ARRAY(&result), 1, &upper);
    EXPECT_EQ(upper, -1);
    VariantClear(&result);
    EXPECT_EQ(dictionary->Release(), 0u);
}

TEST_F(ComAutomation, RecorderRecordsCallsAndAnswersAsTold)
{
    ComScope com;
    IDispatch *recorder = create(u"WinSim.Recorder");
    ASSERT_NE(recorder, nullptr);
    VARIANT result;
    EXPECT_EQ(invoke(recorder, u"Respond", DISPATCH_METHOD,
                     {text(u"array<variant>(1..2, 0..1)[bstr:\"a\", i4:2, byref:bool:-1, array<i4>(5..4)[]]")}),
              S_OK);
    EXPECT_EQ(invoke(recorder, u"Anything", DISPATCH_PROPERTYPUT, {text(u"k"), integer(VT_INT, 5)}, &result), S_OK);
    ASSERT_EQ(V_VT(&result), VT_ARRAY | VT_VARIANT);
    EXPECT_EQ(SafeArrayGetDim(V_ARRAY(&result)), 2u);
    VariantClear(&result);
    EXPECT_EQ(invoke(recorder, u"Call", DISPATCH_PROPERTYGET, {integer(VT_I4, 0)}, &result), S_OK);
    EXPECT_EQ(describeResult(result),
              "Anything flags=4 lcid=2048 args=[VT_INT:5, VT_BSTR:\"k\"] named=[-3] result=yes exception=no argerr=yes");

    EXPECT_EQ(invoke(recorder, u"Fail", DISPATCH_METHOD, {integer(VT_I4, static_cast<LONG>(DISP_E_BADPARAMCOUNT))}),
              S_OK);
    EXPECT_EQ(invoke(recorder, u"Other", DISPATCH_METHOD, {}), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(invoke(recorder, u"CallCount", DISPATCH_PROPERTYGET, {}, &result), S_OK);
    EXPECT_EQ(V_I4(&result), 2);

    EXCEPINFO exception = {};
    EXPECT_EQ(invoke(recorder, u"Respond", DISPATCH_METHOD, {text(u"array<i4>(1..2)[i4:1]")}, &result, &exception),
              DISP_E_EXCEPTION);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    EXPECT_EQ(invoke(recorder, u"Respond", DISPATCH_METHOD, {text(u"dispatch:new")}), S_OK);
    EXPECT_EQ(invoke(recorder, u"Child", DISPATCH_METHOD, {}, &result), S_OK);
    ASSERT_EQ(V_VT(&result), VT_DISPATCH);
    IDispatch *child = V_DISPATCH(&result);
    EXPECT_EQ(recorder->Release(), 0u);
    EXPECT_EQ(invoke(child, u"CallCount", DISPATCH_PROPERTYGET, {}, &result), S_OK);
    EXPECT_EQ(V_I4(&result), 0);
    EXPECT_EQ(child->Release(), 0u);
}
