#include "toolkit/IOFactory.h"

#include "config/ConfigParameters.h"
#include "toolkit/ControlTagTable.h"
#include "base/Module.h"
#include "log/IOLog.h"
#include "log/ValueText.h"
#include "ui/PropertyPage.h"
#include "ui/SettingsSheet.h"

#include <cstring>
#include <memory>
#include <vector>

namespace quillon {
namespace {

// How long a stop waits for requests still running on other threads; one
// that never ends must not hang the host's stop for good.
constexpr DWORD kRunningRequestWaitMs = 5000;

bool IsEmptyText(const wchar_t *text) { return !text || !*text; }

unsigned LowWord(DWORD number) { return number & 0xFFFF; }

template <class T>
T ReadAt(const void *record, size_t offset) {
    T field;
    memcpy(&field, static_cast<const BYTE *>(record) + offset, sizeof field);
    return field;
}

// Records older than version 3 come in one of two byte layouts: "packed"
// (mask fields right after N4) and "aligned" (mask fields at their current
// offsets). Both share the fields up to N4.
struct LegacyLayout {
    size_t mask1, mask2, maskByte1, maskByte2, value;
};
constexpr LegacyLayout PACKED_LAYOUT = {18, 22, 26, 27, 28};
constexpr LegacyLayout ALIGNED_LAYOUT = {20, 24, 28, 29, 32};

bool MasksAreZero(const void *record, const LegacyLayout &layout) {
    return ReadAt<uint32_t>(record, layout.mask1) == 0 && ReadAt<uint32_t>(record, layout.mask2) == 0 &&
           ReadAt<uint8_t>(record, layout.maskByte1) == 0 && ReadAt<uint8_t>(record, layout.maskByte2) == 0;
}

// The aligned layout pads the two mask bytes up to the value; in a packed
// record those bytes are half of the value handle. When both layouts pass
// the test of their mask fields, padding that is not zero tells a packed
// record whose handle ends in two zero bytes (read as aligned, its value
// would be read past the end of the record). Hosts of the aligned layout
// need not clear the padding: it decides nothing else.
const LegacyLayout *LegacyLayoutOf(const void *record, uint16_t operation) {
    if (operation & OP_BIT_MASK) return &PACKED_LAYOUT;
    const bool aligned = MasksAreZero(record, ALIGNED_LAYOUT);
    const bool packed = MasksAreZero(record, PACKED_LAYOUT);
    if (aligned && packed)
        return ReadAt<uint16_t>(record, ALIGNED_LAYOUT.maskByte2 + 1) == 0 ? &ALIGNED_LAYOUT : &PACKED_LAYOUT;
    if (aligned) return &ALIGNED_LAYOUT;
    if (packed) return &PACKED_LAYOUT;
    return nullptr;
}

HRESULT ConvertLegacyRecord(const DriverRequest *legacy, DriverRequest &converted) {
    const LegacyLayout *layout = LegacyLayoutOf(legacy, legacy->operation);
    if (!layout) return E_FAIL;

    memset(&converted, 0, sizeof converted);
    converted.version = REQUEST_VERSION_CURRENT;
    converted.operation = legacy->operation;
    converted.elementCount = legacy->elementCount;
    converted.firstElement = legacy->firstElement;
    converted.blockSize = legacy->blockSize;
    converted.n1 = legacy->n1;
    converted.n2 = legacy->n2;
    converted.n3 = legacy->n3;
    converted.n4 = legacy->n4;
    converted.mask1 = ReadAt<uint32_t>(legacy, layout->mask1);
    converted.mask2 = ReadAt<uint32_t>(legacy, layout->mask2);
    converted.maskByte1 = ReadAt<uint8_t>(legacy, layout->maskByte1);
    converted.maskByte2 = ReadAt<uint8_t>(legacy, layout->maskByte2);
    converted.value = ReadAt<HVALUE>(legacy, layout->value);
    if (legacy->version >= 2) converted.message = ReadAt<HVALUE>(legacy, layout->value + sizeof(HVALUE));
    // Hosts of the packed layout ask for blocks with ReadValue.
    if (layout == &PACKED_LAYOUT && converted.operation == OP_READ_VALUE && converted.blockSize > 1)
        converted.operation = OP_READ_BLOCK;
    return S_OK;
}

} // namespace

CIOFactory::CIOFactory(CIOGlobals *globals) : IOApi(globals), config_(globals) {}

CIOFactory::~CIOFactory() { config_.Clear(); }

HRESULT STDMETHODCALLTYPE CIOFactory::QueryInterface(REFIID iid, void **out) {
    if (!out) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IIODriverInstance))
        *out = static_cast<IIODriverInstance *>(this);
    else if (iid == __uuidof(IIOParseTag))
        *out = static_cast<IIOParseTag *>(this);
    else if (iid == __uuidof(IIOImportTags))
        *out = static_cast<IIOImportTags *>(this);
    else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE CIOFactory::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

ULONG STDMETHODCALLTYPE CIOFactory::Release() {
    const LONG refs = InterlockedDecrement(&refs_);
    if (refs == 0) {
        // The caller holds the library while it lets the driver go.
        ModulePin::CallerHoldsModule caller;
        delete this;
    }
    return static_cast<ULONG>(refs);
}

const char *STDMETHODCALLTYPE CIOFactory::GetDriverName() { return DRIVER_NAME; }

long STDMETHODCALLTYPE CIOFactory::GetCaps() { return DRIVER_CAPS; }

HRESULT STDMETHODCALLTYPE CIOFactory::SetSettingsHandle(HVALUE settings) try {
    settings_.reset();
    if (!settings) {
        config_.Clear();
        return S_OK;
    }
    settings_ = HValue::Share(settings);
    // Only an empty configuration or one written before the parameters were
    // renamed is written back; any other is left exactly as the host stored it.
    config_.AdoptSettings(settings, [this](CConfigData &config) { SetDefaultSettings(config); });
    return S_OK;
} catch (...) {
    return E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE CIOFactory::DriverDialog(HWND parent) try {
    // Without a settings handle the edits would have nowhere to go.
    if (!settings_) {
        Log(LOG_DRIVER, "DriverDialog: no settings handle was set");
        return E_FAIL;
    }
    config_.LoadFromValue(settings_.get());
    std::vector<std::unique_ptr<CPropertyPage>> extraPages;
    std::vector<CPropertyPage *> pages;
    for (unsigned i = 0;; ++i) {
        CPropertyPage *page = GetSettingsPage(config_, i);
        if (!page) break;
        extraPages.emplace_back(page);
        pages.push_back(page);
    }
    const HRESULT result = ShowSettingsSheet(DRIVER_TITLE, config_, pages, parent);
    extraPages.clear();
    if (result == E_INVALIDARG)
        Log(LOG_DRIVER, "DriverDialog: the parent handle %p is not a window", static_cast<void *>(parent));
    if (result == S_OK)
        config_.SaveToValue(settings_.get());
    else
        config_.LoadFromValue(settings_.get());
    return result;
} catch (...) {
    return E_OUTOFMEMORY;
}

ComPtr<CIOHost> CIOFactory::CurrentHost() {
    ScopedLock lock(hostLock_);
    return host_;
}

HRESULT STDMETHODCALLTYPE CIOFactory::StartComm(DWORD a, DWORD b, DWORD c, DWORD d) try {
    // A host that does not start is let go inside this call, while the host
    // application holds the library.
    ModulePin::CallerHoldsModule caller;
    StopComm(a, b, c, d);
    ComPtr<CIOHost> host = ComPtr<CIOHost>::Attach(CreateHost(a, b, c, d));
    if (!host) return E_OUTOFMEMORY;
    {
        ScopedLock lock(hostLock_);
        host_ = host;
    }
    Log(LOG_DRIVER, "drvStartComm(%u,%u,%u,%u)", LowWord(a), LowWord(b), LowWord(c), LowWord(d));
    const HRESULT result = host->Start(false);
    if (FAILED(result)) {
        // The stop waits for every other reference to go: this one first.
        host.reset();
        StopComm(a, b, c, d);
        return result;
    }
    if (result == 1 && host->Configuration().GetI32(param::StartOffline, 0) != 0)
        host->Configuration().LogConfiguration();
    return S_OK;
} catch (...) {
    return E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE CIOFactory::StopComm(DWORD a, DWORD b, DWORD c, DWORD d) try {
    ComPtr<CIOHost> host = CurrentHost();
    if (!host) return 1;
    Log(LOG_DRIVER, "drvStopComm(%u,%u,%u,%u)", LowWord(a), LowWord(b), LowWord(c), LowWord(d));
    host->Stop();
    {
        ScopedLock lock(hostLock_);
        if (host_.get() == host.get()) host_.reset();
    }
    // A request still running on another thread keeps the host; its script
    // must stop and its log must close before a new host starts, so the
    // stop waits for it, within one bound. A request that does not end in
    // time ends the host's work itself and lets the host go when it returns.
    const ULONGLONG deadline = GetTickCount64() + kRunningRequestWaitMs;
    if (host->EndSession(kRunningRequestWaitMs)) {
        const ULONGLONG now = GetTickCount64();
        if (now < deadline) host->WaitUntilUnused(static_cast<DWORD>(deadline - now));
    }
    // The host application holds the library while it stops the driver.
    ModulePin::CallerHoldsModule caller;
    host.reset();
    return S_OK;
} catch (...) {
    return E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE CIOFactory::IO(DriverRequest *request, HVALUE value) try {
    if (!request || !value) return E_POINTER;
    ComPtr<CIOHost> host = CurrentHost();
    if (!host) return IO_E_NOT_STARTED;

    DriverRequest converted;
    HValue temporaryMessage;
    if (request->version < REQUEST_VERSION_IN_PLACE) {
        HRESULT result = ConvertLegacyRecord(request, converted);
        if (FAILED(result)) return result;
        if (!converted.message) {
            temporaryMessage = HValue::Create();
            if (!temporaryMessage) return E_OUTOFMEMORY;
            converted.message = temporaryMessage.get();
        }
        request = &converted;
    }

    HRESULT result = E_FAIL;
    {
        CIOHost::RequestScope scope(host.get());
        CIOLog trace(GetGlobals(), *request, &result);
        result = ValidateAndDispatch(*host.get(), request, value);
    }
    return result;
} catch (...) {
    return E_OUTOFMEMORY;
}

HRESULT CIOFactory::ValidateAndDispatch(CIOHost &host, DriverRequest *request, HVALUE value) {
    if (request->flags & REQUEST_FLAG_VALIDATED) return host.Dispatch(request, value);

    // Only a purely numeric tag can be validated here.
    if (!IsEmptyText(request->paramDevice) || !IsEmptyText(request->paramItem) || request->tagObject)
        return IO_E_NOT_VALIDATED;
    TagInfo info = {};
    info.type = HV_HVAL;
    info.blockSize = (request->operation & OP_BIT_BLOCK) ? request->blockSize : 0;
    info.n1 = request->n1;
    info.n2 = request->n2;
    info.n3 = request->n3;
    info.n4 = request->n4;
    HRESULT result = Validate(L"", L"", &info);
    if (FAILED(result)) return result;
    request->n1 = info.n1;
    request->n2 = info.n2;
    request->n3 = info.n3;
    request->n4 = info.n4;
    request->tagObject = info.tagObject;

    result = host.Dispatch(request, value);

    if (request->tagObject) request->tagObject->Release();
    request->tagObject = nullptr;
    return result;
}

HRESULT STDMETHODCALLTYPE CIOFactory::GetStatus(const char *name, HVALUE value) try {
    if (!name || !value) return E_POINTER;
    ComPtr<CIOHost> host = CurrentHost();
    return host ? host->GetStatus(name, value) : IO_E_NOT_STARTED;
} catch (...) {
    return E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE CIOFactory::SetStatus(const char *name, HVALUE value) try {
    if (!name || !value) return E_POINTER;
    ComPtr<CIOHost> host = CurrentHost();
    return host ? host->SetStatus(name, value) : IO_E_NOT_STARTED;
} catch (...) {
    return E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE CIOFactory::Validate(const wchar_t *device, const wchar_t *item, TagInfo *info) try {
    if (!info) return E_POINTER;
    if (!device) device = L"";
    if (!item) item = L"";
    TagInfoTextBuffer before;
    TagInfoText(*info, device, item, before);

    HRESULT result;
    if (!*item) {
        if (info->n1 == -1)
            result = ValidateControlTagByNumber(info);
        else if (!*device)
            result = ValidateNumericTag(info);
        else
            result = ValidateStringTag(device, item, info);
    } else {
        result = ValidateControlTagByName(item, info);
        if (FAILED(result)) result = ValidateStringTag(device, item, info);
    }

    if (FAILED(result)) {
        Log(LOG_TAG, "Tag(%s).Validate = ERROR (%08X)", before, static_cast<unsigned>(result));
        return result;
    }
    TagInfoTextBuffer after;
    TagInfoText(*info, device, item, after);
    if (strcmp(after, before) == 0)
        Log(LOG_TAG, "Tag(%s).Validate = SUCCESS (type=%u;flags=%u)", before, info->type,
            static_cast<unsigned>(info->flags));
    else
        Log(LOG_TAG, "Tag(%s).Validate = Tag(%s) (type=%u;flags=%u)", before, after, info->type,
            static_cast<unsigned>(info->flags));
    return result;
} catch (...) {
    return E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE CIOFactory::BrowseTags(IIOTagBrowser *browser) try {
    if (!browser) return E_POINTER;
    AddControlTagTree(browser, ThisModule());
    AddDriverTags(browser);
    return S_OK;
} catch (...) {
    return E_OUTOFMEMORY;
}

} // namespace quillon
