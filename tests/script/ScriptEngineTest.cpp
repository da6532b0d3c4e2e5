#include "script/VBScriptEngine.h"

#include "tests/script/ScriptTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace quillon {
namespace {

using test::LoggedGlobals;
using test::kFailure;
using test::TestObject;

const HRESULT kScriptErrorReported = static_cast<HRESULT>(0x80020101);

class ScriptEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, globals_.get());
        ASSERT_EQ(S_OK, CVBScriptEngine::Create(globals_.get(), &engine_));
        ASSERT_NE(nullptr, engine_);
    }

    void TearDown() override {
        if (!engine_) return;
        engine_->Close();
        // Close lets the engine drop its hold on the site: nothing may keep
        // the site alive after this.
        const ULONG left = engine_->Release();
        if (!siteMayLeak_) {
            EXPECT_EQ(0u, left);
        }
    }

    void Load(const char *script) {
        ASSERT_EQ(S_OK, engine_->ParseScript(script));
        ASSERT_EQ(S_OK, engine_->SetState(SCRIPTSTATE_CONNECTED));
    }

    std::vector<std::string> Messages() const { return globals_.DriverMessages(); }

    LoggedGlobals globals_;
    CVBScriptEngine *engine_ = nullptr;
    bool siteMayLeak_ = false;
};

bool StartsWith(const std::string &text, const std::string &prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

bool EndsWith(const std::string &text, const std::string &suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

TEST_F(ScriptEngineTest, CompileErrorIsReportedWithOneBasedPosition) {
    EXPECT_EQ(0u, engine_->LastErrorLine());
    EXPECT_EQ(0u, engine_->LastErrorColumn());

    EXPECT_EQ(kScriptErrorReported, engine_->ParseScript("Sub Foo()\r\n  x = 1 +\r\nEnd Sub\r\n"));

    EXPECT_EQ(2u, engine_->LastErrorLine());
    EXPECT_EQ(10u, engine_->LastErrorColumn());
    EXPECT_EQ("", engine_->LastErrorText());
    EXPECT_EQ(std::vector<std::string>{"  ERROR: Microsoft VBScript compilation error (line 2, col 10): "},
              Messages());
}

TEST_F(ScriptEngineTest, ErrorInFirstCharacterIsLineOneColumnOne) {
    EXPECT_EQ(kScriptErrorReported, engine_->ParseScript(")\r\n"));
    EXPECT_EQ(1u, engine_->LastErrorLine());
    EXPECT_EQ(1u, engine_->LastErrorColumn());
    EXPECT_EQ(std::vector<std::string>{"  ERROR: Microsoft VBScript compilation error (line 1, col 1): "},
              Messages());
}

TEST_F(ScriptEngineTest, RunTimeErrorInProcedureIsLoggedAndReturned) {
    Load("Sub Divide()\r\n"
         "  Dim x\r\n"
         "  x = 1 / 0\r\n"
         "End Sub\r\n");

    EXPECT_EQ(kScriptErrorReported, engine_->RunProcedure("Divide", 0, nullptr, false));

    // Wine's engine gives its own run-time errors neither source nor text.
    EXPECT_EQ(3u, engine_->LastErrorLine());
    EXPECT_EQ(3u, engine_->LastErrorColumn());
    EXPECT_EQ("", engine_->LastErrorText());
    EXPECT_EQ((std::vector<std::string>{
                  "  ERROR: VBScript error (line 3, col 3): ",
                  "  Run 'Divide': failed (80020101)",
              }),
              Messages());
}

TEST_F(ScriptEngineTest, RaisedErrorCarriesSourceAndDescription) {
    Load("Sub Check(frame)\r\n"
         "  If frame = \"\" Then Err.Raise 513, \"Protocol\", \"empty frame\"\r\n"
         "End Sub\r\n");
    VARIANT frame;
    VariantInit(&frame);

    EXPECT_EQ(kScriptErrorReported, engine_->RunProcedure("Check", 1, &frame, false));

    EXPECT_EQ(2u, engine_->LastErrorLine());
    EXPECT_EQ("empty frame", engine_->LastErrorText());
    const std::vector<std::string> messages = Messages();
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ("  ERROR: Protocol (line 2, col " + std::to_string(engine_->LastErrorColumn()) + "): empty frame",
              messages[0]);
    EXPECT_EQ("  Run 'Check': failed (80020101)", messages[1]);
}

TEST_F(ScriptEngineTest, MissingProcedureIsLoggedUnlessQuiet) {
    Load("Sub Present()\r\nEnd Sub\r\n");

    EXPECT_EQ(DISP_E_UNKNOWNNAME, engine_->RunProcedure("Foo", 0, nullptr, true));
    EXPECT_TRUE(Messages().empty());

    EXPECT_EQ(DISP_E_UNKNOWNNAME, engine_->RunProcedure("Foo", 0, nullptr, false));
    EXPECT_EQ(std::vector<std::string>{"  Run 'Foo': script not implemented"}, Messages());
}

TEST_F(ScriptEngineTest, NullArgumentsAreRefusedWithoutLogging) {
    EXPECT_EQ(E_POINTER, engine_->RunProcedure(nullptr, 0, nullptr, false));
    EXPECT_EQ(E_POINTER, engine_->RunProcedure("Foo", 1, nullptr, false));
    EXPECT_EQ(E_POINTER, engine_->ParseScript(nullptr));
    EXPECT_EQ(E_POINTER, engine_->AddHostObject(nullptr));
    EXPECT_TRUE(Messages().empty());
}

TEST_F(ScriptEngineTest, ArgumentsArePassedInOrderAndByReference) {
    Load("Sub Scale(first, second)\r\n"
         "  second = first * 10\r\n"
         "  first = \"done\"\r\n"
         "End Sub\r\n");
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[0].vt = VT_I4;
    args[0].lVal = 7;

    EXPECT_EQ(S_OK, engine_->RunProcedure("Scale", 2, args, false));

    ASSERT_EQ(VT_BSTR, args[0].vt);
    EXPECT_STREQ(L"done", args[0].bstrVal);
    VARIANT scaled;
    VariantInit(&scaled);
    ASSERT_EQ(S_OK, VariantChangeType(&scaled, &args[1], 0, VT_I4));
    EXPECT_EQ(70, scaled.lVal);
    VariantClear(&args[0]);
    VariantClear(&args[1]);

    const std::vector<std::string> messages = Messages();
    ASSERT_EQ(1u, messages.size());
    EXPECT_TRUE(StartsWith(messages[0], "  Run 'Scale': succeeded (")) << messages[0];
    EXPECT_TRUE(EndsWith(messages[0], " seconds)")) << messages[0];
}

TEST_F(ScriptEngineTest, AfterCloseEveryCallReportsTheMissingEngine) {
    Load("Sub Foo()\r\nEnd Sub\r\n");
    TestObject host;
    EXPECT_EQ(S_OK, engine_->Close());

    EXPECT_EQ(E_UNEXPECTED, engine_->RunProcedure("Foo", 0, nullptr, true));
    EXPECT_EQ(E_FAIL, engine_->AddHostObject(&host));
    EXPECT_EQ(E_FAIL, engine_->ParseScript("Dim a\r\n"));
    EXPECT_EQ(E_FAIL, engine_->SetState(SCRIPTSTATE_CONNECTED));
    EXPECT_EQ(std::vector<std::string>{"  Run 'Foo': internal error, GetScriptDispatch failed (8000FFFF)"},
              Messages());
    EXPECT_EQ(1u, host.refs());
}

TEST_F(ScriptEngineTest, SecondHostObjectReleasesTheFirst) {
    TestObject first;
    TestObject second;
    ASSERT_EQ(S_OK, engine_->AddHostObject(&first));
    const ULONG held = first.refs();
    EXPECT_LT(1u, held);

    EXPECT_EQ(S_OK, engine_->AddHostObject(&second));

    EXPECT_EQ(held - 1, first.refs());
    EXPECT_LT(1u, second.refs());
    engine_->Close();
    EXPECT_EQ(1u, first.refs());
    EXPECT_EQ(1u, second.refs());
}

TEST_F(ScriptEngineTest, HostMembersAreGlobalNames) {
    TestObject host;
    ASSERT_EQ(S_OK, engine_->AddHostObject(&host));
    Load("Sub Report()\r\n"
         "  Note CStr(Add(2, 3))\r\n"
         "End Sub\r\n");

    EXPECT_EQ(S_OK, engine_->RunProcedure("Report", 0, nullptr, false));

    EXPECT_EQ(std::vector<std::string>{"5"}, host.notes);
    engine_->Close();
    EXPECT_EQ(1u, host.refs());
}

TEST_F(ScriptEngineTest, FailingHostMemberBecomesScriptError) {
    TestObject host;
    ASSERT_EQ(S_OK, engine_->AddHostObject(&host));
    Load("Sub Poll(code)\r\n"
         "  On Error Resume Next\r\n"
         "  Fail\r\n"
         "  code = Hex(Err.Number) & \" \" & Err.Description\r\n"
         "  On Error GoTo 0\r\n"
         "  Fail\r\n"
         "End Sub\r\n");
    VARIANT code;
    VariantInit(&code);

    EXPECT_EQ(kScriptErrorReported, engine_->RunProcedure("Poll", 1, &code, false));

    ASSERT_EQ(VT_BSTR, code.vt);
    EXPECT_STREQ(L"80040201 device offline", code.bstrVal);
    VariantClear(&code);
    EXPECT_EQ(6u, engine_->LastErrorLine());
    EXPECT_EQ("device offline", engine_->LastErrorText());
    EXPECT_EQ((std::vector<std::string>{
                  "  ERROR: Device (line 6, col 3): device offline",
                  "  Run 'Poll': failed (80020101)",
              }),
              Messages());
    engine_->Close();
}

TEST_F(ScriptEngineTest, GlobalCodeRunsWhenConnected) {
    TestObject host;
    ASSERT_EQ(S_OK, engine_->AddHostObject(&host));
    ASSERT_EQ(S_OK, engine_->ParseScript("Note \"loaded\"\r\n"));
    EXPECT_TRUE(host.notes.empty());

    ASSERT_EQ(S_OK, engine_->SetState(SCRIPTSTATE_CONNECTED));

    EXPECT_EQ(std::vector<std::string>{"loaded"}, host.notes);
    engine_->Close();
}

TEST_F(ScriptEngineTest, ScriptCanCreateDictionary) {
    Load("Sub Lookup(result)\r\n"
         "  Dim d\r\n"
         "  Set d = CreateObject(\"Scripting.Dictionary\")\r\n"
         "  d.Add \"k\", 42\r\n"
         "  result = d.Item(\"k\")\r\n"
         "End Sub\r\n");
    VARIANT result;
    VariantInit(&result);

    EXPECT_EQ(S_OK, engine_->RunProcedure("Lookup", 1, &result, false));

    ASSERT_EQ(VT_I2, result.vt);
    EXPECT_EQ(42, result.iVal);
}

TEST_F(ScriptEngineTest, ScriptCanCreateXmlHttpRequest) {
    // Wine's XMLHTTP object keeps a reference to the site it was given.
    siteMayLeak_ = true;
    Load("Sub Make(result)\r\n"
         "  Dim request\r\n"
         "  Set request = CreateObject(\"MSXML2.XMLHTTP\")\r\n"
         "  result = IsObject(request)\r\n"
         "End Sub\r\n");
    VARIANT result;
    VariantInit(&result);

    EXPECT_EQ(S_OK, engine_->RunProcedure("Make", 1, &result, false));

    ASSERT_EQ(VT_BOOL, result.vt);
    EXPECT_EQ(VARIANT_TRUE, result.boolVal);
    EXPECT_EQ(0u, engine_->LastErrorLine());
}

// An engine's error report as the Windows engine gives it, the source
// line's text included.
class ReportedError : public IActiveScriptError {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void **out) override {
        if (iid == IID_IUnknown || iid == __uuidof(IActiveScriptError)) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetExceptionInfo(EXCEPINFO *exception) override {
        *exception = EXCEPINFO{};
        exception->scode = static_cast<HRESULT>(0x800A000B);
        exception->bstrSource = SysAllocString(L"Microsoft VBScript runtime error");
        exception->bstrDescription = SysAllocString(L"Division by zero");
        return S_OK;
    }
    STDMETHODIMP GetSourcePosition(DWORD *context, ULONG *line, LONG *column) override {
        if (context) *context = 0;
        if (line) *line = 2;
        if (column) *column = 4;
        return S_OK;
    }
    STDMETHODIMP GetSourceLineText(BSTR *text) override {
        *text = SysAllocString(L"  x = 1 / 0");
        return S_OK;
    }
};

// Wine's engine gives no source line text; another engine's text follows the
// description in braces.
TEST_F(ScriptEngineTest, ErrorLineHoldsPositionDescriptionAndSourceLine) {
    ReportedError error;
    EXPECT_EQ(S_OK, engine_->OnScriptError(&error));
    EXPECT_EQ(3u, engine_->LastErrorLine());
    EXPECT_EQ(5u, engine_->LastErrorColumn());
    EXPECT_EQ("Division by zero", engine_->LastErrorText());
    EXPECT_EQ(std::vector<std::string>{"  ERROR: Microsoft VBScript runtime error (line 3, col 5): Division by zero {  x = 1 / 0}"},
              Messages());
}

TEST_F(ScriptEngineTest, SiteAnswersItsInterfaces) {
    IServiceProvider *services = nullptr;
    ASSERT_EQ(S_OK, engine_->QueryInterface(__uuidof(IServiceProvider), reinterpret_cast<void **>(&services)));
    void *service = &service;
    EXPECT_EQ(E_NOINTERFACE, services->QueryService(IID_IUnknown, IID_IUnknown, &service));
    EXPECT_EQ(nullptr, service);
    services->Release();

    IActiveScriptSiteWindow *window = nullptr;
    ASSERT_EQ(S_OK, engine_->QueryInterface(__uuidof(IActiveScriptSiteWindow), reinterpret_cast<void **>(&window)));
    HWND handle = reinterpret_cast<HWND>(1);
    EXPECT_EQ(E_FAIL, window->GetWindow(&handle));
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(E_FAIL, window->EnableModeless(TRUE));
    window->Release();

    void *other = &other;
    EXPECT_EQ(E_NOINTERFACE, engine_->QueryInterface(IID_IDispatch, &other));
    EXPECT_EQ(nullptr, other);
}

TEST_F(ScriptEngineTest, ItemInfoComesFromTheNamedItems) {
    TestObject host;
    ASSERT_EQ(S_OK, engine_->AddHostObject(&host));
    IUnknown *item = nullptr;
    ITypeInfo *info = nullptr;

    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, engine_->GetItemInfo(L"host", SCRIPTINFO_IUNKNOWN, &item, &info));
    EXPECT_EQ(E_POINTER, engine_->GetItemInfo(L"Host", SCRIPTINFO_ITYPEINFO, &item, nullptr));
    EXPECT_EQ(E_NOINTERFACE, engine_->GetItemInfo(L"Host", SCRIPTINFO_ITYPEINFO | SCRIPTINFO_IUNKNOWN, &item, &info));
    EXPECT_EQ(nullptr, item);

    const ULONG before = host.refs();
    ASSERT_EQ(S_OK, engine_->GetItemInfo(L"Host", SCRIPTINFO_IUNKNOWN, &item, &info));
    EXPECT_EQ(static_cast<IUnknown *>(static_cast<IDispatch *>(&host)), item);
    EXPECT_EQ(nullptr, info);
    EXPECT_EQ(before + 1, host.refs());
    item->Release();
    engine_->Close();
}

// {B54F3741-5B07-11CF-A4B0-00AA004A55E8}: the VBScript engine.
const CLSID kVBScriptClass = {0xB54F3741, 0x5B07, 0x11CF, {0xA4, 0xB0, 0x00, 0xAA, 0x00, 0x4A, 0x55, 0xE8}};

// Registered for the VBScript engine's class: hands every creation to the
// engine's own class object and counts the references that callers hold.
class CountingEngineClass : public IClassFactory {
public:
    explicit CountingEngineClass(IClassFactory *engineClass) : engineClass_(engineClass) {}

    volatile LONG refs = 1;
    volatile LONG creations = 0;

    STDMETHODIMP QueryInterface(REFIID iid, void **out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
        *out = static_cast<IClassFactory *>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs)); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(InterlockedDecrement(&refs)); }
    STDMETHODIMP CreateInstance(IUnknown *outer, REFIID iid, void **out) override {
        InterlockedIncrement(&creations);
        return engineClass_->CreateInstance(outer, iid, out);
    }
    STDMETHODIMP LockServer(BOOL lock) override { return engineClass_->LockServer(lock); }

private:
    IClassFactory *engineClass_;
};

// Each engine is made through the system on the thread that creates it: no
// class object stays held between engines (to be used later on another
// thread, or let go on whichever thread drops the last engine).
TEST(EngineClassTest, EnginesHoldNoClassObject) {
    ComPtr<IClassFactory> engineClass;
    ASSERT_EQ(S_OK, CoGetClassObject(kVBScriptClass, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                     engineClass.put_void()));
    CountingEngineClass counting(engineClass.get());
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, CoRegisterClassObject(kVBScriptClass, &counting, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                          &cookie));
    const LONG registered = counting.refs;
    {
        LoggedGlobals globals;
        CVBScriptEngine *first = nullptr;
        ASSERT_EQ(S_OK, CVBScriptEngine::Create(globals.get(), &first));
        EXPECT_EQ(1, counting.creations);
        EXPECT_EQ(registered, counting.refs);
        CVBScriptEngine *second = nullptr;
        ASSERT_EQ(S_OK, CVBScriptEngine::Create(globals.get(), &second));
        EXPECT_EQ(2, counting.creations);
        EXPECT_EQ(registered, counting.refs);
        for (CVBScriptEngine *engine : {first, second}) {
            engine->Close();
            engine->Release();
        }
    }
    EXPECT_EQ(registered, counting.refs);
    EXPECT_EQ(S_OK, CoRevokeClassObject(cookie));
}

#ifdef _WIN64
using SourceCookie = DWORDLONG;
#else
using SourceCookie = DWORD;
#endif

// An engine whose compiler fails with a code other than DISP_E_EXCEPTION and
// still leaves texts in the caller's exception record.
class RefusingEngine : public IActiveScript, public IActiveScriptParse {
public:
    static constexpr UINT kTextLength = 777;
    BSTR texts[3] = {};

    STDMETHODIMP QueryInterface(REFIID iid, void **out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == __uuidof(IActiveScript))
            *out = static_cast<IActiveScript *>(this);
        else if (iid == __uuidof(IActiveScriptParse))
            *out = static_cast<IActiveScriptParse *>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override { return --refs_; }

    STDMETHODIMP SetScriptSite(IActiveScriptSite *) override { return S_OK; }
    STDMETHODIMP GetScriptSite(REFIID, void **) override { return E_NOTIMPL; }
    STDMETHODIMP SetScriptState(SCRIPTSTATE) override { return E_NOTIMPL; }
    STDMETHODIMP GetScriptState(SCRIPTSTATE *) override { return E_NOTIMPL; }
    STDMETHODIMP Close() override { return S_OK; }
    STDMETHODIMP AddNamedItem(LPCOLESTR, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP AddTypeLib(REFGUID, DWORD, DWORD, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetScriptDispatch(LPCOLESTR, IDispatch **) override { return E_NOTIMPL; }
    STDMETHODIMP GetCurrentScriptThreadID(SCRIPTTHREADID *) override { return E_NOTIMPL; }
    STDMETHODIMP GetScriptThreadID(DWORD, SCRIPTTHREADID *) override { return E_NOTIMPL; }
    STDMETHODIMP GetScriptThreadState(SCRIPTTHREADID, SCRIPTTHREADSTATE *) override { return E_NOTIMPL; }
    STDMETHODIMP InterruptScriptThread(SCRIPTTHREADID, const EXCEPINFO *, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Clone(IActiveScript **) override { return E_NOTIMPL; }

    STDMETHODIMP InitNew() override { return S_OK; }
    STDMETHODIMP AddScriptlet(LPCOLESTR, LPCOLESTR, LPCOLESTR, LPCOLESTR, LPCOLESTR, LPCOLESTR, SourceCookie, ULONG,
                              DWORD, BSTR *, EXCEPINFO *) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP ParseScriptText(LPCOLESTR, LPCOLESTR, IUnknown *, LPCOLESTR, SourceCookie, ULONG, DWORD, VARIANT *,
                                 EXCEPINFO *exception) override {
        for (BSTR &text : texts) text = SysAllocStringLen(nullptr, kTextLength);
        exception->bstrSource = texts[0];
        exception->bstrDescription = texts[1];
        exception->bstrHelpFile = texts[2];
        return E_FAIL;
    }

private:
    ULONG refs_ = 1;
};

class RefusingEngineClass : public IClassFactory {
public:
    explicit RefusingEngineClass(RefusingEngine &engine) : engine_(engine) {}
    STDMETHODIMP QueryInterface(REFIID iid, void **out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
        *out = static_cast<IClassFactory *>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown *, REFIID iid, void **out) override {
        return engine_.QueryInterface(iid, out);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    RefusingEngine &engine_;
};

// The texts that the compiler leaves in the exception record are freed
// whatever its result. A freed text's memory is what the next text of its
// size receives (the system keeps freed texts for reuse).
TEST(EngineClassTest, CompilerTextsAreFreedWhateverTheResult) {
    RefusingEngine stand;
    RefusingEngineClass standClass(stand);
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, CoRegisterClassObject(kVBScriptClass, &standClass, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                          &cookie));
    {
        LoggedGlobals globals;
        CVBScriptEngine *engine = nullptr;
        ASSERT_EQ(S_OK, CVBScriptEngine::Create(globals.get(), &engine));
        EXPECT_EQ(E_FAIL, engine->ParseScript("x"));
        engine->Close();
        engine->Release();
    }
    EXPECT_EQ(S_OK, CoRevokeClassObject(cookie));

    std::vector<BSTR> again;
    for (int i = 0; i < 6; ++i) again.push_back(SysAllocStringLen(nullptr, RefusingEngine::kTextLength));
    for (BSTR text : stand.texts) EXPECT_NE(again.end(), std::find(again.begin(), again.end(), text));
    for (BSTR text : again) SysFreeString(text);
}

} // namespace
} // namespace quillon
