#include <cerrno>
#include <set>
#include <tuple>

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "output/KeyNames.h"
#include "platform/linux/MacKeyCodes.h"
#include "platform/linux/UinputDevice.h"
#include "platform/linux/UinputKeyboardMouse.h"

using namespace jolto;
using Event = InputEventSink::Event;
using Type = InputEventSink::EventType;
using Written = std::tuple<std::uint16_t, std::uint16_t, std::int32_t>;

namespace {

class ManualClock final : public Clock {
public:
    Instant t{std::chrono::seconds(1000)};
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
    Event e;
    e.type = type;
    e.keyCode = code;
    e.keyDown = down;
    return e;
}

Event move(Type type, std::int64_t dx, std::int64_t dy) {
    Event e;
    e.type = type;
    e.deltaX = dx;
    e.deltaY = dy;
    return e;
}

Event scroll(std::int32_t vertical, std::int32_t horizontal) {
    Event e;
    e.type = Type::scrollWheel;
    e.wheel1 = vertical;
    e.wheel2 = horizontal;
    return e;
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

TEST_F(Adapter, KeysAndModifiersBecomeKeyEventsClosedBySynReport) {
    output.post(key(Type::flagsChanged, 56, true));
    output.post(key(Type::keyDown, 0, true));
    output.post(key(Type::keyDown, 52, true)); // no translation: nothing
    output.endBatch();
    output.post(key(Type::keyUp, 0, false));
    output.post(key(Type::flagsChanged, 56, false));
    output.endBatch();
    EXPECT_EQ(written, (std::vector<Written>{{EV_KEY, KEY_LEFTSHIFT, 1},
                                             {EV_KEY, KEY_A, 1},
                                             syn,
                                             {EV_KEY, KEY_A, 0},
                                             {EV_KEY, KEY_LEFTSHIFT, 0},
                                             syn}));
    written.clear();
    output.post(key(Type::keyUp, 52, false));
    output.endBatch();
    EXPECT_TRUE(written.empty()) << "a batch with nothing written needs no SYN_REPORT";
}

TEST_F(Adapter, ButtonsAndMotionAreRelative) {
    Event down;
    down.type = Type::leftMouseDown;
    down.location = {300, 400};
    output.post(down);
    output.post(move(Type::leftMouseDragged, 5, -3));
    output.post(move(Type::mouseMoved, 0, 7));
    output.post(move(Type::otherMouseDragged, std::int64_t{1} << 40, -(std::int64_t{1} << 40)));
    Event up = down;
    up.type = Type::otherMouseUp;
    output.post(up);
    up.type = Type::rightMouseDown;
    output.post(up);
    output.endBatch();
    EXPECT_EQ(written, (std::vector<Written>{{EV_KEY, BTN_LEFT, 1},
                                             {EV_REL, REL_X, 5},
                                             {EV_REL, REL_Y, -3},
                                             {EV_REL, REL_Y, 7},
                                             {EV_REL, REL_X, 2147483647},
                                             {EV_REL, REL_Y, -2147483648},
                                             {EV_KEY, BTN_MIDDLE, 0},
                                             {EV_KEY, BTN_RIGHT, 1},
                                             syn}));
}

TEST_F(Adapter, ScrollInHighResolutionWithWholeDetentsOnTheLegacyWheel) {
    // 60 pixels are one detent of 120 units. Wheel 2 is positive to the left; REL_HWHEEL
    // positive to the right. A reversal starts the detent count afresh (else the 30 units left
    // from scrolling up would swallow the detent down), and several detents go out as one value.
    const std::vector<std::pair<Event, std::vector<Written>>> steps = {
        {scroll(25, 0), {{EV_REL, REL_WHEEL_HI_RES, 50}, syn}},
        {scroll(25, 0), {{EV_REL, REL_WHEEL_HI_RES, 50}, syn}},
        {scroll(25, 0), {{EV_REL, REL_WHEEL, 1}, {EV_REL, REL_WHEEL_HI_RES, 50}, syn}},
        {scroll(-10, -150),
         {{EV_REL, REL_WHEEL_HI_RES, -20},
          {EV_REL, REL_HWHEEL, 2},
          {EV_REL, REL_HWHEEL_HI_RES, 300},
          syn}},
        {scroll(-50, 0), {{EV_REL, REL_WHEEL, -1}, {EV_REL, REL_WHEEL_HI_RES, -100}, syn}},
        {scroll(-1, 0), {{EV_REL, REL_WHEEL_HI_RES, -2}, syn}},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        written.clear();
        output.post(steps[i].first);
        output.endBatch();
        EXPECT_EQ(written, steps[i].second) << "step " << i;
    }
}

TEST_F(Adapter, WithoutAccessNothingIsWrittenAndOpeningIsRetriedEveryTwoSecondsOfUse) {
    allowOpen = false;
    UinputKeyboardMouse closed(clock, opener());
    int opensAtStart = opens;
    EXPECT_FALSE(closed.isOpen());
    for (int i = 0; i < 100; ++i) {
        closed.post(key(Type::keyDown, 0, true));
        closed.endBatch();
        clock.t += std::chrono::milliseconds(10);
    }
    EXPECT_EQ(opens, opensAtStart) << "no retry within 2 s";
    clock.t += std::chrono::milliseconds(1000);
    closed.post(key(Type::keyDown, 0, true));
    EXPECT_EQ(opens, opensAtStart + 1);
    EXPECT_TRUE(written.empty());

    allowOpen = true;
    clock.t += std::chrono::seconds(1);
    closed.post(key(Type::keyDown, 1, true));
    EXPECT_EQ(opens, opensAtStart + 1) << "still within 2 s of the last attempt";
    clock.t += std::chrono::seconds(1);
    closed.post(key(Type::keyDown, 2, true));
    closed.endBatch();
    EXPECT_TRUE(closed.isOpen());
    EXPECT_EQ(written, (std::vector<Written>{{EV_KEY, KEY_D, 1}, syn}));
}

TEST_F(Adapter, AVanishedDeviceIsDroppedAndMadeAgainLater) {
    ASSERT_TRUE(output.isOpen());
    gone = true;
    output.post(key(Type::keyDown, 0, true));
    EXPECT_FALSE(output.isOpen());
    gone = false;
    int opensBefore = opens;
    output.post(key(Type::keyDown, 0, true));
    EXPECT_EQ(opens, opensBefore);
    clock.t += UinputKeyboardMouse::retryInterval;
    output.post(key(Type::keyDown, 1, true));
    output.endBatch();
    EXPECT_TRUE(output.isOpen());
    EXPECT_EQ(written, (std::vector<Written>{{EV_KEY, KEY_S, 1}, syn}));
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
