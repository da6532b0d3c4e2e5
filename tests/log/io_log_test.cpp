#include "log/IOLog.h"
#include "tests/support/TestFiles.h"
#include "tests/log/ValueFixtures.h"

#include <gtest/gtest.h>

#include <string>

using namespace quillon;
using namespace quillon::test;

namespace {

LONGLONG g_ticks = 0;

LONGLONG FakeCounter() { return g_ticks; }

LONGLONG TicksFor(double seconds) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<LONGLONG>(seconds * static_cast<double>(frequency.QuadPart));
}

const char kBannerEnd[] = "ChanferLib version 2.0.25 of Aug 16 2013 11:36:02";

class IOLogTest : public ::testing::Test {
protected:
    IOLogTest() : globals_(CIOGlobals::Create(nullptr)), path_(dir_.File("trace.log")) {
        globals_->Logger()->SetLogFile(path_.c_str());
        g_ticks = 1000;
    }
    ~IOLogTest() override { globals_->Release(); }

    // Runs one trace that takes the given time and reports what it logged
    // after the banner: "" when nothing, else the message behind "TAG\t".
    std::string Trace(const DriverRequest &request, HRESULT outcome, double seconds = 0.25) {
        HRESULT result = E_PENDING;
        {
            CIOLog log(globals_, request, &result, FakeCounter);
            g_ticks += TicksFor(seconds);
            result = outcome;
        }
        const std::string content = ReadWholeFile(path_);
        const size_t bannerEnd = content.find(kBannerEnd);
        if (bannerEnd == std::string::npos) return "<no banner>";
        const std::string rest = content.substr(bannerEnd + sizeof kBannerEnd - 1);
        if (rest.empty()) return "";
        const size_t tag = rest.find(") TAG\t");
        if (rest.compare(0, 2, "\r\n") != 0 || tag == std::string::npos) return "<unexpected> " + rest;
        const std::string message = rest.substr(tag + 6);
        if (message.find("TAG\t") != std::string::npos) return "<two messages> " + rest;
        return message;
    }

    static DriverRequest Record(uint16_t operation, HVALUE value, int16_t n1 = 1) {
        DriverRequest r{};
        r.version = REQUEST_VERSION_CURRENT;
        r.operation = operation;
        r.blockSize = 1;
        r.n1 = n1;
        r.n2 = 2;
        r.n3 = 3;
        r.n4 = 4;
        r.value = value;
        return r;
    }

    ScratchDir dir_;
    CIOGlobals *globals_;
    std::string path_;
};

TEST_F(IOLogTest, KeepsTheRequestText) {
    HValue v = R64(3.5, TodayAt(10, 15, 20, 0));
    const DriverRequest r = Record(OP_WRITE_VALUE, v.get());
    HRESULT result = S_OK;
    CIOLog log(globals_, r, &result, FakeCounter);
    EXPECT_STREQ(log.Text(), "Tag(1.2.3.4).WriteValue (10:15:20) 3.5");
}

TEST_F(IOLogTest, ReadSuccessShowsTheValue) {
    HValue v = R64(3.5, TodayAt(10, 15, 20, 0));
    EXPECT_EQ(Trace(Record(OP_READ_VALUE, v.get()), S_OK),
              "<== (0.250) Tag(1.2.3.4).ReadValue = (10:15:20) 3.5");
}

TEST_F(IOLogTest, ReadShowsTheValueAsItIsAtTheEnd) {
    HValue v = HValue::Create();
    const DriverRequest r = Record(OP_READ_VALUE, v.get());
    HRESULT result = E_PENDING;
    {
        CIOLog log(globals_, r, &result, FakeCounter);
        hvSetI16(v.get(), 42);
        Stamp(v.get(), TodayAt(8, 1, 2, 3));
        g_ticks += TicksFor(1.5);
        result = S_FALSE;
    }
    const std::string content = ReadWholeFile(path_);
    const std::string expected = "TAG\t<== (1.500) Tag(1.2.3.4).ReadValue = (08:01:02.003) 42";
    ASSERT_GE(content.size(), expected.size());
    EXPECT_EQ(content.substr(content.size() - expected.size()), expected);
}

TEST_F(IOLogTest, QuickControlReadsAreQuiet) {
    HValue v = R64(1, TodayAt(10, 15, 20, 0));
    EXPECT_EQ(Trace(Record(OP_READ_VALUE, v.get(), -1), S_OK, 0.02), "");
    EXPECT_EQ(Trace(Record(OP_READ_VALUE, v.get(), -1), S_OK, 0.2),
              "<== (0.200) Tag(65535.2.3.4).ReadValue = (10:15:20) 1");
}

TEST_F(IOLogTest, QuickOrdinaryReadsAreLogged) {
    HValue v = R64(1, TodayAt(10, 15, 20, 0));
    EXPECT_EQ(Trace(Record(OP_READ_VALUE, v.get()), S_OK, 0.02),
              "<== (0.020) Tag(1.2.3.4).ReadValue = (10:15:20) 1");
}

TEST_F(IOLogTest, QuickControlWritesAreLogged) {
    HValue v = R64(1, TodayAt(10, 15, 20, 0));
    EXPECT_EQ(Trace(Record(OP_WRITE_VALUE, v.get(), -1), S_OK, 0.02),
              "==> (0.020) Tag(65535.2.3.4).WriteValue (10:15:20) 1 = SUCCESS");
}

TEST_F(IOLogTest, ReadError) {
    HValue v = R64(1, TodayAt(10, 15, 20, 0));
    EXPECT_EQ(Trace(Record(OP_READ_VALUE, v.get(), -1), E_FAIL, 0.02),
              "<== (0.020) Tag(65535.2.3.4).ReadValue = ERROR (hr=80004005)");
}

TEST_F(IOLogTest, WriteWithoutStatus) {
    HValue v = R64(2, TodayAt(10, 15, 20, 0));
    HValue nullMessage = HValue::Create();
    DriverRequest r = Record(OP_WRITE_VALUE, v.get());
    r.message = nullMessage.get();
    EXPECT_EQ(Trace(r, S_OK), "==> (0.250) Tag(1.2.3.4).WriteValue (10:15:20) 2 = SUCCESS");
}

TEST_F(IOLogTest, WriteWithStatus) {
    HValue v = R64(2, TodayAt(10, 15, 20, 0));
    HValue message = Str("busy", TodayAt(10, 15, 21, 0));
    DriverRequest r = Record(OP_WRITE_VALUE, v.get());
    r.message = message.get();
    EXPECT_EQ(Trace(r, S_OK),
              "==> (0.250) Tag(1.2.3.4).WriteValue (10:15:20) 2 = SUCCESS (status = (10:15:21) 'busy')");
}

TEST_F(IOLogTest, WriteErrors) {
    HValue v = R64(2, TodayAt(10, 15, 20, 0));
    DriverRequest r = Record(OP_WRITE_VALUE, v.get());
    EXPECT_EQ(Trace(r, HRESULT_FROM_WIN32(ERROR_TIMEOUT)),
              "==> (0.250) Tag(1.2.3.4).WriteValue (10:15:20) 2 = ERROR (hr=800705B4)");
}

TEST_F(IOLogTest, WriteErrorWithStatus) {
    HValue v = R64(2, TodayAt(10, 15, 20, 0));
    HValue message = Str("denied", TodayAt(10, 15, 21, 0));
    DriverRequest r = Record(OP_WRITE_VALUE, v.get());
    r.message = message.get();
    EXPECT_EQ(Trace(r, E_ACCESSDENIED),
              "==> (0.250) Tag(1.2.3.4).WriteValue (10:15:20) 2 = ERROR (hr=80070005) (status = (10:15:21) 'denied')");
}

TEST_F(IOLogTest, ReadIgnoresTheMessage) {
    HValue v = R64(2, TodayAt(10, 15, 20, 0));
    HValue message = Str("ignored", TodayAt(10, 15, 21, 0));
    DriverRequest r = Record(OP_READ_VALUE, v.get());
    r.message = message.get();
    EXPECT_EQ(Trace(r, E_FAIL), "<== (0.250) Tag(1.2.3.4).ReadValue = ERROR (hr=80004005)");
}

class IOLogListTest : public IOLogTest {
protected:
    IOLogListTest() : list_(HValue::Create()) { hvSetType(list_.get(), HV_LIST, 0); }
    void Add(double number, uint8_t second) {
        HValue item = R64(number, TodayAt(11, 0, second, 0));
        hvListAppend(list_.get(), item.get());
    }
    HValue list_;
};

TEST_F(IOLogListTest, EmptyListLogsNothing) {
    EXPECT_EQ(Trace(Record(OP_READ_BLOCK, list_.get()), S_OK), "");
}

TEST_F(IOLogListTest, SingleItemOnOneLine) {
    Add(7, 1);
    EXPECT_EQ(Trace(Record(OP_READ_VALUE, list_.get()), S_OK),
              "<== (0.250) Tag(1.2.3.4).ReadValue = list(1) (11:00:01) 7");
}

TEST_F(IOLogListTest, SeveralItemsOneLineEachInOneMessage) {
    Add(7, 1);
    Add(8, 2);
    Add(9, 3);
    EXPECT_EQ(Trace(Record(OP_READ_VALUE, list_.get()), S_OK),
              "<== (0.250) Tag(1.2.3.4).ReadValue = list(3)\r\n"
              "    - list[0] (11:00:01) 7\r\n"
              "    - list[1] (11:00:02) 8\r\n"
              "    - list[2] (11:00:03) 9");
}

TEST_F(IOLogListTest, ErrorWinsOverTheList) {
    Add(7, 1);
    EXPECT_EQ(Trace(Record(OP_READ_VALUE, list_.get()), E_FAIL),
              "<== (0.250) Tag(1.2.3.4).ReadValue = ERROR (hr=80004005)");
}

} // namespace
