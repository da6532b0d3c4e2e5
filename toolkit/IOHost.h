// The driver host: exists while communication is started, owns the link,
// the event queue and a private copy of the configuration, and dispatches
// tag requests.
#pragma once

#include "config/ConfigData.h"
#include "base/ComUtil.h"
#include "base/DriverRequest.h"
#include "log/IOGlobals.h"
#include "base/Module.h"
#include "phys/IOInterface.h"
#include "phys/LinkHost.h"
#include "values/HValue.h"

#include <deque>

namespace quillon {

constexpr size_t EVENT_QUEUE_LIMIT = 100;

class CIOFactory;

class CIOHost : public IIOHost, public IOApi {
public:
    // The configuration is loaded from the settings handle (left empty when
    // there is none) and the log settings are applied.
    CIOHost(CIOGlobals *globals, HVALUE settings);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IIOHost, base behaviour
    HRESULT STDMETHODCALLTYPE OnConnected() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDisconnected() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnIdle() override { return E_FAIL; }
    HRESULT STDMETHODCALLTYPE OnBeforeSend(CFrameBuffer *) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnFrameReceived(CFrameBuffer *) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnUnsolicitedFrame(CFrameBuffer *) override { return E_FAIL; }
    HRESULT STDMETHODCALLTYPE ReceiveFrame(CFrameBuffer *receive, CFrameBuffer *sent) override = 0;
    HRESULT PostEvent(int type, int source, int number, const char *format, ...) override
        QUILLON_PRINTF(5, 6);
    HRESULT STDMETHODCALLTYPE OnAfterSend(CFrameBuffer *) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ReadValue(DriverRequest *request, HVALUE value) override;
    HRESULT STDMETHODCALLTYPE WriteValue(DriverRequest *request, HVALUE value) override;
    HRESULT STDMETHODCALLTYPE ReadBlock(DriverRequest *request, HVALUE value) override;
    HRESULT STDMETHODCALLTYPE WriteBlock(DriverRequest *request, HVALUE value) override;
    HRESULT STDMETHODCALLTYPE ReadBlockElement(DriverRequest *request, HVALUE value) override;
    HRESULT STDMETHODCALLTYPE WriteBlockElement(DriverRequest *request, HVALUE value) override;
    HRESULT STDMETHODCALLTYPE MaskWriteValue(DriverRequest *request, HVALUE value) override;
    HRESULT STDMETHODCALLTYPE MaskWriteBlockElement(DriverRequest *request, HVALUE value) override;
    HRESULT STDMETHODCALLTYPE MaskWrite(DriverRequest *request, HVALUE value) override;
    HRESULT STDMETHODCALLTYPE Read(DriverRequest *, HVALUE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Write(DriverRequest *, HVALUE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnBeforeStart() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnAfterStart(HRESULT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnAfterStop() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnBeforeStop() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnParameterChanged(const char *) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE BeforeIO(DriverRequest *request, HVALUE value) override;

    // Starts the link named by IO.Type. Returns 1 when the driver stays
    // offline (IO.StartOffline without force, or type "None").
    HRESULT Start(bool force);
    HRESULT Stop();
    HRESULT Dispatch(DriverRequest *request, HVALUE value);
    HRESULT GetStatus(const char *name, HVALUE value);
    HRESULT SetStatus(const char *name, HVALUE value);
    void ApplyLogSettings(bool first);
    bool IsOnline();
    // The link with a reference added, or E_FAIL when there is none.
    HRESULT GetPhysicalLayer(IIOInterface **link);

    CConfigData &Configuration() { return config_; }
    // Moves every queued event, oldest first, into the list value.
    void DrainEvents(HVALUE list);

    // Called by the driver's stop after the link has stopped: the
    // specialisation ends what it runs, waiting at most waitMs for work that
    // still runs on other threads. False when that work did not end in time
    // (it then finishes the ending itself).
    virtual bool EndSession(DWORD waitMs) {
        (void)waitMs;
        return true;
    }

    // Waits up to the time-out until the caller holds the only reference,
    // that is until requests running on other threads have left the host.
    // Returns at once on a thread that is itself inside one of the host's
    // requests (a host's message loop may restart the driver from there).
    void WaitUntilUnused(DWORD timeoutMs);

    // Marks the calling thread as inside one of the host's requests.
    class RequestScope {
    public:
        explicit RequestScope(const CIOHost *host);
        ~RequestScope();
        RequestScope(const RequestScope &) = delete;
        RequestScope &operator=(const RequestScope &) = delete;

    private:
        const CIOHost *outer_;
    };

protected:
    ~CIOHost() override;

private:
    HRESULT HandleHostTag(uint16_t n4, DriverRequest *request, HVALUE value);
    // Stops the link and lets it go, without the start and stop hooks.
    void StopLink();

    // The module's code runs for this host (its link thread, its script) as
    // long as it exists, whatever the host application unloads meanwhile.
    ModulePin modulePin_;
    volatile LONG refs_ = 1;
    volatile LONG awaitingUnused_ = 0;
    UniqueHandle unused_;
    ComPtr<IIOInterface> link_;
    CriticalSection hostLock_;
    volatile LONG firstRequest_ = 1;
    CConfigData config_;
    CriticalSection eventLock_;
    std::deque<HValue> events_;
};

} // namespace quillon

// GCC ignores the uuid attribute; MinGW's own declaration serves __uuidof.
__CRT_UUID_DECL(quillon::IIOHost, 0x5A2819C6, 0xE745, 0x43F1, 0xA4, 0x65, 0xC3, 0xB4, 0xEF, 0xE5, 0x1E, 0x83)
