// quillonhost: loads the driver DLL the way a supervisory host does
// (LoadLibrary and GetProcAddress) and drives it through its exports.
#include "host/ConfigFile.h"
#include "host/DriverLibrary.h"
#include "log/ValueText.h"
#include "base/ComUtil.h"
#include "base/DriverInterfaces.h"
#include "log/IOGlobals.h"
#include "script/VBScriptEngine.h"
#include "script/VariantConversion.h"

#include <objbase.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace quillon;

namespace {

const char USAGE[] =
    "usage: quillonhost [--driver PATH] [--log] COMMAND ...\n"
    "\n"
    "commands:\n"
    "  info                  the driver's name, capability word and versions\n"
    "  demo                  identity, one start and stop with a log, and the log\n"
    "  template              a configuration file with every parameter, its type and fresh value\n"
    "  settings CONFIG       the settings the driver keeps for CONFIG (defaults added, old names renamed)\n"
    "  run CONFIG ACTION...  start the driver with CONFIG, perform the actions in order, stop it\n"
    "  configure CONFIG      edit CONFIG in the driver's settings sheet; OK writes it back\n"
    "  check SCRIPT          compile a script file and report its first error as 'Line L, Col C: text'\n"
    "\n"
    "actions (TAG is N1.N2.N3.N4, an item text, or {device}item; VALUE is TYPE:text,\n"
    "TYPE one of I8 U8 I16 U16 I32 U32 R32 R64 STR):\n"
    "  read TAG                 read a tag and show value, quality and time\n"
    "  write TAG=VALUE          write a tag\n"
    "  events                   read and show the events block\n"
    "  status NAME              read a status value (LOG, LOGFILE)\n"
    "  set-status NAME=VALUE    set a status value\n"
    "  set-params NAME=VALUE[,NAME=VALUE...]   write IO.SetConfigurationParameters\n"
    "  watch TAG MS COUNT       read a tag COUNT times, MS milliseconds apart\n"
    "  wait MS                  pause\n"
    "\n"
    "--log prints the driver's log after the run (a temporary file unless CONFIG names one);\n"
    "--follow prints the log's lines as the driver writes them.\n";

std::string DefaultDriverPath() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string directory = path;
    const size_t slash = directory.find_last_of("\\/");
    directory = slash == std::string::npos ? std::string() : directory.substr(0, slash + 1);
    return directory + "Quillon.dll";
}

std::wstring Wide(const std::string &text) {
    const int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 1), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), length);
    wide.resize(wide.size() - 1);
    return wide;
}

std::string FullText(HVALUE value) {
    ValueTextBuffer buffer;
    return ValueText(value, TEXT_FULL, buffer);
}

void PrintInfo(const DriverLibrary &driver) {
    const unsigned version = driver.getVersion();
    const unsigned full = driver.getVersionFull();
    printf("Driver name:      %s\n", driver.getDriverName());
    printf("Capabilities:     %ld (0x%02lX)\n", driver.getCaps(), driver.getCaps());
    printf("Toolkit version:  %u.%u (0x%04X)\n", version >> 8, version & 0xFF, version);
    printf("Toolkit build:    %u.%u.%u (0x%08X)\n", full >> 24, (full >> 16) & 0xFF, full & 0xFFFF, full);
}

void PrintFile(const std::string &path) {
    std::string text;
    if (!ReadTextFile(path, text)) {
        printf("(no log file at %s)\n", path.c_str());
        return;
    }
    fwrite(text.data(), 1, text.size(), stdout);
    printf("\n");
}

std::string TemporaryLogPath() {
    char directory[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, directory);
    return std::string(directory) + "quillonhost-" + std::to_string(GetCurrentProcessId()) + ".log";
}

// Splits "TYPE:text" and stores it into the value.
bool ParseValueArgument(const std::string &argument, HVALUE value, std::string &error) {
    const size_t colon = argument.find(':');
    if (colon == std::string::npos) {
        error = "'" + argument + "' needs a type, as in I32:1 or STR:text";
        return false;
    }
    return ParseTypedValue(argument.substr(0, colon), argument.substr(colon + 1), value, error);
}

// A tag as the host names it: numbers, or texts validated by the driver.
struct Tag {
    std::wstring device, item;
    TagInfo info = {};
};

bool ParseNumbers(const std::string &text, TagInfo &info) {
    int numbers[4];
    char tail = 0;
    if (sscanf(text.c_str(), "%d.%d.%d.%d%c", &numbers[0], &numbers[1], &numbers[2], &numbers[3], &tail) != 4)
        return false;
    for (int number : numbers)
        if (number < -32768 || number > 65535) return false;
    info.n1 = static_cast<int16_t>(numbers[0]);
    info.n2 = static_cast<uint16_t>(numbers[1]);
    info.n3 = static_cast<uint16_t>(numbers[2]);
    info.n4 = static_cast<uint16_t>(numbers[3]);
    return true;
}

// The name of a status code that requests and status calls answer with.
const char *StatusName(HRESULT status) {
    static const struct {
        HRESULT code;
        const char *name;
    } kNames[] = {{E_FAIL, "E_FAIL"},
                  {E_NOTIMPL, "E_NOTIMPL"},
                  {E_INVALIDARG, "E_INVALIDARG"},
                  {E_POINTER, "E_POINTER"},
                  {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
                  {E_NOINTERFACE, "E_NOINTERFACE"},
                  {E_ACCESSDENIED, "E_ACCESSDENIED"},
                  {E_UNEXPECTED, "E_UNEXPECTED"},
                  {DISP_E_UNKNOWNNAME, "DISP_E_UNKNOWNNAME"},
                  {DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH"},
                  {static_cast<HRESULT>(0x80020101), "SCRIPT_E_REPORTED"},
                  {IO_E_RECEIVE_TIMEOUT, "receive time-out"},
                  {IO_E_INTERFACE_NONE, "physical interface is 'None'"},
                  {IO_E_NOT_VALIDATED, "tag not validated"},
                  {IO_E_TAG_NOT_ACCEPTED, "tag not accepted by the driver"},
                  {IO_E_NOT_STARTED, "driver not started"}};
    for (const auto &entry : kNames)
        if (entry.code == status) return entry.name;
    return "unknown status";
}

class Session {
public:
    Session(DriverLibrary &driver) : driver_(driver) {}

    bool Start(HVALUE settings) {
        driver_.setSettingsHandle(settings);
        IIODriverInstance *object = nullptr;
        if (driver_.getDriverObject(&object) != 1) {
            fprintf(stderr, "error: the driver object cannot be had\n");
            return false;
        }
        object_ = ComPtr<IIODriverInstance>::Attach(object);
        object_->QueryInterface(__uuidof(IIOParseTag), parser_.put_void());
        const short started = driver_.startComm(0, 0, 0, 0);
        printf("drvStartComm -> %d\n", started);
        return started == 1;
    }

    void Stop() { printf("drvStopComm -> %d\n", driver_.stopComm(0, 0, 0, 0)); }

    // Performs one action; false when it failed.
    bool Perform(const std::vector<std::string> &arguments, size_t &next) {
        const std::string action = arguments[next++];
        auto operand = [&](std::string &out) {
            if (next >= arguments.size()) {
                fprintf(stderr, "error: '%s' needs an argument\n", action.c_str());
                return false;
            }
            out = arguments[next++];
            return true;
        };
        std::string argument;
        if (action == "events") return ReadEvents();
        if (!operand(argument)) return false;
        if (action == "read") return Read(argument);
        if (action == "write") return Write(argument);
        if (action == "status") return Status(argument);
        if (action == "set-status") return SetStatus(argument);
        if (action == "set-params") return SetParameters(argument);
        if (action == "watch") {
            std::string interval, count;
            if (!operand(interval) || !operand(count)) return false;
            return Watch(argument, strtoul(interval.c_str(), nullptr, 10), strtoul(count.c_str(), nullptr, 10));
        }
        if (action == "wait") {
            Sleep(static_cast<DWORD>(strtoul(argument.c_str(), nullptr, 10)));
            return true;
        }
        fprintf(stderr, "error: unknown action '%s'\n", action.c_str());
        return false;
    }

private:
    bool Resolve(const std::string &text, Tag &tag) {
        if (ParseNumbers(text, tag.info)) return true;
        std::string item = text;
        if (!item.empty() && item[0] == '{') {
            const size_t close = item.find('}');
            if (close == std::string::npos) {
                fprintf(stderr, "error: '%s': a device text needs a closing '}'\n", text.c_str());
                return false;
            }
            tag.device = Wide(item.substr(1, close - 1));
            item = item.substr(close + 1);
        }
        tag.item = Wide(item);
        tag.info.type = HV_HVAL;
        const HRESULT result = parser_ ? parser_->Validate(tag.device.c_str(), tag.item.c_str(), &tag.info) : E_FAIL;
        if (FAILED(result)) {
            printf("%s: not accepted by the driver (%08X)\n", text.c_str(), static_cast<unsigned>(result));
            return false;
        }
        if (tag.info.tagObject) tag.info.tagObject->Release();
        tag.info.tagObject = nullptr;
        return true;
    }

    DriverRequest Request(const Tag &tag, uint16_t operation, HVALUE value, HVALUE message) {
        DriverRequest request = {};
        request.version = REQUEST_VERSION_CURRENT;
        request.operation = operation;
        request.blockSize = tag.info.blockSize ? tag.info.blockSize : 1;
        request.elementCount = request.blockSize;
        request.n1 = tag.info.n1;
        request.n2 = tag.info.n2;
        request.n3 = tag.info.n3;
        request.n4 = tag.info.n4;
        request.value = value;
        request.message = message;
        if (!tag.item.empty() || !tag.device.empty()) {
            request.flags = REQUEST_FLAG_VALIDATED;
            request.paramDevice = tag.device.empty() ? nullptr : tag.device.c_str();
            request.paramItem = tag.item.c_str();
        }
        return request;
    }

    // Requests go through the driver object, whose IO answers with the full
    // status code that drvIO folds into 1 or -1.
    HRESULT IO(DriverRequest &request, HVALUE value) {
        return object_->IO(&request, value);
    }

    bool Report(const std::string &what, HRESULT result, HVALUE message) {
        const char *text = nullptr;
        if (SUCCEEDED(result)) {
            printf("%s: ok\n", what.c_str());
            return true;
        }
        printf("%s: FAILED (hr=%08X %s)", what.c_str(), static_cast<unsigned>(result), StatusName(result));
        if (message && hvGetType(message) == HV_STR && hvGetString(message, &text) && text && *text)
            printf(": %s", text);
        printf("\n");
        return false;
    }

    bool Read(const std::string &text) {
        Tag tag;
        if (!Resolve(text, tag)) return false;
        HValue value = HValue::Create(), message = HValue::Create();
        const uint16_t operation = tag.info.blockSize > 1 ? OP_READ_BLOCK : OP_READ_VALUE;
        DriverRequest request = Request(tag, operation, value.get(), message.get());
        const HRESULT result = IO(request, value.get());
        if (SUCCEEDED(result)) {
            printf("%s = %s\n", text.c_str(), FullText(value.get()).c_str());
            return true;
        }
        return Report("read " + text, result, message.get());
    }

    // Each read shows value, quality, time and the request's result.
    bool Watch(const std::string &text, unsigned long interval, unsigned long count) {
        Tag tag;
        if (!Resolve(text, tag)) return false;
        for (unsigned long i = 0; i < count; ++i) {
            if (i) Sleep(static_cast<DWORD>(interval));
            HValue value = HValue::Create(), message = HValue::Create();
            DriverRequest request =
                Request(tag, tag.info.blockSize > 1 ? OP_READ_BLOCK : OP_READ_VALUE, value.get(), message.get());
            const HRESULT result = IO(request, value.get());
            hvTime stamp = SecondsToTime(hvGetTimestamp(value.get()));
            hvCalendar when = {};
            hvTimeToCalendar(&stamp, &when);
            printf("%-20s %-30s quality %3u  %02u:%02u:%02u.%03u  %s\n", text.c_str(),
                   SUCCEEDED(result) ? ValueToText(value.get()).c_str() : "-", hvGetQuality(value.get()), when.hour,
                   when.minute, when.second, when.millisecond, SUCCEEDED(result) ? "ok" : StatusName(result));
            fflush(stdout);
        }
        return true;
    }

    bool Write(const std::string &assignment) {
        const size_t equals = assignment.find('=');
        if (equals == std::string::npos) {
            fprintf(stderr, "error: write needs TAG=TYPE:value\n");
            return false;
        }
        Tag tag;
        if (!Resolve(assignment.substr(0, equals), tag)) return false;
        HValue value = HValue::Create(), message = HValue::Create();
        std::string error;
        if (!ParseValueArgument(assignment.substr(equals + 1), value.get(), error)) {
            fprintf(stderr, "error: %s\n", error.c_str());
            return false;
        }
        return WriteValue("write " + assignment, tag, value.get(), message.get());
    }

    bool WriteValue(const std::string &what, const Tag &tag, HVALUE value, HVALUE message) {
        const uint16_t operation = tag.info.blockSize > 1 ? OP_WRITE_BLOCK : OP_WRITE_VALUE;
        DriverRequest request = Request(tag, operation, value, message);
        return Report(what, IO(request, value), message);
    }

    bool ReadEvents() {
        Tag tag;
        tag.info.n1 = -1;
        tag.info.n4 = 1;
        tag.info.blockSize = 4;
        HValue value = HValue::Create(), message = HValue::Create();
        DriverRequest request = Request(tag, OP_READ_BLOCK, value.get(), message.get());
        const HRESULT result = IO(request, value.get());
        if (FAILED(result)) return Report("events", result, message.get());
        const unsigned count = hvListCount(value.get());
        printf("events: %u\n", count);
        hvPosition position = nullptr;
        for (HVALUE event = hvListFirst(value.get(), &position); event; event = hvListNext(value.get(), &position)) {
            int32_t type = 0, source = 0, number = 0;
            const char *text = "";
            hvGetElementI32(event, 0, &type);
            hvGetElementI32(event, 1, &source);
            hvGetElementI32(event, 2, &number);
            hvGetElementString(event, 3, &text);
            static const char *const types[] = {"info", "warning", "error"};
            printf("  [%s] source %d, event %d: %s\n", type >= 0 && type <= 2 ? types[type] : "?", source, number,
                   text);
        }
        return true;
    }

    bool Status(const std::string &name) {
        HValue value = HValue::Create();
        const HRESULT result = object_->GetStatus(name.c_str(), value.get());
        if (FAILED(result)) return Report("status " + name, result, nullptr);
        printf("status %s = %s\n", name.c_str(), ValueToText(value.get()).c_str());
        return true;
    }

    bool SetStatus(const std::string &assignment) {
        const size_t equals = assignment.find('=');
        HValue value = HValue::Create();
        std::string error;
        if (equals == std::string::npos || !ParseValueArgument(assignment.substr(equals + 1), value.get(), error)) {
            fprintf(stderr, "error: set-status needs NAME=TYPE:value %s\n", error.c_str());
            return false;
        }
        const std::string name = assignment.substr(0, equals);
        return Report("set-status " + assignment, object_->SetStatus(name.c_str(), value.get()), nullptr);
    }

    bool SetParameters(const std::string &list) {
        std::vector<std::string> assignments;
        size_t start = 0;
        while (start <= list.size()) {
            const size_t comma = std::min(list.find(',', start), list.size());
            assignments.push_back(list.substr(start, comma - start));
            start = comma + 1;
        }
        HValue array = HValue::Create(), message = HValue::Create();
        hvSetType(array.get(), HV_ARRAY | HV_HVAL, static_cast<unsigned>(2 * assignments.size()));
        unsigned index = 0;
        for (const std::string &assignment : assignments) {
            const size_t equals = assignment.find('=');
            HValue element;
            std::string error;
            hvSetElementString(array.get(), index++, assignment.substr(0, equals).c_str());
            hvGetElement(array.get(), index++, element.put());
            if (equals == std::string::npos ||
                !ParseValueArgument(assignment.substr(equals + 1), element.get(), error)) {
                fprintf(stderr, "error: set-params needs NAME=TYPE:value %s\n", error.c_str());
                return false;
            }
        }
        Tag tag;
        tag.info.n1 = -1;
        tag.info.n4 = 3;
        return WriteValue("set-params " + list, tag, array.get(), message.get());
    }

    DriverLibrary &driver_;
    ComPtr<IIODriverInstance> object_;
    ComPtr<IIOParseTag> parser_;
};

// Prints what the driver appends to its log while the run goes on.
class LogFollower {
public:
    explicit LogFollower(std::string path) : path_(std::move(path)) {
        stop_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        thread_.reset(CreateThread(nullptr, 0, Follow, this, 0, nullptr));
    }
    ~LogFollower() {
        SetEvent(stop_.get());
        WaitForSingleObject(thread_.get(), INFINITE);
        PrintNew();
    }
    LogFollower(const LogFollower &) = delete;
    LogFollower &operator=(const LogFollower &) = delete;

private:
    static DWORD WINAPI Follow(void *parameter) {
        auto *follower = static_cast<LogFollower *>(parameter);
        while (WaitForSingleObject(follower->stop_.get(), 100) == WAIT_TIMEOUT) follower->PrintNew();
        return 0;
    }
    void PrintNew() {
        std::string text;
        if (!ReadTextFile(path_, text) || text.size() <= printed_) return;
        fwrite(text.data() + printed_, 1, text.size() - printed_, stdout);
        fflush(stdout);
        printed_ = text.size();
    }

    std::string path_;
    size_t printed_ = 0;
    UniqueHandle stop_, thread_;
};

// Adds the log parameters when the configuration has none, so that --log
// has a file to show.
std::string EnsureLog(ConfigFile &config) {
    std::string file;
    bool enabled = false;
    for (const ConfigParameter &parameter : config.parameters) {
        if (lstrcmpiA(parameter.name.c_str(), "IO.Log.Filename") == 0) file = parameter.value;
        if (lstrcmpiA(parameter.name.c_str(), "IO.Log.Enable") == 0) enabled = parameter.value != "0";
    }
    if (file.empty()) {
        file = TemporaryLogPath();
        DeleteFileA(file.c_str());
        config.parameters.push_back({"IO.Log.Filename", "STR", file});
    }
    if (!enabled) config.parameters.push_back({"IO.Log.Enable", "I32", "1"});
    return file;
}

// Starts the driver, performs every action (a failed one does not stop the
// others) and stops it. 0 when everything succeeded, 1 otherwise; started
// tells whether the driver started at all.
int Run(DriverLibrary &driver, ConfigFile config, const std::vector<std::string> &actions, bool showLog,
        bool followLog, bool *started = nullptr) {
    const std::string logFile = showLog || followLog ? EnsureLog(config) : std::string();
    HValue settings;
    std::string error;
    if (!MakeSettingsValue(config, settings, error)) {
        fprintf(stderr, "error: %s\n", error.c_str());
        return 1;
    }
    bool ok;
    {
        std::unique_ptr<LogFollower> follower;
        if (followLog) follower = std::make_unique<LogFollower>(logFile);
        Session session(driver);
        const bool running = session.Start(settings.get());
        if (started) *started = running;
        ok = running;
        for (size_t next = 0; running && next < actions.size();) ok = session.Perform(actions, next) && ok;
        session.Stop();
    }
    if (showLog && !followLog) {
        printf("\nDriver log (%s):\n", logFile.c_str());
        PrintFile(logFile);
    }
    return ok ? 0 : 1;
}

// The meter simulation carried as a resource of this program.
std::string EmbeddedMeterScript() {
    HRSRC resource = FindResourceA(nullptr, "METER_SCRIPT", MAKEINTRESOURCEA(10) /* RT_RCDATA */);
    HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
    const char *data = loaded ? static_cast<const char *>(LockResource(loaded)) : nullptr;
    return data ? std::string(data, SizeofResource(nullptr, resource)) : std::string();
}

int Demo(DriverLibrary &driver) {
    PrintInfo(driver);
    printf("\nThe simulated meter (examples/meter/meter.vbs):\n");
    ConfigFile config;
    config.parameters.push_back({"IO.Type", "STR", "None"});
    config.parameters.push_back({"VBScript.Code", "STR", EmbeddedMeterScript()});
    bool started = false;
    Run(driver, config,
               {"read", "Voltage", "read", "Current", "read", "Power", "read", "Phases", "read", "Status",
                "write", "Setpoint=R64:12.5", "read", "Setpoint", "read", "Status", "read", "Log", "write",
                "Setpoint=R64:500", "read", "Nothing", "watch", "Power", "250", "4", "events", "status", "LOG"},
        true, false, &started);
    // The refused set-point and the unknown item fail on purpose.
    return started ? 0 : 1;
}

// Compiles without running anything, as the settings page's check does.
int Check(const std::string &path) {
    std::string text;
    if (!ReadTextFile(path, text)) {
        fprintf(stderr, "error: %s: cannot open the script file\n", path.c_str());
        return 1;
    }
    CIOGlobals *globals = CIOGlobals::Create(nullptr);
    if (!globals) {
        fprintf(stderr, "error: out of memory\n");
        return 1;
    }
    ComPtr<CVBScriptEngine> engine;
    HRESULT result = CVBScriptEngine::Create(globals, engine.put());
    globals->Release();
    if (FAILED(result)) {
        fprintf(stderr, "error: Failed to create VBScriptEngine object (%08X)\n", static_cast<unsigned>(result));
        return 1;
    }
    result = engine->ParseScript(text.c_str());
    const unsigned line = engine->LastErrorLine(), column = engine->LastErrorColumn();
    const std::string description = engine->LastErrorText().empty() ? "syntax error" : engine->LastErrorText();
    engine->Close();
    if (FAILED(result)) {
        printf("%s: Error compiling script:\nLine %u, Col %u: %s!\n", path.c_str(), line, column, description.c_str());
        return 1;
    }
    printf("%s: No errors found\n", path.c_str());
    return 0;
}

void PrintTemplate() {
    printf("; Quillon configuration: NAME = TYPE value\n"
           "; (a line made a comment: not in a fresh configuration; a value there is the one taken when absent)\n"
           "[Parameters]\n");
    for (const KnownParameter &parameter : KnownParameters()) {
        if (*parameter.fresh)
            printf("%-34s = %s %s\n", parameter.name, parameter.type,
                   strcmp(parameter.type, "STR") == 0 ? ("\"" + std::string(parameter.fresh) + "\"").c_str()
                                                      : parameter.fresh);
        else if (*parameter.absent)
            printf("; %-32s = %s %s\n", parameter.name, parameter.type, parameter.absent);
        else
            printf("; %-32s = %s\n", parameter.name, parameter.type);
    }
    printf("\n[Script]\n; File = device.vbs\n");
}

int ShowSettings(DriverLibrary &driver, const ConfigFile &config) {
    HValue settings;
    std::string error;
    if (!MakeSettingsValue(config, settings, error)) {
        fprintf(stderr, "error: %s\n", error.c_str());
        return 1;
    }
    driver.setSettingsHandle(settings.get());
    std::vector<std::pair<std::string, std::string>> rows;
    const unsigned count = hvGetCount(settings.get());
    for (unsigned i = 1; i + 1 < count; i += 2) {
        const char *name = "";
        hvGetElementString(settings.get(), i, &name);
        HValue element;
        hvGetElement(settings.get(), i + 1, element.put());
        const unsigned type = hvGetType(element.get());
        rows.emplace_back(name, std::string(TypeName(type)) + " " + ValueToText(element.get()));
    }
    std::sort(rows.begin(), rows.end(),
              [](const auto &a, const auto &b) { return lstrcmpiA(a.first.c_str(), b.first.c_str()) < 0; });
    for (const auto &row : rows) printf("%-34s = %s\n", row.first.c_str(), row.second.c_str());
    return 0;
}

// Shows the driver's settings sheet on the configuration file as a host
// would, and writes the file back only when the user pressed OK.
int Configure(DriverLibrary &driver, const std::string &path, const ConfigFile &config) {
    HValue settings;
    std::string error;
    if (!MakeSettingsValue(config, settings, error)) {
        fprintf(stderr, "error: %s\n", error.c_str());
        return 1;
    }
    driver.setSettingsHandle(settings.get());
    if (driver.driverDialog(nullptr) != 1) {
        printf("%s: cancelled, nothing written\n", path.c_str());
        return 1;
    }
    if (!WriteConfigFile(path, config, settings.get(), error)) {
        fprintf(stderr, "error: %s\n", error.c_str());
        return 1;
    }
    printf("%s: saved\n", path.c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    // A host initialises COM on the threads that call the driver.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::string driverPath = DefaultDriverPath();
    bool showLog = false, followLog = false;
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--driver") == 0 && i + 1 < argc)
            driverPath = argv[++i];
        else if (strcmp(argv[i], "--log") == 0)
            showLog = true;
        else if (strcmp(argv[i], "--follow") == 0)
            followLog = true;
        else
            arguments.push_back(argv[i]);
    }
    if (arguments.empty()) {
        fputs(USAGE, stderr);
        return 2;
    }
    const std::string command = arguments[0];
    if (command == "template") {
        PrintTemplate();
        return 0;
    }
    if (command == "check" && arguments.size() >= 2) return Check(arguments[1]);

    DriverLibrary driver;
    std::string error;
    if (!driver.Load(driverPath, error)) {
        fprintf(stderr, "error: %s\n", error.c_str());
        return 1;
    }
    if (command == "info") {
        PrintInfo(driver);
        return 0;
    }
    if (command == "demo") return Demo(driver);
    if ((command == "settings" || command == "run" || command == "configure") && arguments.size() >= 2) {
        ConfigFile config;
        if (!ReadConfigFile(arguments[1], config, error)) {
            fprintf(stderr, "error: %s\n", error.c_str());
            return 1;
        }
        if (command == "settings") return ShowSettings(driver, config);
        if (command == "configure") return Configure(driver, arguments[1], config);
        return Run(driver, config, std::vector<std::string>(arguments.begin() + 2, arguments.end()), showLog,
                   followLog);
    }
    fprintf(stderr, "error: unknown command or missing argument: %s\n\n", command.c_str());
    fputs(USAGE, stderr);
    return 2;
}
