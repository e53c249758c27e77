// The keyboard and mouse adapter against a recording writer, the uinput gamepad's two pieces
// of logic (reports as evdev events, force-feedback effects as motor levels over time) and the
// uinput device file itself. The devices run against the real kernel in tests/kernel.

#include <cerrno>
#include <set>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "output/KeyNames.h"
#include "output/VirtualGamepad.h"
#include "platform/linux/EvdevGamepadReport.h"
#include "platform/linux/ForceFeedbackEffects.h"
#include "platform/linux/MacKeyCodes.h"
#include "platform/linux/UinputDevice.h"
#include "platform/linux/UinputKeyboardMouse.h"

using namespace jolto;
using namespace std::chrono_literals;
using Event = InputEventSink::Event;
using Type = InputEventSink::EventType;
// type, code, value as written to the kernel.
using Written = std::tuple<std::uint16_t, std::uint16_t, std::int32_t>;

namespace {

class ManualClock final : public Clock {
public:
    Instant t{1000s};
    Instant now() const override { return t; }
};

// Records what would reach the kernel; can be made to fail as a vanished device does.
class RecordingWriter final : public UinputWriter {
public:
    std::vector<Written>* out;
    bool* gone;
    RecordingWriter(std::vector<Written>* o, bool* g) : out(o), gone(g) {}
    bool write(std::uint16_t type, std::uint16_t code, std::int32_t value) override {
        if (*gone) {
            return false;
        }
        out->emplace_back(type, code, value);
        return true;
    }
};

Event key(Type type, std::uint16_t code, bool down) {
    return {.type = type, .keyCode = code, .keyDown = down, .location = {}};
}

Event move(Type type, std::int64_t dx, std::int64_t dy) {
    return {.type = type, .location = {}, .deltaX = dx, .deltaY = dy};
}

Event scroll(std::int32_t vertical, std::int32_t horizontal) {
    return {.type = Type::scrollWheel, .location = {}, .wheel1 = vertical, .wheel2 = horizontal};
}

struct Adapter : ::testing::Test {
    ManualClock clock;
    std::vector<Written> written;
    bool gone = false;
    bool allowOpen = true;
    int opens = 0;

    UinputKeyboardMouse::Opener opener() {
        return [this](std::string& error) -> std::unique_ptr<UinputWriter> {
            ++opens;
            if (!allowOpen) {
                error = "Couldn't open /dev/uinput: Permission denied";
                return nullptr;
            }
            return std::make_unique<RecordingWriter>(&written, &gone);
        };
    }
    UinputKeyboardMouse output{clock, opener()};
};

constexpr Written syn{EV_SYN, SYN_REPORT, 0};

} // namespace

TEST(MacKeyCodes, EveryNamedKeyHasItsOwnLinuxKeyByPosition) {
    auto table = macKeyCodeTable();
    EXPECT_EQ(table.size(), 109u);
    std::set<std::uint16_t> macs, linuxes;
    for (const auto& k : table) {
        EXPECT_TRUE(knownKeyName(k.mac).has_value()) << k.mac;
        macs.insert(k.mac);
        linuxes.insert(k.evdev);
        EXPECT_EQ(linuxKeyFromMac(k.mac), k.evdev);
        EXPECT_EQ(macKeyFromLinux(k.evdev), k.mac);
    }
    EXPECT_EQ(macs.size(), 109u);
    EXPECT_EQ(linuxes.size(), 109u);

    const std::pair<std::uint16_t, std::uint16_t> spots[] = {
        {0, KEY_A},           {50, KEY_GRAVE},     {51, KEY_BACKSPACE}, {117, KEY_DELETE},
        {55, KEY_LEFTMETA},   {54, KEY_RIGHTMETA}, {58, KEY_LEFTALT},   {61, KEY_RIGHTALT},
        {63, KEY_FN},         {57, KEY_CAPSLOCK},  {36, KEY_ENTER},     {76, KEY_KPENTER},
        {67, KEY_KPASTERISK}, {75, KEY_KPSLASH},   {65, KEY_KPDOT},     {92, KEY_KP9},
        {82, KEY_KP0},        {105, KEY_F13},      {90, KEY_F20},       {64, KEY_F17},
        {10, KEY_102ND},      {114, KEY_INSERT},   {22, KEY_6},         {30, KEY_RIGHTBRACE},
        {126, KEY_UP},        {121, KEY_PAGEDOWN},
    };
    for (auto [mac, evdev] : spots) {
        EXPECT_EQ(linuxKeyFromMac(mac), evdev) << mac;
    }
    EXPECT_EQ(linuxKeyFromMac(52), std::nullopt);
    EXPECT_EQ(linuxKeyFromMac(127), std::nullopt);
    EXPECT_EQ(linuxKeyFromMac(65535), std::nullopt);
    EXPECT_EQ(macKeyFromLinux(KEY_SYSRQ), std::nullopt); // Print has no mac code
    EXPECT_EQ(macKeyFromLinux(KEY_RESERVED), std::nullopt);
    EXPECT_EQ(macKeyFromLinux(0xFFFF), std::nullopt);
}

TEST_F(Adapter, BatchesBecomeRelativeEventsClosedBySynReport) {
    // A relative device has no use for the location.
    auto press = [](Type type) { return Event{.type = type, .location = {300, 400}}; };
    // 60 pixels are one detent of 120 units. Wheel 2 is positive to the left; REL_HWHEEL
    // positive to the right. A reversal starts the detent count afresh (else the 30 units left
    // from scrolling up would swallow the detent down), and several detents go out as one value.
    const std::vector<std::pair<std::vector<Event>, std::vector<Written>>> batches = {
        {{key(Type::flagsChanged, 56, true), key(Type::keyDown, 0, true),
          key(Type::keyDown, 52, true)}, // no translation: nothing
         {{EV_KEY, KEY_LEFTSHIFT, 1}, {EV_KEY, KEY_A, 1}, syn}},
        {{key(Type::keyUp, 0, false), key(Type::flagsChanged, 56, false)},
         {{EV_KEY, KEY_A, 0}, {EV_KEY, KEY_LEFTSHIFT, 0}, syn}},
        {{key(Type::keyUp, 52, false)}, {}}, // nothing written needs no SYN_REPORT
        {{press(Type::leftMouseDown), move(Type::leftMouseDragged, 5, -3),
          move(Type::mouseMoved, 0, 7),
          move(Type::otherMouseDragged, std::int64_t{1} << 40, -(std::int64_t{1} << 40)),
          press(Type::otherMouseUp), press(Type::rightMouseDown)},
         {{EV_KEY, BTN_LEFT, 1},
          {EV_REL, REL_X, 5},
          {EV_REL, REL_Y, -3},
          {EV_REL, REL_Y, 7},
          {EV_REL, REL_X, 2147483647},
          {EV_REL, REL_Y, -2147483648},
          {EV_KEY, BTN_MIDDLE, 0},
          {EV_KEY, BTN_RIGHT, 1},
          syn}},
        {{scroll(25, 0)}, {{EV_REL, REL_WHEEL_HI_RES, 50}, syn}},
        {{scroll(25, 0)}, {{EV_REL, REL_WHEEL_HI_RES, 50}, syn}},
        {{scroll(25, 0)}, {{EV_REL, REL_WHEEL, 1}, {EV_REL, REL_WHEEL_HI_RES, 50}, syn}},
        {{scroll(-10, -150)},
         {{EV_REL, REL_WHEEL_HI_RES, -20},
          {EV_REL, REL_HWHEEL, 2},
          {EV_REL, REL_HWHEEL_HI_RES, 300},
          syn}},
        {{scroll(-50, 0)}, {{EV_REL, REL_WHEEL, -1}, {EV_REL, REL_WHEEL_HI_RES, -100}, syn}},
        {{scroll(-1, 0)}, {{EV_REL, REL_WHEEL_HI_RES, -2}, syn}},
    };
    for (std::size_t i = 0; i < batches.size(); ++i) {
        written.clear();
        for (const Event& e : batches[i].first) {
            output.post(e);
        }
        output.endBatch();
        EXPECT_EQ(written, batches[i].second) << "batch " << i;
    }
}

// Without access from the start, or once the device has vanished, nothing is written and
// opening is retried every two seconds of use.
TEST_F(Adapter, AClosedDeviceIsOpenedAgainTwoSecondsAfterTheLastAttempt) {
    for (bool vanished : {false, true}) {
        SCOPED_TRACE(vanished ? "vanished" : "no access");
        written.clear();
        allowOpen = vanished;
        UinputKeyboardMouse closed(clock, opener());
        EXPECT_EQ(closed.isOpen(), vanished);
        // Long after that first attempt, the device is found gone (or still out of reach).
        clock.t += 5s;
        gone = vanished;
        closed.post(key(Type::keyDown, 0, true));
        EXPECT_FALSE(closed.isOpen());
        gone = false;
        const int opensAtStart = opens;
        for (int i = 0; i < 100; ++i) {
            clock.t += 10ms;
            closed.post(key(Type::keyDown, 0, true));
            closed.endBatch();
        }
        EXPECT_EQ(opens, opensAtStart) << "no retry within 2 s";
        allowOpen = false;
        clock.t += 1000ms;
        closed.post(key(Type::keyDown, 0, true));
        EXPECT_EQ(opens, opensAtStart + 1);
        EXPECT_TRUE(written.empty());

        allowOpen = true;
        clock.t += 1s;
        closed.post(key(Type::keyDown, 1, true));
        EXPECT_EQ(opens, opensAtStart + 1) << "still within 2 s of the last attempt";
        clock.t += 1s;
        closed.post(key(Type::keyDown, 2, true));
        closed.endBatch();
        EXPECT_TRUE(closed.isOpen());
        EXPECT_EQ(written, (std::vector<Written>{{EV_KEY, KEY_D, 1}, syn}));
    }
}

TEST(UinputDevice, AMissingDeviceFileIsReportedWithItsReason) {
    auto result = createUinputDevice("/nonexistent/uinput");
    EXPECT_EQ(result.device, nullptr);
    EXPECT_EQ(result.error, ENOENT);
    EXPECT_EQ(result.message, "Couldn't open /nonexistent/uinput: No such file or directory");
}

TEST(UinputDevice, TheRealDeviceHasItsNameKeysButtonsAndAxes) {
    auto result = createUinputDevice();
    if (!result.device) {
        GTEST_SKIP() << "no usable /dev/uinput here (" << result.message
                     << "); the kernel test harness covers the real device";
    }
    std::string node = result.device->devnode();
    if (node.empty()) {
        GTEST_SKIP() << "the system does not name the event node of the new device";
    }
    int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        GTEST_SKIP() << "cannot read " << node;
    }
    char name[256] = {};
    ASSERT_GE(::ioctl(fd, EVIOCGNAME(sizeof name - 1), name), 0);
    EXPECT_STREQ(name, UinputDevice::deviceName);
    unsigned char keys[KEY_MAX / 8 + 1] = {};
    unsigned char rel[REL_MAX / 8 + 1] = {};
    ASSERT_GE(::ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys), 0);
    ASSERT_GE(::ioctl(fd, EVIOCGBIT(EV_REL, sizeof rel), rel), 0);
    ::close(fd);
    auto has = [](const unsigned char* bits, unsigned code) {
        return (bits[code / 8] >> (code % 8)) & 1;
    };
    for (const auto& k : macKeyCodeTable()) {
        EXPECT_TRUE(has(keys, k.evdev)) << k.evdev;
    }
    for (unsigned b : {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}) {
        EXPECT_TRUE(has(keys, b));
    }
    for (unsigned a : {REL_X, REL_Y, REL_WHEEL, REL_HWHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES}) {
        EXPECT_TRUE(has(rel, a));
    }
}

namespace {

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

// The mapping of every button and axis is checked in the real kernel (tests/kernel); here what
// evdev alone cannot show.
TEST(EvdevGamepadReport, OnlyTheChangesInOneFrameAndATriggersLevelUnderItsPress) {
    ControllerState halfTrigger;
    halfTrigger.leftTrigger = 100.0f / 255.0f;
    ControllerState halfTriggerPressed = halfTrigger;
    halfTriggerPressed.buttons = ButtonSet({ControllerButton::leftTrigger});
    EXPECT_EQ(eventsBetween({}, {}), std::vector<Written>{});
    EXPECT_EQ(eventsBetween(halfTriggerPressed, halfTrigger),
              (std::vector<Written>{{EV_ABS, ABS_Z, 100}, syn}))
        << "the release gives back the analogue level";
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
