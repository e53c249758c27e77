#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

#include <linux/input.h>

namespace jolto {

// The force-feedback effects a game has uploaded to one virtual gamepad, and the two motor
// levels they add up to at a given moment. Plain bookkeeping on the servicing thread; time
// comes in as an argument.
//
// Rumble effects drive the motors with their strong and weak magnitudes. Periodic and
// constant effects, which a phone cannot shape, drive both motors with their magnitude
// (0x7FFF is full), as the kernel's own rumble-only drivers do; envelopes are not followed.
// Effects playing at once add up, clamped at full, and the gain scales the sum.
//
// An effect played with a count of n runs n times: each run waits its replay delay, then
// lasts its replay length (0 lasts until it is stopped).
class ForceFeedbackEffects {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    static constexpr std::size_t maxEffects = 16;

    struct Levels {
        std::uint16_t strong = 0;
        std::uint16_t weak = 0;
        bool operator==(const Levels&) const = default;
    };

    // Stores or replaces the effect in its slot (the kernel has chosen `effect.id`); a playing
    // effect keeps playing with the new values. 0, or a negative errno for an effect that
    // cannot be kept.
    int upload(const ff_effect& effect);
    void erase(int id);
    // `count` 0 stops the effect.
    void play(int id, std::int32_t count, TimePoint now);
    void setGain(std::int32_t gain);
    void stopAll();

    Levels levels(TimePoint now) const;
    // The next moment after `now` at which `levels` may change, if one is coming.
    std::optional<TimePoint> nextChange(TimePoint now) const;

private:
    struct Slot {
        bool stored = false;
        bool playing = false;
        std::uint16_t strong = 0;
        std::uint16_t weak = 0;
        std::chrono::milliseconds delay{0};
        std::chrono::milliseconds length{0};
        TimePoint startedAt{};
        std::int32_t count = 0;
    };

    static bool isRunning(const Slot& slot, TimePoint now);

    std::array<Slot, maxEffects> slots_{};
    std::uint32_t gain_ = 0xFFFF;
};

} // namespace jolto
