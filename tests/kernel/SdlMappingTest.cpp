// What a game built on Debian's SDL2 sees of the program's gamepad (VirtualGamepad on uhid)
// with the program's mapping: every controller button, the d-pad, both sticks and both
// triggers under their SDL names. Runs inside the test kernel; only SDL's joystick and
// game-controller subsystems, with the dummy video driver.

#include "output/SdlMapping.h"
#include "GuestSupport.h"
#include "output/VirtualGamepad.h"
#include "platform/linux/UhidDeviceFactory.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <map>

namespace jolto::guest {
namespace {

using Changes = std::map<std::string, int>;

struct Snapshot {
    std::array<int, SDL_CONTROLLER_BUTTON_MAX> buttons{};
    std::array<int, SDL_CONTROLLER_AXIS_MAX> axes{};
    bool operator==(const Snapshot&) const = default;
};

class SdlMappingTest : public ::testing::Test {
protected:
    void SetUp() override {
        JOLTO_REQUIRE_GUEST();
        // No udev daemon runs in the guest, so SDL scans /dev/input itself.
        setenv("SDL_JOYSTICK_DISABLE_UDEV", "1", 1);
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        pad_ = VirtualGamepad::create(factory_, 1, "6B29FC40-CA47-4C6B-9B8C-0A1B2C3D4E5F",
                                      [](float, float) {});
        ASSERT_TRUE(pad_) << "/dev/uhid refused the gamepad";
        ASSERT_TRUE(openEventNode("JOLTO Controller 1"))
            << "no evdev node named JOLTO Controller 1";
        ASSERT_EQ(SDL_Init(SDL_INIT_JOYSTICK | SDL_INIT_GAMECONTROLLER), 0) << SDL_GetError();
        sdlStarted_ = true;
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

    int findJoystick(const char* name) {
        auto deadline = Clock::now() + kDeadline;
        do {
            SDL_PumpEvents();
            for (int i = 0; i < SDL_NumJoysticks(); ++i)
                if (const char* n = SDL_JoystickNameForIndex(i); n && std::string(n) == name)
                    return i;
            SDL_Delay(20);
        } while (Clock::now() < deadline);
        return -1;
    }

    Snapshot snapshot() {
        Snapshot s;
        for (int b = 0; b < SDL_CONTROLLER_BUTTON_MAX; ++b)
            s.buttons[b] =
                SDL_GameControllerGetButton(controller_, static_cast<SDL_GameControllerButton>(b));
        for (int a = 0; a < SDL_CONTROLLER_AXIS_MAX; ++a)
            s.axes[a] =
                SDL_GameControllerGetAxis(controller_, static_cast<SDL_GameControllerAxis>(a));
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
            pump(std::chrono::milliseconds(5));
            now = snapshot();
        }
        pump(std::chrono::milliseconds(50));
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
        std::string listed;
        for (const auto& [name, value] : got)
            listed += name + "=" + std::to_string(value) + " ";
        ASSERT_EQ(got.size(), expected.size()) << "SDL reported: " << listed;
        for (const auto& [name, value] : expected) {
            ASSERT_TRUE(got.count(name)) << "expected " << name << ", SDL reported: " << listed;
            EXPECT_NEAR(got.at(name), value, 300) << name;
        }
        Snapshot back = sendAndWait({}, pressed);
        EXPECT_EQ(changes(rest_, back), Changes{}) << "state did not return to rest";
    }

    UhidDeviceFactory factory_;
    std::unique_ptr<VirtualGamepad> pad_;
    bool sdlStarted_ = false;
    SDL_GameController* controller_ = nullptr;
    Snapshot rest_;
};

TEST_F(SdlMappingTest, MappingNamesEveryControl) {
    int index = findJoystick("JOLTO Controller 1");
    ASSERT_GE(index, 0) << "SDL does not list JOLTO Controller 1";

    // The mapping's GUID has to be the one SDL derives from the device; SDL ignores the name
    // CRC (characters 4 to 7) when the mapping leaves it 0.
    std::array<char, 33> guid{};
    SDL_JoystickGetGUIDString(SDL_JoystickGetDeviceGUID(index), guid.data(), guid.size());
    std::string deviceGuid(guid.data());
    std::string mappingGuid(sdlGameControllerMapping.substr(0, 32));
    ASSERT_EQ(deviceGuid.size(), 32u);
    EXPECT_EQ(deviceGuid.substr(0, 4) + "0000" + deviceGuid.substr(8), mappingGuid);

    char* automatic = SDL_GameControllerMappingForDeviceIndex(index);
    std::cout << "SDL's automatic mapping: " << (automatic ? automatic : "(none)") << "\n";
    SDL_free(automatic);

    ASSERT_GE(SDL_GameControllerAddMapping(std::string(sdlGameControllerMapping).c_str()), 0)
        << SDL_GetError();
    ASSERT_TRUE(SDL_IsGameController(index));
    controller_ = SDL_GameControllerOpen(index);
    ASSERT_NE(controller_, nullptr) << SDL_GetError();
    EXPECT_STREQ(SDL_GameControllerName(controller_), "JOLTO Controller");

    // Every axis moves once so that SDL has seen real values, then everything rests.
    ControllerState moved;
    moved.leftStick = moved.rightStick = {0.3f, 0.3f};
    moved.leftTrigger = moved.rightTrigger = 0.3f;
    Snapshot start = snapshot();
    start = sendAndWait(moved, start);
    rest_ = sendAndWait({}, start);

    const auto pressing = [](std::initializer_list<ControllerButton> buttons) {
        ControllerState s;
        s.buttons = ButtonSet(buttons);
        return s;
    };
    const std::pair<ControllerButton, const char*> buttons[] = {
        {ControllerButton::south, "a"},
        {ControllerButton::east, "b"},
        {ControllerButton::west, "x"},
        {ControllerButton::north, "y"},
        {ControllerButton::leftShoulder, "leftshoulder"},
        {ControllerButton::rightShoulder, "rightshoulder"},
        {ControllerButton::select, "back"},
        {ControllerButton::start, "start"},
        {ControllerButton::leftStick, "leftstick"},
        {ControllerButton::rightStick, "rightstick"},
        {ControllerButton::home, "guide"},
        {ControllerButton::capture, "misc1"},
        {ControllerButton::touchpad, "touchpad"},
        {ControllerButton::dpadUp, "dpup"},
        {ControllerButton::dpadDown, "dpdown"},
        {ControllerButton::dpadLeft, "dpleft"},
        {ControllerButton::dpadRight, "dpright"},
    };
    for (auto [button, name] : buttons)
        expectChanges(std::string(displayName(button)), pressing({button}), {{name, 1}});
    // The trigger buttons (fully pressed triggers on the phone) are the full trigger axes.
    expectChanges("left trigger button", pressing({ControllerButton::leftTrigger}),
                  {{"lefttrigger", 32767}});
    expectChanges("right trigger button", pressing({ControllerButton::rightTrigger}),
                  {{"righttrigger", 32767}});
    expectChanges("d-pad up and right",
                  pressing({ControllerButton::dpadUp, ControllerButton::dpadRight}),
                  {{"dpup", 1}, {"dpright", 1}});

    // The phone's y grows upwards, SDL's downwards.
    ControllerState s;
    s.leftStick = {0.6f, 0.0f};
    expectChanges("left stick right", s, {{"leftx", 19660}});
    s = {};
    s.leftStick = {0.0f, 0.6f};
    expectChanges("left stick up", s, {{"lefty", -19660}});
    s = {};
    s.rightStick = {-0.6f, 0.0f};
    expectChanges("right stick left", s, {{"rightx", -19660}});
    s = {};
    s.rightStick = {0.0f, -0.6f};
    expectChanges("right stick down", s, {{"righty", 19660}});
    s = {};
    s.leftTrigger = 1.0f;
    expectChanges("left trigger full", s, {{"lefttrigger", 32767}});
    s = {};
    s.rightTrigger = 0.5f;
    expectChanges("right trigger half", s, {{"righttrigger", 16448}});
}

} // namespace
} // namespace jolto::guest
