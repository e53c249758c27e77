#pragma once

namespace jolto {

// Two floats; x grows to the right, y grows upwards. Compared as floats, so 0 equals -0 and a
// NaN equals nothing.
struct StickVector {
    float x = 0;
    float y = 0;

    friend constexpr bool operator==(const StickVector&, const StickVector&) = default;
};

} // namespace jolto
