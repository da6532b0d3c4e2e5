#include "phys/Tapi.h"

#include "log/TextFormat.h"
#include "phys/MessagePump.h"

#include <mmsystem.h>

#include <algorithm>
#include <cstdio>

namespace quillon {
namespace {

constexpr DWORD kApiLow = 0x00010003;
constexpr DWORD kApiHigh = 0x00010004;
constexpr const char kAppName[] = "TapiComm";
constexpr DWORD kLineStates = 0xBFFFFF;
constexpr DWORD kAddressStates = 0x1FF;
constexpr DWORD kDevCapsSize = 1264;
constexpr DWORD kAddressStatusSize = 64;
constexpr DWORD kCallParamsSize = 1136;
constexpr DWORD kDisplayableAddressOffset = 112;
constexpr DWORD kVarStringSize = 1048;
constexpr DWORD kCallInfoSize = 1320;
constexpr DWORD kReplyWaitMs = 10000;
constexpr DWORD kDisconnectWaitMs = 10000;
// What each of those waits is given once the link stops: a stop returns
// within its bound even when the service answers late or never.
constexpr DWORD kStoppingWaitMs = 300;
constexpr DWORD kDispatchStepMs = 10;

static_assert(sizeof(LINECALLPARAMS) <= kCallParamsSize && sizeof(LINEDEVCAPS) <= kDevCapsSize &&
                  sizeof(LINEADDRESSSTATUS) <= kAddressStatusSize && sizeof(VARSTRING) <= kVarStringSize &&
                  sizeof(LINECALLINFO) <= kCallInfoSize,
              "the TAPI buffers hold their structures");

// Every CTapi of the process: the callback finds its object here by the
// instance value it was registered with.
CriticalSection &ObjectsLock() {
    static CriticalSection lock;
    return lock;
}
std::vector<CTapi *> &Objects() {
    static std::vector<CTapi *> objects;
    return objects;
}

// A TAPI structure in a zeroed buffer with its total size set.
template <class T>
T *Prepare(BYTE *buffer, DWORD size) {
    std::fill(buffer, buffer + size, BYTE(0));
    T *structure = reinterpret_cast<T *>(buffer);
    structure->dwTotalSize = size;
    return structure;
}

#define LINE_ERROR(name) {static_cast<LONG>(name), #name}
const struct {
    LONG code;
    const char *name;
} kLineErrors[] = {
    LINE_ERROR(LINEERR_ALLOCATED), LINE_ERROR(LINEERR_BADDEVICEID), LINE_ERROR(LINEERR_BEARERMODEUNAVAIL),
    LINE_ERROR(LINEERR_CALLUNAVAIL), LINE_ERROR(LINEERR_COMPLETIONOVERRUN), LINE_ERROR(LINEERR_CONFERENCEFULL),
    LINE_ERROR(LINEERR_DIALBILLING), LINE_ERROR(LINEERR_DIALDIALTONE), LINE_ERROR(LINEERR_DIALPROMPT),
    LINE_ERROR(LINEERR_DIALQUIET), LINE_ERROR(LINEERR_INCOMPATIBLEAPIVERSION),
    LINE_ERROR(LINEERR_INCOMPATIBLEEXTVERSION), LINE_ERROR(LINEERR_INIFILECORRUPT), LINE_ERROR(LINEERR_INUSE),
    LINE_ERROR(LINEERR_INVALADDRESS), LINE_ERROR(LINEERR_INVALADDRESSID), LINE_ERROR(LINEERR_INVALADDRESSMODE),
    LINE_ERROR(LINEERR_INVALADDRESSSTATE), LINE_ERROR(LINEERR_INVALAPPHANDLE), LINE_ERROR(LINEERR_INVALAPPNAME),
    LINE_ERROR(LINEERR_INVALBEARERMODE), LINE_ERROR(LINEERR_INVALCALLCOMPLMODE), LINE_ERROR(LINEERR_INVALCALLHANDLE),
    LINE_ERROR(LINEERR_INVALCALLPARAMS), LINE_ERROR(LINEERR_INVALCALLPRIVILEGE), LINE_ERROR(LINEERR_INVALCALLSELECT),
    LINE_ERROR(LINEERR_INVALCALLSTATE), LINE_ERROR(LINEERR_INVALCALLSTATELIST), LINE_ERROR(LINEERR_INVALCARD),
    LINE_ERROR(LINEERR_INVALCOMPLETIONID), LINE_ERROR(LINEERR_INVALCONFCALLHANDLE),
    LINE_ERROR(LINEERR_INVALCONSULTCALLHANDLE), LINE_ERROR(LINEERR_INVALCOUNTRYCODE),
    LINE_ERROR(LINEERR_INVALDEVICECLASS), LINE_ERROR(LINEERR_INVALDEVICEHANDLE), LINE_ERROR(LINEERR_INVALDIALPARAMS),
    LINE_ERROR(LINEERR_INVALDIGITLIST), LINE_ERROR(LINEERR_INVALDIGITMODE), LINE_ERROR(LINEERR_INVALDIGITS),
    LINE_ERROR(LINEERR_INVALEXTVERSION), LINE_ERROR(LINEERR_INVALGROUPID), LINE_ERROR(LINEERR_INVALLINEHANDLE),
    LINE_ERROR(LINEERR_INVALLINESTATE), LINE_ERROR(LINEERR_INVALLOCATION), LINE_ERROR(LINEERR_INVALMEDIALIST),
    LINE_ERROR(LINEERR_INVALMEDIAMODE), LINE_ERROR(LINEERR_INVALMESSAGEID), LINE_ERROR(LINEERR_INVALPARAM),
    LINE_ERROR(LINEERR_INVALPARKID), LINE_ERROR(LINEERR_INVALPARKMODE), LINE_ERROR(LINEERR_INVALPOINTER),
    LINE_ERROR(LINEERR_INVALPRIVSELECT), LINE_ERROR(LINEERR_INVALRATE), LINE_ERROR(LINEERR_INVALREQUESTMODE),
    LINE_ERROR(LINEERR_INVALTERMINALID), LINE_ERROR(LINEERR_INVALTERMINALMODE), LINE_ERROR(LINEERR_INVALTIMEOUT),
    LINE_ERROR(LINEERR_INVALTONE), LINE_ERROR(LINEERR_INVALTONELIST), LINE_ERROR(LINEERR_INVALTONEMODE),
    LINE_ERROR(LINEERR_INVALTRANSFERMODE), LINE_ERROR(LINEERR_LINEMAPPERFAILED), LINE_ERROR(LINEERR_NOCONFERENCE),
    LINE_ERROR(LINEERR_NODEVICE), LINE_ERROR(LINEERR_NODRIVER), LINE_ERROR(LINEERR_NOMEM),
    LINE_ERROR(LINEERR_NOREQUEST), LINE_ERROR(LINEERR_NOTOWNER), LINE_ERROR(LINEERR_NOTREGISTERED),
    LINE_ERROR(LINEERR_OPERATIONFAILED), LINE_ERROR(LINEERR_OPERATIONUNAVAIL), LINE_ERROR(LINEERR_RATEUNAVAIL),
    LINE_ERROR(LINEERR_RESOURCEUNAVAIL), LINE_ERROR(LINEERR_REQUESTOVERRUN), LINE_ERROR(LINEERR_STRUCTURETOOSMALL),
    LINE_ERROR(LINEERR_TARGETNOTFOUND), LINE_ERROR(LINEERR_TARGETSELF), LINE_ERROR(LINEERR_UNINITIALIZED),
    LINE_ERROR(LINEERR_USERUSERINFOTOOBIG), LINE_ERROR(LINEERR_REINIT), LINE_ERROR(LINEERR_ADDRESSBLOCKED),
    LINE_ERROR(LINEERR_BILLINGREJECTED), LINE_ERROR(LINEERR_INVALFEATURE), LINE_ERROR(LINEERR_NOMULTIPLEINSTANCE),
};
#undef LINE_ERROR

} // namespace

// Each caller gets its own text: many error names are longer than a small
// shared buffer, and the hang-up tag formats on another thread.
std::string TapiResultText(LONG result) {
    if (result == 0) return "OK";
    for (const auto &error : kLineErrors)
        if (error.code == result) return error.name;
    char text[16];
    snprintf(text, sizeof text, "ID=%lXh", static_cast<unsigned long>(static_cast<DWORD>(result)));
    return text;
}

const char *CTapi::StatusText(unsigned status) {
    static const char *const texts[] = {"No status!",         "Modem initialized OK!", "Modem error at initialization!",
                                        "Modem error at dial!", "Connecting...",       "Connected!",
                                        "Disconnecting...",   "Disconnected OK!",      "Error: no dial tone!",
                                        "Error: busy!",       "Error: no answer!",     "Error: unknown!",
                                        "Ringing..."};
    return status < sizeof texts / sizeof texts[0] ? texts[status] : "Unknown status!";
}

CTapi::CTapi(CIOGlobals *globals, ISerialPortOwner *owner) : CSerialPort(globals, owner) {
    ScopedLock lock(ObjectsLock());
    Objects().push_back(this);
}

CTapi::~CTapi() {
    ScopedLock lock(ObjectsLock());
    std::vector<CTapi *> &objects = Objects();
    objects.erase(std::remove(objects.begin(), objects.end(), this), objects.end());
}

void CTapi::SetTapiError(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    tapiError_ = FormatTextV(format, arguments);
    va_end(arguments);
}

void CTapi::SetStatus(unsigned status) {
    if (InterlockedExchange(&status_, static_cast<LONG>(status)) == static_cast<LONG>(status)) return;
    Log(LOG_TAPI, "ModemStatus: '%s'", StatusText(status));
}

CTapi::ConnectingState CTapi::GetConnectingState() const {
    if (connected_) return CALL_CONNECTED;
    const LONG status = status_;
    if (status == STATUS_CONNECTING || status == STATUS_RINGING) return CALL_CONNECTING;
    if (status == STATUS_DISCONNECTING) return CALL_DISCONNECTING;
    return CALL_IDLE;
}

void CTapi::DispatchMessages(DWORD waitMs, bool onlyOne) {
    MsgWaitForMultipleObjectsEx(0, nullptr, waitMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    PumpMessages(onlyOne ? 1 : 0);
}

bool CTapi::ShutdownApp(const char *failureFormat) {
    const LONG result = lineShutdown(app_);
    app_ = 0;
    if (result < 0) {
        Log(LOG_TAPI, failureFormat, TapiResultText(result).c_str());
        return false;
    }
    return true;
}

LONG CTapi::GetListOfDevices(HINSTANCE instance, std::vector<DWORD> &ids, std::vector<std::string> &names) {
    ids.clear();
    names.clear();
    HLINEAPP app = 0;
    DWORD devices = 0;
    const LONG initialized = lineInitialize(&app, instance, Callback, kAppName, &devices);
    if (initialized < 0) {
        Log(LOG_TAPI, "GetListOfDevices: lineInitialize failed (%s)", TapiResultText(initialized).c_str());
        return initialized;
    }
    alignas(8) BYTE buffer[kDevCapsSize];
    for (DWORD device = 0; device < devices; ++device) {
        DWORD version = 0;
        LINEEXTENSIONID extension = {};
        LONG result = lineNegotiateAPIVersion(app, device, kApiLow, kApiHigh, &version, &extension);
        if (result < 0) {
            Log(LOG_TAPI, "GetListOfDevices(%lu): lineNegotiateAPIVersion failed (%s)", device,
                TapiResultText(result).c_str());
            continue;
        }
        LINEDEVCAPS *caps = Prepare<LINEDEVCAPS>(buffer, kDevCapsSize);
        result = lineGetDevCaps(app, device, version, 0, caps);
        if (result < 0) {
            Log(LOG_TAPI, "GetListOfDevices(%lu): lineGetDevCaps failed(%s)", device, TapiResultText(result).c_str());
            continue;
        }
        if (!(caps->dwMediaModes & LINEMEDIAMODE_DATAMODEM)) continue;
        // The name only when the device gives one in ASCII that fits the
        // buffer; its last byte is made its end.
        std::string name = "No Name";
        const DWORD offset = caps->dwLineNameOffset, size = caps->dwLineNameSize;
        if (size > 0 && caps->dwStringFormat == STRINGFORMAT_ASCII && offset >= sizeof(LINEDEVCAPS) &&
            offset < kDevCapsSize && size <= kDevCapsSize - offset) {
            char *text = reinterpret_cast<char *>(buffer + offset);
            text[size - 1] = '\0';
            if (text[0] != '\0') name = text;
        }
        ids.push_back(caps->dwPermanentLineID);
        names.push_back(name);
        Log(LOG_TAPI, "GetListOfDevices(%lu):  device%u = %s", device, static_cast<unsigned>(names.size() - 1),
            name.c_str());
    }
    const LONG shutdown = lineShutdown(app);
    if (shutdown < 0) Log(LOG_TAPI, "GetListOfDevices:  lineShutdown failed (%s)", TapiResultText(shutdown).c_str());
    return initialized;
}

bool CTapi::GetDevID(HINSTANCE instance, DWORD permanentId, DWORD *index) {
    tapiError_.clear();
    HLINEAPP app = 0;
    DWORD devices = 0;
    LONG result = lineInitialize(&app, instance, Callback, kAppName, &devices);
    if (result < 0) {
        SetTapiError("failed to initialize line (tapi error %s)", TapiResultText(result).c_str());
        Log(LOG_TAPI, "GetDevID:  lineInitialize failed (%s)", TapiResultText(result).c_str());
        return false;
    }
    bool found = false;
    alignas(8) BYTE buffer[kDevCapsSize];
    for (DWORD device = 0; device < devices && !found; ++device) {
        DWORD version = 0;
        LINEEXTENSIONID extension = {};
        result = lineNegotiateAPIVersion(app, device, kApiLow, kApiHigh, &version, &extension);
        if (result < 0) {
            SetTapiError("failed to negotiate API version (tapi error %s)", TapiResultText(result).c_str());
            Log(LOG_TAPI, "GetDevID(%lu):  lineNegotiateAPIVersion failed (%s)", device,
                TapiResultText(result).c_str());
            continue;
        }
        LINEDEVCAPS *caps = Prepare<LINEDEVCAPS>(buffer, kDevCapsSize);
        result = lineGetDevCaps(app, device, version, 0, caps);
        if (result < 0) {
            SetTapiError("failed to get device capabilities (tapi error %s)", TapiResultText(result).c_str());
            Log(LOG_TAPI, "GetDevID(%lu):  lineGetDevCaps failed (%s)", device, TapiResultText(result).c_str());
            continue;
        }
        if (permanentId == 0 || caps->dwPermanentLineID == permanentId) {
            Log(LOG_TAPI, "GetDevID(%lu):  success  permID=%lu  ID=%lu!", device, caps->dwPermanentLineID, device);
            *index = device;
            found = true;
        }
    }
    if (!found) {
        SetTapiError("device ID=%lu not found", permanentId);
        Log(LOG_TAPI, "GetDevID:  couldn't find permanent ID (%lu) within %lu devices!", permanentId, devices);
    }
    result = lineShutdown(app);
    if (result < 0) {
        Log(LOG_TAPI, "GetDevID: lineShutdown failed (%s)", TapiResultText(result).c_str());
        return false;
    }
    return found;
}

bool CTapi::OpenLine(HINSTANCE instance, DWORD permanentId, bool acceptIncoming) {
    {
        ScopedLock lock(repliesLock_);
        replies_.clear();
    }
    Log(LOG_TAPI, "OpenLine(%08lu%s)", permanentId, acceptIncoming ? ",AcceptIncomingCalls" : "");
    tapiError_.clear();
    if (lineOpen_) {
        SetTapiError("tried to open line twice");
        Log(LOG_TAPI, "OpenLine:  Line already Opened!");
        SetStatus(STATUS_INIT_ERROR);
        return false;
    }
    DWORD index = 0;
    if (!GetDevID(instance, permanentId, &index)) {
        Log(LOG_TAPI, "OpenLine:  Error in GetDeviceID!");
        SetStatus(STATUS_INIT_ERROR);
        return false;
    }
    Log(LOG_TAPI, "DeviceID = %08lX", index);

    DWORD devices = 0;
    LONG result = lineInitialize(&app_, instance, Callback, kAppName, &devices);
    if (result < 0) {
        app_ = 0;
        SetTapiError("failed to initialize line (tapi error %s)", TapiResultText(result).c_str());
        Log(LOG_TAPI, "OpenLine:  lineInitialize failed (%s)", TapiResultText(result).c_str());
        SetStatus(STATUS_INIT_ERROR);
        return false;
    }
    const char *failure = nullptr;
    const char *logFormat = nullptr;
    DWORD version = 0;
    LINEEXTENSIONID extension = {};
    result = lineNegotiateAPIVersion(app_, index, kApiLow, kApiHigh, &version, &extension);
    if (result < 0) {
        failure = "failed to negotiate API version (tapi error %s)";
        logFormat = "OpenLine:  lineNegotiateAPIVersion failed (%s)";
    } else if ((result = lineOpen(app_, index, &line_, version, 0, reinterpret_cast<DWORD_PTR>(this),
                                  LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_DATAMODEM, nullptr)) < 0) {
        line_ = 0;
        failure = "failed to open line (tapi error %s)";
        logFormat = "OpenLine:  lineOpen failed (%s)";
    } else if ((result = lineSetStatusMessages(line_, kLineStates, kAddressStates)) < 0) {
        failure = "failed to configure status messages (tapi error %s)";
        logFormat = "OpenLine:  lineSetStatusMessages failed (%s)";
    } else {
        addressStatus_.assign(kAddressStatusSize, 0);
        LINEADDRESSSTATUS *status = Prepare<LINEADDRESSSTATUS>(addressStatus_.data(), kAddressStatusSize);
        if ((result = lineGetAddressStatus(line_, 0, status)) < 0) {
            failure = "failed to get line address status (tapi error %s)";
            logFormat = "OpenLine:  lineGetAddressStatus failed (%s)";
        }
    }
    if (failure) {
        SetTapiError(failure, TapiResultText(result).c_str());
        Log(LOG_TAPI, logFormat, TapiResultText(result).c_str());
        addressStatus_.clear();
        // Shutting the application down closes its line as well.
        line_ = 0;
        ShutdownApp("OpenLine: lineShutdown failed (%s)");
        SetStatus(STATUS_INIT_ERROR);
        return false;
    }
    deviceIndex_ = index;
    InterlockedExchange(&acceptIncoming_, acceptIncoming ? 1 : 0);
    InterlockedExchange(&lineOpen_, 1);
    SetStatus(STATUS_INITIALIZED);
    return true;
}

bool CTapi::MakeCall(const char *number) {
    Log(LOG_TAPI, "MakeCall '%s'", number);
    if (InterlockedExchange(&makeCallBusy_, 1)) {
        Log(LOG_TAPI, "MakeCall:  reentered!");
        return false;
    }
    bool placed = false;
    if (!lineOpen_) {
        Log(LOG_TAPI, "MakeCall:  line not yet open!");
    } else if (callInProgress_) {
        Log(LOG_TAPI, "MakeCall:  connection in course!");
    } else {
        callParams_.assign(kCallParamsSize, 0);
        LINECALLPARAMS *params = Prepare<LINECALLPARAMS>(callParams_.data(), kCallParamsSize);
        params->dwBearerMode = 0;
        params->dwMediaMode = LINEMEDIAMODE_DATAMODEM;
        params->dwCallParamFlags = LINECALLPARAMFLAGS_IDLE;
        params->dwAddressMode = LINEADDRESSMODE_ADDRESSID;
        params->dwAddressID = 0;
        params->dwDisplayableAddressOffset = kDisplayableAddressOffset;
        params->dwDisplayableAddressSize = 0;
        call_ = 0;
        LONG result = lineMakeCall(line_, &call_, number, 0, params);
        // A request that TAPI accepted can still fail in its reply; that is
        // a failed dial too, or the caller would wait for a call that never
        // comes.
        if (result >= 0) result = WaitForReply(result);
        if (result >= 0) {
            InterlockedExchange(&callState_, LINECALLSTATE_DIALING);
            SetStatus(STATUS_CONNECTING);
            InterlockedExchange(&callInProgress_, 1);
            placed = true;
        } else {
            Log(LOG_TAPI, "MakeCall:  lineMakeCall failed (%s)", TapiResultText(result).c_str());
            if (call_) lineDeallocateCall(call_);
            call_ = 0;
            callParams_.clear();
            SetStatus(STATUS_DIAL_ERROR);
        }
    }
    InterlockedExchange(&makeCallBusy_, 0);
    return placed;
}

LONG CTapi::EndCall() {
    LONG result = 0;
    if (connected_) {
        InterlockedExchange(&disconnectMode_, LINEDISCONNECTMODE_NORMAL);
        result = lineDrop(call_, nullptr, 0);
        if (result >= 0) {
            WaitForReply(result);
            WaitUntilDisconnected();
        } else {
            Log(LOG_TAPI, "HangUpCall:  lineDrop failed (%s)", TapiResultText(result).c_str());
        }
        Close();
    } else if (call_ && callState_ != LINECALLSTATE_IDLE) {
        // A call still being placed, offered or ended by the far side is
        // dropped too, so that TAPI lets it go.
        result = lineDrop(call_, nullptr, 0);
        if (result >= 0)
            WaitForReply(result);
        else
            Log(LOG_TAPI, "HangUpCall:  lineDrop failed (%s)", TapiResultText(result).c_str());
    }
    if (call_) {
        result = lineDeallocateCall(call_);
        if (result < 0) Log(LOG_TAPI, "HangUpCall:  lineDeallocateCall failed (%s)", TapiResultText(result).c_str());
        call_ = 0;
    }
    return result;
}

bool CTapi::HangUpCall() { return HangUp(STATUS_DISCONNECTED); }

bool CTapi::HangUp(unsigned endStatus) {
    Log(LOG_TAPI, "HangUpCall");
    if (InterlockedExchange(&hangUpBusy_, 1)) {
        Log(LOG_TAPI, "HangUpCall:  reentered!");
        return false;
    }
    bool success = false;
    if (!lineOpen_) {
        Log(LOG_TAPI, "HangUpCall:  line not open yet!");
    } else if (!callInProgress_) {
        Log(LOG_TAPI, "HangUpCall():  no call to hang-up!");
    } else {
        InterlockedExchange(&hangingUp_, 1);
        SetStatus(STATUS_DISCONNECTING);
        success = EndCall() >= 0;
        callParams_.clear();
        InterlockedExchange(&callInProgress_, 0);
        SetStatus(endStatus);
        InterlockedExchange(&hangingUp_, 0);
    }
    InterlockedExchange(&hangUpBusy_, 0);
    if (InterlockedExchange(&closeAfterHangUp_, 0)) CloseLine();
    return success;
}

bool CTapi::CloseLine() {
    Log(LOG_TAPI, "CloseLine");
    if (!lineOpen_) {
        Log(LOG_TAPI, "CloseLine:  line not yet open!");
        return false;
    }
    if (callInProgress_) {
        Log(LOG_TAPI, "CloseLine:  connection in course!");
        return false;
    }
    const LONG closed = lineClose(line_);
    // The application is shut down even when the line refuses to close:
    // shutting down closes its lines, and nothing is left open.
    if (closed < 0) Log(LOG_TAPI, "CloseLine: lineClose failed (%s)", TapiResultText(closed).c_str());
    line_ = 0;
    const bool shutDown = ShutdownApp("CloseLine:  lineShutdown failed (%s)");
    addressStatus_.clear();
    SetStatus(STATUS_NONE);
    InterlockedExchange(&acceptIncoming_, 0);
    InterlockedExchange(&lineOpen_, 0);
    deviceIndex_ = 0;
    return closed >= 0 && shutDown;
}

void CTapi::Finish() {
    if (callInProgress_) HangUpCall();
    if (lineOpen_) CloseLine();
}

LONG CTapi::WaitForReply(LONG request) {
    if (request <= 0) return request;
    const DWORD start = timeGetTime();
    for (;;) {
        {
            ScopedLock lock(repliesLock_);
            for (auto reply = replies_.begin(); reply != replies_.end(); ++reply) {
                if (reply->request == static_cast<DWORD>(request)) {
                    const LONG result = reply->result;
                    replies_.erase(reply);
                    return result;
                }
            }
        }
        if (timeGetTime() - start >= (stopping_ ? kStoppingWaitMs : kReplyWaitMs)) break;
        // One at a time: what follows the reply waits for its turn.
        DispatchMessages(kDispatchStepMs, true);
    }
    Log(LOG_TAPI, stopping_ ? "WaitForReply:  given up, the link stops" : "WaitForReply:  time-out");
    return LINEERR_OPERATIONFAILED;
}

void CTapi::WaitUntilDisconnected() {
    const DWORD start = timeGetTime();
    while (connected_) {
        if (timeGetTime() - start >= (stopping_ ? kStoppingWaitMs : kDisconnectWaitMs)) {
            Log(LOG_TAPI, stopping_ ? "WaitUntilDisconnected:  given up, the link stops"
                                    : "WaitUntilDisconnected:  time-out");
            return;
        }
        DispatchMessages(kDispatchStepMs, true);
    }
}

void CALLBACK CTapi::Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2,
                              DWORD_PTR) {
    CTapi *target = nullptr;
    {
        ScopedLock lock(ObjectsLock());
        for (CTapi *object : Objects())
            if (reinterpret_cast<DWORD_PTR>(object) == instance) target = object;
    }
    if (target) target->OnMessage(device, message, param1, param2);
}

void CTapi::OnMessage(DWORD device, DWORD message, DWORD_PTR param1, DWORD_PTR param2) {
    switch (message) {
    case LINE_CALLSTATE: {
        const DWORD state = static_cast<DWORD>(param1);
        if (state == LINECALLSTATE_OFFERING) {
            OnRinging(static_cast<HCALL>(device));
            return;
        }
        // States of a call that is no longer ours.
        if (static_cast<HCALL>(device) != call_ || call_ == 0) return;
        InterlockedExchange(&callState_, static_cast<LONG>(state));
        if (state == LINECALLSTATE_IDLE) {
            if (connected_) OnCallEnded();
        } else if (state == LINECALLSTATE_CONNECTED) {
            if (!hangingUp_ && !connected_) OnLineConnected();
        } else if (state == LINECALLSTATE_DISCONNECTED) {
            InterlockedExchange(&disconnectMode_, static_cast<LONG>(param2));
            OnCallEnded();
        }
        return;
    }
    case LINE_CLOSE:
        // The line is gone: its call ends first, so that closing is not
        // refused and nothing stays behind. A hang-up whose wait brought the
        // notice closes the line when it is over.
        if (hangUpBusy_) {
            InterlockedExchange(&closeAfterHangUp_, 1);
            return;
        }
        if (callInProgress_) HangUpCall();
        CloseLine();
        return;
    case LINE_REPLY: {
        ScopedLock lock(repliesLock_);
        replies_.push_back({static_cast<DWORD>(param1), static_cast<LONG>(param2)});
        return;
    }
    default:
        return;
    }
}

void CTapi::OnRinging(HCALL call) {
    if (makeCallBusy_ || callInProgress_ || call_) {
        RefuseOffered(call);
        return;
    }
    SetStatus(STATUS_RINGING);
    Log(LOG_TAPI, "Ringing...");
    call_ = call;
    InterlockedExchange(&callState_, LINECALLSTATE_OFFERING);
    LONG result = lineAccept(call, nullptr, 0);
    if (result < 0) {
        Log(LOG_TAPI, "OnRinging:  lineAccept failed (%s)", TapiResultText(result).c_str());
        return;
    }
    WaitForReply(result);
    result = lineAnswer(call, nullptr, 0);
    if (result < 0) {
        Log(LOG_TAPI, "OnRinging:  lineAnswer failed (%s)", TapiResultText(result).c_str());
        return;
    }
    WaitForReply(result);
    InterlockedExchange(&callInProgress_, 1);
    if (!acceptIncoming_) {
        Log(LOG_TAPI, "OnRinging:  incoming call disabled, hanging up");
        if (!HangUpCall()) Log(LOG_TAPI, "OnRinging error: HangUpCall failed!\n");
    }
}

void CTapi::RefuseOffered(HCALL call) {
    // The call in course keeps its handle; the offered one is dropped and
    // let go, so that TAPI frees it.
    Log(LOG_TAPI, "OnRinging:  call in course, offered call refused");
    const LONG dropped = lineDrop(call, nullptr, 0);
    if (dropped >= 0)
        WaitForReply(dropped);
    else
        Log(LOG_TAPI, "OnRinging:  lineDrop failed (%s)", TapiResultText(dropped).c_str());
    const LONG freed = lineDeallocateCall(call);
    if (freed < 0) Log(LOG_TAPI, "OnRinging:  lineDeallocateCall failed (%s)", TapiResultText(freed).c_str());
}

void CTapi::OnLineConnected() {
    // A call that cannot be used is ended at once, so that nobody waits for
    // it to connect.
    const auto fail = [this] { HangUp(STATUS_DIAL_ERROR); };
    alignas(8) BYTE idBuffer[kVarStringSize];
    VARSTRING *id = Prepare<VARSTRING>(idBuffer, kVarStringSize);
    LONG result = lineGetID(0, 0, call_, LINECALLSELECT_CALL, id, "comm/datamodem");
    if (result < 0) {
        Log(LOG_TAPI, "OnLineConnected:  lineGetID failed (%s)", TapiResultText(result).c_str());
        fail();
        return;
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (id->dwStringOffset >= sizeof(VARSTRING) && id->dwStringSize >= sizeof(HANDLE) &&
        id->dwStringOffset <= kVarStringSize - sizeof(HANDLE))
        memcpy(&handle, idBuffer + id->dwStringOffset, sizeof handle);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr || !Attach(handle)) {
        // A handle the port cannot take is still the caller's to close.
        if (handle != INVALID_HANDLE_VALUE && handle != nullptr) CloseHandle(handle);
        Log(LOG_TAPI, "OnLineConnected:  lineGetID gave no serial handle");
        fail();
        return;
    }
    alignas(8) BYTE infoBuffer[kCallInfoSize];
    LINECALLINFO *info = Prepare<LINECALLINFO>(infoBuffer, kCallInfoSize);
    result = lineGetCallInfo(call_, info);
    if (result < 0) {
        Log(LOG_TAPI, "OnLineConnected:  lineGetCallInfo failed (%s)", TapiResultText(result).c_str());
        Close();
        fail();
        return;
    }
    Log(LOG_TAPI, "OnLineConnected:  baudrate = %lu", info->dwRate);
    rate_ = info->dwRate;
    SetStatus(STATUS_CONNECTED);
    InterlockedExchange(&connected_, 1);
}

void CTapi::OnCallEnded() {
    unsigned cause = STATUS_UNKNOWN_ERROR;
    switch (disconnectMode_) {
    case LINEDISCONNECTMODE_NORMAL: cause = STATUS_DISCONNECTED; break;
    case LINEDISCONNECTMODE_BUSY: cause = STATUS_BUSY; break;
    case LINEDISCONNECTMODE_NOANSWER: cause = STATUS_NO_ANSWER; break;
    case LINEDISCONNECTMODE_NODIALTONE: cause = STATUS_NO_DIAL_TONE; break;
    default: break;
    }
    // Inside a hang-up of this line (whose wait brought the notice) this one
    // is refused, and that hang-up ends the call and sets the status.
    HangUp(cause);
    rate_ = 0;
    InterlockedExchange(&connected_, 0);
}

} // namespace quillon
