// The driver DLL loaded the way a supervisory host loads it: LoadLibrary,
// then GetProcAddress for every export.
#pragma once

#include "driver/QuillonExports.h"

#include <windows.h>

#include <string>

namespace quillon {

class DriverLibrary {
public:
    DriverLibrary() = default;
    DriverLibrary(const DriverLibrary &) = delete;
    DriverLibrary &operator=(const DriverLibrary &) = delete;
    ~DriverLibrary() { Unload(); }

    // False with a readable reason when the DLL cannot be loaded or an
    // export is missing.
    bool Load(const std::string &path, std::string &error);
    void Unload();

    drvCreateDriverInstance_t createDriverInstance = nullptr;
    drvGetDriverName_t getDriverName = nullptr;
    drvGetCaps_t getCaps = nullptr;
    drvSetSettingsHandle_t setSettingsHandle = nullptr;
    drvDriverDialog_t driverDialog = nullptr;
    drvStartComm_t startComm = nullptr;
    drvStopComm_t stopComm = nullptr;
    drvIO_t io = nullptr;
    drvGetStatus_t getStatus = nullptr;
    drvSetStatus_t setStatus = nullptr;
    drvGetDriverObject_t getDriverObject = nullptr;
    ChanferLibGetVersion_t getVersion = nullptr;
    ChanferLibGetVersionFull_t getVersionFull = nullptr;
    ChanferLibGetVersion_t versionMarker = nullptr;

private:
    HMODULE module_ = nullptr;
};

} // namespace quillon
