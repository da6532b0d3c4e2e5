#include "script/ByteHelpers.h"

#include <oleauto.h>

#include <cmath>
#include <cwchar>

namespace quillon {

namespace {

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

std::wstring Format(const wchar_t *format, long a, long b = 0) {
    wchar_t text[160];
    swprintf(text, sizeof text / sizeof text[0], format, a, b);
    return text;
}

bool IsNumberType(VARTYPE type) {
    switch (type) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: case VT_I8: case VT_UI8:
    case VT_INT: case VT_UINT: case VT_R4: case VT_R8: case VT_CY:
        return true;
    default:
        return false;
    }
}

// The size of one element of the kinds a byte array may be declared with.
ULONG ElementSize(VARTYPE type) {
    switch (type) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_CY: return 8;
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
    }
}

// One byte from a number that must be a whole number from 0 to 255.
bool ByteFromNumber(const VARIANT &number, BYTE &byte) {
    // The kinds that scripts' literals and this object's own arrays hold,
    // without a conversion: a read passes dozens of bytes this way.
    auto whole = [&byte](long value) {
        if (value < 0 || value > 255) return false;
        byte = static_cast<BYTE>(value);
        return true;
    };
    switch (number.vt) {
    case VT_UI1: return whole(number.bVal);
    case VT_I2: return whole(number.iVal);
    case VT_I4: return whole(number.lVal);
    default: break;
    }
    VARIANT real;
    VariantInit(&real);
    if (FAILED(VariantChangeType(&real, const_cast<VARIANT *>(&number), 0, VT_R8))) return false;
    const double value = real.dblVal;
    if (!(value >= 0 && value <= 255) || std::floor(value) != value) return false;
    byte = static_cast<BYTE>(value);
    return true;
}

bool BytesFromArray(SAFEARRAY *array, VARTYPE elementType, ByteString &bytes, std::wstring &error) {
    if (!array) {
        error = L"the array is missing";
        return false;
    }
    if (SafeArrayGetDim(array) != 1) {
        error = L"a byte array must have one dimension";
        return false;
    }
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    const long long count = static_cast<long long>(upper) - lower + 1;
    if (count > static_cast<long>(kMaxScriptFrame)) {
        error = Format(L"%ld bytes are too many (at most %ld)", static_cast<long>(count),
                       static_cast<long>(kMaxScriptFrame));
        return false;
    }
    if (elementType != VT_VARIANT && !IsNumberType(elementType)) {
        error = L"a byte array must hold numbers";
        return false;
    }
    // Each element is read as the declared type: the array's own type (when
    // it keeps one) and element size must agree, as a caller other than a
    // script may declare anything.
    VARTYPE own = VT_EMPTY;
    if ((SUCCEEDED(SafeArrayGetVartype(array, &own)) && own != elementType) ||
        SafeArrayGetElemsize(array) != ElementSize(elementType)) {
        error = L"the array's elements are not of the type the value declares";
        return false;
    }
    bytes.reserve(static_cast<size_t>(count));
    if (elementType == VT_VARIANT) {
        // Read in place: copying each element out costs more than the byte.
        const VARIANT *elements = nullptr;
        if (FAILED(SafeArrayAccessData(array, reinterpret_cast<void **>(const_cast<VARIANT **>(&elements))))) {
            error = L"the array cannot be read";
            return false;
        }
        for (LONG i = 0; i < count; ++i) {
            const VARIANT &element = elements[i];
            BYTE byte = 0;
            if (!IsNumberType(static_cast<VARTYPE>(element.vt & ~VT_BYREF)) || !ByteFromNumber(element, byte)) {
                SafeArrayUnaccessData(array);
                error = Format(L"element %ld is not a number from 0 to 255", static_cast<long>(lower + i));
                bytes.clear();
                return false;
            }
            bytes.push_back(byte);
        }
        SafeArrayUnaccessData(array);
        return true;
    }
    for (LONG i = lower; i <= upper; ++i) {
        VARIANT element;
        VariantInit(&element);
        element.vt = elementType;
        const HRESULT hr = SafeArrayGetElement(array, &i, &element.llVal);
        BYTE byte = 0;
        const VARTYPE type = static_cast<VARTYPE>(element.vt & ~VT_BYREF);
        const bool good = SUCCEEDED(hr) && IsNumberType(type) && ByteFromNumber(element, byte);
        VariantClear(&element);
        if (!good) {
            error = Format(L"element %ld is not a number from 0 to 255", static_cast<long>(i));
            bytes.clear();
            return false;
        }
        bytes.push_back(byte);
    }
    return true;
}

} // namespace

bool BytesFromHex(const wchar_t *text, ByteString &bytes, std::wstring &error) {
    bytes.clear();
    if (!text) return true;
    size_t position = 0;
    for (const wchar_t *p = text; *p;) {
        if (IsBlank(*p)) {
            ++p;
            ++position;
            continue;
        }
        const int high = HexDigit(p[0]);
        const int low = high < 0 || !p[1] ? -1 : HexDigit(p[1]);
        if (high < 0 || low < 0) {
            if (high >= 0 && (!p[1] || IsBlank(p[1])))
                error = Format(L"hex text has a lone digit at character %ld", static_cast<long>(position + 1));
            else
                error = Format(L"hex text has a character that is no hex digit at character %ld",
                               static_cast<long>(position + 1 + (high >= 0 ? 1 : 0)));
            bytes.clear();
            return false;
        }
        if (bytes.size() == kMaxScriptFrame) {
            error = Format(L"hex text holds too many bytes (at most %ld)", static_cast<long>(kMaxScriptFrame));
            bytes.clear();
            return false;
        }
        bytes.push_back(static_cast<BYTE>(high * 16 + low));
        p += 2;
        position += 2;
    }
    return true;
}

bool BytesFromVariant(const VARIANT &value, ByteString &bytes, std::wstring &error) {
    bytes.clear();
    if (value.vt == (VT_BYREF | VT_VARIANT)) {
        if (!value.pvarVal) {
            error = L"the bytes are missing";
            return false;
        }
        return BytesFromVariant(*value.pvarVal, bytes, error);
    }
    const VARTYPE type = static_cast<VARTYPE>(value.vt & VT_TYPEMASK);
    if (value.vt & VT_ARRAY) {
        SAFEARRAY *array = (value.vt & VT_BYREF) ? (value.pparray ? *value.pparray : nullptr) : value.parray;
        return BytesFromArray(array, type, bytes, error);
    }
    if (type == VT_BSTR) return BytesFromHex((value.vt & VT_BYREF) ? (value.pbstrVal ? *value.pbstrVal : nullptr)
                                                                   : value.bstrVal,
                                             bytes, error);
    if (IsNumberType(type)) {
        BYTE byte = 0;
        if (!ByteFromNumber(value, byte)) {
            error = L"a single byte must be a number from 0 to 255";
            return false;
        }
        bytes.push_back(byte);
        return true;
    }
    error = type == VT_EMPTY || (type == VT_ERROR && value.scode == DISP_E_PARAMNOTFOUND)
                ? L"the bytes are missing"
                : L"bytes must be an array of numbers, hex text or one number";
    return false;
}

std::wstring HexFromBytes(const BYTE *bytes, size_t count) {
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring text;
    text.reserve(count * 3);
    for (size_t i = 0; i < count; ++i) {
        if (i) text += L' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

HRESULT BytesToVariant(const BYTE *bytes, size_t count, VARIANT *out) {
    if (!out) return E_POINTER;
    VariantInit(out);
    SAFEARRAY *array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(count));
    if (!array) return E_OUTOFMEMORY;
    VARIANT *elements = nullptr;
    HRESULT hr = SafeArrayAccessData(array, reinterpret_cast<void **>(&elements));
    if (FAILED(hr)) {
        SafeArrayDestroy(array);
        return hr;
    }
    for (size_t i = 0; i < count; ++i) {
        elements[i].vt = VT_I4;
        elements[i].lVal = bytes[i];
    }
    SafeArrayUnaccessData(array);
    out->vt = VT_ARRAY | VT_VARIANT;
    out->parray = array;
    return S_OK;
}

uint16_t Crc16Modbus(const BYTE *bytes, size_t count) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

BYTE Lrc(const BYTE *bytes, size_t count) {
    BYTE sum = 0;
    for (size_t i = 0; i < count; ++i) sum = static_cast<BYTE>(sum + bytes[i]);
    return static_cast<BYTE>(-sum);
}

uint32_t ReadUnsigned(const BYTE *bytes, unsigned width, bool little) {
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) value = (value << 8) | bytes[little ? width - 1 - i : i];
    return value;
}

void WriteUnsigned(uint32_t value, unsigned width, bool little, BYTE *out) {
    for (unsigned i = 0; i < width; ++i) {
        const BYTE byte = static_cast<BYTE>(value >> (8 * i));
        out[little ? i : width - 1 - i] = byte;
    }
}

} // namespace quillon
