// What the driver host holds of a link to the field device.
#pragma once

#include "driver/DriverRequest.h"
#include "values/hvcore.h"

#include <windows.h>
#include <unknwn.h>

namespace quillon {

class CFrameBuffer;

// Link states.
enum LinkState : long { LINK_STOPPED = 0, LINK_DISCONNECTED = 1, LINK_CONNECTED = 2 };

// Counters of one transaction.
struct TransactStatistics {
    unsigned framesSent;
    unsigned failures;
    unsigned receiveTimeouts;
    unsigned receiveErrors;
    unsigned other;
};

struct __declspec(uuid("49AC7F78-3947-46C9-82C2-847E74EB8F3B")) IIOInterface : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
    virtual HRESULT STDMETHODCALLTYPE Transact(CFrameBuffer *send, CFrameBuffer *receive,
                                               TransactStatistics *statistics) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadByte(BYTE *byte) = 0;
    virtual HRESULT STDMETHODCALLTYPE Read(BYTE *buffer, unsigned count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetProperty(uint16_t group, uint16_t item, DriverRequest *request,
                                                  HVALUE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetProperty(uint16_t group, uint16_t item, DriverRequest *request,
                                                  HVALUE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetLinkState(long *state) = 0;
    virtual HRESULT STDMETHODCALLTYPE ForceDisconnect() = 0;
};

} // namespace quillon
