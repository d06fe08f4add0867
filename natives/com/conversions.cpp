// Java arguments to VARIANTs and result VARIANTs to Java objects. A result is owned by the
// conversion from the moment it is handed over: every string, array and interface reference
// in it is released exactly once, on every path, or handed on to the Java object returned.
#include "automation.h"

#include "../common/class_cache.h"
#include "../common/live_objects.h"
#include "../common/strings.h"

#include <climits>
#include <new>
#include <vector>

namespace pallux {

const IID kIidNull = {0x00000000, 0x0000, 0x0000, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
const IID kIidUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIidDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

jclass dispatchClass = nullptr;

namespace {

const char *const kUnsupported = "unsupported return variant";

// Clears a VARIANT when it goes, unless its content was handed on.
class OwnedVariant {
public:
    explicit OwnedVariant(VARIANT *value) : value_(value) {}
    ~OwnedVariant()
    {
        if (value_)
            VariantClear(value_);
    }
    OwnedVariant(const OwnedVariant &) = delete;
    OwnedVariant &operator=(const OwnedVariant &) = delete;

private:
    VARIANT *value_;
};

class LocalRef {
public:
    LocalRef(JNIEnv *env, jobject object) : env_(env), object_(object) {}
    ~LocalRef()
    {
        if (object_)
            env_->DeleteLocalRef(object_);
    }
    LocalRef(const LocalRef &) = delete;
    LocalRef &operator=(const LocalRef &) = delete;
    jobject get() const { return object_; }
    void reset(jobject object)
    {
        if (object_)
            env_->DeleteLocalRef(object_);
        object_ = object;
    }
    jobject release()
    {
        jobject object = object_;
        object_ = nullptr;
        return object;
    }

private:
    JNIEnv *env_;
    jobject object_;
};

// A cell made for a VT_DISPATCH result, registered; null after raising.
DispatchCell *newCell(JNIEnv *env, IDispatch *dispatch)
{
    auto *cell = new (std::nothrow) DispatchCell{dispatch};
    if (!cell) {
        if (dispatch)
            dispatch->Release();
        raise(env, classCache.outOfMemoryError, "java/lang/OutOfMemoryError", "");
        return nullptr;
    }
    try {
        liveObjects().add(cell, ObjectKind::dispatchCell);
    } catch (const std::bad_alloc &) {
        if (dispatch)
            dispatch->Release();
        delete cell;
        raise(env, classCache.outOfMemoryError, "java/lang/OutOfMemoryError", "");
        return nullptr;
    }
    return cell;
}

void destroyCell(DispatchCell *cell)
{
    liveObjects().remove(cell, ObjectKind::dispatchCell);
    if (cell->dispatch)
        cell->dispatch->Release();
    delete cell;
}

// A Java IDispatch around a cell; on failure the cell is destroyed.
jobject wrapCell(JNIEnv *env, DispatchCell *cell)
{
    jmethodID constructor = dispatchClass ? env->GetMethodID(dispatchClass, "<init>", "(J)V") : nullptr;
    jobject wrapper = constructor ? env->NewObject(dispatchClass, constructor,
                                                   static_cast<jlong>(reinterpret_cast<intptr_t>(cell)))
                                  : nullptr;
    if (!wrapper) {
        if (!env->ExceptionCheck())
            raise(env, nullptr, "java/lang/IllegalStateException", "COMInterface.init has not run");
        destroyCell(cell);
    }
    return wrapper;
}

jobject newBoxed(JNIEnv *env, jclass type, const char *signature, jvalue value)
{
    jmethodID constructor = env->GetMethodID(type, "<init>", signature);
    if (!constructor)
        return nullptr;
    return env->NewObjectA(type, constructor, &value);
}

// One conversion of a result. It remembers the dispatch cells it makes, so that a conversion
// that ends without a result (an element that fails, or one that converts to null) releases
// the objects already wrapped inside the Java arrays it abandons.
class Conversion {
public:
    explicit Conversion(JNIEnv *env) : env_(env) {}

    jobject convert(VARIANT *value);

    void abandon()
    {
        for (DispatchCell *cell : cells_)
            destroyCell(cell);
        cells_.clear();
    }

private:
    JNIEnv *env_;
    std::vector<DispatchCell *> cells_;

    jobject scalar(VARIANT *value);
    jobject array(VARIANT *value);
};

jobject scalarToJava(JNIEnv *env, VARIANT *value, std::vector<DispatchCell *> &cells)
{
    jvalue argument;
    switch (V_VT(value)) {
    case VT_EMPTY:
    case VT_NULL:
        return nullptr;
    case VT_I4:
        argument.i = V_I4(value);
        return newBoxed(env, classCache.integer, "(I)V", argument);
    case VT_BOOL:
        argument.z = V_BOOL(value) != VARIANT_FALSE ? JNI_TRUE : JNI_FALSE;
        return newBoxed(env, classCache.boolean, "(Z)V", argument);
    case VT_BSTR: {
        static const jchar kEmpty[] = {0};
        BSTR text = V_BSTR(value);
        UINT length = SysStringLen(text);
        if (length > INT_MAX) {
            raise(env, classCache.outOfMemoryError, "java/lang/OutOfMemoryError", "");
            return nullptr;
        }
        return env->NewString(text ? reinterpret_cast<const jchar *>(text) : kEmpty, static_cast<jsize>(length));
    }
    case VT_DISPATCH: {
        // The new cell takes over the variant's reference.
        IDispatch *dispatch = V_DISPATCH(value);
        V_VT(value) = VT_EMPTY;
        DispatchCell *cell = newCell(env, dispatch);
        if (!cell)
            return nullptr;
        jobject wrapper = wrapCell(env, cell);
        if (wrapper)
            cells.push_back(cell);
        return wrapper;
    }
    default:
        raise(env, classCache.exception, "java/lang/Exception", kUnsupported);
        return nullptr;
    }
}

// The element types an array result may have, with the element size that type must have.
bool supportedElement(VARTYPE vt, UINT size)
{
    switch (vt) {
    case VT_VARIANT: return size == sizeof(VARIANT);
    case VT_BSTR: return size == sizeof(BSTR);
    case VT_DISPATCH: return size == sizeof(IDispatch *);
    case VT_I4: return size == sizeof(LONG);
    case VT_BOOL: return size == sizeof(VARIANT_BOOL);
    default: return false;
    }
}

class ArrayConversion {
public:
    ArrayConversion(Conversion &conversion, JNIEnv *env, SAFEARRAY *array, VARTYPE element, std::vector<LONG> lower,
                    std::vector<LONG> upper)
        : conversion_(conversion), env_(env), array_(array), element_(element), lower_(std::move(lower)),
          upper_(std::move(upper)), indices_(lower_.size())
    {
    }

    // The Java array of dimension d (1 is the outermost); its elements are the arrays of
    // dimension d + 1, or the converted elements in the last dimension.
    jobject dimension(size_t d)
    {
        const int64_t count = static_cast<int64_t>(upper_[d - 1]) - lower_[d - 1] + 1;
        if (count > INT_MAX) {
            raise(env_, classCache.outOfMemoryError, "java/lang/OutOfMemoryError", "");
            return nullptr;
        }
        LocalRef javaArray(env_, nullptr);
        for (int64_t i = 0; i < count; ++i) {
            indices_[d - 1] = static_cast<LONG>(lower_[d - 1] + i);
            LocalRef element(env_, d == lower_.size() ? fetch() : dimension(d + 1));
            if (!element.get())
                return nullptr;
            if (!javaArray.get()) {
                LocalRef type(env_, env_->GetObjectClass(element.get()));
                LocalRef made(env_, env_->NewObjectArray(static_cast<jsize>(count), static_cast<jclass>(type.get()),
                                                         nullptr));
                if (!made.get())
                    return nullptr;
                javaArray.reset(made.release());
            }
            env_->SetObjectArrayElement(static_cast<jobjectArray>(javaArray.get()), static_cast<jsize>(i),
                                        element.get());
            if (env_->ExceptionCheck())
                return nullptr;
        }
        return javaArray.release();
    }

private:
    Conversion &conversion_;
    JNIEnv *env_;
    SAFEARRAY *array_;
    VARTYPE element_;
    std::vector<LONG> lower_;
    std::vector<LONG> upper_;
    std::vector<LONG> indices_;

    // One element, fetched as the copy SafeArrayGetElement hands out, converted and released.
    jobject fetch()
    {
        VARIANT element;
        VariantInit(&element);
        void *slot = &element;
        switch (element_) {
        case VT_BSTR: slot = &V_BSTR(&element); break;
        case VT_DISPATCH: slot = &V_DISPATCH(&element); break;
        case VT_I4: slot = &V_I4(&element); break;
        case VT_BOOL: slot = &V_BOOL(&element); break;
        default: break;
        }
        if (FAILED(SafeArrayGetElement(array_, indices_.data(), slot))) {
            raise(env_, classCache.exception, "java/lang/Exception", "error while retrieving VT_ARRAY element");
            return nullptr;
        }
        if (element_ != VT_VARIANT)
            V_VT(&element) = element_;
        return conversion_.convert(&element);
    }
};

jobject Conversion::array(VARIANT *value)
{
    JNIEnv *env = env_;
    SAFEARRAY *array = V_ARRAY(value);
    const UINT dimensions = SafeArrayGetDim(array);
    std::vector<LONG> lower(dimensions), upper(dimensions);
    for (UINT d = 1; d <= dimensions; ++d) {
        if (FAILED(SafeArrayGetLBound(array, d, &lower[d - 1]))) {
            raise(env, classCache.exception, "java/lang/Exception", "error while retrieving VT_ARRAY lower dimension");
            return nullptr;
        }
        if (FAILED(SafeArrayGetUBound(array, d, &upper[d - 1]))) {
            raise(env, classCache.exception, "java/lang/Exception", "error while retrieving VT_ARRAY upper dimension");
            return nullptr;
        }
        if (lower[d - 1] > upper[d - 1])
            return nullptr;
    }
    // What the array holds is what its descriptor says; the variant's type only tells that
    // there is an array.
    VARTYPE element = V_VT(value) & VT_TYPEMASK;
    SafeArrayGetVartype(array, &element);
    if (!supportedElement(element, SafeArrayGetElemsize(array))) {
        raise(env, classCache.exception, "java/lang/Exception", kUnsupported);
        return nullptr;
    }
    return ArrayConversion(*this, env, array, element, std::move(lower), std::move(upper)).dimension(1);
}

jobject Conversion::scalar(VARIANT *value)
{
    return scalarToJava(env_, value, cells_);
}

jobject Conversion::convert(VARIANT *value)
{
    OwnedVariant owned(value);
    const VARTYPE vt = V_VT(value);
    // A reference to an array points at the array's pointer, not at the array: refused, as
    // every by-reference result is.
    if (vt & VT_BYREF) {
        raise(env_, classCache.exception, "java/lang/Exception", kUnsupported);
        return nullptr;
    }
    if ((vt & VT_ARRAY) && SafeArrayGetDim(V_ARRAY(value)) >= 1)
        return array(value);
    return scalar(value);
}

}  // namespace

void raise(JNIEnv *env, jclass type, const char *typeName, const char *message)
{
    if (type) {
        env->ThrowNew(type, message);
        return;
    }
    jclass found = env->FindClass(typeName);
    if (found) {
        env->ThrowNew(found, message);
        env->DeleteLocalRef(found);
    }
}

jobject wrapDispatch(JNIEnv *env, IDispatch *dispatch)
{
    DispatchCell *cell = newCell(env, dispatch);
    return cell ? wrapCell(env, cell) : nullptr;
}

DispatchCell *dispatchCellOf(JNIEnv *env, jlong handle)
{
    if (handle == 0) {
        raise(env, classCache.nullPointerException, "java/lang/NullPointerException", nullptr);
        return nullptr;
    }
    auto *cell = reinterpret_cast<DispatchCell *>(static_cast<intptr_t>(handle));
    if (!liveObjects().contains(cell, ObjectKind::dispatchCell)) {
        raise(env, nullptr, "java/lang/IllegalArgumentException", "not a live IDispatch handle");
        return nullptr;
    }
    return cell;
}

bool javaToVariant(JNIEnv *env, jobject argument, VARIANT *slot)
{
    // IsInstanceOf is true for null, which then fails the string conversion.
    if (env->IsInstanceOf(argument, classCache.string)) {
        HeapPtr<WCHAR> wide(javaStringToWide(env, static_cast<jstring>(argument)));
        if (!wide)
            return false;
        BSTR text = SysAllocString(wide.get());
        if (!text) {
            raise(env, classCache.outOfMemoryError, "java/lang/OutOfMemoryError", "");
            return false;
        }
        V_VT(slot) = VT_BSTR;
        V_BSTR(slot) = text;
        return true;
    }
    if (env->IsInstanceOf(argument, classCache.integer)) {
        jmethodID intValue = env->GetMethodID(classCache.integer, "intValue", "()I");
        if (!intValue) {
            VariantClear(slot);
            return false;
        }
        jint value = env->CallIntMethod(argument, intValue);
        if (env->ExceptionCheck())
            return false;
        V_VT(slot) = VT_INT;
        V_INT(slot) = value;
        return true;
    }
    raise(env, classCache.exception, "java/lang/Exception", "cannot convert class to variant");
    return false;
}

jobject variantToJava(JNIEnv *env, VARIANT *value)
{
    Conversion conversion(env);
    jobject result = nullptr;
    try {
        result = conversion.convert(value);
    } catch (const std::bad_alloc &) {
        // Unwinding has released the VARIANTs and local references on the way.
        raise(env, classCache.outOfMemoryError, "java/lang/OutOfMemoryError", "");
    }
    if (!result)
        conversion.abandon();
    return result;
}

}  // namespace pallux
