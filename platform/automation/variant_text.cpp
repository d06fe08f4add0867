#include "automation/variant_text.h"

#include "automation/automation_object.h"
#include "machine/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace winsim::automation {

namespace {

struct TypeName {
    const char *name;
    VARTYPE vt;
};

constexpr TypeName kTypeNames[] = {
    {"empty", VT_EMPTY}, {"null", VT_NULL},  {"i2", VT_I2},          {"i4", VT_I4},           {"r4", VT_R4},
    {"r8", VT_R8},       {"cy", VT_CY},      {"date", VT_DATE},      {"bstr", VT_BSTR},       {"dispatch", VT_DISPATCH},
    {"error", VT_ERROR}, {"bool", VT_BOOL},  {"variant", VT_VARIANT}, {"unknown", VT_UNKNOWN}, {"decimal", VT_DECIMAL},
    {"i1", VT_I1},       {"ui1", VT_UI1},    {"ui2", VT_UI2},        {"ui4", VT_UI4},         {"i8", VT_I8},
    {"ui8", VT_UI8},     {"int", VT_INT},    {"uint", VT_UINT},      {"record", VT_RECORD},
};

bool typeOf(const std::string &name, VARTYPE &vt)
{
    for (const TypeName &entry : kTypeNames) {
        if (name == entry.name) {
            vt = entry.vt;
            return true;
        }
    }
    return false;
}

std::string typeText(VARTYPE vt)
{
    std::string text;
    if (vt & VT_BYREF)
        text += "VT_BYREF|";
    if (vt & VT_ARRAY)
        text += "VT_ARRAY|";
    for (const TypeName &entry : kTypeNames) {
        if (entry.vt == (vt & VT_TYPEMASK)) {
            text += "VT_";
            for (const char *c = entry.name; *c; ++c)
                text += static_cast<char>(*c >= 'a' && *c <= 'z' ? *c - 'a' + 'A' : *c);
            return text;
        }
    }
    return text + std::to_string(vt & VT_TYPEMASK);
}

class Parser {
public:
    Parser(std::string_view text, IDispatch *self, VariantStore &store) : text_(text), self_(self), store_(store) {}

    bool whole(VARIANT &out)
    {
        if (!value(out))
            return false;
        space();
        if (at_ != text_.size()) {
            VariantClear(&out);
            return fail("unexpected text after the value");
        }
        return true;
    }

    std::string error;

private:
    std::string_view text_;
    size_t at_ = 0;
    IDispatch *self_;
    VariantStore &store_;

    bool fail(const std::string &why)
    {
        if (error.empty())
            error = why + " at offset " + std::to_string(at_);
        return false;
    }

    void space()
    {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t'))
            ++at_;
    }

    bool take(char c)
    {
        space();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    bool expect(char c) { return take(c) || fail(std::string("expected '") + c + "'"); }

    std::string identifier()
    {
        space();
        size_t start = at_;
        while (at_ < text_.size() && ((text_[at_] >= 'a' && text_[at_] <= 'z') || (text_[at_] >= '0' && text_[at_] <= '9')))
            ++at_;
        return std::string(text_.substr(start, at_ - start));
    }

    bool integer(long long &value)
    {
        space();
        std::string digits;
        while (at_ < text_.size() && (isalnum(static_cast<unsigned char>(text_[at_])) || text_[at_] == '-' || text_[at_] == '+'))
            digits += text_[at_++];
        char *end = nullptr;
        value = strtoll(digits.c_str(), &end, 0);
        if (digits.empty() || *end) {
            // Values above the signed range (ui8, HRESULTs written in hex) are taken unsigned.
            value = static_cast<long long>(strtoull(digits.c_str(), &end, 0));
            if (digits.empty() || *end)
                return fail("expected an integer");
        }
        return true;
    }

    bool number(double &value)
    {
        space();
        std::string digits;
        while (at_ < text_.size() && strchr("0123456789+-.eE", text_[at_]))
            digits += text_[at_++];
        char *end = nullptr;
        value = strtod(digits.c_str(), &end);
        return (!digits.empty() && !*end) || fail("expected a number");
    }

    bool quoted(std::string &text)
    {
        if (!expect('"'))
            return false;
        while (at_ < text_.size() && text_[at_] != '"') {
            if (text_[at_] == '\\' && at_ + 1 < text_.size())
                ++at_;
            text += text_[at_++];
        }
        return expect('"');
    }

    bool scalar(VARTYPE vt, VARIANT &out)
    {
        VariantInit(&out);
        if (vt == VT_BSTR) {
            space();
            if (text_.substr(at_, 4) == "null") {
                at_ += 4;
                V_VT(&out) = VT_BSTR;
                V_BSTR(&out) = nullptr;
                return true;
            }
            std::string text;
            if (!quoted(text))
                return false;
            std::u16string wide = toUtf16(text);
            V_BSTR(&out) = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
            V_VT(&out) = VT_BSTR;
            return V_BSTR(&out) || fail("out of memory");
        }
        if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
            std::string which = identifier();
            IDispatch *object = nullptr;
            if (which == "self" && self_) {
                object = self_;
                object->AddRef();
            } else if (which == "new" && vt == VT_DISPATCH) {
                object = newRecorder();
                if (!object)
                    return fail("out of memory");
            } else if (which != "null") {
                return fail("expected self, new or null");
            }
            V_VT(&out) = vt;
            V_DISPATCH(&out) = object;
            return true;
        }
        if (vt == VT_R4 || vt == VT_R8 || vt == VT_DATE) {
            double value = 0;
            if (!number(value))
                return false;
            if (vt == VT_R4)
                V_R4(&out) = static_cast<float>(value);
            else
                V_R8(&out) = value;
            V_VT(&out) = vt;
            return true;
        }
        if (vt == VT_VARIANT || vt == VT_RECORD || vt == VT_EMPTY || vt == VT_NULL)
            return fail("not a scalar type");
        long long value = 0;
        if (!integer(value))
            return false;
        switch (vt) {
        case VT_I1: V_I1(&out) = static_cast<CHAR>(value); break;
        case VT_UI1: V_UI1(&out) = static_cast<BYTE>(value); break;
        case VT_I2: V_I2(&out) = static_cast<SHORT>(value); break;
        case VT_UI2: V_UI2(&out) = static_cast<USHORT>(value); break;
        case VT_BOOL: V_BOOL(&out) = static_cast<VARIANT_BOOL>(value); break;
        case VT_I4: V_I4(&out) = static_cast<LONG>(value); break;
        case VT_UI4: V_UI4(&out) = static_cast<ULONG>(value); break;
        case VT_INT: V_INT(&out) = static_cast<INT>(value); break;
        case VT_UINT: V_UINT(&out) = static_cast<UINT>(value); break;
        case VT_ERROR: V_ERROR(&out) = static_cast<SCODE>(value); break;
        case VT_I8: V_I8(&out) = value; break;
        case VT_UI8: V_UI8(&out) = static_cast<ULONGLONG>(value); break;
        case VT_CY: out.cyVal.int64 = value; break;
        case VT_DECIMAL:
            memset(&out.decVal, 0, sizeof out.decVal);
            out.decVal.sign = value < 0 ? 0x80 : 0;
            out.decVal.Lo64 = static_cast<ULONGLONG>(value < 0 ? -value : value);
            break;
        default:
            return fail("unknown type");
        }
        V_VT(&out) = vt;
        return true;
    }

    bool array(VARIANT &out)
    {
        if (!expect('<'))
            return false;
        VARTYPE element = VT_EMPTY;
        if (!typeOf(identifier(), element))
            return fail("unknown element type");
        if (!expect('>'))
            return false;
        space();
        if (text_.substr(at_, 4) == "null") {
            at_ += 4;
            V_VT(&out) = VT_ARRAY | element;
            V_ARRAY(&out) = nullptr;
            return true;
        }
        std::vector<SAFEARRAYBOUND> bounds;
        if (!expect('('))
            return false;
        do {
            long long lower = 0, upper = 0;
            if (!integer(lower))
                return false;
            space();
            if (text_.substr(at_, 2) != "..")
                return fail("expected '..'");
            at_ += 2;
            if (!integer(upper))
                return false;
            if (upper < lower - 1)
                return fail("upper bound below the lower bound");
            bounds.push_back(SAFEARRAYBOUND{static_cast<ULONG>(upper - lower + 1), static_cast<LONG>(lower)});
        } while (take(','));
        if (!expect(')') || !expect('['))
            return false;
        SAFEARRAY *made = SafeArrayCreate(element, static_cast<UINT>(bounds.size()), bounds.data());
        if (!made)
            return fail("the array cannot be made");
        V_VT(&out) = VT_ARRAY | element;
        V_ARRAY(&out) = made;
        size_t count = 1;
        for (const SAFEARRAYBOUND &bound : bounds)
            count *= bound.cElements;
        std::vector<LONG> indices(bounds.size());
        for (size_t position = 0; position < count; ++position) {
            if (position > 0 && !expect(','))
                return clearAndFail(out);
            size_t rest = position;
            for (size_t d = 0; d < bounds.size(); ++d) {
                indices[d] = bounds[d].lLbound + static_cast<LONG>(rest % bounds[d].cElements);
                rest /= bounds[d].cElements;
            }
            VARIANT item;
            if (!value(item))
                return clearAndFail(out);
            HRESULT stored = E_INVALIDARG;
            if (element == VT_VARIANT)
                stored = SafeArrayPutElement(made, indices.data(), &item);
            else if (V_VT(&item) != element)
                fail("element of another type");
            else if (element == VT_BSTR || element == VT_DISPATCH || element == VT_UNKNOWN)
                stored = SafeArrayPutElement(made, indices.data(), V_UNKNOWN(&item));
            else if (element == VT_DECIMAL)
                stored = SafeArrayPutElement(made, indices.data(), &item.decVal);
            else
                stored = SafeArrayPutElement(made, indices.data(), &item.llVal);
            VariantClear(&item);
            if (FAILED(stored))
                return clearAndFail(out);
        }
        if (!expect(']'))
            return clearAndFail(out);
        return true;
    }

    bool clearAndFail(VARIANT &out)
    {
        VariantClear(&out);
        return fail("bad array element");
    }

    bool byReference(VARIANT &out)
    {
        size_t mark = at_;
        bool toVariant = identifier() == "variant" && take(':');
        if (!toVariant)
            at_ = mark;
        VARIANT *target = store_.keep();
        if (!target)
            return fail("out of memory");
        if (!value(*target))
            return false;
        if (toVariant) {
            V_VT(&out) = VT_BYREF | VT_VARIANT;
            V_VARIANTREF(&out) = target;
            return true;
        }
        const VARTYPE vt = V_VT(target);
        if (vt == VT_EMPTY || vt == VT_NULL || (vt & VT_BYREF))
            return fail("nothing to refer to");
        V_VT(&out) = VT_BYREF | vt;
        if (vt & VT_ARRAY)
            V_ARRAYREF(&out) = &V_ARRAY(target);
        else if (vt == VT_DECIMAL)
            out.pdecVal = &target->decVal;
        else
            V_BYREF(&out) = &target->llVal;
        return true;
    }

    bool value(VARIANT &out)
    {
        VariantInit(&out);
        std::string word = identifier();
        if (word == "empty")
            return true;
        if (word == "null") {
            V_VT(&out) = VT_NULL;
            return true;
        }
        if (word == "array")
            return array(out);
        if (word == "byref")
            return expect(':') && byReference(out);
        VARTYPE vt = VT_EMPTY;
        if (!typeOf(word, vt))
            return fail("unknown type '" + word + "'");
        return expect(':') && scalar(vt, out);
    }
};

std::string quotedText(BSTR text)
{
    if (!text)
        return "null";
    std::string utf8 = toUtf8(std::u16string_view(text, SysStringLen(text)));
    std::string out = "\"";
    for (char c : utf8) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string scalarText(const VARIANT &v)
{
    char buffer[64];
    switch (V_VT(&v)) {
    case VT_EMPTY: case VT_NULL: return "";
    case VT_I1: return std::to_string(V_I1(&v));
    case VT_UI1: return std::to_string(V_UI1(&v));
    case VT_I2: return std::to_string(V_I2(&v));
    case VT_UI2: return std::to_string(V_UI2(&v));
    case VT_BOOL: return std::to_string(V_BOOL(&v));
    case VT_I4: return std::to_string(V_I4(&v));
    case VT_UI4: return std::to_string(V_UI4(&v));
    case VT_INT: return std::to_string(V_INT(&v));
    case VT_UINT: return std::to_string(V_UINT(&v));
    case VT_I8: return std::to_string(V_I8(&v));
    case VT_UI8: return std::to_string(V_UI8(&v));
    case VT_CY: return std::to_string(v.cyVal.int64);
    case VT_ERROR:
        snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(V_ERROR(&v)));
        return buffer;
    case VT_R4: snprintf(buffer, sizeof buffer, "%g", V_R4(&v)); return buffer;
    case VT_R8: case VT_DATE: snprintf(buffer, sizeof buffer, "%g", V_R8(&v)); return buffer;
    case VT_BSTR: return quotedText(V_BSTR(&v));
    case VT_DISPATCH: case VT_UNKNOWN: return V_UNKNOWN(&v) ? "object" : "null";
    case VT_DECIMAL:
        return (v.decVal.sign ? "-" : "") + std::to_string(v.decVal.Lo64);
    default:
        return "?";
    }
}

}  // namespace

bool VariantStore::parse(std::string_view text, IDispatch *self, VARIANT &out, std::string &error)
{
    Parser parser(text, self, *this);
    if (parser.whole(out))
        return true;
    VariantInit(&out);
    error = parser.error;
    return false;
}

VARIANT *VariantStore::keep()
{
    kept_.emplace_back();
    VariantInit(&kept_.back());
    return &kept_.back();
}

void VariantStore::clear()
{
    for (VARIANT &value : kept_)
        VariantClear(&value);
    kept_.clear();
}

std::string describeVariant(const VARIANT &value)
{
    const VARTYPE vt = V_VT(&value);
    std::string text = typeText(vt);
    if (vt == (VT_BYREF | VT_VARIANT))
        return text + ":" + (V_VARIANTREF(&value) ? describeVariant(*V_VARIANTREF(&value)) : "null");
    if ((vt & VT_BYREF) && !(vt & VT_ARRAY)) {
        if (!V_BYREF(&value))
            return text + ":null";
        VARIANT copy;
        VariantInit(&copy);
        if (FAILED(VariantCopyInd(&copy, &value)))
            return text + ":?";
        text += ":" + scalarText(copy);
        VariantClear(&copy);
        return text;
    }
    if (vt & VT_ARRAY) {
        SAFEARRAY *array = (vt & VT_BYREF) ? (V_ARRAYREF(&value) ? *V_ARRAYREF(&value) : nullptr) : V_ARRAY(&value);
        if (!array)
            return text + ":null";
        VARTYPE element = VT_EMPTY;
        SafeArrayGetVartype(array, &element);
        const UINT dimensions = SafeArrayGetDim(array);
        text += "(";
        size_t count = 1;
        std::vector<LONG> lower(dimensions), size(dimensions);
        for (UINT d = 1; d <= dimensions; ++d) {
            LONG l = 0, u = 0;
            SafeArrayGetLBound(array, d, &l);
            SafeArrayGetUBound(array, d, &u);
            lower[d - 1] = l;
            size[d - 1] = u - l + 1;
            count *= static_cast<size_t>(size[d - 1]);
            text += (d > 1 ? "," : "") + std::to_string(l) + ".." + std::to_string(u);
        }
        text += ")[";
        std::vector<LONG> indices(dimensions);
        for (size_t position = 0; position < count; ++position) {
            size_t rest = position;
            for (UINT d = 0; d < dimensions; ++d) {
                indices[d] = lower[d] + static_cast<LONG>(rest % static_cast<size_t>(size[d]));
                rest /= static_cast<size_t>(size[d]);
            }
            VARIANT item;
            VariantInit(&item);
            if (element == VT_VARIANT) {
                SafeArrayGetElement(array, indices.data(), &item);
            } else {
                V_VT(&item) = element;
                SafeArrayGetElement(array, indices.data(), element == VT_DECIMAL ? static_cast<void *>(&item.decVal)
                                                                                 : static_cast<void *>(&item.llVal));
                V_VT(&item) = element;
            }
            text += (position ? ", " : "") + describeVariant(item);
            VariantClear(&item);
        }
        return text + "]";
    }
    if (vt == VT_EMPTY || vt == VT_NULL)
        return text;
    return text + ":" + scalarText(value);
}

}  // namespace winsim::automation
