#pragma once

#include <chrono>

namespace jolto {

using Instant = std::chrono::steady_clock::time_point;
using Duration = std::chrono::steady_clock::duration;

// The monotonic clock, injected so that tests can drive timers and silences in microseconds.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Instant now() const = 0;
};

class SteadyClock final : public Clock {
public:
    Instant now() const override { return std::chrono::steady_clock::now(); }
};

// Seconds between two instants as a double.
inline double secondsBetween(Instant from, Instant to) {
    return std::chrono::duration<double>(to - from).count();
}

} // namespace jolto
