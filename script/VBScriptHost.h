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
        return exchanger_.ReceiveFrame(receive);
    }
    HRESULT STDMETHODCALLTYPE OnBeforeSend(CFrameBuffer *frame) override {
        exchanger_.BeforeSend(frame);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Read(DriverRequest *request, HVALUE value) override;
    HRESULT STDMETHODCALLTYPE Write(DriverRequest *request, HVALUE value) override;

    // Runs "<baseName>_<item>" or else baseName with a Request and a Value
    // object for the request.
    HRESULT RunRequest(DriverRequest *request, HVALUE value, const char *baseName);

protected:
    ~CVBScriptHost() override;

private:
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
};

} // namespace quillon
