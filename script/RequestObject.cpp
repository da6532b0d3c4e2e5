#include "script/RequestObject.h"

#include <new>

namespace quillon {

namespace {

// The request's numbers are 16-bit words: N1 = -1 reads 65535.
HRESULT ReadWord(uint16_t word, long *out) {
    if (!out) return RaiseScriptError(E_POINTER, L"Missing result");
    *out = word;
    return S_OK;
}

HRESULT ReadText(const std::wstring &text, BSTR *out) {
    if (!out) return RaiseScriptError(E_POINTER, L"Missing result");
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

// The members that Invoke answers itself, in the order of FastMember.
const wchar_t *const kFastNames[] = {L"N1", L"N2", L"N3", L"N4", L"Size", L"ParamDevice", L"ParamItem",
                                     L"FailRequest", L"IsSucceeded"};

enum FastMember { kN1, kN2, kN3, kN4, kSize, kParamDevice, kParamItem, kFailRequest, kIsSucceeded };

HRESULT PutWord(uint16_t word, VARIANT *result) {
    result->vt = VT_I4;
    result->lVal = word;
    return S_OK;
}

HRESULT PutText(const std::wstring &text, VARIANT *result) {
    BSTR copy = nullptr;
    const HRESULT hr = ReadText(text, &copy);
    if (SUCCEEDED(hr)) {
        result->vt = VT_BSTR;
        result->bstrVal = copy;
    }
    return hr;
}

} // namespace

HRESULT CRequestObject::Create(ITypeInfo *requestTypeInfo, const DriverRequest &request, CRequestObject **out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!requestTypeInfo) return E_POINTER;
    try {
        *out = new CRequestObject(requestTypeInfo, request);
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void CRequestObject::Rebind(const DriverRequest &request) {
    n1_ = static_cast<uint16_t>(request.n1);
    n2_ = request.n2;
    n3_ = request.n3;
    n4_ = request.n4;
    size_ = request.blockSize;
    device_ = request.paramDevice ? request.paramDevice : L"";
    item_ = request.paramItem ? request.paramItem : L"";
    succeeded_ = 1;
}

CRequestObject::CRequestObject(ITypeInfo *typeInfo, const DriverRequest &request)
    : CDispatchTemplate(typeInfo, kFastNames, sizeof kFastNames / sizeof kFastNames[0]), n1_(static_cast<uint16_t>(request.n1)), n2_(request.n2), n3_(request.n3),
      n4_(request.n4), size_(request.blockSize), device_(request.paramDevice ? request.paramDevice : L""),
      item_(request.paramItem ? request.paramItem : L"") {}

HRESULT CRequestObject::InvokeFast(int fast, WORD flags, const DISPPARAMS &params, VARIANT *result) {
    switch (fast) {
    case kFailRequest:
        // What DispInvoke leaves in a wanted result of a method without one
        // is its own business.
        if (!IsPlainCall(flags, params) || result) return S_FALSE;
        return FailRequest();
    case kIsSucceeded:
        if (!IsPlainCall(flags, params) || !result) return S_FALSE;
        result->vt = VT_BOOL;
        result->boolVal = succeeded_ ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    default: break;
    }
    if (!IsPlainGet(flags, params, result)) return S_FALSE;
    switch (fast) {
    case kN1: return PutWord(n1_, result);
    case kN2: return PutWord(n2_, result);
    case kN3: return PutWord(n3_, result);
    case kN4: return PutWord(n4_, result);
    case kSize: return PutWord(size_, result);
    case kParamDevice: return PutText(device_, result);
    case kParamItem: return PutText(item_, result);
    default: return S_FALSE;
    }
}

STDMETHODIMP CRequestObject::get_N1(long *plValue) { return ReadWord(n1_, plValue); }

STDMETHODIMP CRequestObject::get_N2(long *plValue) { return ReadWord(n2_, plValue); }

STDMETHODIMP CRequestObject::get_N3(long *plValue) { return ReadWord(n3_, plValue); }

STDMETHODIMP CRequestObject::get_N4(long *plValue) { return ReadWord(n4_, plValue); }

STDMETHODIMP CRequestObject::get_Size(long *plValue) { return ReadWord(size_, plValue); }

STDMETHODIMP CRequestObject::get_ParamDevice(BSTR *pbstrValue) { return ReadText(device_, pbstrValue); }

STDMETHODIMP CRequestObject::get_ParamItem(BSTR *pbstrValue) { return ReadText(item_, pbstrValue); }

STDMETHODIMP CRequestObject::FailRequest() {
    InterlockedExchange(&succeeded_, 0);
    return S_OK;
}

STDMETHODIMP CRequestObject::IsSucceeded(VARIANT_BOOL *pvbSuccess) {
    if (!pvbSuccess) return RaiseScriptError(E_POINTER, L"Missing result");
    *pvbSuccess = succeeded_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

} // namespace quillon
