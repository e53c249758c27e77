#pragma once

#include <string>

#include "protocol/Uuid.h"

namespace jolto {

// One phone that paired with this host.
struct TrustedDevice {
    Uuid id;
    std::string name;
    // Chosen by the phone at pairing; only a new pairing replaces it.
    Uuid secret;
    // Seconds since 2001-01-01 00:00:00 UTC: the pairing or the latest admitted hello.
    double lastSeen = 0;

    friend bool operator==(const TrustedDevice&, const TrustedDevice&) = default;
};

} // namespace jolto
