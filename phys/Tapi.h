// A telephone line and its call through the Windows Telephony API (TAPI 2),
// and, once the call is connected, the serial port of that call: the object
// is itself the port that reads and writes the call's data stream.
//
// TAPI delivers its notifications as window messages on the thread that
// initialised the line, so every wait here dispatches that thread's messages.
#pragma once

#include "phys/SerialPort.h"

#include <windows.h>
#include <tapi.h>

#include <string>
#include <vector>

namespace quillon {

// The text of a TAPI result: "OK", the name of a LINEERR_ code, or
// "ID=%Xh" for anything else (a positive value is a request identifier).
std::string TapiResultText(LONG result);

class CTapi : public CSerialPort {
public:
    enum ModemStatus : uint16_t {
        STATUS_NONE = 0,
        STATUS_INITIALIZED = 1,
        STATUS_INIT_ERROR = 2,
        STATUS_DIAL_ERROR = 3,
        STATUS_CONNECTING = 4,
        STATUS_CONNECTED = 5,
        STATUS_DISCONNECTING = 6,
        STATUS_DISCONNECTED = 7,
        STATUS_NO_DIAL_TONE = 8,
        STATUS_BUSY = 9,
        STATUS_NO_ANSWER = 10,
        STATUS_UNKNOWN_ERROR = 11,
        STATUS_RINGING = 12,
    };
    // Connecting state as the control tag shows it.
    enum ConnectingState : uint16_t { CALL_IDLE = 0, CALL_CONNECTING = 1, CALL_CONNECTED = 2, CALL_DISCONNECTING = 3 };

    CTapi(CIOGlobals *globals, ISerialPortOwner *owner);
    ~CTapi() override;

    static const char *StatusText(unsigned status);

    // The data modems TAPI knows, as permanent identifiers and names kept in
    // step. Returns the TAPI result of initialising.
    LONG GetListOfDevices(HINSTANCE instance, std::vector<DWORD> &ids, std::vector<std::string> &names);
    bool OpenLine(HINSTANCE instance, DWORD permanentId, bool acceptIncoming);
    bool MakeCall(const char *number);
    bool HangUpCall();
    bool CloseLine();
    // The device index of the line with that permanent identifier (0: the
    // first device whose capabilities can be read).
    bool GetDevID(HINSTANCE instance, DWORD permanentId, DWORD *index);

    // Ends whatever is left when the link terminates: the call, then the line.
    void Finish();
    // The link stops: from now on the waits for the service's replies and
    // for a call to go give up soon. Safe from any thread.
    void Stopping() { InterlockedExchange(&stopping_, 1); }
    // Waits up to waitMs for a message of this thread and dispatches what
    // has arrived, or only the first message.
    static void DispatchMessages(DWORD waitMs, bool onlyOne = false);

    bool IsLineOpen() const { return lineOpen_ != 0; }
    bool IsCallInProgress() const { return callInProgress_ != 0; }
    bool IsConnected() const { return connected_ != 0; }
    unsigned Status() const { return static_cast<unsigned>(status_); }
    DWORD ConnectionRate() const { return rate_; }
    ConnectingState GetConnectingState() const;
    const std::string &TapiErrorText() const { return tapiError_; }
    // The port's own RTS handling, for the modem's frames.
    using CSerialPort::SetRts;

private:
    static void CALLBACK Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR param1,
                                 DWORD_PTR param2, DWORD_PTR param3);
    void OnMessage(DWORD device, DWORD message, DWORD_PTR param1, DWORD_PTR param2);
    void OnRinging(HCALL call);
    // Turns an offered call away while this line has a call of its own.
    void RefuseOffered(HCALL call);
    void OnLineConnected();
    void OnCallEnded();

    // Waits for the reply to a request and gives its result (0 success);
    // LINEERR_OPERATIONFAILED when none came in time.
    LONG WaitForReply(LONG request);
    void WaitUntilDisconnected();
    void SetStatus(unsigned status);
    void SetTapiError(const char *format, ...) QUILLON_PRINTF(2, 3);
    // Ends the call's TAPI side: drop (while it is not idle), wait, deallocate.
    LONG EndCall();
    // Hangs up and leaves endStatus as the modem status: the cause of a call
    // that ended by itself outlasts the hang-up that follows it.
    bool HangUp(unsigned endStatus);
    bool ShutdownApp(const char *failureFormat);

    struct Reply {
        DWORD request;
        LONG result;
    };

    volatile LONG lineOpen_ = 0;
    volatile LONG callInProgress_ = 0;
    volatile LONG acceptIncoming_ = 0;
    volatile LONG disconnectMode_ = 2;
    volatile LONG connected_ = 0;
    std::vector<BYTE> addressStatus_;
    std::vector<BYTE> callParams_;
    HLINEAPP app_ = 0;
    HLINE line_ = 0;
    // TAPI writes a placed call's handle here when it replies.
    HCALL call_ = 0;
    // The state TAPI last reported for the call.
    volatile LONG callState_ = 0;
    volatile LONG status_ = STATUS_NONE;
    DWORD deviceIndex_ = 0;
    DWORD rate_ = 0;
    std::string tapiError_;
    CriticalSection repliesLock_;
    std::vector<Reply> replies_;
    // Set while a hang-up runs: a connection reported by then comes too late.
    volatile LONG hangingUp_ = 0;
    // Keep a placement or a hang-up of this line from running twice at once
    // (a wait inside one dispatches the notices that may start the other).
    volatile LONG makeCallBusy_ = 0;
    volatile LONG stopping_ = 0;
    volatile LONG hangUpBusy_ = 0;
    // The service closed the line while a hang-up waited: closed after it.
    volatile LONG closeAfterHangUp_ = 0;
};

} // namespace quillon
