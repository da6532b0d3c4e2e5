// The Ethernet link on its engine thread, with a host that reads replies
// through the link: Modbus TCP against libmodbus, UDP, listening, the main
// and backup endpoints, forced disconnects, ping and the simulator route.
#include "NetFixture.h"

#include <algorithm>
#include <cstdlib>

using namespace quillon;
using namespace quillon::test;

namespace {

constexpr int kEthernet = EVENT_SOURCE_ETHERNET;
constexpr int kToolkit = EVENT_SOURCE_TOOLKIT;

class EthernetTest : public NetTest {
protected:
    HRESULT Select(uint16_t item, int32_t value, uint16_t count = 1) {
        HValue number = I32Value(value);
        DriverRequest request = MakeRequest(OP_WRITE_VALUE, -1, 0, ETHERNET_PROPERTY_GROUP, item, number.get(), count);
        return link_->SetProperty(ETHERNET_PROPERTY_GROUP, item, &request, number.get());
    }
    int32_t ActiveIP() {
        HValue value = HValue::Create();
        DriverRequest request = MakeRequest(OP_READ_VALUE, -1, 0, ETHERNET_PROPERTY_GROUP, ETHERNET_IP_SELECT, value.get());
        int32_t number = -1;
        EXPECT_EQ(S_OK, link_->GetProperty(ETHERNET_PROPERTY_GROUP, ETHERNET_IP_SELECT, &request, value.get()));
        hvGetI32(value.get(), &number);
        return number;
    }
    // Started on the main endpoint port, and connected there.
    bool ConnectsTo(uint16_t port) {
        Config().SetU32(param::EthernetMainPort, port);
        return Connects();
    }
    void MainAndBackup(uint16_t mainPort, uint16_t backupPort) {
        Config().SetU32(param::EthernetMainPort, mainPort);
        Config().SetI32(param::EthernetBackupEnable, 1);
        Config().SetString(param::EthernetBackupIP, "127.0.0.1");
        Config().SetU32(param::EthernetBackupPort, backupPort);
        Config().SetI32(param::RecoverEnable, 1);
    }
};

std::string ModbusRequest(uint16_t transaction, uint8_t function, uint16_t address, uint16_t value) {
    const char bytes[] = {char(transaction >> 8), char(transaction), 0, 0, 0, 6, 1, char(function),
                          char(address >> 8),    char(address),     char(value >> 8), char(value)};
    return std::string(bytes, sizeof bytes);
}

TEST_F(EthernetTest, ModbusRoundTripsAgainstLibmodbus) {
    const char *port = std::getenv("QUILLON_MODBUS_PORT");
    if (!port) GTEST_SKIP() << "QUILLON_MODBUS_PORT is not set: run through run-net.sh, which starts the Modbus peer";
    ASSERT_TRUE(ConnectsTo(static_cast<uint32_t>(std::atoi(port))));
    unsigned sent = 0, received = 0;
    for (uint16_t i = 0; i < 50; ++i) {
        std::string reply;
        TransactStatistics statistics = {};
        // Write register i, then read it and the next one back.
        ASSERT_EQ(S_OK, Exchange(ModbusRequest(2 * i, 6, i, 0xA000 + i), &reply, &statistics));
        EXPECT_EQ(ModbusRequest(2 * i, 6, i, 0xA000 + i), reply);
        ASSERT_EQ(S_OK, Exchange(ModbusRequest(2 * i + 1, 3, i, 2), &reply));
        const char expected[] = {char((2 * i + 1) >> 8), char(2 * i + 1), 0, 0, 0, 7, 1, 3, 4,
                                 char(0xA0), char(i), 0x10, char(i + 1)};
        ASSERT_EQ(std::string(expected, sizeof expected), reply);
        EXPECT_EQ(1u, statistics.framesSent);
        sent += 24;
        received += 12 + 13;
    }
    StopLink();
    EXPECT_TRUE(LogHas("CHANFER\tTERMINATED! (" + std::to_string(sent) + " bytes sent, " + std::to_string(received) +
                       " bytes received)"));
    EXPECT_TRUE(LogMatches("IO\tTX:  00 00 00 00 00 06 01 06 00 00 A0 00"));
}

TEST_F(EthernetTest, UdpExchangesWithAResponder) {
    UdpResponder responder;
    Config().SetString(param::EthernetTransport, "udp");
    ASSERT_TRUE(ConnectsTo(responder.Port()));
    host_->replyLength = 7;
    for (int i = 0; i < 20; ++i) {
        std::string reply;
        ASSERT_EQ(S_OK, Exchange("ping", &reply));
        EXPECT_EQ("re:ping", reply);
    }
    EXPECT_EQ(20, responder.datagrams);
}

TEST_F(EthernetTest, Ipv6LinkExchangesWithItsPeer) {
    TcpPeer peer(PeerMode::Echo, true);
    Config().SetI32(param::EthernetUseIPv6, 1);
    Config().SetString(param::EthernetMainIP, "::1");
    ASSERT_TRUE(ConnectsTo(peer.Port()));
    host_->replyLength = 4;
    std::string reply;
    ASSERT_EQ(S_OK, Exchange("six!", &reply));
    EXPECT_EQ("six!", reply);
    ComPtr<IIOSocket> addresses;
    ASSERT_EQ(S_OK, link_->QueryInterface(__uuidof(IIOSocket), addresses.put_void()));
    SocketAddressRecord record;
    ASSERT_EQ(S_OK, addresses->GetLocalAddress(&record));
    EXPECT_EQ(1, record.kind);
    EXPECT_EQ(1, record.ipv6[7]);
}

TEST_F(EthernetTest, ListenModeAcceptsTheDeviceAndWaitsForTheNextOne) {
    const uint16_t port = ClosedPort();
    Config().SetI32(param::EthernetAcceptConnection, 1);
    Config().SetU32(param::EthernetListenPort, port);
    Config().SetString(param::EthernetListenIP, "127.0.0.1");
    host_->idle = S_OK;  // reads what arrives, and so sees a close
    host_->replyLength = 1;
    ASSERT_EQ(S_OK, StartLink());
    EXPECT_EQ(LINK_DISCONNECTED, State());
    for (int round = 1; round <= 2; ++round) {
        auto device = std::make_unique<CSocket>(globals_, nullptr);
        ASSERT_EQ(S_OK, device->Startup(300, false, 0, false));
        ASSERT_EQ(S_OK, device->Connect("127.0.0.1", port, -1));
        ASSERT_TRUE(WaitState(LINK_CONNECTED));
        // Posted just after the link counts as connected.
        EXPECT_TRUE(WaitUntil([&] { return host_->CountEvents(kToolkit, 11) == round; }));
        ASSERT_EQ(S_OK, Exchange("hi", nullptr));
        BYTE got[2] = {};
        ASSERT_EQ(S_OK, device->Read(got, 2, false));
        EXPECT_EQ(0, memcmp(got, "hi", 2));
        device.reset();  // the device goes away
        ASSERT_TRUE(WaitState(LINK_DISCONNECTED));
        EXPECT_TRUE(WaitUntil([&] { return host_->CountEvents(kToolkit, 7) == round; }));
    }
    EXPECT_TRUE(LogMatches("SOCKET\taccepted socket connection from 127\\.0\\.0\\.1:[0-9]+!"));

    // A second server on the same port cannot start, and gives back all it took.
    CNetHost *other = new CNetHost(globals_);
    other->Configuration().SetI32(param::EthernetAcceptConnection, 1);
    other->Configuration().SetU32(param::EthernetListenPort, port);
    ComPtr<CPhysicalLayer> second =
        ComPtr<CPhysicalLayer>::Attach(new CPhysicalLayer_Ethernet(globals_, other, other->Configuration()));
    EXPECT_EQ(E_FAIL, second->Start());
    EXPECT_TRUE(other->HasEvent(kToolkit, 2, "Physical layer initialization failed!"));
    second.reset();
    other->Release();
}

TEST_F(EthernetTest, UdpServerIsConnectedFromTheStart) {
    Config().SetString(param::EthernetTransport, "UDP");
    Config().SetI32(param::EthernetAcceptConnection, 1);
    Config().SetU32(param::EthernetListenPort, ClosedPort());
    ASSERT_TRUE(Connects());
    EXPECT_TRUE(LogHas("SOCKET\taccepted UPD socket connection (by default)!"));
}

// A UDP server answers its last sender. Before any datagram a send fails
// and the link stays up; the address queries never drop it; a sender that
// went away (its system refuses the answer) is no lost connection.
TEST_F(EthernetTest, UdpServerAnswersItsLastSender) {
    const uint16_t port = ClosedPort();
    Config().SetString(param::EthernetTransport, "UDP");
    Config().SetI32(param::EthernetAcceptConnection, 1);
    Config().SetU32(param::EthernetListenPort, port);
    Config().SetString(param::EthernetListenIP, "127.0.0.1");
    host_->idle = S_OK;  // takes each datagram as an unsolicited frame
    host_->replyLength = 5;
    ASSERT_TRUE(Connects());
    ComPtr<IIOSocket> addresses;
    ASSERT_EQ(S_OK, link_->QueryInterface(__uuidof(IIOSocket), addresses.put_void()));
    SocketAddressRecord record;
    EXPECT_EQ(E_FAIL, addresses->GetPeerAddress(&record));
    ASSERT_EQ(S_OK, addresses->GetLocalAddress(&record));
    EXPECT_EQ(port, record.port);
    EXPECT_EQ(E_FAIL, Exchange("early", nullptr));
    EXPECT_TRUE(LogHas("SOCKET\tsend() before any datagram was received: no datagram received yet, nobody to answer"));
    EXPECT_EQ(LINK_CONNECTED, State());

    for (int device = 1; device <= 2; ++device) {
        CSocket sender(globals_, nullptr);
        ASSERT_EQ(S_OK, sender.Startup(300, false, 1, false));
        ASSERT_EQ(S_OK, sender.Connect("127.0.0.1", port, -1));
        SocketAddressRecord own;
        ASSERT_EQ(S_OK, sender.GetLocalAddress(&own));
        ASSERT_EQ(S_OK, sender.Send(reinterpret_cast<const BYTE *>("hello"), 5, true));
        ASSERT_TRUE(WaitUntil([&] { return host_->unsolicited == device; })) << device;
        ASSERT_EQ(S_OK, addresses->GetPeerAddress(&record));
        EXPECT_EQ(own.port, record.port);
        ASSERT_EQ(S_OK, Exchange("world", nullptr)) << device;
        BYTE answer[5] = {};
        ASSERT_EQ(S_OK, sender.Read(answer, 5, false)) << device;
        EXPECT_EQ(0, memcmp(answer, "world", 5));
    }
    // The last sender has gone: its system refuses the answer.
    EXPECT_EQ(S_OK, Exchange("again", nullptr));
    CSocket late(globals_, nullptr);
    ASSERT_EQ(S_OK, late.Startup(300, false, 1, false));
    ASSERT_EQ(S_OK, late.Connect("127.0.0.1", port, -1));
    ASSERT_EQ(S_OK, late.Send(reinterpret_cast<const BYTE *>("later"), 5, true));
    ASSERT_TRUE(WaitUntil([&] { return host_->unsolicited == 3; }));
    EXPECT_EQ(LINK_CONNECTED, State());
    EXPECT_FALSE(host_->HasEvent(kToolkit, 7));
}

TEST_F(EthernetTest, BackupEndpointServesWhenTheMainOneIsDown) {
    TcpPeer backup(PeerMode::Echo);
    const uint16_t closed = ClosedPort();
    MainAndBackup(closed, backup.Port());
    ASSERT_TRUE(Connects());
    // The connection is made before the peer's thread takes it.
    EXPECT_TRUE(WaitUntil([&] { return backup.accepted == 1; }));
    EXPECT_EQ(1, ActiveIP());
    EXPECT_TRUE(host_->HasEvent(kEthernet, 0,
                                "Error connecting to 127.0.0.1 on port " + std::to_string(closed) +
                                    ": socket error WSAECONNREFUSED(10061) calling connect()"));
    EXPECT_TRUE(LogHas("SOCKET\ttrying connection with alternate IP"));
    EXPECT_TRUE(LogHas("SOCKET\tMain IP switched to 127.0.0.1 (port " + std::to_string(backup.Port()) + ")"));
}

TEST_F(EthernetTest, BothEndpointsDownPostTwoEventsPerAttemptAndGiveUp) {
    const uint16_t main = ClosedPort(), backup = ClosedPort();
    MainAndBackup(main, backup);
    Config().SetI32(param::GiveUpEnable, 1);
    Config().SetU32(param::GiveUpTries, 2);
    ASSERT_EQ(S_OK, StartLink());
    ASSERT_TRUE(WaitState(LINK_STOPPED));
    EXPECT_EQ(4, host_->CountEvents(kEthernet, 0));
    EXPECT_TRUE(host_->HasEvent(kEthernet, 0,
                                "Error connecting to 127.0.0.1 on port " + std::to_string(backup) +
                                    " (backup IP): socket error WSAECONNREFUSED(10061) calling connect()"));
    EXPECT_TRUE(host_->HasEvent(kToolkit, 18, "Physical layer aborted (exhausted all retries)!"));
}

TEST_F(EthernetTest, LostMainEndpointSwitchesToTheBackup) {
    auto main = std::make_unique<TcpPeer>(PeerMode::Echo);
    TcpPeer backup(PeerMode::Echo);
    MainAndBackup(main->Port(), backup.Port());
    host_->idle = S_OK;
    host_->replyLength = 1;
    ASSERT_TRUE(Connects());
    EXPECT_EQ(0, ActiveIP());
    main.reset();
    ASSERT_TRUE(WaitUntil([&] { return backup.accepted == 1 && State() == LINK_CONNECTED; }));
    EXPECT_EQ(1, ActiveIP());
    // Reconnected at once (alternate endpoint) or after the recover period
    // (automatic switchover): either way the backup serves now.
    EXPECT_TRUE(LogHas("SOCKET\tMain IP switched to 127.0.0.1 (port " + std::to_string(backup.Port()) + ")") ||
                LogHas("SOCKET\tAutomatic switchover to backup IP ('127.0.0.1')!"));
    std::string reply;
    host_->replyLength = 4;
    EXPECT_EQ(S_OK, Exchange("echo", &reply));
}

TEST_F(EthernetTest, OperatorSelectsAndSwitchesTheActiveEndpoint) {
    TcpPeer main(PeerMode::Echo), backup(PeerMode::Echo);
    MainAndBackup(main.Port(), backup.Port());
    Config().SetU32(param::RecoverPeriodSec, 600);  // the switch must not wait for it
    ASSERT_TRUE(Connects());
    EXPECT_EQ(S_OK, Select(ETHERNET_IP_SELECT, 0));  // already active: nothing happens
    EXPECT_EQ(S_OK, Select(ETHERNET_IP_SELECT, 1));
    EXPECT_EQ(1, ActiveIP());
    ASSERT_TRUE(WaitUntil([&] { return backup.accepted == 1 && State() == LINK_CONNECTED; }));
    EXPECT_TRUE(LogHas("SOCKET\tManual select backup IP ('127.0.0.1') as active!"));
    EXPECT_TRUE(LogHas("SOCKET\tForcing reconnection to apply new active IP"));
    EXPECT_EQ(S_OK, Select(ETHERNET_IP_SWITCH, 12345));
    ASSERT_TRUE(WaitUntil([&] { return main.accepted == 2 && State() == LINK_CONNECTED; }));
    EXPECT_EQ(0, ActiveIP());

    EXPECT_EQ(E_FAIL, Select(ETHERNET_IP_SELECT, 2));
    EXPECT_TRUE(LogHas("SOCKET\tCannot select active IP (invalid parameter)"));
    EXPECT_EQ(E_FAIL, Select(ETHERNET_IP_SELECT, 1, 2));
    HValue text = StringValue("one");
    DriverRequest request = MakeRequest(OP_WRITE_VALUE, -1, 0, 4, 0, text.get());
    EXPECT_EQ(E_FAIL, link_->SetProperty(4, 0, &request, text.get()));
    EXPECT_EQ(E_FAIL, link_->GetProperty(4, 1, &request, text.get()));
    EXPECT_EQ(0, ActiveIP());
    EXPECT_EQ(2, main.accepted);
    EXPECT_EQ(1, backup.accepted);
}

// The operator's choice does not wait for a connection attempt; a connection
// that completes on the endpoint no longer chosen is dropped for the other.
TEST_F(EthernetTest, SelectionDuringAnAttemptReturnsAtOnceAndIsObeyed) {
    FullListener main;
    ASSERT_TRUE(main.Full());
    TcpPeer backup(PeerMode::Echo);
    MainAndBackup(main.Port(), backup.Port());
    Config().SetU32(param::RecoverPeriodSec, 600);
    ASSERT_EQ(S_OK, StartLink());
    ASSERT_TRUE(WaitUntil(
        [&] { return LogHas("SOCKET\tconnecting socket to '127.0.0.1' on port " + std::to_string(main.Port()) + "..."); }));
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(S_OK, Select(ETHERNET_IP_SELECT, 1));
    EXPECT_LT(GetTickCount64() - start, 500u);
    EXPECT_EQ(1, ActiveIP());
    // The main endpoint answers after all (the system repeats its request).
    main.Drain();
    ASSERT_TRUE(WaitUntil([&] { return backup.accepted == 1 && State() == LINK_CONNECTED; }));
    EXPECT_EQ(1, ActiveIP());
    EXPECT_TRUE(LogMatches("SOCKET\tsocket connected to '127\\.0\\.0\\.1' on port " + std::to_string(main.Port()) +
                           " \\(local port [0-9]+\\)!"));
}

TEST_F(EthernetTest, ForcedDisconnectsReconnectAtOnceWithoutGrowth) {
    TcpPeer peer(PeerMode::Echo);
    Config().SetU32(param::EthernetMainPort, peer.Port());
    Config().SetI32(param::RecoverEnable, 1);
    Config().SetU32(param::RecoverPeriodSec, 600);
    ASSERT_TRUE(Connects());
    ComPtr<IIOSocket> addresses;
    ASSERT_EQ(S_OK, link_->QueryInterface(__uuidof(IIOSocket), addresses.put_void()));
    unsigned handlesAt100 = 0;
    for (int cycle = 1; cycle <= 1000; ++cycle) {
        ASSERT_EQ(S_OK, link_->ForceDisconnect());
        ASSERT_TRUE(WaitUntil([&] { return host_->connected == cycle + 1 && State() == LINK_CONNECTED; })) << cycle;
        if (cycle == 100) handlesAt100 = HandleCount();
    }
    EXPECT_LE(HandleCount(), handlesAt100);
    EXPECT_TRUE(WaitUntil([&] { return peer.accepted == 1001; })) << peer.accepted;
    EXPECT_TRUE(LogHas("SOCKET\tDriver forced socket disconnection!"));

    SocketAddressRecord record;
    ASSERT_EQ(S_OK, addresses->GetPeerAddress(&record));
    EXPECT_EQ(peer.Port(), record.port);
    ComPtr<IIOInterface> back;
    EXPECT_EQ(S_OK, addresses->QueryInterface(__uuidof(IIOInterface), back.put_void()));
    EXPECT_EQ(static_cast<IIOInterface *>(link_.get()), back.get());
}

TEST_F(EthernetTest, UnconnectedLinkWithoutBackupRefusesSelectionAndForcedDisconnects) {
    Config().SetU32(param::EthernetMainPort, ClosedPort());
    Config().SetI32(param::RecoverEnable, 1);
    ASSERT_EQ(S_OK, StartLink());
    EXPECT_EQ(E_FAIL, Select(ETHERNET_IP_SELECT, 1));
    EXPECT_TRUE(LogHas("SOCKET\tCannot select active IP (the backup IP is not enabled)"));
    EXPECT_EQ(E_FAIL, Select(ETHERNET_IP_SWITCH, 1));
    EXPECT_EQ(0, ActiveIP());
    EXPECT_EQ(S_FALSE, link_->ForceDisconnect());
    ComPtr<IIOSocket> addresses;
    ASSERT_EQ(S_OK, link_->QueryInterface(__uuidof(IIOSocket), addresses.put_void()));
    SocketAddressRecord record;
    EXPECT_EQ(E_FAIL, addresses->GetLocalAddress(&record));
}

TEST_F(EthernetTest, ReceiveTimeOutAndAPeerClosingMidFrameAreCounted) {
    host_->replyLength = 4;
    for (PeerMode mode : {PeerMode::Silent, PeerMode::CloseMidFrame}) {
        TcpPeer peer(mode);
        ASSERT_TRUE(ConnectsTo(peer.Port()));
        std::string reply;
        TransactStatistics statistics = {};
        EXPECT_EQ(E_FAIL, Exchange("ABCD", &reply, &statistics));
        EXPECT_EQ(1u, statistics.receiveTimeouts);
        if (mode == PeerMode::Silent) {
            EXPECT_EQ(LINK_CONNECTED, State());
            StopLink();
            continue;
        }
        EXPECT_EQ("AB", reply.substr(0, 2));
        // Without recovery the loss ends the link.
        ASSERT_TRUE(WaitState(LINK_STOPPED));
        EXPECT_TRUE(host_->HasEvent(kToolkit, 7, "Physical layer connection lost!"));
    }
}

// A stop ends whatever the link thread is blocked in; the goal is 2 s.
TEST_F(EthernetTest, StopEndsEveryBlockingStepWithinTwoSeconds) {
    FullListener unanswered;
    ASSERT_TRUE(unanswered.Full());
    TcpPeer silent(PeerMode::Silent);
    std::unique_ptr<SystemThread> exchange;
    const std::string connecting =
        "SOCKET\tconnecting socket to '127.0.0.1' on port " + std::to_string(unanswered.Port()) + "...";
    const auto attempts = [&] {
        const std::vector<std::string> log = Log();
        return std::count(log.begin(), log.end(), connecting);
    };
    const struct {
        const char *situation;
        std::function<void()> arrange;
        std::function<bool()> blocked;
        const char *ended;  // the log line of the step that the stop ended
    } cases[] = {
        {"connecting to an address that never answers",
         [&] {
             Config().SetU32(param::EthernetMainPort, unanswered.Port());
             ASSERT_EQ(S_OK, StartLink());
         },
         [&] { return attempts() == 1; },
         "SOCKET\tconnect() returned error WSAEINTR (10004)"},
        {"connecting with the backup address that never answers either",
         [&] {
             MainAndBackup(unanswered.Port(), unanswered.Port());
             ASSERT_EQ(S_OK, StartLink());
         },
         [&] { return attempts() == 2; },
         "SOCKET\tconnect() returned error WSAEINTR (10004)"},
        {"awaiting an answer with the longest receive time-out",
         [&] {
             Config().SetI32(param::EthernetBackupEnable, 0);
             Config().SetU32(param::TimeoutMs, 0xFFFFFFFF);
             host_->replyLength = 4;
             ASSERT_TRUE(ConnectsTo(silent.Port()));
             exchange = std::make_unique<SystemThread>([this] {
                 std::string reply;
                 Exchange("ABCD", &reply);
             });
         },
         [&] { return silent.Received() == "ABCD"; },
         "IO\tRX:  TIMEOUT"},
    };
    for (const auto &c : cases) {
        c.arrange();
        ASSERT_TRUE(WaitUntil(c.blocked)) << c.situation;
        EXPECT_LT(StopTimed(), 2000u) << c.situation;
        exchange.reset();
        EXPECT_TRUE(LogHas(c.ended)) << c.situation;
    }
}

// Periods in seconds whose milliseconds do not fit 32 bits keep their length
// instead of wrapping to a short one (4294968 s would wrap to 704 ms).
TEST_F(EthernetTest, PeriodsBeyond32BitsOfMillisecondsAreNotCutShort) {
    TcpPeer peer(PeerMode::Echo);
    host_->idle = S_OK;  // reads what arrives, and so sees a close
    host_->replyLength = 1;
    const struct {
        const char *situation;
        const char *enable, *period;
        std::function<void()> provoke;
        std::function<bool()> acted;
    } cases[] = {
        {"recover period after a loss", param::RecoverEnable, param::RecoverPeriodSec,
         [&] {
             peer.DropClient();
             ASSERT_TRUE(WaitUntil([&] { return LogHas("CHANFER\tRECONNECT POSTPONED!"); }));
         },
         [&] { return host_->HasEvent(kToolkit, 8); }},
        {"inactivity period", param::InactivityEnable, param::InactivityPeriodSec, [] {},
         [&] { return host_->HasEvent(kToolkit, 19); }},
    };
    for (const auto &c : cases) {
        Config().SetI32(c.enable, 1);
        Config().SetU32(c.period, 4294968);
        ASSERT_TRUE(ConnectsTo(peer.Port())) << c.situation;
        // Past the 704 ms that a wrapped period would last.
        Sleep(1500);
        c.provoke();
        EXPECT_FALSE(c.acted()) << c.situation;
        StopLink();
        host_->ForgetEvents();
        Config().SetI32(c.enable, 0);
    }
}

TEST_F(EthernetTest, PingComesBeforeTheConnection) {
    TcpPeer peer(PeerMode::Echo);
    Config().SetU32(param::EthernetMainPort, peer.Port());
    Config().SetI32(param::EthernetPingEnable, 1);
    Config().SetU32(param::EthernetPingTimeoutMs, 2000);
    ASSERT_TRUE(Connects());
    EXPECT_TRUE(LogMatches("SOCKET\tPING '127\\.0\\.0\\.1' \\(IP 127\\.0\\.0\\.1\\) SUCCEEDED \\([0-9]+ msec\\)"));
    EXPECT_TRUE(WaitUntil([&] { return peer.accepted == 1; }));
    StopLink();

    Config().SetU32(param::EthernetPingTimeoutMs, 0);
    ASSERT_EQ(S_OK, StartLink());
    ASSERT_TRUE(WaitState(LINK_STOPPED));
    EXPECT_TRUE(LogHas("SOCKET\tPING: invalid arguments"));
    EXPECT_TRUE(host_->HasEvent(kEthernet, 0,
                                "Error connecting to 127.0.0.1 on port " + std::to_string(peer.Port()) +
                                    ": no answer to ping"));
    EXPECT_EQ(1, peer.accepted);  // no socket was even made the second time
}

// The registry routes the connection to a simulator, which is greeted with
// the configuration and sees every frame behind a header.
// The switch lives in the registry's 32-bit view, where the shipped 32-bit
// driver reads it on 64-bit Windows; every build reads that view.
class SimulatorTest : public EthernetTest {
protected:
    void TearDown() override {
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, SIMULATOR_REGISTRY_KEY, KEY_WOW64_32KEY, 0);
        EthernetTest::TearDown();
    }
};

TEST_F(SimulatorTest, TrafficIsFramedForTheSimulator) {
    TcpPeer simulator(PeerMode::Silent);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, SIMULATOR_REGISTRY_KEY, 0, nullptr, 0,
                                             KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key, nullptr));
    const DWORD enable = 1, port = simulator.Port();
    RegSetValueExA(key, "EnableTCPSimulation", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&enable), sizeof enable);
    RegSetValueExA(key, "SimulatorPort", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&port), sizeof port);
    RegSetValueExA(key, "SimulatorIP", 0, REG_SZ, reinterpret_cast<const BYTE *>("127.0.0.1"), 10);
    RegCloseKey(key);

    Config().SetString(param::EthernetMainIP, "127.0.0.2");
    Config().SetU32(param::EthernetMainPort, 1);
    HValue image = HValue::Create();
    Config().SaveToValue(image.get());
    const unsigned size = hvFlatSize(image.get());
    std::string flat(size, '\0');
    hvFlatten(image.get(), &flat[0]);

    ASSERT_TRUE(Connects());
    ASSERT_EQ(S_OK, Exchange("abc", nullptr));
    const std::string length = std::string({char(size), char(size >> 8), char(size >> 16), char(size >> 24)});
    const std::string frame = "SYMTX:" + std::string("\x03\0\0\0", 4) + "abc";
    ASSERT_TRUE(WaitUntil([&] { return simulator.Received().size() >= 10 + size + frame.size(); }));
    const std::string received = simulator.Received();
    ASSERT_EQ(10 + size + frame.size(), received.size());
    EXPECT_EQ("SYMXX:" + length, received.substr(0, 10));
    // The configuration's flat image (its values carry their own times).
    const std::string sent = received.substr(10, size);
    EXPECT_EQ(flat.substr(0, 4), sent.substr(0, 4));
    EXPECT_NE(std::string::npos, sent.find("IO.Ethernet.MainIP"));
    EXPECT_NE(std::string::npos, sent.find("127.0.0.2"));
    EXPECT_EQ(frame, received.substr(10 + size));
    EXPECT_TRUE(LogHas("SOCKET\tSimulation ENABLED (127.0.0.2:1 routed to 127.0.0.1:" + std::to_string(port) + ")"));
    StopLink();
    // Only the frame itself is counted.
    EXPECT_TRUE(LogHas("CHANFER\tTERMINATED! (3 bytes sent, 0 bytes received)"));
}

} // namespace
