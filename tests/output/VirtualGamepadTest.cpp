#include <array>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/FakeVirtualHidDevice.h"
#include "output/VirtualGamepad.h"

using namespace jolto;
using jolto::fakes::FakeVirtualHidDeviceFactory;
using Bytes = std::vector<std::uint8_t>;
using ReportType = VirtualHidDevice::ReportType;
using B = ControllerButton;

namespace {

ControllerState axes(StickVector left, StickVector right = {}, StickVector gyro = {},
                     float leftTrigger = 0, float rightTrigger = 0) {
    ControllerState s;
    s.leftStick = left;
    s.rightStick = right;
    s.gyroAim = gyro;
    s.leftTrigger = leftTrigger;
    s.rightTrigger = rightTrigger;
    return s;
}

ControllerState pressed(ButtonSet buttons) {
    ControllerState s;
    s.buttons = buttons;
    return s;
}

Bytes bytes(const InputReport& r) {
    return Bytes(r.begin(), r.end());
}

// A report that names itself: n in the left stick's X field.
InputReport numbered(int n) {
    InputReport r = VirtualGamepad::neutralReport();
    r[3] = static_cast<std::uint8_t>(n);
    r[4] = static_cast<std::uint8_t>(n >> 8);
    return r;
}

const Bytes neutral = bytes(VirtualGamepad::neutralReport());

} // namespace

TEST(GamepadReport, ButtonsHatAxesAndTriggersTakeTheirFields) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    // HID buttons as one word, hat, then the sticks with Y negated and the triggers.
    const struct {
        ControllerState state;
        std::array<int, 8> fields;
    } rows[] = {
        {pressed({B::south, B::touchpad}), {0x4001, 8, 0, 0, 0, 0, 0, 0}},
        {pressed({B::rightTrigger, B::select, B::start}), {0x0380, 8, 0, 0, 0, 0, 0, 0}},
        {pressed({B::leftStick, B::rightStick}), {0x0C00, 8, 0, 0, 0, 0, 0, 0}},
        {pressed({B::home, B::capture}), {0x3000, 8, 0, 0, 0, 0, 0, 0}},
        // Every bit set, also those of no button: 15 bits, bit 15 clear, hat centred.
        {pressed(ButtonSet(0xFFFFFFFFu)), {0x7FFF, 8, 0, 0, 0, 0, 0, 0}},
        {pressed({B::south, B::touchpad, B::dpadLeft}), {0x4001, 6, 0, 0, 0, 0, 0, 0}},
        {axes({1, 1}), {0, 8, 32767, -32767, 0, 0, 0, 0}},
        {axes({0.5f, -0.5f}), {0, 8, 16384, 16384, 0, 0, 0, 0}},
        {axes({-7, 3}, {}, {}, 1.2f, -0.1f), {0, 8, -32767, -32767, 0, 0, 255, 0}},
        {axes({}, {}, {}, 0.5f, 0.25f), {0, 8, 0, 0, 0, 0, 128, 64}},
        {axes({nan, inf}, {-inf, nan}, {}, nan, inf), {0, 8, 0, 0, 0, 0, 0, 0}},
        {axes({-inf, 0.25f}), {0, 8, 0, -8192, 0, 0, 0, 0}},
        // Gyro aim adds a quarter of itself to the right stick, cut to the unit circle.
        {axes({}, {0, 0.5f}, {nan, 0}), {0, 8, 0, 0, 0, -16384, 0, 0}},
        {axes({}, {0.9f, 0}, {0.8f, 0}), {0, 8, 0, 0, 32767, 0, 0, 0}},
        {axes({}, {}, {2, 0}), {0, 8, 0, 0, 16384, 0, 0, 0}},
        {axes({}, {0, 0.75f}, {0, 1}), {0, 8, 0, 0, 0, -32767, 0, 0}},
        {axes({}, {0.6f, -0.6f}, {0.8f, -0.8f}), {0, 8, 0, 0, 23170, 23170, 0, 0}},
        {axes({}, {0.3f, 0.4f}), {0, 8, 0, 0, 9830, -13107, 0, 0}},
    };
    auto axis = [](const InputReport& r, std::size_t at) {
        return static_cast<std::int16_t>(r[at] | r[at + 1] << 8);
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto r = VirtualGamepad::inputReport(rows[i].state);
        EXPECT_EQ((std::array<int, 8>{r[0] | r[1] << 8, r[2], axis(r, 3), axis(r, 5), axis(r, 7),
                                      axis(r, 9), r[11], r[12]}),
                  rows[i].fields)
            << "row " << i;
    }
    // Every d-pad combination, up, down, left and right being bits 10 to 13: the hat, opposite
    // directions cancelling, and no button.
    const std::uint8_t hats[16] = {8, 0, 4, 8, 6, 7, 5, 6, 2, 1, 3, 2, 8, 0, 4, 8};
    for (std::uint32_t combo = 0; combo < 16; ++combo) {
        const auto r = VirtualGamepad::inputReport(pressed(ButtonSet(combo << 10)));
        EXPECT_EQ(Bytes(r.begin(), r.begin() + 3), (Bytes{0, 0, hats[combo]})) << combo;
    }
}

// Games and the kernel parse these bytes: they are compared as published, byte for byte.
TEST(GamepadReport, DescriptorAndReportsHaveTheirPublishedBytes) {
    const Bytes descriptor = {
        0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0x05, 0x09, 0x19, 0x01, 0x29, 0x10, 0x15, 0x00, 0x25,
        0x01, 0x75, 0x01, 0x95, 0x10, 0x81, 0x02, 0x05, 0x01, 0x09, 0x39, 0x15, 0x00, 0x25, 0x07,
        0x35, 0x00, 0x46, 0x3B, 0x01, 0x65, 0x14, 0x75, 0x04, 0x95, 0x01, 0x81, 0x42, 0x65, 0x00,
        0x45, 0x00, 0x75, 0x04, 0x95, 0x01, 0x81, 0x03, 0x09, 0x30, 0x09, 0x31, 0x09, 0x32, 0x09,
        0x35, 0x16, 0x01, 0x80, 0x26, 0xFF, 0x7F, 0x75, 0x10, 0x95, 0x04, 0x81, 0x02, 0x09, 0x33,
        0x09, 0x34, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02, 0x06, 0x00,
        0xFF, 0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x02, 0x91, 0x02, 0xC0};
    EXPECT_EQ(
        Bytes(VirtualGamepad::reportDescriptor.begin(), VirtualGamepad::reportDescriptor.end()),
        descriptor);
    const Bytes zero{0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(bytes(VirtualGamepad::inputReport({})), zero);
    EXPECT_EQ(neutral, zero);

    ControllerState s = axes({0.5f, 1.0f}, {-0.6f, -0.25f}, {}, 0.5f, 1.0f);
    s.buttons = {B::east, B::select, B::dpadUp, B::dpadRight, B::capture};
    // east bit 1, select bit 8, capture bit 13; up-right is hat 1; Y fields are negated.
    EXPECT_EQ(
        bytes(VirtualGamepad::inputReport(s)),
        (Bytes{0x02, 0x21, 0x01, 0x00, 0x40, 0x01, 0x80, 0x34, 0xB3, 0x00, 0x20, 0x80, 0xFF}));
}

class GamepadFeeding : public ::testing::Test {
protected:
    FakeVirtualHidDeviceFactory factory;
    std::shared_ptr<fakes::FakeHidDeviceLog> log = factory.log;

    std::unique_ptr<VirtualGamepad> make(VirtualGamepad::RumbleHandler onRumble = {}) {
        return VirtualGamepad::create(factory, 2, "0A1B2C3D-0000-4000-8000-00000000ABCD",
                                      std::move(onRumble));
    }
    std::vector<Bytes> dispatched() {
        return log->with([&] { return log->dispatched; });
    }
    int destroyed() {
        return log->with([&] { return log->devicesDestroyed; });
    }
};

TEST_F(GamepadFeeding, RefusedDeviceGivesNoGamepad) {
    factory.refuse = true;
    EXPECT_EQ(make(), nullptr);
    factory.refuse = false;
    log->refuseCreate = true;
    EXPECT_EQ(make(), nullptr);
    EXPECT_EQ(log->with([&] { return log->properties->product; }), "JOLTO Controller 2");
    // The device the system refused (it never started) is let go without any report.
    EXPECT_EQ(destroyed(), 1);
    EXPECT_TRUE(dispatched().empty());
}

// Reports wait until the system has started the device, the newest 32 of them, and go in
// order even when the device refuses them. Destroying the gamepad (the retirement's thread
// does it for the server) sends what is queued and the neutral report, and the device is gone
// when it returns: only then may the phone's next gamepad appear.
TEST_F(GamepadFeeding, ReportsWaitForTheStartKeepTheNewest32AndEndWithOneNeutral) {
    log->liveOnCreate = false;
    log->failDispatch = true;
    auto gamepad = make();
    ASSERT_NE(gamepad, nullptr);
    for (int n = 0; n < 40; ++n) {
        gamepad->push(numbered(n));
    }
    log->start();
    ASSERT_TRUE(log->waitUntil([&] { return log->dispatched.size() == 32; }));
    gamepad->push(numbered(40));
    gamepad->finish();
    gamepad->push(numbered(99)); // after the end: ignored
    gamepad.reset();
    EXPECT_EQ(destroyed(), 1);
    std::vector<Bytes> expected;
    for (int n = 8; n <= 40; ++n) {
        expected.push_back(bytes(numbered(n)));
    }
    expected.push_back(neutral);
    EXPECT_EQ(dispatched(), expected);
}

// Get-report requests are answered with the neutral report and output reports become rumble on
// the thread that services the device; the rumble handler may drop its own gamepad.
TEST_F(GamepadFeeding, OutputReportsBecomeRumbleThatMayDropTheGamepad) {
    std::vector<std::pair<float, float>> levels;
    std::thread::id rumbleThread;
    std::unique_ptr<VirtualGamepad> gamepad;
    gamepad = make([&](float heavy, float light) {
        levels.emplace_back(heavy, light);
        rumbleThread = std::this_thread::get_id();
        if (levels.size() == 2) {
            gamepad.reset();
        }
    });
    ASSERT_NE(gamepad, nullptr);
    gamepad->push(numbered(1));
    log->send({true, ReportType::input, 0, {}});
    log->send({true, ReportType::feature, 3, {}});
    log->send({false, ReportType::output, 0, {0x80, 0xFF}});
    log->send({false, ReportType::output, 0, {0x80}});             // too short
    log->send({false, ReportType::feature, 0, {0x10, 0x20}});      // not an output report
    log->send({false, ReportType::output, 5, {0x00, 0x33, 0x44}}); // id, extra bytes ignored
    ASSERT_TRUE(log->waitUntil([&] { return log->devicesDestroyed == 1; }));

    EXPECT_EQ(gamepad, nullptr);
    EXPECT_EQ(levels,
              (std::vector<std::pair<float, float>>{{0x80 / 255.0f, 1.0f}, {0.0f, 0x33 / 255.0f}}));
    EXPECT_EQ(rumbleThread, log->with([&] { return log->servicingThread; }));
    EXPECT_EQ(log->with([&] { return log->getReportAnswers; }), (std::vector{neutral, neutral}));
    EXPECT_EQ(dispatched(), (std::vector{bytes(numbered(1)), neutral}));
}
