#pragma once

#include <cstdint>

namespace jolto {

// The outcome of a hello, as carried by a welcome.
enum class WelcomeStatus : std::uint8_t {
    accepted = 0,
    pinRequired = 1,
    pinIncorrect = 2,
    hostFull = 3,
    versionMismatch = 4,
};

} // namespace jolto
