// The virtual devices against stand-ins for the kernel: a recording uinput writer, and a socket
// playing the kernel's end of /dev/uhid. tests/kernel runs them in the real kernel.

#include <chrono>
#include <csignal>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <linux/input.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/FakeAudioCapture.h"
#include "output/KeyNames.h"
#include "output/VirtualGamepad.h"
#include "platform/linux/EvdevGamepadReport.h"
#include "platform/linux/ForceFeedbackEffects.h"
#include "platform/linux/MacKeyCodes.h"
#include "platform/linux/UhidDevice.h"
#include "platform/linux/UinputDevice.h"
#include "platform/linux/UinputKeyboardMouse.h"

using namespace jolto;
using namespace std::chrono_literals;
using Event = InputEventSink::Event;
using Type = InputEventSink::EventType;
using Written = std::tuple<std::uint16_t, std::uint16_t, std::int32_t>;
using Bytes = std::vector<std::uint8_t>;
using ReportType = VirtualHidDevice::ReportType;

namespace {

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
    // Records what would reach the kernel; fails as a vanished device does while `gone`.
    struct Writer final : UinputWriter {
        Adapter& test;
        explicit Writer(Adapter& t) : test(t) {}
        bool write(std::uint16_t type, std::uint16_t code, std::int32_t value) override {
            if (test.gone) {
                return false;
            }
            test.written.emplace_back(type, code, value);
            return true;
        }
    };
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
            return std::make_unique<Writer>(*this);
        };
    }
    UinputKeyboardMouse output{clock, opener()};
};

constexpr Written syn{EV_SYN, SYN_REPORT, 0};

TEST(MacKeyCodes, EveryNamedKeyHasItsOwnLinuxKeyByPosition) {
    auto table = macKeyCodeTable();
    EXPECT_EQ(table.size(), 109u);
    std::set<std::uint16_t> macs;
    for (const auto& k : table) {
        EXPECT_TRUE(knownKeyName(k.mac).has_value()) << k.mac;
        macs.insert(k.mac);
        EXPECT_EQ(linuxKeyFromMac(k.mac), k.evdev);
        EXPECT_EQ(macKeyFromLinux(k.evdev), k.mac);
    }
    EXPECT_EQ(macs.size(), 109u);

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
    // 60 pixels are one detent of 120 units; wheel 2 is positive to the left, REL_HWHEEL to the
    // right. A reversal starts the detent count afresh, and several detents go out as one value.
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

TEST_F(Adapter, AClosedDeviceIsOpenedAgainTwoSecondsAfterTheLastAttempt) {
    for (bool vanished : {false, true}) {
        SCOPED_TRACE(vanished ? "vanished" : "no access");
        written.clear();
        allowOpen = vanished;
        UinputKeyboardMouse closed(clock, opener());
        EXPECT_EQ(closed.isOpen(), vanished);
        clock.advance(5s);
        gone = vanished;
        closed.post(key(Type::keyDown, 0, true));
        gone = false;
        const int opensAtStart = opens;
        for (int i = 0; i < 100; ++i) {
            clock.advance(10ms);
            closed.post(key(Type::keyDown, 0, true));
            closed.endBatch();
        }
        EXPECT_EQ(opens, opensAtStart) << "no retry within 2 s";
        allowOpen = false;
        clock.advance(1000ms);
        closed.post(key(Type::keyDown, 0, true));
        EXPECT_EQ(opens, opensAtStart + 1);
        EXPECT_TRUE(written.empty());

        allowOpen = true;
        clock.advance(1s);
        closed.post(key(Type::keyDown, 1, true));
        EXPECT_EQ(opens, opensAtStart + 1) << "still within 2 s of the last attempt";
        clock.advance(1s);
        closed.post(key(Type::keyDown, 2, true));
        closed.endBatch();
        EXPECT_EQ(written, (std::vector<Written>{{EV_KEY, KEY_D, 1}, syn}));
    }
}

TEST(UinputDevice, AMissingDeviceFileIsReportedWithItsReason) {
    auto result = createUinputDevice("/nonexistent/uinput");
    EXPECT_EQ(result.device, nullptr);
    EXPECT_EQ(result.message, "Couldn't open /nonexistent/uinput: No such file or directory");
}

TEST(UinputDevice, TheRealDeviceHasItsKeysButtonsAndAxes) {
    auto result = createUinputDevice();
    if (!result.device) {
        GTEST_SKIP() << "no usable /dev/uinput here (" << result.message
                     << "); the kernel test harness covers the real device";
    }
    std::string node = result.device->devnode();
    int fd = node.empty() ? -1 : ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        GTEST_SKIP() << "cannot read the new device's event node '" << node << "'";
    }
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

// The mapping of every control is checked in tests/kernel; here what evdev alone cannot show.
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

    static ff_effect effect(std::uint16_t type, int id) {
        ff_effect e{};
        e.type = type;
        e.id = static_cast<std::int16_t>(id);
        return e;
    }
    void rumble(int id, std::uint16_t strong, std::uint16_t weak, std::uint16_t length,
                std::uint16_t delay = 0) {
        ff_effect e = effect(FF_RUMBLE, id);
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
    EXPECT_EQ(at(50ms), off);
    EXPECT_EQ(at(150ms), on);
    EXPECT_EQ(at(320ms), off);
    EXPECT_EQ(at(450ms), on);
    EXPECT_EQ(at(650ms), off);
    EXPECT_EQ(effects.nextChange(t0 + 50ms), t0 + 100ms);
    EXPECT_EQ(effects.nextChange(t0 + 150ms), t0 + 300ms);
    EXPECT_EQ(effects.nextChange(t0 + 350ms), t0 + 400ms);
    EXPECT_EQ(effects.nextChange(t0 + 650ms), std::nullopt);
}

TEST_F(Effects, StopEraseAndSums) {
    rumble(0, 0xC000, 0, 0);
    rumble(1, 0x8000, 0x1000, 0);
    effects.play(0, 1, t0);
    effects.play(1, 1, t0);
    // Length 0 lasts until stopped; two effects add up, clamped at full.
    EXPECT_EQ(at(10s), (Levels{0xFFFF, 0x1000}));
    EXPECT_EQ(effects.nextChange(t0 + 10s), std::nullopt);
    effects.play(0, 0, t0 + 1s);
    EXPECT_EQ(at(2s), (Levels{0x8000, 0x1000}));
    effects.erase(1);
    EXPECT_EQ(at(2s), Levels{});
    effects.play(1, 1, t0 + 3s);
    EXPECT_EQ(at(4s), Levels{});
}

TEST_F(Effects, PeriodicAndConstantDriveBothMotors) {
    ff_effect sine = effect(FF_PERIODIC, 5);
    sine.u.periodic.waveform = FF_SINE;
    sine.u.periodic.magnitude = -0x2000;
    ff_effect constant = effect(FF_CONSTANT, 6);
    constant.u.constant.level = 0x7FFF;
    ASSERT_EQ(effects.upload(sine), 0);
    ASSERT_EQ(effects.upload(constant), 0);
    EXPECT_LT(effects.upload(effect(FF_SPRING, 7)), 0);
    effects.play(5, 1, t0);
    EXPECT_EQ(at(1ms), (Levels{0x4000, 0x4000}));
    effects.play(6, 1, t0);
    EXPECT_EQ(at(1ms), (Levels{0xFFFF, 0xFFFF}));
}

const std::string uuid = "0A1B2C3D-0000-4000-8000-00000000ABCD";

// The kernel's end of /dev/uhid: a SOCK_SEQPACKET pair keeps each event one message.
class KernelSide {
public:
    KernelSide() {
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds_) != 0) {
            fds_[0] = fds_[1] = -1;
        }
    }
    ~KernelSide() {
        for (int fd : fds_) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    bool ok() const { return fds_[0] >= 0; }

    bool readable(int timeoutMs = 0) const {
        pollfd p{fds_[0], POLLIN, 0};
        return ::poll(&p, 1, timeoutMs) > 0;
    }
    void hangUp() { ::close(std::exchange(fds_[0], -1)); }
    int takeDeviceEnd() { return std::exchange(fds_[1], -1); }

    std::unique_ptr<uhid_event> read() {
        if (!readable(20000)) {
            return nullptr;
        }
        auto ev = std::make_unique<uhid_event>();
        ssize_t n = ::read(fds_[0], ev.get(), sizeof(uhid_event));
        return n == static_cast<ssize_t>(sizeof(uhid_event)) ? std::move(ev) : nullptr;
    }

    void send(std::uint32_t type, std::uint8_t rtype = 0, const Bytes& data = {},
              std::uint32_t id = 0) {
        auto ev = std::make_unique<uhid_event>();
        ev->type = type;
        const auto size = static_cast<__u16>(data.size());
        if (type == UHID_OUTPUT) {
            ev->u.output.rtype = rtype;
            ev->u.output.size = size;
            std::copy(data.begin(), data.end(), ev->u.output.data);
        } else if (type == UHID_GET_REPORT) {
            ev->u.get_report.rtype = rtype;
        } else if (type == UHID_SET_REPORT) {
            ev->u.set_report.id = id;
            ev->u.set_report.rtype = rtype;
            ev->u.set_report.size = size;
            std::copy(data.begin(), data.end(), ev->u.set_report.data);
        }
        ASSERT_EQ(::write(fds_[0], ev.get(), sizeof *ev), static_cast<ssize_t>(sizeof *ev));
    }

private:
    int fds_[2];
};

struct RecordingDelegate final : VirtualHidDevice::Delegate {
    struct Set {
        ReportType type;
        std::uint8_t id;
        Bytes data;
        bool operator==(const Set&) const = default;
    };
    std::vector<Set> sets;
    std::vector<ReportType> gets;

    void setReport(ReportType type, std::uint8_t id, std::span<const std::uint8_t> data) override {
        sets.push_back({type, id, Bytes(data.begin(), data.end())});
    }
    std::span<const std::uint8_t> getReport(ReportType type, std::uint8_t) override {
        gets.push_back(type);
        return {};
    }
};

class UhidDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kernel.ok()) << "no socketpair";
        device = UhidDevice::adopt(kernel.takeDeviceEnd(), delays);
        ASSERT_NE(device, nullptr);
    }
    // tests/kernel checks the rest of UHID_CREATE2, for the first player only.
    void createAndStart() {
        ASSERT_TRUE(device->create(VirtualGamepad::deviceProperties(4, uuid)));
        auto created = kernel.read();
        ASSERT_NE(created, nullptr);
        ASSERT_EQ(created->type, UHID_CREATE2);
        EXPECT_STREQ(reinterpret_cast<const char*>(created->u.create2.name), "JOLTO Controller 4");
        kernel.send(UHID_START);
        service();
        ASSERT_TRUE(device->isLive());
    }
    // Waits on another thread, then serves what came; false if only a wake ended the wait.
    bool service(std::chrono::milliseconds limit = 20s) {
        auto done = std::async(std::launch::async, [&] { device->waitForActivity(); });
        const bool returned = done.wait_for(limit) == std::future_status::ready;
        if (!returned) {
            device->wake();
            done.wait();
        }
        device->serviceRequests(delegate);
        return returned;
    }
    Bytes nextInput() {
        while (!kernel.readable()) {
            if (!service()) {
                return {};
            }
        }
        auto ev = kernel.read();
        return ev && ev->type == UHID_INPUT2
                   ? Bytes(ev->u.input2.data, ev->u.input2.data + ev->u.input2.size)
                   : Bytes{};
    }

    // Far enough apart that a stalled test thread does not make the two fall due together.
    const UhidDevice::Milliseconds delays[2] = {30ms, 600ms};
    KernelSide kernel;
    std::unique_ptr<UhidDevice> device;
    RecordingDelegate delegate;
};

// The kernel drops reports while the driver is still probing the new device, which starts
// with UHID_START; the repeats put the last state through once the probe is over.
TEST_F(UhidDeviceTest, TheLastReportGoesOutAgainAtEachDelayAfterStart) {
    ASSERT_TRUE(device->create(VirtualGamepad::deviceProperties(1, uuid)));
    ASSERT_NE(kernel.read(), nullptr);
    auto first = VirtualGamepad::neutralReport();
    first[0] = 0x01;
    auto latest = VirtualGamepad::neutralReport();
    latest[11] = 0xFF;
    // Sent before the start, as a feeder never does: it is not the one repeated.
    ASSERT_TRUE(device->dispatchInputReport(first));
    kernel.send(UHID_START);
    ASSERT_TRUE(service());
    ASSERT_TRUE(device->isLive());
    ASSERT_TRUE(device->dispatchInputReport(latest));
    for (const char* what : {"first", "sent", "first repeat", "second repeat"}) {
        SCOPED_TRACE(what);
        const auto& expected = std::string(what) == "first" ? first : latest;
        EXPECT_EQ(nextInput(), Bytes(expected.begin(), expected.end()));
    }
    EXPECT_FALSE(service(150ms)) << "no repeat is left, so only a wake ends the wait";
    EXPECT_FALSE(kernel.readable());

    // A restarted device (the driver bound again) loses reports the same way.
    kernel.send(UHID_STOP);
    kernel.send(UHID_START);
    EXPECT_EQ(nextInput(), Bytes(latest.begin(), latest.end()));
}

// tests/kernel writes output reports through hidraw; here the requests it never makes, and the
// kind of report asked for, which the gamepad's answer does not show.
TEST_F(UhidDeviceTest, RequestsReachTheDelegateWithoutReportNumberAndAreAnswered) {
    createAndStart();
    kernel.send(UHID_OUTPUT, UHID_OUTPUT_REPORT, {0x05, 0x06, 0x07}); // no prefix to remove
    kernel.send(UHID_OUTPUT, UHID_FEATURE_REPORT, {0x00, 0x01, 0x02});
    kernel.send(UHID_SET_REPORT, UHID_OUTPUT_REPORT, {0x00, 0x10, 0x20}, 43);
    kernel.send(UHID_SET_REPORT, UHID_FEATURE_REPORT, {0x00, 0x10, 0x20}, 44);
    kernel.send(UHID_GET_REPORT, UHID_INPUT_REPORT);
    ASSERT_TRUE(service());

    for (std::uint32_t id : {43u, 44u}) {
        auto reply = kernel.read();
        ASSERT_NE(reply, nullptr);
        ASSERT_EQ(reply->type, UHID_SET_REPORT_REPLY);
        EXPECT_EQ(reply->u.set_report_reply.id, id);
        EXPECT_EQ(reply->u.set_report_reply.err, 0);
    }
    std::vector<RecordingDelegate::Set> expected{
        {ReportType::output, 0, {0x05, 0x06, 0x07}},
        {ReportType::feature, 0, {0x00, 0x01, 0x02}},
        {ReportType::output, 0, {0x10, 0x20}},
        {ReportType::feature, 0, {0x00, 0x10, 0x20}},
    };
    EXPECT_EQ(delegate.sets, expected);
    EXPECT_EQ(delegate.gets, std::vector{ReportType::input});
}

TEST_F(UhidDeviceTest, ClosedKernelSideStopsThePollingInsteadOfSpinning) {
    createAndStart();
    // A socket, unlike /dev/uhid, may raise SIGPIPE for the UHID_DESTROY written at the end.
    std::signal(SIGPIPE, SIG_IGN);
    kernel.hangUp();
    ASSERT_TRUE(service()); // the hang-up makes the descriptor readable
    EXPECT_FALSE(device->isLive());
    EXPECT_FALSE(service(50ms)) << "a poll that kept reporting the hang-up would spin";
}

} // namespace
