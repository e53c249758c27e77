// The uinput gamepad's two pieces of logic: reports as evdev events and force-feedback effects
// as motor levels over time. The device itself runs against the real kernel (tests/kernel).

#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "output/VirtualGamepad.h"
#include "platform/linux/EvdevGamepadReport.h"
#include "platform/linux/ForceFeedbackEffects.h"

using namespace jolto;
using namespace std::chrono_literals;

namespace {

using Written = std::tuple<std::uint16_t, std::uint16_t, std::int32_t>;

std::vector<Written> eventsBetween(const ControllerState& from, const ControllerState& to) {
    EvdevGamepadReport::Events out;
    std::size_t n = EvdevGamepadReport::events(VirtualGamepad::inputReport(from),
                                               VirtualGamepad::inputReport(to), out);
    std::vector<Written> list;
    for (std::size_t i = 0; i < n; ++i) {
        list.emplace_back(out[i].type, out[i].code, out[i].value);
    }
    return list;
}

ControllerState pressing(std::initializer_list<ControllerButton> buttons) {
    ControllerState s;
    s.buttons = ButtonSet(buttons);
    return s;
}

TEST(EvdevGamepadReport, OnlyTheChangesInOneFrame) {
    const Written syn{EV_SYN, SYN_REPORT, 0};
    ControllerState halfTrigger;
    halfTrigger.leftTrigger = 100.0f / 255.0f;
    ControllerState halfTriggerPressed = halfTrigger;
    halfTriggerPressed.buttons = ButtonSet({ControllerButton::leftTrigger});
    ControllerState up;
    up.leftStick = {0.0f, 1.0f};
    up.rightStick = {-1.0f, 0.0f};
    ControllerState upLeft = up;
    upLeft.buttons = ButtonSet({ControllerButton::dpadUp, ControllerButton::dpadLeft});

    struct Case {
        const char* what;
        ControllerState from, to;
        std::vector<Written> expected;
    } cases[] = {
        {"nothing changed", {}, {}, {}},
        {"west is xpad's BTN_X", {}, pressing({ControllerButton::west}), {{EV_KEY, BTN_X, 1}, syn}},
        {"north is xpad's BTN_Y",
         pressing({ControllerButton::west}),
         pressing({ControllerButton::north}),
         {{EV_KEY, BTN_X, 0}, {EV_KEY, BTN_Y, 1}, syn}},
        {"capture and touchpad",
         {},
         pressing({ControllerButton::capture, ControllerButton::touchpad}),
         {{EV_KEY, KEY_RECORD, 1}, {EV_KEY, BTN_TRIGGER_HAPPY1, 1}, syn}},
        {"a trigger's press is the full trigger",
         halfTrigger,
         halfTriggerPressed,
         {{EV_ABS, ABS_Z, 255}, syn}},
        {"its release gives back the analogue level",
         halfTriggerPressed,
         halfTrigger,
         {{EV_ABS, ABS_Z, 100}, syn}},
        {"sticks: y points down, only moved axes",
         {},
         up,
         {{EV_ABS, ABS_Y, -32767}, {EV_ABS, ABS_RX, -32767}, syn}},
        {"d-pad as hat", up, upLeft, {{EV_ABS, ABS_HAT0X, -1}, {EV_ABS, ABS_HAT0Y, -1}, syn}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(eventsBetween(c.from, c.to), c.expected) << c.what;
    }
}

struct Effects : ::testing::Test {
    ForceFeedbackEffects effects;
    ForceFeedbackEffects::TimePoint t0{std::chrono::seconds(100)};
    using Levels = ForceFeedbackEffects::Levels;

    void rumble(int id, std::uint16_t strong, std::uint16_t weak, std::uint16_t length,
                std::uint16_t delay = 0) {
        ff_effect e{};
        e.type = FF_RUMBLE;
        e.id = static_cast<std::int16_t>(id);
        e.u.rumble.strong_magnitude = strong;
        e.u.rumble.weak_magnitude = weak;
        e.replay.length = length;
        e.replay.delay = delay;
        ASSERT_EQ(effects.upload(e), 0);
    }
    Levels at(std::chrono::milliseconds t) const { return effects.levels(t0 + t); }
};

TEST_F(Effects, LengthDelayAndRepeats) {
    rumble(3, 0xFFFF, 0x4000, 200, 100);
    effects.play(3, 2, t0);
    const Levels on{0xFFFF, 0x4000}, off{};
    // Each of the two runs waits 100 ms, then lasts 200 ms.
    EXPECT_EQ(at(50ms), off);
    EXPECT_EQ(at(150ms), on);
    EXPECT_EQ(at(320ms), off);
    EXPECT_EQ(at(450ms), on);
    EXPECT_EQ(at(650ms), off);
    // The wake-ups fall on the edges, and none is left after the last run.
    EXPECT_EQ(effects.nextChange(t0 + 50ms), t0 + 100ms);
    EXPECT_EQ(effects.nextChange(t0 + 150ms), t0 + 300ms);
    EXPECT_EQ(effects.nextChange(t0 + 350ms), t0 + 400ms);
    EXPECT_EQ(effects.nextChange(t0 + 650ms), std::nullopt);
}

TEST_F(Effects, StopEraseGainAndSums) {
    rumble(0, 0xC000, 0, 0);
    rumble(1, 0x8000, 0x1000, 0);
    effects.play(0, 1, t0);
    effects.play(1, 1, t0);
    // Length 0 lasts until stopped; two effects add up, clamped at full.
    EXPECT_EQ(at(10s), (Levels{0xFFFF, 0x1000}));
    EXPECT_EQ(effects.nextChange(t0 + 10s), std::nullopt);
    effects.setGain(0x8000);
    EXPECT_EQ(at(10s), (Levels{0x8000, 0x0800}));
    effects.setGain(0xFFFF);
    effects.play(0, 0, t0 + 1s);
    EXPECT_EQ(at(2s), (Levels{0x8000, 0x1000}));
    effects.erase(1);
    EXPECT_EQ(at(2s), Levels{});
    // An erased effect cannot be played again.
    effects.play(1, 1, t0 + 3s);
    EXPECT_EQ(at(4s), Levels{});
}

TEST_F(Effects, PeriodicAndConstantDriveBothMotors) {
    ff_effect sine{};
    sine.type = FF_PERIODIC;
    sine.id = 5;
    sine.u.periodic.waveform = FF_SINE;
    sine.u.periodic.magnitude = -0x2000;
    ff_effect constant{};
    constant.type = FF_CONSTANT;
    constant.id = 6;
    constant.u.constant.level = 0x7FFF;
    ff_effect spring{};
    spring.type = FF_SPRING;
    spring.id = 7;
    ASSERT_EQ(effects.upload(sine), 0);
    ASSERT_EQ(effects.upload(constant), 0);
    EXPECT_LT(effects.upload(spring), 0);
    effects.play(5, 1, t0);
    EXPECT_EQ(at(1ms), (Levels{0x4000, 0x4000}));
    effects.play(6, 1, t0);
    EXPECT_EQ(at(1ms), (Levels{0xFFFF, 0xFFFF}));
}

} // namespace
