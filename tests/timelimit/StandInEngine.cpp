#include "tests/timelimit/StandInEngine.h"

#include <string>

namespace quillon::test {
namespace {

// {B54F3741-5B07-11CF-A4B0-00AA004A55E8}: the VBScript engine.
const CLSID kVBScriptClsid = {0xB54F3741, 0x5B07, 0x11CF, {0xA4, 0xB0, 0x00, 0xAA, 0x00, 0x4A, 0x55, 0xE8}};
constexpr DISPID kOnRead = 1;
constexpr DWORD kPollPeriodMs = 5;

#ifdef _WIN64
using SourceCookie = DWORDLONG;
#else
using SourceCookie = DWORD;
#endif

StandInRecord &SharedRecord() {
    static StandInRecord record;
    return record;
}

class Engine final : public IActiveScript, public IActiveScriptParse {
public:
    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void **out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == __uuidof(IActiveScript))
            *out = static_cast<IActiveScript *>(this);
        else if (iid == __uuidof(IActiveScriptParse))
            *out = static_cast<IActiveScriptParse *>(this);
        else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG refs = InterlockedDecrement(&refs_);
        if (refs == 0) delete this;
        return static_cast<ULONG>(refs);
    }

    // IActiveScript
    STDMETHODIMP SetScriptSite(IActiveScriptSite *site) override {
        if (!site) return E_POINTER;
        site->AddRef();
        if (site_) site_->Release();
        site_ = site;
        return S_OK;
    }
    STDMETHODIMP GetScriptSite(REFIID, void **out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP SetScriptState(SCRIPTSTATE state) override {
        if (state == SCRIPTSTATE_CONNECTED && code_ == L"global") return Loop(L"interrupt");
        return S_OK;
    }
    STDMETHODIMP GetScriptState(SCRIPTSTATE *) override { return E_NOTIMPL; }
    STDMETHODIMP Close() override {
        if (site_) site_->Release();
        site_ = nullptr;
        return S_OK;
    }
    STDMETHODIMP AddNamedItem(LPCOLESTR, DWORD) override { return S_OK; }
    STDMETHODIMP AddTypeLib(REFGUID, DWORD, DWORD, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetScriptDispatch(LPCOLESTR item, IDispatch **out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (item) return E_INVALIDARG;
        *out = &dispatch_;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP GetCurrentScriptThreadID(SCRIPTTHREADID *) override { return E_NOTIMPL; }
    STDMETHODIMP GetScriptThreadID(DWORD, SCRIPTTHREADID *) override { return E_NOTIMPL; }
    STDMETHODIMP GetScriptThreadState(SCRIPTTHREADID, SCRIPTTHREADSTATE *) override { return E_NOTIMPL; }
    // Callable from any thread, as the interface promises.
    STDMETHODIMP InterruptScriptThread(SCRIPTTHREADID, const EXCEPINFO *, DWORD) override {
        if (code_ == L"poll") return E_NOTIMPL;
        SharedRecord().interrupts++;
        SharedRecord().interruptThread = GetCurrentThreadId();
        interrupted_ = true;
        return S_OK;
    }
    STDMETHODIMP Clone(IActiveScript **) override { return E_NOTIMPL; }

    // IActiveScriptParse
    STDMETHODIMP InitNew() override { return S_OK; }
    STDMETHODIMP AddScriptlet(LPCOLESTR, LPCOLESTR, LPCOLESTR, LPCOLESTR, LPCOLESTR, LPCOLESTR, SourceCookie, ULONG,
                              DWORD, BSTR *, EXCEPINFO *) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP ParseScriptText(LPCOLESTR code, LPCOLESTR, IUnknown *, LPCOLESTR, SourceCookie, ULONG, DWORD,
                                 VARIANT *, EXCEPINFO *) override {
        code_ = code ? code : L"";
        return S_OK;
    }

private:
    class Dispatch : public IDispatch {
    public:
        explicit Dispatch(Engine &owner) : owner_(owner) {}
        STDMETHODIMP QueryInterface(REFIID iid, void **out) override {
            if (!out) return E_POINTER;
            if (iid != IID_IUnknown && iid != IID_IDispatch) {
                *out = nullptr;
                return E_NOINTERFACE;
            }
            *out = this;
            AddRef();
            return S_OK;
        }
        STDMETHODIMP_(ULONG) AddRef() override { return owner_.AddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return owner_.Release(); }
        STDMETHODIMP GetTypeInfoCount(UINT *count) override {
            if (count) *count = 0;
            return S_OK;
        }
        STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
        STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR *names, UINT count, LCID, DISPID *ids) override {
            if (count != 1 || lstrcmpiW(names[0], L"OnRead") != 0) return DISP_E_UNKNOWNNAME;
            ids[0] = kOnRead;
            return S_OK;
        }
        STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *) override {
            if (id != kOnRead) return DISP_E_MEMBERNOTFOUND;
            return owner_.Loop(owner_.code_);
        }

    private:
        Engine &owner_;
    };

    ~Engine() { Close(); }

    // The script's work: a loop that ends only as the mode says.
    HRESULT Loop(const std::wstring &mode) {
        if (mode != L"interrupt" && mode != L"poll") return S_OK;
        interrupted_ = false;
        IActiveScriptSiteInterruptPoll *poll = nullptr;
        if (mode == L"poll" && site_ &&
            FAILED(site_->QueryInterface(__uuidof(IActiveScriptSiteInterruptPoll), reinterpret_cast<void **>(&poll))))
            poll = nullptr;
        const DWORD start = GetTickCount();
        HRESULT result = kLoopRanOut;
        while (GetTickCount() - start < kLongestLoopMs) {
            if (interrupted_) {
                result = SCRIPT_E_REPORTED;
                break;
            }
            if (poll) {
                if (poll->QueryContinue() == S_FALSE) {
                    SharedRecord().pollsStop++;
                    result = SCRIPT_E_REPORTED;
                    break;
                }
                SharedRecord().pollsContinue++;
            }
            Sleep(kPollPeriodMs);
        }
        if (poll) poll->Release();
        return result;
    }

    LONG refs_ = 1;
    IActiveScriptSite *site_ = nullptr;
    std::wstring code_;
    std::atomic<bool> interrupted_{false};
    Dispatch dispatch_{*this};
};

class Factory : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void **out) override {
        if (!out) return E_POINTER;
        if (iid != IID_IUnknown && iid != IID_IClassFactory) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = this;
        return S_OK;
    }
    // Static: lives as long as the program.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown *outer, REFIID iid, void **out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        Engine *engine = new Engine;
        const HRESULT hr = engine->QueryInterface(iid, out);
        engine->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

Factory &SharedFactory() {
    static Factory factory;
    return factory;
}

} // namespace

StandInRegistration::StandInRegistration()
    : result_(CoRegisterClassObject(kVBScriptClsid, &SharedFactory(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                    &cookie_)) {
    StandInRecord &record = SharedRecord();
    record.interrupts = 0;
    record.interruptThread = 0;
    record.pollsContinue = 0;
    record.pollsStop = 0;
}

StandInRegistration::~StandInRegistration() {
    if (SUCCEEDED(result_)) CoRevokeClassObject(cookie_);
}

StandInRecord &StandInRegistration::Record() { return SharedRecord(); }

} // namespace quillon::test
