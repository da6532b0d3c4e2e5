// Host of the VBScript engine (Windows Active Scripting) that runs the user's
// device protocol. The engine calls back through the site interfaces; the
// driver drives it through the methods below.
#pragma once

#include "base/ComUtil.h"
#include "log/IOGlobals.h"
#include "script/ScriptWatchdog.h"

#include <windows.h>
#include <activscp.h>
#include <servprov.h>

#include <map>
#include <string>

namespace quillon {

class CVBScriptEngine : public IActiveScriptSite, public IActiveScriptSiteWindow, public IOApi {
public:
    // A new engine with reference count 1, owned by the caller, made on the
    // calling thread; the system's code when the VBScript engine cannot be
    // made or refuses the site.
    static HRESULT Create(CIOGlobals *globals, CVBScriptEngine **out);

    // Makes host's members global names of the script, as the item "Host"
    // (replacing an earlier host object).
    HRESULT AddHostObject(IDispatch *host);
    // Makes object visible to the script under name, without global members:
    // the script's own declarations of that name come first.
    HRESULT AddNamedObject(const char *name, IDispatch *object);
    HRESULT ParseScript(const char *text);
    HRESULT SetState(SCRIPTSTATE state);
    // Calls the script's procedure name with count arguments passed by
    // reference: args[0] is the first parameter. quiet keeps a missing
    // procedure out of the log.
    HRESULT RunProcedure(const char *name, unsigned count, VARIANT *args, bool quiet);
    HRESULT Close();
    // The longest a call into the script (a procedure, or the global code run
    // by connecting) may run, 0 for no limit; a call that runs longer is
    // asked to stop and fails with CScriptWatchdog::kTimeLimitPassed.
    void SetTimeLimit(DWORD limitMs);
    // True until Close, when the engine exists.
    bool IsOpen() const { return static_cast<bool>(script_); }

    // Position (1-based, 0 = none yet) and text of the last script error.
    unsigned LastErrorLine() const { return lastErrorLine_; }
    unsigned LastErrorColumn() const { return lastErrorColumn_; }
    const std::string &LastErrorText() const { return lastErrorText_; }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void **out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IActiveScriptSite
    STDMETHODIMP GetLCID(LCID *lcid) override;
    STDMETHODIMP GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown **item, ITypeInfo **typeInfo) override;
    STDMETHODIMP GetDocVersionString(BSTR *version) override;
    STDMETHODIMP OnScriptTerminate(const VARIANT *result, const EXCEPINFO *exception) override;
    STDMETHODIMP OnStateChange(SCRIPTSTATE state) override;
    STDMETHODIMP OnScriptError(IActiveScriptError *error) override;
    STDMETHODIMP OnEnterScript() override;
    STDMETHODIMP OnLeaveScript() override;

    // IActiveScriptSiteWindow
    STDMETHODIMP GetWindow(HWND *window) override;
    STDMETHODIMP EnableModeless(BOOL enable) override;

private:
    // The site's IServiceProvider face: the engine's MSXML objects refuse to
    // be created for a site without one, though no service is offered.
    class ServiceProvider : public IServiceProvider {
    public:
        explicit ServiceProvider(CVBScriptEngine &owner) : owner_(owner) {}
        STDMETHODIMP QueryInterface(REFIID iid, void **out) override;
        STDMETHODIMP_(ULONG) AddRef() override;
        STDMETHODIMP_(ULONG) Release() override;
        STDMETHODIMP QueryService(REFGUID service, REFIID iid, void **out) override;

    private:
        CVBScriptEngine &owner_;
    };
    // The site's IActiveScriptSiteInterruptPoll face: the engines that poll
    // it stop a call that has passed its time limit.
    class InterruptPoll : public IActiveScriptSiteInterruptPoll {
    public:
        explicit InterruptPoll(CVBScriptEngine &owner) : owner_(owner) {}
        STDMETHODIMP QueryInterface(REFIID iid, void **out) override;
        STDMETHODIMP_(ULONG) AddRef() override;
        STDMETHODIMP_(ULONG) Release() override;
        STDMETHODIMP QueryContinue() override;

    private:
        CVBScriptEngine &owner_;
    };

    explicit CVBScriptEngine(CIOGlobals *globals);
    ~CVBScriptEngine() override;
    HRESULT Connect();
    // The DISPID of the script's procedure name. Those found are kept until
    // Close: a compiled procedure keeps its DISPID. A name not found is asked
    // for again each time, since the script may define it later.
    HRESULT FindProcedure(IDispatch &dispatch, const char *name, DISPID *id);
    // The dispatch of the script's global code, asked for once and kept
    // until Close; *dispatch carries no reference of its own.
    HRESULT ScriptDispatch(IDispatch **dispatch);

    ULONG refs_ = 1;
    ServiceProvider serviceProvider_{*this};
    InterruptPoll interruptPoll_{*this};
    ComPtr<IActiveScript> script_;
    HRESULT creation_ = E_FAIL;
    ComPtr<IActiveScriptParse> parse_;
    // After the engine pointer, so that it ends (with its thread) first.
    CScriptWatchdog watchdog_{GetGlobals()};
    unsigned lastErrorLine_ = 0;
    unsigned lastErrorColumn_ = 0;
    std::string lastErrorText_;
    std::map<std::string, DISPID, std::less<>> procedureIds_;
    ComPtr<IDispatch> scriptDispatch_;
    // Declared after the engine pointers so that it goes first.
    std::map<std::string, ComPtr<IDispatch>> namedItems_;
};

} // namespace quillon
