#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace jolto {

// The 19 buttons of a phone controller. The raw value is the bit number in ButtonSet and the
// number that persisted mappings store. Face buttons are named by position.
enum class ControllerButton : std::uint8_t {
    south,
    east,
    west,
    north,
    leftShoulder,
    rightShoulder,
    leftTrigger,
    rightTrigger,
    leftStick,
    rightStick,
    dpadUp,
    dpadDown,
    dpadLeft,
    dpadRight,
    select,
    start,
    home,
    capture,
    touchpad,
};

inline constexpr std::size_t controllerButtonCount = 19;

inline constexpr std::array<ControllerButton, controllerButtonCount> allControllerButtons = {
    ControllerButton::south,       ControllerButton::east,         ControllerButton::west,
    ControllerButton::north,       ControllerButton::leftShoulder, ControllerButton::rightShoulder,
    ControllerButton::leftTrigger, ControllerButton::rightTrigger, ControllerButton::leftStick,
    ControllerButton::rightStick,  ControllerButton::dpadUp,       ControllerButton::dpadDown,
    ControllerButton::dpadLeft,    ControllerButton::dpadRight,    ControllerButton::select,
    ControllerButton::start,       ControllerButton::home,         ControllerButton::capture,
    ControllerButton::touchpad,
};

constexpr std::uint8_t rawValue(ControllerButton button) {
    return static_cast<std::uint8_t>(button);
}

constexpr std::optional<ControllerButton> controllerButtonFromRaw(std::int64_t raw) {
    if (raw < 0 || raw >= static_cast<std::int64_t>(controllerButtonCount)) {
        return std::nullopt;
    }
    return static_cast<ControllerButton>(raw);
}

// "South face button", "Left bumper", ...
std::string_view displayName(ControllerButton button);
// "A", "LB", "↑", "View", ...
std::string_view shortLabel(ControllerButton button);

} // namespace jolto
