#include "phys/PhysicalLayer_Serial.h"

#include "config/ConfigParameters.h"

namespace quillon {

namespace {
constexpr int kSerialEventSource = -2;
constexpr int kEventError = 2;
} // namespace

CPhysicalLayer_Serial::CPhysicalLayer_Serial(CIOGlobals *globals, IIOHost *host, const CConfigData &config)
    : CPhysicalLayer(globals, host, config), portNumber_(config.GetU32(param::SerialPort, 1)),
      stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), port_(globals, this) {
    port_.Configure(config);
    port_.SetStopEvent(stop_.get());
    SetInputCounter(this);
}

// The engine's thread has ended before the port goes (Release stops it).
CPhysicalLayer_Serial::~CPhysicalLayer_Serial() { Stop(); }

BOOL CPhysicalLayer_Serial::Connect() {
    if (FAILED(port_.Open(portNumber_))) {
        Host()->PostEvent(kEventError, kSerialEventSource, 0, "Error opening serial port: %s",
                          port_.ErrorText().c_str());
        return FALSE;
    }
    port_.SetReceiveTimeout(ReceiveTimeoutMs());
    port_.ApplyTimeouts();
    return TRUE;
}

BOOL CPhysicalLayer_Serial::Send(CFrameBuffer *frame) {
    Host()->OnBeforeSend(frame);
    if (!port_.PrepareSend()) return FALSE;
    const HRESULT written = port_.Write(frame->Data(), frame->Length());
    port_.FinishSend();
    if (FAILED(written)) return FALSE;
    Host()->OnAfterSend(frame);
    return TRUE;
}

HRESULT STDMETHODCALLTYPE CPhysicalLayer_Serial::ReadByte(BYTE *byte) {
    if (!byte) return E_POINTER;
    const HRESULT result = port_.Read(byte, 1, false);
    if (FAILED(result)) *byte = 0;
    return result;
}

HRESULT STDMETHODCALLTYPE CPhysicalLayer_Serial::Read(BYTE *buffer, unsigned count) {
    if (!buffer) return E_POINTER;
    return port_.Read(buffer, count, false);
}

} // namespace quillon
