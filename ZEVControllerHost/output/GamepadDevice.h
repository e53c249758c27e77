#pragma once

#include <optional>
#include <string_view>

namespace jolto {

// Which kind of virtual device a gamepad is. `standard` is the one games of the platform read
// as a controller without any setup; `hid` is the raw HID device with the fixed report
// descriptor, for programs that read HID themselves. The raw values are the persisted form.
enum class GamepadDevice { standard, hid };

constexpr std::string_view rawValue(GamepadDevice device) {
    return device == GamepadDevice::hid ? "hid" : "standard";
}

constexpr std::optional<GamepadDevice> gamepadDeviceFromRaw(std::string_view raw) {
    if (raw == "standard") {
        return GamepadDevice::standard;
    }
    if (raw == "hid") {
        return GamepadDevice::hid;
    }
    return std::nullopt;
}

} // namespace jolto
