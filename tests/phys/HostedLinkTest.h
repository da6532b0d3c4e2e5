// The fixture of tests that run a real link on a host of their own: fresh
// globals logging into a file of the test's own, and afterwards the process's
// threads and handles back at their counts from before the test.
#pragma once

#include "phys/PhysicalLayerFactory.h"
#include "tests/phys/ScriptedLink.h"
#include "tests/support/DriverLibrary.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <iostream>
#include <string>
#include <vector>

namespace quillon::test {

template <class Host, class Link = IIOInterface>
class HostedLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        threadsBefore_ = ThreadCount();
        handlesBefore_ = HandleCount();
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
        logPath_ = std::string(temp) + "quillon_" + test->test_suite_name() + "_" + test->name() + "_" +
                   std::to_string(GetCurrentProcessId()) + ".log";
        DeleteFileA(logPath_.c_str());
        globals_ = CIOGlobals::Create(nullptr);
        ASSERT_NE(nullptr, globals_);
        host_ = new Host(globals_);
        globals_->Logger()->SetLogFile(logPath_.c_str());
    }
    void TearDown() override {
        StopLink();
        if (host_) {
            host_->Stop();
            host_->Release();
        }
        if (globals_) {
            globals_->Logger()->Close();
            globals_->Release();
        }
        ReleaseParts();
        if (HasFailure()) {
            std::cout << "log kept: " << logPath_ << "\n";
            return;
        }
        DeleteFileA(logPath_.c_str());
        EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore_; }))
            << ThreadCount() << " threads, " << threadsBefore_ << " before";
        EXPECT_TRUE(WaitUntil([&] { return HandleCount() <= handlesBefore_; }))
            << HandleCount() << " handles, " << handlesBefore_ << " before";
    }
    // Ends what else the test holds (devices, peers) before the counts.
    virtual void ReleaseParts() {}

    CConfigData &Config() { return host_->Configuration(); }
    // The link of Config() through the factory, as the driver host makes it.
    HRESULT CreateLink() {
        IIOInterface *link = nullptr;
        const HRESULT result = CreatePhysicalLayer(globals_, host_, Config(), &link);
        link_ = ComPtr<Link>::Attach(link);
        host_->link = link;
        return result;
    }
    void StopLink() {
        if (!link_) return;
        link_->Stop();
        host_->link = nullptr;
        link_.reset();
    }
    long State() {
        long state = -1;
        link_->GetLinkState(&state);
        return state;
    }
    bool WaitState(long wanted) {
        return WaitUntil([&] { return State() == wanted; });
    }
    bool Connected() { return WaitState(LINK_CONNECTED); }
    // The log so far; the file is closed for the reading, so all is in it.
    std::vector<std::string> Messages() {
        globals_->Logger()->Close();
        const std::vector<std::string> messages = LogMessages(logPath_);
        globals_->Logger()->SetLogFile(logPath_.c_str());
        return messages;
    }

    unsigned threadsBefore_ = 0, handlesBefore_ = 0;
    std::string logPath_;
    CIOGlobals *globals_ = nullptr;
    Host *host_ = nullptr;
    ComPtr<Link> link_;
};

} // namespace quillon::test
