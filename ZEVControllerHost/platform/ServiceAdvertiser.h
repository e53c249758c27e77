#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace jolto {

// Publishes the host as a DNS-SD service on the local network.
class ServiceAdvertiser {
public:
    virtual ~ServiceAdvertiser() = default;

    // Called with a readable reason while the host is not visible (e.g. the mDNS daemon is
    // not running), and with nothing once it is published. May run on any thread.
    using ProblemCallback = std::function<void(std::optional<std::string> problem)>;

    // Publishes (or republishes on a new port) the service `type` under `name`. A name
    // collision takes the daemon's alternative name. Keeps trying while the daemon is away.
    virtual void publish(const std::string& name, const std::string& type, std::uint16_t port,
                         ProblemCallback onProblem) = 0;
    // Withdraws the service.
    virtual void withdraw() = 0;
};

} // namespace jolto
