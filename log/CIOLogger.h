// The process's text logger: assembles each message with its line header in
// one buffer and appends it to the log file in a single write.
#pragma once

#include "base/ComUtil.h"
#include "log/IOLogger.h"

#include <windows.h>

#include <atomic>
#include <string>

namespace quillon {

class CIOLogger final : public IIOLogger {
public:
    // Source of the local date and time (headers, file names, day changes).
    using LogClock = void (*)(SYSTEMTIME *localNow);

    static constexpr unsigned kBufferSize = 32768;

    CIOLogger();
    CIOLogger(const CIOLogger &) = delete;
    CIOLogger &operator=(const CIOLogger &) = delete;

    // Lets tests pin the time; null restores GetLocalTime.
    void SetClock(LogClock clock);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    void STDMETHODCALLTYPE SetLogFile(const char *nameTemplate) override;
    unsigned STDMETHODCALLTYPE SetOptions(unsigned options) override;
    void Log(int category, unsigned level, const char *format, ...) override QUILLON_PRINTF(4, 5);
    void STDMETHODCALLTYPE LogV(int category, unsigned level, const char *format, va_list arguments) override;
    void STDMETHODCALLTYPE LogFrame(int category, unsigned level, const void *bytes, unsigned count) override;
    void STDMETHODCALLTYPE Close() override;
    void STDMETHODCALLTYPE Lock() override;
    void STDMETHODCALLTYPE Unlock() override;
    bool STDMETHODCALLTYPE IsWriting() override;

private:
    ~CIOLogger() = default;

    void Now(SYSTEMTIME *now) const;
    void ExpandName();
    void Open();
    // Unchecked on purpose: GCC's ms_printf checker rejects %hs, which the
    // system's C library formats as a narrow string in every build.
    void Banner(const char *format, ...);
    void FlushAndClose();
    // Called with the lock held.
    bool Writing() const { return file_.valid() || daily_; }
    void WriteOut();
    bool LineHeader(int category, bool forceNewLine);
    void Append(const char *text, size_t length);
    void Append(const char *text);

    volatile LONG refs_ = 1;
    CriticalSection lock_;
    // Writing() as of the last SetLogFile or Close, read without the lock:
    // every request asks, and only those two change it.
    std::atomic<bool> writing_{false};
    LogClock clock_ = nullptr;

    std::string template_;
    bool daily_ = false;
    SYSTEMTIME fileDate_{};
    std::string fileName_;
    UniqueHandle file_;

    char buffer_[kBufferSize];
    unsigned fill_ = 0;

    int lastCategory_ = -1;
    DWORD lastThread_ = 0;
    bool endsWithLineFeed_ = false;
    unsigned options_ = 1;
};

} // namespace quillon
