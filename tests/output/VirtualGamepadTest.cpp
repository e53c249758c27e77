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

std::int16_t axisAt(const InputReport& r, std::size_t offset) {
    return static_cast<std::int16_t>(r[offset] | r[offset + 1] << 8);
}

InputReport reportOf(ButtonSet buttons) {
    ControllerState s;
    s.buttons = buttons;
    return VirtualGamepad::inputReport(s);
}

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

Bytes bytes(const InputReport& r) {
    return Bytes(r.begin(), r.end());
}

// A report that names itself: n in the left stick's X field.
Bytes numbered(int n) {
    InputReport r = VirtualGamepad::neutralReport();
    r[3] = static_cast<std::uint8_t>(n);
    r[4] = static_cast<std::uint8_t>(n >> 8);
    return bytes(r);
}

InputReport asReport(const Bytes& b) {
    InputReport r{};
    std::copy(b.begin(), b.end(), r.begin());
    return r;
}

const Bytes neutral = bytes(VirtualGamepad::neutralReport());

} // namespace

TEST(GamepadReport, ButtonsTakeTheirHidBitsAndTheDpadStaysOut) {
    auto bits = [](ButtonSet s) { return reportOf(s)[0] | reportOf(s)[1] << 8; };
    EXPECT_EQ(bits({B::south, B::touchpad}), 0x4001);
    EXPECT_EQ(bits({B::rightTrigger, B::select, B::start}), 0x0380);
    EXPECT_EQ(bits({B::leftStick, B::rightStick}), 0x0C00);
    EXPECT_EQ(bits({B::home, B::capture}), 0x3000);
    EXPECT_EQ(bits({B::dpadUp, B::dpadDown, B::dpadLeft, B::dpadRight}), 0);
    // Every bit set, also those of no button: 15 bits, bit 15 clear, hat centred.
    auto all = reportOf(ButtonSet(0xFFFFFFFFu));
    EXPECT_EQ(Bytes(all.begin(), all.begin() + 3), (Bytes{0xFF, 0x7F, 0x08}));
}

TEST(GamepadReport, HatCoversEveryDpadCombinationWithOppositesCancelling) {
    // Indexed by up, down, left, right as bits 0 to 3.
    const int hats[16] = {8, 0, 4, 8, 6, 7, 5, 6, 2, 1, 3, 2, 8, 0, 4, 8};
    const B dpad[] = {B::dpadUp, B::dpadDown, B::dpadLeft, B::dpadRight};
    for (unsigned combo = 0; combo < 16; ++combo) {
        ButtonSet buttons;
        for (unsigned d = 0; d < 4; ++d) {
            if (combo & (1u << d)) {
                buttons.insert(dpad[d]);
            }
        }
        EXPECT_EQ(reportOf(buttons)[2], hats[combo]) << "d-pad bits " << combo;
    }
    EXPECT_EQ(reportOf({B::south, B::touchpad, B::dpadLeft})[2], 6);
}

TEST(GamepadReport, AxesAndTriggers) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        ControllerState state;
        std::array<int, 6> lxLyRxRyLtRt;
    } rows[] = {
        {axes({1, 1}), {32767, -32767, 0, 0, 0, 0}},
        {axes({0.5f, -0.5f}), {16384, 16384, 0, 0, 0, 0}},
        {axes({-7, 3}, {}, {}, 1.2f, -0.1f), {-32767, -32767, 0, 0, 255, 0}},
        {axes({}, {}, {}, 0.5f, 0.25f), {0, 0, 0, 0, 128, 64}},
        {axes({nan, inf}, {-inf, nan}, {}, nan, inf), {0, 0, 0, 0, 0, 0}},
        {axes({-inf, 0.25f}), {0, -8192, 0, 0, 0, 0}},
        {axes({}, {0, 0.5f}, {nan, 0}), {0, 0, 0, -16384, 0, 0}},
        {axes({}, {0.9f, 0}, {0.8f, 0}), {0, 0, 32767, 0, 0, 0}},
        {axes({}, {}, {2, 0}), {0, 0, 16384, 0, 0, 0}},
        {axes({}, {0, 0.75f}, {0, 1}), {0, 0, 0, -32767, 0, 0}},
        {axes({}, {0.6f, -0.6f}, {0.8f, -0.8f}), {0, 0, 23170, 23170, 0, 0}},
        {axes({}, {0.3f, 0.4f}), {0, 0, 9830, -13107, 0, 0}},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto r = VirtualGamepad::inputReport(rows[i].state);
        EXPECT_EQ((std::array<int, 6>{axisAt(r, 3), axisAt(r, 5), axisAt(r, 7), axisAt(r, 9), r[11],
                                      r[12]}),
                  rows[i].lxLyRxRyLtRt)
            << "row " << i;
        EXPECT_EQ(Bytes(r.begin(), r.begin() + 3), (Bytes{0, 0, 8})) << "row " << i;
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

    ControllerState s;
    s.buttons = {B::east, B::select, B::dpadUp, B::dpadRight, B::capture};
    s.leftStick = {0.5f, 1.0f};
    s.rightStick = {-0.6f, -0.25f};
    s.leftTrigger = 0.5f;
    s.rightTrigger = 1.0f;
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
    bool waitForDestroyed() {
        return log->waitUntil([&] { return log->devicesDestroyed == 1; });
    }
    std::vector<Bytes> dispatched() {
        return log->with([&] { return log->dispatched; });
    }
};

TEST_F(GamepadFeeding, RefusedDeviceGivesNoGamepad) {
    factory.refuse = true;
    EXPECT_EQ(make(), nullptr);
    factory.refuse = false;
    log->refuseCreate = true;
    EXPECT_EQ(make(), nullptr);
    EXPECT_EQ(log->with([&] { return log->properties->product; }), "JOLTO Controller 2");
    // The device the system refused is let go without any report.
    EXPECT_EQ(log->with([&] { return log->devicesDestroyed; }), 1);
    EXPECT_TRUE(dispatched().empty());
}

TEST_F(GamepadFeeding, ReportsGoInOrderDespiteErrorsThenOneNeutralReport) {
    log->failDispatch = true;
    auto gamepad = make();
    ASSERT_NE(gamepad, nullptr);
    for (int n = 1; n <= 5; ++n) {
        gamepad->push(asReport(numbered(n)));
    }
    gamepad->finish();
    gamepad->push(asReport(numbered(99))); // after the end: ignored
    ASSERT_TRUE(waitForDestroyed());
    EXPECT_EQ(dispatched(), (std::vector{numbered(1), numbered(2), numbered(3), numbered(4),
                                         numbered(5), neutral}));
}

TEST_F(GamepadFeeding, SlowDeviceKeepsOnlyTheNewest32Reports) {
    log->blockDispatch = true;
    auto gamepad = make();
    ASSERT_NE(gamepad, nullptr);
    gamepad->push(asReport(numbered(1000)));
    ASSERT_TRUE(log->waitUntil([&] { return log->dispatchesEntered == 1; }));
    for (int n = 0; n < 100; ++n) {
        gamepad->push(asReport(numbered(n)));
    }
    gamepad->finish();
    log->setBlockDispatch(false);
    ASSERT_TRUE(waitForDestroyed());

    std::vector<Bytes> expected{numbered(1000)};
    for (int n = 68; n < 100; ++n) {
        expected.push_back(numbered(n));
    }
    expected.push_back(neutral);
    EXPECT_EQ(dispatched(), expected);
}

TEST_F(GamepadFeeding, ReportsWaitUntilTheSystemHasStartedTheDevice) {
    log->liveOnCreate = false;
    auto gamepad = make();
    ASSERT_NE(gamepad, nullptr);
    for (int n = 0; n < 40; ++n) {
        gamepad->push(asReport(numbered(n)));
    }
    log->start();
    ASSERT_TRUE(log->waitUntil([&] { return log->dispatched.size() == 32; }));
    // Destroying the gamepad (the retirement's thread does it for the server) sends what is
    // queued and the neutral report, and the device is gone when it returns: only then may the
    // phone's next gamepad appear.
    gamepad->push(asReport(numbered(40)));
    gamepad.reset();
    EXPECT_EQ(log->with([&] { return log->devicesDestroyed; }), 1);
    auto sent = dispatched();
    ASSERT_EQ(sent.size(), 34u);
    EXPECT_EQ(sent.front(), numbered(8));
    EXPECT_EQ(sent[31], numbered(39));
    EXPECT_EQ(sent[32], numbered(40));
    EXPECT_EQ(sent.back(), neutral);

    // A device that never started ends without reports.
    auto unstarted = make();
    ASSERT_NE(unstarted, nullptr);
    unstarted->push(asReport(numbered(1)));
    unstarted.reset();
    EXPECT_EQ(log->with([&] { return log->devicesDestroyed; }), 2);
    EXPECT_EQ(dispatched().size(), 34u);
}

TEST_F(GamepadFeeding, OutputReportsBecomeRumbleAndGetReportIsNeutral) {
    std::mutex m;
    std::vector<std::pair<float, float>> levels;
    std::thread::id rumbleThread;
    auto gamepad = make([&](float heavy, float light) {
        std::lock_guard lock(m);
        levels.emplace_back(heavy, light);
        rumbleThread = std::this_thread::get_id();
    });
    ASSERT_NE(gamepad, nullptr);
    gamepad->push(reportOf({B::south}));
    log->send({false, ReportType::output, 0, {0x80, 0xFF}});
    log->send({false, ReportType::output, 0, {0x80}});             // too short
    log->send({false, ReportType::feature, 0, {0x10, 0x20}});      // not an output report
    log->send({false, ReportType::output, 5, {0x00, 0x33, 0x44}}); // id, extra bytes ignored
    log->send({true, ReportType::input, 0, {}});
    log->send({true, ReportType::feature, 3, {}});
    ASSERT_TRUE(log->waitUntil([&] { return log->requestsHandled == 6; }));

    std::lock_guard lock(m);
    ASSERT_EQ(levels.size(), 2u);
    EXPECT_NEAR(levels[0].first, 0.502f, 0.001f);
    EXPECT_EQ(levels[0].second, 1.0f);
    EXPECT_EQ(levels[1], std::make_pair(0.0f, 0x33 / 255.0f));
    EXPECT_EQ(rumbleThread, log->with([&] { return log->servicingThread; }));
    EXPECT_EQ(log->with([&] { return log->getReportAnswers; }), (std::vector{neutral, neutral}));
}

TEST_F(GamepadFeeding, RumbleHandlerMayDropItsOwnGamepad) {
    std::unique_ptr<VirtualGamepad> gamepad;
    gamepad = make([&](float, float) { gamepad.reset(); });
    ASSERT_NE(gamepad, nullptr);
    log->send({false, ReportType::output, 0, {1, 2}});
    ASSERT_TRUE(waitForDestroyed());
    EXPECT_EQ(gamepad, nullptr);
    EXPECT_EQ(dispatched(), std::vector<Bytes>{neutral});
}
