#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace jolto {

// What a stick does in keyboard-and-mouse mode: nothing, four direction keys (W A S D or the
// arrow keys), pointer motion, or scrolling. The raw values are the persisted form.
enum class StickAction : std::uint8_t { none, wasd, arrows, mouse, scroll };

inline constexpr std::array<StickAction, 5> allStickActions = {
    StickAction::none, StickAction::wasd, StickAction::arrows, StickAction::mouse,
    StickAction::scroll};

constexpr std::string_view rawValue(StickAction action) {
    switch (action) {
    case StickAction::wasd:
        return "wasd";
    case StickAction::arrows:
        return "arrows";
    case StickAction::mouse:
        return "mouse";
    case StickAction::scroll:
        return "scroll";
    case StickAction::none:
        break;
    }
    return "none";
}

constexpr std::optional<StickAction> stickActionFromRaw(std::string_view raw) {
    for (auto action : allStickActions) {
        if (rawValue(action) == raw) {
            return action;
        }
    }
    return std::nullopt;
}

} // namespace jolto
