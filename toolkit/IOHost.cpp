#include "toolkit/IOHost.h"

#include "config/ConfigParameters.h"
#include "base/ControlTags.h"
#include "base/DriverInterfaces.h"
#include "log/TextFormat.h"
#include "phys/PhysicalLayerFactory.h"

#include <string>

namespace quillon {
namespace {

// The host whose request the thread is running, if any.
thread_local const CIOHost *servedHost = nullptr;

// Longer event texts are cut to this many characters.
constexpr size_t kMaxEventText = 1023;

} // namespace

CIOHost::RequestScope::RequestScope(const CIOHost *host) : outer_(servedHost) { servedHost = host; }

CIOHost::RequestScope::~RequestScope() { servedHost = outer_; }

CIOHost::CIOHost(CIOGlobals *globals, HVALUE settings)
    : IOApi(globals), unused_(CreateEventW(nullptr, FALSE, FALSE, nullptr)), config_(globals) {
    modulePin_.Take();
    if (settings) config_.LoadFromValue(settings);
    ApplyLogSettings(true);
}

CIOHost::~CIOHost() {
    {
        ScopedLock lock(eventLock_);
        events_.clear();
    }
    // A newer host may have opened the log meanwhile: its lines stay.
    if (GetGlobals()->EndLogOwnership(this)) Logger()->Close();
    config_.Clear();
}

HRESULT STDMETHODCALLTYPE CIOHost::QueryInterface(REFIID iid, void **out) {
    if (!out) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IIOHost)) {
        *out = static_cast<IIOHost *>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CIOHost::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

ULONG STDMETHODCALLTYPE CIOHost::Release() {
    const LONG refs = InterlockedDecrement(&refs_);
    if (refs == 1 && awaitingUnused_) SetEvent(unused_.get());
    if (refs == 0) {
        // The link's thread calls this host until it has ended; a reference
        // that thread takes and drops meanwhile must not delete it again.
        InterlockedIncrement(&refs_);
        StopLink();
        delete this;
    }
    return static_cast<ULONG>(refs);
}

void CIOHost::WaitUntilUnused(DWORD timeoutMs) {
    if (servedHost == this || !unused_.valid()) return;
    InterlockedExchange(&awaitingUnused_, 1);
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (refs_ > 1) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) break;
        WaitForSingleObject(unused_.get(), static_cast<DWORD>(deadline - now));
    }
    InterlockedExchange(&awaitingUnused_, 0);
}

void CIOHost::StopLink() {
    ComPtr<IIOInterface> link;
    {
        ScopedLock lock(hostLock_);
        link = std::move(link_);
    }
    if (link) link->Stop();
}

HRESULT CIOHost::PostEvent(int type, int source, int number, const char *format, ...) {
    if (!format) return E_POINTER;
    std::string text;
    va_list arguments;
    va_start(arguments, format);
    const HRESULT formatted = NoThrow([&]() -> HRESULT {
        text = FormatTextV(format, arguments);
        return S_OK;
    });
    va_end(arguments);
    if (FAILED(formatted)) return formatted;
    if (text.size() > kMaxEventText) text.resize(kMaxEventText);

    HValue event = HValue::Create();
    if (!event || !hvSetType(event.get(), HV_ARRAY | HV_HVAL, 4) || !hvSetElementI32(event.get(), 0, type) ||
        !hvSetElementI32(event.get(), 1, source) || !hvSetElementI32(event.get(), 2, number) ||
        !hvSetElementString(event.get(), 3, text.c_str()))
        return E_OUTOFMEMORY;

    ScopedLock lock(eventLock_);
    return NoThrow([&]() -> HRESULT {
        events_.push_back(std::move(event));
        while (events_.size() > EVENT_QUEUE_LIMIT) events_.pop_front();
        return S_OK;
    });
}

void CIOHost::DrainEvents(HVALUE list) {
    ScopedLock lock(eventLock_);
    for (const HValue &event : events_) hvListAppend(list, event.get());
    events_.clear();
}

// Reads, writes and mask writes reach the specialisation through Read, Write
// and MaskWrite.
HRESULT STDMETHODCALLTYPE CIOHost::ReadValue(DriverRequest *request, HVALUE value) { return Read(request, value); }
HRESULT STDMETHODCALLTYPE CIOHost::WriteValue(DriverRequest *request, HVALUE value) { return Write(request, value); }
HRESULT STDMETHODCALLTYPE CIOHost::ReadBlock(DriverRequest *request, HVALUE value) { return Read(request, value); }
HRESULT STDMETHODCALLTYPE CIOHost::WriteBlock(DriverRequest *request, HVALUE value) { return Write(request, value); }
HRESULT STDMETHODCALLTYPE CIOHost::ReadBlockElement(DriverRequest *request, HVALUE value) {
    return Read(request, value);
}
HRESULT STDMETHODCALLTYPE CIOHost::WriteBlockElement(DriverRequest *request, HVALUE value) {
    return Write(request, value);
}
HRESULT STDMETHODCALLTYPE CIOHost::MaskWriteValue(DriverRequest *request, HVALUE value) {
    return MaskWrite(request, value);
}
HRESULT STDMETHODCALLTYPE CIOHost::MaskWriteBlockElement(DriverRequest *request, HVALUE value) {
    return MaskWrite(request, value);
}
HRESULT STDMETHODCALLTYPE CIOHost::MaskWrite(DriverRequest *request, HVALUE value) { return Write(request, value); }

HRESULT STDMETHODCALLTYPE CIOHost::BeforeIO(DriverRequest *, HVALUE) {
    // The first request after a start waits until the link has finished its
    // first connection attempt.
    if (InterlockedExchange(&firstRequest_, 0) == 0) return S_OK;
    ComPtr<IIOInterface> link;
    if (SUCCEEDED(GetPhysicalLayer(link.put()))) {
        long state = 0;
        while (link->GetLinkState(&state) == IO_S_LINK_STARTING) Sleep(10);
    }
    return S_OK;
}

HRESULT CIOHost::GetPhysicalLayer(IIOInterface **link) {
    ScopedLock lock(hostLock_);
    if (!link_) return E_FAIL;
    *link = ComPtr<IIOInterface>(link_).detach();
    return S_OK;
}

bool CIOHost::IsOnline() {
    ScopedLock lock(hostLock_);
    return static_cast<bool>(link_);
}

HRESULT CIOHost::Start(bool force) {
    hostLock_.Enter();
    if (link_) {
        hostLock_.Leave();
        return E_FAIL;
    }
    if (!force && config_.GetI32(param::StartOffline, 0) != 0) {
        Log(LOG_DRIVER, "I/O Interface not activated, the driver is OFFLINE!!!");
        hostLock_.Leave();
        return 1;
    }
    hostLock_.Leave();

    OnBeforeStart();

    hostLock_.Enter();
    HRESULT result = S_OK;
    if (!link_) {
        // The first request to this link waits for its first connection
        // attempt, as after the first start.
        InterlockedExchange(&firstRequest_, 1);
        config_.LogConfiguration();
        result = CreatePhysicalLayer(GetGlobals(), this, config_, link_.put());
        if (result == IO_E_INTERFACE_NONE) {
            Log(LOG_DRIVER, "I/O Interface was configured as 'NONE', the driver is OFFLINE!!!");
            result = 1;
        } else if (FAILED(result)) {
            Log(LOG_DRIVER, "Failed do create I/O Interface (hr = %08X)", static_cast<unsigned>(result));
        }
    }
    hostLock_.Leave();

    OnAfterStart(result);
    return result;
}

HRESULT CIOHost::Stop() {
    hostLock_.Enter();
    if (link_) {
        hostLock_.Leave();
        OnBeforeStop();
        hostLock_.Enter();
        ComPtr<IIOInterface> link = std::move(link_);
        hostLock_.Leave();
        if (link) link->Stop();
    } else {
        hostLock_.Leave();
    }
    OnAfterStop();
    return S_OK;
}

HRESULT CIOHost::Dispatch(DriverRequest *request, HVALUE value) {
    if (request->n1 == -1) {
        if (request->n2 != 0) return E_NOTIMPL;
        if (request->n3 == 0) return HandleHostControlTag(*this, request->n4, request, value);
        if (request->n3 < 2 || request->n3 > 5) return E_NOTIMPL;
        ComPtr<IIOInterface> link;
        HRESULT result = GetPhysicalLayer(link.put());
        if (FAILED(result)) return result;
        switch (request->operation) {
        case OP_READ_VALUE:
        case OP_READ_BLOCK:
        case OP_READ_BLOCK_ELEMENT:
            return link->GetProperty(request->n3, request->n4, request, value);
        case OP_WRITE_VALUE:
        case OP_WRITE_BLOCK:
        case OP_WRITE_BLOCK_ELEMENT:
            return link->SetProperty(request->n3, request->n4, request, value);
        default:
            return E_NOTIMPL;
        }
    }

    HRESULT result = BeforeIO(request, value);
    if (FAILED(result)) return result;
    switch (request->operation) {
    case OP_READ_VALUE: return ReadValue(request, value);
    case OP_WRITE_VALUE: return WriteValue(request, value);
    case OP_READ_BLOCK: return ReadBlock(request, value);
    case OP_WRITE_BLOCK: return WriteBlock(request, value);
    case OP_READ_BLOCK_ELEMENT: return ReadBlockElement(request, value);
    case OP_WRITE_BLOCK_ELEMENT: return WriteBlockElement(request, value);
    case OP_MASK_WRITE_VALUE: return MaskWriteValue(request, value);
    case OP_MASK_WRITE_BLOCK_ELEMENT: return MaskWriteBlockElement(request, value);
    default: return E_NOTIMPL;
    }
}

void CIOHost::ApplyLogSettings(bool first) {
    if (config_.GetI32(param::LogEnable, 0) != 0) {
        Logger()->SetLogFile(config_.GetString(param::LogFilename, "").c_str());
        GetGlobals()->SetLogOwner(this);
        if (!first) config_.LogConfiguration();
    } else {
        GetGlobals()->EndLogOwnership(this);
        Logger()->Close();
    }
}

HRESULT CIOHost::GetStatus(const char *name, HVALUE value) {
    if (!name || !value) return E_POINTER;
    hvSetNull(value);
    if (strcmp(name, "LOG") == 0) {
        const int32_t enabled = config_.GetI32(param::LogEnable, 0);
        hvSetI32(value, enabled);
        Log(LOG_DRIVER, "drvGetStatus('%s') = %d (%s)", name, enabled, enabled ? "ON" : "OFF");
        return S_OK;
    }
    if (strcmp(name, "LOGFILE") == 0) {
        const std::string file = config_.GetString(param::LogFilename, "");
        hvSetString(value, file.c_str());
        Log(LOG_DRIVER, "drvGetStatus('%s') = '%s'", name, file.c_str());
        return S_OK;
    }
    Log(LOG_DRIVER, "drvGetStatus('%s') = error, invalid parameter", name);
    return E_INVALIDARG;
}

HRESULT CIOHost::SetStatus(const char *name, HVALUE value) {
    if (!name || !value) return E_POINTER;
    if (strcmp(name, "LOG") == 0) {
        int32_t enabled = 0;
        if (!hvGetI32(value, &enabled) || !config_.SetI32(param::LogEnable, enabled)) return E_INVALIDARG;
        // Each line lands in the log that is open at that moment.
        if (enabled == 0) Log(LOG_DRIVER, "drvSetStatus('%s') = OFF", name);
        ApplyLogSettings(false);
        if (enabled != 0) Log(LOG_DRIVER, "drvSetStatus('%s') = ON", name);
        return S_OK;
    }
    if (strcmp(name, "LOGFILE") == 0) {
        const char *file = nullptr;
        if (!hvGetString(value, &file) || !file) return E_INVALIDARG;
        const std::string fileName = file;
        if (!config_.SetString(param::LogFilename, fileName.c_str())) return E_INVALIDARG;
        Log(LOG_DRIVER, "drvSetStatus('%s') = '%s' (before apply)", name, fileName.c_str());
        ApplyLogSettings(false);
        Log(LOG_DRIVER, "drvSetStatus('%s') = '%s' (after apply)", name, fileName.c_str());
        return S_OK;
    }
    Log(LOG_DRIVER, "drvSetStatus('%s') = error, invalid parameter", name);
    return E_INVALIDARG;
}

} // namespace quillon
