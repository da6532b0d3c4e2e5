// IO.Type "Ethernet" and "RAS" through Quillon.dll as a host loads it: the
// links start, the status tag and the events block show their states, the
// log shows the socket's lines.
#include "NetFixture.h"

#include "base/ControlTags.h"

using namespace quillon;
using namespace quillon::test;

namespace {

// The first load of the library, of COM and of Winsock leaves things behind
// for the life of the process: one full run is made before any test counts.
class WarmUp : public ::testing::Environment {
public:
    void SetUp() override {
        TcpPeer peer(PeerMode::Echo);
        ScratchDir scratch;
        TestDriverLibrary library;
        library.Load();
        IIODriverInstance *driver = nullptr;
        library.createDriverInstance(nullptr, &driver);
        HValue settings = Settings()
                              .String("IO.Log.Filename", scratch.File("warmup.log"))
                              .Int("IO.Log.Enable", 1)
                              .String("IO.Type", "Ethernet")
                              .String("IO.Ethernet.MainIP", "127.0.0.1")
                              .Int("IO.Ethernet.MainPort", peer.Port())
                              .Make();
        driver->SetSettingsHandle(settings.get());
        driver->StartComm(0, 0, 0, 0);
        WaitUntil([&] { return peer.accepted == 1; });
        driver->StopComm(0, 0, 0, 0);
        driver->Release();
        library.Unload();
    }
};

const auto *const kWarmUp = ::testing::AddGlobalTestEnvironment(new WarmUp);

class NetDriverTest : public DriverFixture {
protected:
    // What loading the library and COM leave behind is theirs: threads are
    // counted with the driver object made and again once its communication
    // has stopped. Handles are not: a start and stop of the script host
    // alone, with no link at all, leaves some here; the links' own handles
    // are counted by the tests that make them directly.
    void SetUp() override {
        DriverFixture::SetUp();
        Instance();
        threadsBefore_ = ThreadCount();
    }
    void TearDown() override {
        if (instance_) instance_->StopComm(0, 0, 0, 0);
        if (!HasFailure()) {
            EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore_; })) << ThreadCount() << " threads";
        }
        DriverFixture::TearDown();
    }
    unsigned threadsBefore_ = 0;
};

TEST_F(NetDriverTest, EthernetLinkStartsAndTheInactivityDropReconnects) {
    TcpPeer peer(PeerMode::Echo);
    StartWith(Instance(), LoggedSettings()
                              .String("IO.Type", "Ethernet")
                              .String("IO.Ethernet.MainIP", "127.0.0.1")
                              .Int("IO.Ethernet.MainPort", peer.Port())
                              .Int("IO.RecoverEnable", 1)
                              .Int("IO.RecoverPeriodSec", 1)
                              .Int("IO.InactivityEnable", 1)
                              .Int("IO.InactivityPeriodSec", 1));
    EXPECT_TRUE(WaitUntil([&] { return ReadNumber(0, HOST_TAG_LINK_STATUS) == LINK_CONNECTED; }));
    EXPECT_TRUE(WaitEvent("-1,6,Physical layer connected!"));
    EXPECT_EQ(0, ReadNumber(ETHERNET_PROPERTY_GROUP, ETHERNET_IP_SELECT));
    EXPECT_TRUE(HasMessageMatching("SOCKET\tsocket connected to '127\\.0\\.0\\.1' on port " +
                                   std::to_string(peer.Port()) + " \\(local port [0-9]+\\)!"));
    // The script host never reads, so silence is what drops and redials.
    EXPECT_TRUE(WaitEvent("-1,19,Physical layer non-responsive for 1 seconds, disconnecting..."));
    EXPECT_TRUE(WaitUntil([&] { return peer.accepted >= 2; }));
    ASSERT_EQ(S_OK, Instance()->StopComm(0, 0, 0, 0));
    EXPECT_TRUE(HasMessageMatching("CHANFER\tTERMINATED! \\(0 bytes sent, 0 bytes received\\)"));
    EXPECT_TRUE(HasMessageMatching("SOCKET\tsocket closed"));
}

// A peer that answers half and closes: the script's exchange ends at once
// with the read's error instead of waiting out its time-out, and the link
// sees the connection go.
TEST_F(NetDriverTest, AScriptExchangeEndsWhenThePeerClosesMidAnswer) {
    TcpPeer peer(PeerMode::CloseMidFrame);
    StartWith(Instance(), LoggedSettings()
                              .String("IO.Type", "Ethernet")
                              .String("IO.Ethernet.MainIP", "127.0.0.1")
                              .Int("IO.Ethernet.MainPort", peer.Port())
                              .String("VBScript.Code", "Sub OnRead(Req, Value)\n"
                                                       "  On Error Resume Next\n"
                                                       "  Dim answer\n"
                                                       "  answer = QuillonLink.Transact(\"01 02 03 04\", 4, 20000)\n"
                                                       "  Value.Value = Err.Description\n"
                                                       "End Sub\n"));
    ASSERT_TRUE(WaitUntil([&] { return ReadNumber(0, HOST_TAG_LINK_STATUS) == LINK_CONNECTED; }));
    HValue value = HValue::Create();
    DriverRequest request = MakeRequest(OP_READ_VALUE, 1, 0, 0, 0, value.get());
    request.flags = REQUEST_FLAG_VALIDATED;
    request.paramItem = L"Answer";
    ASSERT_EQ(S_OK, Instance()->IO(&request, value.get()));
    EXPECT_EQ("QuillonLink.Transact: reading from the link failed (80004005) (80004005)", StringOf(value.get()));
    EXPECT_TRUE(HasMessageMatching("SOCKET\tsocket gracefully closed by the remote partner"));
    EXPECT_TRUE(HasMessageMatching("CHANFER\tCONNECTION LOST!"));
}

// The host's stop returns within 2 s while the link's first attempt waits for
// an address that never answers.
TEST_F(NetDriverTest, StopCommReturnsWhileConnectingToAnAddressThatNeverAnswers) {
    FullListener unanswered;
    ASSERT_TRUE(unanswered.Full());
    StartWith(Instance(), LoggedSettings()
                              .String("IO.Type", "Ethernet")
                              .String("IO.Ethernet.MainIP", "127.0.0.1")
                              .Int("IO.Ethernet.MainPort", unanswered.Port()));
    ASSERT_TRUE(WaitUntil([&] {
        return HasMessageMatching("SOCKET\tconnecting socket to '127\\.0\\.0\\.1' on port " +
                                  std::to_string(unanswered.Port()) + "\\.\\.\\.");
    }));
    const ULONGLONG start = GetTickCount64();
    ASSERT_EQ(S_OK, Instance()->StopComm(0, 0, 0, 0));
    const unsigned took = static_cast<unsigned>(GetTickCount64() - start);
    std::cout << "[ stop     ] drvStopComm while connecting: " << took << " ms\n";
    EXPECT_LT(took, 2000u);
    EXPECT_TRUE(HasMessageMatching("SOCKET\tconnect\\(\\) returned error WSAEINTR \\(10004\\)"));
}

TEST_F(NetDriverTest, RasLinkDialsThroughTheModemServer) {
    TcpPeer modem(PeerMode::Modem);
    StartWith(Instance(), LoggedSettings()
                              .String("IO.Type", "RAS")
                              .String("IO.Ethernet.MainIP", "127.0.0.1")
                              .Int("IO.Ethernet.MainPort", modem.Port())
                              .Int("IO.TimeoutMs", 200)
                              .String("IO.RAS.ATCommand", "ATDT42")
                              .Int("IO.RAS.CommandTimeoutSec", 10));
    EXPECT_TRUE(WaitUntil([&] { return ReadNumber(0, HOST_TAG_LINK_STATUS) == LINK_CONNECTED; }));
    EXPECT_TRUE(WaitEvent("-5,3,RAS response: 'CONNECT 9600'"));
    EXPECT_EQ("ATDT42\r\n", modem.Received());
    EXPECT_TRUE(HasMessageMatching("RAS\tRAS connected!"));
}

} // namespace
