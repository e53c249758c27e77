// The keyboard and mouse output in the real kernel: KeyboardMouseOutput posting through the
// uinput adapter, read back from the device's evdev node. Runs inside the test kernel.

#include "GuestSupport.h"
#include "output/KeyboardMouseOutput.h"
#include "platform/linux/UinputDevice.h"
#include "platform/linux/UinputKeyboardMouse.h"
#include "platform/linux/UnknownPointerDisplay.h"

#include <gtest/gtest.h>

#include <tuple>

namespace jolto::guest {
namespace {

// type, code, value; gtest prints these readably.
using Ev = std::tuple<unsigned, unsigned, int>;

TEST(KeyboardMouseGuestTest, ScriptedStatesArriveAsKeysButtonsMotionAndWheelInOrder) {
    JOLTO_REQUIRE_GUEST();
    SteadyClock clock;
    UinputKeyboardMouse sink(clock);
    ASSERT_TRUE(sink.isOpen()) << "/dev/uinput refused the virtual keyboard and mouse";
    auto node = openEventNode(UinputDevice::deviceName);
    ASSERT_TRUE(node) << "no evdev node named " << UinputDevice::deviceName;

    UnknownPointerDisplay display;
    KeyMapping mapping;
    mapping.setAction(ControllerButton::leftShoulder, KeyAction::key(56)); // Shift
    mapping.setAction(ControllerButton::south, KeyAction::key(0));         // A
    mapping.setAction(ControllerButton::rightTrigger, KeyAction::mouse(MouseButton::left));
    mapping.rightStick = StickAction::mouse;
    mapping.leftStick = StickAction::scroll;
    // Whole numbers all the way: 1280 points per second over 1/64 s is 20 points, and
    // scrolling at 0.6 of that over 5/64 s is 60 pixels, one wheel detent.
    mapping.pointerSpeed = 1280;
    KeyboardMouseOutput output(sink, display, mapping);
    const Uuid phone = *Uuid::parse("6B29FC40-CA47-4C6B-9B8C-0A1B2C3D4E5F");

    ControllerState state;
    // Shift+A, then both released.
    state.buttons = {ControllerButton::leftShoulder, ControllerButton::south};
    output.update(phone, state);
    state.buttons = {};
    output.update(phone, state);
    // A drag: button down, pointer right then down, button up.
    state.buttons = {ControllerButton::rightTrigger};
    output.update(phone, state);
    state.rightStick = {1.0f, 0.0f};
    output.update(phone, state);
    output.step(1.0 / 64);
    state.rightStick = {0.0f, -1.0f};
    output.update(phone, state);
    output.step(1.0 / 64);
    state = {};
    output.update(phone, state);
    // Scroll up.
    state.leftStick = {0.0f, 1.0f};
    output.update(phone, state);
    output.step(5.0 / 64);
    output.update(phone, ControllerState{});

    const std::vector<std::vector<Ev>> expected = {
        {{EV_KEY, KEY_LEFTSHIFT, 1}, {EV_KEY, KEY_A, 1}},
        {{EV_KEY, KEY_A, 0}, {EV_KEY, KEY_LEFTSHIFT, 0}},
        {{EV_KEY, BTN_LEFT, 1}},
        {{EV_REL, REL_X, 20}},
        {{EV_REL, REL_Y, 20}},
        {{EV_KEY, BTN_LEFT, 0}},
        // The high-resolution wheel in 120ths of a detent, the classic wheel in detents.
        {{EV_REL, REL_WHEEL, 1}, {EV_REL, REL_WHEEL_HI_RES, 120}},
    };
    // The frames (the events before each SYN_REPORT); anything more than posted shows as an
    // extra frame.
    std::vector<input_event> events;
    const auto frames = [&] {
        std::vector<std::vector<Ev>> split(1);
        for (const auto& ev : events)
            if (ev.type == EV_SYN && ev.code == SYN_REPORT)
                split.emplace_back();
            else
                split.back().emplace_back(ev.type, ev.code, ev.value);
        split.pop_back();
        return split;
    };
    const int fd = node->first.get();
    readUntil(fd, events, [&](const auto&) { return frames().size() >= expected.size(); });
    readEvents(fd, events, Clock::now() + std::chrono::milliseconds(200));
    EXPECT_EQ(frames(), expected);
}

} // namespace
} // namespace jolto::guest
