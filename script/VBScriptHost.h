// The driver host of the script driver: compiles the user's script when
// communication starts and answers every tag request by running a script
// procedure with a Request and a Value object.
#pragma once

#include "toolkit/IOHost.h"
#include "script/DriverHostObject.h"
#include "script/LinkExchange.h"
#include "script/LinkObject.h"
#include "script/RequestObject.h"
#include "script/VBScriptEngine.h"
#include "script/ValueObject.h"

#include <oaidl.h>
#include <map>
#include <string>
#include <string_view>

namespace quillon {

// A lock that a thread may take again while it holds it, and whose waits end
// at a deadline. Taking it when it is free costs no call into the system.
class ScriptLock {
public:
    ScriptLock();
    ~ScriptLock();
    ScriptLock(const ScriptLock &) = delete;
    ScriptLock &operator=(const ScriptLock &) = delete;

    // True with the lock held; false when waitMs passed first, or when the
    // lock was abandoned and another thread holds it.
    bool Enter(DWORD waitMs);
    void Leave();
    // Ends every wait for the lock, now and later: the work it guards is
    // stopping. The holder's own entries still succeed.
    void Abandon();
    bool Abandoned() const { return abandoned_ != 0; }

private:
    CRITICAL_SECTION section_;
    UniqueHandle released_;
    UniqueHandle abandonedEvent_;
    volatile LONG waiters_ = 0;
    volatile LONG abandoned_ = 0;
};

class CVBScriptHost : public CIOHost, private ILinkSource {
public:
    using CIOHost::CIOHost;

    // The name under which the script finds its link object.
    static constexpr char kLinkItemName[] = "QuillonLink";

    // Loads the object descriptions, creates the DriverHost object and the
    // engine, compiles VBScript.Code, connects it and runs OnStart. On failure
    // message holds the reason.
    HRESULT StartScript(std::string &message);
    // Closes the engine without running OnStop (after a failed start).
    void AbandonScript();

    // The script driver has no frame protocol of its own: only the answers
    // to the script's own exchanges are read, by the rule of each.
    HRESULT STDMETHODCALLTYPE ReceiveFrame(CFrameBuffer *receive, CFrameBuffer *) override {
        return NoThrow([&] { return exchanger_.ReceiveFrame(receive); });
    }
    HRESULT STDMETHODCALLTYPE OnBeforeSend(CFrameBuffer *frame) override {
        return NoThrow([&] {
            exchanger_.BeforeSend(frame);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE Read(DriverRequest *request, HVALUE value) override;
    HRESULT STDMETHODCALLTYPE Write(DriverRequest *request, HVALUE value) override;

    // Runs "<baseName>_<item>" or else baseName with a Request and a Value
    // object for the request.
    HRESULT RunRequest(DriverRequest *request, HVALUE value, const char *baseName);

    // Runs OnStop and closes the engine once no script call runs on another
    // thread, waiting at most waitMs. A call that holds the script longer
    // (one that cannot be interrupted) closes the engine when it returns;
    // OnStop is then skipped.
    bool EndSession(DWORD waitMs) override;

protected:
    ~CVBScriptHost() override;

private:
    // Script calls of one driver run one at a time, in the order they take
    // the script: the engine, the request objects kept for reuse and the
    // item procedures are used by one thread at a time. A thread that is
    // inside a call may enter again (a host's message loop that the script
    // waits in may make a request).
    class ScriptEntry {
    public:
        ScriptEntry(CVBScriptHost &host, DWORD waitMs);
        ~ScriptEntry();
        ScriptEntry(const ScriptEntry &) = delete;
        ScriptEntry &operator=(const ScriptEntry &) = delete;
        explicit operator bool() const { return entered_; }

    private:
        CVBScriptHost &host_;
        bool entered_;
    };
    // How long a request waits for the script calls before it.
    static constexpr DWORD kRequestWaitMs = 60000;

    // The one place where the driver runs a procedure of the script; the
    // caller holds a ScriptEntry.
    HRESULT CallScript(const char *name, unsigned count, VARIANT *args, bool quiet);
    // OnStop (unless a stop skipped it), then the engine closed; under a
    // ScriptEntry.
    void FinishScript();

    // What a request for one item runs first: the script's "<base>_<item>".
    // A script rarely defines one for every item, and asking the engine for
    // a name it lacks costs as much as the call itself, so a missing one is
    // asked for again only after kMissingProcedureRecheckMs (a procedure
    // that the script defines later, with ExecuteGlobal, is still found).
    struct ItemProcedure {
        std::string name;
        bool missing = false;
        ULONGLONG checkedAt = 0;
    };
    using ItemProcedures = std::map<std::wstring, ItemProcedure, std::less<>>;
    static constexpr ULONGLONG kMissingProcedureRecheckMs = 1000;
    static constexpr size_t kRememberedItems = 10000;

    void CloseEngine();

    // ILinkSource, for the script's link object.
    HRESULT RunExchange(const ByteString *send, const ReceiveRule *rule, ByteString &answer,
                        std::wstring &error) override;
    long LinkState() override;
    DWORD DefaultTimeoutMs() override;
    // Runs "<baseName>_<item>"; DISP_E_UNKNOWNNAME when the script has none.
    HRESULT RunItemProcedure(const char *baseName, const wchar_t *item, VARIANT *arguments);

    ComPtr<CVBScriptEngine> engine_;
    ComPtr<ITypeInfo> requestTypeInfo_;
    ComPtr<ITypeInfo> valueTypeInfo_;
    ComPtr<ITypeInfo> driverHostTypeInfo_;
    ComPtr<CDriverHostObject> driverHostObject_;
    ComPtr<ITypeInfo> linkTypeInfo_;
    ComPtr<CLinkObject> linkObject_;
    CLinkExchanger exchanger_;
    // By base name ("OnRead", "OnWrite"), then by item text.
    std::map<std::string, ItemProcedures, std::less<>> itemProcedures_;
    unsigned runningItemProcedures_ = 0;
    // The objects of the last request, kept for the next one when the
    // script kept no reference to them. A request made while another runs
    // (from a message loop the script waits in) finds none and makes its own.
    ComPtr<CRequestObject> spareRequest_;
    ComPtr<CValueObject> spareValue_;
    ScriptLock scriptLock_;
    // Entries of the thread that holds the script lock.
    unsigned scriptEntries_ = 0;
    // Set by a stop that could not run OnStop now: the call holding the
    // script finishes it when it returns.
    volatile LONG finishWhenIdle_ = 0;
    volatile LONG onStopSkipped_ = 0;
};

} // namespace quillon
