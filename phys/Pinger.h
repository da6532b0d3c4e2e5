// Pings an IPv4 device through the system's ICMP library before a link
// connects to it, so that an absent device is noticed without waiting for a
// socket connection to time out.
#pragma once

#include "log/IOGlobals.h"

#include <windows.h>

namespace quillon {

class CPinger : public IOApi {
public:
    explicit CPinger(CIOGlobals *globals) : IOApi(globals) {}

    // Sends up to tries + 1 echo requests, each waiting timeoutMs, until one
    // is answered. S_OK when one was; E_INVALIDARG for an empty address or a
    // time-out of 0; E_FAIL otherwise. An auto-reset stop event, when given,
    // ends the ping early (and is left set).
    HRESULT Ping(const char *address, DWORD timeoutMs, DWORD tries, HANDLE stop = nullptr);
};

} // namespace quillon
