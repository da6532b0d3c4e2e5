#include "phys/PhysicalLayer_RAS.h"

#include "config/ConfigParameters.h"

#include <mmsystem.h>

#include <algorithm>
#include <cstring>

namespace quillon {
namespace {

// What the drain before the command reads at most (the link's own limit for
// what it takes in at once), and the longest response line.
constexpr size_t kDrainLimit = 64 * 1024;
constexpr size_t kResponseLimit = 256;

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool BeginsWith(const std::string &text, const char *prefix) {
    const size_t length = std::strlen(prefix);
    if (text.size() < length) return false;
    for (size_t i = 0; i < length; ++i)
        if (Upper(text[i]) != prefix[i]) return false;
    return true;
}

} // namespace

CTextMatcher::CTextMatcher(const char *pattern) {
    for (const char *c = pattern; *c; ++c) pattern_ += Upper(*c);
}

void CTextMatcher::Reset() {
    position_ = 0;
    matched_ = false;
    kept_.clear();
}

bool CTextMatcher::Feed(char c) {
    if (matched_) return true;
    const char upper = Upper(c);
    if (upper == pattern_[position_]) {
        kept_ += upper;
        if (++position_ == pattern_.size()) matched_ = true;
        return matched_;
    }
    if (position_ == 0) return false;
    // The characters kept so far may hold the start of the pattern from
    // their second one on: they are fed again before the new one.
    const std::string kept = kept_;
    Reset();
    for (size_t i = 1; i < kept.size(); ++i) Feed(kept[i]);
    return Feed(c);
}

CPhysicalLayer_RAS::CPhysicalLayer_RAS(CIOGlobals *globals, IIOHost *host, const CConfigData &config)
    : CPhysicalLayer_Ethernet(globals, host, config), command_(config.GetString(param::RASATCommand, "")),
      commandTimeoutSec_(config.GetU32(param::RASCommandTimeoutSec, 0)), carrier_("NO CARRIER") {}

BOOL CPhysicalLayer_RAS::Connect() {
    carrier_.Reset();
    return CPhysicalLayer_Ethernet::Connect();
}

void CPhysicalLayer_RAS::ReportNoCarrier() {
    Host()->PostEvent(EVENT_ERROR, EVENT_SOURCE_RAS, 4, "RAS connection error:  NO CARRIER");
    Log(LOG_RAS, "ERROR: NO CARRIER");
}

HRESULT CPhysicalLayer_RAS::OnSocketConnected() {
    carrier_.Reset();
    const unsigned previous = Logger()->SetOptions(LOG_OPTION_PRINTABLE_FRAMES);
    Drain();
    Log(LOG_RAS, "Sending AT command '%s'...", command_.c_str());
    const std::string line = command_ + "\r\n";
    if (FAILED(Socket().Send(reinterpret_cast<const BYTE *>(line.data()), static_cast<unsigned>(line.size()), false))) {
        Log(LOG_RAS, "ERROR sending AT command!");
        Logger()->SetOptions(previous);
        return E_FAIL;
    }
    const HRESULT hr = AwaitConnect();
    Logger()->SetOptions(previous);
    return hr;
}

void CPhysicalLayer_RAS::Drain() {
    // Until the input rests for a receive time-out, but no longer than one
    // in total nor beyond the link's byte limit: a peer that keeps talking
    // does not hold the link here.
    const DWORD start = timeGetTime();
    BYTE block[1024];
    for (size_t drained = 0; drained < kDrainLimit && timeGetTime() - start <= ReceiveTimeoutMs();) {
        const size_t queued = Socket().Queued();
        const unsigned count = static_cast<unsigned>(std::min({queued ? queued : 1, sizeof block, kDrainLimit - drained}));
        if (FAILED(Socket().Read(block, count, false))) break;
        drained += count;
    }
}

HRESULT CPhysicalLayer_RAS::AwaitConnect() {
    const DWORD start = timeGetTime();
    std::string response;
    for (;;) {
        BYTE byte = 0;
        const HRESULT read = Socket().Read(&byte, 1, false);
        bool check = FAILED(read);
        if (SUCCEEDED(read)) {
            if (byte == '\n')
                check = true;
            else if (byte != '\r')
                response += static_cast<char>(byte);
            // A run without line ends is taken as a line of its own.
            if (response.size() >= kResponseLimit) check = true;
        }
        if (check && !response.empty()) {
            Log(LOG_RAS, "Received RAS response: '%s'", response.c_str());
            Host()->PostEvent(EVENT_INFORMATION, EVENT_SOURCE_RAS, 3, "RAS response: '%s'", response.c_str());
            if (BeginsWith(response, "CONNECT")) {
                if (IsConnectionLost()) return E_FAIL;
                Log(LOG_RAS, "RAS connected!");
                carrier_.Reset();
                return S_OK;
            }
            if (BeginsWith(response, "NO CARRIER")) {
                ReportNoCarrier();
                return E_FAIL;
            }
            response.clear();
        }
        if (timeGetTime() - start > PeriodMs(commandTimeoutSec_)) {
            Host()->PostEvent(EVENT_ERROR, EVENT_SOURCE_RAS, 1, "Timeout waiting for CONNECT");
            Log(LOG_RAS, "ERROR: Timeout waiting for 'CONNECT'");
            return E_FAIL;
        }
        if (!Socket().IsOpen()) return E_FAIL;
        if (TakeForcedDisconnect()) return E_FAIL;
    }
}

void CPhysicalLayer_RAS::OnDataReceived(const BYTE *bytes, unsigned count) {
    if (carrier_.Matched()) return;
    for (unsigned i = 0; i < count; ++i) {
        if (carrier_.Feed(static_cast<char>(bytes[i]))) {
            ReportNoCarrier();
            Socket().Close();
            return;
        }
    }
}

} // namespace quillon
