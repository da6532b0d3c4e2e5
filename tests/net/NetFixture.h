// A host that reads its frames through the link, and the fixture that makes
// the Ethernet and RAS links on it.
#pragma once

#include "NetPeers.h"

#include "config/ConfigParameters.h"
#include "base/DriverInterfaces.h"
#include "toolkit/IOHost.h"
#include "phys/FrameBuffer.h"
#include "phys/PhysicalLayer_Ethernet.h"
#include "phys/PhysicalLayer_RAS.h"
#include "tests/phys/HostedLinkTest.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace quillon::test {

// Reads replies through the link: a Modbus TCP frame (header and the length
// it gives) when replyLength is 0, else replyLength bytes.
class CNetHost final : public CEventHost {
public:
    explicit CNetHost(CIOGlobals *globals) : CEventHost(globals, nullptr) {}

    HRESULT STDMETHODCALLTYPE ReceiveFrame(CFrameBuffer *receive, CFrameBuffer *) override {
        IIOInterface *reader = link.load();
        if (!reader) return E_FAIL;
        BYTE *at = nullptr;
        if (replyLength == 0) {
            receive->Extend(6, &at);
            HRESULT hr = reader->Read(at, 6);
            if (FAILED(hr)) return hr;
            const unsigned length = (at[4] << 8) | at[5];
            if (length == 0 || length > 256) return E_FAIL;
            receive->Extend(length, &at);
            return reader->Read(at, length);
        }
        receive->Extend(replyLength, &at);
        return reader->Read(at, replyLength);
    }
    HRESULT STDMETHODCALLTYPE OnConnected() override {
        ++connected;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDisconnected() override {
        ++disconnected;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnIdle() override { return idle; }
    HRESULT STDMETHODCALLTYPE OnUnsolicitedFrame(CFrameBuffer *) override {
        ++unsolicited;
        return S_OK;
    }

    std::atomic<IIOInterface *> link{nullptr};
    std::atomic<unsigned> replyLength{0};
    std::atomic<HRESULT> idle{E_FAIL};
    std::atomic<int> connected{0}, disconnected{0}, unsolicited{0};

private:
    ~CNetHost() override = default;
};

class NetTest : public HostedLinkTest<CNetHost, CPhysicalLayer> {
protected:
    void SetUp() override {
        HostedLinkTest::SetUp();
        Config().SetString(param::EthernetMainIP, "127.0.0.1");
        Config().SetU32(param::RecoverPeriodSec, 1);
        Config().SetU32(param::TimeoutMs, 300);
    }

    // Creates and starts the link of the configuration; S_OK when it runs.
    HRESULT StartLink(bool ras = false) {
        CPhysicalLayer *made = ras ? static_cast<CPhysicalLayer *>(new CPhysicalLayer_RAS(globals_, host_, Config()))
                                   : new CPhysicalLayer_Ethernet(globals_, host_, Config());
        link_ = ComPtr<CPhysicalLayer>::Attach(made);
        host_->link = link_.get();
        const HRESULT hr = link_->Start();
        if (FAILED(hr)) StopLink();
        return hr;
    }
    // The link started and connected.
    bool Connects(bool ras = false) { return StartLink(ras) == S_OK && Connected(); }
    // One exchange through the link from this (host) thread.
    HRESULT Exchange(const std::string &request, std::string *reply, TransactStatistics *statistics = nullptr) {
        CFrameBuffer send, receive;
        send.Append(request.data(), static_cast<uint32_t>(request.size()));
        TransactStatistics own = {};
        const HRESULT hr = link_->Transact(&send, reply ? &receive : nullptr, statistics ? statistics : &own);
        if (reply) reply->assign(reinterpret_cast<const char *>(receive.Data()), receive.Length());
        return hr;
    }
    // Stops the link; how long that took, in milliseconds.
    unsigned StopTimed() {
        const ULONGLONG start = GetTickCount64();
        StopLink();
        const unsigned took = static_cast<unsigned>(GetTickCount64() - start);
        std::cout << "[ stop     ] " << ::testing::UnitTest::GetInstance()->current_test_info()->name() << ": " << took
                  << " ms\n";
        return took;
    }
    std::vector<std::string> Log() { return LogMessages(logPath_); }
    bool LogHas(const std::string &line) { return Contains(Log(), line); }
    bool LogMatches(const std::string &pattern) { return ContainsMatching(Log(), pattern); }
};

} // namespace quillon::test
