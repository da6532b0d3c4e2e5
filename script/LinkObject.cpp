#include "script/LinkObject.h"

#include <cmath>
#include <cstring>
#include <new>

namespace quillon {

namespace {

HRESULT Fail(const wchar_t *member, HRESULT code, const std::wstring &text) {
    return RaiseScriptError(code, (std::wstring(L"QuillonLink.") + member + L": " + text).c_str());
}

bool IsMissing(const VARIANT &v) { return v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND; }

bool LittleEndian(const VARIANT &flag, bool &little) {
    little = false;
    if (IsMissing(flag)) return true;
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeType(&converted, const_cast<VARIANT *>(&flag), 0, VT_BOOL))) return false;
    little = converted.boolVal != VARIANT_FALSE;
    return true;
}

const wchar_t kByteOrderText[] = L"the byte order must be True (little-endian) or False (big-endian)";

} // namespace

HRESULT CLinkObject::Create(ITypeInfo *typeInfo, ILinkSource *source, CLinkObject **out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!typeInfo || !source) return E_POINTER;
    *out = new (std::nothrow) CLinkObject(typeInfo, source);
    return *out ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CLinkObject::get_State(long *plState) try {
    if (!plState) return E_POINTER;
    *plState = source_ ? source_->LinkState() : 0;
    return S_OK;
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CLinkObject::Send(VARIANT vData) try {
    ByteString bytes;
    std::wstring error;
    if (!BytesFromVariant(vData, bytes, error)) return Fail(L"Send", E_INVALIDARG, error);
    if (bytes.empty()) return Fail(L"Send", E_INVALIDARG, L"there is nothing to send");
    if (!source_) return Fail(L"Send", E_FAIL, L"the driver has stopped");
    ByteString answer;
    const HRESULT hr = source_->RunExchange(&bytes, nullptr, answer, error);
    return FAILED(hr) ? Fail(L"Send", hr, error) : S_OK;
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CLinkObject::Receive(long lCount, VARIANT vTimeoutMs, VARIANT *pvData) try {
    return Exchange(L"Receive", nullptr, nullptr, lCount, vTimeoutMs, pvData);
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CLinkObject::ReceiveUntil(VARIANT vTerminator, long lMaxCount, VARIANT vTimeoutMs, VARIANT *pvData) try {
    return Exchange(L"ReceiveUntil", nullptr, &vTerminator, lMaxCount, vTimeoutMs, pvData);
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CLinkObject::Transact(VARIANT vData, long lCount, VARIANT vTimeoutMs, VARIANT *pvData) try {
    return Exchange(L"Transact", &vData, nullptr, lCount, vTimeoutMs, pvData);
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CLinkObject::TransactUntil(VARIANT vData, VARIANT vTerminator, long lMaxCount, VARIANT vTimeoutMs,
                                        VARIANT *pvData) try {
    return Exchange(L"TransactUntil", &vData, &vTerminator, lMaxCount, vTimeoutMs, pvData);
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

HRESULT CLinkObject::Exchange(const wchar_t *member, const VARIANT *data, const VARIANT *terminator, long count,
                              const VARIANT &timeout, VARIANT *out) {
    if (!out) return E_POINTER;
    VariantInit(out);
    std::wstring error;
    ByteString bytes;
    if (data) {
        if (!BytesFromVariant(*data, bytes, error)) return Fail(member, E_INVALIDARG, error);
        if (bytes.empty()) return Fail(member, E_INVALIDARG, L"there is nothing to send");
    }
    ReceiveRule rule;
    if (terminator) {
        if (!BytesFromVariant(*terminator, rule.terminator, error))
            return Fail(member, E_INVALIDARG, L"terminator: " + error);
        if (rule.terminator.empty()) return Fail(member, E_INVALIDARG, L"the terminator is empty");
    }
    if (count < 1 || count > static_cast<long>(kMaxScriptFrame))
        return Fail(member, E_INVALIDARG,
                    terminator ? L"the most bytes to receive must lie between 1 and 65535"
                               : L"the count of bytes to receive must lie between 1 and 65535");
    rule.count = static_cast<unsigned>(count);
    if (IsMissing(timeout)) {
        rule.timeoutMs = source_ ? source_->DefaultTimeoutMs() : 1000;
    } else {
        VARIANT milliseconds;
        VariantInit(&milliseconds);
        if (FAILED(VariantChangeType(&milliseconds, const_cast<VARIANT *>(&timeout), 0, VT_I4)) ||
            milliseconds.lVal < 1 || milliseconds.lVal > kMaxTimeoutMs)
            return Fail(member, E_INVALIDARG, L"the time-out must lie between 1 and 60000 ms");
        rule.timeoutMs = static_cast<DWORD>(milliseconds.lVal);
    }
    if (!source_) return Fail(member, E_FAIL, L"the driver has stopped");
    ByteString answer;
    const HRESULT hr = source_->RunExchange(data ? &bytes : nullptr, &rule, answer, error);
    if (FAILED(hr)) return Fail(member, hr, error);
    return BytesToVariant(answer.data(), answer.size(), out);
}

STDMETHODIMP CLinkObject::Bytes(VARIANT vData, VARIANT *pvBytes) try {
    if (!pvBytes) return E_POINTER;
    VariantInit(pvBytes);
    ByteString bytes;
    std::wstring error;
    if (!BytesFromVariant(vData, bytes, error)) return Fail(L"Bytes", E_INVALIDARG, error);
    return BytesToVariant(bytes.data(), bytes.size(), pvBytes);
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CLinkObject::Hex(VARIANT vData, BSTR *pbstrHex) try {
    if (!pbstrHex) return E_POINTER;
    *pbstrHex = nullptr;
    ByteString bytes;
    std::wstring error;
    if (!BytesFromVariant(vData, bytes, error)) return Fail(L"Hex", E_INVALIDARG, error);
    const std::wstring text = HexFromBytes(bytes.data(), bytes.size());
    *pbstrHex = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *pbstrHex ? S_OK : E_OUTOFMEMORY;
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CLinkObject::Concat(VARIANT vFirst, VARIANT vSecond, VARIANT *pvBytes) try {
    if (!pvBytes) return E_POINTER;
    VariantInit(pvBytes);
    ByteString first, second;
    std::wstring error;
    if (!BytesFromVariant(vFirst, first, error)) return Fail(L"Concat", E_INVALIDARG, L"first: " + error);
    if (!BytesFromVariant(vSecond, second, error)) return Fail(L"Concat", E_INVALIDARG, L"second: " + error);
    if (first.size() + second.size() > kMaxScriptFrame)
        return Fail(L"Concat", E_INVALIDARG, L"the result would hold more than 65535 bytes");
    first.insert(first.end(), second.begin(), second.end());
    return BytesToVariant(first.data(), first.size(), pvBytes);
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CLinkObject::Slice(VARIANT vData, long lOffset, long lCount, VARIANT *pvBytes) try {
    if (!pvBytes) return E_POINTER;
    VariantInit(pvBytes);
    ByteString bytes;
    std::wstring error;
    if (!BytesFromVariant(vData, bytes, error)) return Fail(L"Slice", E_INVALIDARG, error);
    if (lOffset < 0 || lCount < 0 || static_cast<unsigned long>(lOffset) + static_cast<unsigned long>(lCount) >
                                         bytes.size())
        return Fail(L"Slice", E_INVALIDARG, L"offset and count reach beyond the bytes");
    return BytesToVariant(bytes.data() + lOffset, static_cast<size_t>(lCount), pvBytes);
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CLinkObject::Crc16(VARIANT vData, long *plCrc) try {
    if (!plCrc) return E_POINTER;
    ByteString bytes;
    std::wstring error;
    if (!BytesFromVariant(vData, bytes, error)) return Fail(L"Crc16", E_INVALIDARG, error);
    *plCrc = Crc16Modbus(bytes.data(), bytes.size());
    return S_OK;
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CLinkObject::Lrc(VARIANT vData, long *plLrc) try {
    if (!plLrc) return E_POINTER;
    ByteString bytes;
    std::wstring error;
    if (!BytesFromVariant(vData, bytes, error)) return Fail(L"Lrc", E_INVALIDARG, error);
    *plLrc = quillon::Lrc(bytes.data(), bytes.size());
    return S_OK;
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

HRESULT CLinkObject::ReadNumber(const wchar_t *member, const VARIANT &data, long offset, unsigned width,
                                const VARIANT &littleEndian, uint32_t &value) {
    ByteString bytes;
    std::wstring error;
    if (!BytesFromVariant(data, bytes, error)) return Fail(member, E_INVALIDARG, error);
    bool little = false;
    if (!LittleEndian(littleEndian, little)) return Fail(member, E_INVALIDARG, kByteOrderText);
    if (offset < 0 || static_cast<unsigned long>(offset) + width > bytes.size())
        return Fail(member, E_INVALIDARG, L"the offset leaves too few bytes for the number");
    value = ReadUnsigned(bytes.data() + offset, width, little);
    return S_OK;
}

STDMETHODIMP CLinkObject::GetInt16(VARIANT vData, long lOffset, VARIANT vLittleEndian, long *plValue) try {
    return ReadNumber(L"GetInt16", vData, lOffset, 2, vLittleEndian, plValue,
                      [](uint32_t value) { return static_cast<long>(static_cast<int16_t>(value)); });
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CLinkObject::GetUInt16(VARIANT vData, long lOffset, VARIANT vLittleEndian, long *plValue) try {
    return ReadNumber(L"GetUInt16", vData, lOffset, 2, vLittleEndian, plValue,
                      [](uint32_t value) { return static_cast<long>(value); });
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CLinkObject::GetInt32(VARIANT vData, long lOffset, VARIANT vLittleEndian, long *plValue) try {
    return ReadNumber(L"GetInt32", vData, lOffset, 4, vLittleEndian, plValue,
                      [](uint32_t value) { return static_cast<long>(static_cast<int32_t>(value)); });
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CLinkObject::GetUInt32(VARIANT vData, long lOffset, VARIANT vLittleEndian, double *pdValue) try {
    return ReadNumber(L"GetUInt32", vData, lOffset, 4, vLittleEndian, pdValue,
                      [](uint32_t value) { return static_cast<double>(value); });
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CLinkObject::GetFloat(VARIANT vData, long lOffset, VARIANT vLittleEndian, float *pfValue) try {
    return ReadNumber(L"GetFloat", vData, lOffset, 4, vLittleEndian, pfValue, [](uint32_t value) {
        float number = 0;
        std::memcpy(&number, &value, sizeof number);
        return number;
    });
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

HRESULT CLinkObject::NumberBytes(const wchar_t *member, uint32_t value, unsigned width,
                                 const VARIANT &littleEndian, VARIANT *out) {
    bool little = false;
    if (!LittleEndian(littleEndian, little)) return Fail(member, E_INVALIDARG, kByteOrderText);
    BYTE bytes[4];
    WriteUnsigned(value, width, little, bytes);
    return BytesToVariant(bytes, width, out);
}

STDMETHODIMP CLinkObject::Int16Bytes(long lValue, VARIANT vLittleEndian, VARIANT *pvBytes) try {
    if (!pvBytes) return E_POINTER;
    VariantInit(pvBytes);
    if (lValue < -32768 || lValue > 65535)
        return Fail(L"Int16Bytes", E_INVALIDARG, L"the value must lie between -32768 and 65535");
    return NumberBytes(L"Int16Bytes", static_cast<uint32_t>(lValue) & 0xFFFF, 2, vLittleEndian, pvBytes);
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CLinkObject::Int32Bytes(double dValue, VARIANT vLittleEndian, VARIANT *pvBytes) try {
    if (!pvBytes) return E_POINTER;
    VariantInit(pvBytes);
    if (!(dValue >= -2147483648.0 && dValue <= 4294967295.0) || std::floor(dValue) != dValue)
        return Fail(L"Int32Bytes", E_INVALIDARG, L"the value must be a whole number between -2147483648 and 4294967295");
    const uint32_t value =
        dValue < 0 ? static_cast<uint32_t>(static_cast<int32_t>(dValue)) : static_cast<uint32_t>(dValue);
    return NumberBytes(L"Int32Bytes", value, 4, vLittleEndian, pvBytes);
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CLinkObject::FloatBytes(float fValue, VARIANT vLittleEndian, VARIANT *pvBytes) try {
    if (!pvBytes) return E_POINTER;
    VariantInit(pvBytes);
    uint32_t value = 0;
    std::memcpy(&value, &fValue, sizeof value);
    return NumberBytes(L"FloatBytes", value, 4, vLittleEndian, pvBytes);
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CLinkObject::TextBytes(BSTR bstrText, VARIANT *pvBytes) try {
    if (!pvBytes) return E_POINTER;
    VariantInit(pvBytes);
    const UINT length = SysStringLen(bstrText);
    if (length > kMaxScriptFrame) return Fail(L"TextBytes", E_INVALIDARG, L"the text is longer than 65535 characters");
    ByteString bytes(length);
    for (UINT i = 0; i < length; ++i) {
        if (bstrText[i] > 0xFF) {
            wchar_t text[96];
            swprintf(text, sizeof text / sizeof text[0], L"character %u is not one byte (code %u)", i + 1,
                     static_cast<unsigned>(bstrText[i]));
            return Fail(L"TextBytes", E_INVALIDARG, text);
        }
        bytes[i] = static_cast<BYTE>(bstrText[i]);
    }
    return BytesToVariant(bytes.data(), bytes.size(), pvBytes);
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CLinkObject::BytesText(VARIANT vData, BSTR *pbstrText) try {
    if (!pbstrText) return E_POINTER;
    *pbstrText = nullptr;
    ByteString bytes;
    std::wstring error;
    if (!BytesFromVariant(vData, bytes, error)) return Fail(L"BytesText", E_INVALIDARG, error);
    *pbstrText = SysAllocStringLen(nullptr, static_cast<UINT>(bytes.size()));
    if (!*pbstrText) return E_OUTOFMEMORY;
    for (size_t i = 0; i < bytes.size(); ++i) (*pbstrText)[i] = bytes[i];
    return S_OK;
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

} // namespace quillon
