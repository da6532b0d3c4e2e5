// The serial port object and the serial link on the serial rig: each test
// puts a simulated device on a pseudo-terminal mapped as a COM port
// (scripts/serial-rig.sh), and a preloaded library records the modem lines
// that Wine sets. Modbus RTU exchanges are answered by libmodbus.
#include "config/ConfigParameters.h"
#include "base/ControlTags.h"
#include "base/DriverInterfaces.h"
#include "phys/SerialPort.h"
#include "tests/phys/HostedLinkTest.h"
#include "tests/support/DriverLibrary.h"
#include "tests/support/SerialRig.h"
#include "tests/support/SystemThread.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

using namespace quillon;
using namespace quillon::test;

namespace {

using Bytes = std::vector<BYTE>;

const auto *const kRig = ::testing::AddGlobalTestEnvironment(new RigQueue);

uint16_t Crc16(const Bytes &bytes) {
    uint16_t crc = 0xFFFF;
    for (BYTE byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

Bytes WithCrc(Bytes frame) {
    const uint16_t crc = Crc16(frame);
    frame.push_back(static_cast<BYTE>(crc & 0xFF));
    frame.push_back(static_cast<BYTE>(crc >> 8));
    return frame;
}

// A host that reads Modbus RTU replies through the link, as a protocol
// driver with its own framing does.
class CModbusHost final : public CEventHost {
public:
    explicit CModbusHost(CIOGlobals *globals) : CEventHost(globals, nullptr) {}

    HRESULT STDMETHODCALLTYPE ReceiveFrame(CFrameBuffer *receive, CFrameBuffer *) override {
        BYTE *head = nullptr;
        if (FAILED(receive->Extend(2, &head))) return E_OUTOFMEMORY;
        HRESULT result = link->Read(head, 2);
        if (FAILED(result)) return result;
        const BYTE function = head[1];
        unsigned rest = 6;
        if (function & 0x80) {
            rest = 3;
        } else if (function == 3 || function == 4) {
            BYTE count = 0;
            if (FAILED(result = link->ReadByte(&count))) return result;
            receive->Append(&count, 1);
            rest = count + 2u;
        }
        BYTE *tail = nullptr;
        if (FAILED(receive->Extend(rest, &tail))) return E_OUTOFMEMORY;
        return link->Read(tail, rest);
    }

    IIOInterface *link = nullptr;

protected:
    ~CModbusHost() override = default;
};

struct CountingOwner : ISerialPortOwner {
    void OnPortSent(unsigned bytes) override { sent += bytes; }
    void OnPortReceived(unsigned bytes) override { received += bytes; }
    unsigned sent = 0, received = 0;
};

class SerialTest : public HostedLinkTest<CModbusHost> {
protected:
    void TearDown() override {
        port_.reset();
        HostedLinkTest::TearDown();
    }
    void ReleaseParts() override { devices_.clear(); }
    RigDevice &Plug(unsigned port, const std::string &mode, const std::string &noise = "") {
        devices_.emplace_back(new RigDevice(port, mode, noise));
        return *devices_.back();
    }

    // The serial link through the factory, as the driver host creates it.
    HRESULT StartLink(unsigned port) {
        Config().SetString(param::Type, "Serial");
        Config().SetU32(param::SerialPort, port);
        return CreateLink();
    }
    using HostedLinkTest::Connected;
    // The link started on port and connected to its device.
    bool Connected(unsigned port) { return StartLink(port) == S_OK && Connected(); }
    // One exchange; the answer lands in reply_, the counts in statistics_.
    HRESULT Transact(const Bytes &request) {
        CFrameBuffer send, receive;
        send.Append(request.data(), static_cast<uint32_t>(request.size()));
        const HRESULT result = link_->Transact(&send, &receive, &statistics_);
        reply_.assign(receive.Data(), receive.Data() + receive.Length());
        return result;
    }

    // A port object configured from Config(), opened on port.
    CSerialPort &OpenPort(unsigned port, HRESULT expected = S_OK) {
        port_.reset(new CSerialPort(globals_, &owner_));
        port_->Configure(Config());
        EXPECT_EQ(expected, port_->Open(port));
        return *port_;
    }

    CountingOwner owner_;
    std::unique_ptr<CSerialPort> port_;
    std::vector<std::unique_ptr<RigDevice>> devices_;
    Bytes reply_;
    TransactStatistics statistics_ = {};
};

const Bytes kReadTwo = WithCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x02});
const Bytes kReadTwoReply = WithCrc({0x01, 0x03, 0x04, 0x10, 0x00, 0x10, 0x01});

// Milliseconds between two recorded moments.
double Ms(const modem_lines_record &from, const modem_lines_record &to) { return (to.usec - from.usec) / 1000.0; }

// The records from the first raise of RTS on.
std::vector<modem_lines_record> FromRtsRaise(const std::vector<modem_lines_record> &records) {
    auto at = std::find_if(records.begin(), records.end(), [](const modem_lines_record &r) {
        return r.kind == MODEM_LINES_SET && (r.value & 4);
    });
    return std::vector<modem_lines_record>(at, records.end());
}

// Recorded moments keep to a delay within this tolerance below (clock
// granularity) and well above (a loaded machine).
constexpr double kEarlyMs = 1.0;
constexpr double kLateMs = 500.0;

TEST_F(SerialTest, ModbusRoundTripsAgainstLibmodbus) {
    Plug(11, "modbus");
    ASSERT_TRUE(Connected(11));
    ASSERT_EQ(S_OK, Transact(kReadTwo));
    EXPECT_EQ(kReadTwoReply, reply_);
    EXPECT_EQ(1u, statistics_.framesSent);
    const Bytes write = WithCrc({0x01, 0x06, 0x00, 0x05, 0x12, 0x34});
    ASSERT_EQ(S_OK, Transact(write));
    EXPECT_EQ(write, reply_);
    ASSERT_EQ(S_OK, Transact(WithCrc({0x01, 0x03, 0x00, 0x05, 0x00, 0x01})));
    EXPECT_EQ(WithCrc({0x01, 0x03, 0x02, 0x12, 0x34}), reply_);
    // An address the device does not have: its exception reply.
    ASSERT_EQ(S_OK, Transact(WithCrc({0x01, 0x03, 0x01, 0x00, 0x00, 0x01})));
    EXPECT_EQ(WithCrc({0x01, 0x83, 0x02}), reply_);
    link_->Stop();
    const std::vector<std::string> messages = Messages();
    EXPECT_TRUE(Contains(messages, "SERIAL\tOpening COM11:9600,8,NONE,1 ..."));
    EXPECT_TRUE(Contains(messages, "SERIAL\tPort opened!"));
    EXPECT_TRUE(Contains(messages, "IO\tTX:  01 03 00 00 00 02 C4 0B"));
    EXPECT_TRUE(Contains(messages, "IO\tRX:  01 03 04 10 00 10 01 32 F3"));
    // 8 + 8 + 8 + 8 bytes sent; 9 + 8 + 7 + 5 received.
    EXPECT_TRUE(Contains(messages, "CHANFER\tTERMINATED! (32 bytes sent, 29 bytes received)"));
}

TEST_F(SerialTest, PortBelowTenAndPrintableDumps) {
    Plug(7, "modbus");
    globals_->Logger()->SetOptions(LOG_OPTION_PRINTABLE_FRAMES);
    ASSERT_TRUE(Connected(7));
    ASSERT_EQ(S_OK, Transact(WithCrc({0x01, 0x06, 0x00, 0x00, 0x41, 0x42})));
    link_->Stop();
    const std::vector<std::string> messages = Messages();
    EXPECT_TRUE(Contains(messages, "SERIAL\tPort opened!"));
    EXPECT_TRUE(Contains(messages, "IO\tTX: [01][06][00][00]AB9[AB]"));
}

TEST_F(SerialTest, MissingPortFailsWithItsEventAndLogLine) {
    ASSERT_EQ(S_OK, StartLink(58));
    ASSERT_TRUE(WaitUntil([&] { return State() == LINK_STOPPED; }));
    const std::vector<PostedEvent> events = host_->Events();
    const auto failed = std::find_if(events.begin(), events.end(), [](const PostedEvent &e) { return e.source == -2; });
    ASSERT_NE(events.end(), failed);
    EXPECT_EQ(2, failed->type);
    EXPECT_EQ(0, failed->number);
    EXPECT_TRUE(ContainsMatching({failed->text}, R"(Error opening serial port: failed to open port \\\\\.\\COM58 \(windows error [0-9]+\))"))
        << failed->text;
    EXPECT_TRUE(ContainsMatching(Messages(), R"(SERIAL\tERROR, failed to open port \\\\\.\\COM58 \([0-9]+\))"));
}

TEST_F(SerialTest, UnansweredRequestTimesOutAndTheNextOneWorks) {
    Plug(12, "modbus");
    Config().SetU32(param::TimeoutMs, 300);
    ASSERT_TRUE(Connected(12));
    // A frame the device cannot accept (its check sum is wrong) stays
    // unanswered.
    Bytes broken = kReadTwo;
    broken.back() ^= 0xFF;
    EXPECT_EQ(E_FAIL, Transact(broken));
    EXPECT_EQ(1u, statistics_.receiveTimeouts);
    EXPECT_EQ(0u, statistics_.receiveErrors);
    ASSERT_EQ(S_OK, Transact(kReadTwo));
    EXPECT_EQ(kReadTwoReply, reply_);
    EXPECT_TRUE(Contains(Messages(), "IO\tRX:  TIMEOUT"));
}

TEST_F(SerialTest, HalfAFrameIsCountedThenTimesOut) {
    Plug(13, "half");
    Config().SetU32(param::TimeoutMs, 200);
    ASSERT_TRUE(Connected(13));
    EXPECT_EQ(E_FAIL, Transact(kReadTwo));
    EXPECT_EQ(1u, statistics_.receiveTimeouts);
    // What did arrive is in the buffer.
    ASSERT_GE(reply_.size(), 3u);
    EXPECT_EQ(Bytes({0x01, 0x03, 0x04, 0x10}), Bytes(reply_.begin(), reply_.begin() + 4));
    link_->Stop();
    const std::vector<std::string> messages = Messages();
    EXPECT_TRUE(Contains(messages, "IO\tRX:  01 03 04 10 TIMEOUT"));
    EXPECT_TRUE(Contains(messages, "CHANFER\tTERMINATED! (8 bytes sent, 4 bytes received)"));
}

TEST_F(SerialTest, BytesNobodyAskedForAreDroppedBeforeASend) {
    Plug(14, "modbus", "NOISE");
    CSerialPort &port = OpenPort(14);
    ASSERT_TRUE(WaitUntil([&] { return port.HasInput(); }));
    BYTE first = 0;
    ASSERT_EQ(S_OK, port.Read(&first, 1, false));
    EXPECT_EQ('N', first);
    ASSERT_TRUE(port.PrepareSend());
    EXPECT_FALSE(port.HasInput());
    ASSERT_EQ(S_OK, port.Write(kReadTwo.data(), static_cast<unsigned>(kReadTwo.size())));
    EXPECT_TRUE(port.FinishSend());
    // The watcher signals the reply's arrival (the link thread waits for it).
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(port.ReceiveEvent(), kDeadlineMs));
    Bytes reply(kReadTwoReply.size());
    ASSERT_EQ(S_OK, port.Read(reply.data(), static_cast<unsigned>(reply.size()), false));
    EXPECT_EQ(kReadTwoReply, reply);
    port.Close();
    EXPECT_EQ(1u + 9u, owner_.received);
    EXPECT_TRUE(ContainsMatching(Messages(), R"(IO\tRX:  4E)"));
}

TEST_F(SerialTest, EchoIsSwallowedAndAMissingEchoFailsTheWrite) {
    Plug(15, "echo");
    Config().SetI32(param::SerialSupressEcho, 1);
    CSerialPort &port = OpenPort(15);
    const BYTE frame[] = {'A', 'B', 'C'};
    ASSERT_EQ(S_OK, port.Write(frame, 3));
    BYTE reply[3] = {};
    ASSERT_EQ(S_OK, port.Read(reply, 3, false));
    EXPECT_EQ(Bytes({'C', 'B', 'A'}), Bytes(reply, reply + 3));
    // The echo is neither counted nor dumped.
    EXPECT_EQ(3u, owner_.sent);
    EXPECT_EQ(3u, owner_.received);
    port.Close();

    Plug(16, "silent");
    port_.reset();
    CSerialPort &silent = OpenPort(16);
    silent.SetReceiveTimeout(100);
    silent.ApplyTimeouts();
    EXPECT_EQ(IO_E_RECEIVE_TIMEOUT, silent.Write(frame, 3));
    silent.Close();
    const std::vector<std::string> messages = Messages();
    EXPECT_TRUE(Contains(messages, "IO\tRX:  43 42 41"));
    // Messages of one direction from one thread continue one line.
    EXPECT_TRUE(Contains(
        messages, "IO\tRX:  TIMEOUT supressing echoERROR receiving echo for byte 1 of 3 (receive failed, hr = 8004E000)"));
}

TEST_F(SerialTest, PortObjectTogglesRtsWithItsDelays) {
    RigDevice &device = Plug(17, "silent");
    Config().SetU32(param::SerialRTS, 3);
    Config().SetU32(param::SerialDelayBeforeMs, 30);
    Config().SetU32(param::SerialDelayAfterMs, 45);
    CSerialPort &port = OpenPort(17);
    EXPECT_EQ(CSerialPort::RTS_PORT_TOGGLE, port.GetRtsMode());
    ASSERT_TRUE(port.PrepareSend());
    ASSERT_EQ(S_OK, port.Write(kReadTwo.data(), static_cast<unsigned>(kReadTwo.size())));
    ASSERT_TRUE(port.FinishSend());
    const std::vector<modem_lines_record> records = FromRtsRaise(device.Records());
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ(uint32_t(MODEM_LINES_WRITE), records[1].kind);
    EXPECT_EQ(8u, records[1].value);
    EXPECT_EQ(uint32_t(MODEM_LINES_SET), records[2].kind);
    EXPECT_EQ(0u, records[2].value & 4);
    EXPECT_GE(Ms(records[0], records[1]), 30 - kEarlyMs);
    EXPECT_LE(Ms(records[0], records[1]), 30 + kLateMs);
    EXPECT_GE(Ms(records[1], records[2]), 45 - kEarlyMs);
    EXPECT_LE(Ms(records[1], records[2]), 45 + kLateMs);
}

TEST_F(SerialTest, CtsTimeOutFailsTheSendAndDropsRts) {
    RigDevice &device = Plug(18, "modbus");
    Config().SetU32(param::SerialRTS, 3);
    Config().SetI32(param::SerialWaitCTS, 1);
    Config().SetU32(param::SerialCTSTimeoutMs, 100);
    ASSERT_TRUE(Connected(18));
    EXPECT_EQ(E_FAIL, Transact(kReadTwo));
    EXPECT_EQ(1u, statistics_.failures);
    std::vector<modem_lines_record> records = FromRtsRaise(device.Records());
    ASSERT_EQ(2u, records.size()) << "RTS raised, then dropped, nothing written";
    EXPECT_EQ(0u, records[1].value & 4);
    EXPECT_GE(Ms(records[0], records[1]), 100 - kEarlyMs);

    device.SetInputs(0x20);
    const size_t before = device.Records().size();
    ASSERT_EQ(S_OK, Transact(kReadTwo));
    EXPECT_EQ(kReadTwoReply, reply_);
    records = device.Records();
    ASSERT_EQ(before + 3, records.size());
    EXPECT_EQ(uint32_t(MODEM_LINES_WRITE), records[before + 1].kind);
    EXPECT_EQ(0u, records[before + 2].value & 4);
    EXPECT_TRUE(Contains(Messages(), "SERIAL\tERROR, CTS not raised within 100 ms, RTS dropped"));
}

TEST_F(SerialTest, InterByteAndInterFrameDelaysSpaceTheWrites) {
    RigDevice &device = Plug(19, "silent");
    Config().SetU32(param::SerialInterbyteDelayUs, 4000);
    Config().SetU32(param::SerialInterframeDelayMs, 60);
    CSerialPort &port = OpenPort(19);
    const BYTE frame[] = {1, 2, 3, 4};
    ASSERT_EQ(S_OK, port.Write(frame, 4));
    ASSERT_EQ(S_OK, port.Write(frame, 1));
    std::vector<modem_lines_record> writes;
    for (const modem_lines_record &record : device.Records())
        if (record.kind == MODEM_LINES_WRITE) writes.push_back(record);
    ASSERT_EQ(5u, writes.size()) << "one write per byte";
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(1u, writes[i].value);
        EXPECT_GE(Ms(writes[i - 1], writes[i]), 4 - kEarlyMs);
    }
    EXPECT_GE(Ms(writes[3], writes[4]), 60 - kEarlyMs);
    EXPECT_LE(Ms(writes[3], writes[4]), 60 + kLateMs);
}

TEST_F(SerialTest, SystemToggledRtsIsRefusedByWineWithAClearFailure) {
    Plug(20, "silent");
    for (uint32_t requested : {2u, 3u}) {
        Config().SetU32(param::SerialRTS, requested);
        CSerialPort &port = OpenPort(20, E_FAIL);
        EXPECT_EQ(CSerialPort::RTS_SYSTEM_TOGGLE, port.GetRtsMode());
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ("failed to configure port \\\\.\\COM20 (windows error 50)", port.ErrorText());
    }
    EXPECT_TRUE(Contains(Messages(), "SERIAL\tERROR, SetCommState failed (50)"));
    // The port is free again.
    Config().SetU32(param::SerialRTS, 1);
    CSerialPort &port = OpenPort(20);
    EXPECT_EQ(CSerialPort::RTS_ON, port.GetRtsMode());
    EXPECT_EQ(E_FAIL, port.Open(20));
    EXPECT_EQ("tried to open port COM20 twice", port.ErrorText());
}

TEST_F(SerialTest, ParameterValuesOutsideTheTableFallBack) {
    RigDevice &device = Plug(21, "silent");
    Config().SetU32(param::SerialDataBits, 5);
    Config().SetU32(param::SerialParity, 9);
    Config().SetU32(param::SerialStopBits, 7);
    Config().SetU32(param::SerialRTS, 9);
    Config().SetU32(param::SerialDTR, 1);
    CSerialPort &port = OpenPort(21);
    EXPECT_EQ(8, port.Settings().ByteSize);
    EXPECT_EQ(NOPARITY, port.Settings().Parity);
    EXPECT_EQ(ONESTOPBIT, port.Settings().StopBits);
    EXPECT_EQ(CSerialPort::RTS_OFF, port.GetRtsMode());
    const std::vector<modem_lines_record> records = device.Records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(2u, records.back().value) << "DTR on, RTS off";
    port.Close();
    Config().SetU32(param::SerialDataBits, 7);
    Config().SetU32(param::SerialParity, 2);
    Config().SetU32(param::SerialStopBits, 2);
    Config().SetU32(param::SerialBaudrate, 19200);
    OpenPort(21).Close();
    const std::vector<std::string> messages = Messages();
    EXPECT_TRUE(Contains(messages, "SERIAL\tOpening COM21:9600,8,NONE,1 ..."));
    EXPECT_TRUE(Contains(messages, "SERIAL\tOpening COM21:19200,7,EVEN,2 ..."));
}

// The far end going away kills the port's handle for good: the first
// transfer that meets it closes the port, whichever way it goes.
TEST_F(SerialTest, FarEndGoingAwayClosesThePort) {
    {
        RigDevice &device = Plug(22, "modbus");
        CSerialPort &port = OpenPort(22);
        device.Unplug();
        BYTE byte = 0;
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_BROKEN_PIPE), port.Read(&byte, 1, false));
        EXPECT_FALSE(port.IsOpen());
        EXPECT_TRUE(port.ClosedByFault());
        EXPECT_EQ(E_FAIL, port.Write(kReadTwo.data(), static_cast<unsigned>(kReadTwo.size())));
    }
    {
        RigDevice &device = Plug(22, "modbus");
        CSerialPort &port = OpenPort(22);
        device.Unplug();
        EXPECT_EQ(E_FAIL, port.Write(kReadTwo.data(), static_cast<unsigned>(kReadTwo.size())));
        EXPECT_FALSE(port.IsOpen());
        EXPECT_TRUE(port.ClosedByFault());
    }
    const std::vector<std::string> messages = Messages();
    EXPECT_TRUE(Contains(messages, "IO\tRX: ERROR, GetOverlappedResult returned error 109"));
    EXPECT_TRUE(Contains(messages, "SERIAL\tERROR, the device is gone (windows error 109), port closed"));
    EXPECT_TRUE(Contains(messages, "IO\tTX: ERROR(err(21) != ERROR_IO_PENDING)"));
    EXPECT_TRUE(Contains(messages, "SERIAL\tERROR, the device is gone (windows error 21), port closed"));
}

// An exchange that meets a device gone makes the connection lost, and the
// link opens the port anew once the device is back, with no inactivity drop.
TEST_F(SerialTest, DeviceGoneIsALostConnectionAndThePortOpensAgainOnceBack) {
    RigDevice &device = Plug(26, "modbus");
    Config().SetI32(param::RecoverEnable, 1);
    Config().SetU32(param::RecoverPeriodSec, 1);
    ASSERT_TRUE(Connected(26));
    device.Unplug();
    EXPECT_NE(S_OK, Transact(kReadTwo));
    ASSERT_TRUE(WaitUntil([&] { return host_->HasEvent(-1, 7); }));
    Plug(26, "modbus");
    ASSERT_TRUE(WaitUntil([&] { return Transact(kReadTwo) == S_OK; }));
    EXPECT_EQ(kReadTwoReply, reply_);
}

TEST_F(SerialTest, InactivityDropReconnectsOnceTheDeviceIsBack) {
    RigDevice &device = Plug(23, "modbus");
    Config().SetI32(param::InactivityEnable, 1);
    Config().SetU32(param::InactivityPeriodSec, 1);
    Config().SetI32(param::RecoverEnable, 1);
    Config().SetU32(param::RecoverPeriodSec, 1);
    ASSERT_TRUE(Connected(23));
    device.Unplug();
    // Never reported lost; the inactivity drop closes it and the retries
    // fail while the device is away.
    ASSERT_TRUE(WaitUntil([&] { return host_->HasEvent(-1, 19); }));
    ASSERT_TRUE(WaitUntil([&] { return host_->HasEvent(-1, 13); }));
    EXPECT_FALSE(host_->HasEvent(-1, 7));
    Plug(23, "modbus");
    ASSERT_TRUE(WaitUntil([&] { return host_->HasEvent(-1, 14); }));
    ASSERT_TRUE(Connected());
    ASSERT_EQ(S_OK, Transact(kReadTwo));
    EXPECT_EQ(kReadTwoReply, reply_);
}

// A stop ends the waits of an exchange well before their own limits: the
// wait for an answer and the wait for CTS.
TEST_F(SerialTest, StopEndsTheWaitsOfAnExchange) {
    const auto sawRecord = [](RigDevice &device, uint32_t kind, uint32_t bits) {
        const std::vector<modem_lines_record> records = device.Records();
        return std::any_of(records.begin(), records.end(),
                           [&](const modem_lines_record &r) { return r.kind == kind && (r.value & bits) == bits; });
    };
    const struct {
        const char *situation;
        unsigned port;
        std::function<void()> arrange;
        uint32_t blockedKind, blockedBits;
    } cases[] = {
        {"awaiting the answer", 24, [&] { Config().SetU32(param::TimeoutMs, 60000); }, MODEM_LINES_WRITE, 0},
        {"awaiting CTS", 18,
         [&] {
             Config().SetU32(param::SerialRTS, 3);
             Config().SetI32(param::SerialWaitCTS, 1);
             Config().SetU32(param::SerialCTSTimeoutMs, 60000);
         },
         MODEM_LINES_SET, 4},
    };
    for (const auto &c : cases) {
        RigDevice &device = Plug(c.port, "silent");
        c.arrange();
        ASSERT_TRUE(Connected(c.port)) << c.situation;
        HRESULT result = S_OK;
        SystemThread caller([&] { result = Transact(kReadTwo); });
        const bool blocked = WaitUntil([&] { return sawRecord(device, c.blockedKind, c.blockedBits); });
        const DWORD start = GetTickCount();
        link_->Stop();
        const DWORD took = GetTickCount() - start;
        caller.Join();
        ASSERT_TRUE(blocked) << c.situation;
        EXPECT_EQ(E_FAIL, result) << c.situation;
        std::cout << "[ stop     ] " << c.situation << ": " << took << " ms\n";
        EXPECT_LT(took, 2000u) << c.situation;
        StopLink();
        devices_.clear();
    }
}

// The whole road: the driver object with IO.Type Serial, read as a host does.
class SerialDriverTest : public DriverFixture {};

TEST_F(SerialDriverTest, DriverStartsTheSerialLink) {
    RigDevice device(25, "modbus");
    StartWith(Instance(), LoggedSettings().String("IO.Type", "Serial").Int("IO.Serial.Port", 25));
    EXPECT_TRUE(WaitUntil([&] { return ReadNumber(0, HOST_TAG_LINK_STATUS) == LINK_CONNECTED; }));
    EXPECT_TRUE(ConnectsAtOnce());
    ASSERT_EQ(S_OK, Instance()->StopComm(0, 0, 0, 0));
    const std::vector<std::string> messages = Messages();
    EXPECT_TRUE(Contains(messages, "SERIAL\tOpening COM25:9600,8,NONE,1 ..."));
    EXPECT_TRUE(Contains(messages, "SERIAL\tPort opened!"));
}

} // namespace
