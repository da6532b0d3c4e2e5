// Winsock's header comes before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>

#include "phys/Socket.h"

#include "base/DriverInterfaces.h"
#include "phys/MessagePump.h"

#include <mmsystem.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace quillon {
namespace {

constexpr DWORD kReadSliceMs = 50;
constexpr DWORD kSendRetryMs = 100;
// An unanswered connection attempt is given up after about as long as
// Windows itself waits (Wine would wait some two minutes); it is watched in
// slices so that a stop ends it at once.
constexpr DWORD kConnectLimitMs = 21000;
constexpr DWORD kConnectSliceMs = 50;

const char *ErrorName(int error) {
    static const struct {
        int code;
        const char *name;
    } names[] = {
#define QUILLON_WSA_NAME(name) {name, #name}
        QUILLON_WSA_NAME(WSA_INVALID_HANDLE),    QUILLON_WSA_NAME(WSA_NOT_ENOUGH_MEMORY),
        QUILLON_WSA_NAME(WSA_INVALID_PARAMETER), QUILLON_WSA_NAME(WSA_OPERATION_ABORTED),
        QUILLON_WSA_NAME(WSA_IO_PENDING),        QUILLON_WSA_NAME(WSAEINTR),
        QUILLON_WSA_NAME(WSAEACCES),             QUILLON_WSA_NAME(WSAEFAULT),
        QUILLON_WSA_NAME(WSAEINVAL),             QUILLON_WSA_NAME(WSAEMFILE),
        QUILLON_WSA_NAME(WSAEWOULDBLOCK),        QUILLON_WSA_NAME(WSAEINPROGRESS),
        QUILLON_WSA_NAME(WSAEALREADY),           QUILLON_WSA_NAME(WSAENOTSOCK),
        QUILLON_WSA_NAME(WSAEDESTADDRREQ),       QUILLON_WSA_NAME(WSAEMSGSIZE),
        QUILLON_WSA_NAME(WSAEPROTOTYPE),         QUILLON_WSA_NAME(WSAENOPROTOOPT),
        QUILLON_WSA_NAME(WSAEPROTONOSUPPORT),    QUILLON_WSA_NAME(WSAESOCKTNOSUPPORT),
        QUILLON_WSA_NAME(WSAEOPNOTSUPP),         QUILLON_WSA_NAME(WSAEPFNOSUPPORT),
        QUILLON_WSA_NAME(WSAEAFNOSUPPORT),       QUILLON_WSA_NAME(WSAEADDRINUSE),
        QUILLON_WSA_NAME(WSAEADDRNOTAVAIL),      QUILLON_WSA_NAME(WSAENETDOWN),
        QUILLON_WSA_NAME(WSAENETUNREACH),        QUILLON_WSA_NAME(WSAENETRESET),
        QUILLON_WSA_NAME(WSAECONNABORTED),       QUILLON_WSA_NAME(WSAECONNRESET),
        QUILLON_WSA_NAME(WSAENOBUFS),            QUILLON_WSA_NAME(WSAEISCONN),
        QUILLON_WSA_NAME(WSAENOTCONN),           QUILLON_WSA_NAME(WSAESHUTDOWN),
        QUILLON_WSA_NAME(WSAETIMEDOUT),          QUILLON_WSA_NAME(WSAECONNREFUSED),
        QUILLON_WSA_NAME(WSAEHOSTDOWN),          QUILLON_WSA_NAME(WSAEHOSTUNREACH),
        QUILLON_WSA_NAME(WSAEPROCLIM),           QUILLON_WSA_NAME(WSASYSNOTREADY),
        QUILLON_WSA_NAME(WSAVERNOTSUPPORTED),    QUILLON_WSA_NAME(WSANOTINITIALISED),
        QUILLON_WSA_NAME(WSAEDISCON),            QUILLON_WSA_NAME(WSATYPE_NOT_FOUND),
        QUILLON_WSA_NAME(WSAHOST_NOT_FOUND),     QUILLON_WSA_NAME(WSATRY_AGAIN),
        QUILLON_WSA_NAME(WSANO_RECOVERY),        QUILLON_WSA_NAME(WSANO_DATA),
#undef QUILLON_WSA_NAME
    };
    for (const auto &entry : names)
        if (entry.code == error) return entry.name;
    return nullptr;
}

HINSTANCE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ErrorName), &module);
    return module;
}

// Dotted numeric IPv4 text, as the classic parser reads it.
bool ParseIPv4(const char *host, in_addr *address) {
    const unsigned long parsed = inet_addr(host);
    if (parsed == INADDR_NONE && std::strcmp(host, "255.255.255.255") != 0) return false;
    address->s_addr = parsed;
    return true;
}

} // namespace

// ---------------------------------------------------------------- CByteQueue

void CByteQueue::Append(const BYTE *bytes, size_t count) {
    while (count > 0) {
        if (blocks_.empty() || blocks_.back()->end == BlockSize) {
            std::unique_ptr<Block> block = spare_ ? std::move(spare_) : std::make_unique<Block>();
            block->begin = block->end = 0;
            blocks_.push_back(std::move(block));
        }
        Block &last = *blocks_.back();
        const size_t part = std::min(count, BlockSize - last.end);
        std::memcpy(last.bytes + last.end, bytes, part);
        last.end += part;
        bytes += part;
        count -= part;
        total_ += part;
    }
}

size_t CByteQueue::Take(BYTE *out, size_t count) {
    size_t taken = 0;
    while (taken < count && !blocks_.empty()) {
        Block &first = *blocks_.front();
        const size_t part = std::min(count - taken, first.end - first.begin);
        std::memcpy(out + taken, first.bytes + first.begin, part);
        first.begin += part;
        taken += part;
        total_ -= part;
        if (first.begin == first.end) {
            spare_ = std::move(blocks_.front());
            blocks_.pop_front();
        }
    }
    return taken;
}

void CByteQueue::Clear() {
    blocks_.clear();
    total_ = 0;
}

// ------------------------------------------------------------------- CSocket

static_assert(sizeof(sockaddr_storage) <= 128 && alignof(sockaddr_storage) <= 8, "room for the broadcast target");
static_assert(sizeof(SocketHandle) == sizeof(SOCKET) && NO_SOCKET == INVALID_SOCKET, "socket handle");

int CSocket::Family() const { return ipv6_ ? AF_INET6 : AF_INET; }
int CSocket::AddressLength() const { return ipv6_ ? sizeof(sockaddr_in6) : sizeof(sockaddr_in); }

CSocket::CSocket(CIOGlobals *globals, ISocketOwner *owner)
    : IOApi(globals), wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)), owner_(owner),
      receiveBuffer_(ReceiveBufferSize) {}

CSocket::~CSocket() {
    Close();
    CloseListen();
    DestroyWindow();
    Cleanup();
}

HRESULT CSocket::Startup(DWORD timeoutMs, bool ipv6, int transport, bool broadcast) {
    timeoutMs_ = timeoutMs;
    ipv6_ = ipv6;
    transport_ = transport;
    broadcast_ = transport != 0 && broadcast;
    if (started_) return S_OK;
    WSADATA data = {};
    const int error = WSAStartup(MAKEWORD(2, 2), &data);
    if (error != 0) {
        Log(LOG_SOCKET, "Failed to initialize Winsock v%u.%u (error=%d)!", 2u, 2u, error);
        return E_FAIL;
    }
    started_ = true;
    Log(LOG_SOCKET, "Winsock initialized: version=%u.%u, highVersion=%u.%u", LOBYTE(data.wVersion),
        HIBYTE(data.wVersion), LOBYTE(data.wHighVersion), HIBYTE(data.wHighVersion));
    return S_OK;
}

void CSocket::Cleanup() {
    if (!started_) return;
    started_ = false;
    WSACleanup();
}

HRESULT CSocket::ReportError(const char *operation) { return ReportCode(operation, WSAGetLastError()); }

HRESULT CSocket::ReportCode(const char *operation, int error) {
    const char *name = ErrorName(error);
    if (!name) name = "(unknown)";
    char text[256];
    wsprintfA(text, "socket error %s(%d) calling %s()", name, error, operation);
    errorText_ = text;
    Log(LOG_SOCKET, "%s() returned error %s (%d)", operation, name, error);
    Close();
    return E_FAIL;
}

HRESULT CSocket::Resolve(uint16_t port, const char *host, sockaddr_storage *address) {
    std::memset(address, 0, sizeof *address);
    address->ss_family = static_cast<ADDRESS_FAMILY>(Family());
    auto *v4 = reinterpret_cast<sockaddr_in *>(address);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(address);
    if (ipv6_)
        v6->sin6_port = htons(port);
    else
        v4->sin_port = htons(port);
    if (!host || !*host) return S_OK;

    bool numeric = false;
    if (ipv6_) {
        sockaddr_storage parsed = {};
        int length = sizeof parsed;
        if (WSAStringToAddressA(const_cast<char *>(host), AF_INET6, nullptr, reinterpret_cast<sockaddr *>(&parsed),
                                &length) == 0) {
            v6->sin6_addr = reinterpret_cast<sockaddr_in6 *>(&parsed)->sin6_addr;
            v6->sin6_scope_id = reinterpret_cast<sockaddr_in6 *>(&parsed)->sin6_scope_id;
            numeric = true;
        } else if (WSAGetLastError() != WSAEINVAL) {
            return ReportError("WSAStringToAddress");
        }
    } else {
        numeric = ParseIPv4(host, &v4->sin_addr);
    }

    if (!numeric) {
        addrinfo hints = {};
        hints.ai_family = Family();
        addrinfo *result = nullptr;
        const int error = getaddrinfo(host, nullptr, &hints, &result);
        if (error != 0 || !result) {
            if (result) freeaddrinfo(result);
            // A name that exists only in the other family comes back as a raw
            // code of the system's resolver; it is reported as "no data of
            // the requested kind", which is what it means.
            return ReportCode("getaddrinfo", error != 0 && ErrorName(error) ? error : WSANO_DATA);
        }
        if (!result->ai_addr) {
            freeaddrinfo(result);
            Log(LOG_SOCKET, "Unexpected error: Address info with null pointer.");
            Close();
            return E_POINTER;
        }
        if (ipv6_)
            v6->sin6_addr = reinterpret_cast<sockaddr_in6 *>(result->ai_addr)->sin6_addr;
        else
            v4->sin_addr = reinterpret_cast<sockaddr_in *>(result->ai_addr)->sin_addr;
        freeaddrinfo(result);
    }

    if (broadcast_) {
        std::memcpy(broadcastTarget_, address, sizeof *address);
        if (ipv6_)
            v6->sin6_addr = in6addr_any;
        else
            v4->sin_addr.s_addr = htonl(INADDR_ANY);
    }
    return S_OK;
}

HRESULT CSocket::CreateAndBind(const char *host, int localPort, bool share) {
    if (data_ != NO_SOCKET) {
        errorText_ = "tried to connect socket twice";
        return E_FAIL;
    }
    // Bytes of an earlier connection never reach a reader of this one.
    queue_.Clear();
    answersSender_ = false;
    senderLength_ = 0;
    data_ = socket(Family(), IsUdp() ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (data_ == NO_SOCKET) return ReportError("socket");
    if (share) {
        const BOOL value = TRUE;
        if (setsockopt(data_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&value), sizeof value) != 0)
            return ReportError("setsockopt(SO_REUSEADDR)");
        Log(LOG_SOCKET, "Port is being shared");
    }
    sockaddr_storage local;
    const HRESULT resolved = Resolve(static_cast<uint16_t>(localPort), host, &local);
    if (FAILED(resolved)) return resolved;
    if (bind(data_, reinterpret_cast<sockaddr *>(&local), AddressLength()) != 0) return ReportError("bind");
    if (broadcast_) {
        Log(LOG_SOCKET, "Broadcast enabled for UDP socket");
        const BOOL value = TRUE;
        if (setsockopt(data_, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&value), sizeof value) != 0)
            return ReportError("setsockopt(SO_BROADCAST)");
    }
    return S_OK;
}

HRESULT CSocket::Connect(const char *host, uint16_t port, int localPort) {
    errorText_.clear();
    if (!host) {
        errorText_ = "null address";
        return E_POINTER;
    }
    const unsigned local = localPort >= 0 ? static_cast<unsigned>(localPort) : (broadcast_ ? port : 0u);
    char suffix[48] = "";
    if (local != 0) wsprintfA(suffix, " (local port %u)", local);
    Log(LOG_SOCKET, "connecting socket to '%s' on port %u%s...", host, static_cast<unsigned>(port), suffix);

    HRESULT hr = CreateAndBind("", static_cast<int>(local), false);
    if (FAILED(hr)) return hr;
    sockaddr_storage remote;
    hr = Resolve(port, host, &remote);
    if (SUCCEEDED(hr) && !broadcast_) hr = ConnectWatched(remote);
    if (SUCCEEDED(hr)) {
        sockaddr_storage bound = {};
        int length = sizeof bound;
        if (getsockname(data_, reinterpret_cast<sockaddr *>(&bound), &length) != 0) {
            hr = ReportError("getsockname");
        } else {
            const unsigned short chosen =
                ipv6_ ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port : reinterpret_cast<sockaddr_in *>(&bound)->sin_port;
            wsprintfA(suffix, " (local port %u)", static_cast<unsigned>(ntohs(chosen)));
            hr = EnableEvents();
            if (SUCCEEDED(hr)) NoteAddresses();
        }
    }
    if (SUCCEEDED(hr))
        Log(LOG_SOCKET, "socket connected to '%s' on port %u%s!", host, static_cast<unsigned>(port), suffix);
    else
        Log(LOG_SOCKET, "failed to connect socket to '%s' on port %u%s!", host, static_cast<unsigned>(port), suffix);
    return hr;
}

bool CSocket::IsWoken() {
    if (WaitForSingleObject(wake_.get(), 0) != WAIT_OBJECT_0) return false;
    // The link is stopping: the signal stays for the waits that follow.
    SetEvent(wake_.get());
    return true;
}

HRESULT CSocket::ConnectWatched(const sockaddr_storage &remote) {
    HRESULT hr = MakeNonBlocking(data_);
    if (FAILED(hr)) return hr;
    if (connect(data_, reinterpret_cast<const sockaddr *>(&remote), AddressLength()) == 0) return S_OK;
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK && error != WSAEINPROGRESS) return ReportCode("connect", error);
    const DWORD start = GetTickCount();
    for (;;) {
        if (IsWoken()) return ReportCode("connect", WSAEINTR);
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= kConnectLimitMs) return ReportCode("connect", WSAETIMEDOUT);
        const DWORD sliceMs = std::min(kConnectSliceMs, kConnectLimitMs - elapsed);
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(data_, &writable);
        FD_SET(data_, &failed);
        timeval slice = {0, static_cast<long>(sliceMs * 1000)};
        const int ready = select(0, nullptr, &writable, &failed, &slice);
        if (ready == SOCKET_ERROR) return ReportError("select");
        if (ready == 0) continue;
        if (!FD_ISSET(data_, &failed)) return S_OK;
        int code = 0;
        int length = sizeof code;
        if (getsockopt(data_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&code), &length) != 0)
            return ReportError("getsockopt(SO_ERROR)");
        return ReportCode("connect", code != 0 ? code : WSAECONNREFUSED);
    }
}

HRESULT CSocket::MakeNonBlocking(SocketHandle s) {
    u_long on = 1;
    if (ioctlsocket(s, FIONBIO, &on) != 0) return ReportError("ioctlsocket");
    return S_OK;
}

HRESULT CSocket::CreateWindowOnce() {
    if (window_) return S_OK;
    const HINSTANCE module = ThisModule();
    WNDCLASSW windowClass = {};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    // The notifications only wake the link thread's waits, so the system's
    // default procedure is all the window needs; it also stays valid when
    // this module is unloaded while the class lives on.
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = module;
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = WindowClass;
    RegisterClassW(&windowClass);
    window_ = CreateWindowExW(0, WindowClass, WindowClass, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 100, 100,
                              nullptr, nullptr, module, nullptr);
    if (!window_) {
        Log(LOG_SOCKET, "Failed to create socket window (error %d)", static_cast<int>(GetLastError()));
        return E_FAIL;
    }
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    return S_OK;
}

void CSocket::DestroyWindow() {
    if (window_) ::DestroyWindow(window_);
    window_ = nullptr;
}

HRESULT CSocket::EnableEvents() {
    HRESULT hr = MakeNonBlocking(data_);
    if (FAILED(hr)) return hr;
    // Without its notifications the connection could not be served: it is
    // closed rather than left open for a later attempt to trip over.
    hr = CreateWindowOnce();
    if (FAILED(hr)) {
        errorText_ = "no socket window";
        Close();
        return hr;
    }
    if (WSAAsyncSelect(data_, window_, NotifyMessage, FD_READ) != 0) return ReportError("WSAAsyncSelect");
    if (!IsUdp()) {
        const BOOL on = TRUE;
        if (setsockopt(data_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on) != 0)
            return ReportError("setsockopt(TCP_NODELAY)");
    }
    return S_OK;
}

HRESULT CSocket::Listen(const char *address, uint16_t port, bool share) {
    errorText_.clear();
    const char *host = address ? address : "";
    char description[300];
    if (*host)
        _snprintf(description, sizeof description - 1, "port %u on interface %s", static_cast<unsigned>(port), host);
    else
        _snprintf(description, sizeof description - 1, "port %u on all interfaces", static_cast<unsigned>(port));
    description[sizeof description - 1] = '\0';

    if (IsUdp()) {
        Log(LOG_SOCKET, "Listening on UDP socket on %s!", description);
        HRESULT hr = CreateAndBind(host, port, false);
        if (SUCCEEDED(hr)) hr = MakeNonBlocking(data_);
        if (SUCCEEDED(hr)) {
            answersSender_ = true;
            // A sender that has gone away makes the system report an error
            // on the next receive; for a server that is no lost connection.
            BOOL report = FALSE;
            DWORD returned = 0;
            WSAIoctl(data_, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
        }
        return hr;
    }
    Log(LOG_SOCKET, "creating socket to listen on %s...", description);
    HRESULT hr = CreateAndBind(host, port, share);
    if (SUCCEEDED(hr) && listen(data_, 1) != 0) hr = ReportError("listen");
    if (SUCCEEDED(hr)) hr = MakeNonBlocking(data_);
    if (SUCCEEDED(hr)) {
        hr = CreateWindowOnce();
        if (FAILED(hr)) Close();
    }
    if (SUCCEEDED(hr) && WSAAsyncSelect(data_, window_, NotifyMessage, FD_ACCEPT) != 0)
        hr = ReportError("WSAAsyncSelect");
    if (SUCCEEDED(hr)) {
        listen_ = data_;
        data_ = NO_SOCKET;
        Log(LOG_SOCKET, "listening on %s!", description);
    } else {
        Log(LOG_SOCKET, "failed to create listen socket on %s!", description);
    }
    return hr;
}

HRESULT CSocket::Accept() {
    if (IsUdp()) {
        if (data_ == NO_SOCKET) return E_FAIL;
        Log(LOG_SOCKET, "accepted UPD socket connection (by default)!");
        const HRESULT hr = EnableEvents();
        if (SUCCEEDED(hr)) NoteAddresses();
        return hr;
    }
    if (listen_ == NO_SOCKET || data_ != NO_SOCKET) return E_FAIL;
    sockaddr_storage peer = {};
    int length = sizeof peer;
    const SocketHandle accepted = accept(listen_, reinterpret_cast<sockaddr *>(&peer), &length);
    if (accepted == NO_SOCKET) {
        if (WSAGetLastError() == WSAEWOULDBLOCK) return E_FAIL;
        return ReportError("accept");
    }
    queue_.Clear();
    data_ = accepted;
    Log(LOG_SOCKET, "accepted socket connection from %s!",
        SocketAddressText(reinterpret_cast<sockaddr *>(&peer), length).c_str());
    const HRESULT hr = EnableEvents();
    if (SUCCEEDED(hr)) NoteAddresses();
    return hr;
}

std::string SocketAddressText(const sockaddr *address, int length) {
    char text[300];
    if (address->sa_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(address);
        const BYTE *octets = reinterpret_cast<const BYTE *>(&v4->sin_addr);
        wsprintfA(text, "%u.%u.%u.%u:%u", octets[0], octets[1], octets[2], octets[3],
                  static_cast<unsigned>(ntohs(v4->sin_port)));
        return text;
    }
    if (address->sa_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(address);
        DWORD size = 261;
        if (WSAAddressToStringA(const_cast<sockaddr *>(address), static_cast<DWORD>(length), nullptr, text, &size) == 0 &&
            text[0])
            return text;
        wsprintfA(text, "[INVALID_ADDRESS]:%u", static_cast<unsigned>(ntohs(v6->sin6_port)));
        return text;
    }
    const BYTE *data = reinterpret_cast<const BYTE *>(address->sa_data);
    wsprintfA(text, "<fam=%u;%u.%u.%u.%u:%u>", static_cast<unsigned>(address->sa_family), data[2], data[3], data[4],
              data[5], static_cast<unsigned>((data[0] << 8) | data[1]));
    return text;
}

HRESULT CSocket::Send(const BYTE *bytes, unsigned count, bool noCount) {
    if (!bytes) return E_POINTER;
    if (count == 0 || data_ == NO_SOCKET) return E_FAIL;
    if (answersSender_ && senderLength_ == 0) {
        // Nobody to answer yet: the socket stays as it is.
        errorText_ = "no datagram received yet, nobody to answer";
        Log(LOG_SOCKET, "send() before any datagram was received: %s", errorText_.c_str());
        return E_FAIL;
    }
    const DWORD start = timeGetTime();
    unsigned sent = 0, wouldBlock = 0;
    HRESULT hr = S_OK;
    while (sent < count) {
        const char *rest = reinterpret_cast<const char *>(bytes + sent);
        const int size = static_cast<int>(count - sent);
        const int result =
            broadcast_        ? sendto(data_, rest, size, 0, reinterpret_cast<const sockaddr *>(broadcastTarget_),
                                       AddressLength())
            : answersSender_ ? sendto(data_, rest, size, 0, reinterpret_cast<const sockaddr *>(sender_), senderLength_)
                             : send(data_, rest, size, 0);
        if (result == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error != WSAEWOULDBLOCK) {
                hr = ReportCode("send", error);
                break;
            }
            ++wouldBlock;
            if (timeGetTime() - start > timeoutMs_) {
                hr = ReportCode("send", error);
                break;
            }
            // The pause before the next try ends on a stop.
            if (WaitForSingleObject(wake_.get(), kSendRetryMs) == WAIT_OBJECT_0) {
                hr = ReportCode("send", WSAEINTR);
                break;
            }
            continue;
        }
        if (result == 0) {
            hr = ReportError("send");
            break;
        }
        sent += static_cast<unsigned>(result);
    }
    if (wouldBlock)
        Log(LOG_SOCKET, "send(%u) return WOULDBLOCK %u times (waited %u msec)", count - sent, wouldBlock,
            static_cast<unsigned>(timeGetTime() - start));
    if (sent > 0 && !noCount) {
        if (owner_) owner_->SocketBytesSent(sent);
        Logger()->LogFrame(LOG_TX, LOG_LEVEL, bytes, sent);
        if (SUCCEEDED(hr) && suppressEcho_) hr = CheckEcho(sent, bytes);
    }
    return hr;
}

HRESULT CSocket::CheckEcho(unsigned count, const BYTE *sent) {
    for (unsigned i = 0; i < count; ++i) {
        BYTE echo = 0;
        const HRESULT hr = Read(&echo, 1, true);
        if (FAILED(hr)) {
            Log(LOG_RX, "ERROR receiving echo for byte %u of %u (receive failed, hr = %08X)", i + 1, count,
                static_cast<unsigned>(hr));
            return hr;
        }
        if (echo != sent[i]) {
            Log(LOG_RX, "ERROR receiving echo for byte %u of %u (received '%02X' instead of '%02X')", i + 1, count,
                echo, sent[i]);
            return E_FAIL;
        }
    }
    return S_OK;
}

void CSocket::FillQueue(unsigned wanted) {
    wanted = std::min(wanted, ReceiveBufferSize);
    if (IsUdp() && wanted <= CByteQueue::BlockSize) wanted = CByteQueue::BlockSize;
    std::vector<BYTE> &buffer = receiveBuffer_;
    char *data = reinterpret_cast<char *>(buffer.data());
    unsigned received = 0;
    while (data_ != NO_SOCKET) {
        sockaddr_storage sender = {};
        int senderLength = AddressLength();
        int count = broadcast_ || answersSender_ ? recvfrom(data_, data, static_cast<int>(buffer.size()), 0,
                                                            reinterpret_cast<sockaddr *>(&sender), &senderLength)
                                                   : recv(data_, data, static_cast<int>(buffer.size()), 0);
        if (count == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK) break;
            // An earlier datagram was refused by its receiver: the socket
            // itself is still good.
            if (IsUdp() && error == WSAECONNRESET) continue;
            if (error != WSAEMSGSIZE) {
                ReportCode("recv2", error);
                break;
            }
            Log(LOG_SOCKET, "warning: recv returned WSAEMSGSIZE");
            count = static_cast<int>(buffer.size());
        } else if (count < 0) {
            ReportError("recv4");
            break;
        }
        if (count == 0) {
            // An empty datagram is no close: only a stream ends this way.
            if (IsUdp()) continue;
            Log(LOG_SOCKET, "socket gracefully closed by the remote partner");
            Close();
            break;
        }
        if (answersSender_ && (senderLength_ != senderLength || std::memcmp(sender_, &sender, senderLength) != 0)) {
            std::memcpy(sender_, &sender, static_cast<size_t>(senderLength));
            senderLength_ = senderLength;
            NotePeer(sender);
        }
        if (owner_) owner_->SocketDataArrived(buffer.data(), static_cast<unsigned>(count));
        if (broadcast_) {
            const uint32_t length = static_cast<uint32_t>(senderLength);
            const BYTE prefix[4] = {BYTE(length), BYTE(length >> 8), BYTE(length >> 16), BYTE(length >> 24)};
            queue_.Append(prefix, sizeof prefix);
            queue_.Append(reinterpret_cast<const BYTE *>(&sender), length);
        }
        queue_.Append(buffer.data(), static_cast<size_t>(count));
        received += static_cast<unsigned>(count);
        if (received >= wanted) break;
    }
}

void CSocket::WaitForInput() {
    const HANDLE wake = wake_.get();
    if (MsgWaitForMultipleObjectsEx(1, &wake, kReadSliceMs, QS_ALLINPUT | QS_ALLPOSTMESSAGE,
                                    MWMO_ALERTABLE | MWMO_INPUTAVAILABLE) == WAIT_OBJECT_0)
        Close();
    PumpMessages();
}

HRESULT CSocket::Read(BYTE *buffer, unsigned count, bool echo) {
    if (!buffer) return E_POINTER;
    // Looked at on every call, even when the queue could serve it: a reader
    // that keeps finding bytes still sees the stop.
    if (data_ != NO_SOCKET && WaitForSingleObject(wake_.get(), 0) == WAIT_OBJECT_0) Close();
    if (count == 0 || data_ == NO_SOCKET) return E_FAIL;
    unsigned taken = static_cast<unsigned>(queue_.Take(buffer, count));
    DWORD lastByte = timeGetTime();
    while (data_ != NO_SOCKET && taken < count) {
        FillQueue(count - taken);
        const unsigned more = static_cast<unsigned>(queue_.Take(buffer + taken, count - taken));
        if (more > 0) {
            taken += more;
            lastByte = timeGetTime();
            if (taken == count) break;
        } else if (timeGetTime() - lastByte > timeoutMs_) {
            break;
        }
        WaitForInput();
    }
    if (taken > 0 && !echo) {
        if (owner_) owner_->SocketBytesRead(taken);
        Logger()->LogFrame(LOG_RX, LOG_LEVEL, buffer, taken);
    }
    if (taken == count) return S_OK;
    Log(LOG_RX, echo ? " TIMEOUT supressing echo" : " TIMEOUT");
    return IO_E_RECEIVE_TIMEOUT;
}

bool CSocket::IsReadable() {
    if (data_ == NO_SOCKET) return false;
    // Bytes that an earlier read fetched ahead wait here, not in the system.
    if (queue_.Size() > 0) return true;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(data_, &readable);
    timeval zero = {0, 0};
    const int result = select(0, &readable, nullptr, nullptr, &zero);
    if (result == SOCKET_ERROR) {
        ReportError("select");
        return false;
    }
    return result > 0;
}

size_t CSocket::AwaitInput(DWORD ms) {
    if (queue_.Size() > 0) return queue_.Size();
    const HANDLE wake = wake_.get();
    if (data_ == NO_SOCKET) {
        // Nothing can arrive: the time passes all the same, unless the link
        // stops (its signal is given back).
        if (WaitForSingleObject(wake, ms) == WAIT_OBJECT_0) SetEvent(wake);
        return 0;
    }
    if (ms == 0) {
        // Asking for the count is one call of the system; a receive that
        // finds nothing is two.
        u_long waiting = 0;
        if (ioctlsocket(data_, FIONREAD, &waiting) == SOCKET_ERROR) {
            ReportError("ioctlsocket(FIONREAD)");
            return 0;
        }
        if (waiting > 0) FillQueue(1);
        return queue_.Size();
    }
    // Arriving bytes are announced to the window of this thread: waiting for
    // the message costs the system less than a select with a time-out.
    const DWORD woken = MsgWaitForMultipleObjectsEx(1, &wake, ms, QS_ALLINPUT | QS_ALLPOSTMESSAGE, MWMO_INPUTAVAILABLE);
    if (woken == WAIT_OBJECT_0) {
        SetEvent(wake);
        return 0;
    }
    if (woken != WAIT_OBJECT_0 + 1) {
        // A close by the far end announces nothing: it is looked for once a
        // wait, as readable with nothing to read.
        if (!IsReadable()) return 0;
        FillQueue(1);
        return data_ == NO_SOCKET ? 1 : queue_.Size();
    }
    FillQueue(1);
    // Closed while reading: the read that follows reports it.
    if (data_ == NO_SOCKET) return 1;
    MSG message;
    if (queue_.Size() > 0) {
        // The notice of these bytes has served: taken off the queue here, so
        // that the link thread need not look at it after the exchange.
        PeekMessageW(&message, window_, NotifyMessage, NotifyMessage, PM_REMOVE);
    } else {
        // Another message, or the notice of bytes that were read already:
        // taken off the queue so that the next wait does not end at once.
        PumpMessages();
    }
    return queue_.Size();
}

void CSocket::Close() {
    if (data_ == NO_SOCKET) return;
    closesocket(data_);
    data_ = NO_SOCKET;
    senderLength_ = 0;
    {
        ScopedLock lock(addressLock_);
        localKnown_ = peerKnown_ = false;
    }
    Log(LOG_SOCKET, "socket closed");
}

void CSocket::CloseListen() {
    if (listen_ == NO_SOCKET) return;
    closesocket(listen_);
    listen_ = NO_SOCKET;
    Log(LOG_SOCKET, "listen socket closed");
}

HRESULT CSocket::ToRecord(const sockaddr_storage &address, SocketAddressRecord *record) {
    if (address.ss_family == AF_INET6) {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(address);
        record->kind = 1;
        for (int i = 0; i < 8; ++i)
            record->ipv6[i] = static_cast<uint16_t>((v6.sin6_addr.s6_addr[2 * i] << 8) | v6.sin6_addr.s6_addr[2 * i + 1]);
        record->port = ntohs(v6.sin6_port);
    } else {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(address);
        record->kind = 0;
        std::memcpy(record->ipv4, &v4.sin_addr, 4);
        record->port = ntohs(v4.sin_port);
    }
    return S_OK;
}

void CSocket::NoteAddresses() {
    sockaddr_storage local = {}, peer = {};
    int localLength = sizeof local, peerLength = sizeof peer;
    const bool localKnown = getsockname(data_, reinterpret_cast<sockaddr *>(&local), &localLength) == 0;
    // Broadcast datagrams go to their target; a UDP server's peer is its
    // last sender, known with the first datagram.
    bool peerKnown = false;
    if (broadcast_) {
        std::memcpy(&peer, broadcastTarget_, sizeof peer);
        peerKnown = true;
    } else if (!answersSender_) {
        peerKnown = getpeername(data_, reinterpret_cast<sockaddr *>(&peer), &peerLength) == 0;
    }
    ScopedLock lock(addressLock_);
    std::memset(&localRecord_, 0, sizeof localRecord_);
    std::memset(&peerRecord_, 0, sizeof peerRecord_);
    localKnown_ = localKnown;
    peerKnown_ = peerKnown;
    if (localKnown) ToRecord(local, &localRecord_);
    if (peerKnown) ToRecord(peer, &peerRecord_);
}

void CSocket::NotePeer(const sockaddr_storage &address) {
    ScopedLock lock(addressLock_);
    std::memset(&peerRecord_, 0, sizeof peerRecord_);
    ToRecord(address, &peerRecord_);
    peerKnown_ = true;
}

HRESULT CSocket::CopyRecord(bool peer, SocketAddressRecord *record) {
    if (!record) return E_POINTER;
    ScopedLock lock(addressLock_);
    if (!(peer ? peerKnown_ : localKnown_)) {
        std::memset(record, 0, sizeof *record);
        return E_FAIL;
    }
    *record = peer ? peerRecord_ : localRecord_;
    return S_OK;
}

bool CSocket::HasConnection() {
    ScopedLock lock(addressLock_);
    return localKnown_;
}

HRESULT CSocket::GetLocalAddress(SocketAddressRecord *record) { return CopyRecord(false, record); }

HRESULT CSocket::GetPeerAddress(SocketAddressRecord *record) { return CopyRecord(true, record); }

} // namespace quillon
