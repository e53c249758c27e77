#pragma once

#include <chrono>
#include <memory>

#include "platform/ServiceAdvertiser.h"

namespace jolto {

// DNS-SD publication through the Avahi daemon, driven by Avahi's own poll thread.
//
// `publish` and `withdraw` only record what is wanted and wake that thread, so they never wait
// on D-Bus and may be called from any thread. While the daemon (or the system bus) is away the
// problem callback hears "The Avahi daemon is not running." and the service is published as
// soon as the daemon appears; a name collision takes Avahi's alternative name.
//
// The problem callback runs on the poll thread. The advertiser may be destroyed at any time
// except from inside that callback; destroying it withdraws the service.
class AvahiAdvertiser final : public ServiceAdvertiser {
public:
    // How often a new connection is tried while not even the system bus answers. With the bus
    // up, the daemon's arrival is noticed at once.
    static constexpr std::chrono::milliseconds defaultRetryInterval{2000};

    explicit AvahiAdvertiser(std::chrono::milliseconds retryInterval = defaultRetryInterval);
    ~AvahiAdvertiser() override;

    AvahiAdvertiser(const AvahiAdvertiser&) = delete;
    AvahiAdvertiser& operator=(const AvahiAdvertiser&) = delete;

    void publish(const std::string& name, const std::string& type, std::uint16_t port,
                 ProblemCallback onProblem) override;
    void withdraw() override;

    static constexpr const char* daemonMissing = "The Avahi daemon is not running.";

    // A DNS-SD instance name holds at most 63 bytes; longer names are cut on a character
    // boundary, and an empty one becomes "Linux".
    static std::string serviceName(const std::string& name);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace jolto
