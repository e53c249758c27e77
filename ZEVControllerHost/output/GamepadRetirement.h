#pragma once

#include <functional>
#include <memory>

#include "output/GamepadHandle.h"

namespace jolto {

// Where the server's finished gamepads go to end. Ending one waits for its device: the reports
// still queued, the neutral report and the system's removal of the device, which a slow or stuck
// device can drag out without bound. None of that may happen on the server's thread.
class GamepadRetirement {
public:
    virtual ~GamepadRetirement() = default;

    // Destroys `gamepad` (already finished) away from the calling thread, then calls `gone`
    // there, once its device has left the system.
    virtual void retire(std::unique_ptr<GamepadHandle> gamepad, std::function<void()> gone) = 0;
};

} // namespace jolto
