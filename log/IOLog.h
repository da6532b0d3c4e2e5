// The trace of one driver request: made when the request starts, it writes
// one TAG line with the outcome and the elapsed time when it goes away.
#pragma once

#include "base/DriverRequest.h"
#include "log/IOGlobals.h"
#include "log/ValueText.h"
#include "values/HValue.h"

#include <windows.h>

namespace quillon {

class CIOLog : public IOApi {
public:
    // High-resolution clock ticks; tests put their own in place.
    using CounterSource = LONGLONG (*)();

    // request and *result must outlive the trace; the driver stores the
    // request's outcome in *result before the trace is destroyed.
    CIOLog(CIOGlobals *globals, const DriverRequest &request, HRESULT *result,
           CounterSource counter = nullptr);
    ~CIOLog() override;

    // The request as the TAG line names it; empty when no log is written.
    const char *Text() const { return text_; }

private:
    LONGLONG Now() const;

    const DriverRequest &request_;
    HValue value_;
    HRESULT *result_;
    CounterSource counter_;
    // Nothing is built for a request that starts while no log is being
    // written; it is traced only when it turned the log on itself.
    bool active_;
    RequestTextBuffer text_;
    LONGLONG start_;
};

} // namespace quillon
