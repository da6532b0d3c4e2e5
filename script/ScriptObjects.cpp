#include "script/ScriptObjects.h"

#include "base/ComUtil.h"
#include "base/Module.h"
#include "script/VariantConversion.h"

#include <cwchar>

namespace quillon {

namespace {

HRESULT LoadTypeInfoOf(REFGUID iid, ITypeInfo **out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(ThisModule(), path, MAX_PATH);
    if (length == 0) return HRESULT_FROM_WIN32(GetLastError());
    if (length >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    ComPtr<ITypeLib> library;
    const HRESULT hr = LoadTypeLib(path, library.put());
    if (FAILED(hr)) return hr;
    return library->GetTypeInfoOfGuid(iid, out);
}

} // namespace

HRESULT LoadRequestTypeInfo(ITypeInfo **out) { return LoadTypeInfoOf(__uuidof(IRequestObject), out); }

HRESULT LoadValueTypeInfo(ITypeInfo **out) { return LoadTypeInfoOf(__uuidof(IValueObject), out); }

HRESULT LoadDriverHostTypeInfo(ITypeInfo **out) { return LoadTypeInfoOf(__uuidof(IDriverHost), out); }

HRESULT LoadLinkTypeInfo(ITypeInfo **out) { return LoadTypeInfoOf(__uuidof(ILinkObject), out); }

HRESULT RaiseScriptError(HRESULT code, const wchar_t *text) {
    ComPtr<ICreateErrorInfo> created;
    if (FAILED(CreateErrorInfo(created.put()))) return code;
    wchar_t description[320];
    swprintf(description, sizeof description / sizeof description[0], L"%ls (%08X)", text,
             static_cast<unsigned>(code));
    created->SetSource(const_cast<LPOLESTR>(L"Quillon"));
    created->SetDescription(description);
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(created->QueryInterface(IID_IErrorInfo, info.put_void()))) SetErrorInfo(0, info.get());
    return code;
}

HRESULT RaiseConversionError(HRESULT code, const wchar_t *text) {
    if (code == kNestedTooDeeply) return RaiseScriptError(E_INVALIDARG, L"Value nests more than 256 levels deep");
    return RaiseScriptError(code, text);
}

HVALUE ValueHandleOf(const VARIANT &v) {
    IUnknown *object = nullptr;
    switch (v.vt) {
    case VT_DISPATCH: object = v.pdispVal; break;
    case VT_UNKNOWN: object = v.punkVal; break;
    case VT_BYREF | VT_DISPATCH: object = v.ppdispVal ? *v.ppdispVal : nullptr; break;
    case VT_BYREF | VT_UNKNOWN: object = v.ppunkVal ? *v.ppunkVal : nullptr; break;
    case VT_BYREF | VT_VARIANT: return v.pvarVal ? ValueHandleOf(*v.pvarVal) : nullptr;
    default: return nullptr;
    }
    if (!object) return nullptr;
    ComPtr<IValueObject> value;
    if (FAILED(object->QueryInterface(__uuidof(IValueObject), value.put_void()))) return nullptr;
    return value->PrivGetHVALUE();
}

} // namespace quillon
