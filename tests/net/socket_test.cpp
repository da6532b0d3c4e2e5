// The socket on its own, on the test's thread, against peers on loopback:
// addresses, texts of failures, reads with their time-out, listening.
#include "NetFixture.h"

#include <cstring>
#include <memory>

using namespace quillon;
using namespace quillon::test;

namespace {

class SocketTest : public NetTest {
protected:
    std::unique_ptr<CSocket> MakeSocket(bool ipv6 = false, int transport = 0) {
        auto socket = std::make_unique<CSocket>(globals_, nullptr);
        EXPECT_EQ(S_OK, socket->Startup(300, ipv6, transport, false));
        return socket;
    }
    static std::string Text(const BYTE *bytes, size_t count) { return std::string(reinterpret_cast<const char *>(bytes), count); }
};

TEST_F(SocketTest, ConnectsSendsAndReadsOverIPv4AndIPv6) {
    for (bool ipv6 : {false, true}) {
        TcpPeer peer(PeerMode::Echo, ipv6);
        auto socket = MakeSocket(ipv6);
        const std::string host = ipv6 ? "::1" : "127.0.0.1";
        ASSERT_EQ(S_OK, socket->Connect(host.c_str(), peer.Port(), -1)) << socket->ErrorText();
        EXPECT_TRUE(LogMatches("SOCKET\tsocket connected to '" + host + "' on port " + std::to_string(peer.Port()) +
                               " \\(local port [0-9]+\\)!"));
        wchar_t className[64] = L"";
        GetClassNameW(socket->Window(), className, 64);
        EXPECT_STREQ(L"ChanferSocketWindow", className);

        ASSERT_EQ(S_OK, socket->Send(reinterpret_cast<const BYTE *>("hello"), 5, false));
        BYTE reply[5] = {};
        ASSERT_EQ(S_OK, socket->Read(reply, 5, false));
        EXPECT_EQ("hello", Text(reply, 5));

        SocketAddressRecord peerRecord, localRecord;
        ASSERT_EQ(S_OK, socket->GetPeerAddress(&peerRecord));
        ASSERT_EQ(S_OK, socket->GetLocalAddress(&localRecord));
        EXPECT_EQ(peer.Port(), peerRecord.port);
        EXPECT_NE(0, localRecord.port);
        EXPECT_EQ(ipv6 ? 1 : 0, peerRecord.kind);
        if (ipv6) {
            const uint16_t loopback[8] = {0, 0, 0, 0, 0, 0, 0, 1};
            EXPECT_EQ(0, memcmp(loopback, peerRecord.ipv6, sizeof loopback));
        } else {
            const uint8_t loopback[4] = {127, 0, 0, 1};
            EXPECT_EQ(0, memcmp(loopback, peerRecord.ipv4, 4));
        }
        // A second connection on an open socket is refused and changes nothing.
        EXPECT_EQ(E_FAIL, socket->Connect(host.c_str(), peer.Port(), -1));
        EXPECT_EQ("tried to connect socket twice", socket->ErrorText());
        EXPECT_TRUE(socket->IsOpen());
        socket->Close();
        EXPECT_FALSE(socket->IsOpen());
    }
    EXPECT_TRUE(LogHas("SOCKET\tsocket closed"));
}

// Connections that cannot be made, tried in turn on one socket of each
// family, and the texts that say why. An address of the other family, either
// way round, is named plainly (the resolver's own code for it is not a
// Winsock one).
struct ConnectFault {
    bool ipv6;
    const char *address;
    HRESULT result;
    const char *error;
};
const ConnectFault kConnectFaults[] = {
    {false, "127.0.0.1", E_FAIL, "socket error WSAECONNREFUSED(10061) calling connect()"},
    {false, nullptr, E_POINTER, "null address"},
    {true, "127.0.0.1", E_FAIL, "socket error WSANO_DATA(11004) calling getaddrinfo()"},
    {false, "::1", E_FAIL, "socket error WSANO_DATA(11004) calling getaddrinfo()"},
};

TEST_F(SocketTest, FailuresReadAsClearTextsAndLeaveNoSocket) {
    const uint16_t closed = ClosedPort();
    std::unique_ptr<CSocket> sockets[] = {MakeSocket(false), MakeSocket(true)};
    for (const ConnectFault &fault : kConnectFaults) {
        CSocket &socket = *sockets[fault.ipv6];
        EXPECT_EQ(fault.result, socket.Connect(fault.address, closed, -1)) << fault.error;
        EXPECT_EQ(fault.error, socket.ErrorText());
        EXPECT_FALSE(socket.IsOpen()) << fault.error;
        BYTE byte = 0;
        EXPECT_EQ(E_FAIL, socket.Read(&byte, 1, false)) << fault.error;
        EXPECT_EQ(E_POINTER, socket.Read(nullptr, 1, false)) << fault.error;
        EXPECT_EQ(E_FAIL, socket.Send(&byte, 1, false)) << fault.error;
    }
    EXPECT_TRUE(LogHas("SOCKET\tconnect() returned error WSAECONNREFUSED (10061)"));
    EXPECT_TRUE(LogHas("SOCKET\tfailed to connect socket to '127.0.0.1' on port " + std::to_string(closed) + "!"));
}

// Reads of four bytes of which two come: the time-out ends the first (and the
// line of the bytes it did get), the peer's close ends the second long before
// its time-out.
struct ShortRead {
    PeerMode peer;
    const char *sent;
    DWORD timeoutMs;
    bool openAfter;
    const char *logLine;
};
const ShortRead kShortReads[] = {
    {PeerMode::Echo, "ab", 300, true, "IO\tRX:  61 62 TIMEOUT"},
    {PeerMode::CloseMidFrame, "ABCD", 20000, false, "SOCKET\tsocket gracefully closed by the remote partner"},
};

TEST_F(SocketTest, ReadsEndAtTheTimeOutOrWhenThePeerCloses) {
    for (const ShortRead &read : kShortReads) {
        TcpPeer peer(read.peer);
        auto socket = MakeSocket();
        socket->SetTimeout(read.timeoutMs);
        ASSERT_EQ(S_OK, socket->Connect("127.0.0.1", peer.Port(), -1));
        ASSERT_EQ(S_OK, socket->Send(reinterpret_cast<const BYTE *>(read.sent), static_cast<unsigned>(strlen(read.sent)), false));
        BYTE reply[4] = {};
        const DWORD start = GetTickCount();
        EXPECT_EQ(IO_E_RECEIVE_TIMEOUT, socket->Read(reply, 4, false)) << read.sent;
        EXPECT_LT(GetTickCount() - start, 15000u) << read.sent;
        EXPECT_EQ(std::string(read.sent, 2), Text(reply, 2));
        EXPECT_EQ(read.openAfter, socket->IsOpen()) << read.sent;
        EXPECT_TRUE(LogHas(read.logLine)) << read.logLine;
    }
}

TEST_F(SocketTest, EchoSuppressionReadsBackWhatWasSent) {
    TcpPeer echo(PeerMode::Echo);
    auto socket = MakeSocket();
    socket->SetSuppressEcho(true);
    ASSERT_EQ(S_OK, socket->Connect("127.0.0.1", echo.Port(), -1));
    EXPECT_EQ(S_OK, socket->Send(reinterpret_cast<const BYTE *>("abc"), 3, false));
    EXPECT_EQ(0u, socket->Queued());
    socket->Close();

    TcpPeer silent(PeerMode::Silent);
    ASSERT_EQ(S_OK, socket->Connect("127.0.0.1", silent.Port(), -1));
    EXPECT_EQ(IO_E_RECEIVE_TIMEOUT, socket->Send(reinterpret_cast<const BYTE *>("abc"), 3, false));
    EXPECT_TRUE(
        LogHas("IO\tRX:  TIMEOUT supressing echoERROR receiving echo for byte 1 of 3 (receive failed, hr = 8004E000)"));
}

TEST_F(SocketTest, FloodingPeerKeepsTheQueueBoundedAndBlockedSendsTimeOut) {
    TcpPeer flood(PeerMode::Flood);
    auto socket = MakeSocket();
    ASSERT_EQ(S_OK, socket->Connect("127.0.0.1", flood.Port(), -1));
    ASSERT_TRUE(WaitUntil([&] { return flood.flooded > 40000; }));
    BYTE frame[10];
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(S_OK, socket->Read(frame, sizeof frame, false));
        ASSERT_LE(socket->Queued(), 2u * CSocket::ReceiveBufferSize);
    }
    // The flooding peer never reads: a large send would block for good.
    std::vector<BYTE> big(32 << 20, 'x');
    EXPECT_EQ(E_FAIL, socket->Send(big.data(), static_cast<unsigned>(big.size()), true));
    EXPECT_EQ("socket error WSAEWOULDBLOCK(10035) calling send()", socket->ErrorText());
    EXPECT_FALSE(socket->IsOpen());
    EXPECT_TRUE(LogMatches("SOCKET\tsend\\([0-9]+\\) return WOULDBLOCK [0-9]+ times \\(waited [0-9]+ msec\\)"));
}

TEST_F(SocketTest, ListensAcceptsOneConnectionAndReportsABusyPort) {
    const uint16_t port = ClosedPort();
    auto server = MakeSocket();
    ASSERT_EQ(S_OK, server->Listen("127.0.0.1", port, false));
    EXPECT_TRUE(server->IsListening());
    EXPECT_TRUE(LogHas("SOCKET\tlistening on port " + std::to_string(port) + " on interface 127.0.0.1!"));
    EXPECT_EQ(E_FAIL, server->Accept());  // nothing pending yet

    auto client = MakeSocket();
    ASSERT_EQ(S_OK, client->Connect("127.0.0.1", port, -1));
    ASSERT_TRUE(WaitUntil([&] { return SUCCEEDED(server->Accept()); }));
    EXPECT_TRUE(LogMatches("SOCKET\taccepted socket connection from 127\\.0\\.0\\.1:[0-9]+!"));
    EXPECT_EQ(E_FAIL, server->Accept());
    ASSERT_EQ(S_OK, client->Send(reinterpret_cast<const BYTE *>("hi"), 2, false));
    BYTE reply[2] = {};
    ASSERT_EQ(S_OK, server->Read(reply, 2, false));
    EXPECT_EQ("hi", Text(reply, 2));

    auto second = MakeSocket();
    EXPECT_EQ(E_FAIL, second->Listen("", port, false));
    EXPECT_EQ("socket error WSAEADDRINUSE(10048) calling bind()", second->ErrorText());
    EXPECT_TRUE(LogHas("SOCKET\tfailed to create listen socket on port " + std::to_string(port) + " on all interfaces!"));
    EXPECT_FALSE(second->IsOpen());
    EXPECT_FALSE(second->IsListening());
    server->CloseListen();
    EXPECT_TRUE(LogHas("SOCKET\tlisten socket closed"));
}

TEST(TextMatcherTest, FindsNoCarrierAcrossBlocksInAnyCaseAfterFalseStarts) {
    const auto feed = [](CTextMatcher &matcher, const std::string &text) {
        bool matched = false;
        for (char c : text) matched = matcher.Feed(c);
        return matched;
    };
    CTextMatcher matcher("NO CARRIER");
    EXPECT_FALSE(feed(matcher, "\r\nno car"));
    EXPECT_TRUE(feed(matcher, "RiEr"));
    EXPECT_TRUE(matcher.Feed('x'));  // stays matched until reset
    matcher.Reset();
    EXPECT_TRUE(feed(matcher, "NNO NO CARRIER"));
    matcher.Reset();
    EXPECT_FALSE(feed(matcher, "NO CARRIES NO CARRIE"));
    EXPECT_TRUE(feed(matcher, "R"));
}

} // namespace
