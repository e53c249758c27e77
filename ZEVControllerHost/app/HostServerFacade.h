#pragma once

#include <functional>

#include "HostEvent.h"
#include "KeyMapping.h"
#include "OutputMode.h"
#include "RumbleLevels.h"
#include "Uuid.h"

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
    virtual void setMapping(KeyMapping mapping) = 0;
    virtual void setRumbleStrength(float strength) = 0;
    // May be called from any thread (the audio capture calls it from its own).
    virtual void setAudioRumble(RumbleLevels levels) = 0;
    virtual void regeneratePIN() = 0;
    virtual void forget(Uuid device) = 0;
    virtual void testRumble() = 0;
    // Gamepad access appeared: gamepads refused so far are tried again.
    virtual void retryGamepads() = 0;
};

} // namespace jolto
