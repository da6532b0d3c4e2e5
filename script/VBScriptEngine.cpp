#include "script/VBScriptEngine.h"

#include "base/ComText.h"

#include <new>
#include <utility>
#include <vector>

namespace quillon {

namespace {

// {B54F3741-5B07-11CF-A4B0-00AA004A55E8}: the VBScript engine.
const CLSID kVBScriptClsid = {0xB54F3741, 0x5B07, 0x11CF, {0xA4, 0xB0, 0x00, 0xAA, 0x00, 0x4A, 0x55, 0xE8}};

const LCID kNeutralLocale = 0x0400;
const wchar_t kHostItemWide[] = L"Host";
const char kHostItem[] = "Host";
// Up to this many arguments are built on the stack (a request passes two).
constexpr unsigned kFewArguments = 4;

double SecondsSince(LONGLONG start) {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        return QueryPerformanceFrequency(&f) ? f.QuadPart : 0;
    }();
    if (frequency == 0) return 0.0;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    LONGLONG milliseconds = (now.QuadPart - start) * 1000 / frequency;
    return static_cast<double>(milliseconds) * 0.001;
}

void FreeExceptionStrings(EXCEPINFO &exception) {
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
}

} // namespace

// Each engine is made on the thread that uses it, through the system's own
// look-up of the class: no class object is kept between engines or handed
// from one thread to another.
CVBScriptEngine::CVBScriptEngine(CIOGlobals *globals) : IOApi(globals) {
    creation_ = CoCreateInstance(kVBScriptClsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IActiveScript),
                                 script_.put_void());
    if (SUCCEEDED(creation_) && !script_) creation_ = E_NOINTERFACE;
}

CVBScriptEngine::~CVBScriptEngine() = default;

HRESULT CVBScriptEngine::Create(CIOGlobals *globals, CVBScriptEngine **out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    CVBScriptEngine *engine = new (std::nothrow) CVBScriptEngine(globals);
    if (!engine) return E_OUTOFMEMORY;
    const HRESULT connected = engine->Connect();
    if (FAILED(connected)) {
        engine->Release();
        return connected;
    }
    *out = engine;
    return S_OK;
}

// An engine that could not be created (VBScript missing or disabled) fails
// the creation, so that callers report that and not a compile error.
HRESULT CVBScriptEngine::Connect() {
    if (FAILED(creation_)) return creation_;
    HRESULT hr = script_->QueryInterface(__uuidof(IActiveScriptParse), parse_.put_void());
    if (SUCCEEDED(hr)) hr = script_->SetScriptSite(this);
    if (SUCCEEDED(hr)) hr = parse_->InitNew();
    if (FAILED(hr)) {
        parse_.reset();
        script_.reset();
    }
    return hr;
}

HRESULT CVBScriptEngine::AddHostObject(IDispatch *host) {
    if (!host) return E_POINTER;
    if (!script_) return E_FAIL;
    namedItems_.erase(kHostItem);
    namedItems_.emplace(kHostItem, ComPtr<IDispatch>(host));
    return script_->AddNamedItem(kHostItemWide,
                                 SCRIPTITEM_ISVISIBLE | SCRIPTITEM_ISSOURCE | SCRIPTITEM_GLOBALMEMBERS);
}

HRESULT CVBScriptEngine::AddNamedObject(const char *name, IDispatch *object) {
    if (!name || !object) return E_POINTER;
    if (!script_) return E_FAIL;
    namedItems_.erase(name);
    namedItems_.emplace(name, ComPtr<IDispatch>(object));
    UniqueBstr wideName(name);
    return script_->AddNamedItem(wideName.get(), SCRIPTITEM_ISVISIBLE);
}

HRESULT CVBScriptEngine::ParseScript(const char *text) {
    if (!text) return E_POINTER;
    if (!parse_) return E_FAIL;
    UniqueBstr code(text);
    EXCEPINFO exception = {};
    HRESULT hr = parse_->ParseScriptText(code.get(), nullptr, nullptr, nullptr, 0, 0, 0, nullptr, &exception);
    // Whatever the result, the record is the caller's: strings that an engine
    // leaves in it with another code would leak.
    FreeExceptionStrings(exception);
    return hr;
}

HRESULT CVBScriptEngine::SetState(SCRIPTSTATE state) {
    if (!script_) return E_FAIL;
    // Connecting runs the script's global code.
    CScriptWatchdog::Call call(watchdog_);
    const HRESULT hr = script_->SetScriptState(state);
    double seconds;
    if (!call.Finish(seconds)) return hr;
    Log(LOG_DRIVER, "  Global code: stopped after %.3lf seconds, longer than the time limit of %u seconds", seconds,
        static_cast<unsigned>(watchdog_.LimitMs() / 1000));
    return CScriptWatchdog::kTimeLimitPassed;
}

void CVBScriptEngine::SetTimeLimit(DWORD limitMs) {
    if (!watchdog_.Start(script_.get(), limitMs))
        Log(LOG_DRIVER, "Script calls have no time limit: the watchdog's thread could not be started (%lu)",
            GetLastError());
}

HRESULT CVBScriptEngine::RunProcedure(const char *name, unsigned count, VARIANT *args, bool quiet) {
    if (!name || (count > 0 && !args)) return E_POINTER;
    // The duration is only measured for the log: without one being written
    // when the call starts, no "succeeded" line is written either.
    const bool timed = Logger()->IsWriting();
    LARGE_INTEGER start = {};
    if (timed) QueryPerformanceCounter(&start);

    IDispatch *dispatch = nullptr;
    HRESULT hr = ScriptDispatch(&dispatch);
    if (FAILED(hr)) {
        Log(LOG_DRIVER, "  Run '%s': internal error, GetScriptDispatch failed (%08X)", name,
            static_cast<unsigned>(hr));
        return hr;
    }

    DISPID id = DISPID_UNKNOWN;
    hr = FindProcedure(*dispatch, name, &id);
    if (hr == DISP_E_UNKNOWNNAME) {
        if (!quiet) Log(LOG_DRIVER, "  Run '%s': script not implemented", name);
        return hr;
    }
    if (FAILED(hr)) {
        Log(LOG_DRIVER, "  Run '%s': GetIDsOfNames failed (%08X)", name, static_cast<unsigned>(hr));
        return hr;
    }

    // Invoke takes its arguments last first; each refers to the caller's
    // VARIANT so that ByRef assignments in the script reach the caller.
    VARIANT few[kFewArguments];
    std::vector<VARIANT> many(count > kFewArguments ? count : 0);
    VARIANT *params = count > kFewArguments ? many.data() : few;
    for (unsigned i = 0; i < count; ++i) {
        params[i].vt = VT_BYREF | VT_VARIANT;
        params[i].pvarVal = &args[count - 1 - i];
    }
    DISPPARAMS dispParams = {params, nullptr, count, 0};
    // The procedure may close the engine (through the host) and with it the
    // cached dispatch: hold it for the call.
    ComPtr<IDispatch> held(dispatch);
    CScriptWatchdog::Call call(watchdog_);
    hr = held->Invoke(id, IID_NULL, kNeutralLocale, DISPATCH_METHOD, &dispParams, nullptr, nullptr, nullptr);
    double seconds;
    if (call.Finish(seconds)) {
        Log(LOG_DRIVER, "  Run '%s': stopped after %.3lf seconds, longer than the time limit of %u seconds", name,
            seconds, static_cast<unsigned>(watchdog_.LimitMs() / 1000));
        return CScriptWatchdog::kTimeLimitPassed;
    }
    if (FAILED(hr))
        Log(LOG_DRIVER, "  Run '%s': failed (%08X)", name, static_cast<unsigned>(hr));
    else if (timed)
        Log(LOG_DRIVER, "  Run '%s': succeeded (%.3lf seconds)", name, SecondsSince(start.QuadPart));
    return hr;
}

HRESULT CVBScriptEngine::ScriptDispatch(IDispatch **dispatch) {
    if (!scriptDispatch_) {
        if (!script_) return E_UNEXPECTED;
        HRESULT hr = script_->GetScriptDispatch(nullptr, scriptDispatch_.put());
        if (hr == S_FALSE || (SUCCEEDED(hr) && !scriptDispatch_)) hr = E_FAIL;
        if (FAILED(hr)) {
            scriptDispatch_.reset();
            return hr;
        }
    }
    *dispatch = scriptDispatch_.get();
    return S_OK;
}

HRESULT CVBScriptEngine::FindProcedure(IDispatch &dispatch, const char *name, DISPID *id) {
    const auto known = procedureIds_.find(name);
    if (known != procedureIds_.end()) {
        *id = known->second;
        return S_OK;
    }
    UniqueBstr wideName(name);
    LPOLESTR names[] = {wideName.get()};
    const HRESULT hr = dispatch.GetIDsOfNames(IID_NULL, names, 1, kNeutralLocale, id);
    if (SUCCEEDED(hr)) procedureIds_.emplace(name, *id);
    return hr;
}

HRESULT CVBScriptEngine::Close() {
    watchdog_.Stop();
    procedureIds_.clear();
    scriptDispatch_.reset();
    namedItems_.clear();
    if (script_) script_->Close();
    parse_.reset();
    script_.reset();
    return S_OK;
}

STDMETHODIMP CVBScriptEngine::QueryInterface(REFIID iid, void **out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == __uuidof(IActiveScriptSite))
        *out = static_cast<IActiveScriptSite *>(this);
    else if (iid == __uuidof(IActiveScriptSiteWindow))
        *out = static_cast<IActiveScriptSiteWindow *>(this);
    else if (iid == __uuidof(IServiceProvider))
        *out = static_cast<IServiceProvider *>(&serviceProvider_);
    else if (iid == __uuidof(IActiveScriptSiteInterruptPoll))
        *out = static_cast<IActiveScriptSiteInterruptPoll *>(&interruptPoll_);
    else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

// The engine is bound to one thread, so the count needs no interlocking.
STDMETHODIMP_(ULONG) CVBScriptEngine::AddRef() { return ++refs_; }

STDMETHODIMP_(ULONG) CVBScriptEngine::Release() {
    ULONG refs = --refs_;
    if (refs == 0) delete this;
    return refs;
}

STDMETHODIMP CVBScriptEngine::GetLCID(LCID *) { return E_NOTIMPL; }

STDMETHODIMP CVBScriptEngine::GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown **item, ITypeInfo **typeInfo) try {
    if (item) *item = nullptr;
    if (typeInfo) *typeInfo = nullptr;
    if (!name) return E_POINTER;
    if ((mask & SCRIPTINFO_ITYPEINFO) && !typeInfo) return E_POINTER;
    if ((mask & SCRIPTINFO_IUNKNOWN) && !item) return E_POINTER;
    auto found = namedItems_.find(NarrowFromWide(name));
    if (found == namedItems_.end()) return TYPE_E_ELEMENTNOTFOUND;
    IDispatch *object = found->second.get();

    HRESULT hr = S_OK;
    ComPtr<ITypeInfo> info;
    if (mask & SCRIPTINFO_ITYPEINFO) {
        ComPtr<IProvideClassInfo> provider;
        if (FAILED(object->QueryInterface(__uuidof(IProvideClassInfo), provider.put_void()))) return E_NOINTERFACE;
        hr = provider->GetClassInfo(info.put());
        if (FAILED(hr)) return hr;
    }
    ComPtr<IDispatch> unknown;
    if (mask & SCRIPTINFO_IUNKNOWN) hr = object->QueryInterface(IID_IDispatch, unknown.put_void());
    if (SUCCEEDED(hr)) {
        if (mask & SCRIPTINFO_ITYPEINFO) *typeInfo = info.detach();
        if (mask & SCRIPTINFO_IUNKNOWN) *item = unknown.detach();
    }
    return hr;
} catch (...) {
    return E_OUTOFMEMORY;
}

STDMETHODIMP CVBScriptEngine::GetDocVersionString(BSTR *) { return E_NOTIMPL; }

STDMETHODIMP CVBScriptEngine::OnScriptTerminate(const VARIANT *, const EXCEPINFO *) { return S_OK; }

STDMETHODIMP CVBScriptEngine::OnStateChange(SCRIPTSTATE) { return S_OK; }

STDMETHODIMP CVBScriptEngine::OnScriptError(IActiveScriptError *error) try {
    if (!error) return E_POINTER;
    DWORD context = 0;
    ULONG line = 0;
    LONG column = 0;
    error->GetSourcePosition(&context, &line, &column);

    std::string description;
    std::string source;
    EXCEPINFO exception = {};
    if (SUCCEEDED(error->GetExceptionInfo(&exception))) {
        description = NarrowFromWide(exception.bstrDescription);
        source = NarrowFromWide(exception.bstrSource);
        FreeExceptionStrings(exception);
    }
    std::string suffix;
    UniqueBstr lineText;
    if (SUCCEEDED(error->GetSourceLineText(lineText.put()))) suffix = " {" + NarrowFromWide(lineText.get()) + "}";
    if (source.empty()) source = "VBScript error";

    // The engine counts from 0, the user's editor from 1.
    lastErrorLine_ = static_cast<unsigned>(line) + 1;
    lastErrorColumn_ = static_cast<unsigned>(column) + 1;
    lastErrorText_ = description;
    Log(LOG_DRIVER, "  ERROR: %s (line %u, col %u): %s%s\r\n", source.c_str(), lastErrorLine_, lastErrorColumn_,
        description.c_str(), suffix.c_str());
    return S_OK;
} catch (...) {
    return E_OUTOFMEMORY;
}

STDMETHODIMP CVBScriptEngine::OnEnterScript() { return S_OK; }

STDMETHODIMP CVBScriptEngine::OnLeaveScript() { return S_OK; }

STDMETHODIMP CVBScriptEngine::GetWindow(HWND *window) {
    if (!window) return E_POINTER;
    *window = nullptr;
    return E_FAIL;
}

// There is no application window whose modal state could change.
STDMETHODIMP CVBScriptEngine::EnableModeless(BOOL) { return E_FAIL; }

STDMETHODIMP CVBScriptEngine::ServiceProvider::QueryInterface(REFIID iid, void **out) {
    return owner_.QueryInterface(iid, out);
}

STDMETHODIMP_(ULONG) CVBScriptEngine::ServiceProvider::AddRef() { return owner_.AddRef(); }

STDMETHODIMP_(ULONG) CVBScriptEngine::ServiceProvider::Release() { return owner_.Release(); }

STDMETHODIMP CVBScriptEngine::ServiceProvider::QueryService(REFGUID, REFIID, void **out) {
    if (out) *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP CVBScriptEngine::InterruptPoll::QueryInterface(REFIID iid, void **out) {
    return owner_.QueryInterface(iid, out);
}

STDMETHODIMP_(ULONG) CVBScriptEngine::InterruptPoll::AddRef() { return owner_.AddRef(); }

STDMETHODIMP_(ULONG) CVBScriptEngine::InterruptPoll::Release() { return owner_.Release(); }

STDMETHODIMP CVBScriptEngine::InterruptPoll::QueryContinue() {
    return owner_.watchdog_.Overdue() ? S_FALSE : S_OK;
}

} // namespace quillon
