#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace jolto {

// A mouse button a key action can press. The case order is also the platform's button number
// (left 0, right 1, middle 2); the raw values are the persisted form.
enum class MouseButton : std::uint8_t { left, right, middle };

inline constexpr std::array<MouseButton, 3> allMouseButtons = {
    MouseButton::left, MouseButton::right, MouseButton::middle};

constexpr std::string_view rawValue(MouseButton button) {
    switch (button) {
    case MouseButton::right:
        return "right";
    case MouseButton::middle:
        return "middle";
    case MouseButton::left:
        break;
    }
    return "left";
}

constexpr std::optional<MouseButton> mouseButtonFromRaw(std::string_view raw) {
    for (auto button : allMouseButtons) {
        if (rawValue(button) == raw) {
            return button;
        }
    }
    return std::nullopt;
}

constexpr std::uint32_t buttonNumber(MouseButton button) {
    return static_cast<std::uint32_t>(button);
}

// "Left Click", "Right Click", "Middle Click"
constexpr std::string_view displayLabel(MouseButton button) {
    switch (button) {
    case MouseButton::right:
        return "Right Click";
    case MouseButton::middle:
        return "Middle Click";
    case MouseButton::left:
        break;
    }
    return "Left Click";
}

} // namespace jolto
