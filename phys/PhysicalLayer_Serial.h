// The serial link: the engine's link on one COM port.
#pragma once

#include "phys/PhysicalLayer.h"
#include "phys/SerialPort.h"

namespace quillon {

class CPhysicalLayer_Serial : public CPhysicalLayer, private ISerialPortOwner, private CPhysicalLayer::IInputCounter {
public:
    CPhysicalLayer_Serial(CIOGlobals *globals, IIOHost *host, const CConfigData &config);

    HRESULT STDMETHODCALLTYPE ReadByte(BYTE *byte) override;
    HRESULT STDMETHODCALLTYPE Read(BYTE *buffer, unsigned count) override;

    BOOL Initialize() override { return TRUE; }
    BOOL Connect() override;
    BOOL Send(CFrameBuffer *frame) override;
    void Poll() override {}
    // A serial port cannot tell that its device went away; only the
    // engine's inactivity drop reconnects it. A port closed under a transfer
    // that ignored its cancel is lost, and opened anew.
    BOOL IsConnectionLost() override { return port_.ClosedByFault() && !port_.IsOpen(); }
    BOOL CheckIncomingConnection() override { return FALSE; }
    BOOL IsDataAvailable() override { return port_.HasInput(); }
    void Disconnect() override { port_.Close(); }
    void Terminate() override {}
    HANDLE GetExtraWaitHandle() override { return port_.ReceiveEvent(); }
    // Ends the port's waits; the link is stopping for good.
    void WakeUp() override { SetEvent(stop_.get()); }

protected:
    ~CPhysicalLayer_Serial() override;

private:
    // Counted without the receive watcher, which only the unsolicited
    // pump starts.
    DWORD QueuedInput() override { return port_.QueuedInput(); }
    void OnPortSent(unsigned bytes) override { CountSent(bytes); }
    void OnPortReceived(unsigned bytes) override {
        CountReceived(bytes);
        NoteActivity();
    }

    unsigned portNumber_;
    UniqueHandle stop_;
    CSerialPort port_;
};

} // namespace quillon
