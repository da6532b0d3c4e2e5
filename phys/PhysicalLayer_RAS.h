// The link to a device behind a remote-access modem server: the socket
// connects as the Ethernet link's does, then an AT command is sent through
// it and the link counts as connected once the server answers "CONNECT".
// While connected, a "NO CARRIER" in the received bytes drops the link.
#pragma once

#include "phys/PhysicalLayer_Ethernet.h"

#include <string>

namespace quillon {

// Finds a fixed text in a stream of characters fed one at a time, without
// regard to letter case; it keeps its place between blocks.
class CTextMatcher {
public:
    explicit CTextMatcher(const char *pattern);
    // True once the pattern has been seen (and from then on until Reset).
    bool Feed(char c);
    void Reset();
    bool Matched() const { return matched_; }

private:
    std::string pattern_;
    std::string kept_;
    size_t position_ = 0;
    bool matched_ = false;
};

class CPhysicalLayer_RAS : public CPhysicalLayer_Ethernet {
public:
    CPhysicalLayer_RAS(CIOGlobals *globals, IIOHost *host, const CConfigData &config);

    BOOL Connect() override;
    HRESULT OnSocketConnected() override;
    void OnDataReceived(const BYTE *bytes, unsigned count) override;

protected:
    ~CPhysicalLayer_RAS() override = default;

private:
    // Reads what the modem server sent before the command.
    void Drain();
    // Waits for the modem server's answer to the AT command.
    HRESULT AwaitConnect();
    void ReportNoCarrier();

    std::string command_;
    DWORD commandTimeoutSec_;
    CTextMatcher carrier_;
};

} // namespace quillon
