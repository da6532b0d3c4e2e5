// The script's global "Host" object: new values, .NET objects and trace
// lines in the driver's log.
#pragma once

#include "base/ComUtil.h"
#include "log/IOGlobals.h"
#include "script/ClrHosting.h"
#include "script/DispatchTemplate.h"
#include "script/ScriptObjects.h"

#include <mscoree.h>

namespace quillon {

class CDriverHostObject : public CDispatchTemplate<IDriverHost>, public TIOApi<CIOGlobals> {
public:
    // A new object (reference count 1); valueTypeInfo describes the values
    // that NewValue makes.
    static HRESULT Create(ITypeInfo *valueTypeInfo, ITypeInfo *hostTypeInfo, CIOGlobals *globals,
                          CDriverHostObject **out);

    STDMETHODIMP NewValue(VARIANT *pvDefaultValue, long lQuality, VARIANT vTimeStamp, IDispatch **ppObject) override;
    STDMETHODIMP CreateDotNetObject(BSTR bstrAssemblyName, BSTR bstrTypeName, IDispatch **ppObject) override;
    STDMETHODIMP Trace(BSTR bstrMessage) override;

private:
    CDriverHostObject(ITypeInfo *valueTypeInfo, ITypeInfo *hostTypeInfo, CIOGlobals *globals);

    // Starts the .NET runtime on first use; every later call gives the
    // outcome of that one attempt.
    HRESULT StartRuntime();

    static constexpr HRESULT kRuntimeNotAttempted = 1;

    // Declared first so that the domain goes before its runtime.
    ComPtr<ICorRuntimeHost> runtime_;
    ComPtr<IUnknown> domainUnknown_;
    ComPtr<AppDomain> domain_;
    ComPtr<ITypeInfo> valueTypeInfo_;
    HRESULT runtimeState_ = kRuntimeNotAttempted;
};

} // namespace quillon
