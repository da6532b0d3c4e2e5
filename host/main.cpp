// quillonhost: loads the driver DLL the way a supervisory host does
// (LoadLibrary and GetProcAddress) and drives it through its exports.
#include "driver/QuillonExports.h"
#include "values/HValue.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace quillon;

namespace {

struct DriverLibrary {
    HMODULE module = nullptr;
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

    ~DriverLibrary() {
        if (module) FreeLibrary(module);
    }
};

std::string SystemMessage(DWORD error) {
    char text[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, sizeof text,
                   nullptr);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message;
}

template <class Function>
bool Resolve(HMODULE module, const char *name, Function &function) {
    function = reinterpret_cast<Function>(GetProcAddress(module, name));
    if (!function) fprintf(stderr, "error: the driver does not export %s\n", name);
    return function != nullptr;
}

bool LoadDriver(const std::string &path, DriverLibrary &driver) {
    driver.module = LoadLibraryA(path.c_str());
    if (!driver.module) {
        const DWORD error = GetLastError();
        fprintf(stderr, "error: cannot load the driver '%s' (error %lu: %s)\n", path.c_str(),
                static_cast<unsigned long>(error), SystemMessage(error).c_str());
        return false;
    }
    bool ok = true;
    ok &= Resolve(driver.module, "drvCreateDriverInstance", driver.createDriverInstance);
    ok &= Resolve(driver.module, "drvGetDriverName", driver.getDriverName);
    ok &= Resolve(driver.module, "drvGetCaps", driver.getCaps);
    ok &= Resolve(driver.module, "drvSetSettingsHandle", driver.setSettingsHandle);
    ok &= Resolve(driver.module, "drvDriverDialog", driver.driverDialog);
    ok &= Resolve(driver.module, "drvStartComm", driver.startComm);
    ok &= Resolve(driver.module, "drvStopComm", driver.stopComm);
    ok &= Resolve(driver.module, "drvIO", driver.io);
    ok &= Resolve(driver.module, "drvGetStatus", driver.getStatus);
    ok &= Resolve(driver.module, "drvSetStatus", driver.setStatus);
    ok &= Resolve(driver.module, "drvGetDriverObject", driver.getDriverObject);
    ok &= Resolve(driver.module, "ChanferLibGetVersion", driver.getVersion);
    ok &= Resolve(driver.module, "ChanferLibGetVersionFull", driver.getVersionFull);
    ok &= Resolve(driver.module, "ChanferLib_v2_0_25", driver.versionMarker);
    return ok;
}

std::string DefaultDriverPath() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string directory = path;
    const size_t slash = directory.find_last_of("\\/");
    directory = slash == std::string::npos ? std::string() : directory.substr(0, slash + 1);
    return directory + "Quillon.dll";
}

void PrintInfo(const DriverLibrary &driver) {
    const unsigned version = driver.getVersion();
    const unsigned full = driver.getVersionFull();
    printf("Driver name:      %s\n", driver.getDriverName());
    printf("Capabilities:     %ld (0x%02lX)\n", driver.getCaps(), driver.getCaps());
    printf("Toolkit version:  %u.%u (0x%04X)\n", version >> 8, version & 0xFF, version);
    printf("Toolkit build:    %u.%u.%u (0x%08X)\n", full >> 24, (full >> 16) & 0xFF, full & 0xFFFF, full);
}

// A settings value in the driver's serialised form, with log parameters.
HValue MakeSettings(const std::vector<std::pair<std::string, std::string>> &strings,
                    const std::vector<std::pair<std::string, int32_t>> &numbers) {
    HValue settings = HValue::Create();
    const unsigned count = static_cast<unsigned>(1 + 2 * (strings.size() + numbers.size()));
    hvSetType(settings.get(), HV_ARRAY | HV_HVAL, count);
    hvSetElementString(settings.get(), 0, "Generic Config Data v1.00");
    unsigned index = 1;
    for (const auto &parameter : strings) {
        hvSetElementString(settings.get(), index++, parameter.first.c_str());
        hvSetElementString(settings.get(), index++, parameter.second.c_str());
    }
    for (const auto &parameter : numbers) {
        hvSetElementString(settings.get(), index++, parameter.first.c_str());
        hvSetElementI32(settings.get(), index++, parameter.second);
    }
    return settings;
}

std::string TemporaryLogPath() {
    char directory[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, directory);
    return std::string(directory) + "quillonhost-demo.log";
}

void PrintFile(const std::string &path) {
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) {
        printf("(no log file at %s)\n", path.c_str());
        return;
    }
    char buffer[4096];
    size_t read;
    while ((read = fread(buffer, 1, sizeof buffer, file)) > 0) fwrite(buffer, 1, read, stdout);
    fclose(file);
    printf("\n");
}

int Demo(const DriverLibrary &driver) {
    PrintInfo(driver);

    const std::string logPath = TemporaryLogPath();
    DeleteFileA(logPath.c_str());
    HValue settings = MakeSettings({{"IO.Type", "None"}, {"IO.Log.Filename", logPath}}, {{"IO.Log.Enable", 1}});
    driver.setSettingsHandle(settings.get());

    printf("\ndrvStartComm -> %d\n", driver.startComm(0, 0, 0, 0));
    HValue log = HValue::Create();
    if (driver.getStatus("LOG", log.get()) == 1) {
        int32_t enabled = 0;
        hvGetI32(log.get(), &enabled);
        printf("drvGetStatus('LOG') -> %d\n", enabled);
    }
    printf("drvStopComm -> %d\n", driver.stopComm(0, 0, 0, 0));
    printf("\nDriver log (%s):\n", logPath.c_str());
    PrintFile(logPath);
    return 0;
}

void Usage() {
    fprintf(stderr,
            "usage: quillonhost [--driver PATH] COMMAND\n"
            "commands:\n"
            "  info   show the driver's name, capability word and versions\n"
            "  demo   show the driver's identity, start and stop it once with a log, print the log\n");
}

} // namespace

int main(int argc, char **argv) {
    std::string driverPath = DefaultDriverPath();
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--driver") == 0 && i + 1 < argc)
            driverPath = argv[++i];
        else
            arguments.push_back(argv[i]);
    }
    if (arguments.empty()) {
        Usage();
        return 2;
    }

    DriverLibrary driver;
    if (!LoadDriver(driverPath, driver)) return 1;

    const std::string &command = arguments[0];
    if (command == "info") {
        PrintInfo(driver);
        return 0;
    }
    if (command == "demo") return Demo(driver);
    fprintf(stderr, "error: unknown command '%s'\n", command.c_str());
    Usage();
    return 2;
}
