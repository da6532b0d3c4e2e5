// The driver through its exports and interfaces, loaded as a host loads it.
#include "tests/support/DriverLibrary.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <regex>

using namespace quillon;
using namespace quillon::test;

namespace {

using DriverTest = DriverFixture;

DriverRequest NumericRead(int16_t n1, uint16_t n2, uint16_t n3, uint16_t n4, HVALUE value) {
    return MakeRequest(OP_READ_VALUE, n1, n2, n3, n4, value);
}

TEST_F(DriverTest, IdentityIsReportedBeforeAnyOtherCall) {
    EXPECT_EQ(library_.getCaps(), 47);
    EXPECT_STREQ(library_.getDriverName(), "Driver Tarvel VBScript v1.1.3 (ChanferLib v2.0.25)");
    EXPECT_EQ(library_.getVersion(), 0x0200u);
    EXPECT_EQ(library_.versionMarker(), 0x0200u);
    EXPECT_EQ(library_.getVersionFull(), 0x02000019u);
    EXPECT_STREQ(Instance()->GetDriverName(), library_.getDriverName());
    EXPECT_EQ(Instance()->GetCaps(), 47);
}

TEST_F(DriverTest, RequestsBeforeAStartAreRefused) {
    HValue value = HValue::Create();
    DriverRequest request = NumericRead(1, 2, 3, 4, value.get());
    EXPECT_EQ(library_.stopComm(0, 0, 0, 0), 1);
    EXPECT_EQ(library_.io(&request, value.get()), -1);
    EXPECT_EQ(library_.getStatus("LOG", value.get()), -1);
    EXPECT_EQ(library_.setStatus("LOG", value.get()), -1);

    EXPECT_EQ(Instance()->StopComm(0, 0, 0, 0), 1);
    EXPECT_EQ(Instance()->IO(&request, value.get()), static_cast<HRESULT>(0x8004E010));
    EXPECT_EQ(Instance()->GetStatus("LOG", value.get()), static_cast<HRESULT>(0x8004E010));
    EXPECT_EQ(Instance()->SetStatus("LOG", value.get()), static_cast<HRESULT>(0x8004E010));
}

TEST_F(DriverTest, NullPointersFailWithoutACrash) {
    HValue value = HValue::Create();
    DriverRequest request = NumericRead(1, 2, 3, 4, value.get());
    EXPECT_EQ(library_.createDriverInstance(nullptr, nullptr), -1);
    EXPECT_EQ(library_.getDriverObject(nullptr), -1);
    library_.setSettingsHandle(nullptr);
    EXPECT_EQ(library_.startComm(0, 0, 0, 0), 1);
    EXPECT_EQ(library_.io(nullptr, value.get()), -1);
    EXPECT_EQ(library_.io(&request, nullptr), -1);
    EXPECT_EQ(library_.getStatus(nullptr, value.get()), -1);
    EXPECT_EQ(library_.setStatus("LOG", nullptr), -1);
    EXPECT_EQ(library_.stopComm(0, 0, 0, 0), 1);

    IIODriverInstance *driver = Instance();
    EXPECT_EQ(driver->QueryInterface(__uuidof(IIOParseTag), nullptr), E_POINTER);
    EXPECT_EQ(driver->IO(nullptr, value.get()), E_POINTER);
    EXPECT_EQ(driver->GetStatus(nullptr, value.get()), E_POINTER);
    EXPECT_EQ(driver->SetStatus("LOG", nullptr), E_POINTER);
    EXPECT_EQ(driver->SetSettingsHandle(nullptr), S_OK);
    ComPtr<IIOParseTag> parser;
    ASSERT_EQ(driver->QueryInterface(__uuidof(IIOParseTag), parser.put_void()), S_OK);
    EXPECT_EQ(parser->Validate(nullptr, nullptr, nullptr), E_POINTER);
    ComPtr<IIOImportTags> importer;
    ASSERT_EQ(driver->QueryInterface(__uuidof(IIOImportTags), importer.put_void()), S_OK);
    EXPECT_EQ(importer->BrowseTags(nullptr), E_POINTER);
}

TEST_F(DriverTest, InterfacesAnswerTheirIdentitiesAndCountReferences) {
    IIODriverInstance *driver = Instance();
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(driver->QueryInterface(IID_IUnknown, unknown.put_void()), S_OK);
    EXPECT_EQ(static_cast<void *>(unknown.get()), static_cast<void *>(driver));

    ComPtr<IIOParseTag> parser;
    ASSERT_EQ(driver->QueryInterface(__uuidof(IIOParseTag), parser.put_void()), S_OK);
    EXPECT_NE(static_cast<void *>(parser.get()), static_cast<void *>(driver));
    ComPtr<IIODriverInstance> back;
    ASSERT_EQ(parser->QueryInterface(__uuidof(IIODriverInstance), back.put_void()), S_OK);
    EXPECT_EQ(back.get(), driver);

    void *other = reinterpret_cast<void *>(1);
    EXPECT_EQ(driver->QueryInterface(IID_IDispatch, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);

    back.reset();
    unknown.reset();
    EXPECT_EQ(parser->AddRef(), 3u);  // the instance, the parser view, this one
    EXPECT_EQ(parser->Release(), 2u);
}

TEST_F(DriverTest, DriverInstancesAreIndependent) {
    IIODriverInstance *first = nullptr;
    IIODriverInstance *second = nullptr;
    ASSERT_EQ(library_.createDriverInstance(nullptr, &first), 1);
    ASSERT_EQ(library_.createDriverInstance(nullptr, &second), 1);
    ComPtr<IIODriverInstance> owner1 = ComPtr<IIODriverInstance>::Attach(first);
    ComPtr<IIODriverInstance> owner2 = ComPtr<IIODriverInstance>::Attach(second);
    IIODriverInstance *global = nullptr;
    ASSERT_EQ(library_.getDriverObject(&global), 1);
    ComPtr<IIODriverInstance> owner3 = ComPtr<IIODriverInstance>::Attach(global);
    EXPECT_NE(first, second);
    EXPECT_NE(first, global);
    EXPECT_NE(second, global);

    // Starting one leaves the others stopped.
    StartLogged(first);
    HValue value = HValue::Create();
    EXPECT_EQ(first->GetStatus("LOG", value.get()), S_OK);
    EXPECT_EQ(second->GetStatus("LOG", value.get()), static_cast<HRESULT>(0x8004E010));
    EXPECT_EQ(library_.getStatus("LOG", value.get()), -1);
    EXPECT_EQ(first->StopComm(0, 0, 0, 0), S_OK);
}

TEST_F(DriverTest, HostObjectIsKeptReferencedWhileTheDriverLives) {
    struct Counted : IUnknown {
        LONG refs = 1;
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **out) override {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
        ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    } host;
    IIODriverInstance *driver = nullptr;
    ASSERT_EQ(library_.createDriverInstance(&host, &driver), 1);
    EXPECT_EQ(host.refs, 2);
    driver->Release();
    EXPECT_EQ(host.refs, 1);
}

TEST_F(DriverTest, ValidationLogsTheTagBeforeAndAfter) {
    IIODriverInstance *driver = Instance();
    StartLogged(driver);
    ComPtr<IIOParseTag> parser;
    ASSERT_EQ(driver->QueryInterface(__uuidof(IIOParseTag), parser.put_void()), S_OK);

    TagInfo numeric = {};
    numeric.type = 5;
    numeric.n1 = 1;
    numeric.n2 = 2;
    numeric.n3 = 3;
    numeric.n4 = 4;
    EXPECT_EQ(parser->Validate(nullptr, nullptr, &numeric), S_OK);

    TagInfo named = {};
    named.type = 8;
    named.flags = 2;
    EXPECT_EQ(parser->Validate(L"", L"Temp", &named), S_OK);

    TagInfo deviceOnly = {};
    EXPECT_EQ(parser->Validate(L"Dev", L"", &deviceOnly), static_cast<HRESULT>(0x8004E007));

    TagInfo control = {};
    EXPECT_EQ(parser->Validate(nullptr, L"io.WorkONLINE", &control), S_OK);
    EXPECT_EQ(control.n1, -1);
    EXPECT_EQ(control.n4, 4);
    EXPECT_EQ(control.type, 5);

    TagInfo events = {};
    events.n1 = -1;
    events.n4 = 1;
    EXPECT_EQ(parser->Validate(nullptr, nullptr, &events), E_FAIL);
    events.blockSize = 4;
    EXPECT_EQ(parser->Validate(nullptr, nullptr, &events), S_OK);

    const auto messages = Messages();
    EXPECT_TRUE(Contains(messages, "TAG\tTag(1.2.3.4).Validate = SUCCESS (type=5;flags=0)"));
    EXPECT_TRUE(Contains(messages, "TAG\tTag('Temp').Validate = SUCCESS (type=8;flags=2)"));
    EXPECT_TRUE(Contains(messages, "TAG\tTag({Dev}'').Validate = ERROR (8004E007)"));
    EXPECT_TRUE(Contains(messages,
                         "TAG\tTag('io.WorkONLINE').Validate = Tag('io.WorkONLINE'65535.0.0.4) (type=5;flags=0)"));
    EXPECT_TRUE(Contains(messages, "TAG\tTag(65535.0.0.1).Validate = ERROR (80004005)"));
    EXPECT_TRUE(Contains(messages, "TAG\tTag(65535.0.0.1[4]).Validate = SUCCESS (type=0;flags=0)"));
}

// The parameters of a settings value, name to plain text, in no order.
std::map<std::string, std::string> SettingsContent(HVALUE settings) {
    std::map<std::string, std::string> content;
    const unsigned count = hvGetCount(settings);
    for (unsigned i = 1; i + 1 < count; i += 2) {
        const char *name = nullptr;
        hvGetElementString(settings, i, &name);
        HValue element;
        hvGetElement(settings, i + 1, element.put());
        const char *text = nullptr;
        int32_t number = 0;
        if (hvGetType(element.get()) == HV_STR && hvGetString(element.get(), &text))
            content[name] = std::string("'") + text + "'";
        else if (hvGetI32(element.get(), &number))
            content[name] = std::to_string(number);
    }
    return content;
}

std::vector<uint8_t> Image(HVALUE value) {
    std::vector<uint8_t> image(hvFlatSize(value));
    hvFlatten(value, image.data());
    return image;
}

TEST_F(DriverTest, AnEmptySettingsValueReceivesTheDefaults) {
    HValue settings = HValue::Create();
    hvSetType(settings.get(), HV_ARRAY | HV_HVAL, 0);
    EXPECT_EQ(Instance()->SetSettingsHandle(settings.get()), S_OK);
    const char *header = nullptr;
    ASSERT_TRUE(hvGetElementString(settings.get(), 0, &header));
    EXPECT_STREQ(header, "Generic Config Data v1.00");
    const auto content = SettingsContent(settings.get());
    EXPECT_EQ(content.size(), 10u);
    EXPECT_EQ(content.at("IO.TimeoutMs"), "1000");
    EXPECT_EQ(content.at("IO.Type"), "'None'");
    EXPECT_EQ(content.at("IO.RecoverEnable"), "1");
    EXPECT_EQ(content.at("IO.Log.Filename"), "'C:\\tvLogs\\Quillon_%DATE%.log'");
}

TEST_F(DriverTest, LegacySettingsAreRenamedAndWrittenBack) {
    HValue settings =
        Settings().Int("IO.msTimeout", 3000).Int("IO.TimeoutMs", 500).Int("IO.RecoverPeriod", 7).Make();
    library_.setSettingsHandle(settings.get());
    const auto content = SettingsContent(settings.get());
    EXPECT_EQ(content.count("IO.msTimeout"), 0u);
    EXPECT_EQ(content.count("IO.RecoverPeriod"), 0u);
    EXPECT_EQ(content.at("IO.TimeoutMs"), "3000");
    EXPECT_EQ(content.at("IO.RecoverPeriodSec"), "7");
}

TEST_F(DriverTest, CurrentSettingsAreLeftUntouched) {
    HValue settings = Settings().String("iO.tYPE", "Serial").Int("IO.RecoverPeriod", 7).Make();
    const auto before = Image(settings.get());
    library_.setSettingsHandle(settings.get());
    EXPECT_EQ(Image(settings.get()), before);
}

TEST_F(DriverTest, SettingsHandleIsKeptWithAReference) {
    HValue settings = Settings().String("IO.Type", "None").Make();
    HVALUE handle = settings.get();
    library_.setSettingsHandle(handle);
    // The driver's own reference keeps the value alive after the host's.
    settings.release();
    EXPECT_EQ(hvRelease(handle), 1);
    hvAddRef(handle);
    library_.setSettingsHandle(nullptr);
    EXPECT_EQ(hvRelease(handle), 0);
}

TEST_F(DriverTest, StartingTwiceStopsTheFirstHost) {
    IIODriverInstance *driver = Instance();
    StartLogged(driver);
    ASSERT_EQ(driver->StartComm(1, 2, 3, 0x10004), S_OK);
    ASSERT_EQ(driver->StopComm(5, 6, 7, 8), S_OK);
    std::vector<std::string> calls;
    for (const std::string &message : Messages())
        if (message.rfind("DRIVER\tdrv", 0) == 0) calls.push_back(message);
    const std::vector<std::string> expected = {"DRIVER\tdrvStartComm(0,0,0,0)", "DRIVER\tdrvStopComm(1,2,3,4)",
                                               "DRIVER\tdrvStartComm(1,2,3,4)", "DRIVER\tdrvStopComm(5,6,7,8)"};
    EXPECT_EQ(calls, expected);
}

// Records of versions 0 to 2, in the byte layout that the host wrote.
struct LegacyRecord {
    uint8_t bytes[96] = {};
    template <class T>
    void Put(size_t offset, T field) {
        memcpy(bytes + offset, &field, sizeof field);
    }
    DriverRequest *Request() { return reinterpret_cast<DriverRequest *>(bytes); }
};

LegacyRecord MakeLegacy(uint16_t version, uint16_t operation, uint16_t blockSize, size_t valueOffset, HVALUE value) {
    LegacyRecord record;
    record.Put<uint16_t>(0, version);
    record.Put<uint16_t>(2, operation);
    record.Put<uint16_t>(4, 1);
    record.Put<uint16_t>(8, blockSize);
    for (uint16_t n = 0; n < 4; ++n) record.Put<uint16_t>(10 + 2 * n, n + 1);
    record.Put<HVALUE>(valueOffset, value);
    return record;
}

TEST_F(DriverTest, LegacyRecordsAreConvertedByTheirLayout) {
    IIODriverInstance *driver = Instance();
    StartLogged(driver);
    HValue value = HValue::Create();
    hvSetI32(value.get(), 0x01010101);  // pointer bytes differ from zero in both layouts

    // Numeric tags reach the script driver, which refuses tags without an item.
    const HRESULT refused = static_cast<HRESULT>(0x8004E007);
    LegacyRecord packed = MakeLegacy(1, OP_READ_VALUE, 4, 28, value.get());
    EXPECT_EQ(driver->IO(packed.Request(), value.get()), refused);
    LegacyRecord aligned = MakeLegacy(1, OP_READ_VALUE, 4, 32, value.get());
    EXPECT_EQ(driver->IO(aligned.Request(), value.get()), refused);
    LegacyRecord both = MakeLegacy(2, OP_WRITE_VALUE, 1, 32, value.get());
    // Bytes 18 to 21 are mask word 1 when packed; byte 20 starts it when aligned.
    both.Put<uint32_t>(18, 0x00010000);
    EXPECT_EQ(driver->IO(both.Request(), value.get()), E_FAIL);

    EXPECT_TRUE(HasMessageMatching(R"(TAG\t<== \(\d+\.\d{3}\) Tag\(1\.2\.3\.4\[4\]\)\.ReadBlock = ERROR \(hr=8004E007\))"));
    EXPECT_TRUE(HasMessageMatching(R"(TAG\t<== \(\d+\.\d{3}\) Tag\(1\.2\.3\.4\)\.ReadValue = ERROR \(hr=8004E007\))"));
}

// The aligned layout's padding (bytes 18-19 and 30-31) may hold anything: a
// record whose mask fields pass only the aligned layout's test is read as
// aligned, and a control tag answers in the value handle at offset 32.
TEST_F(DriverTest, AlignedRecordsMayLeaveTheirPaddingUnset) {
    IIODriverInstance *driver = Instance();
    StartLogged(driver);
    struct Case {
        uint16_t before, after;
    } const cases[] = {{0xFFFF, 0xFFFF}, {0xFFFF, 0}, {0, 0}};
    for (const Case &c : cases) {
        HValue answer = HValue::Create();
        hvSetString(answer.get(), "unanswered");
        LegacyRecord aligned = MakeLegacy(1, OP_READ_VALUE, 1, 32, answer.get());
        aligned.Put<int16_t>(10, -1);
        aligned.Put<uint16_t>(12, 0);
        aligned.Put<uint16_t>(14, 0);
        aligned.Put<uint16_t>(16, HOST_TAG_WORK_ONLINE);
        aligned.Put<uint16_t>(18, c.before);
        aligned.Put<uint16_t>(30, c.after);
        HValue argument = HValue::Create();
        EXPECT_EQ(driver->IO(aligned.Request(), argument.get()), S_OK) << std::hex << c.before << " " << c.after;
        int32_t online = -1;
        EXPECT_TRUE(hvGetI32(answer.get(), &online)) << std::hex << c.before << " " << c.after;
        EXPECT_EQ(online, 0);
    }
}

// A packed record is as long as its last field. Its value handle's low two
// bytes sit where the aligned layout has its mask bytes: a handle ending in
// two zero bytes must not make the record look aligned, which would read the
// value from past its end (here a page that cannot be read).
TEST_F(DriverTest, PackedRecordIsNotReadPastItsEnd) {
    // Without a log nothing but the checks in front of the script reads the
    // handle, which is made up.
    IIODriverInstance *driver = Instance();
    StartWith(driver, Settings());
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    BYTE *pages = static_cast<BYTE *>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(nullptr, pages);
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(pages + page, page, PAGE_NOACCESS, &old));
    const size_t size = 28 + sizeof(HVALUE);
    LegacyRecord packed = MakeLegacy(1, OP_READ_VALUE, 4, 28, reinterpret_cast<HVALUE>(uintptr_t{0x7FFF0000}));
    BYTE *record = pages + page - size;
    memcpy(record, packed.bytes, size);

    HValue value = HValue::Create();
    EXPECT_EQ(driver->IO(reinterpret_cast<DriverRequest *>(record), value.get()), static_cast<HRESULT>(0x8004E007));
    VirtualFree(pages, 0, MEM_RELEASE);
}

TEST_F(DriverTest, RequestsWithTextsMustBeValidatedBeforehand) {
    IIODriverInstance *driver = Instance();
    StartLogged(driver);
    HValue value = HValue::Create();
    DriverRequest request = NumericRead(0, 0, 0, 0, value.get());
    request.paramItem = L"Temp";
    EXPECT_EQ(driver->IO(&request, value.get()), static_cast<HRESULT>(0x8004E004));
    request.flags = REQUEST_FLAG_VALIDATED;
    // The empty script has no OnRead.
    EXPECT_EQ(driver->IO(&request, value.get()), DISP_E_UNKNOWNNAME);
    EXPECT_TRUE(HasMessageMatching(R"(TAG\t<== \(\d+\.\d{3}\) Tag\('Temp'\)\.ReadValue = ERROR \(hr=8004E004\))"));
}

TEST_F(DriverTest, StatusValuesFollowTheLogSettings) {
    IIODriverInstance *driver = Instance();
    StartLogged(driver);
    HValue value = HValue::Create();
    ASSERT_EQ(driver->GetStatus("LOGFILE", value.get()), S_OK);
    const char *file = nullptr;
    ASSERT_TRUE(hvGetString(value.get(), &file));
    EXPECT_EQ(file, logPath_);
    EXPECT_EQ(driver->GetStatus("log", value.get()), E_INVALIDARG);
    hvSetString(value.get(), "not a number");
    EXPECT_EQ(driver->SetStatus("LOG", value.get()), E_INVALIDARG);
    hvSetI32(value.get(), 0);
    EXPECT_EQ(driver->SetStatus("LOG", value.get()), S_OK);
    // The line announcing the switch lands in the log that it closes.
    const auto messages = Messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages.back(), "DRIVER\tdrvSetStatus('LOG') = OFF");
    EXPECT_TRUE(Contains(messages, "DRIVER\tdrvGetStatus('log') = error, invalid parameter"));
}

} // namespace
