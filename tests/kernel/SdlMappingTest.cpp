// What a game built on Debian's SDL2 sees of the program's gamepads: the default one
// (VirtualGamepad on uinput) with no mapping at all, and the HID one (on uhid) with the
// program's mapping. Every controller button, the d-pad, both sticks and both triggers under
// their SDL names (SDL's rumble is followed to the phone in tests/e2e). Runs inside the test
// kernel; only SDL's joystick and game-controller subsystems, with the dummy video driver.

#include "output/SdlMapping.h"
#include "GuestSupport.h"
#include "output/VirtualGamepad.h"
#include "platform/linux/UhidDeviceFactory.h"
#include "platform/linux/UinputGamepadDeviceFactory.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>

namespace jolto::guest {
namespace {

using namespace std::chrono_literals;
using Changes = std::map<std::string, int>;

struct Snapshot {
    std::array<int, SDL_CONTROLLER_BUTTON_MAX> buttons{};
    std::array<int, SDL_CONTROLLER_AXIS_MAX> axes{};
    // The joystick's own buttons: a button SDL gives no name still shows here, so waiting for
    // a change ends for it too.
    std::array<int, 32> raw{};
    bool operator==(const Snapshot&) const = default;
};

struct Device {
    const char* name;
    VirtualHidDeviceFactory* factory;
    bool withMapping;
    // The SDL names of the capture and touchpad buttons, or null when SDL has none for them.
    const char* capture;
    const char* touchpad;
    const char* controllerName;
};

UinputGamepadDeviceFactory uinputFactory;
UhidDeviceFactory uhidFactory;
// SDL's own guess for the uinput pad has no names for capture and touchpad.
const Device kUinput{"uinput", &uinputFactory, false, nullptr, nullptr, "JOLTO Controller 1"};
const Device kUhid{"uhid", &uhidFactory, true, "misc1", "touchpad", "JOLTO Controller"};

class SdlTest : public ::testing::TestWithParam<Device> {
protected:
    void SetUp() override {
        JOLTO_REQUIRE_GUEST();
        // No udev daemon runs in the guest, so SDL scans /dev/input itself.
        setenv("SDL_JOYSTICK_DISABLE_UDEV", "1", 1);
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        pad_ = VirtualGamepad::create(*GetParam().factory, 1,
                                      "6B29FC40-CA47-4C6B-9B8C-0A1B2C3D4E5F", [](float, float) {});
        ASSERT_TRUE(pad_) << "the system refused the gamepad";
        ASSERT_TRUE(openEventNode("JOLTO Controller 1"))
            << "no evdev node named JOLTO Controller 1";
        ASSERT_EQ(SDL_Init(SDL_INIT_JOYSTICK | SDL_INIT_GAMECONTROLLER), 0) << SDL_GetError();
        sdlStarted_ = true;
        auto deadline = Clock::now() + kDeadline;
        while (index_ < 0 && Clock::now() < deadline) {
            SDL_PumpEvents();
            for (int i = 0; i < SDL_NumJoysticks(); ++i)
                if (const char* n = SDL_JoystickNameForIndex(i);
                    n && std::string(n) == "JOLTO Controller 1")
                    index_ = i;
            SDL_Delay(20);
        }
        ASSERT_GE(index_, 0) << "SDL does not list JOLTO Controller 1";
    }

    void TearDown() override {
        if (controller_)
            SDL_GameControllerClose(controller_);
        if (sdlStarted_)
            SDL_Quit();
        if (pad_) {
            pad_.reset();
            EXPECT_TRUE(waitUntilGone("JOLTO Controller 1"));
        }
    }

    Snapshot snapshot() {
        Snapshot s;
        for (int b = 0; b < SDL_CONTROLLER_BUTTON_MAX; ++b)
            s.buttons[b] =
                SDL_GameControllerGetButton(controller_, static_cast<SDL_GameControllerButton>(b));
        for (int a = 0; a < SDL_CONTROLLER_AXIS_MAX; ++a)
            s.axes[a] =
                SDL_GameControllerGetAxis(controller_, static_cast<SDL_GameControllerAxis>(a));
        SDL_Joystick* joystick = SDL_GameControllerGetJoystick(controller_);
        for (int b = 0; b < std::min<int>(SDL_JoystickNumButtons(joystick), 32); ++b)
            s.raw[b] = SDL_JoystickGetButton(joystick, b);
        return s;
    }

    void pump(std::chrono::milliseconds time) {
        auto end = Clock::now() + time;
        SDL_Event event;
        do {
            SDL_PumpEvents();
            while (SDL_PollEvent(&event)) {
            }
            SDL_Delay(2);
        } while (Clock::now() < end);
    }

    // Sends a report and waits until SDL's state differs from `from`, then lets it settle.
    Snapshot sendAndWait(const ControllerState& state, const Snapshot& from) {
        pad_->push(VirtualGamepad::inputReport(state));
        auto deadline = Clock::now() + kDeadline;
        Snapshot now = from;
        while (now == from && Clock::now() < deadline) {
            pump(5ms);
            now = snapshot();
        }
        pump(50ms);
        return snapshot();
    }

    static Changes changes(const Snapshot& from, const Snapshot& to) {
        Changes c;
        for (int b = 0; b < SDL_CONTROLLER_BUTTON_MAX; ++b)
            if (from.buttons[b] != to.buttons[b])
                c[SDL_GameControllerGetStringForButton(static_cast<SDL_GameControllerButton>(b))] =
                    to.buttons[b];
        for (int a = 0; a < SDL_CONTROLLER_AXIS_MAX; ++a)
            if (from.axes[a] != to.axes[a])
                c[SDL_GameControllerGetStringForAxis(static_cast<SDL_GameControllerAxis>(a))] =
                    to.axes[a];
        return c;
    }

    // The changed elements must be exactly `expected`; axis values within a small tolerance
    // because SDL rescales the kernel's range onto its own.
    void expectChanges(const std::string& what, const ControllerState& state,
                       const Changes& expected) {
        SCOPED_TRACE(what);
        Snapshot pressed = sendAndWait(state, rest_);
        Changes got = changes(rest_, pressed);
        ASSERT_EQ(got.size(), expected.size()) << ::testing::PrintToString(got);
        for (const auto& [name, value] : expected)
            EXPECT_NEAR(got.count(name) ? got.at(name) : -99999, value, 300)
                << name << " in " << ::testing::PrintToString(got);
        Snapshot back = sendAndWait({}, pressed);
        EXPECT_EQ(changes(rest_, back), Changes{}) << "state did not return to rest";
    }

    std::unique_ptr<VirtualGamepad> pad_;
    bool sdlStarted_ = false;
    int index_ = -1;
    SDL_GameController* controller_ = nullptr;
    Snapshot rest_;
};

void PrintTo(const Device& device, std::ostream* out) {
    *out << device.name;
}

std::string deviceName(const ::testing::TestParamInfo<Device>& info) {
    return info.param.name;
}

ControllerState pressing(std::initializer_list<ControllerButton> buttons) {
    ControllerState s;
    s.buttons = ButtonSet(buttons);
    return s;
}

ControllerState moving(StickVector ControllerState::*stick, StickVector value) {
    ControllerState s;
    s.*stick = value;
    return s;
}

TEST_P(SdlTest, EveryControlUnderItsSdlName) {
    const Device& device = GetParam();
    if (device.withMapping) {
        // It applies only when its GUID is the one SDL derives from the device; then the
        // controller takes the mapping's name.
        ASSERT_GE(SDL_GameControllerAddMapping(std::string(sdlGameControllerMapping).c_str()), 0)
            << SDL_GetError();
    } else {
        ASSERT_EQ(std::getenv("SDL_GAMECONTROLLERCONFIG"), nullptr);
    }
    char* mapping = SDL_GameControllerMappingForDeviceIndex(index_);
    std::cout << "SDL's mapping: " << (mapping ? mapping : "(none)") << "\n";
    SDL_free(mapping);
    ASSERT_TRUE(SDL_IsGameController(index_));
    controller_ = SDL_GameControllerOpen(index_);
    ASSERT_NE(controller_, nullptr) << SDL_GetError();
    EXPECT_STREQ(SDL_GameControllerName(controller_), device.controllerName);
    if (!device.withMapping) {
        // Before anything has moved: a resting trigger reads 0, not half pressed.
        pump(50ms);
        EXPECT_EQ(SDL_GameControllerGetAxis(controller_, SDL_CONTROLLER_AXIS_TRIGGERLEFT), 0);
        EXPECT_EQ(SDL_GameControllerGetAxis(controller_, SDL_CONTROLLER_AXIS_TRIGGERRIGHT), 0);
    }

    // Every axis moves once so that SDL has seen real values, then everything rests.
    ControllerState moved;
    moved.leftStick = moved.rightStick = {0.3f, 0.3f};
    moved.leftTrigger = moved.rightTrigger = 0.3f;
    rest_ = sendAndWait({}, sendAndWait(moved, snapshot()));

    const auto only = [](const char* name) { return name ? Changes{{name, 1}} : Changes{}; };
    using B = ControllerButton;
    using S = ControllerState;
    ControllerState leftFull, rightHalf;
    leftFull.leftTrigger = 1.0f;
    rightHalf.rightTrigger = 0.5f;
    const std::tuple<std::string, ControllerState, Changes> cases[] = {
        {"south", pressing({B::south}), {{"a", 1}}},
        {"east", pressing({B::east}), {{"b", 1}}},
        {"west", pressing({B::west}), {{"x", 1}}},
        {"north", pressing({B::north}), {{"y", 1}}},
        {"left shoulder", pressing({B::leftShoulder}), {{"leftshoulder", 1}}},
        {"right shoulder", pressing({B::rightShoulder}), {{"rightshoulder", 1}}},
        // The trigger buttons (fully pressed triggers on the phone) are the full axes.
        {"left trigger button", pressing({B::leftTrigger}), {{"lefttrigger", 32767}}},
        {"right trigger button", pressing({B::rightTrigger}), {{"righttrigger", 32767}}},
        {"select", pressing({B::select}), {{"back", 1}}},
        {"start", pressing({B::start}), {{"start", 1}}},
        {"left stick", pressing({B::leftStick}), {{"leftstick", 1}}},
        {"right stick", pressing({B::rightStick}), {{"rightstick", 1}}},
        {"home", pressing({B::home}), {{"guide", 1}}},
        {"capture", pressing({B::capture}), only(device.capture)},
        {"touchpad", pressing({B::touchpad}), only(device.touchpad)},
        {"d-pad up", pressing({B::dpadUp}), {{"dpup", 1}}},
        {"d-pad down", pressing({B::dpadDown}), {{"dpdown", 1}}},
        {"d-pad left", pressing({B::dpadLeft}), {{"dpleft", 1}}},
        {"d-pad right", pressing({B::dpadRight}), {{"dpright", 1}}},
        {"d-pad up and right", pressing({B::dpadUp, B::dpadRight}), {{"dpup", 1}, {"dpright", 1}}},
        // The phone's y grows upwards, SDL's downwards.
        {"left stick right", moving(&S::leftStick, {0.6f, 0.0f}), {{"leftx", 19660}}},
        {"left stick left", moving(&S::leftStick, {-0.6f, 0.0f}), {{"leftx", -19660}}},
        {"left stick up", moving(&S::leftStick, {0.0f, 0.6f}), {{"lefty", -19660}}},
        {"left stick down", moving(&S::leftStick, {0.0f, -0.6f}), {{"lefty", 19660}}},
        {"right stick right", moving(&S::rightStick, {0.6f, 0.0f}), {{"rightx", 19660}}},
        {"right stick left", moving(&S::rightStick, {-0.6f, 0.0f}), {{"rightx", -19660}}},
        {"right stick up", moving(&S::rightStick, {0.0f, 0.6f}), {{"righty", -19660}}},
        {"right stick down", moving(&S::rightStick, {0.0f, -0.6f}), {{"righty", 19660}}},
        {"left trigger full", leftFull, {{"lefttrigger", 32767}}},
        {"right trigger half", rightHalf, {{"righttrigger", 16448}}},
    };
    for (const auto& [what, state, expected] : cases)
        expectChanges(what, state, expected);
}

INSTANTIATE_TEST_SUITE_P(Devices, SdlTest, ::testing::Values(kUinput, kUhid), deviceName);

} // namespace
} // namespace jolto::guest
