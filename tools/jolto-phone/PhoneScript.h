#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/ButtonSet.h"
#include "protocol/ControllerState.h"

namespace jolto {

// A timed list of controller changes for the phone simulator. One step per line:
//
//   # comment                   blank lines and everything after '#' are ignored
//   at T STEP                   STEP happens T seconds after play starts (T never goes back)
//   wait S                      later steps happen S seconds later
//   STEP                        happens at the current time
//
// where STEP is one of
//   press BUTTON...    release BUTTON...    neutral (nothing held, every value 0)
//   left X Y    right X Y    gyro X Y       stick or gyro values
//   lt V    rt V                            analogue trigger values
//   ping                                    a ping; its pong prints the round-trip time
//
// Buttons are named as in ControllerButton (south, east, west, north, leftShoulder,
// rightShoulder, leftTrigger, rightTrigger, leftStick, rightStick, dpadUp, dpadDown, dpadLeft,
// dpadRight, select, start, home, capture, touchpad), in any letter case. The script lasts until
// its last step or wait.
class PhoneScript {
public:
    enum class Action {
        press,
        release,
        neutral,
        left,
        right,
        gyro,
        leftTrigger,
        rightTrigger,
        ping
    };

    struct Step {
        double at = 0;
        Action action = Action::neutral;
        ButtonSet buttons;
        float x = 0;
        float y = 0;
        friend bool operator==(const Step&, const Step&) = default;
    };

    struct Parsed;

    static Parsed parse(std::string_view text);

    // The state after `step`; `ping` leaves it unchanged.
    static ControllerState applied(ControllerState state, const Step& step);

    static std::optional<ControllerButton> buttonNamed(std::string_view name);

    const std::vector<Step>& steps() const { return steps_; }
    // Seconds from the start until the script is over.
    double duration() const { return duration_; }

private:
    std::vector<Step> steps_;
    double duration_ = 0;
};

struct PhoneScript::Parsed {
    std::optional<PhoneScript> script;
    // "line N: what is wrong", when `script` is empty.
    std::string error;
};

} // namespace jolto
