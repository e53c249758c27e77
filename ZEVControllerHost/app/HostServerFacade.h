#pragma once

#include <functional>

#include "output/GamepadDevice.h"
#include "output/KeyMapping.h"
#include "output/OutputMode.h"
#include "protocol/RumbleLevels.h"
#include "protocol/Uuid.h"
#include "server/HostEvent.h"

namespace jolto {

// The requests the host model makes of the server, named as the server names them. Each call
// returns at once; the work runs later on the server's own context, in the order of the calls.
// The model is written against this so that its tests can stand in a recording fake.
class HostServerFacade {
public:
    using Emit = std::function<void(const HostEvent&)>;

    virtual ~HostServerFacade() = default;

    // Once. `onEvent` is called on the server's context.
    virtual void start(OutputMode mode, KeyMapping mapping, Emit onEvent) = 0;
    virtual void setMode(OutputMode mode) = 0;
    virtual void setGamepadDevice(GamepadDevice device) = 0;
    virtual void setMapping(KeyMapping mapping) = 0;
    virtual void setRumbleStrength(float strength) = 0;
    // May be called from any thread (the audio capture calls it from its own).
    virtual void setAudioRumble(RumbleLevels levels) = 0;
    virtual void regeneratePIN() = 0;
    virtual void forget(Uuid device) = 0;
    virtual void testRumble() = 0;
    // Serves the controller page for phone browsers, or closes its port. Before `start`, this
    // decides whether the page opens with the server.
    virtual void setWebPage(bool on) { (void)on; }
    // Gamepad access appeared: gamepads refused so far are tried again.
    virtual void retryGamepads() = 0;
};

} // namespace jolto
