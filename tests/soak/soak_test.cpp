// A soak of the links under hostile peers: one driver on the Ethernet link and
// one on the serial rig, each read and written by two host threads, while
// their peers cycle through answering, stalling, closing mid-frame, flooding,
// sending garbage, refusing and staying silent, and the host stops, starts
// and switches the link now and then. Every request and every stop must come
// back in time, nothing may crash, and threads, handles and committed memory
// must return to where they were. QUILLON_SOAK_SECONDS sets the length
// (scripts/soak.sh for long runs); the counts are the program's last lines.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "phys/IOInterface.h"
#include "phys/PhysicalLayer_Ethernet.h"
#include "tests/support/DriverLibrary.h"
#include "tests/support/ProcessCounts.h"
#include "tests/support/SerialRig.h"
#include "tests/support/SystemThread.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace quillon;
using namespace quillon::test;

namespace {

constexpr unsigned kSoakPort = 57;          // the serial rig's port of this program
constexpr DWORD kExchangeTimeoutMs = 300;   // the scripts' time-out for one answer
constexpr DWORD kRequestSlackMs = 1000;     // what a request may take beyond its time-outs
constexpr DWORD kStopLimitMs = 2000;
constexpr DWORD kPhaseMs = 1500;
constexpr size_t kFloodBytes = 1 << 20;
constexpr DWORD kPollPauseMs = 5;
constexpr SIZE_T kEngineBytesPerError = 256;

// Both drivers' script: an 8-byte frame that the device must send back as it
// is; anything else is a failed request.
const char *const kScript =
    "Dim frame\n"
    "frame = QuillonLink.Bytes(\"51 55 49 4C 4C 4F 4E 21\")\n"
    "Sub Check(answer)\n"
    "  Dim i\n"
    "  For i = 0 To 7\n"
    "    If answer(i) <> frame(i) Then Err.Raise vbObjectError + 7, , \"garbage answer\"\n"
    "  Next\n"
    "End Sub\n"
    "Sub OnRead(Req, Value)\n"
    "  Check QuillonLink.Transact(frame, 8, 300)\n"
    "  Value.Value = 1\n"
    "End Sub\n"
    "Sub OnWrite(Req, Value)\n"
    "  QuillonLink.Send frame\n"
    "  Check QuillonLink.Receive(8, 300)\n"
    "End Sub\n";

enum class Phase { Answer, Stall, CloseMidFrame, Flood, Garbage, Refuse, AcceptSilent };
const char *const kPhaseNames[] = {"answer", "stall", "close mid-frame", "flood 1 MB", "garbage", "refuse", "accept silent"};
constexpr int kPhases = 7;

struct WinsockUse {
    WinsockUse() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockUse() { WSACleanup(); }
    WinsockUse(const WinsockUse &) = delete;
    WinsockUse &operator=(const WinsockUse &) = delete;
};

// A TCP device on 127.0.0.1 whose behaviour the soak switches: one client at
// a time (a newer one replaces it), served on a thread of its own in slices.
class HostilePeer {
public:
    HostilePeer() {
        Listen();
        thread_ = std::make_unique<SystemThread>([this] { Run(); });
    }
    ~HostilePeer() {
        stop_ = true;
        thread_.reset();
        CloseClient();
        if (listen_ != INVALID_SOCKET) closesocket(listen_);
    }
    HostilePeer(const HostilePeer &) = delete;
    HostilePeer &operator=(const HostilePeer &) = delete;

    uint16_t Port() const { return port_; }
    void SetPhase(Phase phase) { phase_ = phase; }
    std::atomic<int> accepted{0};

private:
    void Listen() {
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port_);
        if (bind(listen_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listen_, 4) != 0) {
            closesocket(listen_);
            listen_ = INVALID_SOCKET;
            return;
        }
        int length = sizeof address;
        getsockname(listen_, reinterpret_cast<sockaddr *>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    void CloseClient() {
        if (client_ != INVALID_SOCKET) closesocket(client_);
        client_ = INVALID_SOCKET;
        pending_.clear();
        flood_ = 0;
    }
    void Run() {
        while (!stop_) {
            const Phase phase = phase_;
            if (phase == Phase::Refuse) {
                // Nothing listens: connections are refused at once.
                if (listen_ != INVALID_SOCKET) closesocket(listen_);
                listen_ = INVALID_SOCKET;
                CloseClient();
                Sleep(10);
                continue;
            }
            if (listen_ == INVALID_SOCKET) Listen();
            fd_set readable, writable;
            FD_ZERO(&readable);
            FD_ZERO(&writable);
            if (listen_ != INVALID_SOCKET) FD_SET(listen_, &readable);
            if (client_ != INVALID_SOCKET && phase != Phase::AcceptSilent) FD_SET(client_, &readable);
            if (client_ != INVALID_SOCKET && flood_ > 0) FD_SET(client_, &writable);
            timeval slice = {0, 10000};
            if (readable.fd_count == 0 || select(0, &readable, &writable, nullptr, &slice) <= 0) {
                Sleep(readable.fd_count == 0 ? 10 : 0);
                continue;
            }
            if (listen_ != INVALID_SOCKET && FD_ISSET(listen_, &readable)) {
                SOCKET incoming = accept(listen_, nullptr, nullptr);
                if (incoming != INVALID_SOCKET) {
                    CloseClient();
                    client_ = incoming;
                    ++accepted;
                }
            }
            if (client_ != INVALID_SOCKET && FD_ISSET(client_, &writable)) Flood();
            if (client_ != INVALID_SOCKET && FD_ISSET(client_, &readable)) Serve(phase);
        }
    }
    void Flood() {
        char chunk[8192];
        memset(chunk, 0x5A, sizeof chunk);
        const int sent = send(client_, chunk, static_cast<int>(std::min(sizeof chunk, flood_)), 0);
        if (sent > 0) flood_ -= static_cast<size_t>(sent);
        else CloseClient();
    }
    void Serve(Phase phase) {
        char buffer[4096];
        const int received = recv(client_, buffer, sizeof buffer, 0);
        if (received <= 0) {
            CloseClient();
            return;
        }
        pending_.append(buffer, static_cast<size_t>(received));
        while (client_ != INVALID_SOCKET && pending_.size() >= 8) {
            std::string frame = pending_.substr(0, 8);
            pending_.erase(0, 8);
            switch (phase) {
            case Phase::Answer: send(client_, frame.data(), 8, 0); break;
            case Phase::CloseMidFrame:
                send(client_, frame.data(), 4, 0);
                CloseClient();
                break;
            case Phase::Flood: flood_ = kFloodBytes; break;
            case Phase::Garbage:
                std::reverse(frame.begin(), frame.end());
                send(client_, frame.data(), 8, 0);
                break;
            default: break;  // stall: the request is read and never answered
            }
        }
    }

    WinsockUse winsock_;
    SOCKET listen_ = INVALID_SOCKET, client_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::string pending_;
    size_t flood_ = 0;
    std::atomic<Phase> phase_{Phase::Answer};
    std::atomic<bool> stop_{false};
    std::unique_ptr<SystemThread> thread_;
};

// What the soak counts; the longest times in milliseconds.
struct Figures {
    std::mutex guard;
    unsigned requests = 0, failedRequests = 0, lateRequests = 0, stops = 0, lateStops = 0, selects = 0;
    DWORD longestRequest = 0, longestStop = 0;
    std::map<std::string, unsigned> phases;

    void Request(bool ok, DWORD ms) {
        std::lock_guard<std::mutex> lock(guard);
        ++requests;
        if (!ok) ++failedRequests;
        // Two threads share a driver and its script, so a request may wait out
        // the other's exchange before its own.
        if (ms > 2 * kExchangeTimeoutMs + kRequestSlackMs) ++lateRequests;
        longestRequest = std::max(longestRequest, ms);
    }
    void Stop(DWORD ms) {
        std::lock_guard<std::mutex> lock(guard);
        ++stops;
        if (ms > kStopLimitMs) ++lateStops;
        longestStop = std::max(longestStop, ms);
    }
};

class SoakedDriver {
public:
    SoakedDriver(TestDriverLibrary &library, const std::string &name, Settings settings, Figures &figures)
        : name_(name), figures_(figures) {
        IIODriverInstance *driver = nullptr;
        EXPECT_EQ(1, library.createDriverInstance(nullptr, &driver));
        driver_ = ComPtr<IIODriverInstance>::Attach(driver);
        settings_ = settings.String("VBScript.Code", kScript)
                        .Int("IO.TimeoutMs", kExchangeTimeoutMs)
                        .Int("IO.RecoverEnable", 1)
                        .Int("IO.RecoverPeriodSec", 1)
                        .Make();
        EXPECT_EQ(S_OK, driver_->SetSettingsHandle(settings_.get()));
    }
    IIODriverInstance *Driver() { return driver_.get(); }

    void Start() { EXPECT_GE(driver_->StartComm(0, 0, 0, 0), 0) << name_; }
    void Stop() {
        const DWORD start = GetTickCount();
        EXPECT_EQ(S_OK, driver_->StopComm(0, 0, 0, 0)) << name_;
        figures_.Stop(GetTickCount() - start);
    }
    // One read or write of the device through the script, timed.
    void Exchange(bool write) {
        HValue value = HValue::Create();
        hvSetI32(value.get(), 1);
        DriverRequest request = MakeRequest(write ? OP_WRITE_VALUE : OP_READ_VALUE, 1, 0, 0, 0, value.get());
        request.flags = REQUEST_FLAG_VALIDATED;
        request.paramItem = L"Device";
        const DWORD start = GetTickCount();
        const HRESULT result = driver_->IO(&request, value.get());
        figures_.Request(result == S_OK, GetTickCount() - start);
        if (result == S_OK) ++answered;
    }
    std::atomic<unsigned> answered{0};
    void WriteTag(uint16_t n3, uint16_t n4, int32_t number) {
        HValue value = I32Value(number);
        DriverRequest request = MakeRequest(OP_WRITE_VALUE, -1, 0, n3, n4, value.get());
        request.flags = REQUEST_FLAG_VALIDATED;
        driver_->IO(&request, value.get());
    }

private:
    std::string name_;
    Figures &figures_;
    HValue settings_;
    ComPtr<IIODriverInstance> driver_;
};

DWORD SoakSeconds() {
    const char *text = getenv("QUILLON_SOAK_SECONDS");
    const long seconds = text ? atol(text) : 0;
    return seconds > 0 ? static_cast<DWORD>(seconds) : 45;
}

// The serial device's turns: answering, silent, half a frame, unplugged.
const char *const kSerialModes[] = {"echo", "silent", "half", nullptr};

Figures gFigures;

// The logs of a soak are long: a plain search, not a pattern per line.
bool Mentions(const std::vector<std::string> &messages, const std::string &text) {
    return std::any_of(messages.begin(), messages.end(),
                       [&](const std::string &message) { return message.find(text) != std::string::npos; });
}

class SoakTest : public ::testing::Test {
protected:
    ScratchDir scratch_;
};

TEST_F(SoakTest, LinksSurviveHostilePeersStopsAndSwitches) {
    TestDriverLibrary library;
    ASSERT_NO_FATAL_FAILURE(library.Load());
    HostilePeer peer;
    ASSERT_NE(0, peer.Port());
    const std::string ethernetLog = scratch_.File("ethernet.log"), serialLog = scratch_.File("serial.log");
    auto ethernetSettings = [&] {
        return Settings()
            .String("IO.Log.Filename", ethernetLog)
            .Int("IO.Log.Enable", 1)
            .String("IO.Type", "Ethernet")
            .String("IO.Ethernet.MainIP", "127.0.0.1")
            .Int("IO.Ethernet.MainPort", peer.Port())
            .String("IO.Ethernet.BackupIP", "127.0.0.1")
            .Int("IO.Ethernet.BackupPort", peer.Port());
    };
    auto serialSettings = [&] {
        return Settings()
            .String("IO.Log.Filename", serialLog)
            .Int("IO.Log.Enable", 1)
            .String("IO.Type", "Serial")
            .Int("IO.Serial.Port", kSoakPort);
    };

    // One round of everything before counting: the library, COM, Winsock,
    // the engine and the rig leave things behind for the process's life.
    {
        Figures warmUp;
        RigDevice device(kSoakPort, "echo");
        SoakedDriver ethernet(library, "Ethernet", ethernetSettings(), warmUp);
        SoakedDriver serial(library, "Serial", serialSettings(), warmUp);
        ethernet.Start();
        serial.Start();
        ethernet.Exchange(false);
        serial.Exchange(false);
        ethernet.Stop();
        serial.Stop();
    }
    const unsigned threadsBefore = ThreadCount();
    const DWORD handlesBefore = HandleCount();
    const SIZE_T committedBefore = CommittedPrivateBytes();
    {
        SoakedDriver ethernet(library, "Ethernet", ethernetSettings(), gFigures);
        SoakedDriver serial(library, "Serial", serialSettings(), gFigures);
        auto device = std::make_unique<RigDevice>(kSoakPort, kSerialModes[0]);
        ethernet.Start();
        serial.Start();

        std::atomic<bool> running{true};
        std::vector<std::unique_ptr<SystemThread>> callers;
        for (SoakedDriver *driver : {&ethernet, &serial}) {
            for (bool write : {false, true}) {
                callers.push_back(std::make_unique<SystemThread>([&running, driver, write] {
                    ComApartment apartment;
                    // A host polls: a short pause between requests, so that a
                    // link that fails at once is not asked a million times.
                    while (running) {
                        driver->Exchange(write);
                        Sleep(kPollPauseMs);
                    }
                }));
            }
        }

        const DWORD length = SoakSeconds() * 1000, begin = GetTickCount();
        for (unsigned round = 0; GetTickCount() - begin < length; ++round) {
            const Phase phase = static_cast<Phase>(round % kPhases);
            peer.SetPhase(phase);
            {
                std::lock_guard<std::mutex> lock(gFigures.guard);
                ++gFigures.phases[kPhaseNames[static_cast<int>(phase)]];
            }
            const char *mode = kSerialModes[round % 4];
            device.reset();
            if (mode) device = std::make_unique<RigDevice>(kSoakPort, mode);
            // The host switches the Ethernet link's address now and then, and
            // every third round stops and starts both drivers.
            ethernet.WriteTag(ETHERNET_PROPERTY_GROUP, ETHERNET_IP_SELECT, static_cast<int32_t>(round % 2));
            ++gFigures.selects;
            if (round % 3 == 2) {
                ethernet.Stop();
                serial.Stop();
                ethernet.Start();
                serial.Start();
            }
            Sleep(kPhaseMs);
        }
        // After all that, both links serve their devices again.
        peer.SetPhase(Phase::Answer);
        // The device before goes first: ending it unplugs whatever is on its port.
        device.reset();
        device = std::make_unique<RigDevice>(kSoakPort, kSerialModes[0]);
        for (SoakedDriver *driver : {&ethernet, &serial}) {
            const unsigned before = driver->answered;
            EXPECT_TRUE(WaitUntil([&] { return driver->answered > before; }))
                << (driver == &ethernet ? "Ethernet" : "serial") << " link never answered again";
        }
        running = false;
        callers.clear();
        ethernet.Stop();
        serial.Stop();
        device.reset();
    }

    EXPECT_EQ(0u, gFigures.lateRequests) << "requests past their time-out";
    EXPECT_EQ(0u, gFigures.lateStops) << "stops past " << kStopLimitMs << " ms";
    EXPECT_GT(gFigures.requests - gFigures.failedRequests, 0u) << "no request ever succeeded";
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore; })) << ThreadCount() << " threads for " << threadsBefore;
    EXPECT_TRUE(WaitUntil([&] { return HandleCount() <= handlesBefore + 2; })) << HandleCount() << " handles for " << handlesBefore;
    // Wine's engine keeps about 160 bytes of every run-time error for good
    // (measured with a script that does nothing but Err.Raise), and every
    // failed request here is one.
    const SIZE_T committedAfter = CommittedPrivateBytes();
    const SIZE_T allowed = committedBefore + (1u << 20) + SIZE_T(gFigures.failedRequests) * kEngineBytesPerError;
    EXPECT_LE(committedAfter, allowed) << committedBefore << " -> " << committedAfter << " bytes after "
                                       << gFigures.failedRequests << " failed requests";

    // Each hostile turn left its mark in the log.
    const std::vector<std::string> ethernetMessages = LogMessages(ethernetLog), serialMessages = LogMessages(serialLog);
    const std::vector<std::pair<std::string, const std::vector<std::string> *>> marks = {
        {"socket gracefully closed by the remote partner", &ethernetMessages},
        {"CONNECTION LOST!", &ethernetMessages},
        {"of 8 bytes within 300 ms", &ethernetMessages},
        {"garbage answer", &ethernetMessages},
        {"10061", &ethernetMessages},
        {"of 8 bytes within 300 ms", &serialMessages},
        {"the link is not connected", &serialMessages},
    };
    for (const auto &mark : marks) EXPECT_TRUE(Mentions(*mark.second, mark.first)) << mark.first;
    if (HasFailure()) {
        for (const auto *messages : {&ethernetMessages, &serialMessages}) {
            // The link's own lines tell what it went through; requests and
            // frames would drown them.
            std::vector<std::string> linkLines;
            for (const std::string &message : *messages)
                if (message.compare(0, 4, "TAG\t") != 0 && message.compare(0, 7, "DRIVER\t") != 0 &&
                    message.compare(0, 3, "IO\t") != 0)
                    linkLines.push_back(message);
            std::cout << "--- the last link lines of a driver's log (" << messages->size() << " lines in all):\n";
            for (size_t i = linkLines.size() - std::min<size_t>(linkLines.size(), 60); i < linkLines.size(); ++i)
                std::cout << linkLines[i] << "\n";
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new RigQueue);
    const int status = RUN_ALL_TESTS();
    std::lock_guard<std::mutex> lock(gFigures.guard);
    printf("soak: %u requests (%u failed, %u late), longest request %lu ms\n", gFigures.requests,
           gFigures.failedRequests, gFigures.lateRequests, static_cast<unsigned long>(gFigures.longestRequest));
    printf("soak: %u stops (%u late), longest stop %lu ms; %u address switches\n", gFigures.stops,
           gFigures.lateStops, static_cast<unsigned long>(gFigures.longestStop), gFigures.selects);
    printf("soak: peer turns:");
    for (const auto &phase : gFigures.phases) printf(" %s %u;", phase.first.c_str(), phase.second);
    printf("\n");
    return status;
}
