// quillonbench: times the script driver's request road and script start
// against the same work done directly through Active Scripting, and checks
// that a million requests leave memory and handles where they were. With a
// Modbus TCP server on loopback (and a Modbus RTU slave on a COM port) it
// also times a script's exchange over the driver's link against the bare
// exchange plus one hand-over between two threads, counts serial reads per
// second, and checks memory and handles over many link reads.
//
// The driver is loaded like a host loads it (LoadLibrary, GetProcAddress)
// from beside this program; COM is initialised on the calling thread.
// Winsock's header must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "base/ComUtil.h"
#include "host/DriverLibrary.h"
#include "log/TextFormat.h"
#include "values/HValue.h"

#include <windows.h>
#include <activscp.h>
#include <objbase.h>
#include <oleauto.h>
#include <psapi.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

using namespace quillon;

namespace {

// ---------------------------------------------------------------------------
// Clock and statistics

double Seconds() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}

double Median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const size_t middle = samples.size() / 2;
    return samples.size() % 2 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

// Seconds per call of body, run count times.
double TimePerCall(unsigned count, const std::function<void()> &body) {
    const double start = Seconds();
    for (unsigned i = 0; i < count; ++i) body();
    return (Seconds() - start) / count;
}

[[noreturn]] void Fail(const char *what, HRESULT hr) {
    std::printf("FATAL: %s (%08X)\n", what, static_cast<unsigned>(hr));
    std::fflush(stdout);
    std::exit(2);
}

// ---------------------------------------------------------------------------
// The bare side: the VBScript engine driven directly, with the two smallest
// automation objects that answer the script's Request.N1 and Value.Value.

const CLSID kVBScriptClsid = {0xB54F3741, 0x5B07, 0x11CF, {0xA4, 0xB0, 0x00, 0xAA, 0x00, 0x4A, 0x55, 0xE8}};
const LCID kNeutralLocale = 0x0400;

// A one-member automation object: property get of "N1" or property put of
// "Value" (kept in a VARIANT).
class MinimalArgument : public IDispatch {
public:
    MinimalArgument(const wchar_t *member, long number) : member_(member), number_(number) { VariantInit(&stored_); }
    virtual ~MinimalArgument() { VariantClear(&stored_); }

    STDMETHODIMP QueryInterface(REFIID iid, void **out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch) {
            *out = static_cast<IDispatch *>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP GetTypeInfoCount(UINT *count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo **info) override {
        if (info) *info = nullptr;
        return DISP_E_BADINDEX;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR *names, UINT count, LCID, DISPID *ids) override {
        if (count != 1 || !names || !ids) return E_INVALIDARG;
        if (_wcsicmp(names[0], member_) == 0) {
            ids[0] = 1;
            return S_OK;
        }
        ids[0] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS *params, VARIANT *result, EXCEPINFO *,
                        UINT *) override {
        if (id != 1) return DISP_E_MEMBERNOTFOUND;
        if (flags & DISPATCH_PROPERTYPUT) {
            if (!params || params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
            return VariantCopyInd(&stored_, &params->rgvarg[0]);
        }
        if (!result) return E_POINTER;
        VariantInit(result);
        result->vt = VT_I4;
        result->lVal = number_;
        return S_OK;
    }

    const VARIANT &Stored() const { return stored_; }

private:
    ULONG refs_ = 1;
    const wchar_t *member_;
    long number_;
    VARIANT stored_;
};

// The least site the engine accepts.
class MinimalSite : public IActiveScriptSite {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void **out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == __uuidof(IActiveScriptSite)) {
            *out = static_cast<IActiveScriptSite *>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetLCID(LCID *) override { return E_NOTIMPL; }
    STDMETHODIMP GetItemInfo(LPCOLESTR, DWORD, IUnknown **item, ITypeInfo **info) override {
        if (item) *item = nullptr;
        if (info) *info = nullptr;
        return TYPE_E_ELEMENTNOTFOUND;
    }
    STDMETHODIMP GetDocVersionString(BSTR *) override { return E_NOTIMPL; }
    STDMETHODIMP OnScriptTerminate(const VARIANT *, const EXCEPINFO *) override { return S_OK; }
    STDMETHODIMP OnStateChange(SCRIPTSTATE) override { return S_OK; }
    STDMETHODIMP OnScriptError(IActiveScriptError *) override { return S_OK; }
    STDMETHODIMP OnEnterScript() override { return S_OK; }
    STDMETHODIMP OnLeaveScript() override { return S_OK; }
};

MinimalSite site;

class BareEngine {
public:
    BareEngine() {
        HRESULT hr = CoCreateInstance(kVBScriptClsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IActiveScript),
                                      script_.put_void());
        if (FAILED(hr)) Fail("cannot create the VBScript engine", hr);
        hr = script_->QueryInterface(__uuidof(IActiveScriptParse), parse_.put_void());
        if (SUCCEEDED(hr)) hr = script_->SetScriptSite(&site);
        if (SUCCEEDED(hr)) hr = parse_->InitNew();
        if (FAILED(hr)) Fail("cannot set up the VBScript engine", hr);
    }
    ~BareEngine() {
        dispatch_.reset();
        script_->Close();
    }
    BareEngine(const BareEngine &) = delete;
    BareEngine &operator=(const BareEngine &) = delete;

    HRESULT Parse(const std::wstring &text) {
        BSTR code = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        EXCEPINFO exception = {};
        const HRESULT hr = parse_->ParseScriptText(code, nullptr, nullptr, nullptr, 0, 0, 0, nullptr, &exception);
        SysFreeString(code);
        return hr;
    }
    void Connect(const wchar_t *procedure) {
        HRESULT hr = script_->SetScriptState(SCRIPTSTATE_CONNECTED);
        if (SUCCEEDED(hr)) hr = script_->GetScriptDispatch(nullptr, dispatch_.put());
        LPOLESTR names[] = {const_cast<LPOLESTR>(procedure)};
        if (SUCCEEDED(hr)) hr = dispatch_->GetIDsOfNames(IID_NULL, names, 1, kNeutralLocale, &procedure_);
        if (FAILED(hr)) Fail("cannot connect the bare script", hr);
    }
    // One call of the procedure with fresh Request and Value objects,
    // passed by reference like the driver passes its own.
    long Call(long n1) {
        VARIANT arguments[2];
        auto *request = new MinimalArgument(L"N1", n1);
        auto *value = new MinimalArgument(L"Value", 0);
        arguments[0].vt = VT_DISPATCH;
        arguments[0].pdispVal = request;
        arguments[1].vt = VT_DISPATCH;
        arguments[1].pdispVal = value;
        VARIANT references[2];
        references[0].vt = VT_BYREF | VT_VARIANT;
        references[0].pvarVal = &arguments[1];
        references[1].vt = VT_BYREF | VT_VARIANT;
        references[1].pvarVal = &arguments[0];
        DISPPARAMS params = {references, nullptr, 2, 0};
        const HRESULT hr =
            dispatch_->Invoke(procedure_, IID_NULL, kNeutralLocale, DISPATCH_METHOD, &params, nullptr, nullptr,
                              nullptr);
        if (FAILED(hr)) Fail("the bare call failed", hr);
        const long answer = value->Stored().vt == VT_I4 ? value->Stored().lVal
                            : value->Stored().vt == VT_I2 ? value->Stored().iVal
                                                          : -1;
        VariantClear(&arguments[0]);
        VariantClear(&arguments[1]);
        return answer;
    }

private:
    ComPtr<IActiveScript> script_;
    ComPtr<IActiveScriptParse> parse_;
    ComPtr<IDispatch> dispatch_;
    DISPID procedure_ = DISPID_UNKNOWN;
};

// ---------------------------------------------------------------------------
// The driver side

const char kReadScript[] =
    "Sub OnRead(Request, Value)\r\n"
    "    Value.Value = Request.N1 * 2\r\n"
    "End Sub\r\n";

// A script of exactly lines lines: filler functions of linesPerFunction
// lines each, then OnRead.
std::string LongScript(unsigned lines, unsigned linesPerFunction) {
    std::string text;
    const unsigned readLines = 3;
    const unsigned frameLines = 4;  // Function, Dim, the result, End Function
    const unsigned functions = (lines - readLines) / linesPerFunction;
    char buffer[256];
    for (unsigned i = 0; i < functions; ++i) {
        std::snprintf(buffer, sizeof buffer, "Function Filler%u(a, b)\r\n    Dim x\r\n", i);
        text += buffer;
        for (unsigned k = frameLines; k < linesPerFunction; ++k) {
            std::snprintf(buffer, sizeof buffer, "    x = a * %u + b - Len(\"text %u\")\r\n", (i + k) % 97, i);
            text += buffer;
        }
        std::snprintf(buffer, sizeof buffer, "    Filler%u = x\r\nEnd Function\r\n", i);
        text += buffer;
    }
    for (unsigned i = functions * linesPerFunction + readLines; i < lines; ++i) text += "' filler\r\n";
    text += kReadScript;
    return text;
}

std::wstring Wide(const std::string &text) { return std::wstring(text.begin(), text.end()); }

// One configuration parameter: a text, or a number when text is null.
struct Parameter {
    const char *name;
    const char *text;
    int32_t number;
};

HValue MakeSettings(const std::vector<Parameter> &parameters) {
    HValue settings = HValue::Create();
    hvSetType(settings.get(), HV_ARRAY | HV_HVAL, static_cast<unsigned>(1 + 2 * parameters.size()));
    hvSetElementString(settings.get(), 0, "Generic Config Data v1.00");
    unsigned index = 1;
    for (const Parameter &parameter : parameters) {
        hvSetElementString(settings.get(), index++, parameter.name);
        if (parameter.text)
            hvSetElementString(settings.get(), index++, parameter.text);
        else
            hvSetElementI32(settings.get(), index++, parameter.number);
    }
    return settings;
}

HValue MakeSettings(const std::string &script, bool log, const std::string &logFile) {
    return MakeSettings({{"IO.Type", "None", 0},
                         {"IO.Log.Filename", logFile.c_str(), 0},
                         {"VBScript.Code", script.c_str(), 0},
                         {"IO.Log.Enable", nullptr, log ? 1 : 0}});
}

class Driver {
public:
    explicit Driver(DriverLibrary &library) : library_(library), value_(HValue::Create()) {}

    void Start(const std::string &script, bool log, const std::string &logFile) {
        HValue settings = MakeSettings(script, log, logFile);
        library_.setSettingsHandle(settings.get());
        if (library_.startComm(0, 0, 0, 0) != 1) Fail("drvStartComm failed", E_FAIL);
        Validate();
    }
    // Only drvStartComm, timed; the settings are handed over before.
    double TimedStart(const std::string &script) {
        HValue settings = MakeSettings(script, false, std::string());
        library_.setSettingsHandle(settings.get());
        const double start = Seconds();
        const short result = library_.startComm(0, 0, 0, 0);
        const double elapsed = Seconds() - start;
        if (result != 1) Fail("drvStartComm of the long script failed", E_FAIL);
        return elapsed;
    }
    // Starts on a link: the script's reads fail until it is connected.
    void StartLinked(const std::vector<Parameter> &parameters) {
        HValue settings = MakeSettings(parameters);
        library_.setSettingsHandle(settings.get());
        if (library_.startComm(0, 0, 0, 0) != 1) Fail("drvStartComm on the link failed", E_FAIL);
        Validate();
    }
    void Stop() { library_.stopComm(0, 0, 0, 0); }

    long Read() {
        if (library_.io(&request_, value_.get()) != 1) Fail("drvIO failed", E_FAIL);
        int32_t answer = -1;
        hvGetI32(value_.get(), &answer);
        return answer;
    }
    bool TryRead() { return library_.io(&request_, value_.get()) == 1; }
    HVALUE Value() const { return value_.get(); }

private:
    void Validate() {
        IIODriverInstance *driver = nullptr;
        if (library_.getDriverObject(&driver) != 1) Fail("drvGetDriverObject failed", E_FAIL);
        ComPtr<IIODriverInstance> instance = ComPtr<IIODriverInstance>::Attach(driver);
        ComPtr<IIOParseTag> parser;
        HRESULT hr = instance->QueryInterface(__uuidof(IIOParseTag), parser.put_void());
        TagInfo info = {};
        info.n1 = 21;
        if (SUCCEEDED(hr)) hr = parser->Validate(L"", kItem, &info);
        if (FAILED(hr)) Fail("Validate failed", hr);
        request_ = DriverRequest{};
        request_.version = REQUEST_VERSION_CURRENT;
        request_.operation = OP_READ_VALUE;
        request_.elementCount = 1;
        request_.blockSize = 1;
        request_.n1 = info.n1;
        request_.n2 = info.n2;
        request_.n3 = info.n3;
        request_.n4 = info.n4;
        request_.value = value_.get();
        request_.flags = REQUEST_FLAG_VALIDATED;
        request_.tagObject = info.tagObject;
        request_.paramItem = kItem;
    }

    static constexpr const wchar_t *kItem = L"Bench";
    DriverLibrary &library_;
    HValue value_;
    DriverRequest request_{};
};

// ---------------------------------------------------------------------------
// Process figures

// Wine answers PrivateUsage with the process's swap use and the handle
// count with 0, so both are also found out directly: committed private
// pages by walking the address space, open handles by asking for each
// handle value in turn.
struct ProcessFigures {
    SIZE_T privateUsage;
    DWORD handleCount;
    SIZE_T committedPrivate;
    DWORD openHandles;
};

SIZE_T CommittedPrivateBytes() {
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char *address = nullptr; VirtualQuery(address, &region, sizeof region) == sizeof region;
         address = static_cast<const char *>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    }
    return total;
}

DWORD OpenHandles() {
    constexpr uintptr_t kHighestHandle = 0x10000;
    DWORD count = 0;
    for (uintptr_t value = 4; value < kHighestHandle; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

ProcessFigures Measure() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                         sizeof counters);
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    return {counters.PrivateUsage, handles, CommittedPrivateBytes(), OpenHandles()};
}

// ---------------------------------------------------------------------------
// Report

struct Row {
    std::string figure;
    std::string measured;
    std::string target;
    bool pass;
    // False for figures shown for comparison only.
    bool targeted = true;
};

std::vector<Row> rows;

std::string Format(const char *format, ...) __attribute__((format(ms_printf, 1, 2)));
std::string Format(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string text = FormatTextV(format, arguments);
    va_end(arguments);
    return text;
}

std::string TempFile(const char *prefix) {
    char directory[MAX_PATH];
    char path[MAX_PATH];
    GetTempPathA(MAX_PATH, directory);
    GetTempFileNameA(directory, prefix, 0, path);
    return path;
}

// Seconds per WriteFile of a log line's length to a file opened for
// appending, as the log opens its file.
double AppendSeconds(unsigned count) {
    const std::string path = TempFile("qla");
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) Fail("cannot open a file to append to", HRESULT_FROM_WIN32(GetLastError()));
    const char line[] = "\r\n08/12/2026 14:03:07.250 (0A1C) TAG\t<== (0.000) Tag('Bench').ReadValue = "
                        "(14:03:07.250) 42";
    const double seconds = TimePerCall(count, [&] {
        DWORD written = 0;
        WriteFile(file, line, sizeof line - 1, &written, nullptr);
    });
    CloseHandle(file);
    DeleteFileA(path.c_str());
    return seconds;
}

constexpr unsigned kRepetitions = 7;
constexpr double kBatchSeconds = 0.25;
constexpr unsigned kMillion = 1000000;
constexpr SIZE_T kMemorySlack = 1024 * 1024;
constexpr DWORD kHandleSlack = 2;

// Rows of memory and handles that must not grow by more than their slack.
Row MemoryRow(const std::string &figure, SIZE_T before, SIZE_T after) {
    auto kilobytes = [](SIZE_T bytes) { return static_cast<unsigned long>(bytes / 1024); };
    return {figure, Format("%lu KB / %lu KB", kilobytes(before), kilobytes(after)),
            Format("growth <= %lu KB", kilobytes(kMemorySlack)), after <= before + kMemorySlack};
}
Row HandleRow(const std::string &figure, DWORD before, DWORD after) {
    return {figure, Format("%lu / %lu", static_cast<unsigned long>(before), static_cast<unsigned long>(after)),
            Format("growth <= %lu", static_cast<unsigned long>(kHandleSlack)), after <= before + kHandleSlack};
}

// Calls per batch so that one batch takes about kBatchSeconds.
unsigned BatchSize(double secondsPerCall) {
    const double calls = kBatchSeconds / secondsPerCall;
    return static_cast<unsigned>(std::max(1000.0, std::min(calls, 200000.0)));
}

// ---------------------------------------------------------------------------
// Reads over the driver's link

// Modbus TCP: read 10 holding registers from 0 of unit 1 (transaction 1).
// The answer repeats the header with its own length, then function 3, 20
// bytes of data: registers 0x1000 to 0x1009 on the bench's server.
const BYTE kTcpRequest[12] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
constexpr int kTcpAnswerLength = 29;
constexpr unsigned kRegisterCount = 10;
constexpr int32_t kFirstRegister = 0x1000;

// The same exchange in a script: the request is built once, each read sends
// it, checks the answer's header and puts the registers into the value.
// With stored, the answer is a copy kept since the start instead: the
// script's own share of a read. The registers' array is the script's own,
// not the procedure's: Wine's engine loses a procedure's fixed-size array
// (Dim a(9)) on every call, about 250 bytes, which figure 7 would count.
std::string TcpScript(bool stored) {
    return std::string("Dim L, Ask, Stored, registers(9)\r\n"
                       "Sub OnStart\r\n"
                       "    Set L = QuillonLink\r\n"
                       "    Ask = L.Bytes(\"00 01 00 00 00 06 01 03 00 00 00 0A\")\r\n"
                       "    Stored = L.Bytes(\"00 01 00 00 00 17 01 03 14 10 00 10 01 10 02 10 03 10 04 "
                       "10 05 10 06 10 07 10 08 10 09\")\r\n"
                       "End Sub\r\n"
                       "Sub OnRead(Request, Value)\r\n"
                       "    Dim answer, i\r\n"
                       "    answer = ") +
           (stored ? "Stored" : "L.Transact(Ask, 29)") +
           "\r\n"
           "    If answer(0) <> 0 Or answer(1) <> 1 Or answer(7) <> 3 Or answer(8) <> 20 Then\r\n"
           "        Request.FailRequest\r\n"
           "        Exit Sub\r\n"
           "    End If\r\n"
           "    For i = 0 To 9\r\n"
           "        registers(i) = L.GetUInt16(answer, 9 + 2 * i)\r\n"
           "    Next\r\n"
           "    Value.Value = registers\r\n"
           "End Sub\r\n";
}

// Modbus RTU: the same read of unit 1 with its CRC; the answer is unit,
// function, byte count, 20 bytes of data and the CRC: 25 bytes.
const char kRtuScript[] =
    "Dim L, Ask, registers(9)\r\n"
    "Sub OnStart\r\n"
    "    Set L = QuillonLink\r\n"
    "    Ask = L.Bytes(\"01 03 00 00 00 0A C5 CD\")\r\n"
    "End Sub\r\n"
    "Sub OnRead(Request, Value)\r\n"
    "    Dim answer, i\r\n"
    "    answer = L.Transact(Ask, 25)\r\n"
    "    If L.Crc16(answer) <> 0 Or answer(1) <> 3 Or answer(2) <> 20 Then\r\n"
    "        Request.FailRequest\r\n"
    "        Exit Sub\r\n"
    "    End If\r\n"
    "    For i = 0 To 9\r\n"
    "        registers(i) = L.GetUInt16(answer, 3 + 2 * i)\r\n"
    "    Next\r\n"
    "    Value.Value = registers\r\n"
    "End Sub\r\n";

// How long a link may take to connect and answer its first read.
constexpr double kConnectSeconds = 20;

struct WinsockUse {
    WinsockUse() {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockUse() {
        if (started) WSACleanup();
    }
    bool started = false;
};

// The least client of the same exchange: one blocking socket, connected
// once, then a send of the request and receives until the whole answer.
class BareModbusClient {
public:
    explicit BareModbusClient(uint16_t port) {
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (socket_ == INVALID_SOCKET) Fail("cannot make a socket", HRESULT_FROM_WIN32(WSAGetLastError()));
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            Fail("cannot connect to the Modbus TCP server", HRESULT_FROM_WIN32(WSAGetLastError()));
        // As the driver's socket does: every frame leaves at once.
        const BOOL on = TRUE;
        setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
    }
    ~BareModbusClient() { closesocket(socket_); }
    BareModbusClient(const BareModbusClient &) = delete;
    BareModbusClient &operator=(const BareModbusClient &) = delete;

    void Exchange() {
        if (send(socket_, reinterpret_cast<const char *>(kTcpRequest), sizeof kTcpRequest, 0) != sizeof kTcpRequest)
            Fail("the bare send failed", HRESULT_FROM_WIN32(WSAGetLastError()));
        int got = 0;
        while (got < kTcpAnswerLength) {
            const int count = recv(socket_, answer_ + got, kTcpAnswerLength - got, 0);
            if (count <= 0) Fail("the bare receive failed", HRESULT_FROM_WIN32(WSAGetLastError()));
            got += count;
        }
        if (answer_[7] != 3 || answer_[8] != 2 * kRegisterCount) Fail("the server's answer is not a read", E_FAIL);
    }
    // Register i of the last answer.
    int32_t Register(unsigned i) const {
        return (static_cast<BYTE>(answer_[9 + 2 * i]) << 8) | static_cast<BYTE>(answer_[10 + 2 * i]);
    }

private:
    SOCKET socket_ = INVALID_SOCKET;
    char answer_[kTcpAnswerLength] = {};
};

// One thread signals an event, the other waits for it and signals back:
// what handing a transaction to the link thread and waiting for its end
// costs at least.
class HandOver {
public:
    HandOver()
        : go_(CreateEventW(nullptr, FALSE, FALSE, nullptr)), back_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
        if (!go_.valid() || !back_.valid()) Fail("cannot make events", HRESULT_FROM_WIN32(GetLastError()));
        thread_.reset(CreateThread(nullptr, 0, Answer, this, 0, nullptr));
        if (!thread_.valid()) Fail("cannot start a thread", HRESULT_FROM_WIN32(GetLastError()));
    }
    ~HandOver() {
        InterlockedExchange(&stop_, 1);
        SetEvent(go_.get());
        WaitForSingleObject(thread_.get(), INFINITE);
    }
    HandOver(const HandOver &) = delete;
    HandOver &operator=(const HandOver &) = delete;

    void RoundTrip() {
        SetEvent(go_.get());
        WaitForSingleObject(back_.get(), INFINITE);
    }

private:
    static DWORD WINAPI Answer(void *self) {
        auto &handOver = *static_cast<HandOver *>(self);
        for (;;) {
            WaitForSingleObject(handOver.go_.get(), INFINITE);
            if (handOver.stop_) return 0;
            SetEvent(handOver.back_.get());
        }
    }

    UniqueHandle go_;
    UniqueHandle back_;
    UniqueHandle thread_;
    volatile LONG stop_ = 0;
};

// Starts the driver on the link and waits until a read succeeds; false when
// none does within kConnectSeconds.
bool StartOnLink(Driver &driver, const std::vector<Parameter> &parameters) {
    driver.StartLinked(parameters);
    const double deadline = Seconds() + kConnectSeconds;
    while (!driver.TryRead()) {
        if (Seconds() > deadline) return false;
        Sleep(5);
    }
    return true;
}

// The registers of the read that just ended, as the script put them in
// the tag's value.
bool HoldsTheRegisters(HVALUE value) {
    if (hvGetCount(value) != kRegisterCount) return false;
    for (unsigned i = 0; i < kRegisterCount; ++i) {
        int32_t number = -1;
        if (!hvGetElementI32(value, i, &number) || number != kFirstRegister + static_cast<int32_t>(i)) return false;
    }
    return true;
}

// Reads a port number from an argument or the environment: 0 when not
// given, and a clear end when not a number from 1 to limit.
unsigned PortNumber(const char *text, const char *what, unsigned limit) {
    if (!text || !*text) return 0;
    char *end = nullptr;
    const unsigned long number = std::strtoul(text, &end, 10);
    if (*end || number == 0 || number > limit) {
        std::printf("FATAL: %s must be a number from 1 to %u, not \"%s\"\n", what, limit, text);
        std::exit(2);
    }
    return static_cast<unsigned>(number);
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    // Figures to measure: the numbers given on the command line, else all.
    // The Modbus TCP server's port and the COM port of the Modbus RTU slave
    // come from options or the environment.
    constexpr int kFigures = 7;
    std::vector<int> figures;
    unsigned tcpPort = PortNumber(std::getenv("QUILLON_MODBUS_PORT"), "QUILLON_MODBUS_PORT", 65535);
    unsigned comPort = PortNumber(std::getenv("QUILLON_MODBUS_COM"), "QUILLON_MODBUS_COM", 255);
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--modbus-port=", 0) == 0) {
            tcpPort = PortNumber(argv[i] + 14, "--modbus-port", 65535);
        } else if (argument.rfind("--modbus-com=", 0) == 0) {
            comPort = PortNumber(argv[i] + 13, "--modbus-com", 255);
        } else {
            const int figure = std::atoi(argv[i]);
            if (figure < 1 || figure > kFigures || argument != std::to_string(figure)) {
                std::printf("usage: quillonbench [--modbus-port=PORT] [--modbus-com=N] [FIGURE 1-%d ...]\n"
                            "unknown argument \"%s\"\n",
                            kFigures, argv[i]);
                return 2;
            }
            figures.push_back(figure);
        }
    }
    auto wanted = [&](int figure) {
        return figures.empty() || std::find(figures.begin(), figures.end(), figure) != figures.end();
    };
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    DriverLibrary library;
    std::string error;
    if (!library.Load("Quillon.dll", error)) {
        std::printf("FATAL: %s\n", error.c_str());
        return 2;
    }
    std::printf("quillonbench: %s, %d-bit build, medians of %u repetitions\n", library.getDriverName(),
                static_cast<int>(sizeof(void *) * 8), kRepetitions);
    if (sizeof(void *) == 8)
        std::printf("(the 64-bit build under 64-bit Wine: this machine cannot run the shipped 32-bit build)\n");
    const std::string logFile = TempFile("qlb");
    Driver driver(library);

    driver.Start(kReadScript, false, logFile);
    if (driver.Read() != 42) Fail("the driver's script does not answer 42", E_FAIL);
    const unsigned batch = BatchSize(TimePerCall(2000, [&] { driver.Read(); }));

    // 1. drvIO read through the driver against the bare call.
    if (wanted(1)) {
        BareEngine bare;
        if (FAILED(bare.Parse(Wide(kReadScript)))) Fail("the bare script does not compile", E_FAIL);
        bare.Connect(L"OnRead");
        if (bare.Call(21) != 42) Fail("the bare script does not answer 42", E_FAIL);
        std::vector<double> driverTimes, bareTimes;
        for (unsigned rep = 0; rep < kRepetitions; ++rep) {
            driverTimes.push_back(TimePerCall(batch, [&] { driver.Read(); }));
            bareTimes.push_back(TimePerCall(batch, [&] { bare.Call(21); }));
        }
        const double driverRead = Median(driverTimes);
        const double bareCall = Median(bareTimes);
        const double readRatio = driverRead / bareCall;
        std::printf("1. %u calls per batch: drvIO read %.2f us, bare Invoke %.2f us\n", batch, driverRead * 1e6,
                    bareCall * 1e6);
        rows.push_back({"drvIO read / bare Invoke (log off)",
                        Format("%.2f us / %.2f us = %.2f", driverRead * 1e6, bareCall * 1e6, readRatio), "<= 1.10",
                        readRatio <= 1.1});
    }

    // 2. Trace log on against off, alternating restarts.
    if (wanted(2)) {
        std::vector<double> offTimes, onTimes, appendTimes;
        for (unsigned rep = 0; rep < kRepetitions; ++rep) {
            driver.Start(kReadScript, false, logFile);
            driver.Read();
            offTimes.push_back(TimePerCall(batch, [&] { driver.Read(); }));
            driver.Start(kReadScript, true, logFile);
            driver.Read();
            onTimes.push_back(TimePerCall(batch, [&] { driver.Read(); }));
            DeleteFileA(logFile.c_str());
            appendTimes.push_back(AppendSeconds(batch));
        }
        driver.Stop();
        DeleteFileA(logFile.c_str());
        const double logOff = Median(offTimes);
        const double logOn = Median(onTimes);
        const double logRatio = logOn / logOff;
        // Each logged message reaches the file at once, and a read logs two
        // (its "Run" line and its TAG line): two appends, timed in the same
        // repetitions, are what the platform charges for them.
        const double append = Median(appendTimes);
        const double floor = logOff + 2 * append;
        const double overFloor = logOn / floor;
        std::printf("2. request with log on %.2f us, off %.2f us; one append to a file %.2f us\n", logOn * 1e6,
                    logOff * 1e6, append * 1e6);
        rows.push_back({"request, log on / (log off + two bare appends)",
                        Format("%.2f us / %.2f us = %.2f", logOn * 1e6, floor * 1e6, overFloor), "<= 1.20",
                        overFloor <= 1.2});
        rows.push_back({"request, log on / log off",
                        Format("%.2f us / %.2f us = %.2f", logOn * 1e6, logOff * 1e6, logRatio), "(comparison)",
                        true, false});
    }

    // 3. A million requests: private bytes and handles before and after.
    if (wanted(3)) {
        driver.Start(kReadScript, false, logFile);
        const double throughput = 1.0 / TimePerCall(10000, [&] { driver.Read(); });
        std::printf("3. %.0f requests/s: one million take about %.0f s\n", throughput, kMillion / throughput);
        const ProcessFigures before = Measure();
        const double millionStart = Seconds();
        for (unsigned i = 0; i < kMillion; ++i) driver.Read();
        const double millionSeconds = Seconds() - millionStart;
        const ProcessFigures after = Measure();
        driver.Stop();
        std::printf("   one million requests took %.1f s\n", millionSeconds);
        rows.push_back(MemoryRow("PrivateUsage before / after 1M requests", before.privateUsage, after.privateUsage));
        rows.push_back(
            MemoryRow("committed private pages before / after", before.committedPrivate, after.committedPrivate));
        rows.push_back(HandleRow("GetProcessHandleCount before / after", before.handleCount, after.handleCount));
        rows.push_back(HandleRow("open handles before / after", before.openHandles, after.openHandles));
    }

    // 4. Start with a 5,000-line script against a bare parse in a fresh
    // engine: a script of 100 procedures, and one of 1,000 small functions.
    if (wanted(4)) {
        // The engine runs the script's global code, which declares the
        // procedures, only when connected, and the driver must connect before
        // the script can answer. Wine's engine takes long to declare many
        // procedures: for 1,000 small functions connecting costs several
        // times the parse, so there the fair bare figure is parse + connect.
        struct Shape {
            const char *name;
            unsigned linesPerFunction;
            bool parseIsTheMeasure;
        };
        const Shape shapes[] = {{"100 x 50 lines", 50, true}, {"1,000 x 5 lines", 5, false}};
        for (const Shape &shape : shapes) {
            const std::string longScript = LongScript(5000, shape.linesPerFunction);
            const std::wstring longWide = Wide(longScript);
            std::vector<double> startTimes, parseTimes, connectTimes, readyTimes;
            for (unsigned rep = 0; rep < kRepetitions; ++rep) {
                startTimes.push_back(driver.TimedStart(longScript));
                driver.Stop();
                BareEngine fresh;
                const double start = Seconds();
                const HRESULT parsed = fresh.Parse(longWide);
                parseTimes.push_back(Seconds() - start);
                if (FAILED(parsed)) Fail("the long script does not compile", parsed);
                const double connect = Seconds();
                fresh.Connect(L"OnRead");
                connectTimes.push_back(Seconds() - connect);
                readyTimes.push_back(Seconds() - start);
            }
            const double startComm = Median(startTimes);
            const double parse = Median(parseTimes);
            const double ready = Median(readyTimes);
            std::printf("4. %s: drvStartComm %.2f ms, bare ParseScriptText %.2f ms (then connecting it %.2f ms)\n",
                        shape.name, startComm * 1e3, parse * 1e3, Median(connectTimes) * 1e3);
            const double startRatio = startComm / parse;
            const double readyRatio = startComm / ready;
            Row parseRow{Format("drvStartComm / bare parse, %s", shape.name),
                         Format("%.2f ms / %.2f ms = %.2f", startComm * 1e3, parse * 1e3, startRatio), "<= 1.20",
                         startRatio <= 1.2};
            if (!shape.parseIsTheMeasure) {
                parseRow.target = "(comparison)";
                parseRow.targeted = false;
            }
            rows.push_back(parseRow);
            rows.push_back({Format("drvStartComm / bare parse + connect, %s", shape.name),
                            Format("%.2f ms / %.2f ms = %.2f", startComm * 1e3, ready * 1e3, readyRatio), "<= 1.20",
                            readyRatio <= 1.2});
        }
    }
    driver.Stop();

    WinsockUse winsock;
    if (!winsock.started) Fail("Winsock does not start", E_FAIL);
    const std::string tcpScript = TcpScript(false);
    const std::vector<Parameter> tcpLink = {{"IO.Type", "Ethernet", 0},
                                            {"IO.Ethernet.MainIP", "127.0.0.1", 0},
                                            {"IO.Ethernet.MainPort", nullptr, static_cast<int32_t>(tcpPort)},
                                            {"IO.Log.Enable", nullptr, 0},
                                            {"IO.Log.Filename", logFile.c_str(), 0},
                                            {"VBScript.Code", tcpScript.c_str(), 0}};
    const char *const noServer = "skipped: no Modbus TCP server (QUILLON_MODBUS_PORT or --modbus-port)";

    // 5. A Modbus TCP read through the script and the link against the bare
    // exchange plus one hand-over between two threads. The server serves one
    // client at a time: the bare client and the driver take turns.
    if (wanted(5) && !tcpPort) {
        std::printf("5. %s\n", noServer);
        rows.push_back({"Modbus TCP read / (bare exchange + hand-over)", noServer, "<= 1.30", true, false});
    } else if (wanted(5)) {
        {
            BareModbusClient probe(static_cast<uint16_t>(tcpPort));
            probe.Exchange();
            for (unsigned i = 0; i < kRegisterCount; ++i)
                if (probe.Register(i) != kFirstRegister + static_cast<int32_t>(i))
                    Fail("the server does not hold 0x1000 + i in register i", E_FAIL);
        }
        if (!StartOnLink(driver, tcpLink)) Fail("the driver's link to the Modbus TCP server never answered", E_FAIL);
        if (!HoldsTheRegisters(driver.Value())) Fail("the driver's read does not give the ten registers", E_FAIL);
        const unsigned linkBatch = std::max(200u, BatchSize(TimePerCall(200, [&] { driver.Read(); })) / 10);
        driver.Stop();
        HandOver handOver;
        std::vector<double> bareTimes, handTimes, driverTimes;
        for (unsigned rep = 0; rep < kRepetitions; ++rep) {
            {
                BareModbusClient bare(static_cast<uint16_t>(tcpPort));
                for (unsigned i = 0; i < 20; ++i) bare.Exchange();
                bareTimes.push_back(TimePerCall(linkBatch, [&] { bare.Exchange(); }));
            }
            handTimes.push_back(TimePerCall(linkBatch, [&] { handOver.RoundTrip(); }));
            if (!StartOnLink(driver, tcpLink)) Fail("the driver's link did not come back", E_FAIL);
            for (unsigned i = 0; i < 20; ++i) driver.Read();
            driverTimes.push_back(TimePerCall(linkBatch, [&] { driver.Read(); }));
            driver.Stop();
        }
        // The script's share: the same read with the answer taken from a
        // copy, on no link.
        driver.Start(TcpScript(true), false, logFile);
        if (!driver.TryRead() || !HoldsTheRegisters(driver.Value()))
            Fail("the script does not read the stored answer", E_FAIL);
        const unsigned scriptBatch = BatchSize(TimePerCall(200, [&] { driver.Read(); }));
        std::vector<double> scriptTimes;
        for (unsigned rep = 0; rep < kRepetitions; ++rep)
            scriptTimes.push_back(TimePerCall(scriptBatch, [&] { driver.Read(); }));
        driver.Stop();
        const double scriptShare = Median(scriptTimes);
        const double bareExchange = Median(bareTimes);
        const double hand = Median(handTimes);
        const double linkRead = Median(driverTimes);
        const double floor = bareExchange + hand;
        const double linkRatio = linkRead / floor;
        std::printf("5. %u calls per batch: Modbus TCP read through the driver %.1f us, bare exchange %.1f us, "
                    "hand-over %.1f us; the same read from a stored answer %.1f us\n",
                    linkBatch, linkRead * 1e6, bareExchange * 1e6, hand * 1e6, scriptShare * 1e6);
        rows.push_back({"Modbus TCP read / (bare exchange + hand-over)",
                        Format("%.1f us / (%.1f + %.1f) us = %.2f", linkRead * 1e6, bareExchange * 1e6, hand * 1e6,
                               linkRatio),
                        "<= 1.30", linkRatio <= 1.3});
        rows.push_back({"the same read from a stored answer, no link", Format("%.1f us", scriptShare * 1e6),
                        "(comparison)", true, false});
    }

    // 6. Modbus RTU reads per second over the serial rig.
    if (wanted(6) && !comPort) {
        const char *why = "skipped: no Modbus RTU slave (QUILLON_MODBUS_COM or --modbus-com)";
        std::printf("6. %s\n", why);
        rows.push_back({"Modbus RTU reads/s over a pseudo-terminal", why, "(comparison)", true, false});
    } else if (wanted(6)) {
        const std::vector<Parameter> serialLink = {{"IO.Type", "Serial", 0},
                                                   {"IO.Serial.Port", nullptr, static_cast<int32_t>(comPort)},
                                                   {"IO.Serial.Baudrate", nullptr, 9600},
                                                   {"IO.Log.Enable", nullptr, 0},
                                                   {"IO.Log.Filename", logFile.c_str(), 0},
                                                   {"VBScript.Code", kRtuScript, 0}};
        if (!StartOnLink(driver, serialLink)) Fail("the Modbus RTU slave never answered through the driver", E_FAIL);
        if (!HoldsTheRegisters(driver.Value())) Fail("the driver's RTU read does not give the ten registers", E_FAIL);
        const unsigned serialBatch = std::max(100u, BatchSize(TimePerCall(50, [&] { driver.Read(); })) / 50);
        std::vector<double> serialTimes;
        for (unsigned rep = 0; rep < kRepetitions; ++rep)
            serialTimes.push_back(TimePerCall(serialBatch, [&] { driver.Read(); }));
        driver.Stop();
        const double serialRead = Median(serialTimes);
        std::printf("6. %u reads per batch on COM%u: %.0f reads/s, %.1f us each\n", serialBatch, comPort,
                    1.0 / serialRead, serialRead * 1e6);
        rows.push_back({"Modbus RTU reads/s over a pseudo-terminal",
                        Format("%.0f/s (%.0f frames/s), %.1f us each", 1.0 / serialRead, 2.0 / serialRead,
                               serialRead * 1e6),
                        "(comparison)", true, false});
    }

    // 7. Many Modbus TCP reads: memory and handles before and after.
    constexpr unsigned kLinkReads = 100000;
    if (wanted(7) && !tcpPort) {
        std::printf("7. %s\n", noServer);
        rows.push_back({"committed private pages before / after 100k TCP reads", noServer, "", true, false});
        rows.push_back({"open handles before / after 100k TCP reads", noServer, "", true, false});
    } else if (wanted(7)) {
        if (!StartOnLink(driver, tcpLink)) Fail("the driver's link to the Modbus TCP server never answered", E_FAIL);
        for (unsigned i = 0; i < 2000; ++i) driver.Read();
        const ProcessFigures before = Measure();
        const double readsStart = Seconds();
        for (unsigned i = 0; i < kLinkReads; ++i) driver.Read();
        const double readsSeconds = Seconds() - readsStart;
        const ProcessFigures after = Measure();
        if (!HoldsTheRegisters(driver.Value())) Fail("the last read does not give the ten registers", E_FAIL);
        driver.Stop();
        std::printf("7. %u Modbus TCP reads took %.1f s (%.1f us each)\n", kLinkReads, readsSeconds,
                    readsSeconds / kLinkReads * 1e6);
        rows.push_back(MemoryRow("committed private pages before / after 100k TCP reads", before.committedPrivate,
                                 after.committedPrivate));
        rows.push_back(HandleRow("open handles before / after 100k TCP reads", before.openHandles, after.openHandles));
    }

    std::printf("\n%-52s %-36s %-18s %s\n", "Figure", "Measured", "Target", "Result");
    bool all = true;
    for (const Row &row : rows) {
        std::printf("%-52s %-36s %-18s %s\n", row.figure.c_str(), row.measured.c_str(), row.target.c_str(),
                    !row.targeted ? "-" : row.pass ? "PASS" : "MISS");
        all = all && (row.pass || !row.targeted);
    }
    std::printf("\n%s\n", all ? "All targets met." : "Some targets missed.");

    library.Unload();
    CoUninitialize();
    return all ? 0 : 1;
}
