#include "platform/linux/ForceFeedbackEffects.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace jolto {

namespace {

// A signed magnitude (0x7FFF full) on the unsigned motor scale.
std::uint16_t bothMotors(std::int16_t magnitude) {
    auto value = static_cast<std::uint32_t>(std::abs(static_cast<std::int32_t>(magnitude))) * 2u;
    return static_cast<std::uint16_t>(std::min<std::uint32_t>(value, 0xFFFF));
}

} // namespace

int ForceFeedbackEffects::upload(const ff_effect& effect) {
    if (effect.id < 0 || static_cast<std::size_t>(effect.id) >= maxEffects) {
        return -EINVAL;
    }
    Slot& slot = slots_[static_cast<std::size_t>(effect.id)];
    switch (effect.type) {
    case FF_RUMBLE:
        slot.strong = effect.u.rumble.strong_magnitude;
        slot.weak = effect.u.rumble.weak_magnitude;
        break;
    case FF_PERIODIC:
        slot.strong = slot.weak = bothMotors(effect.u.periodic.magnitude);
        break;
    case FF_CONSTANT:
        slot.strong = slot.weak = bothMotors(effect.u.constant.level);
        break;
    default:
        return -EINVAL;
    }
    slot.stored = true;
    slot.delay = std::chrono::milliseconds(effect.replay.delay);
    slot.length = std::chrono::milliseconds(effect.replay.length);
    return 0;
}

void ForceFeedbackEffects::erase(int id) {
    if (id >= 0 && static_cast<std::size_t>(id) < maxEffects) {
        slots_[static_cast<std::size_t>(id)] = Slot{};
    }
}

void ForceFeedbackEffects::play(int id, std::int32_t count, TimePoint now) {
    if (id < 0 || static_cast<std::size_t>(id) >= maxEffects) {
        return;
    }
    Slot& slot = slots_[static_cast<std::size_t>(id)];
    if (!slot.stored) {
        return;
    }
    slot.playing = count > 0;
    slot.count = count;
    slot.startedAt = now;
}

void ForceFeedbackEffects::setGain(std::int32_t gain) {
    gain_ = static_cast<std::uint32_t>(std::clamp<std::int32_t>(gain, 0, 0xFFFF));
}

void ForceFeedbackEffects::stopAll() {
    for (auto& slot : slots_) {
        slot.playing = false;
    }
}

bool ForceFeedbackEffects::isRunning(const Slot& slot, TimePoint now) {
    if (!slot.playing || now < slot.startedAt) {
        return false;
    }
    auto elapsed = now - slot.startedAt;
    if (slot.length.count() == 0) {
        return elapsed >= slot.delay;
    }
    auto cycle = slot.delay + slot.length;
    auto run = elapsed / cycle;
    if (run >= slot.count) {
        return false;
    }
    return elapsed - run * cycle >= slot.delay;
}

ForceFeedbackEffects::Levels ForceFeedbackEffects::levels(TimePoint now) const {
    std::uint32_t strong = 0;
    std::uint32_t weak = 0;
    for (const auto& slot : slots_) {
        if (isRunning(slot, now)) {
            strong += slot.strong;
            weak += slot.weak;
        }
    }
    auto scale = [this](std::uint32_t sum) {
        return static_cast<std::uint16_t>(std::min<std::uint32_t>(sum, 0xFFFF) * gain_ / 0xFFFF);
    };
    return {scale(strong), scale(weak)};
}

std::optional<ForceFeedbackEffects::TimePoint>
ForceFeedbackEffects::nextChange(TimePoint now) const {
    std::optional<TimePoint> next;
    auto consider = [&](TimePoint t) {
        if (t > now && (!next || t < *next)) {
            next = t;
        }
    };
    for (const auto& slot : slots_) {
        if (!slot.playing) {
            continue;
        }
        if (now < slot.startedAt) {
            consider(slot.startedAt);
            continue;
        }
        if (slot.length.count() == 0) {
            consider(slot.startedAt + slot.delay);
            continue;
        }
        auto cycle = slot.delay + slot.length;
        auto run = (now - slot.startedAt) / cycle;
        if (run >= slot.count) {
            continue;
        }
        TimePoint runStart = slot.startedAt + run * cycle;
        consider(runStart + slot.delay);
        consider(runStart + cycle);
    }
    return next;
}

} // namespace jolto
