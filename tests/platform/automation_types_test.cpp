// VARIANTs and safe arrays of the stand-in oleaut32: the SDK's layout, ownership on copy and
// clear, the bounds and element order of multi-dimensional arrays, and the counters that show
// a leak.
#include "machine/counters.h"

#include <windows.h>
#include <ole2.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

namespace {

int64_t alive(const char *counter)
{
    return winsim::counterValue(counter);
}

}  // namespace

TEST(Variant, HasTheSdkLayout)
{
    EXPECT_EQ(sizeof(VARIANT), 24u);
    EXPECT_EQ(offsetof(VARIANT, lVal), 8u);
    EXPECT_EQ(offsetof(VARIANT, pRecInfo), 16u);
    EXPECT_EQ(sizeof(DECIMAL), 16u);
    EXPECT_EQ(sizeof(EXCEPINFO), 64u);
    EXPECT_EQ(sizeof(DISPPARAMS), 24u);
    EXPECT_EQ(offsetof(SAFEARRAY, rgsabound), 24u);
}

TEST(Variant, CopyOwnsItsOwnStringAndArrayAndClearFreesThem)
{
    const int64_t strings = alive("oleaut32.bstr.alive");
    const int64_t arrays = alive("oleaut32.safearray.alive");
    VARIANT text, copy;
    VariantInit(&text);
    VariantInit(&copy);
    V_VT(&text) = VT_BSTR;
    V_BSTR(&text) = SysAllocString(u"item");
    ASSERT_EQ(VariantCopy(&copy, &text), S_OK);
    EXPECT_NE(V_BSTR(&copy), V_BSTR(&text));
    EXPECT_EQ(std::u16string(V_BSTR(&copy)), u"item");
    EXPECT_EQ(alive("oleaut32.bstr.alive"), strings + 2);

    // Copying over a VARIANT first clears what it held.
    VARIANT array;
    VariantInit(&array);
    V_VT(&array) = VT_ARRAY | VT_BSTR;
    V_ARRAY(&array) = SafeArrayCreateVector(VT_BSTR, 0, 2);
    LONG index = 1;
    ASSERT_EQ(SafeArrayPutElement(V_ARRAY(&array), &index, V_BSTR(&text)), S_OK);
    ASSERT_EQ(VariantCopy(&copy, &array), S_OK);
    EXPECT_EQ(alive("oleaut32.safearray.alive"), arrays + 2);
    EXPECT_EQ(alive("oleaut32.bstr.alive"), strings + 3);

    // A by-reference VARIANT owns nothing: clearing it leaves the target alone.
    VARIANT reference;
    V_VT(&reference) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&reference) = &V_BSTR(&text);
    EXPECT_EQ(VariantClear(&reference), S_OK);
    VARIANT value;
    VariantInit(&value);
    V_VT(&reference) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&reference) = &V_BSTR(&text);
    ASSERT_EQ(VariantCopyInd(&value, &reference), S_OK);
    EXPECT_EQ(V_VT(&value), VT_BSTR);
    EXPECT_NE(V_BSTR(&value), V_BSTR(&text));

    for (VARIANT *v : {&text, &copy, &array, &value})
        EXPECT_EQ(VariantClear(v), S_OK);
    EXPECT_EQ(V_VT(&copy), VT_EMPTY);
    EXPECT_EQ(alive("oleaut32.bstr.alive"), strings);
    EXPECT_EQ(alive("oleaut32.safearray.alive"), arrays);
}

TEST(Variant, InvalidTypesAreRefused)
{
    VARIANT v;
    VariantInit(&v);
    for (VARTYPE bad : {VARTYPE(15), VARTYPE(VT_VARIANT), VARTYPE(VT_BYREF | VT_EMPTY), VARTYPE(VT_VECTOR | VT_I4),
                        VARTYPE(VT_ARRAY | VT_NULL), VARTYPE(0xFFF)}) {
        V_VT(&v) = bad;
        EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE) << bad;
        VARIANT copy;
        VariantInit(&copy);
        EXPECT_EQ(VariantCopy(&copy, &v), DISP_E_BADVARTYPE) << bad;
    }
}

TEST(SafeArray, BoundsAreByDimensionAndDimensionOneVariesFastest)
{
    SAFEARRAYBOUND bounds[] = {{3, 1}, {2, 5}};  // (1..3, 5..6)
    SAFEARRAY *array = SafeArrayCreate(VT_I4, 2, bounds);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(SafeArrayGetDim(array), 2u);
    EXPECT_EQ(SafeArrayGetElemsize(array), 4u);
    LONG lower = 0, upper = 0;
    EXPECT_EQ(SafeArrayGetLBound(array, 1, &lower), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(array, 1, &upper), S_OK);
    EXPECT_EQ(lower, 1);
    EXPECT_EQ(upper, 3);
    EXPECT_EQ(SafeArrayGetLBound(array, 2, &lower), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(array, 2, &upper), S_OK);
    EXPECT_EQ(lower, 5);
    EXPECT_EQ(upper, 6);
    EXPECT_EQ(SafeArrayGetLBound(array, 3, &lower), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetLBound(array, 0, &lower), DISP_E_BADINDEX);
    // The descriptor keeps the last dimension first.
    EXPECT_EQ(array->rgsabound[0].lLbound, 5);
    EXPECT_EQ(array->rgsabound[1].lLbound, 1);

    for (LONG j = 5; j <= 6; ++j) {
        for (LONG i = 1; i <= 3; ++i) {
            LONG indices[] = {i, j};
            LONG value = i * 10 + j;
            ASSERT_EQ(SafeArrayPutElement(array, indices, &value), S_OK);
        }
    }
    const LONG *data = static_cast<const LONG *>(array->pvData);
    EXPECT_EQ(data[0], 15);
    EXPECT_EQ(data[1], 25);
    EXPECT_EQ(data[3], 16);
    LONG outside[] = {4, 5};
    LONG value = 0;
    EXPECT_EQ(SafeArrayGetElement(array, outside, &value), DISP_E_BADINDEX);
    LONG last[] = {3, 6};
    EXPECT_EQ(SafeArrayGetElement(array, last, &value), S_OK);
    EXPECT_EQ(value, 36);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(array, &vt), S_OK);
    EXPECT_EQ(vt, VT_I4);
    EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST(SafeArray, GetElementHandsOutCopiesAndLockedArraysStay)
{
    const int64_t strings = alive("oleaut32.bstr.alive");
    SAFEARRAY *array = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    ASSERT_NE(array, nullptr);
    VARIANT text;
    V_VT(&text) = VT_BSTR;
    V_BSTR(&text) = SysAllocString(u"kept");
    LONG index = 0;
    ASSERT_EQ(SafeArrayPutElement(array, &index, &text), S_OK);
    VARIANT first, second;
    ASSERT_EQ(SafeArrayGetElement(array, &index, &first), S_OK);
    ASSERT_EQ(SafeArrayGetElement(array, &index, &second), S_OK);
    EXPECT_NE(V_BSTR(&first), V_BSTR(&second));
    EXPECT_EQ(alive("oleaut32.bstr.alive"), strings + 4);
    VariantClear(&first);
    VariantClear(&second);
    VariantClear(&text);

    void *data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(array, &data), S_OK);
    EXPECT_EQ(SafeArrayDestroy(array), DISP_E_ARRAYISLOCKED);
    ASSERT_EQ(SafeArrayUnaccessData(array), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(array), E_UNEXPECTED);
    EXPECT_EQ(SafeArrayDestroy(array), S_OK);
    EXPECT_EQ(alive("oleaut32.bstr.alive"), strings);

    SAFEARRAY *empty = SafeArrayCreateVector(VT_VARIANT, 5, 0);
    LONG lower = 0, upper = 0;
    SafeArrayGetLBound(empty, 1, &lower);
    SafeArrayGetUBound(empty, 1, &upper);
    EXPECT_EQ(lower, 5);
    EXPECT_EQ(upper, 4);
    EXPECT_EQ(SafeArrayDestroy(empty), S_OK);
    EXPECT_EQ(SafeArrayCreateVector(VT_EMPTY, 0, 1), nullptr);
}
