// The link to a device reached over IP: a TCP or UDP client with a main and
// a backup address (optionally pinged first), or a server that accepts one
// connection at a time. Control tags choose the active address; a registry
// switch routes the connection to a simulator, framing the traffic for it.
#pragma once

#include "phys/PhysicalLayer.h"
#include "phys/Socket.h"
#include "values/HValue.h"

#include <string>

namespace quillon {

// The link's socket addresses, offered beside IIOInterface.
struct IIOSocket : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetLocalAddress(SocketAddressRecord *record) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPeerAddress(SocketAddressRecord *record) = 0;
};

} // namespace quillon

__CRT_UUID_DECL(quillon::IIOSocket, 0xD391FFFE, 0x694C, 0x4EEB, 0x86, 0xC1, 0xDE, 0xF9, 0x21, 0xF2, 0x4B, 0x12)

namespace quillon {

// Property group of the Ethernet control tags and its items.
constexpr uint16_t ETHERNET_PROPERTY_GROUP = 4;
constexpr uint16_t ETHERNET_IP_SELECT = 0;
constexpr uint16_t ETHERNET_IP_SWITCH = 1;

// Where the simulator switch lives (under HKEY_LOCAL_MACHINE).
constexpr const char *SIMULATOR_REGISTRY_KEY = "Software\\Tarvel Software\\Chanfer";

class CPhysicalLayer_Ethernet : public CPhysicalLayer, private ISocketOwner, private CPhysicalLayer::IInputWaiter {
public:
    CPhysicalLayer_Ethernet(CIOGlobals *globals, IIOHost *host, const CConfigData &config);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override;
    HRESULT STDMETHODCALLTYPE ReadByte(BYTE *byte) override;
    HRESULT STDMETHODCALLTYPE Read(BYTE *buffer, unsigned count) override;
    HRESULT STDMETHODCALLTYPE GetProperty(uint16_t group, uint16_t item, DriverRequest *request,
                                          HVALUE value) override;
    HRESULT STDMETHODCALLTYPE SetProperty(uint16_t group, uint16_t item, DriverRequest *request,
                                          HVALUE value) override;
    HRESULT STDMETHODCALLTYPE ForceDisconnect() override;

    BOOL Initialize() override;
    BOOL Connect() override;
    BOOL Send(CFrameBuffer *frame) override;
    void Poll() override {}
    BOOL IsConnectionLost() override;
    BOOL CheckIncomingConnection() override;
    BOOL IsDataAvailable() override;
    void Disconnect() override;
    void Terminate() override;
    void WakeUp() override;
    BOOL IsPassive() override { return acceptConnection_; }
    DWORD OnReconnectPostponed() override;
    // Called after every successful socket connection; a failure closes the
    // connection and fails the attempt.
    virtual HRESULT OnSocketConnected() { return S_OK; }

protected:
    ~CPhysicalLayer_Ethernet() override = default;

    CSocket &Socket() { return socket_; }
    // Takes a pending forced disconnect: clears it, closes the connection and
    // lets the reconnection follow at once. False when none was pending.
    bool TakeForcedDisconnect();

private:
    struct Endpoint {
        std::string address;
        uint16_t port;
        int localPort;
    };

    class SocketInterface final : public IIOSocket {
    public:
        explicit SocketInterface(CPhysicalLayer_Ethernet &link) : link_(link) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override { return link_.QueryInterface(iid, out); }
        ULONG STDMETHODCALLTYPE AddRef() override { return link_.AddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return link_.Release(); }
        HRESULT STDMETHODCALLTYPE GetLocalAddress(SocketAddressRecord *record) override {
            return link_.socket_.GetLocalAddress(record);
        }
        HRESULT STDMETHODCALLTYPE GetPeerAddress(SocketAddressRecord *record) override {
            return link_.socket_.GetPeerAddress(record);
        }

    private:
        CPhysicalLayer_Ethernet &link_;
    };

    // ISocketOwner
    void SocketBytesSent(unsigned count) override { CountSent(count); }
    void SocketBytesRead(unsigned count) override {
        CountReceived(count);
        NoteActivity();
    }
    void SocketDataArrived(const BYTE *bytes, unsigned count) override { OnDataReceived(bytes, count); }

    // IInputWaiter
    DWORD AwaitInput(DWORD ms) override { return static_cast<DWORD>(socket_.AwaitInput(ms)); }

    // The endpoint with the simulator's address and port when the registry
    // routes connections to one; sets or clears the simulation mark.
    Endpoint Simulated(const Endpoint &endpoint);
    bool PingAndConnect(const Endpoint &endpoint);
    void SendGreeting();
    // Flips the active address after an operator's choice (lock held).
    void ManualFlip();
    const Endpoint &Active() const { return backupActive_ ? backup_ : main_; }
    const Endpoint &Alternate() const { return backupActive_ ? main_ : backup_; }

    CSocket socket_;
    Endpoint main_;
    bool backupEnable_;
    Endpoint backup_;
    bool pingEnable_;
    DWORD pingTimeoutMs_;
    DWORD pingTries_;
    bool acceptConnection_;
    uint16_t listenPort_;
    bool shareListenPort_;
    std::string listenAddress_;
    bool udp_;
    bool broadcast_;
    bool ipv6_;
    volatile LONG backupActive_ = 0;
    volatile LONG forcedDisconnect_ = 0;
    CriticalSection lock_;
    HValue configuration_;
    bool simulation_ = false;
    SocketInterface socketInterface_{*this};
};

} // namespace quillon
