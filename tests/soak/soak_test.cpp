// The soak: two drivers in one host process, one on the Ethernet link to a
// hostile peer on loopback and one on the serial rig, each read by two host
// threads while the far ends cycle through their faults, the drivers are
// stopped and started every few seconds and the link tags are written.
// Every request must come back within its time-out plus a second, every
// stop within two seconds, each fault must leave its line in the log, and
// the process's threads, handles and committed memory must come back to
// where they were. The counts are the program's last lines.
//
// QUILLON_SOAK_SECONDS sets the length of the faults' cycle (default 40;
// scripts/soak.sh runs it for minutes). A failed run keeps the drivers' logs
// in the temporary folder; QUILLON_SOAK_TRACE=1 names each phase and restart
// on stderr as it comes.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "driver/ControlTags.h"
#include "phys/PhysicalLayer_Ethernet.h"
#include "tests/support/DriverLibrary.h"
#include "tests/support/ProcessCounts.h"
#include "tests/support/SerialRig.h"
#include "tests/support/SystemThread.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <initializer_list>
#include <string>
#include <vector>

using namespace quillon;
using namespace quillon::test;

namespace {

const auto *const kRig = ::testing::AddGlobalTestEnvironment(new RigQueue);

// Each exchange's time-out, and what a request may take beyond it.
constexpr DWORD kTimeoutMs = 300;
constexpr DWORD kRequestSlackMs = 1000;
constexpr DWORD kStopLimitMs = 2000;
// How long each fault of a far end lasts, and how often the drivers restart.
constexpr DWORD kPhaseMs = 2000;
constexpr DWORD kRestartEveryMs = 5000;
constexpr unsigned kSerialPort = 59;
constexpr size_t kFloodBytes = 1 << 20;
// What the process may keep beyond its start after everything stopped.
constexpr SIZE_T kMemorySlackBytes = 1 << 20;
constexpr DWORD kHandleSlack = 2;

unsigned SoakSeconds() {
    const char *text = getenv("QUILLON_SOAK_SECONDS");
    const int seconds = text ? atoi(text) : 0;
    return seconds > 0 ? static_cast<unsigned>(seconds) : 40;
}

SIZE_T CommittedPrivateBytes() {
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char *address = nullptr; VirtualQuery(address, &region, sizeof region) == sizeof region;
         address = static_cast<const char *>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    }
    return total;
}

// What the run counted; printed at the end.
struct Figures {
    std::mutex guard;
    std::map<std::string, unsigned> counts;
    DWORD longestRequestMs = 0;
    DWORD longestStopMs = 0;
    void Count(const std::string &what, unsigned n = 1) {
        std::lock_guard<std::mutex> lock(guard);
        counts[what] += n;
    }
    void Longest(DWORD &longest, DWORD ms) {
        std::lock_guard<std::mutex> lock(guard);
        if (ms > longest) longest = ms;
    }
};
Figures gFigures;

enum class Fault { Answer, Stall, CloseMidFrame, Flood, Garbage, Silent, Refuse };
const char *const kFaultNames[] = {"answer", "stall", "close mid-frame", "flood", "garbage", "silent", "refuse"};
constexpr int kFaults = 7;

// The Ethernet link's far end: one client at a time, answering each request
// by the fault of the moment. "Refuse" is the driver's turn: it is sent to
// its backup address, where nothing listens.
class HostilePeer {
public:
    HostilePeer() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_, reinterpret_cast<sockaddr *>(&address), sizeof address);
        listen(listen_, 4);
        int length = sizeof address;
        getsockname(listen_, reinterpret_cast<sockaddr *>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::make_unique<SystemThread>([this] { Run(); });
    }
    ~HostilePeer() {
        stop_ = true;
        thread_.reset();
        closesocket(listen_);
        WSACleanup();
    }
    uint16_t Port() const { return port_; }
    void SetFault(Fault fault) { fault_ = fault; }

private:
    bool Readable(SOCKET s) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval slice = {0, 20000};
        return select(0, &set, nullptr, nullptr, &slice) > 0;
    }
    bool Writable(SOCKET s) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval slice = {0, 20000};
        return select(0, nullptr, &set, nullptr, &slice) > 0;
    }
    void Pause(DWORD ms) {
        const DWORD start = GetTickCount();
        while (!stop_ && GetTickCount() - start < ms) Sleep(10);
    }
    void Run() {
        while (!stop_) {
            if (!Readable(listen_)) continue;
            SOCKET client = accept(listen_, nullptr, nullptr);
            if (client == INVALID_SOCKET) continue;
            Serve(client);
            closesocket(client);
        }
    }
    // Ends when the connection should end (closed by either side, or a
    // fault that closes it).
    void Serve(SOCKET client) {
        std::vector<char> flood(64 * 1024, 'F');
        while (!stop_) {
            if (!Readable(client)) continue;
            char request[256];
            const int got = recv(client, request, sizeof request, 0);
            if (got <= 0) return;
            switch (fault_.load()) {
            case Fault::Answer:
            case Fault::Refuse:
                send(client, request, got, 0);
                break;
            case Fault::Stall:
                Pause(kTimeoutMs + 200);
                send(client, request, got, 0);
                break;
            case Fault::CloseMidFrame:
                send(client, request, got / 2, 0);
                return;
            case Fault::Flood:
                for (size_t sent = 0; sent < kFloodBytes && !stop_ && fault_ == Fault::Flood;) {
                    if (!Writable(client)) continue;
                    const int n = send(client, flood.data(), static_cast<int>(flood.size()), 0);
                    if (n <= 0) return;
                    sent += static_cast<size_t>(n);
                }
                break;
            case Fault::Garbage: {
                char garbage[7];
                for (char &c : garbage) c = static_cast<char>(rand());
                send(client, garbage, sizeof garbage, 0);
                break;
            }
            case Fault::Silent:
                break;
            }
        }
    }

    SOCKET listen_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<Fault> fault_{Fault::Answer};
    std::unique_ptr<SystemThread> thread_;
};

// One driver: its own copy of the DLL (a module keeps one driver object),
// its settings, and its reads.
class SoakDriver {
public:
    SoakDriver(const std::string &name, const std::string &dll, Settings settings)
        : name_(name), logPath_(scratch_.File(name + ".log")),
          settings_(settings.String("IO.Log.Filename", logPath_).Int("IO.Log.Enable", 1)) {
        std::string error;
        loaded_ = library_.DriverLibrary::Load(dll, error);
        EXPECT_TRUE(loaded_) << name << ": " << error;
        IIODriverInstance *driver = nullptr;
        if (loaded_) library_.createDriverInstance(nullptr, &driver);
        instance_ = ComPtr<IIODriverInstance>::Attach(driver);
        if (instance_) instance_->QueryInterface(__uuidof(IIOParseTag), parser_.put_void());
        EXPECT_TRUE(parser_) << name;
    }
    ~SoakDriver() {
        parser_.reset();
        instance_.reset();
        library_.Unload();
        if (!::testing::Test::HasFailure()) return;
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        const std::string kept = std::string(temp) + "quillon_soak_" + name_ + ".log";
        if (CopyFileA(logPath_.c_str(), kept.c_str(), FALSE)) printf("log kept: %s\n", kept.c_str());
    }
    bool Usable() const { return loaded_ && instance_ && parser_; }
    void Start() {
        HValue settings = settings_.Make();
        instance_->SetSettingsHandle(settings.get());
        const HRESULT started = instance_->StartComm(0, 0, 0, 0);
        EXPECT_GE(started, 0) << name_;
    }
    // The stop's length in milliseconds.
    DWORD Stop() {
        const DWORD start = GetTickCount();
        instance_->StopComm(0, 0, 0, 0);
        return GetTickCount() - start;
    }
    // The driver relies on its host to call one instance from one thread at
    // a time: the host's threads take turns (a stop may come at any time).
    // The time of the call itself, in milliseconds, goes to took.
    HRESULT Read(const wchar_t *item, DWORD *took = nullptr) {
        std::lock_guard<std::mutex> turn(turn_);
        const DWORD start = GetTickCount();
        const HRESULT result = ReadNow(item);
        if (took) *took = GetTickCount() - start;
        return result;
    }
    HRESULT WriteTag(int16_t n3, uint16_t n4, int32_t number) {
        std::lock_guard<std::mutex> turn(turn_);
        HValue value = I32Value(number);
        DriverRequest request = MakeRequest(OP_WRITE_VALUE, -1, 0, n3, n4, value.get());
        request.flags = REQUEST_FLAG_VALIDATED;
        return instance_->IO(&request, value.get());
    }
    std::vector<std::string> Messages() const { return LogMessages(logPath_); }
    const std::string &Name() const { return name_; }

private:
    HRESULT ReadNow(const wchar_t *item) {
        HValue value = HValue::Create();
        TagInfo info = {};
        HRESULT result = parser_->Validate(L"", item, &info);
        if (FAILED(result)) return result;
        DriverRequest request = MakeRequest(OP_READ_VALUE, 0, 0, 0, 0, value.get());
        request.flags = REQUEST_FLAG_VALIDATED;
        request.paramItem = item;
        return instance_->IO(&request, value.get());
    }
    TestDriverLibrary library_;
    ScratchDir scratch_;
    std::string name_;
    std::string logPath_;
    Settings settings_;
    bool loaded_ = false;
    ComPtr<IIODriverInstance> instance_;
    ComPtr<IIOParseTag> parser_;
    std::mutex turn_;
};

// A host thread: reads until told to end, timing every request.
void ReadLoop(SoakDriver &driver, const std::atomic<bool> &end, std::atomic<unsigned> &late) {
    ComApartment apartment;
    while (!end) {
        DWORD took = 0;
        const HRESULT result = driver.Read(L"Soak", &took);
        gFigures.Count("requests");
        gFigures.Count("requests " + driver.Name() + (SUCCEEDED(result) ? " answered" : " failed"));
        gFigures.Longest(gFigures.longestRequestMs, took);
        if (took > kTimeoutMs + kRequestSlackMs) {
            ++late;
            gFigures.Count("requests late");
        }
        // A host polls; it does not spin on a stopped driver.
        if (FAILED(result)) Sleep(5);
    }
}

// How many log lines hold all the pieces (no regular expressions: a flood's
// frame is logged as one line of megabytes).
unsigned CountContaining(const std::vector<std::string> &messages, std::initializer_list<const char *> pieces) {
    unsigned count = 0;
    for (const std::string &message : messages) {
        bool all = true;
        for (const char *piece : pieces) all = all && message.find(piece) != std::string::npos;
        count += all ? 1 : 0;
    }
    return count;
}

const char kEthernetScript[] = R"(Sub OnRead(Request, Value)
    Value.Value = QuillonLink.Hex(QuillonLink.Transact("01 02 03 04", 4))
End Sub
)";
// The echoing device answers a frame with its echo and the frame reversed.
const char kSerialScript[] = R"(Sub OnRead(Request, Value)
    Value.Value = QuillonLink.Hex(QuillonLink.Transact("01 02 03", 6))
End Sub
)";

TEST(Soak, DriversSurviveHostileFarEnds) {
    const unsigned seconds = SoakSeconds();
    ComApartment apartment;
    // Warmed up first: the first load of the library, COM, Winsock and the
    // engine keep things for the life of the process.
    HostilePeer peer;
    // The second driver is a copy of the library beside this program, made
    // in a folder of the run's own.
    char program[MAX_PATH];
    GetModuleFileNameA(nullptr, program, MAX_PATH);
    std::string folder = program;
    folder.erase(folder.find_last_of('\\') + 1);
    ScratchDir copies;
    const std::string serialDll = copies.File("QuillonSerial.dll");
    ASSERT_TRUE(CopyFileA((folder + "Quillon.dll").c_str(), serialDll.c_str(), FALSE)) << GetLastError();
    const uint16_t closedPort = [] {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address);
        int length = sizeof address;
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &length);
        closesocket(s);
        return ntohs(address.sin_port);
    }();

    const auto common = [](Settings settings) {
        return settings.Int("IO.TimeoutMs", kTimeoutMs)
            .Int("IO.RecoverEnable", 1)
            .Int("IO.RecoverPeriodSec", 1);
    };
    std::unique_ptr<RigDevice> device(new RigDevice(kSerialPort, "echo"));
    {
        SoakDriver ethernet("ethernet", "Quillon.dll",
                            common(Settings()
                                       .String("IO.Type", "Ethernet")
                                       .String("IO.Ethernet.MainIP", "127.0.0.1")
                                       .Int("IO.Ethernet.MainPort", peer.Port())
                                       .Int("IO.Ethernet.BackupEnable", 1)
                                       .String("IO.Ethernet.BackupIP", "127.0.0.1")
                                       .Int("IO.Ethernet.BackupPort", closedPort))
                                .String("VBScript.Code", kEthernetScript));
        SoakDriver serial("serial", serialDll,
                          common(Settings().String("IO.Type", "Serial").Int("IO.Serial.Port", kSerialPort))
                              .String("VBScript.Code", kSerialScript));
        ASSERT_TRUE(ethernet.Usable() && serial.Usable());
        SoakDriver *const drivers[] = {&ethernet, &serial};

        // One round without faults, then the counts start.
        for (SoakDriver *driver : drivers) driver->Start();
        WaitUntil([&] { return SUCCEEDED(ethernet.Read(L"Soak")) && SUCCEEDED(serial.Read(L"Soak")); });
        for (SoakDriver *driver : drivers) driver->Stop();
        const unsigned threadsBefore = ThreadCount();
        const DWORD handlesBefore = HandleCount();
        const SIZE_T memoryBefore = CommittedPrivateBytes();

        for (SoakDriver *driver : drivers) driver->Start();
        std::atomic<bool> end{false};
        std::atomic<unsigned> late{0};
        std::vector<std::unique_ptr<SystemThread>> readers;
        for (SoakDriver *driver : drivers)
            for (int i = 0; i < 2; ++i)
                readers.emplace_back(new SystemThread([&, driver] { ReadLoop(*driver, end, late); }));

        const char *const serialModes[] = {"echo", "silent", "half", ""};
        const DWORD begin = GetTickCount();
        DWORD lastRestart = begin;
        unsigned phase = 0;
        while (GetTickCount() - begin < seconds * 1000) {
            const Fault fault = static_cast<Fault>(phase % kFaults);
            peer.SetFault(fault);
            gFigures.Count(std::string("fault ") + kFaultNames[phase % kFaults]);
            // Refused: the driver is sent to its backup address, where
            // nothing listens, and back afterwards.
            if (fault == Fault::Refuse) ethernet.WriteTag(ETHERNET_PROPERTY_GROUP, ETHERNET_IP_SELECT, 1);
            const char *mode = serialModes[phase % 4];
            device.reset();
            if (*mode) device.reset(new RigDevice(kSerialPort, mode));
            gFigures.Count(std::string("serial ") + (*mode ? mode : "unplugged"));

            if (getenv("QUILLON_SOAK_TRACE"))
                fprintf(stderr, "soak: phase %u: %s, serial %s\n", phase, kFaultNames[phase % kFaults],
                        *mode ? mode : "unplugged");
            const SIZE_T phaseMemory = CommittedPrivateBytes();
            const DWORD phaseStart = GetTickCount();
            while (GetTickCount() - phaseStart < kPhaseMs) {
                if (GetTickCount() - lastRestart >= kRestartEveryMs) {
                    for (SoakDriver *driver : drivers) {
                        if (getenv("QUILLON_SOAK_TRACE")) fprintf(stderr, "soak: restart %s\n", driver->Name().c_str());
                        const DWORD took = driver->Stop();
                        gFigures.Count("stops");
                        gFigures.Longest(gFigures.longestStopMs, took);
                        EXPECT_LE(took, kStopLimitMs) << driver->Name() << " stop";
                        driver->Start();
                    }
                    if (fault == Fault::Refuse) ethernet.WriteTag(ETHERNET_PROPERTY_GROUP, ETHERNET_IP_SELECT, 1);
                    lastRestart = GetTickCount();
                }
                Sleep(50);
            }
            if (fault == Fault::Refuse) ethernet.WriteTag(ETHERNET_PROPERTY_GROUP, ETHERNET_IP_SELECT, 0);
            // Where committed memory grows, by the fault of the moment.
            const SIZE_T grown = CommittedPrivateBytes() - phaseMemory;
            if (static_cast<std::ptrdiff_t>(grown) > 0)
                gFigures.Count(std::string("KB committed during ") + kFaultNames[phase % kFaults] + " / serial " +
                                   (*mode ? mode : "unplugged"),
                               static_cast<unsigned>(grown / 1024));
            ++phase;
        }
        end = true;
        readers.clear();
        for (SoakDriver *driver : drivers) {
            const DWORD took = driver->Stop();
            gFigures.Count("stops");
            gFigures.Longest(gFigures.longestStopMs, took);
            EXPECT_LE(took, kStopLimitMs) << driver->Name() << " stop";
        }
        EXPECT_EQ(0u, late.load()) << "requests beyond their time-out plus " << kRequestSlackMs << " ms";

        // Stopped as before the run (the logs are read afterwards: reading
        // megabytes of them leaves the heap larger).
        EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore; }))
            << ThreadCount() << " threads, " << threadsBefore << " before";
        EXPECT_TRUE(WaitUntil([&] { return HandleCount() <= handlesBefore + kHandleSlack; }))
            << HandleCount() << " handles, " << handlesBefore << " before";
        const SIZE_T memoryAfter = CommittedPrivateBytes();
        EXPECT_LE(memoryAfter, memoryBefore + kMemorySlackBytes)
            << memoryAfter / 1024 << " KB committed, " << memoryBefore / 1024 << " KB before";
        printf("soak: threads %u -> %u, handles %lu -> %lu, committed %lu -> %lu KB\n", threadsBefore, ThreadCount(),
               static_cast<unsigned long>(handlesBefore), static_cast<unsigned long>(HandleCount()),
               static_cast<unsigned long>(memoryBefore / 1024), static_cast<unsigned long>(memoryAfter / 1024));

        // Each fault leaves its line.
        const std::vector<std::string> net = ethernet.Messages();
        const struct {
            const char *what;
            std::initializer_list<const char *> pieces;
        } lines[] = {
            {"log: Ethernet receive time-outs", {"QuillonLink.Transact: received ", " of 4 bytes within 300 ms"}},
            {"log: Ethernet closed by the peer", {"SOCKET\tsocket gracefully closed by the remote partner"}},
            {"log: Ethernet connection lost", {"CHANFER\tCONNECTION LOST!"}},
            {"log: Ethernet refused", {"SOCKET\t", "10061"}},
        };
        for (const auto &line : lines) {
            const unsigned count = CountContaining(net, line.pieces);
            gFigures.Count(line.what, count);
            EXPECT_LT(0u, count) << line.what;
        }
        const std::vector<std::string> rig = serial.Messages();
        const struct {
            const char *what;
            std::initializer_list<const char *> pieces;
        } serialLines[] = {
            {"log: serial receive time-outs", {"QuillonLink.Transact: received ", " of 6 bytes within 300 ms"}},
            {"log: serial writes failed", {"IO\tTX: ERROR"}},
        };
        for (const auto &line : serialLines) {
            const unsigned count = CountContaining(rig, line.pieces);
            gFigures.Count(line.what, count);
            EXPECT_LT(0u, count) << line.what;
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    for (const auto &count : gFigures.counts) printf("soak: %s: %u\n", count.first.c_str(), count.second);
    printf("soak: longest request: %lu ms\n", static_cast<unsigned long>(gFigures.longestRequestMs));
    printf("soak: longest stop: %lu ms\n", static_cast<unsigned long>(gFigures.longestStopMs));
    return result;
}
