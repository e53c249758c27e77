#pragma once

#include <cstddef>
#include <vector>

#include "PhoneScript.h"
#include "protocol/ControllerState.h"

namespace jolto {

// Plays a script against a clock its caller reads. A real phone sends every change it sees, so
// each step that changes the state is its own datagram: a caller that wakes up late gets every
// step that fell due meanwhile, one after another in script order, never only the last state.
class ScriptPlayer {
public:
    struct Output {
        enum class Kind { state, ping };
        Kind kind = Kind::state;
        // The state after the step, for `state`.
        ControllerState state;
    };

    explicit ScriptPlayer(const PhoneScript& script) : script_(script) {}

    // What goes on the wire for the steps due `elapsed` seconds after play started. A step
    // that leaves the state as it was sends nothing.
    std::vector<Output> advance(double elapsed);

    // Seconds after the start when `advance` has something new to do, or the script ends.
    double nextWake() const;
    bool finished(double elapsed) const;

private:
    const PhoneScript& script_;
    std::size_t next_ = 0;
    ControllerState state_;
};

} // namespace jolto
