// A link whose outcomes each test scripts, a host whose frame reception is
// scripted, and helpers to watch threads, handles, events and the log.
#pragma once

#include "base/DriverInterfaces.h"
#include "toolkit/IOHost.h"
#include "phys/PhysicalLayer.h"
#include "tests/support/ProcessCounts.h"
#include "tests/support/Waiting.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <deque>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace quillon::test {

// Outcomes and observations of one scripted link; outlives the link.
struct LinkScript {
    LinkScript() : gate(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    BOOL NextConnect() {
        ScopedLock lock(guard);
        if (connects.empty()) return connectDefault;
        const bool result = connects.front();
        connects.pop_front();
        return result;
    }
    void QueueConnects(std::initializer_list<bool> outcomes) {
        ScopedLock lock(guard);
        connects.insert(connects.end(), outcomes);
    }
    // Blocks the calling operation until the gate opens (WakeUp opens it).
    void Block() {
        ++blocked;
        WaitForSingleObject(gate.get(), kDeadlineMs);
        --blocked;
    }

    CriticalSection guard;
    std::deque<bool> connects;
    bool connectDefault = false;
    bool initializeResult = true;
    std::atomic<bool> passive{false};
    std::atomic<bool> blockConnect{false};
    std::atomic<bool> blockPoll{false};
    std::atomic<bool> lose{false};
    std::atomic<bool> incoming{false};
    std::atomic<bool> sendResult{true};
    std::atomic<int> dataFrames{0};
    UniqueHandle gate;
    std::atomic<int> blocked{0};

    std::atomic<int> initializeCalls{0}, connectCalls{0}, sendCalls{0}, disconnectCalls{0}, terminateCalls{0},
        wakeCalls{0}, postponedCalls{0};
    std::atomic<DWORD> timeoutSeen{0};
    std::atomic<DWORD> linkThreadId{0};

    // A transaction of the link thread's own, made from Poll.
    std::atomic<bool> ownTransact{false};
    std::atomic<bool> ownDone{false};
    HRESULT ownResult = E_UNEXPECTED;
    TransactStatistics ownStatistics = {};
};

class CScriptedLink : public CPhysicalLayer {
public:
    CScriptedLink(CIOGlobals *globals, IIOHost *host, const CConfigData &config, LinkScript &script)
        : CPhysicalLayer(globals, host, config), script_(script) {}

    HRESULT STDMETHODCALLTYPE ReadByte(BYTE *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Read(BYTE *, unsigned) override { return E_NOTIMPL; }

    BOOL Initialize() override {
        ++script_.initializeCalls;
        script_.linkThreadId = GetCurrentThreadId();
        script_.timeoutSeen = ReceiveTimeoutMs();
        return script_.initializeResult;
    }
    BOOL Connect() override {
        ++script_.connectCalls;
        if (script_.blockConnect) script_.Block();
        return script_.NextConnect();
    }
    BOOL Send(CFrameBuffer *frame) override {
        ++script_.sendCalls;
        if (!script_.sendResult) return FALSE;
        CountSent(frame->Length());
        return TRUE;
    }
    void Poll() override {
        if (script_.blockPoll.exchange(false)) script_.Block();
        if (script_.ownTransact.exchange(false)) {
            CFrameBuffer frame;
            frame.Append("own", 3);
            script_.ownResult = Transact(&frame, nullptr, &script_.ownStatistics);
            script_.ownDone = true;
        }
    }
    BOOL IsConnectionLost() override { return script_.lose.exchange(false); }
    BOOL CheckIncomingConnection() override { return script_.incoming.exchange(false); }
    BOOL IsDataAvailable() override { return script_.dataFrames > 0; }
    void Disconnect() override { ++script_.disconnectCalls; }
    void Terminate() override { ++script_.terminateCalls; }
    void WakeUp() override {
        ++script_.wakeCalls;
        SetEvent(script_.gate.get());
    }
    BOOL IsPassive() override { return script_.passive; }
    DWORD OnReconnectPostponed() override {
        ++script_.postponedCalls;
        return 0;
    }

    // Called by the test host while it receives a frame.
    void Received(unsigned bytes) {
        CountReceived(bytes);
        NoteActivity();
    }
    bool RequestPending() { return IsRequestPending(); }

private:
    LinkScript &script_;
};

struct PostedEvent {
    int type;
    int source;
    int number;
    std::string text;
};

// Moves the host's queued events, oldest first, to the end of events.
inline void AppendDrainedEvents(CIOHost &host, std::vector<PostedEvent> &events) {
    HValue list = HValue::Create();
    hvSetType(list.get(), HV_LIST, 0);
    host.DrainEvents(list.get());
    hvPosition position = nullptr;
    for (HVALUE event = hvListFirst(list.get(), &position); event; event = hvListNext(list.get(), &position)) {
        PostedEvent posted = {};
        const char *text = nullptr;
        hvGetElementI32(event, 0, &posted.type);
        hvGetElementI32(event, 1, &posted.source);
        hvGetElementI32(event, 2, &posted.number);
        if (hvGetElementString(event, 3, &text) && text) posted.text = text;
        events.push_back(posted);
    }
}

// A host that keeps the events it has posted, drained from any thread.
class CEventHost : public CIOHost {
public:
    using CIOHost::CIOHost;

    // Every event posted so far, oldest first.
    std::vector<PostedEvent> Events() {
        ScopedLock lock(eventGuard_);
        AppendDrainedEvents(*this, events_);
        return events_;
    }
    int CountEvents(int source, int number, const std::string *text = nullptr) {
        int count = 0;
        for (const PostedEvent &event : Events())
            count += event.source == source && event.number == number && (!text || event.text == *text);
        return count;
    }
    bool HasEvent(int source, int number) { return CountEvents(source, number) > 0; }
    bool HasEvent(int source, int number, const std::string &text) { return CountEvents(source, number, &text) > 0; }
    void ForgetEvents() {
        Events();
        ScopedLock lock(eventGuard_);
        events_.clear();
    }

protected:
    ~CEventHost() override = default;

private:
    CriticalSection eventGuard_;
    std::vector<PostedEvent> events_;
};

class CTestHost final : public CIOHost {
public:
    explicit CTestHost(CIOGlobals *globals)
        : CIOHost(globals, nullptr), gate(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    HRESULT STDMETHODCALLTYPE ReceiveFrame(CFrameBuffer *receive, CFrameBuffer *) override {
        ++receives;
        if (nestedTransact.exchange(false) && link) {
            CFrameBuffer frame;
            frame.Append("nested", 6);
            nestedResult = link->Transact(&frame, nullptr, &nestedStatistics);
        }
        if (blockReceive.exchange(false)) {
            ++blocked;
            WaitForSingleObject(gate.get(), kDeadlineMs);
            --blocked;
        }
        HRESULT result = S_OK;
        {
            ScopedLock lock(guard);
            if (!receiveResults.empty()) {
                result = receiveResults.front();
                receiveResults.pop_front();
            }
        }
        if (SUCCEEDED(result)) {
            receive->Append("OK", 2);
            if (link) link->Received(2);
            if (script && script->dataFrames > 0) --script->dataFrames;
        }
        return result;
    }
    HRESULT STDMETHODCALLTYPE OnConnected() override {
        ++connectedCalls;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDisconnected() override {
        ++disconnectedCalls;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnIdle() override { return idleResult; }
    HRESULT STDMETHODCALLTYPE OnFrameReceived(CFrameBuffer *) override {
        ++framesReceived;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnUnsolicitedFrame(CFrameBuffer *frame) override {
        ++unsolicited;
        EXPECT_EQ(2u, frame->Length());
        return S_OK;
    }

    void QueueReceives(std::initializer_list<HRESULT> results) {
        ScopedLock lock(guard);
        receiveResults.insert(receiveResults.end(), results);
    }

    // Every event posted so far, oldest first.
    const std::vector<PostedEvent> &Events() {
        AppendDrainedEvents(*this, events);
        return events;
    }
    std::vector<int> EventNumbers() {
        std::vector<int> numbers;
        for (const PostedEvent &event : Events()) numbers.push_back(event.number);
        return numbers;
    }
    bool HasEvent(int number) {
        for (const PostedEvent &event : Events())
            if (event.number == number) return true;
        return false;
    }
    const PostedEvent *Find(int number, int occurrence = 0) {
        for (const PostedEvent &event : Events())
            if (event.number == number && occurrence-- == 0) return &event;
        return nullptr;
    }

    CriticalSection guard;
    std::deque<HRESULT> receiveResults;
    std::atomic<bool> blockReceive{false};
    UniqueHandle gate;
    std::atomic<int> blocked{0};
    std::atomic<int> receives{0}, connectedCalls{0}, disconnectedCalls{0}, framesReceived{0}, unsolicited{0};
    // Set to make the next frame reception call the link's Transact.
    std::atomic<bool> nestedTransact{false};
    HRESULT nestedResult = E_UNEXPECTED;
    TransactStatistics nestedStatistics = {};
    std::atomic<HRESULT> idleResult{E_FAIL};
    CScriptedLink *link = nullptr;
    LinkScript *script = nullptr;
    std::vector<PostedEvent> events;

protected:
    ~CTestHost() override = default;
};

// The text of each toolkit line of a log file, in order.
inline std::vector<std::string> ChanferLines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream file(path, std::ios::binary);
    std::string line;
    const std::string marker = " CHANFER\t";
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t at = line.find(marker);
        if (at != std::string::npos) lines.push_back(line.substr(at + marker.size()));
    }
    return lines;
}

} // namespace quillon::test
