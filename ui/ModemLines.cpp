#include "ui/ModemLines.h"

#include "base/Module.h"

#include <tapi.h>

#include <vector>

namespace quillon {
namespace {

const DWORD LOW_API_VERSION = 0x00010004;
const DWORD HIGH_API_VERSION = 0x00020002;

void CALLBACK IgnoreLineEvent(DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

// The telephony functions the page needs, taken from tapi32.dll when the
// user asks for modems, so that loading the driver does not load telephony.
struct Telephony {
    decltype(&lineInitializeExA) initialize = nullptr;
    decltype(&lineShutdown) shutdown = nullptr;
    decltype(&lineNegotiateAPIVersion) negotiate = nullptr;
    decltype(&lineGetDevCapsA) getDevCaps = nullptr;
    decltype(&lineConfigDialogA) configDialog = nullptr;
    HMODULE module = LoadLibraryA("tapi32.dll");

    Telephony() {
        if (!module) return;
        initialize = reinterpret_cast<decltype(initialize)>(GetProcAddress(module, "lineInitializeExA"));
        shutdown = reinterpret_cast<decltype(shutdown)>(GetProcAddress(module, "lineShutdown"));
        negotiate = reinterpret_cast<decltype(negotiate)>(GetProcAddress(module, "lineNegotiateAPIVersion"));
        getDevCaps = reinterpret_cast<decltype(getDevCaps)>(GetProcAddress(module, "lineGetDevCapsA"));
        configDialog = reinterpret_cast<decltype(configDialog)>(GetProcAddress(module, "lineConfigDialogA"));
    }
    ~Telephony() {
        if (module) FreeLibrary(module);
    }
    Telephony(const Telephony &) = delete;
    Telephony &operator=(const Telephony &) = delete;
    bool Complete() const { return initialize && shutdown && negotiate && getDevCaps && configDialog; }
};

// One telephony session: initialised on creation, shut down on destruction.
class LineApp {
public:
    LineApp() {
        if (!tapi_.Complete()) return;
        LINEINITIALIZEEXPARAMS params = {};
        params.dwTotalSize = sizeof params;
        params.dwOptions = LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
        DWORD version = HIGH_API_VERSION;
        if (tapi_.initialize(&app_, ThisModule(), IgnoreLineEvent, "Quillon", &devices_, &version, &params) != 0)
            app_ = 0;
    }
    ~LineApp() {
        if (app_ != 0) tapi_.shutdown(app_);
    }
    LineApp(const LineApp &) = delete;
    LineApp &operator=(const LineApp &) = delete;

    DWORD Devices() const { return app_ != 0 ? devices_ : 0; }
    // Shows the device's configuration dialog; false when it cannot.
    bool ConfigDialog(DWORD device, HWND owner) const {
        return tapi_.configDialog(device, owner, "comm/datamodem") == 0;
    }

    // The device's name and permanent identifier; false for a device that
    // is not a data modem or does not answer.
    bool Describe(DWORD device, ModemLine &line) const {
        DWORD version = 0;
        LINEEXTENSIONID extension;
        if (tapi_.negotiate(app_, device, LOW_API_VERSION, HIGH_API_VERSION, &version, &extension) != 0)
            return false;
        std::vector<unsigned char> buffer(sizeof(LINEDEVCAPS) + 1024);
        for (int attempt = 0; attempt < 2; ++attempt) {
            auto *caps = reinterpret_cast<LINEDEVCAPS *>(buffer.data());
            caps->dwTotalSize = static_cast<DWORD>(buffer.size());
            if (tapi_.getDevCaps(app_, device, version, 0, caps) != 0) return false;
            if (caps->dwNeededSize > caps->dwTotalSize) {
                buffer.resize(caps->dwNeededSize);
                continue;
            }
            if (!(caps->dwMediaModes & LINEMEDIAMODE_DATAMODEM)) return false;
            line.permanentId = caps->dwPermanentLineID;
            line.name.clear();
            if (caps->dwLineNameSize > 0 && caps->dwLineNameOffset + caps->dwLineNameSize <= caps->dwUsedSize)
                line.name.assign(reinterpret_cast<const char *>(buffer.data()) + caps->dwLineNameOffset,
                                 caps->dwLineNameSize);
            while (!line.name.empty() && line.name.back() == '\0') line.name.pop_back();
            return true;
        }
        return false;
    }

private:
    Telephony tapi_;
    HLINEAPP app_ = 0;
    DWORD devices_ = 0;
};

} // namespace

std::vector<ModemLine> InstalledModems() {
    std::vector<ModemLine> modems;
    LineApp app;
    for (DWORD device = 0; device < app.Devices(); ++device) {
        ModemLine line;
        if (app.Describe(device, line)) modems.push_back(line);
    }
    return modems;
}

bool ShowModemSettings(HWND owner, DWORD permanentId) {
    LineApp app;
    for (DWORD device = 0; device < app.Devices(); ++device) {
        ModemLine line;
        if (!app.Describe(device, line) || (permanentId != 0 && line.permanentId != permanentId)) continue;
        return app.ConfigDialog(device, owner);
    }
    return false;
}

} // namespace quillon
