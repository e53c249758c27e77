#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include <linux/input.h>

#include "output/InputReport.h"

namespace jolto {

// The virtual gamepad's input report as evdev events, in the layout of the kernel's Xbox pad
// driver (xpad), which SDL, Steam, Wine and browsers take for a standard gamepad without a
// mapping.
//
// Face buttons use xpad's codes, not the positional names: xpad reports the west (X) button as
// BTN_X, 0x133, which the headers also call BTN_NORTH, and the north (Y) button as BTN_Y,
// 0x134, also called BTN_WEST; SDL reads x and y from those two codes for every maker but Sony.
// Sticks are ABS_X/ABS_Y and ABS_RX/ABS_RY with y pointing down (as the report already has
// it), the analogue triggers ABS_Z/ABS_RZ from 0 to 255, the d-pad the hat ABS_HAT0X/Y.
//
// A trigger's digital press is the trigger fully pressed: BTN_TL2/BTN_TR2 would make SDL read
// the triggers as buttons instead of axes. Capture is KEY_RECORD (xpad's share button) and
// the touchpad press BTN_TRIGGER_HAPPY1; SDL's automatic mapping binds neither to anything
// else.
class EvdevGamepadReport {
public:
    struct Axis {
        std::uint16_t code;
        std::int32_t minimum;
        std::int32_t maximum;
        std::int32_t flat;
    };

    // Key code of each report button bit; 0 for the digital trigger bits 6 and 7.
    static constexpr std::array<std::uint16_t, 15> buttonCodes = {
        BTN_SOUTH,  BTN_EAST,   BTN_X,    BTN_Y,      BTN_TL,
        BTN_TR,     0,          0,        BTN_SELECT, BTN_START,
        BTN_THUMBL, BTN_THUMBR, BTN_MODE, KEY_RECORD, BTN_TRIGGER_HAPPY1,
    };
    static constexpr std::array<Axis, 8> axes = {{
        {ABS_X, -32768, 32767, 128},
        {ABS_Y, -32768, 32767, 128},
        {ABS_RX, -32768, 32767, 128},
        {ABS_RY, -32768, 32767, 128},
        {ABS_Z, 0, 255, 0},
        {ABS_RZ, 0, 255, 0},
        {ABS_HAT0X, -1, 1, 0},
        {ABS_HAT0Y, -1, 1, 0},
    }};

    // Every key and axis that can change, and the closing SYN_REPORT.
    static constexpr std::size_t maxEvents = 13 + axes.size() + 1;
    using Events = std::array<input_event, maxEvents>;

    // The events that take the device from `previous` to `next`, closed by one SYN_REPORT,
    // into `out`; their number, 0 when nothing a game sees changed.
    static std::size_t events(const InputReport& previous, const InputReport& next, Events& out);
};

} // namespace jolto
