// The machine's own interface addresses, for the choice of the address a
// listening link binds to.
#pragma once

#include <string>
#include <vector>

namespace quillon {

// The unicast addresses of the local interfaces as numeric text, IPv6 or
// IPv4 ones; empty when they cannot be had.
std::vector<std::string> LocalAddresses(bool ipv6);

} // namespace quillon
