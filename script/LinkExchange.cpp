#include "script/LinkExchange.h"

#include "base/DriverInterfaces.h"
#include "phys/LinkControl.h"

#include <algorithm>
#include <cwchar>

namespace quillon {

namespace {

// Bytes dropped before a frame at most: a device that never stops talking
// does not keep the link thread here.
constexpr size_t kStaleLimit = 65536;

std::wstring Text(const wchar_t *format, unsigned a, unsigned b = 0, unsigned c = 0) {
    wchar_t text[160];
    swprintf(text, sizeof text / sizeof text[0], format, a, b, c);
    return text;
}

bool EndsWith(const ByteString &bytes, const ByteString &tail) {
    return bytes.size() >= tail.size() && std::equal(tail.begin(), tail.end(), bytes.end() - tail.size());
}

} // namespace

HRESULT CLinkExchanger::Run(LinkExchange &exchange) {
    CFrameBuffer send;
    CFrameBuffer receive;
    if (exchange.send && FAILED(send.Append(exchange.send->data(), static_cast<uint32_t>(exchange.send->size())))) {
        exchange.error = L"out of memory";
        return E_OUTOFMEMORY;
    }
    CFrameBuffer *sendFrame = exchange.send ? &send : nullptr;
    CFrameBuffer *receiveFrame = exchange.rule ? &receive : nullptr;
    {
        ScopedLock lock(lock_);
        active_.push_back({sendFrame, receiveFrame, &exchange});
    }
    TransactStatistics statistics = {};
    const HRESULT result = exchange.link->Transact(sendFrame, receiveFrame, &statistics);
    {
        ScopedLock lock(lock_);
        active_.erase(std::remove_if(active_.begin(), active_.end(),
                                     [&](const Active &active) { return active.exchange == &exchange; }),
                      active_.end());
    }
    if (SUCCEEDED(result)) {
        exchange.answer.assign(receive.Data(), receive.Data() + receive.Length());
        return S_OK;
    }
    if (FAILED(exchange.failure)) return exchange.failure;
    long state = LINK_STOPPED;
    exchange.link->GetLinkState(&state);
    if (state != LINK_CONNECTED) {
        exchange.error = L"the link is not connected";
        return E_FAIL;
    }
    exchange.error = sendFrame && statistics.framesSent == 0 ? L"the frame could not be sent" : L"the exchange failed";
    return E_FAIL;
}

LinkExchange *CLinkExchanger::FindBySend(const CFrameBuffer *frame) {
    ScopedLock lock(lock_);
    for (const Active &active : active_)
        if (frame && active.send == frame) return active.exchange;
    return nullptr;
}

LinkExchange *CLinkExchanger::FindByReceive(const CFrameBuffer *frame) {
    ScopedLock lock(lock_);
    for (const Active &active : active_)
        if (frame && active.receive == frame) return active.exchange;
    return nullptr;
}

void CLinkExchanger::BeforeSend(CFrameBuffer *frame) {
    LinkExchange *exchange = FindBySend(frame);
    if (!exchange) return;
    ComPtr<IIOLinkControl> control;
    if (FAILED(exchange->link->QueryInterface(__uuidof(IIOLinkControl), control.put_void()))) return;
    BYTE stale[256];
    size_t dropped = 0;
    while (dropped < kStaleLimit) {
        const DWORD waiting = control->WaitForInput(0);
        if (waiting == 0) break;
        const unsigned count = waiting < sizeof stale ? static_cast<unsigned>(waiting) : sizeof stale;
        if (FAILED(exchange->link->Read(stale, count))) break;
        dropped += count;
    }
}

HRESULT CLinkExchanger::ReceiveFrame(CFrameBuffer *receive) {
    LinkExchange *exchange = FindByReceive(receive);
    if (!exchange || !exchange->rule) return E_FAIL;
    ByteString answer;
    const HRESULT result = ReadAnswer(*exchange, answer);
    if (FAILED(result)) {
        exchange->failure = result;
        return result;
    }
    if (!answer.empty() && FAILED(receive->Append(answer.data(), static_cast<uint32_t>(answer.size())))) {
        exchange->failure = E_OUTOFMEMORY;
        exchange->error = L"out of memory";
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CLinkExchanger::ReadAnswer(LinkExchange &exchange, ByteString &answer) {
    const ReceiveRule &rule = *exchange.rule;
    IIOInterface *link = exchange.link;
    const bool untilTerminator = !rule.terminator.empty();
    // Without a wait of its own the link's reads wait for its receive
    // time-out, and the deadline is looked at between them.
    ComPtr<IIOLinkControl> control;
    link->QueryInterface(__uuidof(IIOLinkControl), control.put_void());
    const ULONGLONG deadline = GetTickCount64() + rule.timeoutMs;
    for (;;) {
        if (untilTerminator ? EndsWith(answer, rule.terminator) : answer.size() == rule.count) return S_OK;
        const unsigned got = static_cast<unsigned>(answer.size());
        if (untilTerminator && got >= rule.count) {
            exchange.error = Text(L"no terminator within %u bytes", rule.count);
            return E_FAIL;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            exchange.error = untilTerminator
                                 ? Text(L"received %u bytes but no terminator within %u ms", got, rule.timeoutMs)
                                 : Text(L"received %u of %u bytes within %u ms", got, rule.count, rule.timeoutMs);
            return IO_E_RECEIVE_TIMEOUT;
        }
        DWORD waiting = 1;
        if (control) {
            waiting = control->WaitForInput(static_cast<DWORD>(deadline - now));
            if (control->IsStopping()) {
                exchange.error = L"the link stopped during the exchange";
                return E_ABORT;
            }
            if (waiting == 0) continue;
        }
        HRESULT read;
        if (untilTerminator || waiting == 1) {
            BYTE byte = 0;
            read = link->ReadByte(&byte);
            if (SUCCEEDED(read)) answer.push_back(byte);
        } else {
            const unsigned count = std::min<unsigned>(waiting, rule.count - got);
            answer.resize(got + count);
            read = link->Read(answer.data() + got, count);
            if (FAILED(read)) answer.resize(got);
        }
        if (read == IO_E_RECEIVE_TIMEOUT && !control) continue;
        if (FAILED(read)) {
            exchange.error = Text(L"reading from the link failed (%08X)", static_cast<unsigned>(read));
            return read;
        }
    }
}

} // namespace quillon
