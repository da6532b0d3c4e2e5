#include "script/ScriptWatchdog.h"

namespace quillon {

CScriptWatchdog::CScriptWatchdog(CIOGlobals *globals) : IOApi(globals) {}

CScriptWatchdog::~CScriptWatchdog() { Stop(); }

bool CScriptWatchdog::Start(IActiveScript *script, DWORD limitMs) {
    Stop();
    if (!script || limitMs == 0) return true;
    stopEvent_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopEvent_.valid()) return false;
    script_ = ComPtr<IActiveScript>(script);
    limitMs_ = limitMs;
    thread_.reset(CreateThread(nullptr, 0, &CScriptWatchdog::ThreadMain, this, 0, nullptr));
    if (!thread_.valid()) {
        limitMs_ = 0;
        script_.reset();
        return false;
    }
    return true;
}

void CScriptWatchdog::Stop() {
    if (thread_.valid()) {
        SetEvent(stopEvent_.get());
        // The thread waits for nothing but this event between its looks at
        // the running call, so it ends at once.
        WaitForSingleObject(thread_.get(), INFINITE);
        thread_.reset();
    }
    limitMs_ = 0;
    // A call running now (the engine closed from within it) is no longer
    // watched.
    running_.store(0);
    script_.reset();
    stopEvent_.reset();
}

CScriptWatchdog::Call::Call(CScriptWatchdog &watchdog)
    : watchdog_(watchdog), limitMs_(watchdog.limitMs_), watched_(limitMs_ != 0) {
    if (!watched_ || watchdog_.depth_.fetch_add(1) != 0) return;
    uint32_t call = ++watchdog_.lastCall_;
    if (call == 0) call = ++watchdog_.lastCall_;  // 0 means none
    watchdog_.startedAt_.store(GetTickCount());
    watchdog_.running_.store(call);
}

bool CScriptWatchdog::Call::Finish(double &seconds) {
    seconds = 0.0;
    if (!watched_) return false;
    watched_ = false;
    const uint32_t call = watchdog_.running_.load();
    const DWORD elapsed = GetTickCount() - watchdog_.startedAt_.load();
    // A call that came back by itself after its limit (an engine that
    // cannot be interrupted) fails all the same: its answer is too late.
    const bool passed = call != 0 && (watchdog_.expired_.load() == call || elapsed >= limitMs_);
    if (watchdog_.depth_.fetch_sub(1) == 1) watchdog_.running_.store(0);
    seconds = elapsed / 1000.0;
    return passed;
}

bool CScriptWatchdog::Overdue() {
    if (limitMs_ == 0) return false;
    const uint32_t call = running_.load();
    if (call == 0) return false;
    if (expired_.load() == call) return true;
    if (GetTickCount() - startedAt_.load() < limitMs_ || running_.load() != call) return false;
    expired_.store(call);
    return true;
}

DWORD WINAPI CScriptWatchdog::ThreadMain(void *self) {
    try {
        static_cast<CScriptWatchdog *>(self)->Watch();
    } catch (...) {
        // Nothing of this thread may end the process.
    }
    return 0;
}

void CScriptWatchdog::Watch() {
    uint32_t interrupted = 0;
    for (;;) {
        // Without a call, a whole limit: a call that starts meanwhile has not
        // passed its limit at the next look.
        DWORD wait = limitMs_;
        const uint32_t call = running_.load();
        if (call != 0) {
            const DWORD elapsed = GetTickCount() - startedAt_.load();
            // The start read may belong to a newer call: look again.
            if (running_.load() != call) continue;
            if (elapsed < limitMs_) {
                wait = limitMs_ - elapsed;
            } else if (interrupted != call) {
                interrupted = call;
                Interrupt(call);
            }
        }
        if (WaitForSingleObject(stopEvent_.get(), wait) != WAIT_TIMEOUT) return;
    }
}

void CScriptWatchdog::Interrupt(uint32_t call) {
    expired_.store(call);
    // Only the code: the engine may keep the record beyond this call, and
    // strings in it would have to outlive it.
    EXCEPINFO reason = {};
    reason.scode = kTimeLimitPassed;
    const HRESULT hr = script_->InterruptScriptThread(SCRIPTTHREADID_ALL, &reason, 0);
    if (FAILED(hr) && !refusalLogged_) {
        refusalLogged_ = true;
        Log(LOG_DRIVER,
            "The script engine cannot interrupt a script call (%08X): a call over the time limit of %u seconds runs "
            "on until it ends by itself, and then fails",
            static_cast<unsigned>(hr), static_cast<unsigned>(limitMs_ / 1000));
    }
}

} // namespace quillon
