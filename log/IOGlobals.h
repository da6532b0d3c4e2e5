// Per-factory shared state (the logger), and the base through which every
// toolkit object holds a counted reference to it.
#pragma once

#include "base/ComUtil.h"
#include "log/IOLogger.h"

#include <windows.h>

namespace quillon {

class CIOGlobals {
public:
    // Takes one reference on hostObject (may be null). Returns null when the
    // logger cannot be created.
    static CIOGlobals *Create(IUnknown *hostObject);

    void AddRef();
    void Release();

    IIOLogger *Logger() const { return logger_.get(); }
    IUnknown *HostObject() const { return hostObject_.get(); }

    // The driver host whose settings opened the log last. A host that goes
    // after a newer one has opened the log must not close it.
    void SetLogOwner(const void *owner) { InterlockedExchangePointer(&logOwner_, const_cast<void *>(owner)); }
    bool EndLogOwnership(const void *owner) {
        return InterlockedCompareExchangePointer(&logOwner_, nullptr, const_cast<void *>(owner)) == owner;
    }

private:
    CIOGlobals(ComPtr<IIOLogger> logger, IUnknown *hostObject);
    ~CIOGlobals() = default;

    volatile LONG refs_ = 1;
    ComPtr<IIOLogger> logger_;
    ComPtr<IUnknown> hostObject_;
    void *volatile logOwner_ = nullptr;
};

template <class Globals>
class TIOApi {
public:
    explicit TIOApi(Globals *globals) : globals_(globals) { globals_->AddRef(); }
    TIOApi(const TIOApi &) = delete;
    TIOApi &operator=(const TIOApi &) = delete;
    virtual ~TIOApi() { globals_->Release(); }

    Globals *GetGlobals() const { return globals_; }
    IIOLogger *Logger() const { return globals_->Logger(); }

    void Log(int category, const char *format, ...) const QUILLON_PRINTF(3, 4) {
        va_list arguments;
        va_start(arguments, format);
        Logger()->LogV(category, LOG_LEVEL, format, arguments);
        va_end(arguments);
    }

private:
    Globals *globals_;
};

using IOApi = TIOApi<CIOGlobals>;

} // namespace quillon
