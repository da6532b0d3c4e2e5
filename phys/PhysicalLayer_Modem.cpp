#include "phys/PhysicalLayer_Modem.h"

#include "config/ConfigParameters.h"
#include "base/Module.h"

#include <algorithm>
#include <vector>

namespace quillon {
namespace {

constexpr uint16_t kModemGroup = 3;
enum ModemItem : uint16_t {
    ITEM_PHONE_NUMBER = 0,
    ITEM_DIAL = 1,
    ITEM_MODEM_STATUS = 2,
    ITEM_IS_CONNECTED = 3,
    ITEM_HANG_UP = 4,
    ITEM_BAUD_RATE = 5,
    ITEM_IS_CONNECTING = 6,
};
constexpr DWORD kConnectStepMs = 10;
// How long the hang-up tag waits for the link thread: a hang-up awaits its
// reply and then the end of the call, each for up to 10 s.
constexpr DWORD kHangUpWaitMs = 25000;

// Only the write pacing and echo handling of the serial settings apply to a
// call's port; everything else keeps the port's defaults.
void CopyPortSettings(const CConfigData &config, CConfigData &port) {
    port.SetU32(param::SerialInterbyteDelayUs, config.GetU32(param::SerialInterbyteDelayUs, 0));
    port.SetU32(param::SerialInterframeDelayMs, config.GetU32(param::SerialInterframeDelayMs, 0));
    port.SetI32(param::SerialSupressEcho, config.GetI32(param::SerialSupressEcho, 0));
}

} // namespace

CPhysicalLayer_Modem::CPhysicalLayer_Modem(CIOGlobals *globals, IIOHost *host, const CConfigData &config)
    : CPhysicalLayer(globals, host, config), tapi_(globals, this), modemId_(config.GetU32(param::TAPIModemID, 0)),
      acceptIncoming_(config.GetI32(param::TAPIAcceptIncoming, 0) != 0),
      phoneNumber_(config.GetString(param::TAPIPhoneNumber, "")) {
    CConfigData port(globals);
    CopyPortSettings(config, port);
    tapi_.Configure(port);
}

// The engine's thread has ended before the line goes (Release stops it).
CPhysicalLayer_Modem::~CPhysicalLayer_Modem() { Stop(); }

std::string CPhysicalLayer_Modem::PhoneNumber() {
    ScopedLock lock(lock_);
    return phoneNumber_;
}

void CPhysicalLayer_Modem::PostModemList() {
    std::vector<DWORD> ids;
    std::vector<std::string> names;
    tapi_.GetListOfDevices(ThisModule(), ids, names);
    Host()->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_MODEM, 2, "Begin of available modem list");
    for (size_t i = 0; i < ids.size() && i < names.size(); ++i)
        Host()->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_MODEM, 3, "%lu:%s", ids[i], names[i].c_str());
    Host()->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_MODEM, 4, "End of available modem list");
}

BOOL CPhysicalLayer_Modem::Initialize() {
    if (!tapi_.OpenLine(ThisModule(), modemId_, acceptIncoming_ != FALSE)) {
        Host()->PostEvent(EVENT_ERROR, EVENT_SOURCE_MODEM, 0, "Error opening modem line: %s",
                          tapi_.TapiErrorText().c_str());
        PostModemList();
        return FALSE;
    }
    tapi_.SetReceiveTimeout(ReceiveTimeoutMs());
    if (tapi_.IsOpen()) tapi_.ApplyTimeouts();
    return TRUE;
}

BOOL CPhysicalLayer_Modem::Connect() {
    if (!tapi_.MakeCall(PhoneNumber().c_str())) return FALSE;
    // The call's progress arrives as messages of this thread. Poll is not
    // reached while the call rings out, so a hang-up is served here too.
    while (tapi_.IsCallInProgress() && !tapi_.IsConnected() && !stopping_) {
        CTapi::DispatchMessages(kConnectStepMs);
        ServeHangUp();
    }
    return tapi_.IsConnected();
}

BOOL CPhysicalLayer_Modem::Send(CFrameBuffer *frame) {
    Host()->OnBeforeSend(frame);
    tapi_.Purge();
    tapi_.SetRts(true);
    const HRESULT written = tapi_.Write(frame->Data(), frame->Length());
    tapi_.FinishSend();
    tapi_.SetRts(false);
    if (FAILED(written)) return FALSE;
    Host()->OnAfterSend(frame);
    return TRUE;
}

HRESULT STDMETHODCALLTYPE CPhysicalLayer_Modem::ReadByte(BYTE *byte) {
    if (!byte) return E_POINTER;
    if (SUCCEEDED(tapi_.Read(byte, 1, false))) return S_OK;
    *byte = 0;
    return E_FAIL;
}

HRESULT STDMETHODCALLTYPE CPhysicalLayer_Modem::Read(BYTE *buffer, unsigned count) {
    if (!buffer) return E_POINTER;
    return tapi_.Read(buffer, count, false);
}

void CPhysicalLayer_Modem::Poll() {
    ServeHangUp();
    std::string number;
    {
        ScopedLock lock(lock_);
        if (pendingNumber_.empty()) return;
        number.swap(pendingNumber_);
    }
    tapi_.MakeCall(number.c_str());
}

void CPhysicalLayer_Modem::Disconnect() {
    // A hang-up the tag asked for meanwhile is this one.
    if (!ServeHangUp()) tapi_.HangUpCall();
}

void CPhysicalLayer_Modem::Terminate() {
    ServeHangUp();
    {
        // Later askers are turned away; nobody waits for a thread that ends.
        ScopedLock lock(lock_);
        hangUpClosed_ = true;
        for (HangUpWaiter *waiter : hangUpWaiters_) SetEvent(waiter->done);
        hangUpWaiters_.clear();
    }
    Log(LOG_TAPI, "FinishTAPI");
    tapi_.Finish();
}

bool CPhysicalLayer_Modem::ServeHangUp() {
    unsigned ticket = 0;
    {
        ScopedLock lock(lock_);
        if (hangUpsServed_ == hangUpsAsked_) return false;
        ticket = hangUpsAsked_;
    }
    const bool succeeded = tapi_.HangUpCall();
    ScopedLock lock(lock_);
    hangUpsServed_ = ticket;
    // Waiters whose wait ran out have left the list; the others learn the
    // result here.
    auto served = std::stable_partition(hangUpWaiters_.begin(), hangUpWaiters_.end(),
                                        [ticket](const HangUpWaiter *w) { return w->ticket > ticket; });
    for (auto waiter = served; waiter != hangUpWaiters_.end(); ++waiter) {
        (*waiter)->succeeded = succeeded;
        SetEvent((*waiter)->done);
    }
    hangUpWaiters_.erase(served, hangUpWaiters_.end());
    return true;
}

HRESULT CPhysicalLayer_Modem::AskHangUp() {
    UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done.valid()) return E_FAIL;
    HangUpWaiter waiter = {0, done.get(), false};
    {
        ScopedLock lock(lock_);
        pendingNumber_.clear();
        // An aborted link has ended its call and serves nothing more.
        long state = LINK_STOPPED;
        GetLinkState(&state);
        if (hangUpClosed_ || state == LINK_STOPPED) return E_FAIL;
        waiter.ticket = ++hangUpsAsked_;
        hangUpWaiters_.push_back(&waiter);
        // Under the lock: the thread has not terminated, so its wake-up
        // event is still there.
        WakeLinkThread();
    }
    WaitForSingleObject(done.get(), kHangUpWaitMs);
    ScopedLock lock(lock_);
    const auto left = std::find(hangUpWaiters_.begin(), hangUpWaiters_.end(), &waiter);
    if (left != hangUpWaiters_.end()) {
        // Not served in time: the hang-up still comes, unawaited.
        hangUpWaiters_.erase(left);
        Log(LOG_TAPI, "HangUpCall:  not served in time");
        return E_FAIL;
    }
    return waiter.succeeded ? S_OK : E_FAIL;
}

HRESULT STDMETHODCALLTYPE CPhysicalLayer_Modem::GetProperty(uint16_t group, uint16_t item, DriverRequest *request,
                                                            HVALUE value) {
    if (group != kModemGroup) return CPhysicalLayer::GetProperty(group, item, request, value);
    if (!request || request->elementCount != 1 || request->firstElement != 0) return E_FAIL;
    int done = 0;
    switch (item) {
    case ITEM_PHONE_NUMBER: done = hvSetString(value, PhoneNumber().c_str()); break;
    case ITEM_MODEM_STATUS: done = hvSetString(value, CTapi::StatusText(tapi_.Status())); break;
    case ITEM_IS_CONNECTED: done = hvSetU16(value, tapi_.IsConnected() ? 1 : 0); break;
    case ITEM_BAUD_RATE: done = hvSetU32(value, tapi_.IsConnected() ? tapi_.ConnectionRate() : 0); break;
    case ITEM_IS_CONNECTING: done = hvSetU16(value, tapi_.GetConnectingState()); break;
    default: break;
    }
    return done ? S_OK : E_FAIL;
}

HRESULT STDMETHODCALLTYPE CPhysicalLayer_Modem::SetProperty(uint16_t group, uint16_t item, DriverRequest *request,
                                                            HVALUE value) {
    if (group != kModemGroup) return CPhysicalLayer::SetProperty(group, item, request, value);
    if (!request || request->elementCount != 1 || request->firstElement != 0) return E_FAIL;
    switch (item) {
    case ITEM_PHONE_NUMBER: {
        const char *text = nullptr;
        if (!hvGetString(value, &text) || !text) return E_FAIL;
        ScopedLock lock(lock_);
        phoneNumber_ = text;
        return S_OK;
    }
    case ITEM_DIAL: {
        ScopedLock lock(lock_);
        pendingNumber_ = phoneNumber_;
        return S_OK;
    }
    case ITEM_HANG_UP:
        return AskHangUp();
    default:
        return E_FAIL;
    }
}

} // namespace quillon
