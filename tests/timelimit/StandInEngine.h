// Test equipment: a script engine of the tests' own, registered for this
// process under the VBScript class identifier, so that the driver creates it
// instead of the system's engine. Unlike Wine's engine it can be stopped:
// its "script" is one word that says how.
//   "interrupt"  OnRead runs until InterruptScriptThread is called; the site
//                is never polled.
//   "poll"       OnRead asks the site's QueryContinue every few milliseconds
//                until it answers S_FALSE; InterruptScriptThread is refused
//                (E_NOTIMPL), as an engine that only polls would.
//   "global"     connecting runs global code that behaves as "interrupt".
//   anything else: OnRead returns at once.
// Every loop also ends by itself after kLongestLoopMs, so that a driver that
// never stops it fails a test instead of hanging it.
#pragma once

#include <windows.h>
#include <activscp.h>

#include <atomic>

namespace quillon::test {

constexpr DWORD kLongestLoopMs = 20000;
// What the stand-in answers when its loop ended without being stopped.
constexpr HRESULT kLoopRanOut = E_ABORT;

// What the engines of the process saw.
struct StandInRecord {
    std::atomic<int> interrupts{0};        // InterruptScriptThread calls
    std::atomic<DWORD> interruptThread{0};  // the thread of the last one
    std::atomic<int> pollsContinue{0};     // QueryContinue answers S_OK
    std::atomic<int> pollsStop{0};         // QueryContinue answers S_FALSE
};

// Registers the stand-in's class object on this thread's apartment for as
// long as it lives.
class StandInRegistration {
public:
    StandInRegistration();
    ~StandInRegistration();
    StandInRegistration(const StandInRegistration &) = delete;
    StandInRegistration &operator=(const StandInRegistration &) = delete;
    HRESULT Result() const { return result_; }
    StandInRecord &Record();

private:
    HRESULT result_;
    DWORD cookie_ = 0;
};

} // namespace quillon::test
