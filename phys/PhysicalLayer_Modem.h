// The modem link: the engine's link over a telephone call placed or
// answered through TAPI, whose data stream the call's serial port carries.
#pragma once

#include "phys/PhysicalLayer.h"
#include "phys/Tapi.h"

#include <string>
#include <vector>

namespace quillon {

class CPhysicalLayer_Modem : public CPhysicalLayer, private ISerialPortOwner {
public:
    CPhysicalLayer_Modem(CIOGlobals *globals, IIOHost *host, const CConfigData &config);

    HRESULT STDMETHODCALLTYPE ReadByte(BYTE *byte) override;
    HRESULT STDMETHODCALLTYPE Read(BYTE *buffer, unsigned count) override;
    HRESULT STDMETHODCALLTYPE GetProperty(uint16_t group, uint16_t item, DriverRequest *request,
                                          HVALUE value) override;
    HRESULT STDMETHODCALLTYPE SetProperty(uint16_t group, uint16_t item, DriverRequest *request,
                                          HVALUE value) override;

    BOOL Initialize() override;
    BOOL Connect() override;
    BOOL Send(CFrameBuffer *frame) override;
    // Serves the hang-up and the dial that the tags asked for.
    void Poll() override;
    // The call's port closes when the call ends.
    BOOL IsConnectionLost() override { return !tapi_.IsOpen(); }
    // A call that connected without Connect: answered, or dialled through
    // the dial tag.
    BOOL CheckIncomingConnection() override { return tapi_.IsOpen(); }
    BOOL IsDataAvailable() override { return tapi_.HasInput(); }
    void Disconnect() override;
    void Terminate() override;
    void WakeUp() override {
        InterlockedExchange(&stopping_, 1);
        tapi_.Stopping();
    }
    BOOL IsPassive() override { return acceptIncoming_; }
    HANDLE GetExtraWaitHandle() override { return tapi_.ReceiveEvent(); }

protected:
    ~CPhysicalLayer_Modem() override;

private:
    void OnPortSent(unsigned bytes) override { CountSent(bytes); }
    void OnPortReceived(unsigned bytes) override {
        CountReceived(bytes);
        NoteActivity();
    }
    void PostModemList();
    std::string PhoneNumber();
    // The hang-up tag: handed to the link thread, which owns the call, and
    // awaited there for a bounded time without dispatching this thread's
    // messages.
    HRESULT AskHangUp();
    // On the link thread: the hang-up that the tag asked for, if any; true
    // when there was one.
    bool ServeHangUp();

    // A host thread waiting for the hang-up it asked for.
    struct HangUpWaiter {
        unsigned ticket;
        HANDLE done;
        bool succeeded;
    };

    CTapi tapi_;
    DWORD modemId_;
    BOOL acceptIncoming_;
    std::string phoneNumber_;
    // Guards the pending number (and the phone number the tags change) and
    // the asked hang-up with its waiters.
    CriticalSection lock_;
    std::string pendingNumber_;
    // Hang-ups asked for and served, counted: a waiter's ticket is served
    // once the served count reaches it.
    unsigned hangUpsAsked_ = 0;
    unsigned hangUpsServed_ = 0;
    std::vector<HangUpWaiter *> hangUpWaiters_;
    // Set when the link thread terminates: nobody serves a hang-up then.
    bool hangUpClosed_ = false;
    volatile LONG stopping_ = 0;
};

} // namespace quillon
