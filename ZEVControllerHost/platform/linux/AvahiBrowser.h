#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace jolto {

// Finds DNS-SD services through the Avahi daemon and resolves each to an address and port:
// what a phone does to find hosts. Blocking; meant for tools and tests.
class AvahiBrowser {
public:
    struct Service {
        std::string name;
        std::string hostName;
        // Numeric; a link-local IPv6 address carries its interface ("fe80::1%eth0").
        std::string address;
        std::uint16_t port = 0;
        bool ipv6 = false;
        friend bool operator==(const Service&, const Service&) = default;
    };

    struct Result {
        std::vector<Service> services;
        // Why browsing could not run (no daemon, ...); services found before it went wrong stay.
        std::optional<std::string> problem;
    };

    // Browses `type` in the default domain for up to `timeout`, or until the first service has
    // resolved when `stopAtFirst`. `onFound` hears each new service as it resolves.
    static Result browse(const std::string& type, std::chrono::milliseconds timeout,
                         bool stopAtFirst, const std::function<void(const Service&)>& onFound = {});
};

} // namespace jolto
