// Automation types: the VARIANT and SAFEARRAY rules that the COM bridge relies on.
#include "../framework/support.h"

#include <objbase.h>
#include <oleauto.h>

using namespace conformance;

namespace {

class OwnedArray {
public:
    explicit OwnedArray(SAFEARRAY *array) : array_(array) {}
    ~OwnedArray()
    {
        if (array_)
            SafeArrayDestroy(array_);
    }
    OwnedArray(const OwnedArray &) = delete;
    OwnedArray &operator=(const OwnedArray &) = delete;
    SAFEARRAY *get() const { return array_; }

private:
    SAFEARRAY *array_;
};

}  // namespace

CHECK(automation, a_variant_starts_empty_and_clearing_frees_what_it_holds)
{
    VARIANT value;
    value.vt = VT_I4;
    VariantInit(&value);
    EXPECT_EQ(value.vt, static_cast<VARTYPE>(VT_EMPTY));
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(TEXT("text"));
    EXPECT_EQ(VariantClear(&value), S_OK);
    EXPECT_EQ(value.vt, static_cast<VARTYPE>(VT_EMPTY));

    VARIANT bad;
    VariantInit(&bad);
    bad.vt = 0x7FFF;
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
}

CHECK(automation, copies_are_deep_and_indirection_is_followed)
{
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocString(TEXT("copied"));
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
    EXPECT_EQ(copy.vt, static_cast<VARTYPE>(VT_BSTR));
    EXPECT_TRUE(copy.bstrVal != source.bstrVal);
    EXPECT_EQ(WString(copy.bstrVal), W(TEXT("copied")));
    VariantClear(&copy);
    VariantClear(&source);

    LONG number = 17;
    VARIANT reference;
    VariantInit(&reference);
    reference.vt = VT_BYREF | VT_I4;
    reference.plVal = &number;
    VARIANT followed;
    VariantInit(&followed);
    ASSERT_EQ(VariantCopyInd(&followed, &reference), S_OK);
    EXPECT_EQ(followed.vt, static_cast<VARTYPE>(VT_I4));
    EXPECT_EQ(followed.lVal, 17);
}

CHECK(automation, a_vector_keeps_its_bounds_and_type_and_copies_its_strings)
{
    OwnedArray array(SafeArrayCreateVector(VT_BSTR, 5, 3));
    ASSERT_TRUE(array.get() != nullptr);
    EXPECT_EQ(SafeArrayGetDim(array.get()), 1u);
    EXPECT_EQ(SafeArrayGetElemsize(array.get()), static_cast<UINT>(sizeof(BSTR)));
    LONG lower = 0;
    LONG upper = 0;
    EXPECT_EQ(SafeArrayGetLBound(array.get(), 1, &lower), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(array.get(), 1, &upper), S_OK);
    EXPECT_EQ(lower, 5);
    EXPECT_EQ(upper, 7);
    EXPECT_EQ(SafeArrayGetLBound(array.get(), 2, &lower), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetLBound(array.get(), 0, &lower), DISP_E_BADINDEX);
    VARTYPE type = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(array.get(), &type), S_OK);
    EXPECT_EQ(type, static_cast<VARTYPE>(VT_BSTR));

    BSTR mine = SysAllocString(TEXT("element"));
    LONG index = 6;
    EXPECT_EQ(SafeArrayPutElement(array.get(), &index, mine), S_OK);
    BSTR got = nullptr;
    EXPECT_EQ(SafeArrayGetElement(array.get(), &index, &got), S_OK);
    EXPECT_TRUE(got != mine);
    EXPECT_EQ(WString(got ? got : TEXT("")), W(TEXT("element")));
    SysFreeString(got);
    SysFreeString(mine);  // the array keeps a copy of its own

    for (LONG outside : {4, 8}) {
        index = outside;
        EXPECT_EQ(SafeArrayGetElement(array.get(), &index, &got), DISP_E_BADINDEX);
    }
}

CHECK(automation, the_first_dimension_varies_fastest_in_memory)
{
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 10}};  // dimension 1: 0..1; dimension 2: 10..12
    OwnedArray array(SafeArrayCreate(VT_I4, 2, bounds));
    ASSERT_TRUE(array.get() != nullptr);
    LONG lower = 0;
    EXPECT_EQ(SafeArrayGetLBound(array.get(), 2, &lower), S_OK);
    EXPECT_EQ(lower, 10);
    for (LONG first = 0; first < 2; ++first) {
        for (LONG second = 10; second < 13; ++second) {
            LONG indices[2] = {first, second};
            LONG value = first * 100 + second;
            ASSERT_EQ(SafeArrayPutElement(array.get(), indices, &value), S_OK);
        }
    }
    LONG *data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(array.get(), reinterpret_cast<void **>(&data)), S_OK);
    const LONG expected[6] = {10, 110, 11, 111, 12, 112};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(data[i], expected[i]);
    EXPECT_EQ(SafeArrayUnaccessData(array.get()), S_OK);
}

CHECK(automation, a_locked_array_is_not_destroyed)
{
    SAFEARRAY *array = SafeArrayCreateVector(VT_I4, 0, 2);
    ASSERT_TRUE(array != nullptr);
    EXPECT_EQ(SafeArrayLock(array), S_OK);
    EXPECT_EQ(SafeArrayDestroy(array), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayUnlock(array), S_OK);
    EXPECT_EQ(SafeArrayUnlock(array), E_UNEXPECTED);
    EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

CHECK(automation, an_array_copy_is_deep)
{
    OwnedArray array(SafeArrayCreateVector(VT_BSTR, 0, 1));
    ASSERT_TRUE(array.get() != nullptr);
    BSTR text = SysAllocString(TEXT("deep"));
    LONG index = 0;
    ASSERT_EQ(SafeArrayPutElement(array.get(), &index, text), S_OK);
    SysFreeString(text);
    SAFEARRAY *raw = nullptr;
    ASSERT_EQ(SafeArrayCopy(array.get(), &raw), S_OK);
    OwnedArray copy(raw);
    BSTR *original = nullptr;
    BSTR *copied = nullptr;
    ASSERT_EQ(SafeArrayPtrOfIndex(array.get(), &index, reinterpret_cast<void **>(&original)), S_OK);
    ASSERT_EQ(SafeArrayPtrOfIndex(copy.get(), &index, reinterpret_cast<void **>(&copied)), S_OK);
    EXPECT_TRUE(*original != *copied);
    EXPECT_EQ(WString(*copied), W(TEXT("deep")));
}
