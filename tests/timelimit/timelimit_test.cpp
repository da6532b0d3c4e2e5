// The time limit of script calls (VBScript.TimeLimitSec): against the tests'
// stand-in engine, which can be stopped, and against Wine's engine, which
// cannot be interrupted.
#include "tests/support/DriverLibrary.h"
#include "tests/timelimit/StandInEngine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

using namespace quillon;
using namespace quillon::test;

namespace {

constexpr HRESULT kTimeLimitPassed = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
const char kRefusal[] =
    "DRIVER\tThe script engine cannot interrupt a script call \\(80004001\\): a call over the time limit of 1 seconds runs on "
    "until it ends by itself, and then fails";

std::string RunStopped(const char *procedure, unsigned limit) {
    return std::string("DRIVER\t  ") + procedure + ": stopped after [0-9]+\\.[0-9]{3} seconds, longer than the time limit of " +
           std::to_string(limit) + " seconds";
}

class TimeLimitTest : public DriverFixture {
protected:
    void TearDown() override {
        if (HasFailure()) std::printf("--- log ---\n%s--- end of log ---\n", ReadWholeFile(logPath_).c_str());
        DriverFixture::TearDown();
    }
    // The script with the limit in seconds (none given when negative), logged
    // into a file of its own.
    void Start(const std::string &script, int limit, const std::string &log, HRESULT expected = S_OK) {
        logPath_ = scratch_.File(log + ".log");
        Settings settings = LoggedSettings().String("VBScript.Code", script);
        if (limit >= 0) settings.Int("VBScript.TimeLimitSec", limit);
        HValue handle = settings.Make();
        ASSERT_EQ(Instance()->SetSettingsHandle(handle.get()), S_OK);
        const HRESULT started = Instance()->StartComm(0, 0, 0, 0);
        if (expected == S_OK)
            ASSERT_GE(started, 0);
        else
            ASSERT_EQ(started, expected);
    }
    // A read of the tag with item text Tag, validated first as a host does.
    HRESULT Read() {
        ComPtr<IIOParseTag> parser;
        EXPECT_EQ(Instance()->QueryInterface(__uuidof(IIOParseTag), parser.put_void()), S_OK);
        TagInfo info = {};
        HRESULT result = parser->Validate(L"", L"Tag", &info);
        if (FAILED(result)) return result;
        HValue value = HValue::Create();
        DriverRequest request = MakeRequest(OP_READ_VALUE, info.n1, info.n2, info.n3, info.n4, value.get());
        request.flags = REQUEST_FLAG_VALIDATED;
        request.paramItem = L"Tag";
        request.paramDevice = L"";
        return Instance()->IO(&request, value.get());
    }
    int CountMatching(const std::string &pattern) const {
        const std::regex expression(pattern);
        int count = 0;
        for (const std::string &message : Messages()) count += std::regex_match(message, expression) ? 1 : 0;
        return count;
    }
};

// The stand-in stops as its script says: told by InterruptScriptThread from
// the watchdog's thread, or by the site's poll (its InterruptScriptThread
// refuses, logged once if the watchdog asks before the poll has ended the
// call); a loop in global code ends the start.
struct StandInCase {
    const char *script;
    bool atStart;
    int interrupts;
    bool polled;
    const char *procedure;
};
const StandInCase kStandInCases[] = {
    {"interrupt", false, 1, false, "Run 'OnRead'"},
    {"poll", false, 0, true, "Run 'OnRead'"},
    {"global", true, 1, false, "Global code"},
};

TEST_F(TimeLimitTest, CallPastItsLimitIsStoppedAndFails) {
    for (const StandInCase &c : kStandInCases) {
        SCOPED_TRACE(c.script);
        StandInRegistration standIn;
        ASSERT_EQ(standIn.Result(), S_OK);
        const DWORD start = GetTickCount();
        HRESULT result = E_OUTOFMEMORY;
        ASSERT_NO_FATAL_FAILURE(Start(c.script, 1, c.script, c.atStart ? E_OUTOFMEMORY : S_OK));
        if (!c.atStart) result = Read();
        const DWORD elapsed = GetTickCount() - start;
        EXPECT_EQ(result, c.atStart ? E_OUTOFMEMORY : kTimeLimitPassed);
        EXPECT_GE(elapsed, 990u);
        EXPECT_LT(elapsed, kLongestLoopMs / 2) << "not stopped";
        StandInRecord &record = standIn.Record();
        EXPECT_EQ(record.interrupts, c.interrupts);
        if (c.interrupts) {
            EXPECT_NE(record.interruptThread, GetCurrentThreadId());
        }
        EXPECT_EQ(record.pollsStop, c.polled ? 1 : 0);
        if (c.polled) {
            EXPECT_GT(record.pollsContinue, 0);
        }
        EXPECT_TRUE(HasMessageMatching(RunStopped(c.procedure, 1)));
        // The poll may end the call before the watchdog's own look comes,
        // and then nothing is refused; when it comes first, the refusal is
        // logged once.
        if (c.polled)
            EXPECT_LE(CountMatching(kRefusal), 1);
        else
            EXPECT_EQ(CountMatching(kRefusal), 0);
        if (c.atStart) {
            EXPECT_TRUE(HasMessageMatching("DRIVER\tInternal Error, failed to connect to script"));
        }
        Instance()->StopComm(0, 0, 0, 0);
    }
}

// Wine's engine refuses the interrupt: a call that runs past its limit ends
// by itself and then fails; the refusal is logged once. No limit (0) and
// the default (30 s) let the same call succeed.
struct WineCase {
    int limit;  // -1: not configured
    int reads;
    HRESULT result;
    int refusals;
};
const WineCase kWineCases[] = {
    {1, 2, kTimeLimitPassed, 1},
    {0, 1, S_OK, 0},
    {-1, 1, S_OK, 0},
};

TEST_F(TimeLimitTest, WinesEngineRunsOnPastTheLimitAndTheCallFails) {
    // Two to four seconds (Now counts whole seconds).
    const std::string script =
        "Sub OnRead(Request, Value)\r\n"
        "  t = Now\r\n"
        "  Do While (Now - t) * 86400 < 2.5 : Loop\r\n"
        "  Value.Value = 1\r\n"
        "End Sub\r\n";
    int run = 0;
    for (const WineCase &c : kWineCases) {
        SCOPED_TRACE(c.limit);
        ASSERT_NO_FATAL_FAILURE(Start(script, c.limit, "wine" + std::to_string(run++)));
        for (int i = 0; i < c.reads; ++i) EXPECT_EQ(Read(), c.result);
        EXPECT_EQ(CountMatching(RunStopped("Run 'OnRead'", 1)), c.result == S_OK ? 0 : c.reads);
        EXPECT_EQ(CountMatching(kRefusal), c.refusals);
        Instance()->StopComm(0, 0, 0, 0);
    }
}

// A call that Wine's engine cannot stop holds its request; drvStopComm
// still returns within its bound, the refusal already in the log.
TEST_F(TimeLimitTest, StopReturnsWhileWinesEngineRunsOnPastTheLimit) {
    const std::string release = scratch_.File("release");
    const std::string script = "Sub OnRead(Request, Value)\r\n"
                               "  Set files = CreateObject(\"Scripting.FileSystemObject\")\r\n"
                               "  t = Now\r\n"
                               "  Do Until files.FileExists(\"" + release + "\") Or (Now - t) * 86400 > 60 : Loop\r\n"
                               "End Sub\r\n";
    ASSERT_NO_FATAL_FAILURE(Start(script, 1, "stop"));
    bool refused = false;
    HRESULT stopped = E_UNEXPECTED;
    DWORD stopMs = 0;
    IIODriverInstance *driver = Instance();
    std::thread host([&] {
        refused = WaitUntil([&] { return CountMatching(kRefusal) == 1; });
        const DWORD start = GetTickCount();
        stopped = driver->StopComm(0, 0, 0, 0);
        stopMs = GetTickCount() - start;
        WriteWholeFile(release, "");
    });
    // The engine answers only the thread that started it.
    const HRESULT read = Read();
    host.join();
    EXPECT_TRUE(refused);
    EXPECT_EQ(stopped, S_OK);
    EXPECT_LT(stopMs, 20000u);
    EXPECT_EQ(read, kTimeLimitPassed);
    EXPECT_TRUE(HasMessageMatching(RunStopped("Run 'OnRead'", 1)));
}

} // namespace
