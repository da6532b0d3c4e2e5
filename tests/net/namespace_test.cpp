// Tests that would send traffic off the machine anywhere but in a private
// network namespace: run-net.sh runs them inside one (QUILLON_NET_NAMESPACE),
// where only loopback exists and pings go unanswered.
#include "NetFixture.h"

#include <cstdlib>

using namespace quillon;
using namespace quillon::test;

namespace {

class NamespaceTest : public NetTest {
protected:
    void SetUp() override {
        if (!std::getenv("QUILLON_NET_NAMESPACE"))
            GTEST_SKIP() << "needs a private network namespace: run through run-net.sh namespace";
        NetTest::SetUp();
    }
    void TearDown() override {
        if (globals_) NetTest::TearDown();
    }
};

TEST_F(NamespaceTest, UdpBroadcastReachesAResponderAndItsAnswerComesBack) {
    UdpResponder responder(false, "0.0.0.0");
    Config().SetString(param::EthernetTransport, "UDP");
    Config().SetI32(param::EthernetUDPBroadcastMode, 1);
    Config().SetString(param::EthernetMainIP, "127.255.255.255");
    Config().SetU32(param::EthernetMainPort, responder.Port());
    // The responder has the remote port: the link takes a local one of its own.
    const uint16_t local = ClosedPort();
    Config().SetI32(param::EthernetMainLocalPortEnable, 1);
    Config().SetU32(param::EthernetMainLocalPort, local);
    ASSERT_TRUE(Connects());
    EXPECT_TRUE(LogHas("SOCKET\tBroadcast enabled for UDP socket"));
    // Each datagram is read behind the sender's address length and address.
    host_->replyLength = 4 + 16 + 8;
    std::string reply;
    ASSERT_EQ(S_OK, Exchange("bcast", &reply));
    EXPECT_EQ(std::string("\x10\0\0\0", 4), reply.substr(0, 4));
    EXPECT_EQ("re:bcast", reply.substr(20));
    EXPECT_EQ(1, responder.datagrams);
}

TEST_F(NamespaceTest, UnansweredPingFailsTheAttemptWithoutASocket) {
    TcpPeer peer(PeerMode::Echo);
    Config().SetU32(param::EthernetMainPort, peer.Port());
    Config().SetI32(param::EthernetPingEnable, 1);
    Config().SetU32(param::EthernetPingTimeoutMs, 200);
    Config().SetU32(param::EthernetPingTries, 2);
    ASSERT_EQ(S_OK, StartLink());
    ASSERT_TRUE(WaitState(LINK_STOPPED));
    int failed = 0;
    for (const std::string &line : Log())
        failed += line.rfind("SOCKET\tPING '127.0.0.1' (IP 127.0.0.1) FAILED (", 0) == 0;
    EXPECT_EQ(3, failed);  // tries + 1 requests
    EXPECT_EQ(0, peer.accepted);
}

// Pings that go unanswered end on a stop within 2 s: between the echoes of
// a ping with the most tries, and inside one long echo.
TEST_F(NamespaceTest, StopEndsAnUnansweredPing) {
    const struct {
        const char *situation;
        DWORD tries, timeoutMs;
        unsigned failedBefore;
    } cases[] = {
        {"the most tries", 0xFFFFFFFF, 200, 2},
        {"one echo of a minute", 0, 60000, 0},
    };
    for (const auto &c : cases) {
        Config().SetU32(param::EthernetMainPort, 502);
        Config().SetI32(param::EthernetPingEnable, 1);
        Config().SetU32(param::EthernetPingTimeoutMs, c.timeoutMs);
        Config().SetU32(param::EthernetPingTries, c.tries);
        ASSERT_EQ(S_OK, StartLink());
        ASSERT_TRUE(WaitUntil([&] {
            unsigned failed = 0;
            for (const std::string &line : Log())
                failed += line.rfind("SOCKET\tPING '127.0.0.1' (IP 127.0.0.1) FAILED (", 0) == 0;
            return host_->HasEvent(EVENT_SOURCE_TOOLKIT, 4) && failed >= c.failedBefore;
        })) << c.situation;
        // Well inside the echo that follows.
        Sleep(300);
        EXPECT_LT(StopTimed(), 2000u) << c.situation;
        host_->ForgetEvents();
    }
}

TEST_F(NamespaceTest, UnknownHostNamesAreReportedForSocketAndPing) {
    Config().SetString(param::EthernetMainIP, "no-such-device.invalid");
    Config().SetU32(param::EthernetMainPort, 502);
    ASSERT_EQ(S_OK, StartLink());
    ASSERT_TRUE(WaitState(LINK_STOPPED));
    EXPECT_TRUE(host_->HasEvent(EVENT_SOURCE_ETHERNET, 0,
                                "Error connecting to no-such-device.invalid on port 502: socket error "
                                "WSATRY_AGAIN(11002) calling getaddrinfo()"));
    StopLink();
    Config().SetI32(param::EthernetPingEnable, 1);
    Config().SetU32(param::EthernetPingTimeoutMs, 200);
    ASSERT_EQ(S_OK, StartLink());
    ASSERT_TRUE(WaitState(LINK_STOPPED));
    EXPECT_TRUE(LogMatches("SOCKET\tPING: DNS error resolving address 'no-such-device\\.invalid' \\(error = [0-9]+\\)"));
}

} // namespace
