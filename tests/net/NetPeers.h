// Peers on loopback for the network link tests, each on a thread of its
// own: a TCP peer (echo, silent, flood, close mid-frame, a repeated banner, or
// a remote-access modem server answering AT commands), and a UDP responder.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "tests/support/SystemThread.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quillon::test {

// Banner: sends its banner again and again while it takes what arrives.
enum class PeerMode { Echo, Silent, Flood, CloseMidFrame, Modem, Banner };

class TcpPeer {
public:
    // Listens on 127.0.0.1 (or ::1) on a port the system chooses, or on the
    // port given.
    explicit TcpPeer(PeerMode mode, bool ipv6 = false, uint16_t port = 0);
    ~TcpPeer();
    TcpPeer(const TcpPeer &) = delete;
    TcpPeer &operator=(const TcpPeer &) = delete;

    uint16_t Port() const { return port_; }
    std::string Received();
    // Drops the current client, as a server that goes away does.
    void DropClient() { drop_ = true; }

    std::atomic<int> accepted{0};
    std::atomic<size_t> flooded{0};
    // Modem: the reply to an AT command line ("" = none), and what a line
    // "HANGUP" of the data phase brings back, piece by piece.
    std::string modemAnswer = "CONNECT 9600";
    std::vector<std::string> hangup = {"\r\nNO CARRIER\r\n"};
    std::string banner = std::string(1000, 'B');

private:
    void Run();
    void Serve(SOCKET client);
    bool Ready(SOCKET s, bool write, int ms);

    PeerMode mode_;
    SOCKET listen_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false}, drop_{false};
    std::mutex guard_;
    std::string received_;
    std::unique_ptr<SystemThread> thread_;
};

// Answers each datagram with "re:" and the datagram, to its sender.
class UdpResponder {
public:
    explicit UdpResponder(bool ipv6 = false, const char *bindAddress = nullptr, uint16_t port = 0);
    ~UdpResponder();
    uint16_t Port() const { return port_; }
    std::atomic<int> datagrams{0};

private:
    SOCKET socket_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::unique_ptr<SystemThread> thread_;
};

// A listener on 127.0.0.1 that never accepts, its backlog filled by
// connections of its own: a further connection attempt is never answered.
class FullListener {
public:
    FullListener();
    ~FullListener();
    FullListener(const FullListener &) = delete;
    FullListener &operator=(const FullListener &) = delete;
    uint16_t Port() const { return port_; }
    // The backlog could be filled.
    bool Full() const { return full_; }
    // Takes the waiting connections, so that an attempt can complete again.
    void Drain();

private:
    SOCKET listen_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    bool full_ = false;
    std::vector<SOCKET> fillers_, taken_;
};

// A loopback port on which nothing listens.
uint16_t ClosedPort();

} // namespace quillon::test
