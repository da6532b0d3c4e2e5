#include "NetPeers.h"

#include <cstring>

namespace quillon::test {
namespace {

constexpr int kSliceMs = 20;
// A pause between the pieces of a modem's hang-up text, so that they arrive
// as separate blocks.
constexpr DWORD kPieceGapMs = 100;

struct WinsockUse {
    WinsockUse() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockUse() { WSACleanup(); }
};

sockaddr_storage Loopback(bool ipv6, uint16_t port, int *length) {
    sockaddr_storage address = {};
    if (ipv6) {
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        v6->sin6_port = htons(port);
        *length = sizeof *v6;
    } else {
        auto *v4 = reinterpret_cast<sockaddr_in *>(&address);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        v4->sin_port = htons(port);
        *length = sizeof *v4;
    }
    return address;
}

uint16_t BoundPort(SOCKET s) {
    sockaddr_storage address = {};
    int length = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(reinterpret_cast<sockaddr_in *>(&address)->sin_port);
}

void SendAll(SOCKET s, const std::string &text) { send(s, text.data(), static_cast<int>(text.size()), 0); }

} // namespace

TcpPeer::TcpPeer(PeerMode mode, bool ipv6, uint16_t port) : mode_(mode) {
    static WinsockUse winsock;
    listen_ = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    int length = 0;
    sockaddr_storage address = Loopback(ipv6, port, &length);
    bind(listen_, reinterpret_cast<sockaddr *>(&address), length);
    listen(listen_, 4);
    port_ = BoundPort(listen_);
    thread_ = std::make_unique<SystemThread>([this] { Run(); });
}

TcpPeer::~TcpPeer() {
    stop_ = true;
    thread_->Join();
    closesocket(listen_);
}

std::string TcpPeer::Received() {
    std::lock_guard<std::mutex> lock(guard_);
    return received_;
}

bool TcpPeer::Ready(SOCKET s, bool write, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait = {0, ms * 1000};
    return select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &wait) > 0;
}

void TcpPeer::Run() {
    while (!stop_) {
        if (!Ready(listen_, false, kSliceMs)) continue;
        const SOCKET client = accept(listen_, nullptr, nullptr);
        if (client == INVALID_SOCKET) continue;
        ++accepted;
        drop_ = false;
        Serve(client);
        closesocket(client);
    }
}

void TcpPeer::Serve(SOCKET client) {
    bool connected = false; // modem: the data phase has begun
    std::string line;
    while (!stop_ && !drop_) {
        if (mode_ == PeerMode::Flood) {
            static const std::string chunk(16384, 'F');
            if (!Ready(client, true, kSliceMs)) continue;
            const int sent = send(client, chunk.data(), static_cast<int>(chunk.size()), 0);
            if (sent <= 0) return;
            flooded += static_cast<size_t>(sent);
            continue;
        }
        if (mode_ == PeerMode::Banner) {
            if (Ready(client, false, 0)) {
                char buffer[4096];
                const int count = recv(client, buffer, sizeof buffer, 0);
                if (count <= 0) return;
                std::lock_guard<std::mutex> lock(guard_);
                received_.append(buffer, static_cast<size_t>(count));
            }
            if (Ready(client, true, kSliceMs) && send(client, banner.data(), static_cast<int>(banner.size()), 0) <= 0)
                return;
            continue;
        }
        if (!Ready(client, false, kSliceMs)) continue;
        char buffer[4096];
        const int count = recv(client, buffer, sizeof buffer, 0);
        if (count <= 0) return;
        const std::string data(buffer, static_cast<size_t>(count));
        {
            std::lock_guard<std::mutex> lock(guard_);
            received_ += data;
        }
        switch (mode_) {
        case PeerMode::Echo:
            SendAll(client, data);
            break;
        case PeerMode::CloseMidFrame:
            SendAll(client, data.substr(0, data.size() / 2));
            return;
        case PeerMode::Modem:
            if (connected) {
                if (data.find("HANGUP") == std::string::npos) {
                    SendAll(client, data);
                    break;
                }
                for (size_t i = 0; i < hangup.size(); ++i) {
                    if (i) Sleep(kPieceGapMs);
                    SendAll(client, hangup[i]);
                }
                connected = false;
                break;
            }
            for (char c : data) {
                if (c != '\r') {
                    line += c;
                    continue;
                }
                if (line.compare(0, 2, "AT") == 0 && !modemAnswer.empty()) {
                    SendAll(client, "\r\n" + modemAnswer + "\r\n");
                    connected = modemAnswer.compare(0, 7, "CONNECT") == 0;
                }
                line.clear();
            }
            break;
        default:
            break;
        }
    }
}

UdpResponder::UdpResponder(bool ipv6, const char *bindAddress, uint16_t port) {
    static WinsockUse winsock;
    socket_ = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    int length = 0;
    sockaddr_storage address = Loopback(ipv6, port, &length);
    if (bindAddress) reinterpret_cast<sockaddr_in *>(&address)->sin_addr.s_addr = inet_addr(bindAddress);
    bind(socket_, reinterpret_cast<sockaddr *>(&address), length);
    port_ = BoundPort(socket_);
    thread_ = std::make_unique<SystemThread>([this] {
        while (!stop_) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(socket_, &set);
            timeval wait = {0, kSliceMs * 1000};
            if (select(0, &set, nullptr, nullptr, &wait) <= 0) continue;
            char buffer[2048];
            sockaddr_storage sender = {};
            int senderLength = sizeof sender;
            const int count =
                recvfrom(socket_, buffer + 3, sizeof buffer - 3, 0, reinterpret_cast<sockaddr *>(&sender), &senderLength);
            if (count < 0) continue;
            ++datagrams;
            std::memcpy(buffer, "re:", 3);
            sendto(socket_, buffer, count + 3, 0, reinterpret_cast<sockaddr *>(&sender), senderLength);
        }
    });
}

UdpResponder::~UdpResponder() {
    stop_ = true;
    thread_->Join();
    closesocket(socket_);
}

FullListener::FullListener() {
    static WinsockUse winsock;
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    int length = 0;
    sockaddr_storage address = Loopback(false, 0, &length);
    bind(listen_, reinterpret_cast<sockaddr *>(&address), length);
    listen(listen_, 1);
    port_ = BoundPort(listen_);
    reinterpret_cast<sockaddr_in *>(&address)->sin_port = htons(port_);
    // The system queues a few more connections than the backlog asks for:
    // connections are added until one stays unanswered.
    for (int i = 0; i < 16 && !full_; ++i) {
        const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        u_long on = 1;
        ioctlsocket(s, FIONBIO, &on);
        connect(s, reinterpret_cast<sockaddr *>(&address), length);
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        timeval wait = {0, 500 * 1000};
        full_ = select(0, nullptr, &writable, nullptr, &wait) == 0;
        // The unanswered one is kept too: under Wine, closing it lets the
        // next attempt through.
        fillers_.push_back(s);
    }
}

FullListener::~FullListener() {
    for (SOCKET s : fillers_) closesocket(s);
    for (SOCKET s : taken_) closesocket(s);
    closesocket(listen_);
}

void FullListener::Drain() {
    u_long on = 1;
    ioctlsocket(listen_, FIONBIO, &on);
    for (SOCKET s; (s = accept(listen_, nullptr, nullptr)) != INVALID_SOCKET;) taken_.push_back(s);
}

uint16_t ClosedPort() {
    static WinsockUse winsock;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    int length = 0;
    sockaddr_storage address = Loopback(false, 0, &length);
    bind(s, reinterpret_cast<sockaddr *>(&address), length);
    const uint16_t port = BoundPort(s);
    closesocket(s);
    return port;
}

} // namespace quillon::test
