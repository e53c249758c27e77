#pragma once

#include "protocol/ButtonSet.h"
#include "protocol/StickVector.h"

namespace jolto {

// Everything one phone reports at an instant. The default value is the zero state: nothing
// held, every float 0. Nothing is clamped here; the codec delivers the documented ranges.
struct ControllerState {
    ButtonSet buttons;
    StickVector leftStick;
    StickVector rightStick;
    float leftTrigger = 0;
    float rightTrigger = 0;
    StickVector gyroAim;

    friend constexpr bool operator==(const ControllerState&, const ControllerState&) = default;
};

} // namespace jolto
