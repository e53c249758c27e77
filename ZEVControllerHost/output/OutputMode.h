#pragma once

#include <optional>
#include <string_view>

namespace jolto {

// How controller input reaches games. The raw values are the persisted form.
enum class OutputMode { keyboardMouse, gamepad };

constexpr std::string_view rawValue(OutputMode mode) {
    return mode == OutputMode::gamepad ? "gamepad" : "keyboardMouse";
}

constexpr std::optional<OutputMode> outputModeFromRaw(std::string_view raw) {
    if (raw == "keyboardMouse") {
        return OutputMode::keyboardMouse;
    }
    if (raw == "gamepad") {
        return OutputMode::gamepad;
    }
    return std::nullopt;
}

// "Keyboard & Mouse", "Virtual Gamepad"
constexpr std::string_view displayName(OutputMode mode) {
    return mode == OutputMode::gamepad ? "Virtual Gamepad" : "Keyboard & Mouse";
}

} // namespace jolto
