#include <gtest/gtest.h>

#include "PhoneScript.h"
#include "ScriptPlayer.h"

using namespace jolto;
using Action = PhoneScript::Action;

TEST(PhoneScript, StepsTakeTheirTimesFromAtAndWait) {
    const auto parsed = PhoneScript::parse("# warm-up\n"
                                           "press south dpadUp   # two at once\n"
                                           "wait 0.25\n"
                                           "release SOUTH\n"
                                           "at 1.5 left -1 0.5\n"
                                           "lt 0.75\n"
                                           "ping\n"
                                           "\n"
                                           "wait 2\n");
    ASSERT_TRUE(parsed.script) << parsed.error;
    const auto& steps = parsed.script->steps();
    ASSERT_EQ(steps.size(), 5u);
    EXPECT_EQ(steps[0].at, 0);
    EXPECT_EQ(steps[0].action, Action::press);
    EXPECT_EQ(steps[0].buttons, (ButtonSet{ControllerButton::south, ControllerButton::dpadUp}));
    EXPECT_EQ(steps[1].at, 0.25);
    EXPECT_EQ(steps[1].buttons, ButtonSet{ControllerButton::south});
    EXPECT_EQ(steps[2].at, 1.5);
    EXPECT_EQ(steps[2].action, Action::left);
    EXPECT_EQ(steps[2].x, -1.0f);
    EXPECT_EQ(steps[2].y, 0.5f);
    EXPECT_EQ(steps[3].at, 1.5);
    EXPECT_EQ(steps[3].action, Action::leftTrigger);
    EXPECT_EQ(steps[4].action, Action::ping);
    // The trailing wait holds the last state before the phone leaves.
    EXPECT_EQ(parsed.script->duration(), 3.5);
}

TEST(PhoneScript, MistakesNameTheirLine) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"press\n", "line 1: press needs at least one button"},
        {"wait 1\npress jump\n", "line 2: unknown button \"jump\""},
        {"at 2 press south\nat 1 release south\n", "line 2: time 1 is before the previous step"},
        {"left 1\n", "line 1: left needs two numbers"},
        {"rt full\n", "line 1: rt needs one number"},
        {"wait -1\n", "line 1: wait needs a number of seconds, 0 or more"},
        {"at 1\n", "line 1: at needs a time and a step"},
        {"jump\n", "line 1: unknown step \"jump\""},
        {"gyro nan 0\n", "line 1: gyro needs two numbers"},
    };
    for (const auto& c : cases) {
        const auto parsed = PhoneScript::parse(c.text);
        EXPECT_FALSE(parsed.script) << c.text;
        EXPECT_EQ(parsed.error, c.error) << c.text;
    }
}

TEST(PhoneScript, StepsChangeOnlyTheirPartOfTheState) {
    auto parsed = PhoneScript::parse("press south east\nrelease east\nright 0.5 -0.5\nrt 1\n"
                                     "gyro 2 3\nneutral\n");
    ASSERT_TRUE(parsed.script);
    const auto& s = parsed.script->steps();
    ControllerState state;
    state = PhoneScript::applied(state, s[0]);
    state = PhoneScript::applied(state, s[1]);
    EXPECT_EQ(state.buttons, ButtonSet{ControllerButton::south});
    state = PhoneScript::applied(state, s[2]);
    state = PhoneScript::applied(state, s[3]);
    state = PhoneScript::applied(state, s[4]);
    EXPECT_EQ(state.rightStick, (StickVector{0.5f, -0.5f}));
    EXPECT_EQ(state.rightTrigger, 1.0f);
    EXPECT_EQ(state.gyroAim, (StickVector{2, 3}));
    EXPECT_EQ(state.buttons, ButtonSet{ControllerButton::south});
    EXPECT_EQ(PhoneScript::applied(state, s[5]), ControllerState{});
}

// The player is given the clock: a wake-up that comes late still sends each change on its own,
// in order, so a press and its release never cancel out on the wire.
TEST(ScriptPlayer, LateWakeSendsEveryDueChangeInOrder) {
    const auto parsed = PhoneScript::parse("at 0.5 press south\n"
                                           "at 0.53 release south\n"
                                           "at 0.53 release south\n" // no change, nothing sent
                                           "at 0.54 ping\n"
                                           "at 0.6 left 1 0\n"
                                           "at 2 neutral\n");
    ASSERT_TRUE(parsed.script) << parsed.error;
    ScriptPlayer player(*parsed.script);
    using Kind = ScriptPlayer::Output::Kind;

    EXPECT_TRUE(player.advance(0.4).empty());
    EXPECT_EQ(player.nextWake(), 0.5);

    const auto late = player.advance(0.7);
    ASSERT_EQ(late.size(), 4u);
    EXPECT_EQ(late[0].kind, Kind::state);
    EXPECT_EQ(late[0].state.buttons, ButtonSet{ControllerButton::south});
    EXPECT_EQ(late[1].kind, Kind::state);
    EXPECT_EQ(late[1].state, ControllerState{});
    EXPECT_EQ(late[2].kind, Kind::ping);
    EXPECT_EQ(late[3].state.leftStick, (StickVector{1, 0}));
    EXPECT_EQ(player.nextWake(), 2);
    EXPECT_FALSE(player.finished(0.7));

    const auto last = player.advance(5);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].state, ControllerState{});
    EXPECT_TRUE(player.finished(5));
}
