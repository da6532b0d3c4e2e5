// The driver host's own control tags, its status values and the request
// traces, through the driver's exports as a supervisory host uses them.
#include "base/ControlTags.h"
#include "tests/support/DriverLibrary.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <regex>
#include <string>

using namespace quillon;
using namespace quillon::test;

namespace {

using HostTagsTest = DriverFixture;

constexpr HRESULT NOT_VALIDATED = static_cast<HRESULT>(0x8004E004);

int32_t I32Of(HVALUE value) {
    int32_t number = -12345;
    EXPECT_EQ(hvGetType(value), static_cast<unsigned>(HV_I32));
    EXPECT_TRUE(hvGetI32(value, &number));
    return number;
}

size_t CountContaining(const std::vector<std::string> &messages, const std::string &part) {
    size_t count = 0;
    for (const std::string &message : messages)
        if (message.find(part) != std::string::npos) ++count;
    return count;
}

TEST_F(HostTagsTest, ControlTagsAreDispatchedByTheirNumbers) {
    IIODriverInstance *driver = Instance();
    StartLogged(driver);
    HValue value = HValue::Create();
    auto io = [&](uint16_t n2, uint16_t n3, uint16_t n4, uint16_t operation) {
        DriverRequest request = MakeRequest(operation, -1, n2, n3, n4, value.get());
        request.flags = REQUEST_FLAG_VALIDATED;
        return driver->IO(&request, value.get());
    };
    EXPECT_EQ(io(1, 0, 4, OP_READ_VALUE), E_NOTIMPL);
    EXPECT_EQ(io(2, 3, 1, OP_READ_VALUE), E_NOTIMPL);
    EXPECT_EQ(io(0, 0, 0, OP_READ_VALUE), E_NOTIMPL);
    EXPECT_EQ(io(0, 0, 6, OP_WRITE_VALUE), E_NOTIMPL);
    for (uint16_t n3 : {1, 6, 0x8000}) EXPECT_EQ(io(0, n3, 1, OP_READ_VALUE), E_NOTIMPL) << n3;
    // The link's tags: offline there is no link to ask, whatever the operation.
    for (uint16_t n3 = 2; n3 <= 5; ++n3)
        for (uint16_t operation : {5, 9, 25, 6, 10, 26, 38, 58, 3})
            EXPECT_EQ(io(0, n3, 1, operation), E_FAIL) << n3 << " " << operation;

    // The flat export reports the same outcomes as 1 and -1.
    DriverRequest request = HostTagRequest(HOST_TAG_WORK_ONLINE, OP_READ_VALUE, value.get());
    EXPECT_EQ(library_.io(&request, value.get()), -1);  // the singleton is not started
}

TEST_F(HostTagsTest, TheEventsBlockIsAnEmptyListWithoutALink) {
    HValue settings = LoggedSettings().Make();
    library_.setSettingsHandle(settings.get());
    ASSERT_EQ(library_.startComm(0, 0, 0, 0), 1);
    HValue value = I32Value(3);
    for (int round = 0; round < 2; ++round) {
        DriverRequest request = HostTagRequest(HOST_TAG_EVENTS, OP_READ_BLOCK, value.get(), 4, 4);
        ASSERT_EQ(library_.io(&request, value.get()), 1);
        EXPECT_EQ(hvGetType(value.get()), static_cast<unsigned>(HV_LIST));
        EXPECT_EQ(hvListCount(value.get()), 0u);
    }
    // A host that did not validate beforehand gets the block validated by
    // its numbers.
    DriverRequest unvalidated = MakeRequest(OP_READ_BLOCK, -1, 0, 0, 1, value.get(), 4, 4);
    hvSetI32(value.get(), 3);
    EXPECT_EQ(library_.io(&unvalidated, value.get()), 1);
    EXPECT_EQ(hvGetType(value.get()), static_cast<unsigned>(HV_LIST));

    DriverRequest single = HostTagRequest(HOST_TAG_EVENTS, OP_READ_VALUE, value.get());
    EXPECT_EQ(library_.io(&single, value.get()), -1);
    DriverRequest shortBlock = HostTagRequest(HOST_TAG_EVENTS, OP_READ_BLOCK, value.get(), 2, 4);
    EXPECT_EQ(library_.io(&shortBlock, value.get()), -1);
    DriverRequest element = HostTagRequest(HOST_TAG_EVENTS, OP_READ_BLOCK, value.get(), 4, 4);
    element.firstElement = 2;
    EXPECT_EQ(library_.io(&element, value.get()), -1);
    EXPECT_EQ(library_.stopComm(0, 0, 0, 0), 1);
    library_.setSettingsHandle(nullptr);
}

TEST_F(HostTagsTest, LinkStatusIsStoppedWhileOffline) {
    IIODriverInstance *driver = Instance();
    StartLogged(driver);
    HValue value = StringValue("before");
    DriverRequest request = HostTagRequest(HOST_TAG_LINK_STATUS, OP_READ_VALUE, value.get());
    ASSERT_EQ(driver->IO(&request, value.get()), S_OK);
    EXPECT_EQ(I32Of(value.get()), 0);

    // The answer goes into the record's value.
    HValue recordValue = StringValue("record");
    HValue other = StringValue("other");
    request.value = recordValue.get();
    ASSERT_EQ(driver->IO(&request, other.get()), S_OK);
    EXPECT_EQ(I32Of(recordValue.get()), 0);

    hvSetString(value.get(), "kept");
    DriverRequest wrong[] = {HostTagRequest(HOST_TAG_LINK_STATUS, OP_READ_BLOCK, value.get(), 1, 1),
                             HostTagRequest(HOST_TAG_LINK_STATUS, OP_READ_VALUE, value.get(), 2, 1),
                             HostTagRequest(HOST_TAG_LINK_STATUS, OP_READ_VALUE, value.get(), 1, 2),
                             HostTagRequest(HOST_TAG_LINK_STATUS, OP_WRITE_VALUE, value.get()),
                             HostTagRequest(HOST_TAG_LINK_STATUS, OP_READ_BLOCK_ELEMENT, value.get())};
    wrong[2].firstElement = 0;
    for (DriverRequest &request : wrong) EXPECT_EQ(driver->IO(&request, value.get()), E_FAIL) << request.operation;
    DriverRequest offset = HostTagRequest(HOST_TAG_LINK_STATUS, OP_READ_VALUE, value.get());
    offset.firstElement = 1;
    EXPECT_EQ(driver->IO(&offset, value.get()), E_FAIL);
    EXPECT_EQ(StringOf(value.get()), "kept");
}

TEST_F(HostTagsTest, WorkingOnlineNeedsALink) {
    IIODriverInstance *driver = Instance();
    StartLogged(driver);
    HValue value = HValue::Create();
    DriverRequest read = HostTagRequest(HOST_TAG_WORK_ONLINE, OP_READ_VALUE, value.get());
    ASSERT_EQ(driver->IO(&read, value.get()), S_OK);
    EXPECT_EQ(I32Of(value.get()), 0);

    HValue zero = I32Value(0);
    DriverRequest stop = HostTagRequest(HOST_TAG_WORK_ONLINE, OP_WRITE_VALUE, zero.get());
    EXPECT_EQ(driver->IO(&stop, zero.get()), S_OK);

    HValue one = I32Value(1);
    DriverRequest start = HostTagRequest(HOST_TAG_WORK_ONLINE, OP_WRITE_VALUE, one.get());
    EXPECT_EQ(driver->IO(&start, one.get()), E_FAIL);  // IO.Type "None"
    ASSERT_EQ(driver->IO(&read, value.get()), S_OK);
    EXPECT_EQ(I32Of(value.get()), 0);

    HValue text = StringValue("yes");
    DriverRequest notANumber = HostTagRequest(HOST_TAG_WORK_ONLINE, OP_WRITE_VALUE, text.get());
    EXPECT_EQ(driver->IO(&notANumber, text.get()), E_FAIL);
    DriverRequest shapes[] = {HostTagRequest(HOST_TAG_WORK_ONLINE, OP_READ_BLOCK, value.get(), 1, 1),
                              HostTagRequest(HOST_TAG_WORK_ONLINE, OP_WRITE_BLOCK, zero.get(), 1, 1),
                              HostTagRequest(HOST_TAG_WORK_ONLINE, OP_WRITE_VALUE, zero.get(), 2, 1),
                              HostTagRequest(HOST_TAG_WORK_ONLINE, OP_READ_VALUE, value.get(), 1, 2),
                              HostTagRequest(HOST_TAG_WORK_ONLINE, OP_MASK_WRITE_VALUE, zero.get())};
    for (DriverRequest &request : shapes)
        EXPECT_EQ(driver->IO(&request, request.value), E_FAIL) << request.operation;

    EXPECT_EQ(CountContaining(Messages(), "I/O Interface was configured as 'NONE', the driver is OFFLINE!!!"), 2u);
}

TEST_F(HostTagsTest, StartingOfflineWaitsForTheOnlineTag) {
    Settings settings = LoggedSettings();
    settings.Int("IO.StartOffline", 1).String("IO.Type", "None");
    HValue handle = settings.Make();
    library_.setSettingsHandle(handle.get());
    ASSERT_EQ(library_.startComm(0, 0, 0, 0), 1);
    auto messages = Messages();
    EXPECT_TRUE(Contains(messages, "DRIVER\tI/O Interface not activated, the driver is OFFLINE!!!"));
    EXPECT_TRUE(ContainsMatching(messages, R"(DRIVER\tCurrent configuration \(\d+ parameters\):)"));
    EXPECT_EQ(CountContaining(messages, "configured as 'NONE'"), 0u);

    HValue one = I32Value(1);
    DriverRequest start = HostTagRequest(HOST_TAG_WORK_ONLINE, OP_WRITE_VALUE, one.get());
    EXPECT_EQ(library_.io(&start, one.get()), -1);
    messages = Messages();
    EXPECT_TRUE(Contains(messages, "DRIVER\tI/O Interface was configured as 'NONE', the driver is OFFLINE!!!"));
    EXPECT_EQ(library_.stopComm(0, 0, 0, 0), 1);
    library_.setSettingsHandle(nullptr);
}

// A write on the set-configuration tag, with the message value of the record.
struct SetParametersCall {
    HValue message = StringValue("untouched");
    HRESULT result = E_UNEXPECTED;
    std::string text;
};

SetParametersCall SetParameters(IIODriverInstance *driver, HVALUE value, uint16_t operation = OP_WRITE_VALUE,
                                uint16_t count = 1, uint16_t blockSize = 1, uint16_t first = 0) {
    SetParametersCall call;
    DriverRequest request = HostTagRequest(HOST_TAG_SET_PARAMETERS, operation, value, count, blockSize);
    request.firstElement = first;
    request.message = call.message.get();
    call.result = driver->IO(&request, value);
    call.text = StringOf(call.message.get());
    return call;
}

// Reads one parameter through the parameter-by-name tag.
HValue ReadParameter(IIODriverInstance *driver, const wchar_t *name) {
    HValue value = StringValue("stale");
    DriverRequest request = HostTagRequest(HOST_TAG_PARAMETER_BY_NAME, OP_READ_VALUE, value.get());
    request.paramItem = name;
    EXPECT_EQ(driver->IO(&request, value.get()), S_OK);
    return value;
}

TEST_F(HostTagsTest, ConfigurationParametersAreSetAsPairs) {
    IIODriverInstance *driver = Instance();
    StartWith(driver, LoggedSettings().Int("IO.TimeoutMs", 1500));
    HValue name = StringValue("IO.TimeoutMs");
    HValue number = I32Value(250);
    HValue pairs = ArrayOf({name.get(), number.get()});
    SetParametersCall call = SetParameters(driver, pairs.get());
    EXPECT_EQ(call.result, S_OK);
    EXPECT_EQ(call.text, "");
    EXPECT_EQ(I32Of(ReadParameter(driver, L"io.timeoutms").get()), 250);
    // A block write of the whole array is the same.
    HValue other = I32Value(260);
    HValue block = ArrayOf({name.get(), other.get()});
    EXPECT_EQ(SetParameters(driver, block.get(), OP_WRITE_BLOCK, 2, 2).result, S_OK);
    EXPECT_EQ(I32Of(ReadParameter(driver, L"IO.TimeoutMs").get()), 260);

    // The change lasts only as long as this start.
    ASSERT_EQ(driver->StopComm(0, 0, 0, 0), S_OK);
    ASSERT_EQ(driver->StartComm(0, 0, 0, 0), S_OK);
    EXPECT_EQ(I32Of(ReadParameter(driver, L"IO.TimeoutMs").get()), 1500);
    EXPECT_TRUE(Contains(Messages(), "DRIVER\tSET_PARAMETER: IO.TimeoutMs = 250"));
}

TEST_F(HostTagsTest, SettingParametersExplainsWhatItRefuses) {
    IIODriverInstance *driver = Instance();
    StartLogged(driver);
    HValue name = StringValue("Some.Name");
    HValue number = I32Value(1);
    HValue pairs = ArrayOf({name.get(), number.get()});

    SetParametersCall call = SetParameters(driver, pairs.get(), OP_READ_VALUE);
    EXPECT_EQ(call.result, E_FAIL);
    EXPECT_EQ(call.text, "Unsupported tag operation");
    for (uint16_t operation : {OP_READ_BLOCK, OP_WRITE_BLOCK_ELEMENT, OP_MASK_WRITE_VALUE})
        EXPECT_EQ(SetParameters(driver, pairs.get(), operation, 2, 2).text, "Unsupported tag operation");
    call = SetParameters(driver, pairs.get(), OP_WRITE_BLOCK, 1, 2);
    EXPECT_EQ(call.result, E_FAIL);
    EXPECT_EQ(call.text, "Block element write not supported");
    EXPECT_EQ(SetParameters(driver, pairs.get(), OP_WRITE_BLOCK, 2, 2, 1).text, "Block element write not supported");
    EXPECT_EQ(SetParameters(driver, pairs.get(), OP_WRITE_VALUE, 2, 1).text, "Block element write not supported");

    call = SetParameters(driver, number.get());
    EXPECT_EQ(call.result, E_FAIL);
    EXPECT_EQ(call.text, "HVALUE is not a valid array (type is 5)");
    HValue lonely = ArrayOf({name.get()});
    EXPECT_EQ(SetParameters(driver, lonely.get()).text, "Array ended after string 'Some.Name' (element 0)");
    HValue numberFirst = ArrayOf({number.get(), name.get()});
    EXPECT_EQ(SetParameters(driver, numberFirst.get()).text, "Element 0 type is 5");
    HValue nested = ArrayOf({pairs.get(), numberFirst.get()});
    EXPECT_EQ(SetParameters(driver, nested.get()).text, "[element 1] Element 0 type is 5");
    // Pairs before the error stay set.
    EXPECT_EQ(I32Of(ReadParameter(driver, L"Some.Name").get()), 1);

    // Success clears the message.
    EXPECT_EQ(SetParameters(driver, pairs.get()).text, "");

    // The trace of a refused write carries the message.
    EXPECT_TRUE(HasMessageMatching(
        R"(TAG\t==> \(\d+\.\d{3}\) Tag\(65535\.0\.0\.3\)\.WriteValue .* = ERROR \(hr=80004005\) \(status = \(.*\) 'Element 0 type is 5'\))"));
}

TEST_F(HostTagsTest, SettingTheLogFileRedirectsTheLog) {
    IIODriverInstance *driver = Instance();
    StartLogged(driver);
    const std::string newLog = scratch_.File("moved.log");
    HValue name = StringValue("IO.Log.Filename");
    HValue file = StringValue(newLog.c_str());
    HValue pairs = ArrayOf({name.get(), file.get()});
    EXPECT_EQ(SetParameters(driver, pairs.get()).result, S_OK);
    EXPECT_TRUE(Contains(Messages(), "DRIVER\tLog redirected to '" + newLog + "'."));
    HValue value = HValue::Create();
    EXPECT_EQ(driver->GetStatus("LOGFILE", value.get()), S_OK);
    EXPECT_EQ(StringOf(value.get()), newLog);
    EXPECT_TRUE(Contains(LogMessages(newLog), "DRIVER\tdrvGetStatus('LOGFILE') = '" + newLog + "'"));
}

// A write that turns the log on leaves its own trace line in the log it
// opened; the one that turns it off is the last it does not trace.
TEST_F(HostTagsTest, TurningTheLogOnThroughTheTagTracesThatRequest) {
    IIODriverInstance *driver = Instance();
    StartWith(driver, Settings().String("IO.Log.Filename", logPath_).Int("IO.Log.Enable", 0));
    HValue name = StringValue("IO.Log.Enable");
    HValue on = I32Value(1);
    HValue pairs = ArrayOf({name.get(), on.get()});
    EXPECT_EQ(SetParameters(driver, pairs.get()).result, S_OK);
    EXPECT_TRUE(ContainsMatching(Messages(),
        R"(TAG\t==> \(\d+\.\d{3}\) Tag\(65535\.0\.0\.3\)\.WriteValue .*IO\.Log\.Enable.* = SUCCESS .*)"));
}

TEST_F(HostTagsTest, ParametersAreReadAndWrittenByName) {
    IIODriverInstance *driver = Instance();
    StartWith(driver, LoggedSettings().Int("IO.TimeoutMs", 900));
    EXPECT_EQ(I32Of(ReadParameter(driver, L"IO.TimeoutMs").get()), 900);
    EXPECT_EQ(hvGetType(ReadParameter(driver, L"No.Such.Parameter").get()), static_cast<unsigned>(HV_NULL));

    HValue text = StringValue("abc");
    HValue message = StringValue("untouched");
    DriverRequest write = HostTagRequest(HOST_TAG_PARAMETER_BY_NAME, OP_WRITE_VALUE, text.get());
    write.paramItem = L"My.Own";
    write.message = message.get();
    EXPECT_EQ(driver->IO(&write, text.get()), S_OK);
    EXPECT_EQ(StringOf(message.get()), "");
    HValue read = ReadParameter(driver, L"MY.OWN");
    EXPECT_EQ(StringOf(read.get()), "abc");
    // The reader gets a copy of its own.
    hvSetString(read.get(), "changed");
    EXPECT_EQ(StringOf(ReadParameter(driver, L"My.Own").get()), "abc");
}

TEST_F(HostTagsTest, ParameterByNameExplainsWhatItRefuses) {
    IIODriverInstance *driver = Instance();
    StartLogged(driver);
    HValue value = I32Value(7);
    auto call = [&](uint16_t version, uint16_t operation, const wchar_t *name) {
        HValue message = StringValue("untouched");
        DriverRequest request = HostTagRequest(HOST_TAG_PARAMETER_BY_NAME, operation, value.get());
        request.version = version;
        request.paramItem = name;
        request.message = message.get();
        EXPECT_EQ(driver->IO(&request, value.get()), E_FAIL) << version << " " << operation;
        return StringOf(message.get());
    };
    EXPECT_EQ(call(4, OP_READ_VALUE, L"IO.Type"), "String parameters not supported in this version");
    EXPECT_EQ(call(3, OP_WRITE_VALUE, L"IO.Type"), "String parameters not supported in this version");
    EXPECT_EQ(call(5, OP_READ_BLOCK, L"IO.Type"), "Unsupported tag operation");
    EXPECT_EQ(call(7, OP_WRITE_BLOCK_ELEMENT, L"IO.Type"), "Unsupported tag operation");
    EXPECT_EQ(call(5, OP_READ_VALUE, nullptr), "String parameter not provided");
    EXPECT_EQ(call(6, OP_WRITE_VALUE, nullptr), "String parameter not provided");
}

// Records of versions 0 to 2 have no texts; they are converted before the
// host sees them, and keep the answer that their version calls for.
// An old record is converted to the current layout, which has room for a
// parameter name that the old one cannot carry.
TEST_F(HostTagsTest, OldRecordsCarryNoParameterName) {
    IIODriverInstance *driver = Instance();
    StartLogged(driver);
    HValue value = I32Value(7);
    HValue message = StringValue("untouched");
    uint8_t bytes[96] = {};
    DriverRequest *record = reinterpret_cast<DriverRequest *>(bytes);
    auto put16 = [&](size_t offset, uint16_t field) { memcpy(bytes + offset, &field, sizeof field); };
    put16(0, 2);
    put16(2, OP_READ_VALUE);
    put16(4, 1);
    put16(8, 1);
    put16(10, 0xFFFF);
    put16(16, HOST_TAG_PARAMETER_BY_NAME);
    HVALUE handles[2] = {value.get(), message.get()};
    memcpy(bytes + 32, handles, sizeof handles);  // value and message, aligned layout
    EXPECT_EQ(driver->IO(record, value.get()), E_FAIL);
    EXPECT_EQ(StringOf(message.get()), "String parameter not provided");
    EXPECT_EQ(I32Of(value.get()), 7);

    // A record of version 1 has no message value; the trace still tells why
    // its write was refused.
    put16(0, 1);
    put16(2, OP_WRITE_VALUE);
    put16(16, HOST_TAG_SET_PARAMETERS);
    EXPECT_EQ(driver->IO(record, value.get()), E_FAIL);
    EXPECT_TRUE(HasMessageMatching(R"(TAG\t==> \(\d+\.\d{3}\) Tag\(65535\.0\.0\.3\)\.WriteValue \([0-9:. ]+\) 7 = )"
                                   R"(ERROR \(hr=80004005\) \(status = \([0-9:. ]+\) 'HVALUE is not a valid array \(type is 5\)'\))"));
}

TEST_F(HostTagsTest, ControlTagsNamedByTextMustBeValidatedFirst) {
    IIODriverInstance *driver = Instance();
    StartLogged(driver);
    HValue value = HValue::Create();
    DriverRequest request = MakeRequest(OP_READ_VALUE, 0, 0, 0, 0, value.get());
    request.paramItem = L"IO.WorkOnline";
    EXPECT_EQ(driver->IO(&request, value.get()), NOT_VALIDATED);
    EXPECT_EQ(library_.io(&request, value.get()), -1);

    ComPtr<IIOParseTag> parser;
    ASSERT_EQ(driver->QueryInterface(__uuidof(IIOParseTag), parser.put_void()), S_OK);
    TagInfo info = {};
    ASSERT_EQ(parser->Validate(nullptr, L"IO.WorkOnline", &info), S_OK);
    request.n1 = info.n1;
    request.n2 = info.n2;
    request.n3 = info.n3;
    request.n4 = info.n4;
    EXPECT_EQ(driver->IO(&request, value.get()), NOT_VALIDATED);
    request.flags = REQUEST_FLAG_VALIDATED;
    hvSetString(value.get(), "x");
    EXPECT_EQ(driver->IO(&request, value.get()), S_OK);
    EXPECT_EQ(I32Of(value.get()), 0);
    EXPECT_TRUE(HasMessageMatching(
        R"(TAG\t<== \(\d+\.\d{3}\) Tag\('IO\.WorkOnline'\)\.ReadValue = ERROR \(hr=8004E004\))"));
}

TEST_F(HostTagsTest, StatusValuesReportAndSwitchTheLog) {
    IIODriverInstance *driver = Instance();
    StartLogged(driver);
    HValue value = HValue::Create();
    ASSERT_EQ(driver->GetStatus("LOG", value.get()), S_OK);
    EXPECT_EQ(I32Of(value.get()), 1);
    EXPECT_EQ(driver->GetStatus("LOGFILE", value.get()), S_OK);
    EXPECT_EQ(driver->GetStatus("Log", value.get()), E_INVALIDARG);
    EXPECT_EQ(driver->GetStatus("", value.get()), E_INVALIDARG);
    EXPECT_EQ(driver->SetStatus("log", value.get()), E_INVALIDARG);
    EXPECT_EQ(driver->SetStatus("LOGFILES", value.get()), E_INVALIDARG);
    HValue number = I32Value(3);
    EXPECT_EQ(driver->SetStatus("LOGFILE", number.get()), E_INVALIDARG);
    HValue empty = HValue::Create();
    EXPECT_EQ(driver->SetStatus("LOG", empty.get()), E_INVALIDARG);
    auto messages = Messages();
    EXPECT_TRUE(Contains(messages, "DRIVER\tdrvGetStatus('LOG') = 1 (ON)"));
    EXPECT_TRUE(Contains(messages, "DRIVER\tdrvGetStatus('LOGFILE') = '" + logPath_ + "'"));
    EXPECT_TRUE(Contains(messages, "DRIVER\tdrvGetStatus('Log') = error, invalid parameter"));
    EXPECT_TRUE(Contains(messages, "DRIVER\tdrvGetStatus('') = error, invalid parameter"));

    // A new file: the old log says where it goes, the new one takes over.
    const std::string newLog = scratch_.File("second.log");
    HValue file = StringValue(newLog.c_str());
    ASSERT_EQ(driver->SetStatus("LOGFILE", file.get()), S_OK);
    messages = Messages();
    EXPECT_TRUE(Contains(messages, "DRIVER\tdrvSetStatus('LOGFILE') = '" + newLog + "' (before apply)"));
    EXPECT_TRUE(Contains(messages, "DRIVER\tLog redirected to '" + newLog + "'."));
    auto moved = LogMessages(newLog);
    EXPECT_TRUE(Contains(moved, "DRIVER\tdrvSetStatus('LOGFILE') = '" + newLog + "' (after apply)"));

    HValue off = I32Value(0);
    ASSERT_EQ(driver->SetStatus("LOG", off.get()), S_OK);
    moved = LogMessages(newLog);
    ASSERT_FALSE(moved.empty());
    EXPECT_EQ(moved.back(), "DRIVER\tdrvSetStatus('LOG') = OFF");
    EXPECT_EQ(driver->GetStatus("LOG", value.get()), S_OK);
    EXPECT_EQ(I32Of(value.get()), 0);
    EXPECT_EQ(LogMessages(newLog).size(), moved.size());  // nothing is logged while off

    HValue on = I32Value(1);
    ASSERT_EQ(driver->SetStatus("LOG", on.get()), S_OK);
    EXPECT_EQ(LogMessages(newLog).back(), "DRIVER\tdrvSetStatus('LOG') = ON");
}

TEST_F(HostTagsTest, EveryRequestLeavesOneTraceLine) {
    IIODriverInstance *driver = Instance();
    StartLogged(driver);
    HValue value = HValue::Create();

    // Quick reads of control tags are polled all the time and stay quiet.
    DriverRequest read = HostTagRequest(HOST_TAG_WORK_ONLINE, OP_READ_VALUE, value.get());
    ASSERT_EQ(driver->IO(&read, value.get()), S_OK);
    EXPECT_EQ(CountContaining(Messages(), "Tag(65535.0.0.4).ReadValue"), 0u);

    DriverRequest badRead = HostTagRequest(HOST_TAG_WORK_ONLINE, OP_READ_VALUE, value.get(), 2, 1);
    EXPECT_EQ(driver->IO(&badRead, value.get()), E_FAIL);
    HValue zero = I32Value(0);
    DriverRequest write = HostTagRequest(HOST_TAG_WORK_ONLINE, OP_WRITE_VALUE, zero.get());
    EXPECT_EQ(driver->IO(&write, zero.get()), S_OK);
    HValue one = I32Value(1);
    DriverRequest failedWrite = HostTagRequest(HOST_TAG_WORK_ONLINE, OP_WRITE_VALUE, one.get());
    EXPECT_EQ(driver->IO(&failedWrite, one.get()), E_FAIL);
    HValue name = StringValue("A.B");
    HValue pairs = ArrayOf({name.get(), one.get()});
    SetParametersCall call = SetParameters(driver, pairs.get());
    EXPECT_EQ(call.result, S_OK);
    HValue device = HValue::Create();
    DriverRequest deviceRead = MakeRequest(OP_READ_VALUE, 3, 0, 1, 2, device.get());
    // The script driver answers only tags with an item text.
    EXPECT_EQ(driver->IO(&deviceRead, device.get()), static_cast<HRESULT>(0x8004E007));

    const auto messages = Messages();
    EXPECT_TRUE(ContainsMatching(messages, R"(TAG\t<== \(\d+\.\d{3}\) Tag\(65535\.0\.0\.4\)\.ReadValue = ERROR \(hr=80004005\))"));
    EXPECT_TRUE(ContainsMatching(messages, R"(TAG\t==> \(\d+\.\d{3}\) Tag\(65535\.0\.0\.4\)\.WriteValue \([0-9:. ]+\) 0 = SUCCESS)"));
    EXPECT_TRUE(ContainsMatching(messages, R"(TAG\t==> \(\d+\.\d{3}\) Tag\(65535\.0\.0\.4\)\.WriteValue \([0-9:. ]+\) 1 = ERROR \(hr=80004005\))"));
    EXPECT_TRUE(ContainsMatching(messages,
        R"(TAG\t==> \(\d+\.\d{3}\) Tag\(65535\.0\.0\.3\)\.WriteValue .*array\(2;HVAL\).* = SUCCESS \(status = \([0-9:. ]+\) ''\))"));
    EXPECT_TRUE(ContainsMatching(messages, R"(TAG\t<== \(\d+\.\d{3}\) Tag\(3\.0\.1\.2\)\.ReadValue = ERROR \(hr=8004E007\))"));
    EXPECT_EQ(CountContaining(messages, "Tag(65535.0.0.4).WriteValue"), 2u);
    EXPECT_EQ(CountContaining(messages, "Tag(65535.0.0.3).WriteValue"), 1u);
    EXPECT_EQ(CountContaining(messages, "Tag(3.0.1.2).ReadValue"), 1u);
}

TEST_F(HostTagsTest, ListsAreTracedItemByItem) {
    IIODriverInstance *driver = Instance();
    StartLogged(driver);
    auto store = [&](const wchar_t *name, std::initializer_list<int32_t> numbers) {
        HValue list = HValue::Create();
        hvSetType(list.get(), HV_LIST, 0);
        for (int32_t number : numbers) hvListAppend(list.get(), I32Value(number).get());
        DriverRequest write = HostTagRequest(HOST_TAG_PARAMETER_BY_NAME, OP_WRITE_VALUE, list.get());
        write.paramItem = name;
        EXPECT_EQ(driver->IO(&write, list.get()), S_OK);
    };
    store(L"One.Item", {5});
    store(L"Two.Items", {6, 7});
    HValue one = ReadParameter(driver, L"One.Item");
    EXPECT_EQ(hvListCount(one.get()), 1u);
    HValue two = ReadParameter(driver, L"Two.Items");
    EXPECT_EQ(hvListCount(two.get()), 2u);

    // Lists are traced even when the read of a control tag was quick.
    EXPECT_TRUE(HasMessageMatching(
        R"(TAG\t<== \(\d+\.\d{3}\) Tag\('One\.Item'65535\.0\.0\.5\)\.ReadValue = list\(1\) \([0-9:. ]+\) 5)"));
    const std::string content = ReadWholeFile(logPath_);
    EXPECT_TRUE(std::regex_search(
        content, std::regex(R"(Tag\('Two\.Items'65535\.0\.0\.5\)\.ReadValue = list\(2\)\r\n)"
                            R"(    - list\[0\] \([0-9:. ]+\) 6\r\n    - list\[1\] \([0-9:. ]+\) 7)")))
        << content;
}

} // namespace
