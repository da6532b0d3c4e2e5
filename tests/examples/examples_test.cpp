// The shipped examples, run through the driver DLL as a host runs them.
// Winsock must come before the Windows headers that the others include.
#include <winsock2.h>

#include "host/ConfigFile.h"
#include "tests/support/DriverLibrary.h"
#include "tests/support/SerialRig.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <cmath>
#include <cstdlib>
#include <vector>

using namespace quillon;
using namespace quillon::test;

namespace {

const std::string EXAMPLES = QUILLON_EXAMPLES_DIR;
const auto *const kRig = ::testing::AddGlobalTestEnvironment(new RigQueue);

class ExampleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(library_.Load());
        IIODriverInstance *driver = nullptr;
        ASSERT_EQ(library_.createDriverInstance(nullptr, &driver), 1);
        driver_ = ComPtr<IIODriverInstance>::Attach(driver);
        ASSERT_EQ(driver_->QueryInterface(__uuidof(IIOParseTag), parser_.put_void()), S_OK);
    }
    void TearDown() override {
        parser_.reset();
        driver_.reset();
        if (library_.stopComm) library_.stopComm(0, 0, 0, 0);
        library_.Unload();
    }

    // Starts the driver with a configuration file, the script text replaced
    // when one is given, parameters of the test's own added, and the log in
    // the scratch directory.
    void Start(const std::string &configPath, const std::string &scriptText = std::string(),
               const std::vector<ConfigParameter> &extra = {}) {
        ConfigFile config;
        std::string error;
        ASSERT_TRUE(ReadConfigFile(configPath, config, error)) << error;
        config.parameters.insert(config.parameters.end(), extra.begin(), extra.end());
        config.parameters.push_back({"IO.Log.Enable", "I32", "1"});
        config.parameters.push_back({"IO.Log.Filename", "STR", logPath_});
        if (!scriptText.empty()) {
            config.scriptFile.clear();
            config.parameters.push_back({"VBScript.Code", "STR", scriptText});
        }
        HValue settings;
        ASSERT_TRUE(MakeSettingsValue(config, settings, error)) << error;
        ASSERT_EQ(driver_->SetSettingsHandle(settings.get()), S_OK);
        ASSERT_EQ(driver_->StartComm(0, 0, 0, 0), S_OK);
    }

    HRESULT Request(const wchar_t *item, uint16_t operation, HVALUE value) {
        TagInfo info = {};
        HRESULT result = parser_->Validate(L"", item, &info);
        if (FAILED(result)) return result;
        DriverRequest request = {};
        request.version = REQUEST_VERSION_CURRENT;
        request.operation = operation;
        request.elementCount = 1;
        request.blockSize = 1;
        request.value = value;
        request.flags = REQUEST_FLAG_VALIDATED;
        request.paramItem = item;
        return driver_->IO(&request, value);
    }
    HRESULT Read(const wchar_t *item, HVALUE value) { return Request(item, OP_READ_VALUE, value); }
    HRESULT WriteR64(const wchar_t *item, double number) {
        HValue value = HValue::Create();
        hvSetR64(value.get(), number);
        return Request(item, OP_WRITE_VALUE, value.get());
    }
    double ReadR64(const wchar_t *item) {
        HValue value = HValue::Create();
        EXPECT_EQ(Read(item, value.get()), S_OK) << "reading " << NarrowItem(item);
        double number = NAN;
        EXPECT_TRUE(hvGetR64(value.get(), &number)) << "type " << hvGetType(value.get());
        return number;
    }
    static std::string NarrowItem(const wchar_t *item) { return std::string(item, item + wcslen(item)); }

    TestDriverLibrary library_;
    ComPtr<IIODriverInstance> driver_;
    ComPtr<IIOParseTag> parser_;
    ScratchDir scratch_;
    std::string logPath_ = scratch_.File("example.log");
};

TEST_F(ExampleTest, MeterAnswersReadsAndWrites) {
    Start(EXAMPLES + "/meter/meter.ini");
    const double voltage = ReadR64(L"Voltage");
    EXPECT_GT(voltage, 220);
    EXPECT_LT(voltage, 240);
    EXPECT_GT(ReadR64(L"Power"), 0);

    HValue phases = HValue::Create();
    ASSERT_EQ(Read(L"Phases", phases.get()), S_OK);
    EXPECT_EQ(hvGetType(phases.get()), static_cast<unsigned>(HV_ARRAY | HV_HVAL));
    EXPECT_EQ(hvGetCount(phases.get()), 3u);

    EXPECT_EQ(WriteR64(L"Setpoint", 35), S_OK);
    EXPECT_EQ(ReadR64(L"Setpoint"), 35);
    EXPECT_EQ(WriteR64(L"Setpoint", 500), E_FAIL);
    EXPECT_EQ(WriteR64(L"Voltage", 1), E_FAIL);

    HValue status = HValue::Create();
    ASSERT_EQ(Read(L"Status", status.get()), S_OK);
    const char *text = nullptr;
    ASSERT_TRUE(hvGetString(status.get(), &text));
    EXPECT_TRUE(std::string(text) == "OK" || std::string(text) == "LIMIT") << text;

    HValue log = HValue::Create();
    ASSERT_EQ(Read(L"Log", log.get()), S_OK);
    ASSERT_EQ(hvListCount(log.get()), 1u);
    hvPosition position = nullptr;
    ASSERT_TRUE(hvGetString(hvListFirst(log.get(), &position), &text));
    EXPECT_STREQ(text, "Setpoint = 35");

    HValue other = HValue::Create();
    EXPECT_EQ(Read(L"Nothing", other.get()), E_FAIL);

    ASSERT_EQ(driver_->StopComm(0, 0, 0, 0), S_OK);
    const auto messages = LogMessages(logPath_);
    EXPECT_TRUE(Contains(messages, "DRIVER\tScript compiled successfully!"));
    EXPECT_TRUE(Contains(messages, "DRIVER\t  Trace: meter simulation started, set-point 40 kW"));
    EXPECT_TRUE(Contains(messages, "DRIVER\t  Trace: meter simulation stopped after 1 writes"));
}

// The device simulator as its own process on a free loopback port.
class DeviceSimulator {
public:
    bool Start() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        port_ = FreePort();
        char command[MAX_PATH + 32];
        _snprintf(command, sizeof command, "devicesim.exe %u", port_);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
            return false;
        CloseHandle(process.hThread);
        process_.reset(process.hProcess);
        // Ready once it accepts a connection.
        for (int attempt = 0; attempt < 3000; ++attempt) {
            if (Get("/nothing")) return true;
            if (WaitForSingleObject(process_.get(), 10) != WAIT_TIMEOUT) return false;
        }
        return false;
    }
    void Stop() {
        if (!process_.valid()) return;
        Get("/shutdown");
        WaitForSingleObject(process_.get(), 30000);
        process_.reset();
        WSACleanup();
    }
    ~DeviceSimulator() { Stop(); }
    unsigned Port() const { return port_; }

private:
    static unsigned FreePort() {
        SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address);
        int length = sizeof address;
        getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length);
        closesocket(probe);
        return ntohs(address.sin_port);
    }
    bool Get(const char *path) {
        SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool answered = false;
        if (connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
            const std::string request = std::string("GET ") + path + " HTTP/1.0\r\n\r\n";
            send(client, request.data(), static_cast<int>(request.size()), 0);
            char reply[256];
            answered = recv(client, reply, sizeof reply, 0) > 0;
        }
        closesocket(client);
        return answered;
    }

    unsigned port_ = 0;
    UniqueHandle process_;
};

TEST_F(ExampleTest, HeatingControllerIsPolledOverHttp) {
    DeviceSimulator device;
    ASSERT_TRUE(device.Start());
    std::string script;
    ASSERT_TRUE(ReadTextFile(EXAMPLES + "/http-device/device.vbs", script));
    const size_t port = script.find("18123");
    ASSERT_NE(port, std::string::npos);
    script.replace(port, 5, std::to_string(device.Port()));
    Start(EXAMPLES + "/http-device/device.ini", script);

    const double temperature = ReadR64(L"Temperature");
    EXPECT_GT(temperature, 10);
    EXPECT_LT(temperature, 30);
    EXPECT_EQ(WriteR64(L"Setpoint", 23.5), S_OK);
    EXPECT_EQ(ReadR64(L"Setpoint"), 23.5);
    EXPECT_EQ(WriteR64(L"Setpoint", 99), E_FAIL);
    EXPECT_EQ(ReadR64(L"Setpoint"), 23.5);
    const double valve = ReadR64(L"Valve");
    EXPECT_GE(valve, 0);
    EXPECT_LE(valve, 100);

    ASSERT_EQ(driver_->StopComm(0, 0, 0, 0), S_OK);
    EXPECT_TRUE(Contains(LogMessages(logPath_), "DRIVER\t  Trace: set-point refused: set-point must be value=5..30"));
}

// Both Modbus clients talk to a libmodbus peer with 100 holding registers,
// register i holding 0x1000 + i, through the same tags.
class ModbusExampleTest : public ExampleTest {
protected:
    HRESULT Registers(uint16_t operation, uint16_t address, uint16_t size, HVALUE value) {
        const wchar_t *item = size > 1 ? L"Registers" : L"Register";
        TagInfo info = {};
        const HRESULT result = parser_->Validate(L"", item, &info);
        if (FAILED(result)) return result;
        DriverRequest request = {};
        request.version = REQUEST_VERSION_CURRENT;
        request.operation = operation;
        request.elementCount = size;
        request.blockSize = size;
        request.n2 = address;
        request.value = value;
        request.flags = REQUEST_FLAG_VALIDATED;
        request.paramItem = item;
        return driver_->IO(&request, value);
    }

    // Reads, a write read back, a block, an exception reply and a value the
    // script refuses before sending; then stops the driver and returns its log.
    std::vector<std::string> ExerciseClient() {
        HValue value = HValue::Create();
        EXPECT_EQ(Registers(OP_READ_VALUE, 5, 1, value.get()), S_OK);
        int32_t number = 0;
        EXPECT_TRUE(hvGetI32(value.get(), &number)) << "type " << hvGetType(value.get());
        EXPECT_EQ(number, 0x1005);

        EXPECT_EQ(Registers(OP_WRITE_VALUE, 7, 1, I32Value(1234).get()), S_OK);
        EXPECT_EQ(Registers(OP_READ_VALUE, 7, 1, value.get()), S_OK);
        EXPECT_TRUE(hvGetI32(value.get(), &number));
        EXPECT_EQ(number, 1234);

        HValue block = HValue::Create();
        EXPECT_EQ(Registers(OP_READ_BLOCK, 10, 3, block.get()), S_OK);
        EXPECT_EQ(hvListCount(block.get()), 3u);
        hvPosition position = nullptr;
        int32_t expected = 0x100A;
        for (HVALUE item = hvListFirst(block.get(), &position); item; item = hvListNext(block.get(), &position)) {
            EXPECT_TRUE(hvGetI32(item, &number));
            EXPECT_EQ(number, expected++);
        }

        // Past the peer's registers: an exception reply refuses the request,
        // and the next request is answered as before.
        EXPECT_EQ(Registers(OP_READ_VALUE, 200, 1, value.get()), E_FAIL);
        EXPECT_EQ(Registers(OP_WRITE_VALUE, 7, 1, I32Value(70000).get()), E_FAIL);
        EXPECT_EQ(Registers(OP_READ_VALUE, 5, 1, value.get()), S_OK);

        EXPECT_EQ(driver_->StopComm(0, 0, 0, 0), S_OK);
        const auto messages = LogMessages(logPath_);
        EXPECT_TRUE(Contains(messages, "DRIVER\t  Trace: register 200: exception 2 from unit 1"));
        EXPECT_TRUE(ContainsMatching(messages, "DRIVER\t  Trace: register 7: QuillonLink.Int16Bytes: the value must "
                                               "lie between -32768 and 65535 \\(80070057\\)"));
        return messages;
    }
};

TEST_F(ModbusExampleTest, RtuClientTalksToLibmodbusOverTheSerialLink) {
    RigDevice device(30, "modbus");
    ASSERT_TRUE(device.Ready());
    Start(EXAMPLES + "/modbus-rtu/modbus-rtu.ini");
    const auto messages = ExerciseClient();
    // The exchanges are the link's traffic: dumped, CRC and all.
    EXPECT_TRUE(Contains(messages, "IO\tTX:  01 03 00 05 00 01 94 0B"));
    EXPECT_TRUE(Contains(messages, "IO\tRX:  01 03 02 10 05 75 87"));
    EXPECT_TRUE(Contains(messages, "IO\tRX:  01 83 02 C0 F1"));
    EXPECT_TRUE(Contains(messages, "DRIVER\t  Trace: Modbus RTU client stopped"));
}

TEST_F(ModbusExampleTest, TcpClientTalksToLibmodbusOverTheEthernetLink) {
    const char *port = std::getenv("QUILLON_MODBUS_PORT");
    if (!port) GTEST_SKIP() << "QUILLON_MODBUS_PORT is not set: run through with-modbus-peer.sh";
    Start(EXAMPLES + "/modbus-tcp/modbus-tcp.ini", std::string(), {{"IO.Ethernet.MainPort", "I32", port}});
    const auto messages = ExerciseClient();
    // Each answer carries its request's transaction number.
    EXPECT_TRUE(Contains(messages, "IO\tTX:  00 01 00 00 00 06 01 03 00 05 00 01"));
    EXPECT_TRUE(Contains(messages, "IO\tRX:  00 01 00 00 00 05 01 03 02 10 05"));
    EXPECT_TRUE(Contains(messages, "IO\tRX:  00 05 00 00 00 03 01 83 02"));
    EXPECT_TRUE(Contains(messages, "DRIVER\t  Trace: Modbus TCP client stopped after 6 requests"));
}

} // namespace
