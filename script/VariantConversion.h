// Conversions between the script's VARIANTs and the host's values.
//
// Times: a script DATE counts days since 1899-12-30, a value's time counts
// seconds (and milliseconds) since 1970-01-01. Texts use the thread's ANSI
// code page.
#pragma once

#include "values/hvcore.h"

#include <windows.h>
#include <oleauto.h>

#include <cstdint>

namespace quillon {

// Seconds since 1970 of a script date; dates before 1970 give 0.
double DateToSeconds(DATE date);
// Rounded to the nearest millisecond; outside the range of hvTime the
// seconds are clamped to it.
hvTime SecondsToTime(double seconds);
DATE TimeToDate(const hvTime &time);

// How deep values may nest inside each other (arrays of values, objects
// reduced to their default member), as the value library's flat form allows.
// The conversions count the levels in both directions and give up past it
// with kNestedTooDeeply: an object whose default member returns an array
// holding the object itself ends there, long before the stack runs out.
constexpr unsigned kMaxNesting = 256;
const HRESULT kNestedTooDeeply = HRESULT_FROM_WIN32(ERROR_STACK_OVERFLOW);

// Stores source in target (which becomes null first). Arrays must have one
// dimension and at most 65535 elements; objects give their default member's
// value. E_INVALIDARG for what a value cannot hold (Null, errors, arrays of
// dates, booleans, currency or decimals, ...); kNestedTooDeeply past
// kMaxNesting levels.
HRESULT VariantToValue(const VARIANT &source, HVALUE target);

// Stores source in target (cleared first). Arrays become vectors with lower
// bound 0; arrays of values become arrays of VARIANTs. E_INVALIDARG, target
// empty, for HVAL and LIST values; kNestedTooDeeply, target empty, for values
// nested more than kMaxNesting levels deep.
HRESULT ValueToVariant(HVALUE source, VARIANT &target);

// The value of source with objects replaced by their default member
// (DISPID_VALUE), followed through chains of objects. A chain longer than
// kMaxDefaultMembers is taken for a loop: E_INVALIDARG, destination empty.
constexpr unsigned kMaxDefaultMembers = 16;
HRESULT GetDefaultMemberValue(const VARIANT &source, VARIANT &destination);

// Makes target a one-dimensional array (lower bound 0) of count elements.
// When data is given its count elements are copied bitwise, which hands
// their ownership (strings, objects) to the array.
HRESULT MakeVectorVariant(VARTYPE elementType, VARIANT &target, unsigned count, const void *data);

// source as the given type (booleans from "True"/"False" texts as well);
// false when it cannot be converted.
bool CoerceToI8(const VARIANT &source, int8_t &out);
bool CoerceToU8(const VARIANT &source, uint8_t &out);
bool CoerceToI16(const VARIANT &source, int16_t &out);
bool CoerceToU16(const VARIANT &source, uint16_t &out);
bool CoerceToI32(const VARIANT &source, int32_t &out);
bool CoerceToU32(const VARIANT &source, uint32_t &out);
bool CoerceToR32(const VARIANT &source, float &out);
bool CoerceToR64(const VARIANT &source, double &out);

} // namespace quillon
