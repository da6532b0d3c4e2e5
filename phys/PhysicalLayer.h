// The link engine: one thread per link that connects, watches and recovers
// the connection and executes the transactions that callers hand over.
// Each kind of link derives from it and supplies the operations on the
// medium itself.
#pragma once

#include "config/ConfigData.h"
#include "base/ComUtil.h"
#include "log/IOGlobals.h"
#include "phys/LinkHost.h"
#include "phys/FrameBuffer.h"
#include "phys/IOInterface.h"
#include "phys/LinkControl.h"
#include "phys/RequestManager.h"

#include <windows.h>
#include <mmsystem.h>

#include <memory>

namespace quillon {

// One transaction on its way from a caller to the link thread.
struct TransactionRecord {
    CFrameBuffer *send = nullptr;
    CFrameBuffer *receive = nullptr;
    HRESULT result = E_FAIL;
    LONG inProgress = 0;
    TransactStatistics counters = {};
};

class CPhysicalLayer : public IIOInterface, public TIOApi<CIOGlobals> {
public:
    // Reads the link's configuration. The host is not counted: it owns the
    // link and stops it before it goes, so a link never keeps its host alive.
    CPhysicalLayer(CIOGlobals *globals, IIOHost *host, const CConfigData &config);

    // Starts the link thread and waits until it has initialised the link.
    HRESULT Start();

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IIOInterface
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Transact(CFrameBuffer *send, CFrameBuffer *receive,
                                       TransactStatistics *statistics) override;
    HRESULT STDMETHODCALLTYPE GetProperty(uint16_t group, uint16_t item, DriverRequest *request,
                                          HVALUE value) override;
    HRESULT STDMETHODCALLTYPE SetProperty(uint16_t group, uint16_t item, DriverRequest *request,
                                          HVALUE value) override;
    HRESULT STDMETHODCALLTYPE GetLinkState(long *state) override;
    HRESULT STDMETHODCALLTYPE ForceDisconnect() override { return E_NOTIMPL; }

    // The operations on the medium, all called on the link thread except
    // WakeUp. BOOL results are nonzero on success.
    virtual BOOL Initialize() = 0;
    virtual BOOL Connect() = 0;
    virtual BOOL Send(CFrameBuffer *frame) = 0;
    virtual void Poll() = 0;
    virtual BOOL IsConnectionLost() = 0;
    virtual BOOL CheckIncomingConnection() = 0;
    virtual BOOL IsDataAvailable() = 0;
    virtual void Disconnect() = 0;
    virtual void Terminate() = 0;
    // Called by Stop from another thread: a link that can block in one of
    // its operations makes that operation return.
    virtual void WakeUp() {}
    // A passive link only accepts connections and never dials out.
    virtual BOOL IsPassive() { return FALSE; }
    virtual DWORD OnReconnectPostponed() { return 0; }
    // One more handle for the link thread to wait on, or null.
    virtual HANDLE GetExtraWaitHandle() { return nullptr; }
    virtual void OnDataReceived(const BYTE *, unsigned) {}

protected:
    // Declared after the link operations so that their slots come first.
    ~CPhysicalLayer() override;

    // A link that can count its received bytes without side effects says
    // so here; the engine's slots stay as they are.
    struct IInputCounter {
        virtual DWORD QueuedInput() = 0;

    protected:
        ~IInputCounter() = default;
    };
    void SetInputCounter(IInputCounter *counter) { inputCounter_ = counter; }
    // A link that can wait for arriving bytes in one call of the system says
    // so here: a reader's wait then ends as they arrive, not at its next look.
    struct IInputWaiter {
        // Waits at most ms until received bytes wait to be read; the number
        // waiting (0 when none).
        virtual DWORD AwaitInput(DWORD ms) = 0;

    protected:
        ~IInputWaiter() = default;
    };
    void SetInputWaiter(IInputWaiter *waiter) { inputWaiter_ = waiter; }

    // The longest time a link waits for anything, in milliseconds: tick
    // differences stay unambiguous up to it. Settings in seconds are
    // converted by PeriodMs, which clamps them to it.
    static constexpr DWORD kLongestPeriodMs = 0x7FFFFFFF;
    static DWORD PeriodMs(DWORD seconds);

    IIOHost *Host() const { return host_; }
    DWORD ReceiveTimeoutMs() const { return receiveTimeoutMs_; }
    // Links count the bytes they move and note each successful read.
    void CountSent(unsigned bytes) { InterlockedExchangeAdd(&bytesSent_, static_cast<LONG>(bytes)); }
    void CountReceived(unsigned bytes) { InterlockedExchangeAdd(&bytesReceived_, static_cast<LONG>(bytes)); }
    void NoteActivity() { InterlockedExchange(&lastActivity_, static_cast<LONG>(timeGetTime())); }
    // A caller is waiting for the link thread: a link that waits long in one
    // of its operations can cut the wait short.
    bool IsRequestPending() { return requests_->HasPending(); }
    // Wakes the link thread's wait from another thread; it goes on running.
    // Harmless once Stop has closed the event.
    void WakeLinkThread() {
        ScopedLock lock(stopEventLock_);
        if (stopEvent_.valid()) SetEvent(stopEvent_.get());
    }
    // Stop has been asked for: a link gives up what it is doing.
    bool IsStopping() const { return !running_; }
    // Lets the next reconnection be made at once (link thread only).
    void ClearAttempted() { attempted_ = false; }

private:
    // The link's IIOLinkControl face, counted with the link.
    class LinkControl : public IIOLinkControl {
    public:
        explicit LinkControl(CPhysicalLayer &owner) : owner_(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
            return owner_.QueryInterface(iid, out);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return owner_.AddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return owner_.Release(); }
        DWORD STDMETHODCALLTYPE WaitForInput(DWORD ms) override { return owner_.WaitForInput(ms); }
        BOOL STDMETHODCALLTYPE IsStopping() override { return !owner_.running_; }

    private:
        CPhysicalLayer &owner_;
    };

    DWORD WaitForInput(DWORD ms);
    // Bytes waiting to be read; without a counter, 1 while there are some.
    DWORD InputCount() { return inputCounter_ ? inputCounter_->QueuedInput() : (IsDataAvailable() ? 1 : 0); }
    static DWORD WINAPI ThreadEntry(void *self);
    void Run();
    void SetLinkState(LinkState state);
    bool IsAutomaticDialer() { return automatic_ && !IsPassive(); }

    // Each returns false when the link has aborted and the loop must end.
    bool InitialConnect();
    bool Pass(const HANDLE *waitSet, DWORD waitCount);
    bool HandleConnectionLoss();
    bool Retry();
    bool CountFailedAttempt();
    // Gives the link up for good and waits for Stop.
    void Abort();

    void Connected();
    bool CheckInactivity();
    bool PumpUnsolicited();
    void DispatchMessages();
    bool RecentlyAttempted() const;
    void ServeRequest();
    void ExecutePending();
    HRESULT ExecuteOwn(TransactionRecord *record);
    HRESULT Execute(TransactionRecord *record);

    volatile LONG refs_ = 1;
    volatile LONG linkState_ = LINK_STOPPED;
    volatile LONG starting_ = 0;
    IIOHost *host_;
    DWORD receiveTimeoutMs_;
    bool automatic_;
    bool recoverEnable_;
    DWORD recoverPeriodSec_;
    bool giveUpEnable_;
    DWORD giveUpTries_;
    bool inactivityEnable_;
    DWORD inactivityPeriodSec_;
    UniqueHandle thread_;
    DWORD threadId_ = 0;
    volatile LONG running_ = 0;
    UniqueHandle startedEvent_;
    UniqueHandle stopEvent_;
    // Stop closes the stop event while host threads may still wake the link.
    CriticalSection stopEventLock_;
    DWORD retryCount_ = 0;
    DWORD lastAttemptTick_ = 0;
    bool connected_ = false;
    // Set by the link thread while it executes a transaction.
    bool executing_ = false;
    // The last pass's wait ended for a transaction (link thread only).
    bool servedLast_ = false;
    bool attempted_ = false;
    volatile LONG bytesSent_ = 0;
    volatile LONG bytesReceived_ = 0;
    volatile LONG lastActivity_ = 0;
    std::unique_ptr<CRequestManager> requests_;
    LinkControl control_{*this};
    IInputCounter *inputCounter_ = nullptr;
    IInputWaiter *inputWaiter_ = nullptr;
};

} // namespace quillon
