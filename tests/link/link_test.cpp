// The script's QuillonLink object, run through the driver DLL with the real
// VBScript engine: the byte helpers, bad input and the script's own names
// without a link, then exchanges over the serial link on the serial rig
// (libmodbus's RTU slave and the rig's echo, silent and half devices).
#include "base/ControlTags.h"
#include "tests/support/DriverLibrary.h"
#include "tests/support/ProcessCounts.h"
#include "tests/support/SerialRig.h"
#include "tests/support/SystemThread.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <atomic>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

using namespace quillon;
using namespace quillon::test;

namespace {

const auto *const kRig = ::testing::AddGlobalTestEnvironment(new RigQueue);

// Each result of a script joined with "|".
const char kCollect[] = "Function R(x)\n    R = x & \"|\"\nEnd Function\n";

class LinkTest : public DriverFixture {
protected:
    void TearDown() override {
        parser_.reset();
        DriverFixture::TearDown();
    }
    void Start(const std::string &script, Settings settings = Settings()) {
        settings.String("IO.Log.Filename", logPath_).Int("IO.Log.Enable", 1).String("VBScript.Code", script);
        StartWith(Instance(), settings);
        ASSERT_EQ(Instance()->QueryInterface(__uuidof(IIOParseTag), parser_.put_void()), S_OK);
    }
    void StartSerial(const std::string &script, unsigned port, Settings settings = Settings()) {
        Start(script, settings.String("IO.Type", "Serial").Int("IO.Serial.Port", static_cast<int32_t>(port)));
    }
    void Stop() {
        parser_.reset();
        ASSERT_EQ(Instance()->StopComm(0, 0, 0, 0), S_OK);
    }
    HRESULT Read(const wchar_t *item, HVALUE value) {
        TagInfo info = {};
        HRESULT result = parser_->Validate(L"", item, &info);
        if (FAILED(result)) return result;
        DriverRequest request = MakeRequest(OP_READ_VALUE, 0, 0, 0, 0, value);
        request.flags = REQUEST_FLAG_VALIDATED;
        request.paramItem = item;
        return Instance()->IO(&request, value);
    }
    // The text a script's read procedure answers with, or the failure.
    std::string Text(const wchar_t *item) {
        HValue value = HValue::Create();
        const HRESULT result = Read(item, value.get());
        if (FAILED(result)) {
            char failure[32];
            snprintf(failure, sizeof failure, "failed %08X", static_cast<unsigned>(result));
            return failure;
        }
        return StringOf(value.get());
    }

    ComPtr<IIOParseTag> parser_;
};

TEST_F(LinkTest, HelpersDoTheByteChoresAndGiveArraysTheEngineCanUse) {
    Start(std::string(kCollect) + R"(
Sub OnRead(Request, Value)
    Dim L, s, b, i, total
    Set L = QuillonLink
    s = R(L.Hex(Array(1, 3, 0, 0, 0, 10))) & R(L.Hex(L.Bytes("01 03 00 00 00 0a"))) & R(L.Hex("0103 000A"))
    s = s & R(Hex(L.Crc16("01 03 00 00 00 0A"))) & R(L.Lrc(Array(1, 3, 0, 0, 0, 10)))
    s = s & R(L.GetInt16("FF FE", 0)) & R(L.GetInt16("FF FE", 0, True)) & R(L.GetUInt16("FF FE", 0))
    s = s & R(L.GetInt32("00 FF FF FF FE", 1)) & R(L.GetUInt32("FF FF FF FE", 0)) & R(L.GetUInt32("FE FF FF FF", 0, True))
    s = s & R(L.GetFloat("3F C0 00 00", 0)) & R(L.GetFloat("00 00 C0 3F", 0, True))
    s = s & R(L.Hex(L.Int16Bytes(-2))) & R(L.Hex(L.Int16Bytes(258, True))) & R(L.Hex(L.Int32Bytes(4294967294)))
    s = s & R(L.Hex(L.Int32Bytes(-2, True))) & R(L.Hex(L.FloatBytes(1.5))) & R(L.Hex(L.FloatBytes(-2, True)))
    s = s & R(L.Hex(L.Concat(1, "02 03"))) & R(L.Hex(L.Slice("01 02 03 04", 1, 2))) & R(L.Hex(L.Slice("01", 1, 0)))
    s = s & R(L.BytesText(L.TextBytes("AT" & vbCr)) = "AT" & vbCr) & R(L.Hex(L.TextBytes("A~")))
    b = L.Bytes("01 02 03")
    For Each i In b
        total = total + i
    Next
    s = s & R(UBound(b) & " " & total & " " & TypeName(b(0)) & " " & L.State)
    Value.Value = s
End Sub
)");
    EXPECT_EQ(Text(L"Helpers"), "01 03 00 00 00 0A|01 03 00 00 00 0A|01 03 00 0A|CDC5|242|"
                                "-2|-257|65534|-2|4294967294|4294967294|1.5|1.5|"
                                "FF FE|02 01|FF FF FF FE|FE FF FF FF|3F C0 00 00|00 00 00 C0|"
                                "01 02 03|02 03||True|41 7E|2 6 Long 0|");
}

// Each bad call, made under On Error Resume Next, and the error number and
// text the script sees.
struct BadCall {
    const char *call;
    const char *error;
};
const BadCall kBadCalls[] = {
    {"x = L.Bytes(\"01 0\")", "80070057 QuillonLink.Bytes: hex text has a lone digit at character 4 (80070057)"},
    {"x = L.Bytes(\"01 0G\")",
     "80070057 QuillonLink.Bytes: hex text has a character that is no hex digit at character 5 (80070057)"},
    {"x = L.Bytes(Array(1, 256))", "80070057 QuillonLink.Bytes: element 1 is not a number from 0 to 255 (80070057)"},
    {"x = L.Bytes(Array(-1))", "80070057 QuillonLink.Bytes: element 0 is not a number from 0 to 255 (80070057)"},
    {"x = L.Bytes(Array(2.5))", "80070057 QuillonLink.Bytes: element 0 is not a number from 0 to 255 (80070057)"},
    {"x = L.Bytes(Array(\"01\"))", "80070057 QuillonLink.Bytes: element 0 is not a number from 0 to 255 (80070057)"},
    {"x = L.Bytes(Nothing)",
     "80070057 QuillonLink.Bytes: bytes must be an array of numbers, hex text or one number (80070057)"},
    {"x = L.Receive(-1)",
     "80070057 QuillonLink.Receive: the count of bytes to receive must lie between 1 and 65535 (80070057)"},
    {"x = L.Receive(70000)",
     "80070057 QuillonLink.Receive: the count of bytes to receive must lie between 1 and 65535 (80070057)"},
    {"x = L.Receive(1, 0)", "80070057 QuillonLink.Receive: the time-out must lie between 1 and 60000 ms (80070057)"},
    {"x = L.Receive(\"many\")", "D Type mismatch"},
    {"x = L.ReceiveUntil(\"\", 5)", "80070057 QuillonLink.ReceiveUntil: the terminator is empty (80070057)"},
    {"x = L.GetInt16(\"01\", 0)",
     "80070057 QuillonLink.GetInt16: the offset leaves too few bytes for the number (80070057)"},
    {"x = L.GetInt16(\"01 02\", 0, \"sideways\")",
     "80070057 QuillonLink.GetInt16: the byte order must be True (little-endian) or False (big-endian) (80070057)"},
    {"x = L.Int16Bytes(70000)",
     "80070057 QuillonLink.Int16Bytes: the value must lie between -32768 and 65535 (80070057)"},
    {"x = L.Int32Bytes(1.5)",
     "80070057 QuillonLink.Int32Bytes: the value must be a whole number between -2147483648 and 4294967295 (80070057)"},
    {"x = L.Concat(L.TextBytes(String(32768, \"A\")), L.TextBytes(String(32768, \"A\")))",
     "80070057 QuillonLink.Concat: the result would hold more than 65535 bytes (80070057)"},
    {"x = L.TextBytes(String(65536, \"A\"))",
     "80070057 QuillonLink.TextBytes: the text is longer than 65535 characters (80070057)"},
    {"x = L.Slice(\"01 02\", 1, 5)", "80070057 QuillonLink.Slice: offset and count reach beyond the bytes (80070057)"},
    {"L.Send \"\"", "80070057 QuillonLink.Send: there is nothing to send (80070057)"},
    {"L.Send \"01 03\"", "8004E001 QuillonLink.Send: no link is configured (8004E001)"},
    {"x = L.Transact(\"01\", 1)", "8004E001 QuillonLink.Transact: no link is configured (8004E001)"},
};

TEST_F(LinkTest, BadInputIsAScriptErrorWithAClearTextAndTheDriverRunsOn) {
    std::string script = std::string(kCollect) + "Sub OnRead_Bad(Request, Value)\n"
                                                 "    Dim L, s, x\n    Set L = QuillonLink\n    On Error Resume Next\n";
    for (const BadCall &bad : kBadCalls)
        script += std::string("    ") + bad.call + " : s = s & R(Hex(Err.Number) & \" \" & Err.Description) : Err.Clear\n";
    Start(script + "    Value.Value = s\nEnd Sub\n"
                   "Sub OnRead_Good(Request, Value)\n    Value.Value = QuillonLink.Hex(Array(255))\nEnd Sub\n");
    const std::string all = Text(L"Bad");
    std::vector<std::string> errors;
    std::istringstream results(all);
    for (std::string error; std::getline(results, error, '|');) errors.push_back(error);
    ASSERT_EQ(errors.size(), std::size(kBadCalls)) << all;
    for (size_t i = 0; i < errors.size(); ++i) EXPECT_EQ(errors[i], kBadCalls[i].error) << kBadCalls[i].call;
    EXPECT_EQ(Text(L"Good"), "FF");
    Stop();
}

// The link object is a named item without global members: a script's own
// declaration of the name comes first, and Host stays as it was.
TEST_F(LinkTest, ScriptsOwnDeclarationsOfTheNameComeFirst) {
    const char *const scripts[] = {
        "Dim QuillonLink\nQuillonLink = 5\n"
        "Function Twice(QuillonLink)\n    Twice = QuillonLink * 2\nEnd Function\n"
        "Sub OnRead(Request, Value)\n    Trace \"global\"\n    Host.Trace \"named\"\n"
        "    Value.Value = CStr(QuillonLink + Twice(4))\nEnd Sub\n",
        "Function QuillonLink(x)\n    QuillonLink = x + 12\nEnd Function\n"
        "Sub OnRead(Request, Value)\n    Value.Value = CStr(QuillonLink(1))\nEnd Sub\n",
        "Class QuillonLink\n    Public Function Number()\n        Number = 13\n    End Function\nEnd Class\n"
        "Sub OnRead(Request, Value)\n    Dim o\n    Set o = New QuillonLink\n    Value.Value = CStr(o.Number)\nEnd Sub\n",
    };
    for (const char *script : scripts) {
        Start(script);
        EXPECT_EQ(Text(L"Any"), "13") << script;
        Stop();
    }
    EXPECT_TRUE(Contains(Messages(), "DRIVER\t  Trace: global"));
    EXPECT_TRUE(Contains(Messages(), "DRIVER\t  Trace: named"));

    // Undeclared, the name is the object's and cannot be assigned: the
    // request fails, the driver goes on.
    Start("Sub OnRead_Assign(Request, Value)\n    QuillonLink = 5\nEnd Sub\n"
          "Sub OnRead(Request, Value)\n    Value.Value = TypeName(QuillonLink)\nEnd Sub\n");
    EXPECT_EQ(Text(L"Assign").rfind("failed ", 0), 0u);
    EXPECT_EQ(Text(L"Other"), "ILinkObject");
    Stop();
}

TEST_F(LinkTest, TypeLibraryDescribesTheLinkObjectBesideTheThreeOthers) {
    HMODULE module = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(library_.createDriverInstance), &module));
    wchar_t path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(module, path, MAX_PATH), 0u);
    ComPtr<ITypeLib> library;
    ASSERT_EQ(LoadTypeLib(path, library.put()), S_OK);
    const IID link = {0xD8160728, 0xDA7A, 0x4169, {0xBD, 0xEF, 0x6A, 0x06, 0xD2, 0xB2, 0x5D, 0x83}};
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(library->GetTypeInfoOfGuid(link, info.put()), S_OK);
    struct Member {
        const wchar_t *name;
        MEMBERID id;
    } const members[] = {{L"State", 0x60020000}, {L"Send", 0x60020001}, {L"Transact", 0x60020004},
                         {L"BytesText", 0x60020015}};
    for (const Member &member : members) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(member.name)};
        MEMBERID id = 0;
        ASSERT_EQ(info->GetIDsOfNames(names, 1, &id), S_OK);
        EXPECT_EQ(id, member.id);
    }
    const CLSID coclass = {0x0E8D351B, 0x586C, 0x4FAB, {0x80, 0x65, 0x4C, 0xA3, 0x91, 0xA8, 0x95, 0xE3}};
    ComPtr<ITypeInfo> classInfo;
    EXPECT_EQ(library->GetTypeInfoOfGuid(coclass, classInfo.put()), S_OK);
    // The three others keep their identifiers.
    const IID request = {0xAF3AF581, 0xC6B2, 0x4F5D, {0xA0, 0x68, 0x6C, 0x58, 0x86, 0x5F, 0xEA, 0x4D}};
    const IID value = {0xEEE3BEA4, 0x76C4, 0x4675, {0x80, 0x4C, 0x9D, 0x65, 0x89, 0xA6, 0x0D, 0x67}};
    const IID host = {0x7CD7F9EF, 0x5B08, 0x49FA, {0xA5, 0x42, 0x4E, 0x14, 0x09, 0x30, 0x65, 0xD0}};
    for (const IID &iid : {request, value, host}) {
        ComPtr<ITypeInfo> other;
        EXPECT_EQ(library->GetTypeInfoOfGuid(iid, other.put()), S_OK);
    }
}

const char kRegister5[] = "01 03 00 05 00 01 94 0B";
const char kRegister6[] = "01 03 00 06 00 01 64 0B";

TEST_F(LinkTest, ExchangesWithLibmodbusOverTheSerialLink) {
    // Bytes nobody asked for wait on the line before the first exchange.
    RigDevice device(31, "modbus", "junk");
    StartSerial(std::string(kCollect) + "Const R5 = \"" + kRegister5 + "\"\nConst R6 = \"" + kRegister6 + "\"\n" + R"(
Sub OnRead_Exchange(Request, Value)
    Dim L, s, head
    Set L = QuillonLink
    s = R(L.State) & R(L.Hex(L.Transact(R5, 7)))
    L.Send R5
    s = s & R(L.Hex(L.Receive(7, 2000)))
    ' An answer read only in part: its rest is not the start of the next.
    head = L.Transact(R6, 3)
    s = s & R(L.Hex(L.Transact(R5, 7)))
    Value.Value = s
End Sub

Sub OnRead_Many(Request, Value)
    Dim i, answer
    For i = 1 To 100
        answer = QuillonLink.Transact(R5, 7)
    Next
    Value.Value = QuillonLink.Hex(answer)
End Sub
)",
                31);
    EXPECT_EQ(Text(L"Exchange"), "2|01 03 02 10 05 75 87|01 03 02 10 05 75 87|01 03 02 10 05 75 87|");
    // Handles stay where they were after the first round.
    EXPECT_EQ(Text(L"Many"), "01 03 02 10 05 75 87");
    const unsigned handles = HandleCount();
    EXPECT_EQ(Text(L"Many"), "01 03 02 10 05 75 87");
    EXPECT_LE(HandleCount(), handles);
    Stop();
    const auto messages = Messages();
    // The link's own traffic: dumped, and the stale bytes dropped as received.
    EXPECT_TRUE(Contains(messages, std::string("IO\tTX:  ") + kRegister5));
    EXPECT_TRUE(ContainsMatching(messages, "IO\tRX: .*junk.*|IO\tRX:  6A 75 6E 6B"));
}

TEST_F(LinkTest, AnswersUpToATerminatorAndTimeOutsAreClearErrors) {
    RigDevice echo(32, "echo");
    // The echo device answers each frame with its bytes reversed.
    StartSerial(std::string(kCollect) + R"(
Sub OnRead(Request, Value)
    Dim L, s, x
    Set L = QuillonLink
    On Error Resume Next
    s = R(L.Hex(L.TransactUntil("0D 41 42", 13, 16)))
    x = L.TransactUntil("41 42", "0D", 16, 300) : s = s & R(Err.Description & " " & Hex(Err.Number)) : Err.Clear
    x = L.TransactUntil("41 42 43", "0D", 2) : s = s & R(Err.Description) : Err.Clear
    Value.Value = s
End Sub
)",
                32, Settings().Int("IO.Serial.SupressEcho", 1));
    EXPECT_EQ(Text(L"Until"), "42 41 0D|"
                              "QuillonLink.TransactUntil: received 2 bytes but no terminator within 300 ms (8004E000) "
                              "8004E000|"
                              "QuillonLink.TransactUntil: no terminator within 2 bytes (80004005)|");
    Stop();

    RigDevice half(33, "half");
    StartSerial(std::string(kCollect) + R"(
Sub OnRead(Request, Value)
    Dim x, s
    On Error Resume Next
    x = QuillonLink.Transact("01 03 00 00 00 02 C4 0B", 8, 300) : s = R(Err.Description) : Err.Clear
    QuillonLink.Send QuillonLink.TextBytes(String(65535, "A")) : s = s & R(Err.Number)
    Value.Value = s
End Sub
)",
                33);
    const DWORD start = GetTickCount();
    EXPECT_EQ(Text(L"Half"), "QuillonLink.Transact: received 4 of 8 bytes within 300 ms (8004E000)|0|");
    // The wait ends at its deadline: not before it, and not at the link's
    // own time-out of 1000 ms per byte either.
    const DWORD took = GetTickCount() - start;
    EXPECT_GE(took, 280u);
    EXPECT_LT(took, 8000u);
    Stop();
}

TEST_F(LinkTest, WithoutAConnectedLinkEveryExchangeFailsAtOnce) {
    // OnStart runs before the link exists, OnStop after it has gone.
    const std::string script = R"(
Function Attempt()
    On Error Resume Next
    QuillonLink.Send "01"
    Attempt = QuillonLink.State & " " & Err.Description
End Function
Sub OnStart
    Trace "start: " & Attempt()
End Sub
Sub OnStop
    Trace "stop: " & Attempt()
End Sub
Sub OnRead(Request, Value)
    Value.Value = Attempt()
End Sub
)";
    // Nothing on COM36: the link stays disconnected and retries.
    StartSerial(script, 36, Settings().Int("IO.RecoverEnable", 1));
    EXPECT_EQ(Text(L"Missing"), "1 QuillonLink.Send: the link is not connected (80004005)");
    Stop();
    StartSerial(script, 36, Settings().Int("IO.StartOffline", 1));
    EXPECT_EQ(Text(L"Offline"), "0 QuillonLink.Send: the link is not started (the driver is offline) (80004005)");
    Stop();
    const auto messages = Messages();
    EXPECT_TRUE(Contains(messages,
                         "DRIVER\t  Trace: start: 0 QuillonLink.Send: the link is not started (the driver is offline) "
                         "(80004005)"));
    EXPECT_TRUE(Contains(messages,
                         "DRIVER\t  Trace: stop: 0 QuillonLink.Send: the link is not started (the driver is offline) "
                         "(80004005)"));
}

TEST_F(LinkTest, GoingOfflineEndsAReceiveLongBeforeItsTimeOut) {
    RigDevice silent(34, "silent");
    StartSerial(R"(
Sub OnRead(Request, Value)
    Dim x
    On Error Resume Next
    Trace "waiting"
    x = QuillonLink.Receive(5, 60000)
    Value.Value = Err.Description
End Sub
)",
                34);
    std::atomic<bool> done{false};
    std::string answer;
    DWORD took = 0;
    SystemThread reader([&] {
        ComApartment apartment;
        const DWORD start = GetTickCount();
        answer = Text(L"Wait");
        took = GetTickCount() - start;
        done = true;
    });
    // Offline through the online control tag while the script waits.
    EXPECT_TRUE(WaitUntil([&] { return HasMessageMatching("DRIVER\t  Trace: waiting"); }));
    HValue offline = I32Value(0);
    DriverRequest request = HostTagRequest(HOST_TAG_WORK_ONLINE, OP_WRITE_VALUE, offline.get());
    EXPECT_EQ(Instance()->IO(&request, offline.get()), S_OK);
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
    reader.Join();
    // Usually the receive was under way; the switch may also come between
    // the trace line and the hand-over to the link thread.
    EXPECT_TRUE(answer == "QuillonLink.Receive: the link stopped during the exchange (80004004)" ||
                answer == "QuillonLink.Receive: the link is not connected (80004005)")
        << answer;
    EXPECT_LT(took, 20000u);
    Stop();
}

} // namespace
