#include "phys/SerialPort.h"

#include "config/ConfigParameters.h"
#include "base/DriverInterfaces.h"
#include "log/TextFormat.h"

#include <intrin.h>
#include <mmsystem.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace quillon {

static_assert(sizeof(DCB) == 28, "the saved settings are valid only with the 28-byte layout");

namespace {

constexpr DWORD kReadIntervalMs = 250;
constexpr DWORD kTransferSlackMs = 1000;
constexpr LONGLONG kPurgeLimitMs = 1000;
// How often the receive watcher looks at the input queue.
constexpr DWORD kWatchPollMs = 5;
// How long a cancelled transfer may take to end.
constexpr DWORD kCancelWaitMs = 1000;
// The CTS wait looks at the line this often.
constexpr DWORD kCtsSliceMs = 1;
// The longest time a setting may make the port wait, in milliseconds.
constexpr DWORD kLongestWaitMs = 0x7FFFFFFF;
constexpr BYTE kTransmitterEmpty = 0x40;
constexpr DWORD kBusyWaitMsLimit = 20;
constexpr DWORD kBusyWaitUsLimit = 99999;

const char *ParityName(BYTE parity) {
    static const char *const names[] = {"NONE", "ODD", "EVEN", "MARK", "SPACE"};
    return parity < 5 ? names[parity] : "(invalid parity)";
}

const char *StopBitsText(BYTE stopBits) {
    static const char *const texts[] = {"1", "1.5", "2"};
    return stopBits < 3 ? texts[stopBits] : "(invalid stop bits)";
}

bool IsNtFamily() { return (GetVersion() & 0x80000000u) == 0; }

LONGLONG Frequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

LONGLONG Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

void BusyWait(double ms) {
    const LONGLONG start = Now();
    const double ticks = ms * static_cast<double>(Frequency()) / 1000.0;
    while (static_cast<double>(Now() - start) < ticks) {
    }
}

DWORD ElapsedMs(LONGLONG since) { return static_cast<DWORD>((Now() - since) * 1000 / Frequency()); }

} // namespace

void SerialDelayMs(DWORD ms) {
    if (ms == 0) return;
    if (ms >= kBusyWaitMsLimit) Sleep(ms);
    else BusyWait(ms);
}

void SerialDelayUs(DWORD us) {
    if (us == 0) return;
    if (us > kBusyWaitUsLimit) Sleep((us + 500) / 1000);
    else BusyWait(us / 1000.0);
}

CSerialPort::CSerialPort(CIOGlobals *globals, ISerialPortOwner *owner)
    : TIOApi(globals), owner_(owner), watchEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      watchStop_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    settings_.DCBlength = sizeof(DCB);
    settings_.BaudRate = CBR_9600;
    settings_.ByteSize = 8;
    settings_.Parity = NOPARITY;
    settings_.StopBits = ONESTOPBIT;
    settings_.fBinary = TRUE;
    settings_.fParity = TRUE;
    settings_.fRtsControl = RTS_CONTROL_DISABLE;
    settings_.fDtrControl = DTR_CONTROL_DISABLE;
    // Flow control stays off; the characters only keep the two apart, which
    // the system requires.
    settings_.XonChar = 0x11;
    settings_.XoffChar = 0x13;
}

CSerialPort::~CSerialPort() { Close(); }

void CSerialPort::Configure(const CConfigData &config) {
    settings_.BaudRate = config.GetU32(param::SerialBaudrate, CBR_9600);
    const uint32_t dataBits = config.GetU32(param::SerialDataBits, 8);
    settings_.ByteSize = dataBits == 7 ? 7 : 8;
    const uint32_t stopBits = config.GetU32(param::SerialStopBits, 0);
    settings_.StopBits = static_cast<BYTE>(stopBits <= TWOSTOPBITS ? stopBits : ONESTOPBIT);
    const uint32_t parity = config.GetU32(param::SerialParity, 0);
    settings_.Parity = static_cast<BYTE>(parity <= SPACEPARITY ? parity : NOPARITY);
    settings_.fDtrControl = config.GetU32(param::SerialDTR, 0) == 1 ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;

    uint32_t rts = config.GetU32(param::SerialRTS, 0);
    if (rts > RTS_PORT_TOGGLE) rts = RTS_OFF;
    delayBeforeMs_ = std::min<DWORD>(config.GetU32(param::SerialDelayBeforeMs, 0), kLongestWaitMs);
    delayAfterMs_ = std::min<DWORD>(config.GetU32(param::SerialDelayAfterMs, 0), kLongestWaitMs);
    ctsTimeoutMs_ = std::min<DWORD>(config.GetU32(param::SerialCTSTimeoutMs, 0), kLongestWaitMs);
    waitCts_ = config.GetI32(param::SerialWaitCTS, 0) != 0;
    interbyteDelayUs_ = config.GetU32(param::SerialInterbyteDelayUs, 0);
    interframeDelayMs_ = std::min<DWORD>(config.GetU32(param::SerialInterframeDelayMs, 0), kLongestWaitMs);
    suppressEcho_ = config.GetI32(param::SerialSupressEcho, 0) != 0;

    // A toggle without delays or CTS wait is left to the system where it can
    // do it; otherwise the port object raises and drops RTS itself.
    if (rts == RTS_SYSTEM_TOGGLE || rts == RTS_PORT_TOGGLE)
        rts = IsNtFamily() && delayBeforeMs_ == 0 && delayAfterMs_ == 0 && !waitCts_ ? RTS_SYSTEM_TOGGLE
                                                                                     : RTS_PORT_TOGGLE;
    rtsMode_ = static_cast<int>(rts);
    settings_.fRtsControl = rts == RTS_ON               ? RTS_CONTROL_ENABLE
                            : rts == RTS_SYSTEM_TOGGLE ? RTS_CONTROL_TOGGLE
                                                        : RTS_CONTROL_DISABLE;
}

void CSerialPort::SetError(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    errorText_ = FormatTextV(format, arguments);
    va_end(arguments);
}

HRESULT CSerialPort::Open(unsigned port) {
    errorText_.clear();
    Log(LOG_SERIAL, "Opening COM%u:%u,%u,%s,%s ...", port, static_cast<unsigned>(settings_.BaudRate),
        static_cast<unsigned>(settings_.ByteSize), ParityName(settings_.Parity), StopBitsText(settings_.StopBits));
    if (IsOpen()) {
        SetError("tried to open port COM%u twice", port);
        Log(LOG_SERIAL, "ERROR, already opened");
        return E_FAIL;
    }
    // Without the NT family the transmitter is watched through the UART's line
    // status register at its standard address.
    static const uint16_t uartBases[] = {0x3F8, 0x2F8, 0x3E8, 0x2E8};
    lineStatusAddress_ = !IsNtFamily() && port >= 1 && port <= 4 ? static_cast<uint16_t>(uartBases[port - 1] + 5) : 0;

    char device[32];
    snprintf(device, sizeof device, port < 10 ? "COM%u" : "\\\\.\\COM%u", port);
    HANDLE handle = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        SetError("failed to open port %s (windows error %u)", device, static_cast<unsigned>(error));
        Log(LOG_SERIAL, "ERROR, failed to open port %s (%u)", device, static_cast<unsigned>(error));
        lineStatusAddress_ = 0;
        return E_FAIL;
    }
    handle_ = handle;
    closedByFault_ = false;

    saved_ = DCB{};
    saved_.DCBlength = sizeof(DCB);
    if (!GetCommState(handle_, &saved_)) {
        Log(LOG_SERIAL, "WARNING: failed to save previous port state on '%s' (windows error %u)", device,
            static_cast<unsigned>(GetLastError()));
        saved_ = DCB{};
    }
    if (!SetCommState(handle_, &settings_)) {
        const DWORD error = GetLastError();
        SetError("failed to configure port %s (windows error %u)", device, static_cast<unsigned>(error));
        Log(LOG_SERIAL, "ERROR, SetCommState failed (%u)", static_cast<unsigned>(error));
        Close();
        return E_FAIL;
    }
    Log(LOG_SERIAL, "Port opened!");
    ApplyTimeouts();
    return S_OK;
}

void CSerialPort::Close() {
    if (IsOpen()) {
        // The watcher ends first, while the handle it looks at is good.
        StopWatcher();
        if (saved_.DCBlength == sizeof(DCB)) SetCommState(handle_, &saved_);
        saved_ = DCB{};
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
    lineStatusAddress_ = 0;
    lastIoKnown_ = false;
}

bool CSerialPort::Attach(HANDLE handle) {
    if (IsOpen()) return false;
    handle_ = handle;
    closedByFault_ = false;
    saved_ = DCB{};
    DCB settings = {};
    settings.DCBlength = sizeof(DCB);
    if (!GetCommState(handle_, &settings)) Log(LOG_SERIAL, "ERROR in GetCommState!");
    COMMPROP properties = {};
    if (!GetCommProperties(handle_, &properties)) Log(LOG_SERIAL, "ERROR in GetCommProperties!");
    DWORD mask = 0;
    if (!GetCommMask(handle_, &mask)) Log(LOG_SERIAL, "ERROR in GetCommMask!");
    ApplyTimeouts();
    settings.fAbortOnError = FALSE;
    if (!SetCommState(handle_, &settings)) Log(LOG_SERIAL, "ERROR in SetCommState!");
    settings_ = settings;
    return true;
}

void CSerialPort::ApplyTimeouts() {
    COMMTIMEOUTS timeouts = {};
    if (!GetCommTimeouts(handle_, &timeouts))
        Log(LOG_SERIAL, "ERROR, GetCommTimeouts failed (%u)", static_cast<unsigned>(GetLastError()));
    timeouts.ReadIntervalTimeout = kReadIntervalMs;
    timeouts.ReadTotalTimeoutMultiplier = 1;
    timeouts.ReadTotalTimeoutConstant = receiveTimeoutMs_;
    timeouts.WriteTotalTimeoutMultiplier = 1;
    timeouts.WriteTotalTimeoutConstant = receiveTimeoutMs_;
    if (!SetCommTimeouts(handle_, &timeouts))
        Log(LOG_SERIAL, "ERROR, SetCommTimeouts failed (%u)", static_cast<unsigned>(GetLastError()));
}

void CSerialPort::ClearPortError() {
    DWORD errors = 0;
    COMSTAT status = {};
    ClearCommError(handle_, &errors, &status);
}

DWORD CSerialPort::TransferLimitMs(unsigned count) const {
    const ULONGLONG limit = static_cast<ULONGLONG>(receiveTimeoutMs_) * count + kTransferSlackMs;
    return limit >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(limit);
}

bool CSerialPort::Arm(std::unique_ptr<Transfer> &transfer, unsigned count) {
    if (!transfer) transfer.reset(new (std::nothrow) Transfer);
    if (!transfer || !transfer->event.valid()) return false;
    transfer->overlapped = OVERLAPPED{};
    transfer->overlapped.hEvent = transfer->event.get();
    ResetEvent(transfer->event.get());
    if (transfer->bytes.size() < count) transfer->bytes.resize(count);
    return true;
}

DWORD CSerialPort::AwaitTransfer(Transfer &transfer, unsigned count) {
    const HANDLE waitSet[2] = {transfer.event.get(), stop_};
    return WaitForMultipleObjects(stop_ ? 2 : 1, waitSet, FALSE, TransferLimitMs(count));
}

void CSerialPort::CancelTransfer(std::unique_ptr<Transfer> &transfer) {
    CancelIo(handle_);
    if (WaitForSingleObject(transfer->event.get(), kCancelWaitMs) == WAIT_OBJECT_0) {
        DWORD ignored = 0;
        GetOverlappedResult(handle_, &transfer->overlapped, &ignored, FALSE);
        return;
    }
    Log(LOG_SERIAL, "ERROR, a cancelled transfer did not end, port closed");
    static_cast<void>(transfer.release());
    closedByFault_ = true;
    Close();
}

// The errors with which the system answers for a device that went away (a USB
// adapter pulled, the far end of a virtual port closed): its handle stays dead.
void CSerialPort::CloseIfDeviceGone(DWORD error) {
    switch (error) {
    case ERROR_BROKEN_PIPE:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED: break;
    default: return;
    }
    Log(LOG_SERIAL, "ERROR, the device is gone (windows error %u), port closed", static_cast<unsigned>(error));
    closedByFault_ = true;
    Close();
}

void CSerialPort::DelayMs(DWORD ms) {
    if (ms >= kBusyWaitMsLimit && stop_)
        WaitForSingleObject(stop_, ms);
    else
        SerialDelayMs(ms);
}

void CSerialPort::NoteIo() {
    QueryPerformanceCounter(&lastIo_);
    lastIoKnown_ = true;
}

HRESULT CSerialPort::WriteChunk(const BYTE *bytes, unsigned count, unsigned *written) {
    *written = 0;
    if (!Arm(writeTransfer_, count)) return E_OUTOFMEMORY;
    // The system reads the bytes from the transfer's own buffer.
    std::memcpy(writeTransfer_->bytes.data(), bytes, count);
    DWORD done = 0;
    if (!WriteFile(handle_, writeTransfer_->bytes.data(), count, &done, &writeTransfer_->overlapped)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            ClearPortError();
            Log(LOG_TX, "ERROR(err(%i) != ERROR_IO_PENDING)", static_cast<int>(error));
            CloseIfDeviceGone(error);
            return E_FAIL;
        }
        const DWORD wait = AwaitTransfer(*writeTransfer_, count);
        if (wait != WAIT_OBJECT_0) {
            CancelTransfer(writeTransfer_);
            Log(LOG_TX, "ERROR(dw(%Xh) != WAIT_OBJECT_0)", static_cast<unsigned>(wait));
            return E_FAIL;
        }
        if (!GetOverlappedResult(handle_, &writeTransfer_->overlapped, &done, FALSE)) {
            const DWORD failure = GetLastError();
            Log(LOG_TX, "ERROR(GetOverlappedResult)");
            CloseIfDeviceGone(failure);
            return E_FAIL;
        }
    }
    if (done > 0) {
        if (interbyteDelayUs_ > 0) {
            FlushFileBuffers(handle_);
            WaitTransmitterEmpty();
        }
        NoteIo();
    }
    *written = done;
    if (done < count) {
        Log(LOG_TX, "ERROR(dwWritten(%i) != count(%i))", static_cast<int>(done), static_cast<int>(count));
        return E_FAIL;
    }
    return S_OK;
}

HRESULT CSerialPort::Write(const BYTE *bytes, unsigned count) {
    if (!bytes) return E_POINTER;
    if (!IsOpen()) {
        Log(LOG_TX, " ERROR, port is closed!");
        return E_FAIL;
    }
    if (interframeDelayMs_ > 0 && lastIoKnown_) {
        const DWORD since = static_cast<DWORD>((Now() - lastIo_.QuadPart) * 1000 / Frequency());
        if (interframeDelayMs_ > since) DelayMs(interframeDelayMs_ - since);
    }
    const unsigned chunk = interbyteDelayUs_ > 0 ? 1 : count;
    unsigned total = 0;
    HRESULT result = S_OK;
    while (total < count && SUCCEEDED(result)) {
        if (total > 0) SerialDelayUs(interbyteDelayUs_);
        const unsigned size = count - total < chunk ? count - total : chunk;
        unsigned written = 0;
        result = WriteChunk(bytes + total, size, &written);
        total += written;
    }
    if (total > 0) {
        if (owner_) owner_->OnPortSent(total);
        Logger()->LogFrame(LOG_TX, LOG_LEVEL, bytes, total);
        if (suppressEcho_) {
            const HRESULT echo = SwallowEcho(bytes, total);
            if (FAILED(echo)) return echo;
        }
    }
    return result;
}

HRESULT CSerialPort::SwallowEcho(const BYTE *sent, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        BYTE byte = 0;
        const HRESULT read = Read(&byte, 1, true);
        if (FAILED(read)) {
            Log(LOG_RX, "ERROR receiving echo for byte %u of %u (receive failed, hr = %08X)", i + 1, count,
                static_cast<unsigned>(read));
            return read;
        }
        if (byte != sent[i]) {
            Log(LOG_RX, "ERROR receiving echo for byte %u of %u (received '%02X' instead of '%02X')", i + 1, count,
                static_cast<unsigned>(byte), static_cast<unsigned>(sent[i]));
            return E_FAIL;
        }
    }
    return S_OK;
}

HRESULT CSerialPort::Read(BYTE *buffer, unsigned count, bool echo) {
    const char *what = echo ? "ERROR supressing echo" : "ERROR";
    if (!buffer) return E_POINTER;
    if (!IsOpen()) {
        Log(LOG_RX, "%s, port is closed!", what);
        return E_FAIL;
    }
    // The system writes into the transfer's own buffer, which outlives a
    // transfer that ignores its cancel; the bytes are copied out below.
    if (!Arm(readTransfer_, count)) return E_OUTOFMEMORY;
    Transfer &transfer = *readTransfer_;
    DWORD got = 0;
    if (!ReadFile(handle_, transfer.bytes.data(), count, &got, &transfer.overlapped)) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            ClearPortError();
            Log(LOG_RX, "%s, ReadFile returned %u != ERROR_IO_PENDING", what, static_cast<unsigned>(error));
            CloseIfDeviceGone(error);
            return HRESULT_FROM_WIN32(error);
        }
        const DWORD wait = AwaitTransfer(transfer, count);
        if (wait != WAIT_OBJECT_0) {
            CancelTransfer(readTransfer_);
            Log(LOG_RX, "%s, WaitForSingleObject returned %u != WAIT_OBJECT_0", what, static_cast<unsigned>(wait));
            return E_FAIL;
        }
        if (!GetOverlappedResult(handle_, &transfer.overlapped, &got, FALSE)) {
            error = GetLastError();
            // Wine ends a read whose time-out expired with ERROR_TIMEOUT
            // instead of success with fewer bytes: that is the time-out below.
            if (error != ERROR_TIMEOUT) {
                if (error == ERROR_IO_PENDING)
                    Log(LOG_RX, "%s, GetOverlappedResult returned ERROR_IO_PENDING", what);
                else
                    Log(LOG_RX, "%s, GetOverlappedResult returned error %u", what, static_cast<unsigned>(error));
                CloseIfDeviceGone(error);
                return HRESULT_FROM_WIN32(error);
            }
            got = static_cast<DWORD>(transfer.overlapped.InternalHigh);
            if (got > count) got = 0;
        }
    }
    std::memcpy(buffer, transfer.bytes.data(), got);
    if (got > 0 && !echo) {
        if (owner_) owner_->OnPortReceived(got);
        Logger()->LogFrame(LOG_RX, LOG_LEVEL, buffer, got);
    }
    if (got < count) {
        Log(LOG_RX, echo ? " TIMEOUT supressing echo" : " TIMEOUT");
        return IO_E_RECEIVE_TIMEOUT;
    }
    NoteIo();
    return S_OK;
}

void CSerialPort::SetRts(bool raised) { EscapeCommFunction(handle_, raised ? SETRTS : CLRRTS); }

bool CSerialPort::WaitForCts() {
    const DWORD start = timeGetTime();
    for (;;) {
        DWORD status = 0;
        if (GetCommModemStatus(handle_, &status) && (status & MS_CTS_ON)) return true;
        if (timeGetTime() - start > ctsTimeoutMs_) return false;
        // Sleeps between looks rather than taking a core, and ends on a stop.
        if (stop_ ? WaitForSingleObject(stop_, kCtsSliceMs) == WAIT_OBJECT_0 : (Sleep(kCtsSliceMs), false))
            return false;
    }
}

bool CSerialPort::PrepareSend() {
    Purge();
    if (rtsMode_ != RTS_PORT_TOGGLE) return true;
    SetRts(true);
    DelayMs(delayBeforeMs_);
    if (waitCts_ && !WaitForCts()) {
        // A raised RTS would hold a two-wire bus for every other station
        // until the next frame: the failed send gives it back.
        SetRts(false);
        Log(LOG_SERIAL, "ERROR, CTS not raised within %u ms, RTS dropped", static_cast<unsigned>(ctsTimeoutMs_));
        return false;
    }
    return true;
}

bool CSerialPort::FinishSend() {
    if (!IsOpen()) return true;
    FlushFileBuffers(handle_);
    WaitTransmitterEmpty();
    if (rtsMode_ == RTS_PORT_TOGGLE) {
        DelayMs(delayAfterMs_);
        SetRts(false);
    }
    return true;
}

void CSerialPort::WaitTransmitterEmpty() {
#if defined(__i386__) || defined(__x86_64__)
    if (lineStatusAddress_ == 0 || IsNtFamily()) return;
    while ((__inbyte(lineStatusAddress_) & kTransmitterEmpty) == 0) {
    }
#endif
}

void CSerialPort::Purge() {
    if (!IsOpen()) return;
    PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    // What arrived since is read and logged as received, then dropped.
    const LONGLONG start = Now();
    while (ElapsedMs(start) < kPurgeLimitMs) {
        DWORD errors = 0;
        COMSTAT status = {};
        if (!ClearCommError(handle_, &errors, &status) || status.cbInQue == 0) break;
        BYTE byte = 0;
        if (FAILED(Read(&byte, 1, false))) break;
    }
}

unsigned CSerialPort::QueuedInput() {
    if (!IsOpen()) return 0;
    DWORD errors = 0;
    COMSTAT status = {};
    return ClearCommError(handle_, &errors, &status) ? status.cbInQue : 0;
}

bool CSerialPort::HasInput() {
    if (!IsOpen()) return false;
    if (!watchThread_.valid()) StartWatcher();
    DWORD errors = 0;
    COMSTAT status = {};
    return ClearCommError(handle_, &errors, &status) && status.cbInQue > 0;
}

void CSerialPort::StartWatcher() {
    if (!watchEvent_.valid() || !watchStop_.valid()) return;
    ResetEvent(watchStop_.get());
    watchHandle_ = handle_;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WatcherEntry, this, 0, &id);
    if (!thread) {
        watchHandle_ = INVALID_HANDLE_VALUE;
        return;
    }
    watchThread_.reset(thread);
    watchThreadId_ = id;
}

void CSerialPort::StopWatcher() {
    watchHandle_ = INVALID_HANDLE_VALUE;
    if (!watchThread_.valid()) return;
    SetEvent(watchStop_.get());
    WaitForSingleObject(watchThread_.get(), INFINITE);
    watchThread_.reset();
    watchThreadId_ = 0;
}

DWORD WINAPI CSerialPort::WatcherEntry(void *self) {
    static_cast<CSerialPort *>(self)->Watch();
    return 0;
}

void CSerialPort::Watch() {
    DWORD queued = 0;
    for (;;) {
        const HANDLE port = watchHandle_;
        if (port == INVALID_HANDLE_VALUE) return;
        DWORD errors = 0;
        COMSTAT status = {};
        if (ClearCommError(port, &errors, &status)) {
            if (status.cbInQue > queued) SetEvent(watchEvent_.get());
            queued = status.cbInQue;
        }
        if (WaitForSingleObject(watchStop_.get(), kWatchPollMs) == WAIT_OBJECT_0) return;
    }
}

} // namespace quillon
