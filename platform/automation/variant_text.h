// VARIANTs written as text, so a test can tell the recorder what to answer and read what it
// received. The form, spaces between tokens allowed:
//
//   empty | null
//   bstr:"text" (\" and \\ escaped) | bstr:null
//   i1: i2: i4: i8: ui1: ui2: ui4: ui8: int: uint: cy: error: decimal: bool: <integer>  (bool:-1 is true)
//   r4: r8: date: <number>
//   dispatch:self | dispatch:null | dispatch:new (a new recorder) | unknown:self | unknown:null
//   array<type>(lower..upper, ...)[value, ...]   type: variant or a scalar type name above;
//                                                values in memory order (dimension 1 fastest)
//   array<type>null                              an array variant without an array
//   byref:<value>                                VT_BYREF to a value the recorder keeps;
//                                                byref:variant:<value> is VT_BYREF | VT_VARIANT
//
// The description of a VARIANT names its type as the SDK does, then its value:
// VT_INT:5, VT_BSTR:"text", VT_DISPATCH:null, VT_BYREF|VT_I4:7, VT_ARRAY|VT_VARIANT(0..1)[...].
#pragma once

#include <ole2.h>

#include <deque>
#include <string>
#include <string_view>

namespace winsim::automation {

// Keeps what by-reference VARIANTs made from text point at.
class VariantStore {
public:
    VariantStore() = default;
    ~VariantStore() { clear(); }
    VariantStore(const VariantStore &) = delete;
    VariantStore &operator=(const VariantStore &) = delete;

    // Builds the VARIANT that text describes into out (which owns nothing yet). self is the
    // object that dispatch:self and unknown:self name. False with a reason when the text is
    // not understood; out is then empty.
    bool parse(std::string_view text, IDispatch *self, VARIANT &out, std::string &error);

    void clear();

    VARIANT *keep();

private:
    std::deque<VARIANT> kept_;
};

std::string describeVariant(const VARIANT &value);

}  // namespace winsim::automation
