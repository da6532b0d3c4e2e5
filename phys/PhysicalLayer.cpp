#include "phys/PhysicalLayer.h"

#include "config/ConfigParameters.h"
#include "base/DriverInterfaces.h"
#include "phys/MessagePump.h"

#include <algorithm>
#include <new>

namespace quillon {
namespace {

constexpr DWORD kDefaultTimeoutMs = 1000;
constexpr DWORD kIdleWaitMs = 1000;
constexpr DWORD kDataWaitMs = 40;
constexpr LONGLONG kPumpLimitMs = 1000;
constexpr DWORD kAbortedStepMs = 1000;
// How long the link thread waits for a submitter's record at a time while
// that submitter holds the lock it needs for a transaction of its own.
constexpr DWORD kOwnLockStepMs = 10;
constexpr uint16_t kLinkGroup = 0;
constexpr uint16_t kLinkStateItem = 2;
constexpr DWORD kWaitRequest = WAIT_OBJECT_0 + 1;
// A reader waiting for input looks at the link this often: a link need not
// signal arriving bytes.
constexpr DWORD kInputLookMs = 2;
// A link that waits for input itself is asked for at most this long at a
// time.
constexpr DWORD kAwaitSliceMs = 20;

} // namespace

DWORD CPhysicalLayer::PeriodMs(DWORD seconds) {
    const ULONGLONG ms = static_cast<ULONGLONG>(seconds) * 1000;
    return ms > kLongestPeriodMs ? kLongestPeriodMs : static_cast<DWORD>(ms);
}

namespace {

} // namespace

CPhysicalLayer::CPhysicalLayer(CIOGlobals *globals, IIOHost *host, const CConfigData &config)
    : TIOApi(globals), host_(host),
      receiveTimeoutMs_(std::min<DWORD>(config.GetU32(param::TimeoutMs, kDefaultTimeoutMs), kLongestPeriodMs)),
      automatic_(config.GetU32(param::ConnectionMode, 0) == 0),
      recoverEnable_(config.GetI32(param::RecoverEnable, 0) != 0),
      recoverPeriodSec_(config.GetU32(param::RecoverPeriodSec, 30)),
      giveUpEnable_(config.GetI32(param::GiveUpEnable, 0) != 0), giveUpTries_(config.GetU32(param::GiveUpTries, 3)),
      inactivityEnable_(config.GetI32(param::InactivityEnable, 0) != 0),
      inactivityPeriodSec_(config.GetU32(param::InactivityPeriodSec, 10)),
      startedEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      stopEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      requests_(new (std::nothrow) CRequestManager(globals)) {}

// Release stops the thread before the derived link is destroyed; here Stop
// only finds a thread when the link was never released to zero.
CPhysicalLayer::~CPhysicalLayer() {
    Stop();
    host_ = nullptr;
    requests_.reset();
}

HRESULT STDMETHODCALLTYPE CPhysicalLayer::QueryInterface(REFIID iid, void **out) {
    if (!out) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IIOInterface)) {
        *out = static_cast<IIOInterface *>(this);
        AddRef();
        return S_OK;
    }
    if (iid == __uuidof(IIOLinkControl)) {
        *out = static_cast<IIOLinkControl *>(&control_);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CPhysicalLayer::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

ULONG STDMETHODCALLTYPE CPhysicalLayer::Release() {
    const LONG refs = InterlockedDecrement(&refs_);
    if (refs == 0) {
        Stop();
        delete this;
    }
    return static_cast<ULONG>(refs);
}

HRESULT CPhysicalLayer::Start() {
    if (running_) return S_OK;
    if (!startedEvent_.valid() || !stopEvent_.valid() || !requests_ || !requests_->IsValid()) return E_FAIL;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, ThreadEntry, this, CREATE_SUSPENDED, &id);
    if (!thread) {
        const DWORD error = GetLastError();
        Log(LOG_CHANFER, "Failed to create physical layer thread! (errorCode=%08Xh)", static_cast<unsigned>(error));
        return E_FAIL;
    }
    thread_.reset(thread);
    threadId_ = id;
    ResumeThread(thread);
    WaitForSingleObject(startedEvent_.get(), INFINITE);
    return running_ ? S_OK : E_FAIL;
}

HRESULT STDMETHODCALLTYPE CPhysicalLayer::Stop() {
    if (thread_.valid()) {
        Log(LOG_CHANFER, "Stopping physical layer thread...");
        InterlockedExchange(&running_, 0);
        SetEvent(stopEvent_.get());
        WakeUp();
        Log(LOG_CHANFER, "Waiting for termination of physical layer thread...");
        WaitForSingleObject(thread_.get(), INFINITE);
        Log(LOG_CHANFER, "Physical layer thread stopped!");
        thread_.reset();
        threadId_ = 0;
    }
    startedEvent_.reset();
    ScopedLock lock(stopEventLock_);
    stopEvent_.reset();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CPhysicalLayer::Transact(CFrameBuffer *send, CFrameBuffer *receive,
                                                   TransactStatistics *statistics) {
    if (!statistics) return E_POINTER;
    *statistics = TransactStatistics{};
    if (!running_ || linkState_ != LINK_CONNECTED) {
        statistics->failures = 1;
        return E_FAIL;
    }
    const bool onLinkThread = GetCurrentThreadId() == threadId_;
    if (onLinkThread && executing_) {
        // Called back from inside a transaction (while a frame is received):
        // the caller of that transaction holds the submission lock and waits
        // for this thread, so the nested one could never run.
        Log(LOG_CHANFER, "Transaction refused: the link thread is inside a transaction already");
        statistics->failures = 1;
        return E_FAIL;
    }
    TransactionRecord record;
    record.send = send;
    record.receive = receive;
    const HRESULT result = onLinkThread ? ExecuteOwn(&record) : requests_->Submit(&record);
    *statistics = record.counters;
    return result;
}

HRESULT STDMETHODCALLTYPE CPhysicalLayer::GetProperty(uint16_t group, uint16_t item, DriverRequest *, HVALUE value) {
    if (group == kLinkGroup && item == kLinkStateItem)
        return hvSetI32(value, static_cast<int32_t>(linkState_)) ? S_OK : E_FAIL;
    return E_FAIL;
}

HRESULT STDMETHODCALLTYPE CPhysicalLayer::SetProperty(uint16_t, uint16_t, DriverRequest *, HVALUE) { return E_FAIL; }

HRESULT STDMETHODCALLTYPE CPhysicalLayer::GetLinkState(long *state) {
    if (!state) return E_POINTER;
    *state = linkState_;
    return starting_ ? IO_S_LINK_STARTING : S_OK;
}

DWORD CPhysicalLayer::WaitForInput(DWORD ms) {
    const ULONGLONG start = GetTickCount64();
    if (inputWaiter_) {
        // Waited in slices, so that a stop is seen within one of them.
        for (;;) {
            if (!running_) return 0;
            const ULONGLONG elapsed = GetTickCount64() - start;
            const DWORD left = elapsed >= ms ? 0 : ms - static_cast<DWORD>(elapsed);
            const DWORD waiting = inputWaiter_->AwaitInput(left < kAwaitSliceMs ? left : kAwaitSliceMs);
            if (waiting || left == 0) return waiting;
        }
    }
    for (;;) {
        if (!running_) return 0;
        const DWORD waiting = InputCount();
        if (waiting) return waiting;
        const ULONGLONG elapsed = GetTickCount64() - start;
        if (elapsed >= ms) return 0;
        const DWORD left = ms - static_cast<DWORD>(elapsed);
        if (WaitForSingleObject(stopEvent_.get(), left < kInputLookMs ? left : kInputLookMs) == WAIT_OBJECT_0) {
            // Stop's signal belongs to the thread loop: given back.
            SetEvent(stopEvent_.get());
            return 0;
        }
    }
}

DWORD WINAPI CPhysicalLayer::ThreadEntry(void *self) {
    static_cast<CPhysicalLayer *>(self)->Run();
    return 0;
}

void CPhysicalLayer::SetLinkState(LinkState state) {
    InterlockedExchange(&linkState_, state);
    NoteActivity();
    if (state != LINK_DISCONNECTED) InterlockedExchange(&starting_, 0);
}

void CPhysicalLayer::Run() {
    InterlockedExchange(&starting_, 1);
    SetLinkState(LINK_DISCONNECTED);
    if (receiveTimeoutMs_ == 0) receiveTimeoutMs_ = kDefaultTimeoutMs;

    host_->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_TOOLKIT, 1, "Initializing physical layer...");
    Log(LOG_CHANFER, "INITIALIZING...");
    if (!Initialize()) {
        host_->PostEvent(EVENT_ERROR, EVENT_SOURCE_TOOLKIT, 2, "Physical layer initialization failed!");
        Log(LOG_CHANFER, "INITIALIZATION FAILED!");
        SetLinkState(LINK_STOPPED);
        SetEvent(startedEvent_.get());
        return;
    }
    host_->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_TOOLKIT, 3, "Physical layer initialized!");
    Log(LOG_CHANFER, "INITIALIZED!");
    InterlockedExchange(&running_, 1);
    SetEvent(startedEvent_.get());

    requests_->Enable();
    const HANDLE waitSet[3] = {stopEvent_.get(), requests_->RequestEvent(), GetExtraWaitHandle()};
    const DWORD waitCount = waitSet[2] ? 3 : 2;
    retryCount_ = 0;
    lastAttemptTick_ = 0;
    connected_ = false;
    attempted_ = false;

    bool alive = true;
    if (IsAutomaticDialer()) alive = InitialConnect();
    InterlockedExchange(&starting_, 0);
    while (alive && running_) alive = Pass(waitSet, waitCount);

    if (connected_) {
        connected_ = false;
        SetLinkState(LINK_DISCONNECTED);
        host_->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_TOOLKIT, 17, "Disconnecting physical layer...");
        Disconnect();
        host_->OnDisconnected();
    }
    host_->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_TOOLKIT, 15, "Terminating physical layer...");
    Log(LOG_CHANFER, "TERMINATING...");
    Terminate();
    const unsigned sent = static_cast<unsigned>(bytesSent_);
    const unsigned received = static_cast<unsigned>(bytesReceived_);
    host_->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_TOOLKIT, 16,
                     "Physical layer terminated! (%u bytes sent, %u bytes received)", sent, received);
    Log(LOG_CHANFER, "TERMINATED! (%u bytes sent, %u bytes received)", sent, received);
    SetLinkState(LINK_STOPPED);
    requests_->Disable();
}

void CPhysicalLayer::Connected() {
    SetLinkState(LINK_CONNECTED);
    connected_ = true;
}

bool CPhysicalLayer::InitialConnect() {
    host_->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_TOOLKIT, 4, "Connecting physical layer...");
    Log(LOG_CHANFER, "CONNECTING...");
    const BOOL success = Connect();
    lastAttemptTick_ = GetTickCount();
    attempted_ = true;
    retryCount_ = 0;
    if (success) {
        Connected();
        host_->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_TOOLKIT, 6, "Physical layer connected!");
        Log(LOG_CHANFER, "CONNECTED!");
        host_->OnConnected();
        return true;
    }
    host_->PostEvent(EVENT_ERROR, EVENT_SOURCE_TOOLKIT, 5, "Failed to connect physical layer!");
    Log(LOG_CHANFER, "CONNECTION FAILED!");
    if (recoverEnable_) return CountFailedAttempt();
    Abort();
    return false;
}

bool CPhysicalLayer::Pass(const HANDLE *waitSet, DWORD waitCount) {
    DWORD waitMs = kIdleWaitMs;
    if (connected_) {
        if (IsConnectionLost()) {
            if (!HandleConnectionLoss()) return false;
        } else if (!CheckInactivity() && SUCCEEDED(host_->OnIdle())) {
            waitMs = PumpUnsolicited() ? 0 : kDataWaitMs;
        }
    } else if (CheckIncomingConnection()) {
        Connected();
        host_->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_TOOLKIT, 11, "Physical layer connected automatically!");
        Log(LOG_CHANFER, "CONNECTED AUTOMATICALLY!");
        retryCount_ = 0;
        host_->OnConnected();
    } else if (IsAutomaticDialer()) {
        if (!recoverEnable_) {
            Abort();
            return false;
        }
        if (!Retry()) return false;
    }

    // Right after a transaction the queue holds nothing new as a rule (an
    // exchange on a socket takes its notice off it), and under Wine looking
    // costs as much as handing the next transaction over: a message that came
    // meanwhile ends the wait below at once and is dispatched in the next pass.
    if (!servedLast_) DispatchMessages();
    Poll();
    const DWORD woken =
        MsgWaitForMultipleObjectsEx(waitCount, waitSet, waitMs, QS_ALLINPUT, MWMO_ALERTABLE | MWMO_INPUTAVAILABLE);
    servedLast_ = woken == kWaitRequest;
    if (servedLast_) ServeRequest();
    return true;
}

bool CPhysicalLayer::RecentlyAttempted() const {
    return attempted_ && GetTickCount() - lastAttemptTick_ < PeriodMs(recoverPeriodSec_);
}

bool CPhysicalLayer::HandleConnectionLoss() {
    SetLinkState(LINK_DISCONNECTED);
    connected_ = false;
    retryCount_ = 0;
    host_->PostEvent(EVENT_ERROR, EVENT_SOURCE_TOOLKIT, 7, "Physical layer connection lost!");
    Log(LOG_CHANFER, "CONNECTION LOST!");
    Disconnect();
    host_->OnDisconnected();

    if (!IsAutomaticDialer()) return true;
    if (!recoverEnable_) {
        Abort();
        return false;
    }
    if (RecentlyAttempted()) {
        OnReconnectPostponed();
        Log(LOG_CHANFER, "RECONNECT POSTPONED!");
        return true;
    }
    host_->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_TOOLKIT, 8, "Reconnecting physical layer...");
    Log(LOG_CHANFER, "RECONNECTING...");
    const BOOL success = Connect();
    lastAttemptTick_ = GetTickCount();
    attempted_ = true;
    if (success) {
        Connected();
        host_->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_TOOLKIT, 10, "Physical layer reconnected!");
        Log(LOG_CHANFER, "RECONNECTED!");
        host_->OnConnected();
        return true;
    }
    host_->PostEvent(EVENT_ERROR, EVENT_SOURCE_TOOLKIT, 9, "Failed to reconnect physical layer!");
    Log(LOG_CHANFER, "RECONNECTION FAILED!");
    return CountFailedAttempt();
}

bool CPhysicalLayer::Retry() {
    if (RecentlyAttempted()) return true;
    const unsigned retry = retryCount_;
    host_->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_TOOLKIT, 12, "Reconnecting physical layer (retry #%u)...", retry);
    Log(LOG_CHANFER, "RECONNECTING...");
    const BOOL success = Connect();
    lastAttemptTick_ = GetTickCount();
    attempted_ = true;
    if (success) {
        Connected();
        host_->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_TOOLKIT, 14, "Physical layer reconnected (on retry #%u)!",
                         retry);
        Log(LOG_CHANFER, "RECONNECTED!");
        retryCount_ = 0;
        host_->OnConnected();
        return true;
    }
    host_->PostEvent(EVENT_ERROR, EVENT_SOURCE_TOOLKIT, 13, "Failed to reconnect physical layer (retry #%u)!", retry);
    Log(LOG_CHANFER, "RECONNECTION FAILED!");
    return CountFailedAttempt();
}

bool CPhysicalLayer::CountFailedAttempt() {
    ++retryCount_;
    if (giveUpEnable_ && retryCount_ >= giveUpTries_) {
        Abort();
        return false;
    }
    return true;
}

void CPhysicalLayer::Abort() {
    requests_->CancelPending();
    SetLinkState(LINK_DISCONNECTED);
    host_->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_TOOLKIT, 17, "Disconnecting physical layer...");
    Log(LOG_CHANFER, "ABORTING... (maximum number of reconnections was exceeded)");
    Disconnect();
    host_->PostEvent(EVENT_ERROR, EVENT_SOURCE_TOOLKIT, 18, "Physical layer aborted (exhausted all retries)!");
    Log(LOG_CHANFER, "ABORTED!");
    SetLinkState(LINK_STOPPED);

    // The link is never tried again. A transaction that was posted just
    // before the state changed is turned away instead of waiting for Stop.
    const HANDLE waitSet[2] = {stopEvent_.get(), requests_->RequestEvent()};
    while (running_) {
        if (WaitForMultipleObjects(2, waitSet, FALSE, kAbortedStepMs) == kWaitRequest) requests_->CancelPending();
    }
}

bool CPhysicalLayer::CheckInactivity() {
    if (!inactivityEnable_ || inactivityPeriodSec_ == 0) return false;
    const DWORD elapsed = timeGetTime() - static_cast<DWORD>(lastActivity_);
    const DWORD limit = PeriodMs(inactivityPeriodSec_);
    if (elapsed <= limit) return false;
    Log(LOG_CHANFER, "Closing connection, the channel is inactive for '%u' msec (max=%u)!", static_cast<unsigned>(elapsed),
        static_cast<unsigned>(limit));
    connected_ = false;
    SetLinkState(LINK_DISCONNECTED);
    host_->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_TOOLKIT, 19,
                     "Physical layer non-responsive for %u seconds, disconnecting...",
                     static_cast<unsigned>(inactivityPeriodSec_));
    Disconnect();
    host_->OnDisconnected();
    return true;
}

bool CPhysicalLayer::PumpUnsolicited() {
    if (!IsDataAvailable()) return false;
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    while (running_) {
        CFrameBuffer frame;
        CFrameBuffer sent;
        if (FAILED(host_->ReceiveFrame(&frame, &sent))) break;
        host_->OnFrameReceived(&frame);
        host_->OnUnsolicitedFrame(&frame);
        if (!IsDataAvailable() || requests_->HasPending()) break;
        QueryPerformanceCounter(&now);
        if ((now.QuadPart - start.QuadPart) * 1000 >= kPumpLimitMs * frequency.QuadPart) break;
    }
    return true;
}

void CPhysicalLayer::DispatchMessages() { PumpMessages(); }

void CPhysicalLayer::ServeRequest() {
    if (connected_)
        ExecutePending();
    else
        requests_->CancelPending();
}

void CPhysicalLayer::ExecutePending() {
    TransactionRecord *record = requests_->TakePending();
    if (record) requests_->Complete(record, Execute(record));
}

HRESULT CPhysicalLayer::ExecuteOwn(TransactionRecord *record) {
    // A submitter that holds the lock is waiting for this thread, so its
    // record is served while the lock is awaited.
    CriticalSection &submission = requests_->SubmissionLock();
    while (!submission.TryEnter()) {
        if (WaitForSingleObject(requests_->RequestEvent(), kOwnLockStepMs) == WAIT_OBJECT_0) ServeRequest();
    }
    record->inProgress = 1;
    record->result = Execute(record);
    record->inProgress = 0;
    submission.Leave();
    return record->result;
}

HRESULT CPhysicalLayer::Execute(TransactionRecord *record) {
    struct Executing {
        bool &flag;
        explicit Executing(bool &executing) : flag(executing) { flag = true; }
        ~Executing() { flag = false; }
    } executing(executing_);
    if (record->send) {
        if (!Send(record->send)) {
            ++record->counters.failures;
            return E_FAIL;
        }
        ++record->counters.framesSent;
        if (!record->receive) return S_OK;
    } else if (!record->receive) {
        return E_FAIL;
    }
    CFrameBuffer empty;
    const HRESULT received = host_->ReceiveFrame(record->receive, record->send ? record->send : &empty);
    if (SUCCEEDED(received)) {
        host_->OnFrameReceived(record->receive);
        return S_OK;
    }
    if (received == IO_E_RECEIVE_TIMEOUT)
        ++record->counters.receiveTimeouts;
    else
        ++record->counters.receiveErrors;
    return E_FAIL;
}

} // namespace quillon
