// A COM port opened for overlapped I/O, with RS-485 style RTS handling, CTS
// waiting, inter-byte and inter-frame delays and echo suppression. Used by the
// serial link on a port it opens itself and by the modem link on the handle
// of its call (Attach). Used from one thread only, except the receive watcher.
#pragma once

#include "config/ConfigData.h"
#include "base/ComUtil.h"
#include "log/IOGlobals.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace quillon {

// The link that owns a port: it counts the bytes the port moves.
struct ISerialPortOwner {
    virtual void OnPortSent(unsigned bytes) = 0;
    // Bytes read for the link (never those that swallow an echo).
    virtual void OnPortReceived(unsigned bytes) = 0;

protected:
    ~ISerialPortOwner() = default;
};

// Milliseconds: busy-waits below 20 ms so that short RTS turn-arounds are met,
// sleeps from 20 ms on.
void SerialDelayMs(DWORD ms);
// Microseconds: busy-waits up to 99999 us, sleeps above.
void SerialDelayUs(DWORD us);

class CSerialPort : public TIOApi<CIOGlobals> {
public:
    enum RtsMode : int { RTS_OFF = 0, RTS_ON = 1, RTS_SYSTEM_TOGGLE = 2, RTS_PORT_TOGGLE = 3 };

    CSerialPort(CIOGlobals *globals, ISerialPortOwner *owner);
    ~CSerialPort() override;
    CSerialPort(const CSerialPort &) = delete;
    CSerialPort &operator=(const CSerialPort &) = delete;

    // Takes the line settings, RTS/DTR handling and delays from the
    // IO.Serial.* parameters (all but the port number).
    void Configure(const CConfigData &config);

    HRESULT Open(unsigned port);
    // Restores the settings the port had before Open and closes it.
    void Close();
    // Takes a handle that is open already (a modem call's); false when a
    // port is open.
    bool Attach(HANDLE handle);
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

    void ApplyTimeouts();
    HRESULT Write(const BYTE *bytes, unsigned count);
    // echo marks reads that swallow the echo of a write: not counted, not
    // dumped. Fewer bytes than asked within the time-out: IO_E_RECEIVE_TIMEOUT.
    HRESULT Read(BYTE *buffer, unsigned count, bool echo);
    // The steps around a frame: empty the buffers and raise RTS (and wait for
    // CTS) before; wait for the transmitter and drop RTS after.
    bool PrepareSend();
    bool FinishSend();
    void Purge();
    // Bytes wait in the input queue. The first call starts the receive watcher.
    bool HasInput();
    // The bytes waiting in the input queue; the receive watcher is left
    // as it is.
    unsigned QueuedInput();

    // A manual-reset event that ends the port's waits (transfers, CTS,
    // delays) when set; without one they run to their limits.
    void SetStopEvent(HANDLE stop) { stop_ = stop; }
    // The port closed itself: a transfer ignored its cancel, or the device
    // went away. Only a new open reaches the device again.
    bool ClosedByFault() const { return closedByFault_; }
    void SetReceiveTimeout(DWORD ms) { receiveTimeoutMs_ = ms; }
    DWORD ReceiveTimeout() const { return receiveTimeoutMs_; }
    // Signalled when characters arrive (once the watcher runs).
    HANDLE ReceiveEvent() const { return watchEvent_.get(); }
    // The text of the last open failure.
    const std::string &ErrorText() const { return errorText_; }
    int GetRtsMode() const { return rtsMode_; }
    const DCB &Settings() const { return settings_; }

protected:
    // Raises or drops RTS by hand, whatever the RTS mode.
    void SetRts(bool raised);

private:
    static DWORD WINAPI WatcherEntry(void *self);
    void Watch();
    void StartWatcher();
    void StopWatcher();
    void SetError(const char *format, ...) QUILLON_PRINTF(2, 3);
    void ClearPortError();
    // An overlapped transfer with its own event and buffer: the system may
    // use both until the transfer has ended.
    struct Transfer {
        OVERLAPPED overlapped = {};
        UniqueHandle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        std::vector<BYTE> bytes;
    };
    // Arms a transfer of count bytes; false when it cannot be made.
    bool Arm(std::unique_ptr<Transfer> &transfer, unsigned count);
    // Waits for a transfer: its end, a stop or its limit (the wait's result).
    DWORD AwaitTransfer(Transfer &transfer, unsigned count);
    // Cancels a transfer whose wait gave up and waits a bounded time for it
    // to end. One that does not is left to the system with its record and
    // buffer, never used again, and the port is closed.
    void CancelTransfer(std::unique_ptr<Transfer> &transfer);
    void CloseIfDeviceGone(DWORD error);
    // A delay of the port (millisecond delay) that a stop ends.
    void DelayMs(DWORD ms);
    HRESULT WriteChunk(const BYTE *bytes, unsigned count, unsigned *written);
    HRESULT SwallowEcho(const BYTE *sent, unsigned count);
    void WaitTransmitterEmpty();
    bool WaitForCts();
    void NoteIo();
    DWORD TransferLimitMs(unsigned count) const;

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    uint16_t lineStatusAddress_ = 0;
    DWORD receiveTimeoutMs_ = 200;
    DCB settings_ = {};
    DCB saved_ = {};
    int rtsMode_ = RTS_OFF;
    DWORD delayBeforeMs_ = 0;
    DWORD delayAfterMs_ = 0;
    bool waitCts_ = false;
    DWORD ctsTimeoutMs_ = 0;
    DWORD interbyteDelayUs_ = 0;
    DWORD interframeDelayMs_ = 0;
    bool suppressEcho_ = false;
    LARGE_INTEGER lastIo_ = {};
    bool lastIoKnown_ = false;
    std::string errorText_;
    ISerialPortOwner *owner_;
    std::unique_ptr<Transfer> writeTransfer_;
    std::unique_ptr<Transfer> readTransfer_;
    HANDLE stop_ = nullptr;
    bool closedByFault_ = false;

    // The receive watcher. It watches the input queue rather than waiting
    // for port events: Wine serves a pending wait for port events by a thread
    // of its own that goes on writing into the caller's record, and using the
    // port's and the event's handle values, after the port is closed (the
    // closed values are soon reused), and nothing ends it but a port event.
    UniqueHandle watchEvent_;
    volatile HANDLE watchHandle_ = INVALID_HANDLE_VALUE;
    UniqueHandle watchThread_;
    DWORD watchThreadId_ = 0;
    UniqueHandle watchStop_;
};

} // namespace quillon
