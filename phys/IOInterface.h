// What the driver host holds of a link to the field device.
#pragma once

#include "base/DriverRequest.h"
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

struct IIOInterface : IUnknown {
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

// GCC ignores the uuid attribute; MinGW's own declaration serves __uuidof.
__CRT_UUID_DECL(quillon::IIOInterface, 0x49AC7F78, 0x3947, 0x46C9, 0x82, 0xC2, 0x84, 0x7E, 0x74, 0xEB, 0x8F, 0x3B)
