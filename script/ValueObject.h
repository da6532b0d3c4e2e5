// The script's view of one value ("Value" objects: the request's value and
// those made by Host.NewValue).
#pragma once

#include "script/DispatchTemplate.h"
#include "script/ScriptObjects.h"
#include "values/HValue.h"

namespace quillon {

class CValueObject : public CDispatchTemplate<IValueObject> {
public:
    // A new object (reference count 1) with a reference of its own to value;
    // a read-only object refuses every change.
    static HRESULT Create(HVALUE value, ITypeInfo *valueTypeInfo, bool readOnly, CValueObject **out);
    // Makes the object stand for another value (null: none), as if created
    // for it. Only for an object that nobody else holds (IsSoleReference).
    void Rebind(HVALUE value, bool readOnly);

    STDMETHODIMP put_Value(VARIANT *pvValue) override;
    STDMETHODIMP get_Value(VARIANT *pvValue) override;
    STDMETHODIMP put_Timestamp(DATE dDate) override;
    STDMETHODIMP get_Timestamp(DATE *pdDate) override;
    STDMETHODIMP put_Quality(long lQuality) override;
    STDMETHODIMP get_Quality(long *lQuality) override;
    STDMETHODIMP DimAsList() override;
    STDMETHODIMP AddToList(VARIANT *pvarValue) override;
    HVALUE STDMETHODCALLTYPE PrivGetHVALUE() override;

protected:
    HRESULT InvokeFast(int fast, WORD flags, const DISPPARAMS &params, VARIANT *result) override;

private:
    CValueObject(HVALUE value, ITypeInfo *typeInfo, bool readOnly);

    HValue value_;
    bool readOnly_;
};

} // namespace quillon
