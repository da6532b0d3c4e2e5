#include "script/ValueObject.h"

#include "script/VariantConversion.h"

#include <new>

namespace quillon {

namespace {

// Unix epoch as a script date.
constexpr double kEpochDate = 25569.0;
constexpr double kSecondsPerDay = 86400.0;

HRESULT ReadOnly() { return RaiseScriptError(E_ACCESSDENIED, L"Value is read-only"); }

HRESULT MissingArgument() { return RaiseScriptError(E_POINTER, L"Missing argument"); }

HRESULT Unconvertible(HRESULT hr) { return RaiseConversionError(hr, L"Value cannot hold this data"); }

// The members that Invoke answers itself, in the order of FastMember.
const wchar_t *const kFastNames[] = {L"Value", L"Quality", L"Timestamp"};

enum FastMember { kValue, kQuality, kTimestamp };

// Values that a script assigns every day and that convert without failing.
bool IsPlainScalar(VARTYPE type) {
    switch (type) {
    case VT_EMPTY:
    case VT_I2:
    case VT_I4:
    case VT_R8:
    case VT_BOOL:
    case VT_BSTR:
    case VT_UI1: return true;
    default: return false;
    }
}

} // namespace

HRESULT CValueObject::Create(HVALUE value, ITypeInfo *valueTypeInfo, bool readOnly, CValueObject **out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!value || !valueTypeInfo) return E_POINTER;
    *out = new (std::nothrow) CValueObject(value, valueTypeInfo, readOnly);
    return *out ? S_OK : E_OUTOFMEMORY;
}

CValueObject::CValueObject(HVALUE value, ITypeInfo *typeInfo, bool readOnly)
    : CDispatchTemplate(typeInfo, kFastNames, sizeof kFastNames / sizeof kFastNames[0]), value_(HValue::Share(value)), readOnly_(readOnly) {}

HRESULT CValueObject::InvokeFast(int fast, WORD flags, const DISPPARAMS &params, VARIANT *result) {
    if (const VARIANT *argument = PlainPut(flags, params)) {
        switch (fast) {
        case kValue: return IsPlainScalar(argument->vt) ? put_Value(const_cast<VARIANT *>(argument)) : S_FALSE;
        case kQuality: return argument->vt == VT_I4 ? put_Quality(argument->lVal) : S_FALSE;
        case kTimestamp: return argument->vt == VT_DATE ? put_Timestamp(argument->date) : S_FALSE;
        default: return S_FALSE;
        }
    }
    if (!IsPlainGet(flags, params, result)) return S_FALSE;
    switch (fast) {
    case kValue: return get_Value(result);
    case kQuality: {
        long quality = 0;
        const HRESULT hr = get_Quality(&quality);
        if (SUCCEEDED(hr)) {
            result->vt = VT_I4;
            result->lVal = quality;
        }
        return hr;
    }
    case kTimestamp: {
        DATE date = 0;
        const HRESULT hr = get_Timestamp(&date);
        if (SUCCEEDED(hr)) {
            result->vt = VT_DATE;
            result->date = date;
        }
        return hr;
    }
    default: return S_FALSE;
    }
}

STDMETHODIMP CValueObject::put_Value(VARIANT *pvValue) try {
    if (!pvValue) return MissingArgument();
    if (readOnly_) return ReadOnly();
    if (HVALUE other = ValueHandleOf(*pvValue))
        return hvCopy(value_.get(), other) ? S_OK : RaiseScriptError(E_FAIL, L"Value cannot be copied");
    const HRESULT hr = VariantToValue(*pvValue, value_.get());
    return SUCCEEDED(hr) ? hr : Unconvertible(hr);
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CValueObject::get_Value(VARIANT *pvValue) try {
    if (!pvValue) return RaiseScriptError(E_POINTER, L"Missing result");
    VariantInit(pvValue);
    const HRESULT hr = ValueToVariant(value_.get(), *pvValue);
    return SUCCEEDED(hr) ? hr : RaiseConversionError(hr, L"Value cannot be read by a script");
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CValueObject::put_Timestamp(DATE dDate) {
    if (readOnly_) return ReadOnly();
    return hvSetTimestamp(value_.get(), DateToSeconds(dDate)) ? S_OK
                                                               : RaiseScriptError(E_INVALIDARG, L"Invalid timestamp");
}

STDMETHODIMP CValueObject::get_Timestamp(DATE *pdDate) {
    if (!pdDate) return RaiseScriptError(E_POINTER, L"Missing result");
    *pdDate = hvGetTimestamp(value_.get()) / kSecondsPerDay + kEpochDate;
    return S_OK;
}

STDMETHODIMP CValueObject::put_Quality(long lQuality) {
    if (readOnly_) return ReadOnly();
    if (static_cast<unsigned long>(lQuality) > 255)
        return RaiseScriptError(E_INVALIDARG, L"Quality must lie between 0 and 255");
    hvSetQuality(value_.get(), static_cast<unsigned>(lQuality));
    return S_OK;
}

STDMETHODIMP CValueObject::get_Quality(long *lQuality) {
    if (!lQuality) return RaiseScriptError(E_POINTER, L"Missing result");
    *lQuality = static_cast<long>(hvGetQuality(value_.get()) & 0xFF);
    return S_OK;
}

STDMETHODIMP CValueObject::DimAsList() {
    if (readOnly_) return ReadOnly();
    hvSetType(value_.get(), HV_LIST, 0);
    return S_OK;
}

STDMETHODIMP CValueObject::AddToList(VARIANT *pvarValue) try {
    if (!pvarValue) return MissingArgument();
    if (readOnly_) return ReadOnly();
    if (!hvIsList(value_.get())) return RaiseScriptError(E_INVALIDARG, L"Value is not a list (call DimAsList first)");
    // A full list (65535 items) keeps its items; the script is not told.
    if (HVALUE other = ValueHandleOf(*pvarValue)) {
        hvListAppend(value_.get(), other);
        return S_OK;
    }
    HValue item = HValue::Create();
    if (!item) return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
    const HRESULT hr = VariantToValue(*pvarValue, item.get());
    if (FAILED(hr)) return Unconvertible(hr);
    hvListAppend(value_.get(), item.get());
    return hr;
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

HVALUE STDMETHODCALLTYPE CValueObject::PrivGetHVALUE() { return value_.get(); }

void CValueObject::Rebind(HVALUE value, bool readOnly) {
    value_ = value ? HValue::Share(value) : HValue();
    readOnly_ = readOnly;
}

} // namespace quillon
