// The request manager on its own: this test plays the link thread.
#include "phys/PhysicalLayer.h"
#include "phys/RequestManager.h"

#include "ScriptedLink.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>

using namespace quillon;
using namespace quillon::test;

namespace {

class RequestManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        logPath_ = std::string(temp) + "quillon_requests_" + std::to_string(GetCurrentProcessId()) + ".log";
        DeleteFileA(logPath_.c_str());
        globals_ = CIOGlobals::Create(nullptr);
        ASSERT_NE(nullptr, globals_);
        globals_->Logger()->SetLogFile(logPath_.c_str());
        manager_ = std::make_unique<CRequestManager>(globals_);
        ASSERT_TRUE(manager_->IsValid());
    }
    void TearDown() override {
        manager_.reset();
        if (globals_) {
            globals_->Logger()->Close();
            globals_->Release();
        }
        DeleteFileA(logPath_.c_str());
    }
    std::vector<std::string> Lines() {
        globals_->Logger()->Close();
        return ChanferLines(logPath_);
    }
    bool Logged(const std::string &text) {
        const std::vector<std::string> lines = Lines();
        return std::find(lines.begin(), lines.end(), text) != lines.end();
    }

    std::string logPath_;
    CIOGlobals *globals_ = nullptr;
    std::unique_ptr<CRequestManager> manager_;
};

TransactionRecord Marked() {
    TransactionRecord record;
    record.result = static_cast<HRESULT>(0x12345678);
    record.inProgress = 5;
    record.counters = {7, 7, 7, 7, 7};
    return record;
}

void ExpectMarked(const TransactionRecord &record) {
    EXPECT_EQ(static_cast<HRESULT>(0x12345678), record.result);
    EXPECT_EQ(5, record.inProgress);
    EXPECT_EQ(7u, record.counters.framesSent);
    EXPECT_EQ(7u, record.counters.failures);
    EXPECT_EQ(7u, record.counters.receiveTimeouts);
    EXPECT_EQ(7u, record.counters.receiveErrors);
    EXPECT_EQ(7u, record.counters.other);
}

TEST_F(RequestManagerTest, SubmissionBeforeEnableFailsAtOnce) {
    TransactionRecord record = Marked();
    EXPECT_EQ(E_FAIL, manager_->Submit(&record));
    ExpectMarked(record);
    EXPECT_EQ(nullptr, manager_->TakePending());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manager_->RequestEvent(), 0));

    manager_->Enable();
    manager_->Disable();
    TransactionRecord after = Marked();
    EXPECT_EQ(E_FAIL, manager_->Submit(&after));
    ExpectMarked(after);
    const std::vector<std::string> lines = Lines();
    EXPECT_EQ((std::vector<std::string>{"Request handler enabled", "Request handler disabled"}), lines);
}

TEST_F(RequestManagerTest, HandsTheRecordOverAndReleasesTheCallerOnce) {
    manager_->Enable();
    for (int round = 0; round < 3; ++round) {
        TransactionRecord record = Marked();
        HRESULT submitted = E_UNEXPECTED;
        std::thread caller([&] { submitted = manager_->Submit(&record); });

        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manager_->RequestEvent(), kDeadlineMs));
        EXPECT_TRUE(manager_->HasPending());
        TransactionRecord *taken = manager_->TakePending();
        ASSERT_EQ(&record, taken);
        EXPECT_EQ(1, taken->inProgress);
        EXPECT_EQ(E_FAIL, taken->result);
        EXPECT_EQ(0u, taken->counters.framesSent + taken->counters.failures + taken->counters.receiveTimeouts +
                          taken->counters.receiveErrors + taken->counters.other);
        // Taking it leaves it pending.
        EXPECT_EQ(&record, manager_->TakePending());
        taken->counters.framesSent = 1;
        manager_->Complete(taken, S_FALSE);
        caller.join();
        EXPECT_EQ(S_FALSE, submitted);
        EXPECT_EQ(0, record.inProgress);
        EXPECT_EQ(1u, record.counters.framesSent);

        // Nothing is pending any more: neither call signals the caller again,
        // which the next round would notice by returning before it is served.
        manager_->Complete(&record, E_ABORT);
        manager_->CancelPending();
        EXPECT_EQ(S_FALSE, record.result);
        EXPECT_FALSE(manager_->HasPending());
    }
    const std::vector<std::string> lines = Lines();
    EXPECT_EQ(lines.end(), std::find(lines.begin(), lines.end(), "Pending request canceled!"));
}

TEST_F(RequestManagerTest, SecondCallerWaitsForTheFirst) {
    manager_->Enable();
    TransactionRecord first, second;
    HRESULT firstResult = E_UNEXPECTED, secondResult = E_UNEXPECTED;
    std::thread one([&] { firstResult = manager_->Submit(&first); });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manager_->RequestEvent(), kDeadlineMs));
    std::thread two([&] { secondResult = manager_->Submit(&second); });

    ASSERT_EQ(&first, manager_->TakePending());
    manager_->Complete(&first, S_OK);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manager_->RequestEvent(), kDeadlineMs));
    ASSERT_EQ(&second, manager_->TakePending());
    manager_->Complete(&second, S_FALSE);
    one.join();
    two.join();
    EXPECT_EQ(S_OK, firstResult);
    EXPECT_EQ(S_FALSE, secondResult);
}

TEST_F(RequestManagerTest, DisableCancelsThePendingRecord) {
    manager_->Enable();
    TransactionRecord record;
    HRESULT submitted = E_UNEXPECTED;
    std::thread caller([&] { submitted = manager_->Submit(&record); });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manager_->RequestEvent(), kDeadlineMs));
    manager_->Disable();
    caller.join();
    EXPECT_EQ(E_FAIL, submitted);
    EXPECT_EQ(E_FAIL, record.result);
    EXPECT_EQ(1u, record.counters.failures);
    EXPECT_EQ(0, record.inProgress);
    EXPECT_EQ((std::vector<std::string>{"Request handler enabled", "Request handler disabled",
                                        "Pending request canceled!"}),
              Lines());
}

} // namespace
