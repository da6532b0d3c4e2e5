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

} // namespace
