// The script driver end to end: the DLL's exports, the driver object they
// share and the system's VBScript engine answering the requests.
#include "base/ControlTags.h"
#include "tests/support/DriverLibrary.h"
#include "tests/support/SystemThread.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace quillon;
using namespace quillon::test;

namespace {

constexpr HRESULT kUnknownName = static_cast<HRESULT>(0x80020006);

// The process-wide driver object behind the exports, driven through the
// exports for starting and stopping and through its interface where the
// full status code matters.
class ScriptDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(library_.Load());
        IIODriverInstance *driver = nullptr;
        ASSERT_EQ(library_.getDriverObject(&driver), 1);
        driver_ = ComPtr<IIODriverInstance>::Attach(driver);
        ASSERT_EQ(driver_->QueryInterface(__uuidof(IIOParseTag), parser_.put_void()), S_OK);
    }
    void TearDown() override {
        if (HasFailure()) std::printf("--- log ---\n%s--- end of log ---\n", ReadWholeFile(logPath_).c_str());
        parser_.reset();
        driver_.reset();
        // A started driver keeps its library loaded: stop it first.
        if (library_.stopComm) library_.stopComm(0, 0, 0, 0);
        library_.Unload();
    }

    Settings ScriptSettings(const std::string &script) const {
        return Settings().String("IO.Log.Filename", logPath_).Int("IO.Log.Enable", 1).String("VBScript.Code", script);
    }
    void Configure(const Settings &settings) {
        HValue handle = settings.Make();
        library_.setSettingsHandle(handle.get());
    }
    // drvStartComm's result with the script as VBScript.Code.
    short Start(const std::string &script) {
        Configure(ScriptSettings(script));
        return library_.startComm(0, 0, 0, 0);
    }
    short Stop() { return library_.stopComm(0, 0, 0, 0); }

    // A request on an item text, validated first as a host does.
    HRESULT Request(const wchar_t *item, uint16_t operation, HVALUE value, uint16_t blockSize = 1,
                    const wchar_t *device = L"") {
        TagInfo info = {};
        HRESULT result = parser_->Validate(device, item, &info);
        if (FAILED(result)) return result;
        DriverRequest request = MakeRequest(operation, info.n1, info.n2, info.n3, info.n4, value, 1, blockSize);
        request.flags = REQUEST_FLAG_VALIDATED;
        request.paramItem = item;
        request.paramDevice = device;
        return driver_->IO(&request, value);
    }
    HRESULT Read(const wchar_t *item, HVALUE value) { return Request(item, OP_READ_VALUE, value); }
    HRESULT Write(const wchar_t *item, HVALUE value) { return Request(item, OP_WRITE_VALUE, value); }
    HRESULT WriteR64(const wchar_t *item, double number) {
        HValue value = HValue::Create();
        hvSetR64(value.get(), number);
        return Write(item, value.get());
    }
    HRESULT WriteString(const wchar_t *item, const char *text) {
        HValue value = StringValue(text);
        return Write(item, value.get());
    }
    // The read value's text (for scripts that answer with Value.Value = "...").
    std::string ReadText(const wchar_t *item) {
        HValue value = HValue::Create();
        EXPECT_EQ(Read(item, value.get()), S_OK);
        return StringOf(value.get());
    }

    std::vector<std::string> Messages() const { return LogMessages(logPath_); }
    bool Logged(const std::string &message) const { return Contains(Messages(), "DRIVER\t" + message); }
    bool LoggedMatching(const std::string &pattern) const { return ContainsMatching(Messages(), "DRIVER\t" + pattern); }
    size_t CountOf(const std::string &message) const {
        size_t count = 0;
        for (const std::string &line : Messages())
            if (line == "DRIVER\t" + message) ++count;
        return count;
    }
    // Index of the first line equal to message, or -1.
    int IndexOf(const std::string &message) const {
        const auto messages = Messages();
        for (size_t i = 0; i < messages.size(); ++i)
            if (messages[i] == "DRIVER\t" + message) return static_cast<int>(i);
        return -1;
    }

    TestDriverLibrary library_;
    ComPtr<IIODriverInstance> driver_;
    ComPtr<IIOParseTag> parser_;
    ScratchDir scratch_;
    std::string logPath_ = scratch_.File("script.log");
};

const char kRunSucceeded[] = R"(  Run '%s': succeeded \([0-9]+\.[0-9]{3} seconds\))";

std::string RunSucceeded(const std::string &name) {
    std::string pattern = kRunSucceeded;
    pattern.replace(pattern.find("%s"), 2, name);
    return pattern;
}

// --- Starting ------------------------------------------------------------

TEST_F(ScriptDriverTest, StartCompilesAndRunsGlobalCodeAndOnStart) {
    ASSERT_EQ(Start("Host.Trace \"global\"\n"
                    "Sub OnStart\n"
                    "  Host.Trace \"started\"\n"
                    "End Sub\n"),
              1);
    EXPECT_EQ(Stop(), 1);
    EXPECT_TRUE(Logged("Script compiled successfully!"));
    EXPECT_TRUE(Logged("  Trace: global"));
    EXPECT_TRUE(Logged("  Trace: started"));
    EXPECT_TRUE(LoggedMatching(RunSucceeded("OnStart")));
    EXPECT_LT(IndexOf("Script compiled successfully!"), IndexOf("  Trace: started"));
}

TEST_F(ScriptDriverTest, MissingOnStartIsLoggedAndTheStartSucceeds) {
    ASSERT_EQ(Start("Dim x\nx = 1\n"), 1);
    EXPECT_TRUE(Logged("Script compiled successfully!"));
    EXPECT_TRUE(Logged("  Run 'OnStart': script not implemented"));
    EXPECT_EQ(Stop(), 1);
}

TEST_F(ScriptDriverTest, EmptyScriptStartsButAnswersNoRequest) {
    ASSERT_EQ(Start(""), 1);
    EXPECT_TRUE(Logged("Script compiled successfully!"));
    EXPECT_TRUE(Logged("  Run 'OnStart': script not implemented"));
    HValue value = HValue::Create();
    EXPECT_EQ(Read(L"Temp", value.get()), kUnknownName);
    EXPECT_EQ(WriteR64(L"Temp", 1), kUnknownName);
    EXPECT_TRUE(Logged("  Run 'OnRead': script not implemented"));
    EXPECT_TRUE(Logged("  Run 'OnWrite': script not implemented"));
    EXPECT_EQ(Stop(), 1);
}

TEST_F(ScriptDriverTest, NonTextCodeCountsAsEmpty) {
    Configure(Settings().String("IO.Log.Filename", logPath_).Int("IO.Log.Enable", 1).Int("VBScript.Code", 5));
    ASSERT_EQ(library_.startComm(0, 0, 0, 0), 1);
    EXPECT_TRUE(Logged("Script compiled successfully!"));
    EXPECT_TRUE(Logged("  Run 'OnStart': script not implemented"));
    HValue value = HValue::Create();
    EXPECT_EQ(Read(L"Temp", value.get()), kUnknownName);
    EXPECT_EQ(Stop(), 1);
}

TEST_F(ScriptDriverTest, CompileErrorFailsTheStartWithoutOnStop) {
    EXPECT_EQ(Start("Sub OnStop\n"
                    "  Host.Trace \"stopped\"\n"
                    "End Sub\n"
                    "Sub OnRead(Request, Value)\n"
                    "  If Then\n"
                    "End Sub\n"),
              -1);
    EXPECT_EQ(driver_->StartComm(0, 0, 0, 0), E_OUTOFMEMORY);
    const auto messages = Messages();
    int error = -1, failed = -1;
    for (size_t i = 0; i < messages.size(); ++i) {
        if (error < 0 && std::regex_match(messages[i], std::regex(R"(DRIVER\t  ERROR: .+ \(line 5, col [0-9]+\): .*)")))
            error = static_cast<int>(i);
        if (failed < 0 && messages[i] == "DRIVER\tError compiling script") failed = static_cast<int>(i);
    }
    EXPECT_GE(error, 0);
    EXPECT_GT(failed, error);
    EXPECT_FALSE(Logged("Script compiled successfully!"));

    HValue value = HValue::Create();
    EXPECT_EQ(Read(L"Temp", value.get()), IO_E_NOT_STARTED);
    Stop();
    // Unloading closes whatever the driver still holds.
    parser_.reset();
    driver_.reset();
    library_.Unload();
    EXPECT_FALSE(Logged("  Trace: stopped"));
    EXPECT_FALSE(LoggedMatching("  Run 'OnStop'.*"));
}

TEST_F(ScriptDriverTest, CompileErrorLineNamesLineAndColumnFromOne) {
    EXPECT_EQ(Start("Dim a\n"
                    "a = (1 + \n"),
              -1);
    EXPECT_TRUE(LoggedMatching(R"(  ERROR: .+ \(line 2, col [1-9][0-9]*\): .*)"));
    EXPECT_TRUE(Logged("Error compiling script"));
}

TEST_F(ScriptDriverTest, RunTimeErrorInGlobalCodeDoesNotStopTheStart) {
    ASSERT_EQ(Start("Dim x\n"
                    "x = 1 / 0\n"
                    "Sub OnStart\n"
                    "  Host.Trace \"started\"\n"
                    "End Sub\n"
                    "Sub OnRead(Request, Value)\n"
                    "  Value.Value = \"ok\"\n"
                    "End Sub\n"),
              1);
    EXPECT_TRUE(LoggedMatching(R"(  ERROR: .+ \(line 2, col [0-9]+\): .*)"));
    EXPECT_TRUE(Logged("Script compiled successfully!"));
    EXPECT_TRUE(Logged("  Trace: started"));
    EXPECT_EQ(ReadText(L"Temp"), "ok");
    EXPECT_EQ(Stop(), 1);
}

TEST_F(ScriptDriverTest, RunTimeErrorInOnStartDoesNotStopTheStart) {
    ASSERT_EQ(Start("Sub OnStart\n"
                    "  Dim x\n"
                    "  x = 1 / 0\n"
                    "End Sub\n"
                    "Sub OnRead(Request, Value)\n"
                    "  Value.Value = \"ok\"\n"
                    "End Sub\n"),
              1);
    EXPECT_TRUE(LoggedMatching(R"(  ERROR: .+ \(line 3, col [0-9]+\): .*)"));
    EXPECT_TRUE(LoggedMatching("  Run 'OnStart': failed \\([0-9A-F]{8}\\)"));
    EXPECT_EQ(ReadText(L"Temp"), "ok");
    EXPECT_EQ(Stop(), 1);
}

TEST_F(ScriptDriverTest, GoodScriptStartsAfterACompileError) {
    EXPECT_EQ(Start("Sub OnStop\n  Host.Trace \"stopped\"\nEnd Sub\nSub (\n"), -1);
    ASSERT_EQ(Start("Sub OnStart\n  Host.Trace \"second\"\nEnd Sub\n"
                    "Sub OnRead(Request, Value)\n  Value.Value = \"ok\"\nEnd Sub\n"),
              1);
    EXPECT_TRUE(Logged("  Trace: second"));
    EXPECT_EQ(ReadText(L"Temp"), "ok");
    EXPECT_EQ(Stop(), 1);
    EXPECT_FALSE(Logged("  Trace: stopped"));
}

// --- Stopping -------------------------------------------------------------

const char kStopScript[] = "Sub OnStart\n"
                           "  Host.Trace \"start \" & Tag\n"
                           "End Sub\n"
                           "Sub OnStop\n"
                           "  Host.Trace \"stop \" & Tag\n"
                           "End Sub\n";

TEST_F(ScriptDriverTest, OnStopRunsAtStopAndOnlyOnce) {
    ASSERT_EQ(Start(std::string("Const Tag = \"one\"\n") + kStopScript), 1);
    EXPECT_FALSE(Logged("  Trace: stop one"));
    EXPECT_EQ(Stop(), 1);
    EXPECT_TRUE(Logged("  Trace: stop one"));
    EXPECT_TRUE(LoggedMatching(RunSucceeded("OnStop")));
    Stop();
    EXPECT_EQ(CountOf("  Trace: stop one"), 1u);
    HValue value = HValue::Create();
    EXPECT_EQ(Read(L"Temp", value.get()), IO_E_NOT_STARTED);
}

TEST_F(ScriptDriverTest, SecondStartStopsTheFirstScriptFirst) {
    ASSERT_EQ(Start(std::string("Const Tag = \"one\"\n") + kStopScript), 1);
    ASSERT_EQ(Start(std::string("Const Tag = \"two\"\n") + kStopScript), 1);
    const int stopOne = IndexOf("  Trace: stop one");
    const int startTwo = IndexOf("  Trace: start two");
    EXPECT_GE(stopOne, 0);
    EXPECT_GT(startTwo, stopOne);
    EXPECT_EQ(Stop(), 1);
    EXPECT_EQ(CountOf("  Trace: stop one"), 1u);
    EXPECT_EQ(CountOf("  Trace: stop two"), 1u);
}

// A host that unloads the library while communication is started does not
// pull the code from under the script and the link: the library stays
// loaded and started, nothing runs inside the loader's lock, and a later
// stop runs OnStop and lets the library go.
TEST_F(ScriptDriverTest, UnloadWhileStartedKeepsTheLibraryUntilStopped) {
    ASSERT_EQ(Start(std::string("Const Tag = \"one\"\n") + kStopScript), 1);
    parser_.reset();
    driver_.reset();
    const HMODULE module = GetModuleHandleA("Quillon.dll");
    ASSERT_NE(nullptr, module);
    library_.Unload();
    EXPECT_EQ(module, GetModuleHandleA("Quillon.dll"));
    EXPECT_FALSE(Logged("  Trace: stop one"));

    ASSERT_NO_FATAL_FAILURE(library_.Load());
    HValue value = HValue::Create();
    DriverRequest status = HostTagRequest(HOST_TAG_WORK_ONLINE, OP_READ_VALUE, value.get());
    EXPECT_EQ(library_.io(&status, value.get()), 1);
    EXPECT_EQ(Stop(), 1);
    EXPECT_TRUE(Logged("  Trace: stop one"));
    library_.Unload();
    EXPECT_EQ(nullptr, GetModuleHandleA("Quillon.dll"));
}

// --- Requests -------------------------------------------------------------

const char kReadScript[] = "Sub OnRead_Temp(Request, Value)\n"
                           "  Value.Value = \"own\"\n"
                           "End Sub\n"
                           "Sub OnRead(Request, Value)\n"
                           "  Value.Value = \"general \" & Request.ParamItem\n"
                           "End Sub\n";

TEST_F(ScriptDriverTest, ItemProcedureComesFirst) {
    ASSERT_EQ(Start(kReadScript), 1);
    EXPECT_EQ(ReadText(L"Temp"), "own");
    EXPECT_EQ(ReadText(L"Other"), "general Other");
    EXPECT_TRUE(LoggedMatching(RunSucceeded("OnRead_Temp")));
    EXPECT_TRUE(LoggedMatching(RunSucceeded("OnRead")));
    EXPECT_EQ(CountOf("  Run 'OnRead_Temp': script not implemented"), 0u);
    EXPECT_FALSE(Logged("  Run 'OnRead_Other': script not implemented"));
    EXPECT_FALSE(LoggedMatching("  Run 'OnRead_Other'.*"));
    EXPECT_EQ(Stop(), 1);
}

// Item texts that are no script name reach the general procedure.
TEST_F(ScriptDriverTest, ItemsThatAreNoNameRunTheGeneralProcedure) {
    ASSERT_EQ(Start(kReadScript), 1);
    EXPECT_EQ(ReadText(L"Plant.Temp 1"), "general Plant.Temp 1");
    EXPECT_EQ(ReadText(L"40001"), "general 40001");
    EXPECT_EQ(ReadText(L"a-b(c)"), "general a-b(c)");
    EXPECT_EQ(Stop(), 1);
}

// Tag names outside Latin-1 show whole in the trace and the validation
// line, in the code page (characters it lacks become its default one).
TEST_F(ScriptDriverTest, ItemTextOutsideLatin1IsTracedWhole) {
    ASSERT_EQ(Start(kReadScript), 1);
    HValue value = HValue::Create();
    EXPECT_EQ(Read(L"\u20ACuro", value.get()), S_OK);
    EXPECT_EQ(Read(L"\u6771\u4EACuro", value.get()), S_OK);
    EXPECT_EQ(Stop(), 1);
    const std::vector<std::string> messages = Messages();
    for (const char *name : {".{1,2}uro", ".{2,4}uro"}) {
        const std::string tag = std::string(R"(Tag\(')") + name + R"('\))";
        EXPECT_TRUE(ContainsMatching(messages, "TAG\t" + tag + R"(\.Validate = SUCCESS \(type=0;flags=0\))")) << name;
        EXPECT_TRUE(ContainsMatching(messages, R"(TAG\t<== \(\d+\.\d{3}\) )" + tag + R"(\.ReadValue = .*'general )" +
                                                   name + "'"))
            << name;
    }
}

// Asking the engine again and again for an item procedure the script lacks
// would cost as much as the call; the driver asks again after a while, so
// one that the script defines later (ExecuteGlobal) still takes over.
TEST_F(ScriptDriverTest, ItemProcedureDefinedLaterIsFound) {
    ASSERT_EQ(Start("Dim calls\n"
                    "Sub OnRead_CanDefine(Request, Value)\n"
                    "    On Error Resume Next\n"
                    "    ExecuteGlobal \"Dim probe\"\n"
                    "    Value.Value = (Err.Number = 0)\n"
                    "End Sub\n"
                    "Sub OnRead(Request, Value)\n"
                    "    calls = calls + 1\n"
                    "    Value.Value = \"general\"\n"
                    "    If calls = 2 Then ExecuteGlobal \"Sub OnRead_Late(Request, Value)\" & vbLf & _\n"
                    "        \"Value.Value = \"\"own\"\"\" & vbLf & \"End Sub\"\n"
                    "End Sub\n"),
              1);
    HValue canDefine = HValue::Create();
    ASSERT_EQ(Read(L"CanDefine", canDefine.get()), S_OK);
    int32_t supported = 0;
    hvGetI32(canDefine.get(), &supported);
    if (!supported) {
        Stop();
        GTEST_SKIP() << "this VBScript engine has no ExecuteGlobal";
    }
    EXPECT_EQ(ReadText(L"Late"), "general");
    EXPECT_EQ(ReadText(L"Late"), "general");
    std::string answer;
    for (int attempt = 0; attempt < 2000 && answer != "own"; ++attempt) {
        answer = ReadText(L"Late");
        if (answer != "own") Sleep(5);
    }
    EXPECT_EQ(answer, "own");
    EXPECT_FALSE(LoggedMatching("  Run 'OnRead_Late': script not implemented"));
    EXPECT_EQ(Stop(), 1);
}

// The driver remembers per item text whether the script has a procedure of
// its own; a host that invents ever new item texts does not make that grow
// without end, and what is forgotten is found again.
TEST_F(ScriptDriverTest, ManyItemTextsKeepTheirProcedures) {
    Configure(Settings().String("VBScript.Code", kReadScript));
    ASSERT_EQ(library_.startComm(0, 0, 0, 0), 1);
    EXPECT_EQ(ReadText(L"Temp"), "own");
    for (int i = 0; i < 10050; ++i) {
        const std::wstring item = L"Item" + std::to_wstring(i);
        HValue value = HValue::Create();
        ASSERT_EQ(Read(item.c_str(), value.get()), S_OK) << i;
    }
    EXPECT_EQ(ReadText(L"Temp"), "own");
    EXPECT_EQ(ReadText(L"Other"), "general Other");
    EXPECT_EQ(Stop(), 1);
}

TEST_F(ScriptDriverTest, NeitherProcedureFailsWithUnknownName) {
    ASSERT_EQ(Start("Sub OnWrite(Request, Value)\nEnd Sub\n"), 1);
    HValue value = HValue::Create();
    EXPECT_EQ(Read(L"Temp", value.get()), kUnknownName);
    EXPECT_TRUE(Logged("  Run 'OnRead': script not implemented"));
    EXPECT_FALSE(LoggedMatching("  Run 'OnRead_Temp'.*"));
    EXPECT_EQ(Stop(), 1);
}

TEST_F(ScriptDriverTest, UntouchedReadLeavesAnEmptyList) {
    ASSERT_EQ(Start("Sub OnRead(Request, Value)\nEnd Sub\n"), 1);
    HValue value = I32Value(5);
    EXPECT_EQ(Read(L"Temp", value.get()), S_OK);
    EXPECT_EQ(hvGetType(value.get()), static_cast<unsigned>(HV_LIST));
    EXPECT_EQ(hvListCount(value.get()), 0u);
    EXPECT_EQ(Stop(), 1);
}

TEST_F(ScriptDriverTest, ReadValueIsAListAlready) {
    ASSERT_EQ(Start("Sub OnRead_List(Request, Value)\n"
                    "  Value.AddToList 1\n"
                    "  Value.AddToList \"two\"\n"
                    "End Sub\n"
                    "Sub OnRead_Peek(Request, Value)\n"
                    "  Dim v\n"
                    "  v = Value.Value\n"
                    "  Value.Value = 1\n"
                    "End Sub\n"),
              1);
    HValue list = HValue::Create();
    EXPECT_EQ(Read(L"List", list.get()), S_OK);
    EXPECT_EQ(hvGetType(list.get()), static_cast<unsigned>(HV_LIST));
    ASSERT_EQ(hvListCount(list.get()), 2u);
    HValue second;
    ASSERT_TRUE(hvGetElement(list.get(), 1, second.put()));
    EXPECT_EQ(StringOf(second.get()), "two");

    HValue peek = HValue::Create();
    EXPECT_TRUE(FAILED(Read(L"Peek", peek.get())));
    EXPECT_TRUE(LoggedMatching(R"(  ERROR: .+ \(line 7, col [0-9]+\): .*80070057.*)"));
    EXPECT_TRUE(LoggedMatching("  Run 'OnRead_Peek': failed \\([0-9A-F]{8}\\)"));
    EXPECT_EQ(Stop(), 1);
}

const char kWriteScript[] = "Dim last\n"
                            "Sub OnWrite_Assign(Request, Value)\n"
                            "  Value.Value = 1\n"
                            "End Sub\n"
                            "Sub OnWrite(Request, Value)\n"
                            "  last = Value.Value\n"
                            "End Sub\n"
                            "Sub OnRead(Request, Value)\n"
                            "  Value.Value = last\n"
                            "End Sub\n";

TEST_F(ScriptDriverTest, WrittenValueIsReadOnlyButReadable) {
    ASSERT_EQ(Start(kWriteScript), 1);
    EXPECT_TRUE(FAILED(WriteR64(L"Assign", 1)));
    EXPECT_TRUE(LoggedMatching(R"(  ERROR: .+ \(line 3, col [0-9]+\): .*80070005.*)"));
    EXPECT_TRUE(LoggedMatching("  Run 'OnWrite_Assign': failed \\([0-9A-F]{8}\\)"));

    EXPECT_EQ(WriteR64(L"Number", 2.5), S_OK);
    HValue number = HValue::Create();
    EXPECT_EQ(Read(L"Number", number.get()), S_OK);
    double read = 0;
    EXPECT_TRUE(hvGetR64(number.get(), &read));
    EXPECT_EQ(read, 2.5);

    EXPECT_EQ(WriteString(L"Text", "hello"), S_OK);
    EXPECT_EQ(ReadText(L"Text"), "hello");
    EXPECT_EQ(Stop(), 1);
}

TEST_F(ScriptDriverTest, FailRequestFailsWithSucceededRun) {
    ASSERT_EQ(Start("Sub OnRead(Request, Value)\n"
                    "  Value.Value = 1\n"
                    "  Request.FailRequest\n"
                    "End Sub\n"),
              1);
    HValue value = HValue::Create();
    EXPECT_EQ(Read(L"Temp", value.get()), E_FAIL);
    EXPECT_TRUE(LoggedMatching(RunSucceeded("OnRead")));
    EXPECT_EQ(Stop(), 1);
}

// Consecutive requests never see what an earlier one left in its objects:
// a failed request, a read-only written value, another item.
TEST_F(ScriptDriverTest, EachRequestStartsWithFreshObjects) {
    ASSERT_EQ(Start("Dim refused\n"
                    "Sub OnRead(Request, Value)\n"
                    "  If Request.ParamItem = \"Fail\" Then Request.FailRequest\n"
                    "  Value.Value = Request.ParamItem & \" \" & Request.IsSucceeded & \" \" & refused\n"
                    "End Sub\n"
                    "Sub OnWrite(Request, Value)\n"
                    "  On Error Resume Next\n"
                    "  Value.Value = 1\n"
                    "  refused = Hex(Err.Number)\n"
                    "End Sub\n"),
              1);
    HValue value = HValue::Create();
    EXPECT_EQ(Read(L"Fail", value.get()), E_FAIL);
    EXPECT_EQ(ReadText(L"Good"), "Good True ");
    EXPECT_EQ(WriteR64(L"Setpoint", 5.0), S_OK);
    EXPECT_EQ(ReadText(L"Other"), "Other True 80070005");
    EXPECT_EQ(ReadText(L"Fail2"), "Fail2 True 80070005");
    EXPECT_EQ(Stop(), 1);
}

TEST_F(ScriptDriverTest, RunTimeErrorFailsOnlyThatRequest) {
    ASSERT_EQ(Start("Dim count\n"
                    "Sub OnRead(Request, Value)\n"
                    "  count = count + 1\n"
                    "  If count = 1 Then\n"
                    "    Value.Value = 1 / 0\n"
                    "  End If\n"
                    "  Value.Value = \"served \" & count\n"
                    "End Sub\n"),
              1);
    HValue value = HValue::Create();
    EXPECT_TRUE(FAILED(Read(L"Temp", value.get())));
    EXPECT_TRUE(LoggedMatching(R"(  ERROR: .+ \(line 5, col [0-9]+\): .*)"));
    EXPECT_TRUE(LoggedMatching("  Run 'OnRead': failed \\([0-9A-F]{8}\\)"));
    EXPECT_EQ(ReadText(L"Temp"), "served 2");
    EXPECT_EQ(Stop(), 1);
}

TEST_F(ScriptDriverTest, RequestObjectCarriesTheRequest) {
    ASSERT_EQ(Start("Sub OnRead(Request, Value)\n"
                    "  Value.Value = Request.N1 & \",\" & Request.N2 & \",\" & Request.N3 & \",\" & Request.N4 & \",\" & "
                    "Request.Size & \",\" & Request.ParamDevice & \",\" & Request.ParamItem\n"
                    "End Sub\n"),
              1);
    HValue value = HValue::Create();
    DriverRequest request = MakeRequest(OP_READ_VALUE, -1, 2, 3, 4, value.get(), 1, 7);
    request.flags = REQUEST_FLAG_VALIDATED;
    request.paramDevice = L"Plc";
    request.paramItem = L"Temp";
    // Not a host control tag: n3 names no link property either, but the
    // request goes to the script only for item texts.
    request.n1 = 5;
    EXPECT_EQ(driver_->IO(&request, value.get()), S_OK);
    EXPECT_EQ(StringOf(value.get()), "5,2,3,4,7,Plc,Temp");
    EXPECT_EQ(Stop(), 1);
}

TEST_F(ScriptDriverTest, BlockReadsAndMaskWritesReachTheScript) {
    ASSERT_EQ(Start("Sub OnRead(Request, Value)\n"
                    "  Value.Value = \"size \" & Request.Size\n"
                    "End Sub\n"
                    "Sub OnWrite(Request, Value)\n"
                    "  Host.Trace \"write \" & Request.ParamItem & \" \" & Value.Value\n"
                    "End Sub\n"),
              1);
    HValue block = HValue::Create();
    EXPECT_EQ(Request(L"Block", OP_READ_BLOCK, block.get(), 10), S_OK);
    EXPECT_EQ(StringOf(block.get()), "size 10");
    HValue mask = I32Value(3);
    EXPECT_EQ(Request(L"Bits", OP_MASK_WRITE_VALUE, mask.get()), S_OK);
    EXPECT_TRUE(Logged("  Trace: write Bits 3"));
    EXPECT_EQ(Stop(), 1);
}

// --- Tags -----------------------------------------------------------------

TEST_F(ScriptDriverTest, TagValidation) {
    ASSERT_EQ(Start("Sub OnRead(Request, Value)\n  Value.Value = 1\nEnd Sub\n"), 1);
    TagInfo info = {};
    info.type = HV_R64;
    info.flags = TAG_ACCESS_NO_WRITE;
    EXPECT_EQ(parser_->Validate(L"", L"Temp", &info), S_OK);
    EXPECT_EQ(info.type, HV_R64);
    EXPECT_EQ(info.flags, TAG_ACCESS_NO_WRITE);

    TagInfo device = {};
    EXPECT_EQ(parser_->Validate(L"Plc", L"", &device), IO_E_TAG_NOT_ACCEPTED);

    TagInfo numbers = {};
    numbers.n1 = 1;
    numbers.n2 = 2;
    EXPECT_EQ(parser_->Validate(L"", L"", &numbers), S_OK);
    HValue value = HValue::Create();
    DriverRequest request = MakeRequest(OP_READ_VALUE, 1, 2, 0, 0, value.get());
    EXPECT_EQ(driver_->IO(&request, value.get()), IO_E_TAG_NOT_ACCEPTED);
    request.flags = REQUEST_FLAG_VALIDATED;
    EXPECT_EQ(driver_->IO(&request, value.get()), IO_E_TAG_NOT_ACCEPTED);
    HValue written = I32Value(1);
    DriverRequest write = MakeRequest(OP_WRITE_VALUE, 1, 2, 0, 0, written.get());
    EXPECT_EQ(driver_->IO(&write, written.get()), IO_E_TAG_NOT_ACCEPTED);
    EXPECT_TRUE(Logged("ERROR: Invalid Item parameter"));
    EXPECT_EQ(Stop(), 1);
}

// --- Values ---------------------------------------------------------------

TEST_F(ScriptDriverTest, QualityAndTimestampReachTheHost) {
    ASSERT_EQ(Start("Sub OnRead_Stamped(Request, Value)\n"
                    "  Value.Value = 1.5\n"
                    "  Value.Quality = 64\n"
                    "  Value.Timestamp = DateSerial(2020, 1, 2) + TimeSerial(3, 4, 5)\n"
                    "End Sub\n"
                    "Sub OnRead_Old(Request, Value)\n"
                    "  Value.Value = 1\n"
                    "  Value.Timestamp = DateSerial(1960, 1, 1)\n"
                    "End Sub\n"
                    "Sub OnRead_Bool(Request, Value)\n"
                    "  Value.Value = True\n"
                    "End Sub\n"
                    "Sub OnRead_Array(Request, Value)\n"
                    "  Value.Value = Array(1, 2, 3)\n"
                    "End Sub\n"
                    "Sub OnRead_Null(Request, Value)\n"
                    "  Value.Value = Null\n"
                    "End Sub\n"
                    "Sub OnRead_Quality(Request, Value)\n"
                    "  Value.Value = 1\n"
                    "  Value.Quality = 256\n"
                    "End Sub\n"),
              1);
    HValue stamped = HValue::Create();
    ASSERT_EQ(Read(L"Stamped", stamped.get()), S_OK);
    EXPECT_EQ(hvGetQuality(stamped.get()) & 0xFF, 64u);
    EXPECT_NEAR(hvGetTimestamp(stamped.get()), 1577934245.0, 0.001);

    HValue old = HValue::Create();
    hvSetTimestamp(old.get(), 1000);
    ASSERT_EQ(Read(L"Old", old.get()), S_OK);
    EXPECT_EQ(hvGetTimestamp(old.get()), 0.0);

    HValue boolean = HValue::Create();
    ASSERT_EQ(Read(L"Bool", boolean.get()), S_OK);
    int32_t number = 0;
    EXPECT_EQ(hvGetType(boolean.get()), static_cast<unsigned>(HV_I32));
    EXPECT_TRUE(hvGetI32(boolean.get(), &number));
    EXPECT_EQ(number, 1);

    HValue array = HValue::Create();
    ASSERT_EQ(Read(L"Array", array.get()), S_OK);
    EXPECT_EQ(hvGetType(array.get()), static_cast<unsigned>(HV_ARRAY | HV_HVAL));
    EXPECT_EQ(hvGetCount(array.get()), 3u);
    HValue third;
    ASSERT_TRUE(hvGetElement(array.get(), 2, third.put()));
    EXPECT_TRUE(hvGetI32(third.get(), &number));
    EXPECT_EQ(number, 3);

    HValue null = HValue::Create();
    EXPECT_TRUE(FAILED(Read(L"Null", null.get())));
    EXPECT_TRUE(LoggedMatching("  Run 'OnRead_Null': failed \\([0-9A-F]{8}\\)"));

    HValue quality = HValue::Create();
    EXPECT_TRUE(FAILED(Read(L"Quality", quality.get())));
    // The engine's line tells what was wrong.
    EXPECT_TRUE(LoggedMatching(R"(  ERROR: .+ \(line 21, col [0-9]+\): .*Quality must lie between 0 and 255.*)"));
    EXPECT_EQ(Stop(), 1);
}

TEST_F(ScriptDriverTest, ValueKeptByTheScriptOutlivesItsRequest) {
    ASSERT_EQ(Start("Dim kept\n"
                    "Sub OnRead_Keep(Request, Value)\n"
                    "  Set kept = Value\n"
                    "  Value.Value = 7\n"
                    "End Sub\n"
                    "Sub OnRead_Later(Request, Value)\n"
                    "  Value.Value = kept.Value + 1\n"
                    "  kept.Value = 9\n"
                    "End Sub\n"),
              1);
    {
        HValue first = HValue::Create();
        ASSERT_EQ(Read(L"Keep", first.get()), S_OK);
    }
    HValue later = HValue::Create();
    ASSERT_EQ(Read(L"Later", later.get()), S_OK);
    int32_t number = 0;
    EXPECT_TRUE(hvGetI32(later.get(), &number));
    EXPECT_EQ(number, 8);
    EXPECT_EQ(Stop(), 1);
}

// A Value object has no default member, so it cannot stand as an element of
// an array that the script stores: the read fails and nothing is stored.
TEST_F(ScriptDriverTest, ValueObjectsInsideArraysAreRefused) {
    ASSERT_EQ(Start("Sub OnRead(Request, Value)\n"
                    "  Value.Value = Array(Host.NewValue(2, 64), \"b\")\n"
                    "End Sub\n"),
              1);
    HValue array = HValue::Create();
    EXPECT_NE(Read(L"Temp", array.get()), S_OK);
    EXPECT_EQ(Stop(), 1);
}

// --- Several threads ------------------------------------------------------

// A host may call drvIO from several threads at once: the script sees one
// call at a time, and every request gets its own answer.
TEST_F(ScriptDriverTest, RequestsFromSeveralThreadsRunOneAtATime) {
    ASSERT_EQ(Start("Dim inside, overlaps, calls\n"
                    "Sub OnRead(Request, Value)\n"
                    "  inside = inside + 1\n"
                    "  If inside > 1 Then overlaps = overlaps + 1\n"
                    "  calls = calls + 1\n"
                    "  Dim i, x : For i = 1 To 100 : x = x + i : Next\n"
                    "  Value.Value = Request.ParamItem\n"
                    "  inside = inside - 1\n"
                    "End Sub\n"
                    "Sub OnRead_Count(Request, Value)\n"
                    "  Value.Value = calls & \" \" & (overlaps + 0)\n"
                    "End Sub\n"),
              1);
    constexpr int kThreads = 4, kReads = 250;
    std::vector<std::wstring> items;
    std::vector<DriverRequest> requests;
    for (int t = 0; t < kThreads; ++t) {
        items.push_back(L"T" + std::to_wstring(t));
        TagInfo info = {};
        ASSERT_EQ(parser_->Validate(L"", items.back().c_str(), &info), S_OK);
        requests.push_back(MakeRequest(OP_READ_VALUE, info.n1, info.n2, info.n3, info.n4, nullptr));
    }
    std::vector<int> wrong(kThreads, 0);
    {
        std::vector<std::unique_ptr<SystemThread>> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.push_back(std::make_unique<SystemThread>([&, t] {
                ComApartment apartment;
                const std::string expected = "T" + std::to_string(t);
                for (int i = 0; i < kReads; ++i) {
                    HValue value = HValue::Create();
                    DriverRequest request = requests[t];
                    request.flags = REQUEST_FLAG_VALIDATED;
                    request.paramItem = items[t].c_str();
                    request.paramDevice = L"";
                    request.value = value.get();
                    if (driver_->IO(&request, value.get()) != S_OK || StringOf(value.get()) != expected) ++wrong[t];
                }
            }));
        }
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
    EXPECT_EQ(ReadText(L"Count"), std::to_string(kThreads * kReads) + " 0");
    EXPECT_EQ(Stop(), 1);
}

// A stop that finds a script call running on another thread waits for it
// within a bound; when the call does not end in time OnStop is skipped, the
// call closes the script when it returns, and the library stays loaded for
// it even when the host unloads it meanwhile.
TEST_F(ScriptDriverTest, StopDuringALongCallLeavesTheEndToThatCall) {
    ASSERT_EQ(Start("Sub OnRead(Request, Value)\n"
                    "  Host.Trace \"inside\"\n"
                    "  Do While Value.Quality <> 7 : Loop\n"
                    "  Host.Trace \"released\"\n"
                    "  Value.Value = \"done\"\n"
                    "End Sub\n"
                    "Sub OnStop\n"
                    "  Host.Trace \"stopped\"\n"
                    "End Sub\n"),
              1);
    TagInfo info = {};
    ASSERT_EQ(parser_->Validate(L"", L"Hold", &info), S_OK);
    HValue value = HValue::Create();
    DriverRequest request = MakeRequest(OP_READ_VALUE, info.n1, info.n2, info.n3, info.n4, value.get());
    request.flags = REQUEST_FLAG_VALIDATED;
    request.paramItem = L"Hold";
    request.paramDevice = L"";
    short result = 0;
    const auto io = library_.io;
    SystemThread call([&] {
        ComApartment apartment;
        result = io(&request, value.get());
    });
    ASSERT_TRUE(WaitUntil([&] { return Logged("  Trace: inside"); }));
    // A second request waits for the script meanwhile.
    HValue second = HValue::Create();
    DriverRequest secondRequest = request;
    secondRequest.value = second.get();
    volatile LONG secondDone = 0;
    short secondResult = 0;
    SystemThread waiting([&] {
        ComApartment apartment;
        secondResult = io(&secondRequest, second.get());
        InterlockedExchange(&secondDone, 1);
    });
    // A read makes its value an empty list before it waits for the script.
    ASSERT_TRUE(WaitUntil([&] { return hvIsList(second.get()) != 0; }));

    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(Stop(), 1);
    EXPECT_LT(GetTickCount64() - start, 20000u);
    EXPECT_TRUE(LoggedMatching("drvStopComm: a script call still runs after [0-9]+ ms, OnStop is skipped; .*"));
    // The stop ends its wait: it fails without waiting for the first call.
    EXPECT_TRUE(WaitUntil([&] { return secondDone != 0; }));
    EXPECT_EQ(secondResult, -1);
    EXPECT_TRUE(Logged("ERROR: the driver stopped while the request waited for the script"));

    parser_.reset();
    driver_.reset();
    const HMODULE module = GetModuleHandleA("Quillon.dll");
    ASSERT_NE(nullptr, module);
    library_.Unload();
    EXPECT_EQ(module, GetModuleHandleA("Quillon.dll"));

    hvSetQuality(value.get(), 7);
    call.Join();
    waiting.Join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(StringOf(value.get()), "done");
    EXPECT_TRUE(WaitUntil([] { return GetModuleHandleA("Quillon.dll") == nullptr; }));
    EXPECT_TRUE(Logged("  Trace: released"));
    EXPECT_FALSE(Logged("  Trace: stopped"));
}

TEST_F(ScriptDriverTest, NoValueIsLeft) {
    Configure(ScriptSettings("Dim kept\n"
                             "Sub OnStart\n"
                             "  Set kept = Host.NewValue(1)\n"
                             "End Sub\n"
                             "Sub OnRead_Keep(Request, Value)\n"
                             "  Set kept = Value\n"
                             "  Value.AddToList Array(1, \"a\")\n"
                             "End Sub\n"
                             "Sub OnRead(Request, Value)\n"
                             "  Value.Value = Array(kept.Value, 2)\n"
                             "End Sub\n"
                             "Sub OnWrite(Request, Value)\n"
                             "  Set kept = Value\n"
                             "End Sub\n"));
    const long before = hvLiveCount();
    ASSERT_EQ(library_.startComm(0, 0, 0, 0), 1);
    {
        HValue first = HValue::Create();
        EXPECT_EQ(Read(L"Keep", first.get()), S_OK);
        EXPECT_EQ(WriteR64(L"Other", 3), S_OK);
        HValue second = HValue::Create();
        EXPECT_EQ(Read(L"Other", second.get()), S_OK);
        EXPECT_EQ(hvGetCount(second.get()), 2u);
        HValue again = HValue::Create();
        EXPECT_EQ(Read(L"Again", again.get()), S_OK);
    }
    EXPECT_EQ(Stop(), 1);
    EXPECT_EQ(hvLiveCount(), before);
}

} // namespace
