#pragma once

#include <functional>
#include <memory>
#include <string>

#include "output/GamepadDevice.h"
#include "output/GamepadHandle.h"

namespace jolto {

// Creates the virtual gamepads of gamepad output mode.
class GamepadFactory {
public:
    virtual ~GamepadFactory() = default;

    // Heavy then light motor level, 0 to 1, from a game's output report. Called on the
    // gamepad's feeder thread.
    using RumbleCallback = std::function<void(float heavy, float light)>;

    // A gamepad of kind `device` named after `playerNumber`, with `serial` as its serial
    // number; nothing when the system refuses the device.
    virtual std::unique_ptr<GamepadHandle> create(GamepadDevice device, int playerNumber,
                                                  const std::string& serial,
                                                  RumbleCallback onRumble) = 0;
    // Whether this process may create gamepads of that kind at all; words the failure message.
    virtual bool hasVirtualDeviceEntitlement(GamepadDevice device) const = 0;
};

} // namespace jolto
