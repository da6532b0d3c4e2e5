// The RAS link against a modem server of the test's own: the AT dialog, its
// time-out, and the carrier watch with reconnection.
#include "NetFixture.h"

using namespace quillon;
using namespace quillon::test;

namespace {

constexpr int kRas = EVENT_SOURCE_RAS;

class RasTest : public NetTest {
protected:
    void Dial(const TcpPeer &modem, unsigned timeoutSec) {
        Config().SetU32(param::EthernetMainPort, modem.Port());
        Config().SetString(param::RASATCommand, "ATDT5550187");
        Config().SetU32(param::RASCommandTimeoutSec, timeoutSec);
    }
};

TEST_F(RasTest, ConnectsOnConnectAndRedialsAfterNoCarrier) {
    TcpPeer modem(PeerMode::Modem);
    modem.hangup = {"\r\nno car", "RiEr\r\n"};  // split over two reads, mixed case
    Dial(modem, 10);
    Config().SetI32(param::RecoverEnable, 1);
    host_->idle = S_OK;  // reads what arrives, so the carrier watch sees it
    host_->replyLength = 4;
    ASSERT_TRUE(Connects(true));
    EXPECT_EQ("ATDT5550187\r\n", modem.Received());
    EXPECT_TRUE(host_->HasEvent(kRas, 3, "RAS response: 'CONNECT 9600'"));
    EXPECT_TRUE(LogHas("RAS\tSending AT command 'ATDT5550187'..."));
    EXPECT_TRUE(LogHas("RAS\tReceived RAS response: 'CONNECT 9600'"));
    EXPECT_TRUE(LogHas("RAS\tRAS connected!"));
    EXPECT_TRUE(LogHas("IO\tTX: ATDT5550187[0D][0A]"));  // printable dump during the dialog

    std::string reply;
    ASSERT_EQ(S_OK, Exchange("data", &reply));
    EXPECT_EQ("data", reply);
    ASSERT_EQ(S_OK, Exchange("HANGUP", nullptr));
    ASSERT_TRUE(WaitUntil([&] { return host_->CountEvents(kRas, 4) == 1; }));
    EXPECT_TRUE(host_->HasEvent(kRas, 4, "RAS connection error:  NO CARRIER"));
    EXPECT_TRUE(LogHas("RAS\tERROR: NO CARRIER"));
    ASSERT_TRUE(WaitUntil([&] { return modem.accepted == 2 && State() == LINK_CONNECTED; }));
    EXPECT_TRUE(host_->HasEvent(EVENT_SOURCE_TOOLKIT, 7, "Physical layer connection lost!"));
    ASSERT_EQ(S_OK, Exchange("more", &reply));
    EXPECT_EQ("more", reply);
}

TEST_F(RasTest, BusyOrSilenceEndsInTheCommandTimeOut) {
    for (const char *answer : {"BUSY", ""}) {
        TcpPeer modem(PeerMode::Modem);
        modem.modemAnswer = answer;
        Dial(modem, 1);
        ASSERT_EQ(S_OK, StartLink(true));
        ASSERT_TRUE(WaitState(LINK_STOPPED)) << answer;
        EXPECT_EQ(1, host_->CountEvents(kRas, 3));  // the BUSY line; silence adds none
        EXPECT_TRUE(host_->HasEvent(kRas, 1, "Timeout waiting for CONNECT"));
        EXPECT_TRUE(LogHas("RAS\tERROR: Timeout waiting for 'CONNECT'"));
        EXPECT_TRUE(host_->HasEvent(EVENT_SOURCE_TOOLKIT, 5, "Failed to connect physical layer!"));
        StopLink();
        EXPECT_TRUE(WaitUntil([&] { return modem.accepted == 1; }));
    }
}

// A modem server that keeps talking, or one that says nothing within a
// command time-out beyond 32 bits of milliseconds: the command still goes
// out, responses stay bounded, and a stop ends the dialog within 2 s.
TEST_F(RasTest, StopEndsTheDialogWithTalkativeOrSilentServers) {
    const DWORD longest = 4294968;  // seconds: wraps to 704 ms in 32-bit milliseconds
    const struct {
        const char *situation;
        PeerMode mode;
        std::string answer;
        std::function<bool()> blocked;
    } cases[] = {
        {"a banner repeated without end", PeerMode::Banner, "",
         [&] { return host_->HasEvent(kRas, 3, "RAS response: '" + std::string(256, 'B') + "'"); }},
        {"a server that never answers", PeerMode::Modem, "",
         [&] {
             // Receive time-outs of 300 ms pass one after another beyond
             // the 704 ms that a wrapped command time-out would last.
             size_t timeouts = 0;
             for (const std::string &line : Log())
                 for (size_t at = line.find(" TIMEOUT"); at != std::string::npos; at = line.find(" TIMEOUT", at + 1))
                     ++timeouts;
             return timeouts >= 4;
         }},
    };
    for (const auto &c : cases) {
        TcpPeer modem(c.mode);
        modem.modemAnswer = c.answer;
        Dial(modem, longest);
        ASSERT_EQ(S_OK, StartLink(true));
        ASSERT_TRUE(WaitUntil([&] { return modem.Received() == "ATDT5550187\r\n"; })) << c.situation;
        ASSERT_TRUE(WaitUntil(c.blocked)) << c.situation;
        EXPECT_FALSE(host_->HasEvent(kRas, 1, "Timeout waiting for CONNECT")) << c.situation;
        EXPECT_LT(StopTimed(), 2000u) << c.situation;
        host_->ForgetEvents();
    }
}

} // namespace
