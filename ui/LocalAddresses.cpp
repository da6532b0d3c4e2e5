#include "ui/LocalAddresses.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <vector>

namespace quillon {

std::vector<std::string> LocalAddresses(bool ipv6) {
    std::vector<std::string> addresses;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return addresses;
    const ULONG family = ipv6 ? AF_INET6 : AF_INET;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    // The list may grow between the two calls.
    for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        result = GetAdaptersAddresses(family, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()),
                                      &size);
    }
    if (result == NO_ERROR) {
        for (auto *adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()); adapter; adapter = adapter->Next) {
            for (auto *unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
                char text[NI_MAXHOST] = "";
                if (getnameinfo(unicast->Address.lpSockaddr, unicast->Address.iSockaddrLength, text, sizeof text,
                                nullptr, 0, NI_NUMERICHOST) == 0)
                    addresses.emplace_back(text);
            }
        }
    }
    WSACleanup();
    return addresses;
}

} // namespace quillon
