#include "log/IOLog.h"

#include "log/TextFormat.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace quillon {

namespace {

// Reads that take less than this on control tags (N1 = -1) are polled all
// the time; logging them would drown the rest.
constexpr double kQuietControlRead = 0.1;

LONGLONG PerformanceCounter() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

} // namespace

CIOLog::CIOLog(CIOGlobals *globals, const DriverRequest &request, HRESULT *result, CounterSource counter)
    : IOApi(globals),
      request_(request),
      result_(result),
      counter_(counter ? counter : PerformanceCounter),
      active_(Logger()->IsWriting()),
      start_(0) {
    text_[0] = '\0';
    if (!active_) return;
    value_ = HValue::Share(request_.value);
    RequestText(request_, value_.get(), text_);
    start_ = Now();
}

LONGLONG CIOLog::Now() const { return counter_(); }

CIOLog::~CIOLog() {
    if (!active_) {
        // A request that turned the log on (a control-tag write of the log
        // settings) is traced too; its start was not timed.
        if (!Logger()->IsWriting()) return;
        value_ = HValue::Share(request_.value);
        RequestText(request_, value_.get(), text_);
        start_ = Now();
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const double seconds = static_cast<double>(Now() - start_) / static_cast<double>(frequency.QuadPart);
    const HRESULT hr = *result_;
    const unsigned operation = request_.operation;
    const bool read = (operation & OP_BIT_READ) != 0;

    ValueTextBuffer status;
    bool hasStatus = false;
    if ((operation & OP_BIT_WRITE) && request_.message && hvGetType(request_.message) != HV_NULL) {
        ValueText(request_.message, TEXT_FULL, status);
        hasStatus = true;
    }

    std::string line;
    ValueTextBuffer value;
    if (FAILED(hr)) {
        AppendFormat(line, "%s (%.3lf) %s = ERROR (hr=%08X)", read ? "<==" : "==>", seconds, text_,
                     static_cast<unsigned>(hr));
        if (!read && hasStatus) AppendFormat(line, " (status = %s)", status);
    } else if (read && hvGetType(value_.get()) == HV_LIST) {
        const unsigned count = hvListCount(value_.get());
        hvPosition position = nullptr;
        HVALUE item = hvListFirst(value_.get(), &position);
        if (!item) return;
        if (count == 1) {
            AppendFormat(line, "<== (%.3lf) %s = list(1) %s", seconds, text_, ValueText(item, TEXT_FULL, value));
        } else {
            AppendFormat(line, "<== (%.3lf) %s = list(%u)", seconds, text_, count);
            for (unsigned index = 0; item; item = hvListNext(value_.get(), &position), ++index) {
                AppendFormat(line, "\r\n    - list[%u] %s", index, ValueText(item, TEXT_FULL, value));
            }
        }
    } else if (read) {
        if (request_.n1 == -1 && seconds < kQuietControlRead) return;
        AppendFormat(line, "<== (%.3lf) %s = %s", seconds, text_, ValueText(value_.get(), TEXT_FULL, value));
    } else {
        AppendFormat(line, "==> (%.3lf) %s = SUCCESS", seconds, text_);
        if (hasStatus) AppendFormat(line, " (status = %s)", status);
    }
    Log(LOG_TAG, "%s", line.c_str());
}

} // namespace quillon
