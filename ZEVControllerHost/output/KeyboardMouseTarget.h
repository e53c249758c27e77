#pragma once

#include "output/KeyMapping.h"
#include "protocol/ControllerState.h"
#include "protocol/Uuid.h"

namespace jolto {

// The keyboard-and-mouse output as the server drives it: one instance merges the states of
// every controller. Called only on the server's context.
class KeyboardMouseTarget {
public:
    virtual ~KeyboardMouseTarget() = default;

    // Replaces the mapping in force; a different mapping refreshes what is held.
    virtual void setMapping(const KeyMapping& mapping) = 0;
    // Stores one controller's state and posts the differences in held keys and buttons.
    virtual void update(const Uuid& device, const ControllerState& state) = 0;
    // Drops one controller; what only it held is released.
    virtual void remove(const Uuid& device) = 0;
    // Drops every controller, releasing every held key and button.
    virtual void removeAllClients() = 0;
    // Whether pointer motion or scrolling is in progress and `step` has work to do.
    virtual bool needsMotion() const = 0;
    // Integrates pointer motion and scrolling over `elapsed` seconds.
    virtual void step(double elapsed) = 0;
};

} // namespace jolto
