// A script's exchange on the driver's link: handed to the link thread with
// the engine's Transact like any other traffic, while the rule for reading
// the answer travels with it. The host's frame callbacks come here and act
// only for the frames of these exchanges.
#pragma once

#include "base/ComUtil.h"
#include "phys/FrameBuffer.h"
#include "phys/IOInterface.h"
#include "script/ByteHelpers.h"

#include <string>
#include <vector>

namespace quillon {

// How the answer of an exchange is read.
struct ReceiveRule {
    // Exactly count bytes, or bytes up to and including terminator but no
    // more than count.
    unsigned count = 0;
    ByteString terminator;
    DWORD timeoutMs = 1000;
};

// One exchange: what the caller asks for and, once done, what came back.
struct LinkExchange {
    IIOInterface *link = nullptr;
    const ByteString *send = nullptr;
    const ReceiveRule *rule = nullptr;
    ByteString answer;
    // Set on the link thread when receiving failed.
    HRESULT failure = S_OK;
    std::wstring error;
};

class CLinkExchanger {
public:
    // Caller's thread: sends and receives as the exchange says, on the link
    // thread. On failure exchange.error tells why.
    HRESULT Run(LinkExchange &exchange);

    // Link thread. Reads the answer of an exchange into receive by its rule;
    // E_FAIL for any other frame.
    HRESULT ReceiveFrame(CFrameBuffer *receive);
    // Drops what waits unread before an exchange's frame goes out, so that an
    // answer that came too late, or that a script never read, is not taken
    // for the start of the next one.
    void BeforeSend(CFrameBuffer *frame);

private:
    struct Active {
        const CFrameBuffer *send;
        const CFrameBuffer *receive;
        LinkExchange *exchange;
    };
    LinkExchange *FindBySend(const CFrameBuffer *frame);
    LinkExchange *FindByReceive(const CFrameBuffer *frame);
    HRESULT ReadAnswer(LinkExchange &exchange, ByteString &answer);

    CriticalSection lock_;
    std::vector<Active> active_;
};

} // namespace quillon
