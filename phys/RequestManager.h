// Hands one transaction at a time from a caller's thread to the link thread
// and keeps the caller waiting until it has been executed or cancelled.
#pragma once

#include "base/ComUtil.h"
#include "log/IOGlobals.h"

#include <windows.h>

namespace quillon {

struct TransactionRecord;

class CRequestManager : public TIOApi<CIOGlobals> {
public:
    explicit CRequestManager(CIOGlobals *globals);
    ~CRequestManager() override = default;

    // Both events exist.
    bool IsValid() const { return requestEvent_.valid() && doneEvent_.valid(); }

    // Caller's side: posts the record and waits, without limit, until the
    // link thread has executed or cancelled it. E_FAIL at once, the record
    // untouched, while disabled or while another record is pending.
    HRESULT Submit(TransactionRecord *record);

    // Link thread's side. The record taken stays pending until Complete.
    TransactionRecord *TakePending();
    void Complete(TransactionRecord *record, HRESULT result);
    void CancelPending();
    bool HasPending();

    void Enable();
    // Cancels the pending record, if any.
    void Disable();

    // Signalled each time a record is posted.
    HANDLE RequestEvent() const { return requestEvent_.get(); }
    // Held by a submitter for its whole transaction; the link thread holds it
    // too while it executes a transaction of its own.
    CriticalSection &SubmissionLock() { return submissionLock_; }

private:
    // Both under stateLock_.
    void Finish(TransactionRecord *record, HRESULT result);

    CriticalSection submissionLock_;
    CriticalSection stateLock_;
    UniqueHandle requestEvent_;
    UniqueHandle doneEvent_;
    bool enabled_ = false;
    TransactionRecord *pending_ = nullptr;
};

} // namespace quillon
