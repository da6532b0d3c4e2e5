// The script's view of the request being answered ("Request").
#pragma once

#include "base/DriverRequest.h"
#include "script/DispatchTemplate.h"
#include "script/ScriptObjects.h"

#include <cstdint>
#include <string>

namespace quillon {

class CRequestObject : public CDispatchTemplate<IRequestObject> {
public:
    // A new object (reference count 1) holding copies of the request's
    // numbers, size and parameter texts; it succeeds until FailRequest.
    static HRESULT Create(ITypeInfo *requestTypeInfo, const DriverRequest &request, CRequestObject **out);
    // Makes the object stand for another request, as if created for it.
    // Only for an object that nobody else holds (IsSoleReference).
    void Rebind(const DriverRequest &request);

    STDMETHODIMP get_N1(long *plValue) override;
    STDMETHODIMP get_N2(long *plValue) override;
    STDMETHODIMP get_N3(long *plValue) override;
    STDMETHODIMP get_N4(long *plValue) override;
    STDMETHODIMP get_Size(long *plValue) override;
    STDMETHODIMP get_ParamDevice(BSTR *pbstrValue) override;
    STDMETHODIMP get_ParamItem(BSTR *pbstrValue) override;
    STDMETHODIMP FailRequest() override;
    STDMETHODIMP IsSucceeded(VARIANT_BOOL *pvbSuccess) override;

protected:
    HRESULT InvokeFast(int fast, WORD flags, const DISPPARAMS &params, VARIANT *result) override;

private:
    CRequestObject(ITypeInfo *typeInfo, const DriverRequest &request);

    uint16_t n1_, n2_, n3_, n4_, size_;
    // Absent texts read as "".
    std::wstring device_, item_;
    volatile LONG succeeded_ = 1;
};

} // namespace quillon
