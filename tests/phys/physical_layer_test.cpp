// The link engine driven through a scripted link and a scripted host: every
// state path is checked against the posted events and the log.
#include "phys/PhysicalLayer.h"

#include "config/ConfigParameters.h"
#include "phys/PhysicalLayerFactory.h"

#include "ScriptedLink.h"
#include "tests/support/SystemThread.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace quillon;
using namespace quillon::test;

namespace {

using Numbers = std::vector<int>;

constexpr int kEventSource = -1;

// Lazily created resources of the process (the value library, the log, the
// message queue of a thread) are created once before any test counts.
class WarmUp : public ::testing::Environment {
public:
    void SetUp() override;
};

LinkScript *gFactoryScript = nullptr;

CPhysicalLayer *CreateScripted(CIOGlobals *globals, IIOHost *host, const CConfigData &config) {
    return new CScriptedLink(globals, host, config, *gFactoryScript);
}

class PhysicalLayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        threadsBefore_ = ThreadCount();
        handlesBefore_ = HandleCount();
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        logPath_ = std::string(temp) + "quillon_phys_" + std::to_string(GetCurrentProcessId()) + ".log";
        DeleteFileA(logPath_.c_str());
        globals_ = CIOGlobals::Create(nullptr);
        ASSERT_NE(nullptr, globals_);
        host_ = new CTestHost(globals_);
        host_->script = &script_;
        // The host applies its own log settings when created.
        globals_->Logger()->SetLogFile(logPath_.c_str());
        Config().SetU32(param::RecoverPeriodSec, 1);
    }

    void TearDown() override {
        link_.reset();
        if (host_) {
            host_->Stop();
            host_->Release();
        }
        if (globals_) globals_->Release();
        DeleteFileA(logPath_.c_str());
        // Every thread and handle of the test is gone again. Reporting a
        // failure starts a thread of Wine's own, so a failed test is not
        // counted.
        if (HasFailure()) return;
        EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore_; }))
            << ThreadCount() << " threads, " << threadsBefore_ << " before";
        EXPECT_TRUE(WaitUntil([&] { return HandleCount() <= handlesBefore_; }))
            << HandleCount() << " handles, " << handlesBefore_ << " before";
    }

    CConfigData &Config() { return host_->Configuration(); }

    CScriptedLink *Start(HRESULT expected = S_OK) {
        link_ = ComPtr<CScriptedLink>::Attach(new CScriptedLink(globals_, host_, Config(), script_));
        host_->link = link_.get();
        EXPECT_EQ(expected, link_->Start());
        return link_.get();
    }

    // Stops and releases the link; its thread has ended on return.
    void Release() {
        host_->link = nullptr;
        link_.reset();
    }

    long State() {
        long state = -1;
        link_->GetLinkState(&state);
        return state;
    }
    bool WaitState(long state) {
        return WaitUntil([&] { return State() == state; });
    }
    bool WaitEvent(int number, int occurrence = 0) {
        return WaitUntil([&] { return host_->Find(number, occurrence) != nullptr; });
    }

    std::vector<std::string> Lines() {
        globals_->Logger()->Close();
        return ChanferLines(logPath_);
    }
    // The lines appear in this order, others between them allowed.
    void ExpectLogged(const std::vector<std::string> &expected) {
        const std::vector<std::string> lines = Lines();
        auto at = lines.begin();
        for (const std::string &text : expected) {
            at = std::find(at, lines.end(), text);
            ASSERT_NE(lines.end(), at) << "missing or out of order: " << text;
            ++at;
        }
    }
    size_t CountLogged(const std::string &text) {
        const std::vector<std::string> lines = Lines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
    }

    HRESULT Transact(TransactStatistics &statistics, bool withReceive = true) {
        CFrameBuffer send, receive;
        send.Append("ask", 3);
        return link_->Transact(&send, withReceive ? &receive : nullptr, &statistics);
    }

    unsigned threadsBefore_ = 0;
    DWORD handlesBefore_ = 0;
    std::string logPath_;
    CIOGlobals *globals_ = nullptr;
    CTestHost *host_ = nullptr;
    LinkScript script_;
    ComPtr<CScriptedLink> link_;
};

void ExpectStatistics(const TransactStatistics &actual, unsigned sent, unsigned failures, unsigned timeouts,
                      unsigned errors) {
    EXPECT_EQ(sent, actual.framesSent);
    EXPECT_EQ(failures, actual.failures);
    EXPECT_EQ(timeouts, actual.receiveTimeouts);
    EXPECT_EQ(errors, actual.receiveErrors);
    EXPECT_EQ(0u, actual.other);
}

TEST_F(PhysicalLayerTest, ConnectsExchangesAndTerminates) {
    script_.QueueConnects({true});
    CScriptedLink *link = Start();
    ASSERT_TRUE(WaitState(LINK_CONNECTED));
    long state = 0;
    EXPECT_EQ(S_OK, link->GetLinkState(&state));
    EXPECT_EQ(E_POINTER, link->GetLinkState(nullptr));

    TransactStatistics statistics;
    EXPECT_EQ(S_OK, Transact(statistics));
    ExpectStatistics(statistics, 1, 0, 0, 0);
    EXPECT_EQ(1, host_->framesReceived.load());
    Release();

    EXPECT_EQ(1, script_.initializeCalls.load());
    EXPECT_EQ(1, script_.terminateCalls.load());
    EXPECT_EQ(1, script_.disconnectCalls.load());
    EXPECT_EQ(1, host_->connectedCalls.load());
    EXPECT_EQ(1, host_->disconnectedCalls.load());
    EXPECT_EQ((Numbers{1, 3, 4, 6, 17, 15, 16}), host_->EventNumbers());
    const std::vector<PostedEvent> &events = host_->Events();
    const char *texts[] = {"Initializing physical layer...",  "Physical layer initialized!",
                           "Connecting physical layer...",    "Physical layer connected!",
                           "Disconnecting physical layer...", "Terminating physical layer...",
                           "Physical layer terminated! (3 bytes sent, 2 bytes received)"};
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(texts[i], events[i].text);
        EXPECT_EQ(EVENT_INFORMATION, events[i].type);
        EXPECT_EQ(kEventSource, events[i].source);
    }
    // The link thread's lines and the stopping thread's second line may
    // come in either order.
    ExpectLogged({"INITIALIZING...", "INITIALIZED!", "Request handler enabled", "CONNECTING...", "CONNECTED!",
                  "Stopping physical layer thread...", "TERMINATING...",
                  "TERMINATED! (3 bytes sent, 2 bytes received)", "Request handler disabled",
                  "Physical layer thread stopped!"});
    ExpectLogged({"Stopping physical layer thread...", "Waiting for termination of physical layer thread...",
                  "Physical layer thread stopped!"});
}

TEST_F(PhysicalLayerTest, QueryInterfaceAndProperties) {
    script_.QueueConnects({true});
    CScriptedLink *link = Start();
    ASSERT_TRUE(WaitState(LINK_CONNECTED));
    ComPtr<IIOInterface> asInterface;
    EXPECT_EQ(S_OK, link->QueryInterface(__uuidof(IIOInterface), asInterface.put_void()));
    EXPECT_EQ(static_cast<IIOInterface *>(link), asInterface.get());
    ComPtr<IUnknown> asUnknown;
    EXPECT_EQ(S_OK, link->QueryInterface(__uuidof(IUnknown), asUnknown.put_void()));
    ComPtr<IIOHost> other;
    EXPECT_EQ(E_NOINTERFACE, link->QueryInterface(__uuidof(IIOHost), other.put_void()));
    EXPECT_EQ(nullptr, other.get());
    EXPECT_EQ(E_POINTER, link->QueryInterface(__uuidof(IUnknown), nullptr));

    HValue value = HValue::Create();
    int32_t number = -1;
    EXPECT_EQ(S_OK, link->GetProperty(0, 2, nullptr, value.get()));
    EXPECT_TRUE(hvGetI32(value.get(), &number));
    EXPECT_EQ(LINK_CONNECTED, number);
    EXPECT_EQ(E_FAIL, link->GetProperty(0, 1, nullptr, value.get()));
    EXPECT_EQ(E_FAIL, link->GetProperty(3, 2, nullptr, value.get()));
    EXPECT_EQ(E_FAIL, link->SetProperty(0, 2, nullptr, value.get()));
    EXPECT_EQ(E_NOTIMPL, link->ForceDisconnect());
}

// The slot a virtual member occupies in its class's table, read from the
// member pointer itself (in this compiler's ABI a virtual member pointer holds
// one plus the slot's byte offset). Nothing is called through the table, so
// the check holds for every calling convention.
template <class Member>
long SlotOf(Member member) {
    static_assert(sizeof(Member) == 2 * sizeof(void *), "a member pointer is two words here");
    uintptr_t words[2];
    memcpy(words, &member, sizeof words);
    if ((words[0] & 1) == 0) return -1;  // not a virtual member
    return static_cast<long>((words[0] - 1) / sizeof(void *));
}

DWORD WINAPI WaitForEvent(void *event) { return WaitForSingleObject(event, INFINITE); }

// The leak checks of these tests count handles and threads: both counts see
// one left open on purpose.
TEST(ProcessCounts, SeeALeftOverHandleAndThread) {
    const DWORD handles = HandleCount();
    HANDLE leaked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, leaked);
    EXPECT_EQ(handles + 1, HandleCount());
    const unsigned threads = ThreadCount();
    HANDLE waiter = CreateThread(nullptr, 0, WaitForEvent, leaked, 0, nullptr);
    ASSERT_NE(nullptr, waiter);
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threads + 1; }));
    EXPECT_EQ(handles + 2, HandleCount());
    SetEvent(leaked);
    WaitForSingleObject(waiter, INFINITE);
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threads; }));
    CloseHandle(waiter);
    CloseHandle(leaked);
    EXPECT_EQ(handles, HandleCount());
}

// The link operations follow the interface's eleven slots, in the order that
// links built apart from the engine rely on.
TEST(PhysicalLayerSlots, OrderIsTheBinaryContract) {
    EXPECT_EQ(3, SlotOf(&IIOInterface::Stop));
    EXPECT_EQ(4, SlotOf(&IIOInterface::Transact));
    EXPECT_EQ(5, SlotOf(&IIOInterface::ReadByte));
    EXPECT_EQ(6, SlotOf(&IIOInterface::Read));
    EXPECT_EQ(7, SlotOf(&IIOInterface::GetProperty));
    EXPECT_EQ(8, SlotOf(&IIOInterface::SetProperty));
    EXPECT_EQ(9, SlotOf(&IIOInterface::GetLinkState));
    EXPECT_EQ(10, SlotOf(&IIOInterface::ForceDisconnect));
    EXPECT_EQ(11, SlotOf(&CPhysicalLayer::Initialize));
    EXPECT_EQ(12, SlotOf(&CPhysicalLayer::Connect));
    EXPECT_EQ(13, SlotOf(&CPhysicalLayer::Send));
    EXPECT_EQ(14, SlotOf(&CPhysicalLayer::Poll));
    EXPECT_EQ(15, SlotOf(&CPhysicalLayer::IsConnectionLost));
    EXPECT_EQ(16, SlotOf(&CPhysicalLayer::CheckIncomingConnection));
    EXPECT_EQ(17, SlotOf(&CPhysicalLayer::IsDataAvailable));
    EXPECT_EQ(18, SlotOf(&CPhysicalLayer::Disconnect));
    EXPECT_EQ(19, SlotOf(&CPhysicalLayer::Terminate));
    EXPECT_EQ(20, SlotOf(&CPhysicalLayer::WakeUp));
    EXPECT_EQ(21, SlotOf(&CPhysicalLayer::IsPassive));
    EXPECT_EQ(22, SlotOf(&CPhysicalLayer::OnReconnectPostponed));
    EXPECT_EQ(23, SlotOf(&CPhysicalLayer::GetExtraWaitHandle));
    EXPECT_EQ(24, SlotOf(&CPhysicalLayer::OnDataReceived));
}

TEST_F(PhysicalLayerTest, RecoveryOffAbortsAtTheFirstFailure) {
    script_.QueueConnects({false});
    CScriptedLink *link = Start();
    ASSERT_TRUE(WaitState(LINK_STOPPED));
    ASSERT_TRUE(WaitEvent(18));
    long state = -1;
    EXPECT_EQ(S_OK, link->GetLinkState(&state));
    EXPECT_EQ(LINK_STOPPED, state);

    TransactStatistics statistics;
    EXPECT_EQ(E_FAIL, Transact(statistics));
    ExpectStatistics(statistics, 0, 1, 0, 0);
    Release();

    EXPECT_EQ(1, script_.connectCalls.load());
    EXPECT_EQ(1, script_.disconnectCalls.load());
    EXPECT_EQ(0, script_.sendCalls.load());
    EXPECT_EQ((Numbers{1, 3, 4, 5, 17, 18, 15, 16}), host_->EventNumbers());
    EXPECT_EQ(EVENT_ERROR, host_->Find(5)->type);
    EXPECT_EQ("Failed to connect physical layer!", host_->Find(5)->text);
    EXPECT_EQ(EVENT_INFORMATION, host_->Find(17)->type);
    EXPECT_EQ(EVENT_ERROR, host_->Find(18)->type);
    EXPECT_EQ("Physical layer aborted (exhausted all retries)!", host_->Find(18)->text);
    ExpectLogged({"CONNECTING...", "CONNECTION FAILED!", "ABORTING... (maximum number of reconnections was exceeded)",
                  "ABORTED!", "TERMINATING...", "TERMINATED! (0 bytes sent, 0 bytes received)"});
}

class GiveUpTest : public PhysicalLayerTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(GiveUpTest, AbortsAfterTheGivenNumberOfTries) {
    const unsigned tries = GetParam();
    Config().SetI32(param::RecoverEnable, 1);
    Config().SetI32(param::GiveUpEnable, 1);
    Config().SetU32(param::GiveUpTries, tries);
    Start();
    ASSERT_TRUE(WaitEvent(18));
    ASSERT_TRUE(WaitState(LINK_STOPPED));
    Release();

    const unsigned attempts = std::max(tries, 1u);
    EXPECT_EQ(static_cast<int>(attempts), script_.connectCalls.load());
    Numbers expected{1, 3, 4, 5};
    for (unsigned retry = 1; retry < attempts; ++retry) {
        expected.push_back(12);
        expected.push_back(13);
        EXPECT_EQ("Reconnecting physical layer (retry #" + std::to_string(retry) + ")...",
                  host_->Find(12, static_cast<int>(retry - 1))->text);
        EXPECT_EQ("Failed to reconnect physical layer (retry #" + std::to_string(retry) + ")!",
                  host_->Find(13, static_cast<int>(retry - 1))->text);
        EXPECT_EQ(EVENT_ERROR, host_->Find(13, static_cast<int>(retry - 1))->type);
    }
    expected.insert(expected.end(), {17, 18, 15, 16});
    EXPECT_EQ(expected, host_->EventNumbers());
    EXPECT_EQ(attempts - 1, CountLogged("RECONNECTING..."));
    EXPECT_EQ(attempts - 1, CountLogged("RECONNECTION FAILED!"));
    EXPECT_EQ(1u, CountLogged("ABORTED!"));
}

INSTANTIATE_TEST_SUITE_P(Tries, GiveUpTest, ::testing::Values(0u, 1u, 3u));

TEST_F(PhysicalLayerTest, RecoveryWithoutGiveUpKeepsRetrying) {
    Config().SetI32(param::RecoverEnable, 1);
    script_.QueueConnects({false, false});
    script_.connectDefault = true;
    Start();
    ASSERT_TRUE(WaitEvent(14));
    EXPECT_EQ(LINK_CONNECTED, State());
    EXPECT_EQ((Numbers{1, 3, 4, 5, 12, 13, 12, 14}), host_->EventNumbers());
    EXPECT_EQ("Physical layer reconnected (on retry #2)!", host_->Find(14)->text);
    EXPECT_EQ(1, host_->connectedCalls.load());
}

TEST_F(PhysicalLayerTest, LossReconnectsAtOnce) {
    Config().SetI32(param::RecoverEnable, 1);
    Config().SetU32(param::RecoverPeriodSec, 0);
    script_.QueueConnects({true, true});
    Start();
    ASSERT_TRUE(WaitState(LINK_CONNECTED));
    script_.lose = true;
    ASSERT_TRUE(WaitEvent(10));
    EXPECT_EQ(LINK_CONNECTED, State());
    EXPECT_EQ((Numbers{1, 3, 4, 6, 7, 8, 10}), host_->EventNumbers());
    EXPECT_EQ(EVENT_ERROR, host_->Find(7)->type);
    EXPECT_EQ("Physical layer connection lost!", host_->Find(7)->text);
    EXPECT_EQ("Reconnecting physical layer...", host_->Find(8)->text);
    EXPECT_EQ("Physical layer reconnected!", host_->Find(10)->text);
    EXPECT_EQ(2, script_.connectCalls.load());
    EXPECT_EQ(1, script_.disconnectCalls.load());
    EXPECT_EQ(2, host_->connectedCalls.load());
    EXPECT_EQ(1, host_->disconnectedCalls.load());
    ExpectLogged({"CONNECTED!", "CONNECTION LOST!", "RECONNECTING...", "RECONNECTED!"});
}

TEST_F(PhysicalLayerTest, FailedReconnectionAfterLossIsRetried) {
    Config().SetI32(param::RecoverEnable, 1);
    Config().SetU32(param::RecoverPeriodSec, 0);
    script_.QueueConnects({true, false, true});
    Start();
    ASSERT_TRUE(WaitState(LINK_CONNECTED));
    script_.lose = true;
    ASSERT_TRUE(WaitEvent(14));
    EXPECT_EQ((Numbers{1, 3, 4, 6, 7, 8, 9, 12, 14}), host_->EventNumbers());
    EXPECT_EQ("Failed to reconnect physical layer!", host_->Find(9)->text);
    EXPECT_EQ("Reconnecting physical layer (retry #1)...", host_->Find(12)->text);
}

TEST_F(PhysicalLayerTest, LossWithinTheRecoverPeriodIsPostponedThenRetried) {
    Config().SetI32(param::RecoverEnable, 1);
    Config().SetU32(param::RecoverPeriodSec, 2);
    script_.QueueConnects({true, true});
    // Lost on the first pass, right after the first connection.
    script_.lose = true;
    Start();
    ASSERT_TRUE(WaitEvent(14));
    EXPECT_EQ(LINK_CONNECTED, State());
    EXPECT_EQ((Numbers{1, 3, 4, 6, 7, 12, 14}), host_->EventNumbers());
    EXPECT_EQ("Reconnecting physical layer (retry #0)...", host_->Find(12)->text);
    EXPECT_EQ("Physical layer reconnected (on retry #0)!", host_->Find(14)->text);
    EXPECT_EQ(1, script_.postponedCalls.load());
    EXPECT_EQ(2, script_.connectCalls.load());
    ExpectLogged({"CONNECTED!", "CONNECTION LOST!", "RECONNECT POSTPONED!", "RECONNECTING...", "RECONNECTED!"});
}

TEST_F(PhysicalLayerTest, LossWithoutRecoveryAborts) {
    script_.QueueConnects({true});
    Start();
    ASSERT_TRUE(WaitState(LINK_CONNECTED));
    script_.lose = true;
    ASSERT_TRUE(WaitEvent(18));
    ASSERT_TRUE(WaitState(LINK_STOPPED));
    EXPECT_EQ((Numbers{1, 3, 4, 6, 7, 17, 18}), host_->EventNumbers());
    EXPECT_EQ(1, script_.connectCalls.load());
    EXPECT_EQ(2, script_.disconnectCalls.load());
}

TEST_F(PhysicalLayerTest, InactiveChannelIsDroppedAndReconnected) {
    Config().SetI32(param::RecoverEnable, 1);
    Config().SetU32(param::RecoverPeriodSec, 0);
    Config().SetI32(param::InactivityEnable, 1);
    Config().SetU32(param::InactivityPeriodSec, 1);
    script_.connectDefault = true;
    Start();
    ASSERT_TRUE(WaitEvent(14));
    Release();
    const Numbers numbers = host_->EventNumbers();
    ASSERT_GE(numbers.size(), 7u);
    EXPECT_EQ((Numbers{1, 3, 4, 6, 19, 12, 14}), Numbers(numbers.begin(), numbers.begin() + 7));
    EXPECT_EQ(numbers.end(), std::find(numbers.begin(), numbers.end(), 7));
    EXPECT_EQ("Physical layer non-responsive for 1 seconds, disconnecting...", host_->Find(19)->text);
    EXPECT_EQ(EVENT_INFORMATION, host_->Find(19)->type);
    EXPECT_EQ("Reconnecting physical layer (retry #0)...", host_->Find(12)->text);
    EXPECT_GE(script_.disconnectCalls.load(), 1);
    EXPECT_GE(host_->disconnectedCalls.load(), 1);

    const std::vector<std::string> lines = Lines();
    const std::string prefix = "Closing connection, the channel is inactive for '";
    auto closing = std::find_if(lines.begin(), lines.end(),
                                [&](const std::string &line) { return line.rfind(prefix, 0) == 0; });
    ASSERT_NE(lines.end(), closing);
    unsigned elapsed = 0;
    ASSERT_EQ(1, sscanf(closing->c_str() + prefix.size(), "%u", &elapsed));
    EXPECT_GT(elapsed, 1000u);
    EXPECT_EQ(prefix + std::to_string(elapsed) + "' msec (max=1000)!", *closing);
    EXPECT_EQ(lines.end(), std::find(lines.begin(), lines.end(), "CONNECTION LOST!"));
}

TEST_F(PhysicalLayerTest, ActivityKeepsTheChannelOpen) {
    Config().SetI32(param::InactivityEnable, 1);
    Config().SetU32(param::InactivityPeriodSec, 1);
    script_.QueueConnects({true});
    Start();
    ASSERT_TRUE(WaitState(LINK_CONNECTED));
    // Each answered transaction is activity; the channel outlives two periods.
    // A loaded machine may stall this thread for longer than a period, and
    // then the drop is right: only gaps shorter than the period are judged.
    const DWORD start = GetTickCount();
    DWORD last = start, longestGap = 0;
    while (GetTickCount() - start < 2500) {
        TransactStatistics statistics;
        ASSERT_EQ(S_OK, Transact(statistics));
        const DWORD now = GetTickCount();
        longestGap = std::max(longestGap, now - last);
        last = now;
        Sleep(50);
    }
    if (longestGap >= 900) GTEST_SKIP() << "this thread stalled for " << longestGap << " ms";
    EXPECT_FALSE(host_->HasEvent(19));
    EXPECT_EQ(LINK_CONNECTED, State());
}

TEST_F(PhysicalLayerTest, ManualModeConnectsOnlyThroughAnIncomingConnection) {
    Config().SetU32(param::ConnectionMode, 1);
    CScriptedLink *link = Start();
    long state = -1;
    ASSERT_TRUE(WaitUntil([&] { return link->GetLinkState(&state) == S_OK; }));
    EXPECT_EQ(LINK_DISCONNECTED, state);
    TransactStatistics statistics;
    EXPECT_EQ(E_FAIL, Transact(statistics));
    ExpectStatistics(statistics, 0, 1, 0, 0);

    script_.incoming = true;
    ASSERT_TRUE(WaitState(LINK_CONNECTED));
    ASSERT_TRUE(WaitEvent(11));
    EXPECT_EQ("Physical layer connected automatically!", host_->Find(11)->text);
    EXPECT_EQ(S_OK, Transact(statistics));

    // A loss is not followed by a reconnection of the link's own.
    script_.lose = true;
    ASSERT_TRUE(WaitState(LINK_DISCONNECTED));
    script_.incoming = true;
    ASSERT_TRUE(WaitEvent(11, 1));
    Release();
    EXPECT_EQ(0, script_.connectCalls.load());
    EXPECT_EQ((Numbers{1, 3, 11, 7, 11, 17, 15, 16}), host_->EventNumbers());
    EXPECT_EQ(2u, CountLogged("CONNECTED AUTOMATICALLY!"));
}

TEST_F(PhysicalLayerTest, PassiveLinkNeverDialsOut) {
    script_.passive = true;
    Config().SetI32(param::RecoverEnable, 1);
    Start();
    EXPECT_EQ(LINK_DISCONNECTED, State());
    script_.incoming = true;
    ASSERT_TRUE(WaitEvent(11));
    script_.lose = true;
    ASSERT_TRUE(WaitState(LINK_DISCONNECTED));
    Release();
    EXPECT_EQ(0, script_.connectCalls.load());
    EXPECT_EQ((Numbers{1, 3, 11, 7, 15, 16}), host_->EventNumbers());
}

TEST_F(PhysicalLayerTest, LinkStateIsStartingUntilTheFirstAttemptEnds) {
    script_.blockConnect = true;
    script_.QueueConnects({true});
    CScriptedLink *link = Start();
    ASSERT_TRUE(WaitUntil([&] { return script_.blocked == 1; }));
    long state = -1;
    EXPECT_EQ(IO_S_LINK_STARTING, link->GetLinkState(&state));
    EXPECT_EQ(static_cast<HRESULT>(0x0004E00F), link->GetLinkState(&state));
    EXPECT_EQ(LINK_DISCONNECTED, state);
    TransactStatistics statistics;
    EXPECT_EQ(E_FAIL, Transact(statistics));

    SetEvent(script_.gate.get());
    ASSERT_TRUE(WaitUntil([&] { return link->GetLinkState(&state) == S_OK; }));
    EXPECT_EQ(LINK_CONNECTED, state);
}

TEST_F(PhysicalLayerTest, ReceiveTimeoutZeroMeansOneSecond) {
    Config().SetU32(param::TimeoutMs, 0);
    Start();
    EXPECT_EQ(1000u, script_.timeoutSeen.load());
    Release();

    Config().SetU32(param::TimeoutMs, 250);
    Start();
    EXPECT_EQ(250u, script_.timeoutSeen.load());
    Release();

    Config().DeleteParameter(param::TimeoutMs);
    Start();
    EXPECT_EQ(1000u, script_.timeoutSeen.load());
}

TEST_F(PhysicalLayerTest, InitializationFailureStopsTheThread) {
    script_.initializeResult = false;
    Start(E_FAIL);
    EXPECT_EQ(LINK_STOPPED, State());
    TransactStatistics statistics;
    EXPECT_EQ(E_FAIL, Transact(statistics));
    ExpectStatistics(statistics, 0, 1, 0, 0);
    Release();
    EXPECT_EQ(0, script_.terminateCalls.load());
    EXPECT_EQ((Numbers{1, 2}), host_->EventNumbers());
    EXPECT_EQ(EVENT_ERROR, host_->Find(2)->type);
    EXPECT_EQ("Physical layer initialization failed!", host_->Find(2)->text);
    ExpectLogged({"INITIALIZING...", "INITIALIZATION FAILED!"});
}

TEST_F(PhysicalLayerTest, TransactionOutcomesAreCounted) {
    script_.QueueConnects({true});
    Start();
    ASSERT_TRUE(WaitState(LINK_CONNECTED));
    TransactStatistics statistics;

    host_->QueueReceives({IO_E_RECEIVE_TIMEOUT, E_ACCESSDENIED});
    EXPECT_EQ(E_FAIL, Transact(statistics));
    ExpectStatistics(statistics, 1, 0, 1, 0);
    EXPECT_EQ(E_FAIL, Transact(statistics));
    ExpectStatistics(statistics, 1, 0, 0, 1);

    EXPECT_EQ(S_OK, Transact(statistics, false));
    ExpectStatistics(statistics, 1, 0, 0, 0);
    EXPECT_EQ(2, host_->receives.load());

    script_.sendResult = false;
    EXPECT_EQ(E_FAIL, Transact(statistics));
    ExpectStatistics(statistics, 0, 1, 0, 0);
    EXPECT_EQ(2, host_->receives.load());
    script_.sendResult = true;

    EXPECT_EQ(E_FAIL, link_->Transact(nullptr, nullptr, &statistics));
    ExpectStatistics(statistics, 0, 0, 0, 0);

    CFrameBuffer receive;
    EXPECT_EQ(S_OK, link_->Transact(nullptr, &receive, &statistics));
    ExpectStatistics(statistics, 0, 0, 0, 0);
    EXPECT_EQ(2u, receive.Length());
    EXPECT_EQ(E_POINTER, link_->Transact(nullptr, &receive, nullptr));
}

TEST_F(PhysicalLayerTest, TwoConcurrentCallersAreBothAnswered) {
    script_.QueueConnects({true});
    Start();
    ASSERT_TRUE(WaitState(LINK_CONNECTED));
    host_->blockReceive = true;
    HRESULT first = E_UNEXPECTED, second = E_UNEXPECTED;
    TransactStatistics firstStatistics = {}, secondStatistics = {};
    SystemThread one([&] { first = Transact(firstStatistics); });
    ASSERT_TRUE(WaitUntil([&] { return host_->blocked == 1; }));
    SystemThread two([&] { second = Transact(secondStatistics); });
    SetEvent(host_->gate.get());
    one.Join();
    two.Join();
    EXPECT_EQ(S_OK, first);
    EXPECT_EQ(S_OK, second);
    ExpectStatistics(firstStatistics, 1, 0, 0, 0);
    ExpectStatistics(secondStatistics, 1, 0, 0, 0);
    EXPECT_EQ(2, script_.sendCalls.load());
    EXPECT_EQ(2, host_->receives.load());
}

TEST_F(PhysicalLayerTest, TransactWhileStoppingFails) {
    script_.QueueConnects({true});
    CScriptedLink *link = Start();
    ASSERT_TRUE(WaitState(LINK_CONNECTED));
    link->Stop();
    TransactStatistics statistics;
    EXPECT_EQ(E_FAIL, Transact(statistics));
    ExpectStatistics(statistics, 0, 1, 0, 0);
    EXPECT_EQ(LINK_STOPPED, State());
    // A second Stop finds nothing left to do.
    EXPECT_EQ(S_OK, link->Stop());
    EXPECT_EQ(1u, CountLogged("Physical layer thread stopped!"));
}

TEST_F(PhysicalLayerTest, StopReleasesAPendingCaller) {
    script_.QueueConnects({true});
    CScriptedLink *link = Start();
    ASSERT_TRUE(WaitState(LINK_CONNECTED));
    script_.blockPoll = true;
    ASSERT_TRUE(WaitUntil([&] { return script_.blocked == 1; }));
    HRESULT result = E_UNEXPECTED;
    TransactStatistics statistics = {};
    SystemThread caller([&] { result = Transact(statistics); });
    ASSERT_TRUE(WaitUntil([&] { return link->RequestPending(); }));
    link->Stop();
    caller.Join();
    EXPECT_EQ(E_FAIL, result);
    ExpectStatistics(statistics, 0, 1, 0, 0);
    EXPECT_EQ(0, script_.sendCalls.load());
    ExpectLogged({"Stopping physical layer thread...", "TERMINATING...", "Request handler disabled",
                  "Pending request canceled!", "Physical layer thread stopped!"});
}

TEST_F(PhysicalLayerTest, TransactionOfTheLinkThreadRunsDirectly) {
    script_.QueueConnects({true});
    Start();
    ASSERT_TRUE(WaitState(LINK_CONNECTED));
    script_.ownTransact = true;
    ASSERT_TRUE(WaitUntil([&] { return script_.ownDone.load(); }));
    EXPECT_EQ(S_OK, script_.ownResult);
    ExpectStatistics(script_.ownStatistics, 1, 0, 0, 0);
    EXPECT_EQ(1, script_.sendCalls.load());
}

// A caller holds the submission lock while the link thread wants it for a
// transaction of its own: the caller is served first, then the own one runs.
TEST_F(PhysicalLayerTest, TransactionOfTheLinkThreadWaitsForAWaitingCaller) {
    script_.QueueConnects({true});
    CScriptedLink *link = Start();
    ASSERT_TRUE(WaitState(LINK_CONNECTED));
    script_.blockPoll = true;
    script_.ownTransact = true;
    ASSERT_TRUE(WaitUntil([&] { return script_.blocked == 1; }));
    HRESULT result = E_UNEXPECTED;
    TransactStatistics statistics = {};
    SystemThread caller([&] { result = Transact(statistics); });
    ASSERT_TRUE(WaitUntil([&] { return link->RequestPending(); }));
    SetEvent(script_.gate.get());
    caller.Join();
    ASSERT_TRUE(WaitUntil([&] { return script_.ownDone.load(); }));
    EXPECT_EQ(S_OK, result);
    ExpectStatistics(statistics, 1, 0, 0, 0);
    EXPECT_EQ(S_OK, script_.ownResult);
    ExpectStatistics(script_.ownStatistics, 1, 0, 0, 0);
}

// A transaction asked for from inside the reception of another one (on the
// link thread, while the first caller waits) fails at once instead of
// waiting for the lock that caller holds.
TEST_F(PhysicalLayerTest, TransactionFromInsideATransactionFailsAtOnce) {
    script_.QueueConnects({true});
    Start();
    ASSERT_TRUE(WaitState(LINK_CONNECTED));
    host_->nestedTransact = true;
    TransactStatistics statistics;
    EXPECT_EQ(S_OK, Transact(statistics));
    ExpectStatistics(statistics, 1, 0, 0, 0);
    EXPECT_EQ(E_FAIL, host_->nestedResult);
    ExpectStatistics(host_->nestedStatistics, 0, 1, 0, 0);
    EXPECT_EQ(1, script_.sendCalls.load());
    ExpectLogged({"Transaction refused: the link thread is inside a transaction already"});
}

TEST_F(PhysicalLayerTest, ConnectBlockedUntilWakeUpStillStops) {
    script_.blockConnect = true;
    Start();
    ASSERT_TRUE(WaitUntil([&] { return script_.blocked == 1; }));
    Release();
    EXPECT_EQ(1, script_.wakeCalls.load());
    EXPECT_EQ(1, script_.terminateCalls.load());
    EXPECT_EQ(0, script_.blocked.load());
    const Numbers numbers = host_->EventNumbers();
    EXPECT_EQ((Numbers{15, 16}), Numbers(numbers.end() - 2, numbers.end()));
}

TEST_F(PhysicalLayerTest, ReleasingTheLastReferenceStopsTheThread) {
    script_.QueueConnects({true});
    Start();
    ASSERT_TRUE(WaitState(LINK_CONNECTED));
    const DWORD linkThread = script_.linkThreadId;
    HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, linkThread);
    ASSERT_NE(nullptr, thread);
    link_->AddRef();
    EXPECT_EQ(1u, link_->Release());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 0));
    Release();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
    CloseHandle(thread);
    EXPECT_EQ(1, script_.terminateCalls.load());
    ExpectLogged({"Stopping physical layer thread...", "Physical layer thread stopped!"});
}

TEST_F(PhysicalLayerTest, UnsolicitedFramesArePumpedWhileIdle) {
    script_.QueueConnects({true});
    host_->idleResult = S_OK;
    script_.dataFrames = 3;
    Start();
    ASSERT_TRUE(WaitUntil([&] { return host_->unsolicited == 3; }));
    EXPECT_EQ(3, host_->framesReceived.load());
    EXPECT_EQ(0, script_.dataFrames.load());
    Release();
    EXPECT_TRUE(host_->HasEvent(16));
    EXPECT_EQ("Physical layer terminated! (0 bytes sent, 6 bytes received)", host_->Find(16)->text);
}

TEST_F(PhysicalLayerTest, HostStartsTheLinkNamedByItsType) {
    gFactoryScript = &script_;
    SetTestPhysicalLayer("Scripted", CreateScripted);
    script_.QueueConnects({true});
    Config().SetString(param::Type, "scripted");
    EXPECT_EQ(S_OK, host_->Start(true));
    EXPECT_TRUE(host_->IsOnline());
    ComPtr<IIOInterface> link;
    ASSERT_EQ(S_OK, host_->GetPhysicalLayer(link.put()));
    ASSERT_TRUE(WaitUntil([&] {
        long state = 0;
        return link->GetLinkState(&state) == S_OK && state == LINK_CONNECTED;
    }));
    HValue value = HValue::Create();
    int32_t number = -1;
    EXPECT_EQ(S_OK, link->GetProperty(0, 2, nullptr, value.get()));
    EXPECT_TRUE(hvGetI32(value.get(), &number));
    EXPECT_EQ(LINK_CONNECTED, number);
    link.reset();
    EXPECT_EQ(S_OK, host_->Stop());
    EXPECT_FALSE(host_->IsOnline());
    EXPECT_EQ(1, script_.terminateCalls.load());

    // A link that cannot start leaves the host offline.
    script_.initializeResult = false;
    EXPECT_EQ(E_FAIL, host_->Start(true));
    EXPECT_FALSE(host_->IsOnline());
    EXPECT_EQ(2, script_.initializeCalls.load());

    // A link type the driver does not know.
    Config().SetString(param::Type, "Fieldbus");
    EXPECT_EQ(E_FAIL, host_->Start(true));
    SetTestPhysicalLayer(nullptr, nullptr);
    Config().SetString(param::Type, "scripted");
    EXPECT_EQ(E_FAIL, host_->Start(true));
    EXPECT_EQ(2, script_.initializeCalls.load());
    gFactoryScript = nullptr;
}

void WarmUp::SetUp() {
    // One full run creates whatever the process keeps afterwards.
    CIOGlobals *globals = CIOGlobals::Create(nullptr);
    CTestHost *host = new CTestHost(globals);
    LinkScript script;
    script.QueueConnects({true});
    host->script = &script;
    {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        const std::string path = std::string(temp) + "quillon_phys_warmup.log";
        globals->Logger()->SetLogFile(path.c_str());
        ComPtr<CScriptedLink> link =
            ComPtr<CScriptedLink>::Attach(new CScriptedLink(globals, host, host->Configuration(), script));
        host->link = link.get();
        link->Start();
        WaitUntil([&] {
            long state = 0;
            link->GetLinkState(&state);
            return state == LINK_CONNECTED;
        });
        CFrameBuffer send, receive;
        TransactStatistics statistics;
        SystemThread([&] { link->Transact(&send, &receive, &statistics); }).Join();
        host->link = nullptr;
        link.reset();
        globals->Logger()->Close();
        DeleteFileA(path.c_str());
    }
    host->Release();
    globals->Release();
}

const ::testing::Environment *const gWarmUp = ::testing::AddGlobalTestEnvironment(new WarmUp);

} // namespace
