// What a game built on Debian's SDL2 sees of the gamepad with the product's mapping: every
// button, the d-pad, both sticks and both triggers under their SDL names. Runs inside the test
// kernel; only SDL's joystick and game-controller subsystems, with the dummy video driver.

#include "SdlMapping.h"
#include "GuestSupport.h"

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
        std::string error;
        pad_ = RawUhidGamepad::create({}, error);
        ASSERT_TRUE(pad_) << error;
        auto node = openEventNode("JOLTO Controller 1");
        ASSERT_TRUE(node) << "no evdev node named JOLTO Controller 1";
        node_ = std::move(node->first);
        ASSERT_TRUE(pad_->waitUntilLive(node_.get())) << "the gamepad's reports never arrive";
        ASSERT_EQ(SDL_Init(SDL_INIT_JOYSTICK | SDL_INIT_GAMECONTROLLER), 0) << SDL_GetError();
        sdlStarted_ = true;
    }

    void TearDown() override {
        if (controller_)
            SDL_GameControllerClose(controller_);
        if (sdlStarted_)
            SDL_Quit();
        if (pad_) {
            pad_->destroy();
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
            pad_->service();
            SDL_PumpEvents();
            while (SDL_PollEvent(&event)) {
            }
            SDL_Delay(2);
        } while (Clock::now() < end);
    }

    // Sends a report and waits until SDL's state differs from `from`, then lets it settle.
    Snapshot sendAndWait(const PadInput& in, const Snapshot& from) {
        EXPECT_TRUE(pad_->send(makeReport(in)));
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
    void expectChanges(const char* what, const PadInput& in, const Changes& expected) {
        SCOPED_TRACE(what);
        Snapshot pressed = sendAndWait(in, rest_);
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

    std::optional<RawUhidGamepad> pad_;
    Fd node_;
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
    Snapshot start = snapshot();
    start = sendAndWait({.x = 9000, .y = 9000, .z = 9000, .rz = 9000, .rx = 90, .ry = 90}, start);
    rest_ = sendAndWait({}, start);

    const char* buttonNames[15] = {
        "a",     "b",     "x",       "y",     "leftshoulder", "rightshoulder",
        nullptr, nullptr, "back",    "start", "leftstick",    "rightstick",
        "guide", "misc1", "touchpad"};
    for (int n = 0; n < 15; ++n) {
        std::string what = "HID button " + std::to_string(n + 1);
        PadInput in{.buttons = static_cast<std::uint16_t>(1u << n)};
        if (n == 6)
            expectChanges(what.c_str(), in, {{"lefttrigger", 32767}});
        else if (n == 7)
            expectChanges(what.c_str(), in, {{"righttrigger", 32767}});
        else
            expectChanges(what.c_str(), in, {{buttonNames[n], 1}});
    }

    expectChanges("hat up", {.hat = 0}, {{"dpup", 1}});
    expectChanges("hat up-right", {.hat = 1}, {{"dpup", 1}, {"dpright", 1}});
    expectChanges("hat right", {.hat = 2}, {{"dpright", 1}});
    expectChanges("hat down", {.hat = 4}, {{"dpdown", 1}});
    expectChanges("hat left", {.hat = 6}, {{"dpleft", 1}});

    // The report carries y negated (HID's down is positive), which is also SDL's convention.
    expectChanges("left stick right", {.x = 20000}, {{"leftx", 20000}});
    expectChanges("left stick up", {.y = -20000}, {{"lefty", -20000}});
    expectChanges("right stick left", {.z = -20000}, {{"rightx", -20000}});
    expectChanges("right stick down", {.rz = 20000}, {{"righty", 20000}});
    expectChanges("left trigger full", {.rx = 255}, {{"lefttrigger", 32767}});
    expectChanges("right trigger half", {.ry = 128}, {{"righttrigger", 16448}});
}

} // namespace
} // namespace jolto::guest
