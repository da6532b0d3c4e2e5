// One Winsock connection for the network links: TCP client or server, UDP
// point-to-point or broadcast, IPv4 or IPv6. Reads go through a queue of
// received bytes with an inter-arrival time-out; once connected the socket is
// non-blocking and announces arriving data to a hidden window of the link
// thread, so that the thread's message wait wakes up.
#pragma once

#include "base/ComUtil.h"
#include "log/IOGlobals.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

// Winsock's own header must come before windows.h, so the socket's users
// see only these.
struct sockaddr;
struct sockaddr_storage;

namespace quillon {

// A Winsock SOCKET.
using SocketHandle = uintptr_t;
constexpr SocketHandle NO_SOCKET = ~SocketHandle(0);

// What a socket tells the link that owns it.
class ISocketOwner {
public:
    virtual void SocketBytesSent(unsigned count) = 0;
    // Bytes handed to a reader (counted, and the link's activity noted).
    virtual void SocketBytesRead(unsigned count) = 0;
    // Every block of bytes as it comes off the wire.
    virtual void SocketDataArrived(const BYTE *bytes, unsigned count) = 0;

protected:
    ~ISocketOwner() = default;
};

// A local or peer address as the link's IIOSocket hands it out; 28 bytes
// with the tail padding, zero-filled before use.
struct SocketAddressRecord {
    int32_t kind; // 0 IPv4, 1 IPv6
    uint8_t ipv4[4];
    uint16_t ipv6[8];
    uint16_t port; // host order
};
static_assert(sizeof(SocketAddressRecord) == 28, "address record layout");
static_assert(offsetof(SocketAddressRecord, ipv6) == 8 && offsetof(SocketAddressRecord, port) == 24,
              "address record layout");

// Received bytes not yet read, in blocks of 4096; one emptied block is kept.
class CByteQueue {
public:
    static constexpr size_t BlockSize = 4096;

    void Append(const BYTE *bytes, size_t count);
    size_t Take(BYTE *out, size_t count);
    size_t Size() const { return total_; }
    void Clear();

private:
    struct Block {
        BYTE bytes[BlockSize];
        size_t begin = 0, end = 0;
    };
    std::deque<std::unique_ptr<Block>> blocks_;
    std::unique_ptr<Block> spare_;
    size_t total_ = 0;
};

class CSocket : public IOApi {
public:
    // Message number of the socket notifications.
    static constexpr UINT NotifyMessage = 2264;
    static constexpr const wchar_t *WindowClass = L"ChanferSocketWindow";
    static constexpr unsigned ReceiveBufferSize = 16768;

    // The owner may be null (nothing is reported then). The address queries
    // may come from any thread; everything else runs on the link thread.
    CSocket(CIOGlobals *globals, ISocketOwner *owner);
    ~CSocket() override;

    HRESULT Startup(DWORD timeoutMs, bool ipv6, int transport, bool broadcast);
    // Ends the use of Winsock that a successful Startup began.
    void Cleanup();

    HRESULT Connect(const char *host, uint16_t port, int localPort);
    HRESULT Listen(const char *address, uint16_t port, bool share);
    HRESULT Accept();
    HRESULT Send(const BYTE *bytes, unsigned count, bool noCount);
    HRESULT Read(BYTE *buffer, unsigned count, bool echo);
    bool IsReadable();
    // Waits at most ms until bytes can be read and takes them into the
    // receive queue; the bytes queued, or 1 when the far end closed (the
    // read that follows reports it). On the thread that owns the window.
    size_t AwaitInput(DWORD ms);
    void Close();
    void CloseListen();
    // Answered from what the link thread noted at connect, accept and each
    // new sender; E_FAIL while unknown. A query never closes anything.
    HRESULT GetLocalAddress(SocketAddressRecord *record);
    HRESULT GetPeerAddress(SocketAddressRecord *record);

    void DestroyWindow();
    bool IsOpen() const { return data_ != NO_SOCKET; }
    // Whether a connection stands, for threads other than the link thread.
    bool HasConnection();
    bool IsListening() const { return listen_ != NO_SOCKET; }
    HANDLE WakeEvent() const { return wake_.get(); }
    void SetSuppressEcho(bool on) { suppressEcho_ = on; }
    void SetTimeout(DWORD timeoutMs) { timeoutMs_ = timeoutMs; }
    const std::string &ErrorText() const { return errorText_; }
    // For a failure that the link finds before the socket is used.
    void SetErrorText(const char *text) { errorText_ = text; }
    bool IsUdp() const { return transport_ != 0; }
    // Bytes waiting in the receive queue.
    size_t Queued() const { return queue_.Size(); }
    HWND Window() const { return window_; }

private:
    int Family() const;
    int AddressLength() const;
    HRESULT Resolve(uint16_t port, const char *host, sockaddr_storage *address);
    HRESULT CreateAndBind(const char *host, int localPort, bool share);
    HRESULT EnableEvents();
    // Connects the data socket without blocking: ends on the wake event
    // and after a limit, as well as when the far end answers.
    HRESULT ConnectWatched(const sockaddr_storage &remote);
    // True when the wake event is set; it stays set.
    bool IsWoken();
    HRESULT CreateWindowOnce();
    HRESULT MakeNonBlocking(SocketHandle s);
    void FillQueue(unsigned wanted);
    HRESULT ReportError(const char *operation);
    HRESULT ReportCode(const char *operation, int error);
    HRESULT ToRecord(const sockaddr_storage &address, SocketAddressRecord *record);
    HRESULT CheckEcho(unsigned count, const BYTE *sent);
    void WaitForInput();
    // Notes the local and peer addresses of the new connection.
    void NoteAddresses();
    void NotePeer(const sockaddr_storage &address);
    HRESULT CopyRecord(bool peer, SocketAddressRecord *record);

    SocketHandle data_ = NO_SOCKET;
    SocketHandle listen_ = NO_SOCKET;
    HWND window_ = nullptr;
    UniqueHandle wake_;
    DWORD timeoutMs_ = 2000;
    CByteQueue queue_;
    std::string errorText_;
    ISocketOwner *owner_;
    int transport_ = 0;
    bool ipv6_ = false;
    bool broadcast_ = false;
    // A sockaddr_storage.
    alignas(8) BYTE broadcastTarget_[128] = {};
    // A UDP server's socket is not connected: it answers the last sender.
    bool answersSender_ = false;
    alignas(8) BYTE sender_[128] = {};
    int senderLength_ = 0;
    CriticalSection addressLock_;
    SocketAddressRecord localRecord_ = {};
    SocketAddressRecord peerRecord_ = {};
    bool localKnown_ = false;
    bool peerKnown_ = false;
    bool suppressEcho_ = false;
    bool started_ = false;
    std::vector<BYTE> receiveBuffer_;
};

// The text form of an address for the log: "a.b.c.d:port" for IPv4.
std::string SocketAddressText(const sockaddr *address, int length);

} // namespace quillon
