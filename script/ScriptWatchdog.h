// The time limit of the calls into one script engine: a call that runs
// longer than the limit is asked to stop, in both ways Active Scripting
// offers (the engine's InterruptScriptThread, called from the watchdog's own
// thread when the limit passes, and the answer to the site's QueryContinue
// poll), and it fails when it returns.
//
// Watching a call costs no system call: the call notes its start, and the
// watchdog's thread, which sleeps until the running call's limit or for a
// whole limit when none runs, looks at it.
#pragma once

#include "base/ComUtil.h"
#include "log/IOGlobals.h"

#include <windows.h>
#include <activscp.h>

#include <atomic>
#include <cstdint>

namespace quillon {

class CScriptWatchdog : private IOApi {
public:
    // The code of a call ended by its time limit.
    static constexpr HRESULT kTimeLimitPassed = HRESULT_FROM_WIN32(ERROR_TIMEOUT);

    explicit CScriptWatchdog(CIOGlobals *globals);
    CScriptWatchdog(const CScriptWatchdog &) = delete;
    CScriptWatchdog &operator=(const CScriptWatchdog &) = delete;
    ~CScriptWatchdog() override;

    // From now on each call into script may last limitMs (0: no limit, and no
    // thread). False when the watchdog's thread cannot be made: then
    // nothing is watched.
    bool Start(IActiveScript *script, DWORD limitMs);
    // Ends the thread and lets go of the engine; calls are no longer watched.
    void Stop();
    DWORD LimitMs() const { return limitMs_; }

    // One call into the script, watched from construction to Finish. A call
    // made while another runs (the script waits in a message loop that
    // reaches the driver) counts as part of the outer one.
    class Call {
    public:
        explicit Call(CScriptWatchdog &watchdog);
        Call(const Call &) = delete;
        Call &operator=(const Call &) = delete;
        ~Call() {
            double seconds;
            Finish(seconds);
        }
        // Ends the watch. True when the call passed its limit; seconds is
        // then how long it ran.
        bool Finish(double &seconds);

    private:
        CScriptWatchdog &watchdog_;
        DWORD limitMs_;
        bool watched_;
    };

    // The site's poll: true once the running call has passed its limit.
    bool Overdue();

private:
    static DWORD WINAPI ThreadMain(void *self);
    void Watch();
    // Asks the engine to end the call numbered call.
    void Interrupt(uint32_t call);

    DWORD limitMs_ = 0;
    ComPtr<IActiveScript> script_;
    UniqueHandle stopEvent_;
    UniqueHandle thread_;
    // Outermost call: its number (0 when none runs) and start (GetTickCount).
    std::atomic<uint32_t> running_{0};
    std::atomic<DWORD> startedAt_{0};
    std::atomic<uint32_t> depth_{0};
    std::atomic<uint32_t> lastCall_{0};
    // The number of the last call that was asked to stop.
    std::atomic<uint32_t> expired_{0};
    // The watchdog's thread only: the engine refused once already.
    bool refusalLogged_ = false;
};

} // namespace quillon
