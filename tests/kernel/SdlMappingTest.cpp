// What a game built on Debian's SDL2 sees of the program's gamepads: the default one
// (VirtualGamepad on uinput) with no mapping at all, and the HID one (on uhid) with the
// program's mapping. Every controller button, the d-pad, both sticks and both triggers under
// their SDL names, and SDL's rumble. Runs inside the test kernel; only SDL's joystick and
// game-controller subsystems, with the dummy video driver.

#include "output/SdlMapping.h"
#include "GuestSupport.h"
#include "output/VirtualGamepad.h"
#include "platform/linux/UhidDeviceFactory.h"
#include "platform/linux/UinputGamepadDeviceFactory.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>

namespace jolto::guest {
namespace {

using Changes = std::map<std::string, int>;

struct Snapshot {
    std::array<int, SDL_CONTROLLER_BUTTON_MAX> buttons{};
    std::array<int, SDL_CONTROLLER_AXIS_MAX> axes{};
    // The joystick's own buttons: a button SDL gives no name still shows here, so waiting for
    // a change ends for it too.
    std::array<int, 32> raw{};
    bool operator==(const Snapshot&) const = default;
};

class SdlTest : public ::testing::Test {
protected:
    explicit SdlTest(VirtualHidDeviceFactory& factory) : factory_(factory) {}

    void SetUp() override {
        JOLTO_REQUIRE_GUEST();
        // No udev daemon runs in the guest, so SDL scans /dev/input itself.
        setenv("SDL_JOYSTICK_DISABLE_UDEV", "1", 1);
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        pad_ = VirtualGamepad::create(factory_, 1, "6B29FC40-CA47-4C6B-9B8C-0A1B2C3D4E5F",
                                      [this](float heavy, float light) {
                                          std::lock_guard lock(rumbleMutex_);
                                          rumble_.push_back({Clock::now(), heavy, light});
                                      });
        ASSERT_TRUE(pad_) << "the system refused the gamepad";
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

    // Moves every axis once so that SDL has seen real values, then lets everything rest.
    void settle() {
        ControllerState moved;
        moved.leftStick = moved.rightStick = {0.3f, 0.3f};
        moved.leftTrigger = moved.rightTrigger = 0.3f;
        Snapshot start = snapshot();
        start = sendAndWait(moved, start);
        rest_ = sendAndWait({}, start);
    }

    static ControllerState pressing(std::initializer_list<ControllerButton> buttons) {
        ControllerState s;
        s.buttons = ButtonSet(buttons);
        return s;
    }

    // The phone's buttons, the d-pad's diagonal, both directions of both sticks and the
    // analogue triggers, each with what SDL must report for it. `capture` and `touchpad` are
    // the SDL names of those two buttons, or null when SDL has none for them.
    void expectEveryControl(const char* capture, const char* touchpad) {
        const auto only = [](const char* name) { return name ? Changes{{name, 1}} : Changes{}; };
        const std::pair<ControllerButton, Changes> buttons[] = {
            {ControllerButton::south, {{"a", 1}}},
            {ControllerButton::east, {{"b", 1}}},
            {ControllerButton::west, {{"x", 1}}},
            {ControllerButton::north, {{"y", 1}}},
            {ControllerButton::leftShoulder, {{"leftshoulder", 1}}},
            {ControllerButton::rightShoulder, {{"rightshoulder", 1}}},
            // The trigger buttons (fully pressed triggers on the phone) are the full axes.
            {ControllerButton::leftTrigger, {{"lefttrigger", 32767}}},
            {ControllerButton::rightTrigger, {{"righttrigger", 32767}}},
            {ControllerButton::select, {{"back", 1}}},
            {ControllerButton::start, {{"start", 1}}},
            {ControllerButton::leftStick, {{"leftstick", 1}}},
            {ControllerButton::rightStick, {{"rightstick", 1}}},
            {ControllerButton::home, {{"guide", 1}}},
            {ControllerButton::capture, only(capture)},
            {ControllerButton::touchpad, only(touchpad)},
            {ControllerButton::dpadUp, {{"dpup", 1}}},
            {ControllerButton::dpadDown, {{"dpdown", 1}}},
            {ControllerButton::dpadLeft, {{"dpleft", 1}}},
            {ControllerButton::dpadRight, {{"dpright", 1}}},
        };
        int checked = 0;
        for (const auto& [button, expected] : buttons) {
            expectChanges(std::string(displayName(button)), pressing({button}), expected);
            ++checked;
        }
        expectChanges("d-pad up and right",
                      pressing({ControllerButton::dpadUp, ControllerButton::dpadRight}),
                      {{"dpup", 1}, {"dpright", 1}});
        ++checked;

        // The phone's y grows upwards, SDL's downwards.
        struct Move {
            StickVector ControllerState::*stick;
            StickVector value;
            Changes expected;
        };
        const Move moves[] = {
            {&ControllerState::leftStick, {0.6f, 0.0f}, {{"leftx", 19660}}},
            {&ControllerState::leftStick, {-0.6f, 0.0f}, {{"leftx", -19660}}},
            {&ControllerState::leftStick, {0.0f, 0.6f}, {{"lefty", -19660}}},
            {&ControllerState::leftStick, {0.0f, -0.6f}, {{"lefty", 19660}}},
            {&ControllerState::rightStick, {0.6f, 0.0f}, {{"rightx", 19660}}},
            {&ControllerState::rightStick, {-0.6f, 0.0f}, {{"rightx", -19660}}},
            {&ControllerState::rightStick, {0.0f, 0.6f}, {{"righty", -19660}}},
            {&ControllerState::rightStick, {0.0f, -0.6f}, {{"righty", 19660}}},
        };
        for (const auto& m : moves) {
            ControllerState s;
            s.*m.stick = m.value;
            expectChanges("stick " + m.expected.begin()->first, s, m.expected);
            ++checked;
        }
        ControllerState s;
        s.leftTrigger = 1.0f;
        expectChanges("left trigger full", s, {{"lefttrigger", 32767}});
        s = {};
        s.rightTrigger = 0.5f;
        expectChanges("right trigger half", s, {{"righttrigger", 16448}});
        checked += 2;
        EXPECT_EQ(checked, 30);
    }

    struct Rumble {
        Clock::time_point at;
        float heavy, light;
    };
    std::vector<Rumble> rumbleSoFar() {
        std::lock_guard lock(rumbleMutex_);
        return rumble_;
    }

    VirtualHidDeviceFactory& factory_;
    std::unique_ptr<VirtualGamepad> pad_;
    std::mutex rumbleMutex_;
    std::vector<Rumble> rumble_;
    bool sdlStarted_ = false;
    SDL_GameController* controller_ = nullptr;
    Snapshot rest_;
};

class SdlUinputTest : public SdlTest {
protected:
    SdlUinputTest() : SdlTest(uinput_) {}
    UinputGamepadDeviceFactory uinput_;
};

TEST_F(SdlUinputTest, AStandardControllerWithoutAnyMapping) {
    ASSERT_EQ(std::getenv("SDL_GAMECONTROLLERCONFIG"), nullptr);
    int index = findJoystick("JOLTO Controller 1");
    ASSERT_GE(index, 0) << "SDL does not list JOLTO Controller 1";
    char* automatic = SDL_GameControllerMappingForDeviceIndex(index);
    std::cout << "SDL's automatic mapping: " << (automatic ? automatic : "(none)") << "\n";
    SDL_free(automatic);
    ASSERT_TRUE(SDL_IsGameController(index));
    controller_ = SDL_GameControllerOpen(index);
    ASSERT_NE(controller_, nullptr) << SDL_GetError();
    EXPECT_STREQ(SDL_GameControllerName(controller_), "JOLTO Controller 1");

    // Before anything has moved: a resting trigger reads 0, not half pressed.
    pump(std::chrono::milliseconds(50));
    EXPECT_EQ(SDL_GameControllerGetAxis(controller_, SDL_CONTROLLER_AXIS_TRIGGERLEFT), 0);
    EXPECT_EQ(SDL_GameControllerGetAxis(controller_, SDL_CONTROLLER_AXIS_TRIGGERRIGHT), 0);

    settle();
    // SDL's own guess has no names for capture and touchpad; they must not disturb the rest.
    expectEveryControl(nullptr, nullptr);
}

TEST_F(SdlUinputTest, RumbleReachesTheGamepadsRumbleCallback) {
    int index = findJoystick("JOLTO Controller 1");
    ASSERT_GE(index, 0);
    controller_ = SDL_GameControllerOpen(index);
    ASSERT_NE(controller_, nullptr) << SDL_GetError();
    ASSERT_TRUE(SDL_GameControllerHasRumble(controller_));
    auto start = Clock::now();
    ASSERT_EQ(SDL_GameControllerRumble(controller_, 0xFFFF, 0x4000, 500), 0) << SDL_GetError();
    // SDL ends the rumble itself after the duration, from its event pump.
    pump(std::chrono::milliseconds(1000));
    auto got = rumbleSoFar();
    for (const auto& r : got)
        std::printf(
            "rumble at %+5lld ms: heavy %.0f light %.0f\n",
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(r.at - start).count()),
            r.heavy * 255, r.light * 255);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_FLOAT_EQ(got[0].heavy, 1.0f);
    EXPECT_FLOAT_EQ(got[0].light, 64 / 255.0f);
    EXPECT_EQ(got[1].heavy, 0.0f);
    EXPECT_EQ(got[1].light, 0.0f);
    auto lasted = got[1].at - got[0].at;
    EXPECT_GT(lasted, std::chrono::milliseconds(450));
    EXPECT_LT(lasted, std::chrono::milliseconds(700));
}

class SdlMappingTest : public SdlTest {
protected:
    SdlMappingTest() : SdlTest(uhid_) {}
    UhidDeviceFactory uhid_;
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

    settle();
    expectEveryControl("misc1", "touchpad");
}

} // namespace
} // namespace jolto::guest
