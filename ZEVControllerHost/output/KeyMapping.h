#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "output/KeyAction.h"
#include "output/StickAction.h"
#include "protocol/ControllerButton.h"

namespace jolto {

// What each controller button and each stick produces in keyboard-and-mouse mode, with the
// pointer and gyro speeds. A button without an entry does nothing, like an explicit `none`, but
// the two are kept apart so that a stored mapping reads back exactly as it was written.
struct KeyMapping {
    static constexpr double defaultGyroSpeed = 1100;

    // Indexed by the button's raw value; a fixed table so that reading it never allocates.
    std::array<std::optional<KeyAction>, controllerButtonCount> buttons{};
    StickAction leftStick = StickAction::none;
    StickAction rightStick = StickAction::none;
    // Display points per second at full stick deflection; scrolling runs at 0.6 of it.
    double pointerSpeed = 1400;
    // Display points per second per unit of gyro aim.
    double gyroSpeed = defaultGyroSpeed;

    // The preset mappings, built once. `shooter` is also the default mapping.
    static const KeyMapping& shooter();
    static const KeyMapping& retro();

    // The entry of a button, if it has one.
    const std::optional<KeyAction>& entry(ControllerButton b) const { return buttons[rawValue(b)]; }
    // What a button does: its entry, or `none` without one.
    KeyAction action(ControllerButton b) const { return entry(b).value_or(KeyAction::none()); }
    void setAction(ControllerButton b, KeyAction a) { buttons[rawValue(b)] = a; }
    void removeAction(ControllerButton b) { buttons[rawValue(b)].reset(); }

    // The same buttons with equal actions, the same sticks and equal speeds; the order in which
    // the entries were made plays no part.
    friend bool operator==(const KeyMapping&, const KeyMapping&) = default;
};

// The outcome of reading a stored mapping: the mapping, or why it could not be read.
struct KeyMappingDecodeResult {
    std::optional<KeyMapping> value;
    std::string error;

    explicit operator bool() const { return value.has_value(); }
};

// The persisted JSON text: {"buttons":[b1,a1,…],"leftStick":…,"rightStick":…,
// "pointerSpeed":…,"gyroSpeed":…}, compact, entries in button order.
std::string encodeKeyMapping(const KeyMapping& mapping);

// Reads the persisted form. Any flaw fails the whole read; nothing is thrown.
KeyMappingDecodeResult decodeKeyMapping(std::string_view json);

} // namespace jolto
