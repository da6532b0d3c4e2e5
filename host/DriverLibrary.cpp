#include "host/DriverLibrary.h"

namespace quillon {
namespace {

std::string SystemMessage(DWORD error) {
    char text[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, sizeof text,
                   nullptr);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message;
}

} // namespace

bool DriverLibrary::Load(const std::string &path, std::string &error) {
    Unload();
    module_ = LoadLibraryA(path.c_str());
    if (!module_) {
        const DWORD code = GetLastError();
        error = "cannot load the driver '" + path + "' (error " + std::to_string(code) + ": " + SystemMessage(code) +
                ")";
        return false;
    }
    std::string missing;
    auto resolve = [&](const char *name, auto &function) {
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(GetProcAddress(module_, name));
        if (!function) missing += missing.empty() ? name : std::string(", ") + name;
    };
    resolve("drvCreateDriverInstance", createDriverInstance);
    resolve("drvGetDriverName", getDriverName);
    resolve("drvGetCaps", getCaps);
    resolve("drvSetSettingsHandle", setSettingsHandle);
    resolve("drvDriverDialog", driverDialog);
    resolve("drvStartComm", startComm);
    resolve("drvStopComm", stopComm);
    resolve("drvIO", io);
    resolve("drvGetStatus", getStatus);
    resolve("drvSetStatus", setStatus);
    resolve("drvGetDriverObject", getDriverObject);
    resolve("ChanferLibGetVersion", getVersion);
    resolve("ChanferLibGetVersionFull", getVersionFull);
    resolve("ChanferLib_v2_0_25", versionMarker);
    if (!missing.empty()) {
        error = "the driver '" + path + "' does not export " + missing;
        Unload();
        return false;
    }
    return true;
}

void DriverLibrary::Unload() {
    if (module_) FreeLibrary(module_);
    module_ = nullptr;
    // The addresses may point nowhere now.
    createDriverInstance = nullptr;
    getDriverName = nullptr;
    getCaps = nullptr;
    setSettingsHandle = nullptr;
    driverDialog = nullptr;
    startComm = nullptr;
    stopComm = nullptr;
    io = nullptr;
    getStatus = nullptr;
    setStatus = nullptr;
    getDriverObject = nullptr;
    getVersion = nullptr;
    getVersionFull = nullptr;
    versionMarker = nullptr;
}

} // namespace quillon
