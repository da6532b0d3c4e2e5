// The control tags that belong to the link (its status, its own tag groups
// N3 = 2..5, working online) and the link engine's events as a host reads
// them, through a driver host created here and through the driver object.
// The link is a scripted test link registered under its own IO.Type.
#include "config/ConfigParameters.h"
#include "base/ControlTags.h"
#include "toolkit/IOFactory.h"
#include "phys/PhysicalLayerFactory.h"
#include "tests/phys/ScriptedLink.h"
#include "tests/support/DriverLibrary.h"
#include "tests/support/SystemThread.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

using namespace quillon;
using namespace quillon::test;

namespace {

constexpr const char kLinkType[] = "LinkTagsTest";
constexpr uint16_t kDeviceN1 = 1;

class CRecordingLink;

// One call that reached the link's GetProperty or SetProperty.
struct PropertyCall {
    bool set = false;
    uint16_t group = 0, item = 0;
    DriverRequest *request = nullptr;
    HVALUE value = nullptr;
    uint16_t operation = 0;
};

// What the links created by the factory share with the test.
struct LinkWorld {
    LinkScript *script = nullptr;
    CTestHost *testHost = nullptr;
    std::atomic<int> created{0};
    std::atomic<CRecordingLink *> last{nullptr};
    CriticalSection guard;
    std::vector<PropertyCall> calls;
    // Calls of GetLinkState from threads other than the link's own.
    std::atomic<int> stateQueries{0};
    std::atomic<bool> connectReturned{false};
    // While set, GetProperty waits for the gate (a request that runs long).
    std::atomic<bool> holdProperties{false};
    std::atomic<int> heldProperties{0};
    UniqueHandle propertyGate{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

    void Clear() {
        ScopedLock lock(guard);
        calls.clear();
    }
    std::vector<PropertyCall> Calls() {
        ScopedLock lock(guard);
        return calls;
    }
};

LinkWorld *gWorld = nullptr;

// The scripted link, recording what reaches its properties. Groups 3 and 4
// answer as a link with tags of its own would; the others are left to the
// engine.
class CRecordingLink final : public CScriptedLink {
public:
    CRecordingLink(CIOGlobals *globals, IIOHost *host, const CConfigData &config, LinkWorld &world)
        : CScriptedLink(globals, host, config, *world.script), world_(world) {}

    HRESULT STDMETHODCALLTYPE GetProperty(uint16_t group, uint16_t item, DriverRequest *request,
                                          HVALUE value) override {
        Record(false, group, item, request, value);
        if (world_.holdProperties) {
            ++world_.heldProperties;
            WaitForSingleObject(world_.propertyGate.get(), kDeadlineMs);
        }
        if (group == 3 || group == 4) return hvSetI32(value, group * 1000 + item) ? S_OK : E_FAIL;
        return CScriptedLink::GetProperty(group, item, request, value);
    }
    HRESULT STDMETHODCALLTYPE SetProperty(uint16_t group, uint16_t item, DriverRequest *request,
                                          HVALUE value) override {
        Record(true, group, item, request, value);
        if (group == 3 || group == 4) return S_FALSE;
        return CScriptedLink::SetProperty(group, item, request, value);
    }
    HRESULT STDMETHODCALLTYPE GetLinkState(long *state) override {
        if (GetCurrentThreadId() != world_.script->linkThreadId) ++world_.stateQueries;
        return CScriptedLink::GetLinkState(state);
    }
    BOOL Connect() override {
        const BOOL connected = CScriptedLink::Connect();
        world_.connectReturned = true;
        return connected;
    }

private:
    void Record(bool set, uint16_t group, uint16_t item, DriverRequest *request, HVALUE value) {
        ScopedLock lock(world_.guard);
        world_.calls.push_back({set, group, item, request, value, request ? request->operation : uint16_t(0)});
    }

    LinkWorld &world_;
};

CPhysicalLayer *CreateRecordingLink(CIOGlobals *globals, IIOHost *host, const CConfigData &config) {
    CRecordingLink *link = new CRecordingLink(globals, host, config, *gWorld);
    if (gWorld->testHost) gWorld->testHost->link = link;
    gWorld->last = link;
    ++gWorld->created;
    return link;
}

struct Event {
    int32_t type = -100, source = -100, number = -100;
    std::string text;
};

bool operator==(const Event &a, const Event &b) {
    return a.type == b.type && a.source == b.source && a.number == b.number && a.text == b.text;
}

std::ostream &operator<<(std::ostream &out, const Event &event) {
    return out << "(" << event.type << "," << event.source << "," << event.number << ",\"" << event.text << "\")";
}

std::vector<Event> EventsOf(HVALUE list) {
    std::vector<Event> events;
    EXPECT_EQ(hvGetType(list), static_cast<unsigned>(HV_LIST));
    hvPosition position = nullptr;
    for (HVALUE item = hvListFirst(list, &position); item; item = hvListNext(list, &position)) {
        Event event;
        EXPECT_EQ(hvGetType(item), static_cast<unsigned>(HV_ARRAY | HV_HVAL));
        EXPECT_EQ(hvGetCount(item), 4u);
        hvGetElementI32(item, 0, &event.type);
        hvGetElementI32(item, 1, &event.source);
        hvGetElementI32(item, 2, &event.number);
        const char *text = nullptr;
        if (hvGetElementString(item, 3, &text) && text) event.text = text;
        events.push_back(event);
    }
    return events;
}

Event Info(int number, const std::string &text) { return {EVENT_INFORMATION, EVENT_SOURCE_TOOLKIT, number, text}; }
Event Error(int number, const std::string &text) { return {EVENT_ERROR, EVENT_SOURCE_TOOLKIT, number, text}; }

const Event kInitializing = Info(1, "Initializing physical layer...");
const Event kInitialized = Info(3, "Physical layer initialized!");
const Event kConnecting = Info(4, "Connecting physical layer...");
const Event kConnectFailed = Error(5, "Failed to connect physical layer!");
const Event kConnected = Info(6, "Physical layer connected!");
const Event kConnectedAutomatically = Info(11, "Physical layer connected automatically!");
const Event kTerminating = Info(15, "Terminating physical layer...");
const Event kDisconnecting = Info(17, "Disconnecting physical layer...");
const Event kAborted = Error(18, "Physical layer aborted (exhausted all retries)!");

Event Terminated(unsigned sent, unsigned received) {
    return Info(16, "Physical layer terminated! (" + std::to_string(sent) + " bytes sent, " + std::to_string(received) +
                        " bytes received)");
}

int32_t I32Of(HVALUE value) {
    int32_t number = -12345;
    EXPECT_EQ(hvGetType(value), static_cast<unsigned>(HV_I32));
    EXPECT_TRUE(hvGetI32(value, &number));
    return number;
}

// Ends the thread of the given id when the test is over, or tells it has.
class ThreadWatch {
public:
    explicit ThreadWatch(DWORD id) : handle_(id ? OpenThread(SYNCHRONIZE, FALSE, id) : nullptr) {}
    bool Valid() const { return handle_.valid(); }
    bool Ended(DWORD waitMs = kDeadlineMs) const {
        return handle_.valid() && WaitForSingleObject(handle_.get(), waitMs) == WAIT_OBJECT_0;
    }
    bool Running() const { return handle_.valid() && WaitForSingleObject(handle_.get(), 0) == WAIT_TIMEOUT; }

private:
    UniqueHandle handle_;
};

// Threads and handles of the process are counted before and after each
// test; whatever the first use of a library leaves behind is made here once.
class WarmUp : public ::testing::Environment {
public:
    void SetUp() override;
};

class LinkTagsBase : public ::testing::Test {
protected:
    void SetUp() override {
        threadsBefore_ = ThreadCount();
        handlesBefore_ = HandleCount();
        world_.script = &script_;
        gWorld = &world_;
        SetTestPhysicalLayer(kLinkType, CreateRecordingLink);
    }
    void TearDown() override {
        SetTestPhysicalLayer(nullptr, nullptr);
        gWorld = nullptr;
        // Reporting a failure starts a thread of Wine's own, so a failed
        // test is not counted.
        if (HasFailure()) return;
        EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore_; }))
            << ThreadCount() << " threads, " << threadsBefore_ << " before";
        EXPECT_TRUE(WaitUntil([&] { return HandleCount() <= handlesBefore_; }))
            << HandleCount() << " handles, " << handlesBefore_ << " before";
    }

    LinkScript script_;
    LinkWorld world_;
    unsigned threadsBefore_ = 0;
    DWORD handlesBefore_ = 0;
};

// A driver host of the test's own that creates the test link.
class LinkTagsTest : public LinkTagsBase {
protected:
    void SetUp() override {
        LinkTagsBase::SetUp();
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        logPath_ = std::string(temp) + "quillon_linktags_" + std::to_string(GetCurrentProcessId()) + ".log";
        DeleteFileA(logPath_.c_str());
        globals_ = CIOGlobals::Create(nullptr);
        ASSERT_NE(nullptr, globals_);
        host_ = new CTestHost(globals_);
        host_->script = &script_;
        world_.testHost = host_;
        globals_->Logger()->SetLogFile(logPath_.c_str());
        Config().SetString(param::Type, kLinkType);
        Config().SetU32(param::RecoverPeriodSec, 1);
    }
    void TearDown() override {
        if (host_) {
            host_->Stop();
            host_->Release();
            host_ = nullptr;
        }
        if (globals_) globals_->Release();
        DeleteFileA(logPath_.c_str());
        LinkTagsBase::TearDown();
    }

    CConfigData &Config() { return host_->Configuration(); }

    HRESULT Dispatch(DriverRequest &request, HVALUE value) { return host_->Dispatch(&request, value); }

    int32_t Status() {
        HValue value = StringValue("stale");
        DriverRequest request = HostTagRequest(HOST_TAG_LINK_STATUS, OP_READ_VALUE, value.get());
        EXPECT_EQ(S_OK, Dispatch(request, value.get()));
        return I32Of(value.get());
    }
    bool WaitStatus(int32_t status) {
        return WaitUntil([&] { return Status() == status; });
    }
    HRESULT WriteOnline(int32_t online) {
        HValue value = I32Value(online);
        DriverRequest request = HostTagRequest(HOST_TAG_WORK_ONLINE, OP_WRITE_VALUE, value.get());
        return Dispatch(request, value.get());
    }
    int32_t ReadOnline() {
        HValue value = HValue::Create();
        DriverRequest request = HostTagRequest(HOST_TAG_WORK_ONLINE, OP_READ_VALUE, value.get());
        EXPECT_EQ(S_OK, Dispatch(request, value.get()));
        return I32Of(value.get());
    }
    // Reads the events block as a host does and keeps what it got.
    const std::vector<Event> &ReadEvents() {
        HValue value = I32Value(7);
        DriverRequest request = HostTagRequest(HOST_TAG_EVENTS, OP_READ_BLOCK, value.get(), 4, 4);
        EXPECT_EQ(S_OK, Dispatch(request, value.get()));
        for (const Event &event : EventsOf(value.get())) events_.push_back(event);
        return events_;
    }
    bool WaitEvent(int number) {
        return WaitUntil([&] {
            const auto &events = ReadEvents();
            return std::any_of(events.begin(), events.end(), [&](const Event &e) { return e.number == number; });
        });
    }
    std::vector<std::string> ChanferLog() {
        globals_->Logger()->Close();
        return ChanferLines(logPath_);
    }
    DWORD LinkThread() { return script_.linkThreadId; }

    CIOGlobals *globals_ = nullptr;
    CTestHost *host_ = nullptr;
    std::string logPath_;
    std::vector<Event> events_;
};

TEST_F(LinkTagsTest, StatusIsTheLinkStateReachedThroughItsProperty) {
    EXPECT_EQ(0, Status());
    script_.passive = true;  // waits for the other side and never dials
    ASSERT_EQ(S_OK, host_->Start(false));
    EXPECT_EQ(1, world_.created);
    EXPECT_EQ(1, Status());
    script_.incoming = true;
    EXPECT_TRUE(WaitStatus(2));

    // The status is asked of the link as group 0, item 2, with the record
    // and the record's value.
    HValue recordValue = StringValue("record");
    HValue other = StringValue("other");
    DriverRequest request = HostTagRequest(HOST_TAG_LINK_STATUS, OP_READ_VALUE, recordValue.get());
    world_.Clear();
    ASSERT_EQ(S_OK, Dispatch(request, other.get()));
    EXPECT_EQ(2, I32Of(recordValue.get()));
    EXPECT_EQ("other", StringOf(other.get()));
    const auto calls = world_.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_FALSE(calls[0].set);
    EXPECT_EQ(0, calls[0].group);
    EXPECT_EQ(2, calls[0].item);
    EXPECT_EQ(&request, calls[0].request);
    EXPECT_EQ(recordValue.get(), calls[0].value);

    ASSERT_EQ(S_OK, host_->Stop());
    EXPECT_EQ(0, Status());
    ReadEvents();
    ASSERT_GE(events_.size(), 4u);
    EXPECT_EQ(kConnectedAutomatically, events_[2]);
}

TEST_F(LinkTagsTest, StatusIsZeroOnceTheLinkHasGivenUp) {
    ASSERT_EQ(S_OK, host_->Start(false));  // every connect fails, recovery off
    EXPECT_TRUE(WaitEvent(18));
    EXPECT_TRUE(WaitStatus(0));
}

TEST_F(LinkTagsTest, TheLinksOwnTagsReachItsProperties) {
    script_.connectDefault = true;
    ASSERT_EQ(S_OK, host_->Start(false));
    ASSERT_TRUE(WaitStatus(2));
    world_.Clear();

    for (uint16_t n3 : {3, 4}) {
        for (uint16_t operation : {OP_READ_VALUE, OP_READ_BLOCK, OP_READ_BLOCK_ELEMENT}) {
            HValue value = StringValue("before");
            DriverRequest request = MakeRequest(operation, -1, 0, n3, 41, value.get(), 2, 3);
            request.flags = REQUEST_FLAG_VALIDATED;
            HValue passed = StringValue("passed");
            EXPECT_EQ(S_OK, Dispatch(request, passed.get())) << n3 << " " << operation;
            EXPECT_EQ(n3 * 1000 + 41, I32Of(passed.get()));
            const auto calls = world_.Calls();
            ASSERT_FALSE(calls.empty());
            EXPECT_FALSE(calls.back().set);
            EXPECT_EQ(n3, calls.back().group);
            EXPECT_EQ(41, calls.back().item);
            EXPECT_EQ(&request, calls.back().request);
            EXPECT_EQ(passed.get(), calls.back().value);
            EXPECT_EQ(operation, calls.back().operation);
        }
        for (uint16_t operation : {OP_WRITE_VALUE, OP_WRITE_BLOCK, OP_WRITE_BLOCK_ELEMENT}) {
            HValue value = I32Value(5);
            DriverRequest request = MakeRequest(operation, -1, 0, n3, 42, value.get());
            request.flags = REQUEST_FLAG_VALIDATED;
            EXPECT_EQ(S_FALSE, Dispatch(request, value.get())) << n3 << " " << operation;
            const auto calls = world_.Calls();
            ASSERT_FALSE(calls.empty());
            EXPECT_TRUE(calls.back().set);
            EXPECT_EQ(n3, calls.back().group);
            EXPECT_EQ(42, calls.back().item);
            EXPECT_EQ(&request, calls.back().request);
            EXPECT_EQ(value.get(), calls.back().value);
            EXPECT_EQ(operation, calls.back().operation);
            EXPECT_EQ(5, I32Of(value.get()));
        }
    }
    EXPECT_EQ(12u, world_.Calls().size());

    // Mask writes and other operations are not passed on.
    world_.Clear();
    for (uint16_t n3 = 2; n3 <= 5; ++n3) {
        for (uint16_t operation : std::initializer_list<uint16_t>{OP_MASK_WRITE_VALUE, OP_MASK_WRITE_BLOCK_ELEMENT, 3}) {
            HValue value = I32Value(1);
            DriverRequest request = MakeRequest(operation, -1, 0, n3, 1, value.get());
            request.flags = REQUEST_FLAG_VALIDATED;
            EXPECT_EQ(E_NOTIMPL, Dispatch(request, value.get())) << n3 << " " << operation;
        }
    }
    EXPECT_TRUE(world_.Calls().empty());

    // Groups the link leaves to the engine have no tags there.
    for (uint16_t n3 : {2, 5}) {
        for (uint16_t operation : {OP_READ_VALUE, OP_READ_BLOCK, OP_READ_BLOCK_ELEMENT, OP_WRITE_VALUE,
                                   OP_WRITE_BLOCK, OP_WRITE_BLOCK_ELEMENT}) {
            HValue value = I32Value(9);
            DriverRequest request = MakeRequest(operation, -1, 0, n3, 0, value.get());
            request.flags = REQUEST_FLAG_VALIDATED;
            EXPECT_EQ(E_FAIL, Dispatch(request, value.get())) << n3 << " " << operation;
        }
    }
    EXPECT_EQ(12u, world_.Calls().size());
}

TEST_F(LinkTagsTest, WorkingOnlineCreatesStartsAndStopsTheLink) {
    Config().SetI32(param::StartOffline, 1);
    script_.connectDefault = true;
    const unsigned threads = ThreadCount();
    ASSERT_EQ(1, host_->Start(false));
    EXPECT_EQ(0, world_.created);
    EXPECT_EQ(0, Status());
    EXPECT_EQ(0, ReadOnline());

    ASSERT_EQ(S_OK, WriteOnline(1));
    EXPECT_EQ(1, world_.created);
    EXPECT_EQ(1, script_.initializeCalls);
    ThreadWatch linkThread(LinkThread());
    ASSERT_TRUE(linkThread.Valid());
    EXPECT_TRUE(linkThread.Running());
    EXPECT_GT(ThreadCount(), threads);
    const int32_t status = Status();
    EXPECT_TRUE(status == 1 || status == 2) << status;
    EXPECT_TRUE(WaitStatus(2));
    EXPECT_EQ(1, ReadOnline());

    // Once online, another 1 changes nothing.
    EXPECT_EQ(S_OK, WriteOnline(1));
    EXPECT_EQ(1, world_.created);
    EXPECT_EQ(1, script_.initializeCalls);
    EXPECT_EQ(1, script_.connectCalls);
    EXPECT_TRUE(linkThread.Running());

    HValue name = StringValue("IO.TimeoutMs");
    HValue number = I32Value(250);
    HValue pairs = ArrayOf({name.get(), number.get()});
    HValue message = StringValue("untouched");
    DriverRequest set = HostTagRequest(HOST_TAG_SET_PARAMETERS, OP_WRITE_VALUE, pairs.get());
    set.message = message.get();
    EXPECT_EQ(E_FAIL, Dispatch(set, pairs.get()));
    EXPECT_EQ("Cannot set configuration parameters while the driver is ONLINE", StringOf(message.get()));

    ASSERT_EQ(S_OK, WriteOnline(0));
    EXPECT_TRUE(linkThread.Ended());
    EXPECT_EQ(0, Status());
    EXPECT_EQ(0, ReadOnline());
    EXPECT_EQ(S_OK, WriteOnline(0));

    // Offline again, the parameters can be set.
    hvSetString(message.get(), "untouched");
    EXPECT_EQ(S_OK, Dispatch(set, pairs.get()));
    EXPECT_EQ("", StringOf(message.get()));

    const auto lines = ChanferLog();
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "Physical layer thread stopped!"));
}

TEST_F(LinkTagsTest, AFailingOnlineWriteLeavesTheDriverOffline) {
    Config().SetI32(param::StartOffline, 1);
    script_.initializeResult = false;
    ASSERT_EQ(1, host_->Start(false));
    EXPECT_EQ(E_FAIL, WriteOnline(1));
    EXPECT_EQ(1, world_.created);
    EXPECT_EQ(0, ReadOnline());
    EXPECT_EQ(0, Status());
    ReadEvents();
    const std::vector<Event> expected = {kInitializing, Error(2, "Physical layer initialization failed!")};
    EXPECT_EQ(expected, events_);
}

TEST_F(LinkTagsTest, EventsOfAStartAndAStopAreReadInOrder) {
    script_.connectDefault = true;
    ASSERT_EQ(S_OK, host_->Start(false));
    ASSERT_TRUE(WaitEvent(6));
    std::vector<Event> expected = {kInitializing, kInitialized, kConnecting, kConnected};
    EXPECT_EQ(expected, events_);

    // A transaction of 3 bytes out and 2 back shows in the counts.
    ComPtr<IIOInterface> link;
    ASSERT_EQ(S_OK, host_->GetPhysicalLayer(link.put()));
    CFrameBuffer send, receive;
    send.Append("abc", 3);
    TransactStatistics statistics = {};
    HRESULT result = E_UNEXPECTED;
    SystemThread([&] { result = link->Transact(&send, &receive, &statistics); }).Join();
    EXPECT_EQ(S_OK, result);
    link.reset();

    // What was read is not read again.
    events_.clear();
    ReadEvents();
    EXPECT_TRUE(events_.empty());

    ASSERT_EQ(S_OK, host_->Stop());
    ReadEvents();
    expected = {kDisconnecting, kTerminating, Terminated(3, 2)};
    EXPECT_EQ(expected, events_);
}

TEST_F(LinkTagsTest, EventsOfAFailedConnectWithoutRecovery) {
    Config().SetI32(param::RecoverEnable, 0);
    ASSERT_EQ(S_OK, host_->Start(false));
    ASSERT_TRUE(WaitEvent(18));
    std::vector<Event> expected = {kInitializing, kInitialized, kConnecting, kConnectFailed, kDisconnecting, kAborted};
    EXPECT_EQ(expected, events_);

    events_.clear();
    ASSERT_EQ(S_OK, host_->Stop());
    ReadEvents();
    expected = {kTerminating, Terminated(0, 0)};
    EXPECT_EQ(expected, events_);
}

// A device request issued on another thread; tells when it has returned and
// whether the link's first connect had returned by then.
class DeviceRequest {
public:
    explicit DeviceRequest(CIOHost *host, LinkWorld &world) : value_(I32Value(0)) {
        thread_ = std::make_unique<SystemThread>([this, host, &world] {
            DriverRequest request = MakeRequest(OP_READ_VALUE, kDeviceN1, 0, 0, 1, value_.get());
            request.flags = REQUEST_FLAG_VALIDATED;
            result_ = host->Dispatch(&request, value_.get());
            connectHadReturned_ = world.connectReturned.load();
            done_ = true;
        });
    }
    void Join() { thread_->Join(); }
    bool Done() const { return done_; }
    bool ConnectHadReturned() const { return connectHadReturned_; }
    HRESULT Result() const { return result_; }

private:
    HValue value_;
    std::unique_ptr<SystemThread> thread_;
    std::atomic<bool> done_{false};
    std::atomic<bool> connectHadReturned_{false};
    std::atomic<HRESULT> result_{E_UNEXPECTED};
};

TEST_F(LinkTagsTest, TheFirstRequestWaitsForTheFirstConnectAttempt) {
    script_.blockConnect = true;
    script_.connectDefault = true;
    ASSERT_EQ(S_OK, host_->Start(false));
    ASSERT_TRUE(WaitUntil([&] { return script_.blocked == 1; }));

    DeviceRequest request(host_, world_);
    // The request is asking the link whether it is still starting.
    ASSERT_TRUE(WaitUntil([&] { return world_.stateQueries >= 3; }));
    EXPECT_FALSE(request.Done());
    SetEvent(script_.gate.get());
    ASSERT_TRUE(WaitUntil([&] { return request.Done(); }));
    request.Join();
    EXPECT_TRUE(request.ConnectHadReturned());
    EXPECT_EQ(E_NOTIMPL, request.Result());  // the test host has no device
    EXPECT_EQ(2, Status());

    // Only the first request waits.
    const int queries = world_.stateQueries;
    DeviceRequest second(host_, world_);
    second.Join();
    EXPECT_EQ(queries, world_.stateQueries);
}

TEST_F(LinkTagsTest, TheFirstRequestAfterGoingOnlineWaitsToo) {
    Config().SetI32(param::StartOffline, 1);
    ASSERT_EQ(1, host_->Start(false));
    {
        DeviceRequest offline(host_, world_);  // no link to wait for
        offline.Join();
        EXPECT_EQ(E_NOTIMPL, offline.Result());
    }

    script_.blockConnect = true;
    script_.connectDefault = true;
    ASSERT_EQ(S_OK, WriteOnline(1));
    ASSERT_TRUE(WaitUntil([&] { return script_.blocked == 1; }));
    DeviceRequest request(host_, world_);
    ASSERT_TRUE(WaitUntil([&] { return world_.stateQueries >= 3 || request.Done(); }));
    EXPECT_FALSE(request.Done());
    SetEvent(script_.gate.get());
    ASSERT_TRUE(WaitUntil([&] { return request.Done(); }));
    request.Join();
    EXPECT_TRUE(request.ConnectHadReturned());
}

TEST_F(LinkTagsTest, StoppingWhileTheFirstRequestWaitsReleasesIt) {
    script_.blockConnect = true;
    ASSERT_EQ(S_OK, host_->Start(false));
    ASSERT_TRUE(WaitUntil([&] { return script_.blocked == 1; }));
    ThreadWatch linkThread(LinkThread());
    DeviceRequest request(host_, world_);
    ASSERT_TRUE(WaitUntil([&] { return world_.stateQueries >= 3; }));
    ASSERT_EQ(S_OK, host_->Stop());  // wakes the blocked connect
    EXPECT_TRUE(linkThread.Ended());
    ASSERT_TRUE(WaitUntil([&] { return request.Done(); }));
    EXPECT_EQ(0, Status());
}

TEST_F(LinkTagsTest, ReleasingTheLastHostReferenceStopsTheLink) {
    script_.connectDefault = true;
    ASSERT_EQ(S_OK, host_->Start(false));
    ASSERT_TRUE(WaitStatus(2));
    ThreadWatch linkThread(LinkThread());
    ASSERT_TRUE(linkThread.Running());
    host_->Release();
    host_ = nullptr;
    EXPECT_TRUE(linkThread.Ended());
    EXPECT_EQ(1, script_.terminateCalls);
}

TEST_F(LinkTagsTest, StartStopCyclesLeaveNothingBehind) {
    script_.connectDefault = true;
    Config().SetI32(param::StartOffline, 1);
    for (int cycle = 0; cycle < 5; ++cycle) {
        ASSERT_EQ(1, host_->Start(false));
        ASSERT_EQ(S_OK, WriteOnline(1));
        ASSERT_TRUE(WaitStatus(2));
        ASSERT_EQ(S_OK, WriteOnline(0));
        ASSERT_EQ(S_OK, host_->Start(true));
        ASSERT_TRUE(WaitStatus(2));
        ASSERT_EQ(S_OK, host_->Stop());
        EXPECT_EQ(0, Status());
    }
    EXPECT_EQ(10, world_.created);
    EXPECT_EQ(10, script_.terminateCalls);
}

// The driver object as a host obtains it, with the test link named by
// IO.Type in its settings.
class DriverObjectTest : public LinkTagsBase {
protected:
    void SetUp() override {
        LinkTagsBase::SetUp();
        driver_ = ComPtr<CIOFactory>::Attach(CreateDriverFactory(nullptr));
        ASSERT_TRUE(driver_);
    }
    void TearDown() override {
        if (driver_) driver_->StopComm(0, 0, 0, 0);
        driver_.reset();
        LinkTagsBase::TearDown();
    }
    Settings DriverSettings() const {
        return Settings()
            .String("IO.Type", kLinkType)
            .String("IO.Log.Filename", scratch_.File("driver.log"))
            .Int("IO.Log.Enable", 1);
    }
    void Configure(const Settings &settings) {
        HValue handle = settings.Make();
        ASSERT_EQ(S_OK, driver_->SetSettingsHandle(handle.get()));
    }
    HRESULT IO(DriverRequest &request, HVALUE value) { return driver_->IO(&request, value); }
    int32_t Status() {
        HValue value = HValue::Create();
        DriverRequest request = HostTagRequest(HOST_TAG_LINK_STATUS, OP_READ_VALUE, value.get());
        EXPECT_EQ(S_OK, IO(request, value.get()));
        return I32Of(value.get());
    }
    std::vector<Event> ReadEvents() {
        HValue value = HValue::Create();
        DriverRequest request = HostTagRequest(HOST_TAG_EVENTS, OP_READ_BLOCK, value.get(), 4, 4);
        EXPECT_EQ(S_OK, IO(request, value.get()));
        return EventsOf(value.get());
    }
    std::vector<std::string> Messages() const { return LogMessages(scratch_.File("driver.log")); }

    ComApartment apartment_;
    ScratchDir scratch_;
    ComPtr<CIOFactory> driver_;
};

TEST_F(DriverObjectTest, StatusAndEventsThroughTheDriverObject) {
    script_.connectDefault = true;
    Configure(DriverSettings());
    ASSERT_EQ(S_OK, driver_->StartComm(0, 0, 0, 0));
    EXPECT_EQ(1, world_.created);
    EXPECT_TRUE(WaitUntil([&] { return Status() == 2; }));
    std::vector<Event> events;
    EXPECT_TRUE(WaitUntil([&] {
        for (const Event &event : ReadEvents()) events.push_back(event);
        return events.size() >= 4;
    }));
    const std::vector<Event> expected = {kInitializing, kInitialized, kConnecting, kConnected};
    EXPECT_EQ(expected, events);
    ThreadWatch linkThread(script_.linkThreadId);
    ASSERT_EQ(S_OK, driver_->StopComm(0, 0, 0, 0));
    EXPECT_TRUE(linkThread.Ended());
    EXPECT_TRUE(Contains(Messages(), "CHANFER\tPhysical layer thread stopped!"));
    EXPECT_EQ(IO_E_NOT_STARTED, [&] {
        HValue value = HValue::Create();
        DriverRequest request = HostTagRequest(HOST_TAG_LINK_STATUS, OP_READ_VALUE, value.get());
        return IO(request, value.get());
    }());
}

// A restart while a request runs on another thread waits for that request,
// so the old host is gone (its script stopped, its log closed) before the
// new one starts, and the new session's log stays open.
TEST_F(DriverObjectTest, RestartWaitsForARequestStillRunning) {
    script_.connectDefault = true;
    Configure(DriverSettings().String("VBScript.Code", "Sub OnStart\n  Host.Trace \"start\"\nEnd Sub\n"
                                                       "Sub OnStop\n  Host.Trace \"stop\"\nEnd Sub\n"));
    // Twice: the first round makes whatever the process creates once, and
    // the second must end with no more handles than the first.
    DWORD handlesAfterFirst = 0;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(S_OK, driver_->StartComm(0, 0, 0, 0));
        ASSERT_TRUE(WaitUntil([&] { return Status() == 2; }));
        const int created = world_.created;
        world_.heldProperties = 0;
        ResetEvent(world_.propertyGate.get());
        world_.holdProperties = true;
        HRESULT held = E_UNEXPECTED;
        SystemThread request([&] {
            HValue value = HValue::Create();
            DriverRequest record = MakeRequest(OP_READ_VALUE, -1, 0, 3, 7, value.get());
            record.flags = REQUEST_FLAG_VALIDATED;
            held = IO(record, value.get());
        });
        ASSERT_TRUE(WaitUntil([&] { return world_.heldProperties == 1; }));
        // Lets the request go once the new host has started, or after a
        // while when the restart waits for it as it should.
        std::atomic<bool> startedEarly{false};
        SystemThread releaser([&] {
            startedEarly = WaitUntil([&] { return world_.created == created + 1; }, 2000);
            SetEvent(world_.propertyGate.get());
        });
        EXPECT_EQ(S_OK, driver_->StartComm(0, 0, 0, 0));
        releaser.Join();
        request.Join();
        world_.holdProperties = false;
        EXPECT_FALSE(startedEarly);
        EXPECT_EQ(S_OK, held);
        EXPECT_EQ(created + 1, world_.created);
        ASSERT_TRUE(WaitUntil([&] { return Status() == 2; }));
        ASSERT_EQ(S_OK, driver_->StopComm(0, 0, 0, 0));
        if (round == 0)
            handlesAfterFirst = HandleCount();
        else
            EXPECT_TRUE(WaitUntil([&] { return HandleCount() <= handlesAfterFirst; }))
                << HandleCount() << " handles, " << handlesAfterFirst << " after the first round";
    }

    // Each script stopped before the next one started, and every session
    // wrote into the log it opened.
    const std::vector<std::string> messages = Messages();
    std::vector<std::string> traces;
    for (const std::string &line : messages)
        if (line.rfind("DRIVER\t  Trace: ", 0) == 0) traces.push_back(line.substr(16));
    EXPECT_EQ((std::vector<std::string>{"start", "stop", "start", "stop", "start", "stop", "start", "stop"}),
              traces);
}

TEST_F(DriverObjectTest, WorkingOnlineThroughTheDriverObject) {
    script_.connectDefault = true;
    Configure(DriverSettings().Int("IO.StartOffline", 1));
    ASSERT_EQ(S_OK, driver_->StartComm(0, 0, 0, 0));
    EXPECT_EQ(0, world_.created);
    EXPECT_EQ(0, Status());
    HValue one = I32Value(1);
    DriverRequest online = HostTagRequest(HOST_TAG_WORK_ONLINE, OP_WRITE_VALUE, one.get());
    ASSERT_EQ(S_OK, IO(online, one.get()));
    EXPECT_TRUE(WaitUntil([&] { return Status() == 2; }));
    EXPECT_EQ(S_OK, IO(online, one.get()));
    EXPECT_EQ(1, world_.created);

    HValue name = StringValue("IO.TimeoutMs");
    HValue number = I32Value(250);
    HValue pairs = ArrayOf({name.get(), number.get()});
    HValue message = StringValue("untouched");
    DriverRequest set = HostTagRequest(HOST_TAG_SET_PARAMETERS, OP_WRITE_VALUE, pairs.get());
    set.message = message.get();
    EXPECT_EQ(E_FAIL, IO(set, pairs.get()));
    EXPECT_EQ("Cannot set configuration parameters while the driver is ONLINE", StringOf(message.get()));

    ThreadWatch linkThread(script_.linkThreadId);
    HValue zero = I32Value(0);
    DriverRequest offline = HostTagRequest(HOST_TAG_WORK_ONLINE, OP_WRITE_VALUE, zero.get());
    ASSERT_EQ(S_OK, IO(offline, zero.get()));
    EXPECT_TRUE(linkThread.Ended());
    EXPECT_EQ(0, Status());
    EXPECT_TRUE(Contains(Messages(), "CHANFER\tPhysical layer thread stopped!"));
}

TEST_F(DriverObjectTest, StoppingCommunicationReleasesACallerWaitingInTransact) {
    script_.connectDefault = true;
    Configure(DriverSettings());
    ASSERT_EQ(S_OK, driver_->StartComm(0, 0, 0, 0));
    ASSERT_TRUE(WaitUntil([&] { return Status() == 2; }));
    ComPtr<CRecordingLink> link(world_.last.load());
    ThreadWatch linkThread(script_.linkThreadId);

    script_.blockPoll = true;  // the link thread stays away from its requests
    ASSERT_TRUE(WaitUntil([&] { return script_.blocked == 1; }));
    std::atomic<bool> done{false};
    std::atomic<HRESULT> result{E_UNEXPECTED};
    TransactStatistics statistics = {};
    SystemThread caller([&] {
        CFrameBuffer send;
        send.Append("xyz", 3);
        result = link->Transact(&send, nullptr, &statistics);
        done = true;
    });
    // Asserting here would leave the caller's thread joinable; stopping releases it either way.
    const bool pending = WaitUntil([&] { return link->RequestPending() || done; });
    EXPECT_TRUE(pending && !done) << std::hex << result.load();
    EXPECT_EQ(S_OK, driver_->StopComm(0, 0, 0, 0));
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
    caller.Join();
    EXPECT_EQ(E_FAIL, result.load());
    EXPECT_EQ(1u, statistics.failures);
    EXPECT_TRUE(linkThread.Ended());
    EXPECT_EQ(0, script_.sendCalls);
    link.reset();
}

TEST_F(DriverObjectTest, ReleasingTheDriverObjectStopsTheLink) {
    script_.connectDefault = true;
    Configure(DriverSettings());
    ASSERT_EQ(S_OK, driver_->StartComm(0, 0, 0, 0));
    ASSERT_TRUE(WaitUntil([&] { return Status() == 2; }));
    ThreadWatch linkThread(script_.linkThreadId);
    driver_.reset();
    EXPECT_TRUE(linkThread.Ended());
}

TEST_F(DriverObjectTest, StartStopCyclesLeaveNothingBehind) {
    script_.connectDefault = true;
    Configure(DriverSettings());
    for (int cycle = 0; cycle < 5; ++cycle) {
        ASSERT_EQ(S_OK, driver_->StartComm(0, 0, 0, 0));
        ASSERT_TRUE(WaitUntil([&] { return Status() == 2; }));
        ASSERT_EQ(S_OK, driver_->StopComm(0, 0, 0, 0));
    }
    EXPECT_EQ(5, world_.created);
    EXPECT_EQ(5, script_.terminateCalls);
}

void WarmUp::SetUp() {
    // One run through the driver object and one transaction of a link
    // thread create whatever the process keeps afterwards.
    LinkScript script;
    script.connectDefault = true;
    LinkWorld world;
    world.script = &script;
    gWorld = &world;
    SetTestPhysicalLayer(kLinkType, CreateRecordingLink);
    {
        ComApartment apartment;
        ScratchDir scratch;
        ComPtr<CIOFactory> driver = ComPtr<CIOFactory>::Attach(CreateDriverFactory(nullptr));
        HValue settings = Settings()
                              .String("IO.Type", kLinkType)
                              .String("IO.Log.Filename", scratch.File("driver.log"))
                              .Int("IO.Log.Enable", 1)
                              .String("VBScript.Code", "Sub OnStart\n  Host.Trace \"warm\"\nEnd Sub\n")
                              .Make();
        driver->SetSettingsHandle(settings.get());
        driver->StartComm(0, 0, 0, 0);
        WaitUntil([&] { return script.connectCalls > 0 && world.connectReturned; });
        CRecordingLink *link = world.last;
        if (link) {
            CFrameBuffer send, receive;
            TransactStatistics statistics;
            SystemThread([&] { link->Transact(&send, &receive, &statistics); }).Join();
        }
        driver->StopComm(0, 0, 0, 0);
        driver->SetSettingsHandle(nullptr);
    }
    SetTestPhysicalLayer(nullptr, nullptr);
    gWorld = nullptr;
}

::testing::Environment *const gWarmUp = ::testing::AddGlobalTestEnvironment(new WarmUp);

} // namespace
