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

HRESULT Unconvertible(HRESULT hr) { return RaiseScriptError(hr, L"Value cannot hold this data"); }

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

bool CValueObject::InvokeFast(int fast, WORD flags, const DISPPARAMS &params, VARIANT *result) {
    if (const VARIANT *argument = PlainPut(flags, params)) {
        switch (fast) {
        case kValue:
            return IsPlainScalar(argument->vt) && SUCCEEDED(put_Value(const_cast<VARIANT *>(argument)));
        case kQuality: return argument->vt == VT_I4 && SUCCEEDED(put_Quality(argument->lVal));
        case kTimestamp: return argument->vt == VT_DATE && SUCCEEDED(put_Timestamp(argument->date));
        default: return false;
        }
    }
    if (!IsPlainGet(flags, params, result)) return false;
    switch (fast) {
    case kValue: {
        VARIANT value;
        VariantInit(&value);
        if (FAILED(ValueToVariant(value_.get(), value))) {
            VariantClear(&value);
            return false;
        }
        *result = value;
        return true;
    }
    case kQuality:
        result->vt = VT_I4;
        return SUCCEEDED(get_Quality(&result->lVal));
    case kTimestamp:
        result->vt = VT_DATE;
        return SUCCEEDED(get_Timestamp(&result->date));
    default: return false;
    }
}

STDMETHODIMP CValueObject::put_Value(VARIANT *pvValue) {
    if (!pvValue) return MissingArgument();
    if (readOnly_) return ReadOnly();
    if (HVALUE other = ValueHandleOf(*pvValue))
        return hvCopy(value_.get(), other) ? S_OK : RaiseScriptError(E_FAIL, L"Value cannot be copied");
    const HRESULT hr = VariantToValue(*pvValue, value_.get());
    return SUCCEEDED(hr) ? hr : Unconvertible(hr);
}

STDMETHODIMP CValueObject::get_Value(VARIANT *pvValue) {
    if (!pvValue) return RaiseScriptError(E_POINTER, L"Missing result");
    VariantInit(pvValue);
    const HRESULT hr = ValueToVariant(value_.get(), *pvValue);
    return SUCCEEDED(hr) ? hr : RaiseScriptError(hr, L"Value cannot be read by a script");
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

STDMETHODIMP CValueObject::AddToList(VARIANT *pvarValue) {
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
}

HVALUE STDMETHODCALLTYPE CValueObject::PrivGetHVALUE() { return value_.get(); }

void CValueObject::Rebind(HVALUE value, bool readOnly) {
    value_ = value ? HValue::Share(value) : HValue();
    readOnly_ = readOnly;
}

} // namespace quillon
