#include "script/VariantConversion.h"

#include "base/ComUtil.h"
#include "base/ComText.h"
#include "values/HValue.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace quillon {

namespace {

const LCID kNeutralLocale = 0x0400;
const double kUnixEpochDate = 25569.0; // 1970-01-01 as a script date
const double kSecondsPerDay = 86400.0;

struct NumericKind {
    VARTYPE variantType;
    unsigned valueType;
    size_t size;
};

const NumericKind kNumericKinds[] = {
    {VT_I1, HV_ARRAY | HV_I8, 1},   {VT_UI1, HV_ARRAY | HV_U8, 1},  {VT_I2, HV_ARRAY | HV_I16, 2},
    {VT_UI2, HV_ARRAY | HV_U16, 2}, {VT_I4, HV_ARRAY | HV_I32, 4},  {VT_UI4, HV_ARRAY | HV_U32, 4},
    {VT_R4, HV_ARRAY | HV_R32, 4},  {VT_R8, HV_ARRAY | HV_R64, 8},
};

const NumericKind *KindOfVariantType(VARTYPE type) {
    for (const NumericKind &kind : kNumericKinds)
        if (kind.variantType == type) return &kind;
    return nullptr;
}

const NumericKind *KindOfValueType(unsigned type) {
    for (const NumericKind &kind : kNumericKinds)
        if (kind.valueType == type) return &kind;
    return nullptr;
}

void *ArrayData(HVALUE value, unsigned valueType) {
    switch (valueType) {
    case HV_ARRAY | HV_I8: return hvArrayDataI8(value);
    case HV_ARRAY | HV_U8: return hvArrayDataU8(value);
    case HV_ARRAY | HV_I16: return hvArrayDataI16(value);
    case HV_ARRAY | HV_U16: return hvArrayDataU16(value);
    case HV_ARRAY | HV_I32: return hvArrayDataI32(value);
    case HV_ARRAY | HV_U32: return hvArrayDataU32(value);
    case HV_ARRAY | HV_R32: return hvArrayDataR32(value);
    default: return hvArrayDataR64(value);
    }
}

template <class T, class Read>
bool Coerce(const VARIANT &source, VARTYPE type, T &out, Read read) {
    if (source.vt == type) {
        out = read(source);
        return true;
    }
    UniqueVariant converted;
    if (FAILED(VariantChangeTypeEx(&converted.get(), const_cast<VARIANT *>(&source), kNeutralLocale,
                                   VARIANT_ALPHABOOL, type)))
        return false;
    out = read(converted.get());
    return true;
}

// Holds the SAFEARRAY's data locked for one conversion.
class ArrayLock {
public:
    explicit ArrayLock(SAFEARRAY *array) : array_(array), result_(SafeArrayLock(array)) {}
    ArrayLock(const ArrayLock &) = delete;
    ArrayLock &operator=(const ArrayLock &) = delete;
    ~ArrayLock() {
        if (SUCCEEDED(result_)) SafeArrayUnlock(array_);
    }
    HRESULT result() const { return result_; }

private:
    SAFEARRAY *array_;
    HRESULT result_;
};

HRESULT ToValue(const VARIANT &source, HVALUE target, unsigned depth);
HRESULT ToVariant(HVALUE source, VARIANT &target, unsigned depth);

HRESULT ArrayToValue(const VARIANT &source, SAFEARRAY *array, HVALUE target, unsigned depth) {
    if (!array) return E_POINTER;
    if (SafeArrayGetDim(array) != 1 || array->rgsabound[0].cElements > HV_MAX_COUNT) return E_INVALIDARG;
    // The lower bound carries no meaning for a value: elements count from
    // the start of the data.
    const unsigned count = array->rgsabound[0].cElements;
    const VARTYPE elementType = source.vt & VT_TYPEMASK;

    if (const NumericKind *kind = KindOfVariantType(elementType)) {
        hvSetType(target, kind->valueType, count);
        ArrayLock lock(array);
        if (FAILED(lock.result())) return lock.result();
        void *data = ArrayData(target, kind->valueType);
        if (data && count > 0) std::memcpy(data, array->pvData, count * kind->size);
        return S_OK;
    }

    switch (elementType) {
    case VT_BSTR: {
        ArrayLock lock(array);
        if (FAILED(lock.result())) return lock.result();
        hvSetType(target, HV_ARRAY | HV_STR, count);
        const BSTR *items = static_cast<const BSTR *>(array->pvData);
        for (unsigned i = 0; i < count; ++i) hvSetElementString(target, i, NarrowFromWide(items[i]).c_str());
        return S_OK;
    }
    case VT_VARIANT:
    case VT_DISPATCH:
    case VT_UNKNOWN: {
        ArrayLock lock(array);
        if (FAILED(lock.result())) return lock.result();
        hvSetType(target, HV_ARRAY | HV_HVAL, count);
        for (unsigned i = 0; i < count; ++i) {
            HValue element;
            if (!hvGetElement(target, i, element.put())) return E_FAIL;
            HRESULT hr;
            if (elementType == VT_VARIANT) {
                hr = ToValue(static_cast<const VARIANT *>(array->pvData)[i], element.get(), depth + 1);
            } else {
                // An object element converts like an object on its own; the
                // VARIANT only borrows the array's pointer.
                VARIANT object;
                VariantInit(&object);
                object.vt = elementType;
                object.punkVal = static_cast<IUnknown *const *>(array->pvData)[i];
                hr = ToValue(object, element.get(), depth + 1);
            }
            if (FAILED(hr)) return hr;
        }
        return S_OK;
    }
    default:
        return E_INVALIDARG;
    }
}

HRESULT ScalarToValue(const VARIANT &source, HVALUE target, unsigned depth) {
    switch (source.vt) {
    case VT_EMPTY: break;
    case VT_I1: hvSetI8(target, static_cast<int8_t>(source.cVal)); break;
    case VT_UI1: hvSetU8(target, source.bVal); break;
    case VT_I2: hvSetI16(target, source.iVal); break;
    case VT_UI2: hvSetU16(target, source.uiVal); break;
    case VT_I4: hvSetI32(target, source.lVal); break;
    case VT_UI4: hvSetU32(target, source.ulVal); break;
    case VT_R4: hvSetR32(target, source.fltVal); break;
    case VT_R8:
    case VT_CY:
    case VT_DECIMAL:
    case VT_I8:
    case VT_UI8: {
        double number = 0.0;
        if (!CoerceToR64(source, number)) return E_INVALIDARG;
        hvSetR64(target, number);
        break;
    }
    case VT_BOOL: hvSetI32(target, source.boolVal != VARIANT_FALSE ? 1 : 0); break;
    case VT_DATE: {
        const hvTime time = SecondsToTime(DateToSeconds(source.date));
        hvSetTime(target, &time);
        break;
    }
    case VT_BSTR: hvSetElementString(target, 0, NarrowFromWide(source.bstrVal).c_str()); break;
    case VT_DISPATCH:
    case VT_UNKNOWN: {
        UniqueVariant plain;
        if (FAILED(GetDefaultMemberValue(source, plain.get()))) return E_INVALIDARG;
        return ToValue(plain.get(), target, depth + 1);
    }
    default:
        return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT StringsToVariant(HVALUE source, VARIANT &target) {
    const unsigned count = hvGetCount(source);
    std::vector<BSTR> items(count, nullptr);
    for (unsigned i = 0; i < count; ++i) {
        const char *text = nullptr;
        if (hvGetElementString(source, i, &text) == 1) items[i] = AllocBstr(text);
    }
    HRESULT hr = MakeVectorVariant(VT_BSTR, target, count, items.data());
    if (FAILED(hr))
        for (BSTR item : items) SysFreeString(item);
    return hr;
}

HRESULT ValuesToVariant(HVALUE source, VARIANT &target, unsigned depth) {
    const unsigned count = hvGetCount(source);
    std::vector<VARIANT> items(count); // zero bits: VT_EMPTY
    HRESULT hr = S_OK;
    for (unsigned i = 0; i < count && hr != kNestedTooDeeply; ++i) {
        HValue element;
        // An element that cannot be read stays empty; only too deep a value
        // fails the whole.
        if (hvGetElement(source, i, element.put()) == 1 &&
            ToVariant(element.get(), items[i], depth + 1) == kNestedTooDeeply)
            hr = kNestedTooDeeply;
    }
    if (SUCCEEDED(hr)) hr = MakeVectorVariant(VT_VARIANT, target, count, items.data());
    if (FAILED(hr))
        for (VARIANT &item : items) VariantClear(&item);
    return hr;
}

HRESULT TimesToVariant(HVALUE source, VARIANT &target) {
    const unsigned count = hvGetCount(source);
    std::vector<DATE> items(count, 0.0);
    for (unsigned i = 0; i < count; ++i) {
        hvTime time = {};
        if (hvGetElementTime(source, i, &time) == 1) items[i] = TimeToDate(time);
    }
    return MakeVectorVariant(VT_DATE, target, count, items.data());
}

// The IDispatch that source holds, if any: S_FALSE when source is no object.
HRESULT DispatchOf(const VARIANT &source, ComPtr<IDispatch> &object) {
    switch (source.vt) {
    case VT_DISPATCH:
        if (!source.pdispVal) return E_POINTER;
        object = ComPtr<IDispatch>(source.pdispVal);
        return S_OK;
    case VT_UNKNOWN:
        if (!source.punkVal) return E_POINTER;
        return source.punkVal->QueryInterface(IID_IDispatch, object.put_void());
    case VT_BYREF | VT_DISPATCH:
        if (!source.ppdispVal || !*source.ppdispVal) return E_POINTER;
        object = ComPtr<IDispatch>(*source.ppdispVal);
        return S_OK;
    case VT_BYREF | VT_UNKNOWN:
        if (!source.ppunkVal || !*source.ppunkVal) return E_POINTER;
        return (*source.ppunkVal)->QueryInterface(IID_IDispatch, object.put_void());
    default:
        return S_FALSE;
    }
}

} // namespace

double DateToSeconds(DATE date) {
    const double seconds = (date - kUnixEpochDate) * kSecondsPerDay;
    return seconds < 0.0 ? 0.0 : seconds;
}

hvTime SecondsToTime(double seconds) {
    const double maximum = 4294967295.999;
    double rounded = seconds + 0.0005;
    if (!(rounded >= 0.0)) rounded = 0.0;
    if (rounded > maximum) rounded = maximum;
    hvTime time;
    time.seconds = static_cast<uint32_t>(rounded);
    time.milliseconds = static_cast<uint16_t>((rounded - time.seconds) * 1000.0);
    return time;
}

DATE TimeToDate(const hvTime &time) {
    return (time.seconds + time.milliseconds * 0.001) / kSecondsPerDay + kUnixEpochDate;
}

namespace {

HRESULT ToValue(const VARIANT &source, HVALUE target, unsigned depth) {
    hvSetNull(target);
    if (depth > kMaxNesting) return kNestedTooDeeply;
    if (source.vt & VT_BYREF) {
        // What a reference points at is read in place: a copy of a nested
        // array would copy all its levels before they are counted.
        if (source.vt == (VT_BYREF | VT_VARIANT) && source.pvarVal && !(source.pvarVal->vt & VT_BYREF))
            return ToValue(*source.pvarVal, target, depth);
        if ((source.vt & VT_ARRAY) && source.pparray)
            return ArrayToValue(source, *source.pparray, target, depth);
        UniqueVariant direct;
        HRESULT hr = VariantCopyInd(&direct.get(), const_cast<VARIANT *>(&source));
        if (FAILED(hr)) return hr;
        return ToValue(direct.get(), target, depth);
    }
    if (source.vt & VT_ARRAY) return ArrayToValue(source, source.parray, target, depth);
    return ScalarToValue(source, target, depth);
}

HRESULT ToVariant(HVALUE source, VARIANT &target, unsigned depth) {
    if (target.vt != VT_EMPTY) VariantClear(&target);
    target.vt = VT_EMPTY;
    if (depth > kMaxNesting) return kNestedTooDeeply;
    switch (const unsigned type = hvGetType(source)) {
    case HV_NULL: return S_OK;
    case HV_I8: {
        int8_t v = 0;
        hvGetI8(source, &v);
        target.cVal = static_cast<CHAR>(v);
        target.vt = VT_I1;
        return S_OK;
    }
    case HV_U8: {
        uint8_t v = 0;
        hvGetU8(source, &v);
        target.bVal = v;
        target.vt = VT_UI1;
        return S_OK;
    }
    case HV_I16: {
        int16_t v = 0;
        hvGetI16(source, &v);
        target.iVal = v;
        target.vt = VT_I2;
        return S_OK;
    }
    case HV_U16: {
        uint16_t v = 0;
        hvGetU16(source, &v);
        target.uiVal = v;
        target.vt = VT_UI2;
        return S_OK;
    }
    case HV_I32: {
        int32_t v = 0;
        hvGetI32(source, &v);
        target.lVal = v;
        target.vt = VT_I4;
        return S_OK;
    }
    case HV_U32: {
        uint32_t v = 0;
        hvGetU32(source, &v);
        target.ulVal = v;
        target.vt = VT_UI4;
        return S_OK;
    }
    case HV_R32: {
        float v = 0.0f;
        hvGetR32(source, &v);
        target.fltVal = v;
        target.vt = VT_R4;
        return S_OK;
    }
    case HV_R64: {
        double v = 0.0;
        hvGetR64(source, &v);
        target.dblVal = v;
        target.vt = VT_R8;
        return S_OK;
    }
    case HV_STR: {
        const char *text = nullptr;
        hvGetString(source, &text);
        BSTR copy = AllocBstr(text);
        if (!copy) return E_OUTOFMEMORY;
        target.bstrVal = copy;
        target.vt = VT_BSTR;
        return S_OK;
    }
    case HV_TIME: {
        hvTime time = {};
        hvGetTime(source, &time);
        target.date = TimeToDate(time);
        target.vt = VT_DATE;
        return S_OK;
    }
    case HV_ARRAY | HV_STR: return StringsToVariant(source, target);
    case HV_ARRAY | HV_HVAL: return ValuesToVariant(source, target, depth);
    case HV_ARRAY | HV_TIME: return TimesToVariant(source, target);
    default:
        if (const NumericKind *kind = KindOfValueType(type))
            return MakeVectorVariant(kind->variantType, target, hvGetCount(source), ArrayData(source, type));
        return E_INVALIDARG;
    }
}

} // namespace

HRESULT VariantToValue(const VARIANT &source, HVALUE target) { return ToValue(source, target, 0); }

HRESULT ValueToVariant(HVALUE source, VARIANT &target) { return ToVariant(source, target, 0); }

HRESULT GetDefaultMemberValue(const VARIANT &source, VARIANT &destination) {
    const VARIANT *current = &source;
    for (unsigned followed = 0;;) {
        if (current->vt == (VT_BYREF | VT_VARIANT)) {
            if (!current->pvarVal) return E_POINTER;
            current = current->pvarVal;
            continue;
        }
        ComPtr<IDispatch> object;
        HRESULT hr = DispatchOf(*current, object);
        if (FAILED(hr)) return hr;
        if (hr == S_FALSE) {
            if (current == &destination) return S_OK;
            return VariantCopyInd(&destination, const_cast<VARIANT *>(current));
        }
        VariantClear(&destination);
        if (followed == kMaxDefaultMembers) return E_INVALIDARG;
        ++followed;
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        hr = object->Invoke(DISPID_VALUE, IID_NULL, kNeutralLocale, DISPATCH_PROPERTYGET, &none, &destination,
                            nullptr, nullptr);
        if (FAILED(hr)) return hr;
        current = &destination;
    }
}

HRESULT MakeVectorVariant(VARTYPE elementType, VARIANT &target, unsigned count, const void *data) {
    VariantClear(&target);
    SAFEARRAY *array = SafeArrayCreateVector(elementType, 0, count);
    if (!array) return E_OUTOFMEMORY;
    if (data && count > 0) {
        HRESULT hr = SafeArrayLock(array);
        if (FAILED(hr)) {
            SafeArrayDestroy(array);
            return hr;
        }
        std::memcpy(array->pvData, data, static_cast<size_t>(count) * SafeArrayGetElemsize(array));
        SafeArrayUnlock(array);
    }
    target.parray = array;
    target.vt = VT_ARRAY | elementType;
    return S_OK;
}

bool CoerceToI8(const VARIANT &source, int8_t &out) {
    return Coerce(source, VT_I1, out, [](const VARIANT &v) { return static_cast<int8_t>(v.cVal); });
}
bool CoerceToU8(const VARIANT &source, uint8_t &out) {
    return Coerce(source, VT_UI1, out, [](const VARIANT &v) { return v.bVal; });
}
bool CoerceToI16(const VARIANT &source, int16_t &out) {
    return Coerce(source, VT_I2, out, [](const VARIANT &v) { return v.iVal; });
}
bool CoerceToU16(const VARIANT &source, uint16_t &out) {
    return Coerce(source, VT_UI2, out, [](const VARIANT &v) { return v.uiVal; });
}
bool CoerceToI32(const VARIANT &source, int32_t &out) {
    return Coerce(source, VT_I4, out, [](const VARIANT &v) { return static_cast<int32_t>(v.lVal); });
}
bool CoerceToU32(const VARIANT &source, uint32_t &out) {
    return Coerce(source, VT_UI4, out, [](const VARIANT &v) { return static_cast<uint32_t>(v.ulVal); });
}
bool CoerceToR32(const VARIANT &source, float &out) {
    return Coerce(source, VT_R4, out, [](const VARIANT &v) { return v.fltVal; });
}
bool CoerceToR64(const VARIANT &source, double &out) {
    return Coerce(source, VT_R8, out, [](const VARIANT &v) { return v.dblVal; });
}

} // namespace quillon
