#pragma once

#include <cmath>
#include <cstdint>

namespace jolto {

// The conversions of stick axes and levels onto the wire and into gamepad reports: clamp, scale,
// round halves away from zero; a non-finite value gives 0. In float arithmetic, so the codec and
// the gamepad report agree bit for bit.

// std::round without the library call (it is one on baseline x86-64): for |x| < 2^23 the
// fraction x - trunc(x) is exact.
inline std::int32_t roundHalfAway(float x) {
    auto whole = static_cast<std::int32_t>(x);
    float fraction = x - static_cast<float>(whole);
    if (fraction >= 0.5f) {
        ++whole;
    } else if (fraction <= -0.5f) {
        --whole;
    }
    return whole;
}

inline std::int16_t encodeStickAxis(float v) {
    if (!std::isfinite(v)) {
        return 0;
    }
    float clamped = std::fmin(std::fmax(v, -1.0f), 1.0f);
    return static_cast<std::int16_t>(roundHalfAway(clamped * 32767.0f));
}

inline std::uint8_t encodeLevel(float v) {
    if (!std::isfinite(v)) {
        return 0;
    }
    float clamped = std::fmin(std::fmax(v, 0.0f), 1.0f);
    return static_cast<std::uint8_t>(roundHalfAway(clamped * 255.0f));
}

} // namespace jolto
