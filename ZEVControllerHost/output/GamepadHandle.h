#pragma once

#include "protocol/ControllerState.h"

namespace jolto {

// One controller's virtual gamepad as the server sees it. Neither call waits for the device:
// reports are queued for the gamepad's own feeder.
class GamepadHandle {
public:
    virtual ~GamepadHandle() = default;

    // Queues the input report of `state`.
    virtual void push(const ControllerState& state) = 0;
    // Ends the report stream; the gamepad sends its neutral report and winds down.
    virtual void finish() = 0;
};

} // namespace jolto
