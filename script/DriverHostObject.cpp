#include "script/DriverHostObject.h"

#include "base/ComText.h"
#include "script/ValueObject.h"
#include "script/VariantConversion.h"
#include "values/HValue.h"

#include <new>

namespace quillon {

namespace {

// {CB2F6723-AB3A-11D2-9C40-00C04FA30A3E}
constexpr CLSID kClsidCorRuntimeHost = {0xCB2F6723, 0xAB3A, 0x11D2, {0x9C, 0x40, 0x00, 0xC0, 0x4F, 0xA3, 0x0A, 0x3E}};
// {CB2F6722-AB3A-11D2-9C40-00C04FA30A3E}
constexpr IID kIidCorRuntimeHost = {0xCB2F6722, 0xAB3A, 0x11D2, {0x9C, 0x40, 0x00, 0xC0, 0x4F, 0xA3, 0x0A, 0x3E}};

// Concurrent garbage collection, assemblies loaded into one domain.
constexpr DWORD kStartupFlags = 3;

using CorBindToRuntimeExFunction = HRESULT(STDAPICALLTYPE *)(LPCWSTR version, LPCWSTR flavor, DWORD flags,
                                                             REFCLSID clsid, REFIID iid, void **out);

bool IsMissing(const VARIANT &v) { return v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND; }

HRESULT LastErrorResult() {
    const DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

} // namespace

HRESULT CDriverHostObject::Create(ITypeInfo *valueTypeInfo, ITypeInfo *hostTypeInfo, CIOGlobals *globals,
                                  CDriverHostObject **out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!valueTypeInfo || !hostTypeInfo || !globals) return E_POINTER;
    *out = new (std::nothrow) CDriverHostObject(valueTypeInfo, hostTypeInfo, globals);
    return *out ? S_OK : E_OUTOFMEMORY;
}

CDriverHostObject::CDriverHostObject(ITypeInfo *valueTypeInfo, ITypeInfo *hostTypeInfo, CIOGlobals *globals)
    : CDispatchTemplate(hostTypeInfo), TIOApi(globals), valueTypeInfo_(valueTypeInfo) {}

STDMETHODIMP CDriverHostObject::NewValue(VARIANT *pvDefaultValue, long lQuality, VARIANT vTimeStamp,
                                         IDispatch **ppObject) try {
    if (!ppObject) return RaiseScriptError(E_POINTER, L"Missing result");
    *ppObject = nullptr;
    if (!pvDefaultValue) return RaiseScriptError(E_POINTER, L"Missing argument");
    if (static_cast<unsigned long>(lQuality) > 255)
        return RaiseScriptError(E_INVALIDARG, L"Quality must lie between 0 and 255");
    // The type library cannot carry the defaults of the text and the date.
    DATE timestamp = 0;
    if (!IsMissing(vTimeStamp)) {
        VARIANT date;
        VariantInit(&date);
        const HRESULT hr = VariantChangeType(&date, &vTimeStamp, 0, VT_DATE);
        if (FAILED(hr)) return RaiseScriptError(hr, L"Invalid timestamp");
        timestamp = date.date;
    }

    HValue value = HValue::Create();
    if (!value) return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
    HRESULT hr = S_OK;
    if (IsMissing(*pvDefaultValue)) {
        if (!hvSetString(value.get(), "")) hr = E_OUTOFMEMORY;
    } else {
        hr = VariantToValue(*pvDefaultValue, value.get());
    }
    if (FAILED(hr)) return RaiseConversionError(hr, L"Value cannot hold this data");
    hvSetQuality(value.get(), static_cast<unsigned>(lQuality));
    if (timestamp != 0 && !hvSetTimestamp(value.get(), DateToSeconds(timestamp)))
        return RaiseScriptError(E_INVALIDARG, L"Invalid timestamp");

    CValueObject *object = nullptr;
    hr = CValueObject::Create(value.get(), valueTypeInfo_.get(), false, &object);
    if (FAILED(hr)) return RaiseScriptError(hr, L"Out of memory");
    *ppObject = object;
    return S_OK;
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

HRESULT CDriverHostObject::StartRuntime() {
    if (runtimeState_ != kRuntimeNotAttempted) return runtimeState_;

    // Bound at run time: the driver must load where no .NET is installed.
    HRESULT hr = S_OK;
    HMODULE mscoree = LoadLibraryW(L"mscoree.dll");
    auto bind = mscoree ? reinterpret_cast<CorBindToRuntimeExFunction>(GetProcAddress(mscoree, "CorBindToRuntimeEx"))
                        : nullptr;
    if (!bind) {
        hr = LastErrorResult();
    } else {
        hr = bind(nullptr, L"wks", kStartupFlags, kClsidCorRuntimeHost, kIidCorRuntimeHost, runtime_.put_void());
        if (SUCCEEDED(hr)) hr = runtime_->Start();
        if (SUCCEEDED(hr)) hr = runtime_->GetDefaultDomain(domainUnknown_.put());
        if (SUCCEEDED(hr)) hr = domainUnknown_->QueryInterface(__uuidof(AppDomain), domain_.put_void());
    }
    runtimeState_ = hr;
    if (SUCCEEDED(hr)) {
        // mscoree stays loaded: a started runtime cannot leave the process.
        Log(LOG_DRIVER, "CLR: starting CLR succeeded!");
        return hr;
    }
    Log(LOG_DRIVER, "CLR: starting CLR failed (%08X)", static_cast<unsigned>(hr));
    domain_.reset();
    domainUnknown_.reset();
    const bool handedOut = static_cast<bool>(runtime_);
    runtime_.reset();
    // Code of mscoree may still run for an object it handed out.
    if (mscoree && !handedOut) FreeLibrary(mscoree);
    return hr;
}

STDMETHODIMP CDriverHostObject::CreateDotNetObject(BSTR bstrAssemblyName, BSTR bstrTypeName, IDispatch **ppObject) try {
    if (!ppObject) return RaiseScriptError(E_POINTER, L"Missing result");
    *ppObject = nullptr;
    if (!bstrAssemblyName || !bstrTypeName) return RaiseScriptError(E_POINTER, L"Missing argument");
    HRESULT hr = StartRuntime();
    if (FAILED(hr)) return RaiseScriptError(hr, L"The .NET runtime cannot be started");

    ComPtr<ObjectHandle> handle;
    hr = domain_->CreateInstance(bstrAssemblyName, bstrTypeName, handle.put());
    if (FAILED(hr)) {
        // The ANSI code page's bytes of the names, as everywhere in the log.
        Log(LOG_DRIVER, "CLR: CreateDotNetObject('%s','%s') failed (%08X)", NarrowFromWide(bstrAssemblyName).c_str(),
            NarrowFromWide(bstrTypeName).c_str(), static_cast<unsigned>(hr));
        return RaiseScriptError(hr, L"The .NET object cannot be created");
    }
    UniqueVariant object;
    hr = handle->Unwrap(&object.get());
    if (FAILED(hr)) return RaiseScriptError(hr, L"The .NET object cannot be unwrapped");
    if (object.get().vt != VT_DISPATCH || !object.get().pdispVal)
        return RaiseScriptError(E_FAIL, L"The .NET object has no automation interface");
    object.get().pdispVal->AddRef();
    *ppObject = object.get().pdispVal;
    return S_OK;
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

STDMETHODIMP CDriverHostObject::Trace(BSTR bstrMessage) try {
    if (!bstrMessage) return RaiseScriptError(E_POINTER, L"Missing argument");
    Log(LOG_DRIVER, "  Trace: %s", NarrowFromWide(bstrMessage).c_str());
    return S_OK;
} catch (...) {
    return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
}

} // namespace quillon
