// IUnknown and IDispatch for the script objects, with dispatch through the
// interface's type description.
#pragma once

#include "driver/ComUtil.h"

#include <windows.h>
#include <oleauto.h>

namespace quillon {

template <class I>
class CDispatchTemplate : public I {
public:
    CDispatchTemplate(const CDispatchTemplate &) = delete;
    CDispatchTemplate &operator=(const CDispatchTemplate &) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void **out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(I)) {
            *out = static_cast<I *>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }

    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

    STDMETHODIMP GetTypeInfoCount(UINT *count) override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }

    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo **info) override {
        if (!info) return E_POINTER;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        typeInfo_->AddRef();
        *info = typeInfo_.get();
        return S_OK;
    }

    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR *names, UINT count, LCID, DISPID *ids) override {
        if (iid == IID_NULL) return DispGetIDsOfNames(typeInfo_.get(), names, count, ids);
        if (!ids) return E_POINTER;
        for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNINTERFACE;
    }

    // A member's failure comes back from DispInvoke as DISP_E_EXCEPTION with
    // the member's code, source and text taken from the thread's error
    // (RaiseScriptError).
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS *params, VARIANT *result,
                        EXCEPINFO *exception, UINT *argError) override {
        if (iid == IID_NULL)
            return DispInvoke(static_cast<I *>(this), typeInfo_.get(), id, flags, params, result, exception,
                              argError);
        if (result) VariantInit(result);
        if (exception) *exception = EXCEPINFO{};
        if (argError) *argError = 0;
        return DISP_E_UNKNOWNINTERFACE;
    }

protected:
    // Adds a reference to typeInfo, which must not be null.
    explicit CDispatchTemplate(ITypeInfo *typeInfo) : typeInfo_(typeInfo) {}
    virtual ~CDispatchTemplate() = default;

private:
    volatile LONG refs_ = 1;
    ComPtr<ITypeInfo> typeInfo_;
};

} // namespace quillon
