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

CRequestObject::CRequestObject(ITypeInfo *typeInfo, const DriverRequest &request)
    : CDispatchTemplate(typeInfo), n1_(static_cast<uint16_t>(request.n1)), n2_(request.n2), n3_(request.n3),
      n4_(request.n4), size_(request.blockSize), device_(request.paramDevice ? request.paramDevice : L""),
      item_(request.paramItem ? request.paramItem : L"") {}

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
