// IUnknown and IDispatch for the script objects, with dispatch through the
// interface's type description. The members a script uses on every request
// are answered directly, without the type description's slow general road.
#pragma once

#include "base/ComUtil.h"
#include "script/ScriptObjects.h"

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <string>
#include <vector>

namespace quillon {

// The names and DISPIDs of an interface's members, read once from its type
// description, and which of them the object answers itself.
class CMemberTable {
public:
    // fastNames lists the members of the object's own direct road; their
    // positions in the list are the numbers that Find returns.
    CMemberTable(ITypeInfo *info, const wchar_t *const *fastNames, size_t fastCount) {
        TYPEATTR *attributes = nullptr;
        if (!info || FAILED(info->GetTypeAttr(&attributes))) return;
        const UINT count = attributes->cFuncs;
        info->ReleaseTypeAttr(attributes);
        for (UINT i = 0; i < count; ++i) {
            FUNCDESC *function = nullptr;
            if (FAILED(info->GetFuncDesc(i, &function))) continue;
            const MEMBERID id = function->memid;
            info->ReleaseFuncDesc(function);
            BSTR name = nullptr;
            if (FAILED(info->GetDocumentation(id, &name, nullptr, nullptr, nullptr)) || !name) continue;
            Member member{std::wstring(name, SysStringLen(name)), id, -1};
            SysFreeString(name);
            if (!IsPlain(member.name.c_str()) || FindName(member.name.c_str())) continue;
            for (size_t f = 0; f < fastCount; ++f)
                if (member.name == fastNames[f]) member.fast = static_cast<int>(f);
            members_.push_back(std::move(member));
        }
    }

    // The DISPID of a member named name in any letter case, or null when
    // name is not one of them or not plain ASCII.
    const DISPID *FindName(const wchar_t *name) const {
        if (!IsPlain(name)) return nullptr;
        for (const Member &member : members_)
            if (SameName(member.name.c_str(), name)) return &member.id;
        return nullptr;
    }

    // The position of the member id in the object's fast list, or -1.
    int FastIndex(DISPID id) const {
        for (const Member &member : members_)
            if (member.id == id) return member.fast;
        return -1;
    }

private:
    struct Member {
        std::wstring name;
        DISPID id;
        int fast;
    };

    // Plain ASCII names equal in any letter case.
    static bool SameName(const wchar_t *a, const wchar_t *b) {
        for (;; ++a, ++b) {
            const wchar_t x = (*a >= L'a' && *a <= L'z') ? *a - (L'a' - L'A') : *a;
            const wchar_t y = (*b >= L'a' && *b <= L'z') ? *b - (L'a' - L'A') : *b;
            if (x != y) return false;
            if (!x) return true;
        }
    }

    static bool IsPlain(const wchar_t *name) {
        for (; *name; ++name)
            if (*name >= 0x80) return false;
        return true;
    }

    std::vector<Member> members_;
};

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

    // True while the caller's reference is the only one: nobody else (a
    // script that stored the object) can see a change made now.
    bool IsSoleReference() const { return refs_ == 1; }

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

    // A single known name is answered from the member table; anything else
    // (argument names, unknown names) goes to the type description.
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR *names, UINT count, LCID, DISPID *ids) override {
        if (iid == IID_NULL) {
            return NoThrow([&]() -> HRESULT {
                if (count == 1 && names && names[0] && ids) {
                    if (const DISPID *known = Members().FindName(names[0])) {
                        ids[0] = *known;
                        return S_OK;
                    }
                }
                return DispGetIDsOfNames(typeInfo_.get(), names, count, ids);
            });
        }
        if (!ids) return E_POINTER;
        for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNINTERFACE;
    }

    // A member's failure comes back from DispInvoke as DISP_E_EXCEPTION with
    // the member's code, source and text taken from the thread's error
    // (RaiseScriptError). The object's fast members answer the plain calls
    // themselves, a failure the same way and once; every other call takes
    // DispInvoke so that coercions, codes and error texts stay those of the
    // type description.
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS *params, VARIANT *result,
                        EXCEPINFO *exception, UINT *argError) override {
        if (iid == IID_NULL) {
            HRESULT hr = S_FALSE;
            if (params && (params->cArgs == 0 || params->rgvarg)) {
                hr = ScriptMember([&]() -> HRESULT {
                    const int fast = Members().FastIndex(id);
                    return fast >= 0 ? InvokeFast(fast, flags, *params, result) : S_FALSE;
                });
            }
            if (hr == S_FALSE)
                return DispInvoke(static_cast<I *>(this), typeInfo_.get(), id, flags, params, result, exception,
                                  argError);
            return SUCCEEDED(hr) ? S_OK : ReportFailure(hr, exception);
        }
        if (result) VariantInit(result);
        if (exception) *exception = EXCEPINFO{};
        if (argError) *argError = 0;
        return DISP_E_UNKNOWNINTERFACE;
    }

protected:
    // Adds a reference to typeInfo, which must not be null. fastNames (static
    // text) lists the members that InvokeFast answers; every object of the
    // class passes the same list.
    explicit CDispatchTemplate(ITypeInfo *typeInfo, const wchar_t *const *fastNames = nullptr, size_t fastCount = 0)
        : typeInfo_(typeInfo), fastNames_(fastNames), fastCount_(fastCount) {}
    virtual ~CDispatchTemplate() = default;

    // Answers a call of the member at position fast in the fast list when the
    // call is plain (the expected flags and argument types, no other named
    // arguments): the member's result, a failure raised as the thread's error
    // (RaiseScriptError). S_FALSE leaves the call, untouched, to DispInvoke.
    virtual HRESULT InvokeFast(int, WORD, const DISPPARAMS &, VARIANT *) { return S_FALSE; }

    // A property read without arguments that wants its result.
    static bool IsPlainGet(WORD flags, const DISPPARAMS &params, const VARIANT *result) {
        return (flags & DISPATCH_PROPERTYGET) && !(flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) &&
               params.cArgs == 0 && params.cNamedArgs == 0 && result;
    }

    // A method call without arguments.
    static bool IsPlainCall(WORD flags, const DISPPARAMS &params) {
        return (flags & DISPATCH_METHOD) && !(flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) &&
               params.cArgs == 0 && params.cNamedArgs == 0;
    }

    // The new value of a property assignment in its usual form, or null.
    static const VARIANT *PlainPut(WORD flags, const DISPPARAMS &params) {
        if (flags != DISPATCH_PROPERTYPUT || params.cArgs != 1 || params.cNamedArgs != 1 ||
            !params.rgdispidNamedArgs || params.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
            return nullptr;
        return &params.rgvarg[0];
    }

private:
    // A member's failure as DispInvoke reports it: DISP_E_EXCEPTION, with the
    // code and the thread's error in the exception record.
    static HRESULT ReportFailure(HRESULT code, EXCEPINFO *exception) {
        if (!exception) return DISP_E_EXCEPTION;
        *exception = EXCEPINFO{};
        exception->scode = code;
        ComPtr<IErrorInfo> error;
        if (GetErrorInfo(0, error.put()) == S_OK) {
            error->GetDescription(&exception->bstrDescription);
            error->GetHelpFile(&exception->bstrHelpFile);
            error->GetSource(&exception->bstrSource);
            error->GetHelpContext(&exception->dwHelpContext);
        }
        return DISP_E_EXCEPTION;
    }

    // Every object of an interface has the same type description, so one
    // table serves them all.
    const CMemberTable &Members() const {
        static const CMemberTable table(typeInfo_.get(), fastNames_, fastCount_);
        return table;
    }

    volatile LONG refs_ = 1;
    ComPtr<ITypeInfo> typeInfo_;
    const wchar_t *const *fastNames_;
    const size_t fastCount_;
};

} // namespace quillon
