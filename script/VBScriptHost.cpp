#include "script/VBScriptHost.h"

#include "config/ConfigParameters.h"
#include "base/DriverInterfaces.h"
#include "base/ComText.h"
#include "script/DriverHostObject.h"
#include "script/RequestObject.h"
#include "script/ScriptObjects.h"
#include "script/ValueObject.h"

#include <activscp.h>

namespace quillon {

ScriptLock::ScriptLock()
    : released_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      abandonedEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    InitializeCriticalSection(&section_);
}

ScriptLock::~ScriptLock() { DeleteCriticalSection(&section_); }

bool ScriptLock::Enter(DWORD waitMs) {
    if (TryEnterCriticalSection(&section_)) return true;
    // Counted before the next try, so that a holder that leaves meanwhile
    // signals.
    InterlockedIncrement(&waiters_);
    const ULONGLONG deadline = GetTickCount64() + waitMs;
    bool entered = false;
    for (;;) {
        if (TryEnterCriticalSection(&section_)) {
            entered = true;
            break;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline || abandoned_) break;
        if (released_.valid() && abandonedEvent_.valid()) {
            const HANDLE events[] = {released_.get(), abandonedEvent_.get()};
            WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(deadline - now));
        } else {
            Sleep(1);
        }
    }
    InterlockedDecrement(&waiters_);
    return entered;
}

void ScriptLock::Abandon() {
    InterlockedExchange(&abandoned_, 1);
    if (abandonedEvent_.valid()) SetEvent(abandonedEvent_.get());
}

void ScriptLock::Leave() {
    LeaveCriticalSection(&section_);
    if (InterlockedCompareExchange(&waiters_, 0, 0) > 0 && released_.valid()) SetEvent(released_.get());
}

CVBScriptHost::ScriptEntry::ScriptEntry(CVBScriptHost &host, DWORD waitMs)
    : host_(host), entered_(host.scriptLock_.Enter(waitMs)) {
    if (entered_) ++host_.scriptEntries_;
}

CVBScriptHost::ScriptEntry::~ScriptEntry() {
    if (!entered_) return;
    if (host_.scriptEntries_ == 1 && InterlockedExchange(&host_.finishWhenIdle_, 0)) host_.FinishScript();
    --host_.scriptEntries_;
    host_.scriptLock_.Leave();
}

HRESULT CVBScriptHost::CallScript(const char *name, unsigned count, VARIANT *args, bool quiet) {
    return engine_->RunProcedure(name, count, args, quiet);
}

void CVBScriptHost::FinishScript() {
    if (!engine_) return;
    // Also runs from destructors, where nothing may throw.
    NoThrow([&] { return onStopSkipped_ ? S_OK : CallScript("OnStop", 0, nullptr, false); });
    CloseEngine();
}

bool CVBScriptHost::EndSession(DWORD waitMs) {
    ScriptEntry entry(*this, waitMs);
    if (!entry) {
        InterlockedExchange(&onStopSkipped_, 1);
        InterlockedExchange(&finishWhenIdle_, 1);
        // Requests still waiting for the script give up.
        scriptLock_.Abandon();
        Log(LOG_DRIVER, "drvStopComm: a script call still runs after %u ms, OnStop is skipped; the script closes when "
                        "that call returns", static_cast<unsigned>(waitMs));
        return false;
    }
    // Inside a script call of this very thread (a message loop that the
    // script waits in): that call finishes the script when it returns.
    if (scriptEntries_ > 1)
        InterlockedExchange(&finishWhenIdle_, 1);
    else
        FinishScript();
    return true;
}

CVBScriptHost::~CVBScriptHost() {
    // With the last reference gone no other thread is inside the script.
    FinishScript();
    // A script may have kept the link object beyond its engine.
    if (linkObject_) linkObject_->Detach();
    linkObject_.reset();
    linkTypeInfo_.reset();
    driverHostObject_.reset();
    driverHostTypeInfo_.reset();
    valueTypeInfo_.reset();
    requestTypeInfo_.reset();
}

void CVBScriptHost::CloseEngine() {
    if (engine_->IsOpen()) engine_->SetState(SCRIPTSTATE_DISCONNECTED);
    engine_->Close();
    engine_.reset();
}

void CVBScriptHost::AbandonScript() {
    if (engine_) CloseEngine();
}

HRESULT CVBScriptHost::StartScript(std::string &message) {
    message.clear();
    HRESULT result = LoadRequestTypeInfo(requestTypeInfo_.put());
    if (FAILED(result)) {
        message = "Internal Error, failed to load TypeInfo for Request object";
        return result;
    }
    result = LoadValueTypeInfo(valueTypeInfo_.put());
    if (FAILED(result)) {
        message = "Internal Error, failed to load TypeInfo for Value object";
        return result;
    }
    result = LoadDriverHostTypeInfo(driverHostTypeInfo_.put());
    if (FAILED(result)) {
        message = "Internal Error, failed to load TypeInfo for DriverHost object";
        return result;
    }
    result = CDriverHostObject::Create(valueTypeInfo_.get(), driverHostTypeInfo_.get(), GetGlobals(),
                                       driverHostObject_.put());
    if (FAILED(result)) {
        message = "Failed to create DriverHost object";
        return result;
    }
    result = LoadLinkTypeInfo(linkTypeInfo_.put());
    if (FAILED(result)) {
        message = "Internal Error, failed to load TypeInfo for QuillonLink object";
        return result;
    }
    result = CLinkObject::Create(linkTypeInfo_.get(), this, linkObject_.put());
    if (FAILED(result)) {
        message = "Failed to create QuillonLink object";
        return result;
    }
    result = CVBScriptEngine::Create(GetGlobals(), engine_.put());
    if (FAILED(result)) {
        message = "Failed to create VBScriptEngine object";
        return result;
    }
    const uint32_t limit = Configuration().GetU32(param::VBScriptTimeLimitSec, param::VBScriptTimeLimitDefaultSec);
    engine_->SetTimeLimit(1000 * (limit < param::VBScriptTimeLimitMostSec ? limit : param::VBScriptTimeLimitMostSec));

    // Compiling runs the script's global code: a script call like any other.
    ScriptEntry entry(*this, kRequestWaitMs);
    // An absent, non-text or empty VBScript.Code is an empty script.
    std::string text;
    if (const CConfigParameter *code = Configuration().Find(param::VBScriptCode)) {
        const char *stored = nullptr;
        if (hvGetString(code->Value(), &stored) && stored) text = stored;
    }

    engine_->AddHostObject(driverHostObject_.get());
    engine_->AddNamedObject(kLinkItemName, linkObject_.get());
    result = engine_->ParseScript(text.c_str());
    if (FAILED(result)) {
        message = "Error compiling script";
        return result;
    }
    if (!engine_->IsOpen()) {
        message = "Internal Error, failed to connect to script";
        return E_FAIL;
    }
    result = engine_->SetState(SCRIPTSTATE_CONNECTED);
    if (FAILED(result)) {
        message = "Internal Error, failed to connect to script";
        return result;
    }
    Log(LOG_DRIVER, "Script compiled successfully!");
    // A missing or failing OnStart has logged its reason; the start goes on.
    CallScript("OnStart", 0, nullptr, false);
    return S_OK;
}

HRESULT CVBScriptHost::RunExchange(const ByteString *send, const ReceiveRule *rule, ByteString &answer,
                                   std::wstring &error) {
    answer.clear();
    // The link of the moment: links come and go with the online switch.
    ComPtr<IIOInterface> link;
    if (FAILED(GetPhysicalLayer(link.put()))) {
        const char *type = nullptr;
        const CConfigParameter *configured = Configuration().Find(param::Type);
        if (configured && !hvGetString(configured->Value(), &type)) type = nullptr;
        error = !type || *type == 'N' || *type == 'n' ? L"no link is configured"
                                                      : L"the link is not started (the driver is offline)";
        return !type || *type == 'N' || *type == 'n' ? IO_E_INTERFACE_NONE : E_FAIL;
    }
    long state = LINK_STOPPED;
    link->GetLinkState(&state);
    if (state != LINK_CONNECTED) {
        error = L"the link is not connected";
        return E_FAIL;
    }
    LinkExchange exchange;
    exchange.link = link.get();
    exchange.send = send;
    exchange.rule = rule;
    const HRESULT result = exchanger_.Run(exchange);
    answer = std::move(exchange.answer);
    error = std::move(exchange.error);
    return result;
}

long CVBScriptHost::LinkState() {
    ComPtr<IIOInterface> link;
    if (FAILED(GetPhysicalLayer(link.put()))) return LINK_STOPPED;
    long state = LINK_STOPPED;
    link->GetLinkState(&state);
    return state;
}

DWORD CVBScriptHost::DefaultTimeoutMs() {
    const DWORD timeout = Configuration().GetU32(param::TimeoutMs, 1000);
    if (timeout == 0) return 1000;
    const DWORD most = static_cast<DWORD>(CLinkObject::kMaxTimeoutMs);
    return timeout > most ? most : timeout;
}

HRESULT STDMETHODCALLTYPE CVBScriptHost::Read(DriverRequest *request, HVALUE value) {
    // The script fills the value; an untouched read leaves an empty list.
    hvSetType(value, HV_LIST, 0);
    return NoThrow([&] { return RunRequest(request, value, "OnRead"); });
}

HRESULT STDMETHODCALLTYPE CVBScriptHost::Write(DriverRequest *request, HVALUE value) {
    return NoThrow([&] { return RunRequest(request, value, "OnWrite"); });
}

HRESULT CVBScriptHost::RunRequest(DriverRequest *request, HVALUE value, const char *baseName) {
    if (!baseName) return E_POINTER;
    ScriptEntry entry(*this, kRequestWaitMs);
    if (!entry) {
        if (scriptLock_.Abandoned())
            Log(LOG_DRIVER, "ERROR: the driver stopped while the request waited for the script");
        else
            Log(LOG_DRIVER, "ERROR: the script stayed busy for %u ms, request not run",
                static_cast<unsigned>(kRequestWaitMs));
        return E_FAIL;
    }
    if (!engine_) {
        Log(LOG_DRIVER, "ERROR: VBScript was not created");
        return E_FAIL;
    }
    if (!request->paramItem || !*request->paramItem) {
        Log(LOG_DRIVER, "ERROR: Invalid Item parameter");
        return IO_E_TAG_NOT_ACCEPTED;
    }
    const bool readOnly = (request->operation & OP_BIT_WRITE) != 0;
    ComPtr<CRequestObject> requestObject = std::move(spareRequest_);
    HRESULT result = S_OK;
    if (requestObject) {
        requestObject->Rebind(*request);
    } else {
        result = CRequestObject::Create(requestTypeInfo_.get(), *request, requestObject.put());
        if (FAILED(result)) {
            Log(LOG_DRIVER, "ERROR: Failed to create request object (%08X)", static_cast<unsigned>(result));
            return result;
        }
    }
    ComPtr<CValueObject> valueObject = std::move(spareValue_);
    if (valueObject) {
        valueObject->Rebind(value, readOnly);
    } else {
        result = CValueObject::Create(value, valueTypeInfo_.get(), readOnly, valueObject.put());
        if (FAILED(result)) {
            Log(LOG_DRIVER, "ERROR: Failed to create value object (%08X)", static_cast<unsigned>(result));
            return result;
        }
    }

    // The script receives the objects by reference; whatever it leaves in
    // the arguments is cleared with them.
    struct Arguments {
        VARIANT items[2];
        Arguments() {
            for (VARIANT &item : items) VariantInit(&item);
        }
        ~Arguments() { Clear(); }
        void Clear() {
            for (VARIANT &item : items) VariantClear(&item);
        }
    } arguments;
    arguments.items[0].vt = VT_DISPATCH;
    arguments.items[0].pdispVal = ComPtr<IDispatch>(requestObject.get()).detach();
    arguments.items[1].vt = VT_DISPATCH;
    arguments.items[1].pdispVal = ComPtr<IDispatch>(valueObject.get()).detach();
    VARIANT *raw = arguments.items;

    result = RunItemProcedure(baseName, request->paramItem, raw);
    if (result == DISP_E_UNKNOWNNAME) result = CallScript(baseName, 2, raw, false);
    if (SUCCEEDED(result)) {
        VARIANT_BOOL succeeded = VARIANT_FALSE;
        const HRESULT asked = requestObject->IsSucceeded(&succeeded);
        result = FAILED(asked) ? asked : (succeeded ? S_OK : E_FAIL);
    }
    arguments.Clear();
    // Objects that the script did not keep serve the next request; the
    // value object lets go of the host's value now.
    if (requestObject->IsSoleReference() && !spareRequest_) spareRequest_ = std::move(requestObject);
    if (valueObject->IsSoleReference() && !spareValue_) {
        valueObject->Rebind(nullptr, true);
        spareValue_ = std::move(valueObject);
    }
    return result;
}

HRESULT CVBScriptHost::RunItemProcedure(const char *baseName, const wchar_t *item, VARIANT *arguments) {
    auto base = itemProcedures_.find(baseName);
    if (base == itemProcedures_.end()) base = itemProcedures_.emplace(baseName, ItemProcedures()).first;
    auto known = base->second.find(std::wstring_view(item));
    if (known == base->second.end()) {
        // Item texts are the host's tags, but nothing bounds how many a host
        // may invent: forgetting them all now and then keeps memory bounded.
        // Not while a procedure runs: a request that the host makes while
        // the script waits (a message loop) would free the caller's entry.
        if (base->second.size() >= kRememberedItems && runningItemProcedures_ == 0) base->second.clear();
        ItemProcedure procedure;
        procedure.name = std::string(baseName) + "_" + NarrowFromWide(item);
        known = base->second.emplace(item, std::move(procedure)).first;
    }
    ItemProcedure &procedure = known->second;
    const ULONGLONG now = GetTickCount64();
    if (procedure.missing && now - procedure.checkedAt < kMissingProcedureRecheckMs) return DISP_E_UNKNOWNNAME;
    ++runningItemProcedures_;
    const HRESULT result = CallScript(procedure.name.c_str(), 2, arguments, true);
    --runningItemProcedures_;
    procedure.missing = result == DISP_E_UNKNOWNNAME;
    procedure.checkedAt = now;
    return result;
}

} // namespace quillon
