#include "phys/RequestManager.h"

#include "phys/PhysicalLayer.h"

namespace quillon {

CRequestManager::CRequestManager(CIOGlobals *globals)
    : TIOApi(globals), requestEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      doneEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

HRESULT CRequestManager::Submit(TransactionRecord *record) {
    // Lock order: submission before state; the state lock is never held
    // while waiting.
    ScopedLock submission(submissionLock_);
    {
        ScopedLock state(stateLock_);
        if (!enabled_ || pending_) return E_FAIL;
        pending_ = record;
        SetEvent(requestEvent_.get());
    }
    WaitForSingleObject(doneEvent_.get(), INFINITE);
    return record->result;
}

TransactionRecord *CRequestManager::TakePending() {
    ScopedLock state(stateLock_);
    if (!pending_) return nullptr;
    pending_->inProgress = 1;
    pending_->result = E_FAIL;
    pending_->counters = TransactStatistics{};
    return pending_;
}

void CRequestManager::Complete(TransactionRecord *record, HRESULT result) {
    ScopedLock state(stateLock_);
    if (record && record == pending_) Finish(record, result);
}

void CRequestManager::CancelPending() {
    ScopedLock state(stateLock_);
    if (!pending_) return;
    Log(LOG_CHANFER, "Pending request canceled!");
    ++pending_->counters.failures;
    Finish(pending_, E_FAIL);
}

bool CRequestManager::HasPending() {
    ScopedLock state(stateLock_);
    return pending_ != nullptr;
}

void CRequestManager::Enable() {
    ScopedLock state(stateLock_);
    enabled_ = true;
    Log(LOG_CHANFER, "Request handler enabled");
}

void CRequestManager::Disable() {
    {
        ScopedLock state(stateLock_);
        enabled_ = false;
        Log(LOG_CHANFER, "Request handler disabled");
    }
    CancelPending();
}

void CRequestManager::Finish(TransactionRecord *record, HRESULT result) {
    record->inProgress = 0;
    record->result = result;
    pending_ = nullptr;
    // The submitter may return and free the record as soon as this is set.
    SetEvent(doneEvent_.get());
}

} // namespace quillon
