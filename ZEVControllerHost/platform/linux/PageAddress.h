#pragma once

#include <cstdint>
#include <string>

namespace jolto {

// The address a phone on the local network opens to reach the controller page on `port`:
// http:// with this computer's first IPv4 address on an interface that is up (not loopback),
// else the IPv6 one, else 127.0.0.1. Asks the kernel only; never waits.
std::string pageAddress(std::uint16_t port);

} // namespace jolto
