#include "phys/PhysicalLayer_Ethernet.h"

#include "config/ConfigParameters.h"
#include "phys/Pinger.h"

#include <vector>

namespace quillon {
namespace {

constexpr DWORD kSimulatorAddressLimit = 1024;

void PutLength(BYTE *out, uint32_t length) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<BYTE>(length >> (8 * i));
}

// Reads a number of the simulator key; false when absent or of another kind.
bool ReadDword(HKEY key, const char *name, DWORD *value) {
    DWORD type = 0, size = sizeof *value;
    return RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(value), &size) == ERROR_SUCCESS &&
           type == REG_DWORD;
}

} // namespace

CPhysicalLayer_Ethernet::CPhysicalLayer_Ethernet(CIOGlobals *globals, IIOHost *host, const CConfigData &config)
    : CPhysicalLayer(globals, host, config), socket_(globals, this),
      main_{config.GetString(param::EthernetMainIP, ""), static_cast<uint16_t>(config.GetU32(param::EthernetMainPort, 0)),
            config.GetI32(param::EthernetMainLocalPortEnable, 0)
                ? static_cast<int>(static_cast<uint16_t>(config.GetU32(param::EthernetMainLocalPort, 0)))
                : -1},
      backupEnable_(config.GetI32(param::EthernetBackupEnable, 0) != 0),
      backup_{config.GetString(param::EthernetBackupIP, ""),
              static_cast<uint16_t>(config.GetU32(param::EthernetBackupPort, 0)),
              config.GetI32(param::EthernetBackupLocalPortEnable, 0)
                  ? static_cast<int>(static_cast<uint16_t>(config.GetU32(param::EthernetBackupLocalPort, 0)))
                  : -1},
      pingEnable_(config.GetI32(param::EthernetPingEnable, 0) != 0),
      pingTimeoutMs_(config.GetU32(param::EthernetPingTimeoutMs, 0)),
      pingTries_(config.GetU32(param::EthernetPingTries, 0)),
      acceptConnection_(config.GetI32(param::EthernetAcceptConnection, 0) != 0),
      listenPort_(static_cast<uint16_t>(config.GetU32(param::EthernetListenPort, 0))),
      shareListenPort_(config.GetI32(param::EthernetShareListenPort, 0) != 0),
      listenAddress_(config.GetString(param::EthernetListenIP, "")),
      udp_(lstrcmpiA(config.GetString(param::EthernetTransport, "TCP").c_str(), "UDP") == 0),
      broadcast_(config.GetI32(param::EthernetUDPBroadcastMode, 0) != 0),
      ipv6_(config.GetI32(param::EthernetUseIPv6, 0) != 0), configuration_(HValue::Create()) {
    socket_.SetSuppressEcho(config.GetI32(param::EthernetSupressEcho, 0) != 0);
    SetInputWaiter(this);
    if (configuration_) config.SaveToValue(configuration_.get());
}

HRESULT STDMETHODCALLTYPE CPhysicalLayer_Ethernet::QueryInterface(REFIID iid, void **out) {
    if (out && iid == __uuidof(IIOSocket)) {
        *out = static_cast<IIOSocket *>(&socketInterface_);
        AddRef();
        return S_OK;
    }
    return CPhysicalLayer::QueryInterface(iid, out);
}

HRESULT STDMETHODCALLTYPE CPhysicalLayer_Ethernet::ReadByte(BYTE *byte) { return socket_.Read(byte, 1, false); }

HRESULT STDMETHODCALLTYPE CPhysicalLayer_Ethernet::Read(BYTE *buffer, unsigned count) {
    return socket_.Read(buffer, count, false);
}

BOOL CPhysicalLayer_Ethernet::Initialize() {
    bool ready = SUCCEEDED(socket_.Startup(ReceiveTimeoutMs(), ipv6_, udp_ ? 1 : 0, broadcast_));
    if (ready && acceptConnection_)
        ready = SUCCEEDED(socket_.Listen(listenAddress_.c_str(), listenPort_, shareListenPort_));
    // The engine terminates only links that initialised: a failed start
    // gives back what it took here.
    if (!ready) Terminate();
    return ready;
}

CPhysicalLayer_Ethernet::Endpoint CPhysicalLayer_Ethernet::Simulated(const Endpoint &endpoint) {
    simulation_ = false;
    Endpoint result = endpoint;
    HKEY key = nullptr;
    // The 32-bit view in every build: where the shipped 32-bit driver finds
    // the switch on 64-bit Windows.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SIMULATOR_REGISTRY_KEY, 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS)
        return result;
    DWORD enabled = 0, port = 0;
    if (ReadDword(key, "EnableTCPSimulation", &enabled) && enabled != 0) {
        if (ReadDword(key, "SimulatorPort", &port)) result.port = static_cast<uint16_t>(port);
        char address[kSimulatorAddressLimit + 1] = {};
        DWORD type = 0, size = kSimulatorAddressLimit;
        if (RegQueryValueExA(key, "SimulatorIP", nullptr, &type, reinterpret_cast<BYTE *>(address), &size) ==
                ERROR_SUCCESS &&
            (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0 && address[0])
            result.address = address;
        Log(LOG_SOCKET, "Simulation ENABLED (%s:%u routed to %s:%u)", endpoint.address.c_str(),
            static_cast<unsigned>(endpoint.port), result.address.c_str(), static_cast<unsigned>(result.port));
        simulation_ = true;
    }
    RegCloseKey(key);
    return result;
}

bool CPhysicalLayer_Ethernet::PingAndConnect(const Endpoint &endpoint) {
    if (pingEnable_) {
        CPinger pinger(GetGlobals());
        if (FAILED(pinger.Ping(endpoint.address.c_str(), pingTimeoutMs_, pingTries_, socket_.WakeEvent()))) {
            socket_.SetErrorText("no answer to ping");
            return false;
        }
    }
    return SUCCEEDED(socket_.Connect(endpoint.address.c_str(), endpoint.port, endpoint.localPort));
}

BOOL CPhysicalLayer_Ethernet::Connect() {
    // The endpoints are taken under the lock, which is not held through
    // ping and connect: an operator's choice must not wait for an attempt.
    Endpoint chosen, other;
    bool chosenBackup = false;
    {
        ScopedLock lock(lock_);
        chosenBackup = backupActive_ != 0;
        chosen = Active();
        other = Alternate();
        InterlockedExchange(&forcedDisconnect_, 0);
    }
    const Endpoint active = Simulated(chosen);
    bool onBackup = chosenBackup;
    if (!PingAndConnect(active)) {
        Host()->PostEvent(EVENT_ERROR, EVENT_SOURCE_ETHERNET, 0, "Error connecting to %s on port %u: %s",
                          active.address.c_str(), static_cast<unsigned>(active.port), socket_.ErrorText().c_str());
        if (!backupEnable_ || IsStopping()) return FALSE;
        Log(LOG_SOCKET, "trying connection with alternate IP");
        const Endpoint alternate = Simulated(other);
        if (!PingAndConnect(alternate)) {
            Host()->PostEvent(EVENT_ERROR, EVENT_SOURCE_ETHERNET, 0, "Error connecting to %s on port %u (backup IP): %s",
                              alternate.address.c_str(), static_cast<unsigned>(alternate.port),
                              socket_.ErrorText().c_str());
            return FALSE;
        }
        Log(LOG_SOCKET, "Main IP switched to %s (port %u)", alternate.address.c_str(),
            static_cast<unsigned>(alternate.port));
        onBackup = !chosenBackup;
    }
    {
        ScopedLock lock(lock_);
        const bool activeBackup = backupActive_ != 0;
        if (activeBackup != onBackup) {
            if (activeBackup == chosenBackup) {
                InterlockedExchange(&backupActive_, onBackup ? 1 : 0);
            } else {
                // The operator named the other endpoint while this one was
                // being connected: the link must not stay on it.
                if (!InterlockedExchange(&forcedDisconnect_, 1))
                    Log(LOG_SOCKET, "Forcing reconnection to apply new active IP");
            }
        }
    }
    if (FAILED(OnSocketConnected())) {
        Disconnect();
        return FALSE;
    }
    if (simulation_) SendGreeting();
    return TRUE;
}

void CPhysicalLayer_Ethernet::SendGreeting() {
    const unsigned size = configuration_ ? hvFlatSize(configuration_.get()) : 0;
    std::vector<BYTE> greeting(10 + size);
    CopyMemory(greeting.data(), "SYMXX:", 6);
    PutLength(greeting.data() + 6, size);
    if (size) hvFlatten(configuration_.get(), greeting.data() + 10);
    socket_.Send(greeting.data(), static_cast<unsigned>(greeting.size()), true);
}

BOOL CPhysicalLayer_Ethernet::Send(CFrameBuffer *frame) {
    Host()->OnBeforeSend(frame);
    if (simulation_) {
        BYTE header[10];
        CopyMemory(header, "SYMTX:", 6);
        PutLength(header + 6, frame->Length());
        if (FAILED(socket_.Send(header, sizeof header, true))) return FALSE;
    }
    if (FAILED(socket_.Send(frame->Data(), frame->Length(), false))) return FALSE;
    Host()->OnAfterSend(frame);
    return TRUE;
}

bool CPhysicalLayer_Ethernet::TakeForcedDisconnect() {
    if (!InterlockedExchange(&forcedDisconnect_, 0)) return false;
    Disconnect();
    ClearAttempted();
    return true;
}

BOOL CPhysicalLayer_Ethernet::IsConnectionLost() {
    if (TakeForcedDisconnect()) return TRUE;
    return !socket_.IsOpen();
}

BOOL CPhysicalLayer_Ethernet::CheckIncomingConnection() {
    if (!acceptConnection_) return FALSE;
    // A UDP server's bound socket is its connection: once a drop has closed
    // it, it is bound again so that the link can come back.
    if (udp_ && !socket_.IsOpen() && FAILED(socket_.Listen(listenAddress_.c_str(), listenPort_, shareListenPort_)))
        return FALSE;
    return SUCCEEDED(socket_.Accept());
}

BOOL CPhysicalLayer_Ethernet::IsDataAvailable() { return socket_.IsReadable(); }

void CPhysicalLayer_Ethernet::Disconnect() { socket_.Close(); }

void CPhysicalLayer_Ethernet::Terminate() {
    socket_.Close();
    socket_.CloseListen();
    socket_.DestroyWindow();
    socket_.Cleanup();
}

void CPhysicalLayer_Ethernet::WakeUp() { SetEvent(socket_.WakeEvent()); }

HRESULT STDMETHODCALLTYPE CPhysicalLayer_Ethernet::ForceDisconnect() {
    if (!socket_.HasConnection() || forcedDisconnect_) return S_FALSE;
    Log(LOG_SOCKET, "Driver forced socket disconnection!");
    InterlockedExchange(&forcedDisconnect_, 1);
    WakeLinkThread();
    return S_OK;
}

DWORD CPhysicalLayer_Ethernet::OnReconnectPostponed() {
    if (!backupEnable_) return 0;
    ScopedLock lock(lock_);
    InterlockedExchange(&backupActive_, !backupActive_);
    Log(LOG_SOCKET, backupActive_ ? "Automatic switchover to backup IP ('%s')!" : "Automatic switchover to main IP ('%s')!",
        Active().address.c_str());
    return 1;
}

HRESULT STDMETHODCALLTYPE CPhysicalLayer_Ethernet::GetProperty(uint16_t group, uint16_t item, DriverRequest *request,
                                                              HVALUE value) {
    if (group != ETHERNET_PROPERTY_GROUP) return CPhysicalLayer::GetProperty(group, item, request, value);
    if (!request || request->elementCount != 1 || request->firstElement != 0) return E_FAIL;
    if (item == ETHERNET_IP_SELECT) return hvSetI32(value, backupActive_ ? 1 : 0) ? S_OK : E_FAIL;
    return E_FAIL;
}

void CPhysicalLayer_Ethernet::ManualFlip() {
    InterlockedExchange(&backupActive_, !backupActive_);
    Log(LOG_SOCKET, backupActive_ ? "Manual select backup IP ('%s') as active!" : "Manual select main IP ('%s') as active!",
        Active().address.c_str());
    if (socket_.HasConnection()) {
        Log(LOG_SOCKET, "Forcing reconnection to apply new active IP");
        InterlockedExchange(&forcedDisconnect_, 1);
    }
}

HRESULT STDMETHODCALLTYPE CPhysicalLayer_Ethernet::SetProperty(uint16_t group, uint16_t item, DriverRequest *request,
                                                              HVALUE value) {
    if (group != ETHERNET_PROPERTY_GROUP) return CPhysicalLayer::SetProperty(group, item, request, value);
    if (!request || request->elementCount != 1 || request->firstElement != 0) return E_FAIL;
    ScopedLock lock(lock_);
    if (item == ETHERNET_IP_SELECT) {
        int32_t selection = 0;
        if (!hvGetI32(value, &selection)) return E_FAIL;
        if (selection == 1 && !backupEnable_) {
            Log(LOG_SOCKET, "Cannot select active IP (the backup IP is not enabled)");
            return E_FAIL;
        }
        if (selection != 0 && selection != 1) {
            Log(LOG_SOCKET, "Cannot select active IP (invalid parameter)");
            return E_FAIL;
        }
        if ((selection == 1) != (backupActive_ != 0)) ManualFlip();
        return S_OK;
    }
    if (item == ETHERNET_IP_SWITCH) {
        if (!backupEnable_) return E_FAIL;
        ManualFlip();
        return S_OK;
    }
    return E_FAIL;
}

} // namespace quillon
