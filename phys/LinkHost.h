// What a link knows of the driver host that owns it: the calls through
// which the link thread reports connection changes, frames and events, and
// asks the host to serve requests.
#pragma once

#include "base/ComUtil.h"
#include "base/DriverRequest.h"
#include "log/IOLogger.h"

#include <windows.h>

namespace quillon {

class CFrameBuffer;

// Event types and sources.
enum EventType { EVENT_INFORMATION = 0, EVENT_WARNING = 1, EVENT_ERROR = 2 };
enum EventSource {
    EVENT_SOURCE_DRIVER = 0,
    EVENT_SOURCE_TOOLKIT = -1,
    EVENT_SOURCE_SERIAL = -2,
    EVENT_SOURCE_MODEM = -3,
    EVENT_SOURCE_ETHERNET = -4,
    EVENT_SOURCE_RAS = -5
};

struct IIOHost : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnConnected() = 0;
    virtual HRESULT STDMETHODCALLTYPE OnDisconnected() = 0;
    virtual HRESULT STDMETHODCALLTYPE OnIdle() = 0;
    virtual HRESULT STDMETHODCALLTYPE OnBeforeSend(CFrameBuffer *frame) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnFrameReceived(CFrameBuffer *frame) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnUnsolicitedFrame(CFrameBuffer *frame) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReceiveFrame(CFrameBuffer *receive, CFrameBuffer *sent) = 0;
    virtual HRESULT PostEvent(int type, int source, int number, const char *format, ...)
        QUILLON_PRINTF(5, 6) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnAfterSend(CFrameBuffer *frame) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadValue(DriverRequest *request, HVALUE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteValue(DriverRequest *request, HVALUE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadBlock(DriverRequest *request, HVALUE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteBlock(DriverRequest *request, HVALUE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadBlockElement(DriverRequest *request, HVALUE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteBlockElement(DriverRequest *request, HVALUE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE MaskWriteValue(DriverRequest *request, HVALUE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE MaskWriteBlockElement(DriverRequest *request, HVALUE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE MaskWrite(DriverRequest *request, HVALUE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Read(DriverRequest *request, HVALUE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Write(DriverRequest *request, HVALUE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnBeforeStart() = 0;
    virtual HRESULT STDMETHODCALLTYPE OnAfterStart(HRESULT startResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnAfterStop() = 0;
    virtual HRESULT STDMETHODCALLTYPE OnBeforeStop() = 0;
    virtual HRESULT STDMETHODCALLTYPE OnParameterChanged(const char *name) = 0;
    virtual HRESULT STDMETHODCALLTYPE BeforeIO(DriverRequest *request, HVALUE value) = 0;
};

} // namespace quillon
