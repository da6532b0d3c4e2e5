// The driver host's event queue and dispatch, on a host created directly:
// the host posts events only through its link, which this build lacks.
#include "base/ControlTags.h"
#include "log/IOGlobals.h"
#include "script/VBScriptHost.h"
#include "tests/support/DriverLibrary.h"

#include <gtest/gtest.h>

#include <string>

using namespace quillon;
using namespace quillon::test;

namespace {

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        globals_ = CIOGlobals::Create(nullptr);
        ASSERT_NE(globals_, nullptr);
        host_ = new CVBScriptHost(globals_, nullptr);
    }
    void TearDown() override {
        if (host_) host_->Release();
        if (globals_) globals_->Release();
    }

    // Reads the events block as a host does.
    HRESULT ReadEvents(HVALUE value) {
        DriverRequest request = HostTagRequest(HOST_TAG_EVENTS, OP_READ_BLOCK, value, 4, 4);
        return host_->Dispatch(&request, value);
    }

    CIOGlobals *globals_ = nullptr;
    CVBScriptHost *host_ = nullptr;
};

struct Event {
    int32_t type = 0, source = 0, number = 0;
    std::string text;
};

// One event of the list, checking its shape on the way.
Event EventOf(HVALUE item) {
    Event event;
    EXPECT_EQ(hvGetType(item), static_cast<unsigned>(HV_ARRAY | HV_HVAL));
    EXPECT_EQ(hvGetCount(item), 4u);
    EXPECT_TRUE(hvGetElementI32(item, 0, &event.type));
    EXPECT_TRUE(hvGetElementI32(item, 1, &event.source));
    EXPECT_TRUE(hvGetElementI32(item, 2, &event.number));
    const char *text = nullptr;
    EXPECT_TRUE(hvGetElementString(item, 3, &text));
    event.text = text ? text : "";
    return event;
}

std::vector<Event> EventsOf(HVALUE list) {
    std::vector<Event> events;
    EXPECT_EQ(hvGetType(list), static_cast<unsigned>(HV_LIST));
    hvPosition position = nullptr;
    for (HVALUE item = hvListFirst(list, &position); item; item = hvListNext(list, &position))
        events.push_back(EventOf(item));
    return events;
}

TEST_F(HostTest, EventsAreReadOldestFirstAndOnlyOnce) {
    ASSERT_EQ(host_->PostEvent(EVENT_WARNING, EVENT_SOURCE_SERIAL, 17, "port %s lost (%d)", "COM3", 5), S_OK);
    ASSERT_EQ(host_->PostEvent(EVENT_ERROR, EVENT_SOURCE_DRIVER, -3, "plain"), S_OK);
    HValue value = I32Value(99);
    ASSERT_EQ(ReadEvents(value.get()), S_OK);
    const auto events = EventsOf(value.get());
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, 1);
    EXPECT_EQ(events[0].source, -2);
    EXPECT_EQ(events[0].number, 17);
    EXPECT_EQ(events[0].text, "port COM3 lost (5)");
    EXPECT_EQ(events[1].type, 2);
    EXPECT_EQ(events[1].source, 0);
    EXPECT_EQ(events[1].number, -3);
    EXPECT_EQ(events[1].text, "plain");

    ASSERT_EQ(ReadEvents(value.get()), S_OK);
    EXPECT_EQ(hvGetType(value.get()), static_cast<unsigned>(HV_LIST));
    EXPECT_EQ(hvListCount(value.get()), 0u);
}

TEST_F(HostTest, TheQueueKeepsTheLatestHundredEvents) {
    for (int i = 0; i < 101; ++i) ASSERT_EQ(host_->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_TOOLKIT, i, "event %d", i), S_OK);
    HValue value = HValue::Create();
    ASSERT_EQ(ReadEvents(value.get()), S_OK);
    const auto events = EventsOf(value.get());
    ASSERT_EQ(events.size(), 100u);
    EXPECT_EQ(events.front().number, 1);
    EXPECT_EQ(events.front().text, "event 1");
    EXPECT_EQ(events.back().number, 100);
    for (size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i].number, static_cast<int32_t>(i + 1));

    // The queue takes events again after a read.
    for (int i = 0; i < 250; ++i) host_->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_TOOLKIT, i, "again");
    ASSERT_EQ(ReadEvents(value.get()), S_OK);
    const auto again = EventsOf(value.get());
    ASSERT_EQ(again.size(), 100u);
    EXPECT_EQ(again.front().number, 150);
    EXPECT_EQ(again.back().number, 249);
}

TEST_F(HostTest, LongEventTextsAreCutWithoutHarm) {
    const std::string longText(5000, 'x');
    ASSERT_EQ(host_->PostEvent(EVENT_ERROR, EVENT_SOURCE_RAS, 1, "%s", longText.c_str()), S_OK);
    const std::string exact(1023, 'y');
    ASSERT_EQ(host_->PostEvent(EVENT_ERROR, EVENT_SOURCE_RAS, 2, "%s", exact.c_str()), S_OK);
    EXPECT_EQ(host_->PostEvent(EVENT_ERROR, EVENT_SOURCE_RAS, 3, nullptr), E_POINTER);
    HValue value = HValue::Create();
    ASSERT_EQ(ReadEvents(value.get()), S_OK);
    const auto events = EventsOf(value.get());
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].text, std::string(1023, 'x'));
    EXPECT_EQ(events[1].text, exact);
}

TEST_F(HostTest, TheEventsBlockHasOneShape) {
    host_->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_DRIVER, 1, "kept");
    HValue value = I32Value(5);
    struct Shape {
        uint16_t operation, count, blockSize, first;
    };
    const Shape wrong[] = {{OP_READ_VALUE, 4, 4, 0},  {OP_READ_BLOCK, 3, 4, 0},        {OP_READ_BLOCK, 4, 3, 0},
                           {OP_READ_BLOCK, 4, 4, 1},  {OP_READ_BLOCK_ELEMENT, 4, 4, 0}, {OP_WRITE_BLOCK, 4, 4, 0},
                           {OP_READ_BLOCK, 1, 1, 0},  {OP_READ_BLOCK, 5, 5, 0}};
    for (const Shape &shape : wrong) {
        DriverRequest request = HostTagRequest(HOST_TAG_EVENTS, shape.operation, value.get(), shape.count, shape.blockSize);
        request.firstElement = shape.first;
        EXPECT_EQ(host_->Dispatch(&request, value.get()), E_FAIL) << shape.operation << " " << shape.count << " "
                                                                   << shape.blockSize << " " << shape.first;
    }
    // A refused request leaves the value and the queue alone.
    int32_t number = 0;
    EXPECT_TRUE(hvGetI32(value.get(), &number));
    EXPECT_EQ(number, 5);
    ASSERT_EQ(ReadEvents(value.get()), S_OK);
    EXPECT_EQ(hvListCount(value.get()), 1u);
}

TEST_F(HostTest, ControlTagsAreDispatchedByTheirNumbers) {
    HValue value = HValue::Create();
    auto dispatch = [&](int16_t n1, uint16_t n2, uint16_t n3, uint16_t n4, uint16_t operation) {
        DriverRequest request = MakeRequest(operation, n1, n2, n3, n4, value.get());
        request.flags = REQUEST_FLAG_VALIDATED;
        return host_->Dispatch(&request, value.get());
    };
    EXPECT_EQ(dispatch(-1, 1, 0, 4, OP_READ_VALUE), E_NOTIMPL);
    EXPECT_EQ(dispatch(-1, 0xFFFF, 2, 1, OP_READ_VALUE), E_NOTIMPL);
    EXPECT_EQ(dispatch(-1, 0, 0, 0, OP_READ_VALUE), E_NOTIMPL);
    EXPECT_EQ(dispatch(-1, 0, 0, 6, OP_READ_VALUE), E_NOTIMPL);
    EXPECT_EQ(dispatch(-1, 0, 0, 0xFFFF, OP_WRITE_VALUE), E_NOTIMPL);
    for (uint16_t n3 : {1, 6, 7, 100, 0xFFFF}) EXPECT_EQ(dispatch(-1, 0, n3, 1, OP_READ_VALUE), E_NOTIMPL) << n3;
    // Without a link every operation on the link's tags fails, whatever it is.
    for (uint16_t n3 = 2; n3 <= 5; ++n3)
        for (uint16_t operation : {5, 6, 9, 10, 25, 26, 38, 58, 0, 7, 0xFFFF})
            EXPECT_EQ(dispatch(-1, 0, n3, 1, operation), E_FAIL) << n3 << " " << operation;
    // Device tags reach the script, which this host never started.
    EXPECT_EQ(dispatch(1, 2, 3, 4, OP_READ_VALUE), E_FAIL);
    EXPECT_EQ(dispatch(0, 0, 2, 1, OP_MASK_WRITE_VALUE), E_FAIL);
    EXPECT_EQ(dispatch(-2, 0, 0, 4, OP_READ_VALUE), E_FAIL);
    EXPECT_EQ(dispatch(1, 0, 0, 0, 0x77), E_NOTIMPL);
}

TEST_F(HostTest, ARunningHostKeepsItsOwnConfiguration) {
    HValue settings = Settings().Int("IO.TimeoutMs", 700).String("IO.Type", "None").Make();
    CVBScriptHost *host = new CVBScriptHost(globals_, settings.get());
    EXPECT_EQ(host->Configuration().GetI32("io.timeoutms", 0), 700);
    host->Configuration().SetI32("IO.TimeoutMs", 5);
    HValue stored;
    ASSERT_TRUE(hvGetElement(settings.get(), 4, stored.put()));  // strings come first
    int32_t number = 0;
    EXPECT_TRUE(hvGetI32(stored.get(), &number));
    EXPECT_EQ(number, 700);
    EXPECT_EQ(host->Start(false), 1);  // type None
    EXPECT_FALSE(host->IsOnline());
    EXPECT_EQ(host->Stop(), S_OK);
    host->Release();
}

} // namespace
