#pragma once

#include <algorithm>

namespace jolto {

// Two motor levels, 0 to 1: `low` drives the heavy motor, `high` the light, sharp one.
struct RumbleLevels {
    float low = 0;
    float high = 0;

    static constexpr float activityThreshold = 0.02f;

    // A pair rumbles when its larger level exceeds the threshold.
    constexpr bool isActive() const { return std::max(low, high) > activityThreshold; }

    friend constexpr bool operator==(const RumbleLevels&, const RumbleLevels&) = default;
};

} // namespace jolto
