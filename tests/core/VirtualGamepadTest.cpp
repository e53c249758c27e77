#include <cmath>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "VirtualGamepad.h"
#include "fakes/FakeVirtualHidDevice.h"

using namespace jolto;
using jolto::fakes::FakeHidDeviceLog;
using jolto::fakes::FakeVirtualHidDeviceFactory;
using Bytes = std::vector<std::uint8_t>;
using ReportType = VirtualHidDevice::ReportType;

namespace {

constexpr float nanF = std::numeric_limits<float>::quiet_NaN();
constexpr float infF = std::numeric_limits<float>::infinity();

std::int16_t axisAt(const InputReport& r, std::size_t offset) {
    return static_cast<std::int16_t>(r[offset] | r[offset + 1] << 8);
}

std::uint16_t buttonsOf(std::initializer_list<ControllerButton> pressed) {
    ControllerState s;
    s.buttons = ButtonSet(pressed);
    auto r = VirtualGamepad::inputReport(s);
    return static_cast<std::uint16_t>(r[0] | r[1] << 8);
}

std::uint8_t hatOf(std::initializer_list<ControllerButton> pressed) {
    ControllerState s;
    s.buttons = ButtonSet(pressed);
    return VirtualGamepad::inputReport(s)[2];
}

InputReport rightStickReport(StickVector stick, StickVector gyro) {
    ControllerState s;
    s.rightStick = stick;
    s.gyroAim = gyro;
    return VirtualGamepad::inputReport(s);
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

} // namespace

// ---- Input report ----

TEST(GamepadReport, ZeroStateIsTheNeutralReport) {
    Bytes expected{0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(bytes(VirtualGamepad::inputReport(ControllerState{})), expected);
    EXPECT_EQ(bytes(VirtualGamepad::neutralReport()), expected);
}

TEST(GamepadReport, ButtonsTakeTheirHidBitsAndTheDpadStaysOut) {
    using B = ControllerButton;
    EXPECT_EQ(buttonsOf({B::south, B::touchpad}), 0x4001);
    EXPECT_EQ(buttonsOf({B::rightTrigger}), 0x0080);
    EXPECT_EQ(buttonsOf({B::select}), 0x0100);
    EXPECT_EQ(buttonsOf({B::start}), 0x0200);
    EXPECT_EQ(buttonsOf({B::leftStick}), 0x0400);
    EXPECT_EQ(buttonsOf({B::rightStick}), 0x0800);
    EXPECT_EQ(buttonsOf({B::home, B::capture}), 0x3000);
    EXPECT_EQ(buttonsOf({B::dpadUp, B::dpadDown, B::dpadLeft, B::dpadRight}), 0);

    // Everything pressed, including bits that belong to no button: 15 bits, bit 15 clear.
    ControllerState all;
    all.buttons = ButtonSet(0xFFFFFFFFu);
    auto r = VirtualGamepad::inputReport(all);
    EXPECT_EQ(r[0], 0xFF);
    EXPECT_EQ(r[1], 0x7F);
    EXPECT_EQ(r[2], 8);
}

TEST(GamepadReport, HatCoversEveryDpadCombinationWithOppositesCancelling) {
    using B = ControllerButton;
    EXPECT_EQ(hatOf({}), 8);
    EXPECT_EQ(hatOf({B::dpadUp}), 0);
    EXPECT_EQ(hatOf({B::dpadUp, B::dpadRight}), 1);
    EXPECT_EQ(hatOf({B::dpadRight}), 2);
    EXPECT_EQ(hatOf({B::dpadDown, B::dpadRight}), 3);
    EXPECT_EQ(hatOf({B::dpadDown}), 4);
    EXPECT_EQ(hatOf({B::dpadDown, B::dpadLeft}), 5);
    EXPECT_EQ(hatOf({B::dpadLeft}), 6);
    EXPECT_EQ(hatOf({B::dpadUp, B::dpadLeft}), 7);
    EXPECT_EQ(hatOf({B::dpadUp, B::dpadDown}), 8);
    EXPECT_EQ(hatOf({B::dpadLeft, B::dpadRight}), 8);
    EXPECT_EQ(hatOf({B::dpadLeft, B::dpadRight, B::dpadDown}), 4);
    EXPECT_EQ(hatOf({B::dpadUp, B::dpadDown, B::dpadLeft}), 6);
    EXPECT_EQ(hatOf({B::dpadUp, B::dpadLeft, B::dpadRight}), 0);
    EXPECT_EQ(hatOf({B::dpadUp, B::dpadDown, B::dpadRight}), 2);
    EXPECT_EQ(hatOf({B::dpadUp, B::dpadDown, B::dpadLeft, B::dpadRight}), 8);
    // Other buttons never leak into the hat's high bits.
    EXPECT_EQ(hatOf({B::south, B::touchpad, B::dpadLeft}), 6);
}

TEST(GamepadReport, LeftStickIsScaledRoundedAndYIsNegated) {
    ControllerState s;
    s.leftStick = {1, 1};
    auto r = VirtualGamepad::inputReport(s);
    EXPECT_EQ(Bytes(r.begin() + 3, r.begin() + 7), (Bytes{0xFF, 0x7F, 0x01, 0x80}));

    s.leftStick = {0.5f, -0.5f};
    r = VirtualGamepad::inputReport(s);
    EXPECT_EQ(axisAt(r, 3), 16384); // 16383.5 rounds away from zero
    EXPECT_EQ(axisAt(r, 5), 16384);

    s.leftStick = {-0.5f, 3.0f};
    r = VirtualGamepad::inputReport(s);
    EXPECT_EQ(axisAt(r, 3), -16384);
    EXPECT_EQ(axisAt(r, 5), -32767); // clamped, never -32768

    s.leftStick = {-7.0f, 1e-6f};
    r = VirtualGamepad::inputReport(s);
    EXPECT_EQ(axisAt(r, 3), -32767);
    EXPECT_EQ(axisAt(r, 5), 0);
}

TEST(GamepadReport, NonFiniteAxesAndTriggersGiveZero) {
    ControllerState s;
    s.leftStick = {nanF, infF};
    s.rightStick = {-infF, nanF};
    s.leftTrigger = nanF;
    s.rightTrigger = infF;
    auto r = VirtualGamepad::inputReport(s);
    EXPECT_EQ(bytes(r), bytes(VirtualGamepad::neutralReport()));

    s = {};
    s.leftStick = {-infF, 0.25f};
    r = VirtualGamepad::inputReport(s);
    EXPECT_EQ(axisAt(r, 3), 0);
    EXPECT_EQ(axisAt(r, 5), -8192); // the other axis is unaffected
}

TEST(GamepadReport, TriggersAreClampedAndRoundedHalfAway) {
    ControllerState s;
    s.leftTrigger = 1.2f;
    s.rightTrigger = -0.1f;
    auto r = VirtualGamepad::inputReport(s);
    EXPECT_EQ(r[11], 255);
    EXPECT_EQ(r[12], 0);

    s.leftTrigger = 0.5f; // 127.5
    s.rightTrigger = 0.25f;
    r = VirtualGamepad::inputReport(s);
    EXPECT_EQ(r[11], 128);
    EXPECT_EQ(r[12], 64);
}

TEST(GamepadReport, GyroAimBlendsIntoTheRightStickWithinTheUnitCircle) {
    // (0.9, 0) + 0.25 (0.8, 0) = (1.1, 0), scaled back to length 1.
    EXPECT_EQ(axisAt(rightStickReport({0.9f, 0}, {0.8f, 0}), 7), 32767);
    // Gyro alone reaches a quarter of its value.
    EXPECT_EQ(axisAt(rightStickReport({0, 0}, {2, 0}), 7), 16384);
    // Length exactly 1 stays as it is; Rz is negated.
    auto r = rightStickReport({0, 0.75f}, {0, 1});
    EXPECT_EQ(axisAt(r, 7), 0);
    EXPECT_EQ(axisAt(r, 9), -32767);
    r = rightStickReport({0.5f, 0}, {2, 0});
    EXPECT_EQ(axisAt(r, 7), 32767);
    // Beyond 1 the direction is kept: (1, 1) becomes (0.7071, 0.7071).
    r = rightStickReport({1, 1}, {0, 0});
    EXPECT_EQ(axisAt(r, 7), 23170);
    EXPECT_EQ(axisAt(r, 9), -23170);
    // Scaling is by length, not per component: (0.8, -0.8) is longer than 1.
    r = rightStickReport({0.6f, -0.6f}, {0.8f, -0.8f});
    EXPECT_EQ(axisAt(r, 7), 23170);
    EXPECT_EQ(axisAt(r, 9), 23170);
    // Inside the circle nothing is scaled.
    r = rightStickReport({0.3f, 0.4f}, {0, 0});
    EXPECT_EQ(axisAt(r, 7), 9830);
    EXPECT_EQ(axisAt(r, 9), -13107);
    // A non-finite gyro component zeroes only what it reaches.
    r = rightStickReport({0, 0.5f}, {nanF, 0});
    EXPECT_EQ(axisAt(r, 7), 0);
    EXPECT_EQ(axisAt(r, 9), -16384);
}

// Walks the descriptor's items and adds up the report sizes it declares, so that the
// descriptor and the report built by inputReport cannot drift apart.
TEST(GamepadReport, DescriptorDeclaresThe13ByteInputAnd2ByteOutputWithoutReportIds) {
    const auto& d = VirtualGamepad::reportDescriptor;
    ASSERT_EQ(d.size(), 105u);
    unsigned reportSize = 0, reportCount = 0, inputBits = 0, outputBits = 0;
    int depth = 0, collections = 0;
    bool reportIDs = false;
    std::size_t i = 0;
    while (i < d.size()) {
        std::uint8_t prefix = d[i];
        std::size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        ASSERT_LE(i + 1 + size, d.size()) << "item at " << i << " runs past the end";
        unsigned value = 0;
        for (std::size_t k = 0; k < size; ++k) {
            value |= unsigned(d[i + 1 + k]) << (8 * k);
        }
        switch (prefix & 0xFC) {
        case 0x74:
            reportSize = value;
            break;
        case 0x94:
            reportCount = value;
            break;
        case 0x84:
            reportIDs = true;
            break;
        case 0x80:
            inputBits += reportSize * reportCount;
            break;
        case 0x90:
            outputBits += reportSize * reportCount;
            break;
        case 0xA0:
            ++depth;
            ++collections;
            break;
        case 0xC0:
            --depth;
            break;
        default:
            break;
        }
        i += 1 + size;
    }
    EXPECT_EQ(i, d.size());
    EXPECT_EQ(depth, 0);
    EXPECT_EQ(collections, 1);
    EXPECT_FALSE(reportIDs);
    EXPECT_EQ(inputBits, 8 * sizeof(InputReport));
    EXPECT_EQ(outputBits, 16u);
    EXPECT_EQ(d[0], 0x05);
    EXPECT_EQ(d[32], 0x46); // physical maximum 315 for the hat
    EXPECT_EQ(d[104], 0xC0);
}

TEST(GamepadReport, DevicePropertiesNameThePlayerAndThePhone) {
    auto p = VirtualGamepad::deviceProperties(3, "0A1B2C3D-0000-4000-8000-00000000ABCD");
    EXPECT_EQ(p.product, "JOLTO Controller 3");
    EXPECT_EQ(p.manufacturer, "Zevrin Works");
    EXPECT_EQ(p.vendorID, 0x1209u);
    EXPECT_EQ(p.productID, 0x0001u);
    EXPECT_EQ(p.serialNumber, "0A1B2C3D-0000-4000-8000-00000000ABCD");
    EXPECT_EQ(p.uniqueID, "zevrin.zevcontroller.0A1B2C3D-0000-4000-8000-00000000ABCD");
    EXPECT_EQ(p.reportDescriptor, Bytes(VirtualGamepad::reportDescriptor.begin(),
                                        VirtualGamepad::reportDescriptor.end()));
}

// ---- Feeding through a device ----

class GamepadFeeding : public ::testing::Test {
protected:
    FakeVirtualHidDeviceFactory factory;
    std::shared_ptr<FakeHidDeviceLog> log = factory.log;

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
    // The device that could not be created is let go without any report.
    EXPECT_TRUE(log->with([&] { return log->devicesDestroyed == 1 && log->dispatched.empty(); }));
    EXPECT_EQ(log->with([&] { return log->properties->product; }), "JOLTO Controller 2");
}

TEST_F(GamepadFeeding, ReportsArriveInOrderThenOneNeutralReportEndsTheDevice) {
    auto gamepad = make();
    ASSERT_NE(gamepad, nullptr);
    for (int n = 1; n <= 5; ++n) {
        gamepad->push(numbered(n));
    }
    gamepad->finish();
    gamepad->push(numbered(99)); // after the end: ignored
    ASSERT_TRUE(waitForDestroyed());
    std::vector<Bytes> expected;
    for (int n = 1; n <= 5; ++n) {
        expected.push_back(bytes(numbered(n)));
    }
    expected.push_back(bytes(VirtualGamepad::neutralReport()));
    EXPECT_EQ(dispatched(), expected);
}

TEST_F(GamepadFeeding, SlowDeviceKeepsOnlyTheNewest32Reports) {
    log->blockDispatch = true;
    auto gamepad = make();
    ASSERT_NE(gamepad, nullptr);
    gamepad->push(numbered(1000));
    ASSERT_TRUE(log->waitUntil([&] { return log->dispatchesEntered == 1; }));
    for (int n = 0; n < 100; ++n) {
        gamepad->push(numbered(n));
    }
    gamepad->finish();
    log->setBlockDispatch(false);
    ASSERT_TRUE(waitForDestroyed());

    std::vector<Bytes> expected{bytes(numbered(1000))};
    for (int n = 68; n < 100; ++n) {
        expected.push_back(bytes(numbered(n)));
    }
    expected.push_back(bytes(VirtualGamepad::neutralReport()));
    EXPECT_EQ(dispatched(), expected);
}

TEST_F(GamepadFeeding, DispatchErrorsDoNotStopTheFeeder) {
    log->failDispatch = true;
    auto gamepad = make();
    ASSERT_NE(gamepad, nullptr);
    gamepad->push(numbered(1));
    gamepad->push(numbered(2));
    gamepad->finish();
    ASSERT_TRUE(waitForDestroyed());
    EXPECT_EQ(dispatched(), (std::vector{bytes(numbered(1)), bytes(numbered(2)),
                                         bytes(VirtualGamepad::neutralReport())}));
}

TEST_F(GamepadFeeding, DestroyingTheGamepadEndsTheDeviceBeforeReturning) {
    auto gamepad = make();
    ASSERT_NE(gamepad, nullptr);
    gamepad->push(numbered(7));
    gamepad.reset();
    EXPECT_TRUE(log->with([&] { return log->devicesDestroyed == 1; }));
    EXPECT_EQ(dispatched(),
              (std::vector{bytes(numbered(7)), bytes(VirtualGamepad::neutralReport())}));
}

TEST_F(GamepadFeeding, ReportsWaitUntilTheSystemHasStartedTheDevice) {
    log->liveOnCreate = false;
    auto gamepad = make();
    ASSERT_NE(gamepad, nullptr);
    for (int n = 0; n < 40; ++n) {
        gamepad->push(numbered(n));
    }
    log->start();
    ASSERT_TRUE(log->waitUntil([&] { return log->dispatched.size() == 32; }));
    gamepad->finish();
    ASSERT_TRUE(waitForDestroyed());
    auto sent = dispatched();
    ASSERT_EQ(sent.size(), 33u);
    EXPECT_EQ(sent.front(), bytes(numbered(8)));
    EXPECT_EQ(sent[31], bytes(numbered(39)));
    EXPECT_EQ(sent.back(), bytes(VirtualGamepad::neutralReport()));
}

TEST_F(GamepadFeeding, DeviceNeverStartedEndsWithoutReports) {
    log->liveOnCreate = false;
    auto gamepad = make();
    ASSERT_NE(gamepad, nullptr);
    gamepad->push(numbered(1));
    gamepad.reset();
    EXPECT_TRUE(log->with([&] { return log->devicesDestroyed == 1 && log->dispatched.empty(); }));
}

TEST_F(GamepadFeeding, OutputReportsBecomeRumbleOnTheFeederThread) {
    std::mutex m;
    std::vector<std::pair<float, float>> levels;
    std::thread::id rumbleThread;
    auto gamepad = make([&](float heavy, float light) {
        std::lock_guard lock(m);
        levels.emplace_back(heavy, light);
        rumbleThread = std::this_thread::get_id();
    });
    ASSERT_NE(gamepad, nullptr);
    log->send({false, ReportType::output, 0, {0x80, 0xFF}});
    log->send({false, ReportType::output, 0, {0x80}});             // too short
    log->send({false, ReportType::feature, 0, {0x10, 0x20}});      // not an output report
    log->send({false, ReportType::output, 5, {0x00, 0x33, 0x44}}); // id and extra bytes ignored
    ASSERT_TRUE(log->waitUntil([&] { return log->requestsHandled == 4; }));

    std::lock_guard lock(m);
    ASSERT_EQ(levels.size(), 2u);
    EXPECT_NEAR(levels[0].first, 0.502f, 0.001f);
    EXPECT_EQ(levels[0].second, 1.0f);
    EXPECT_EQ(levels[1].first, 0.0f);
    EXPECT_EQ(levels[1].second, 0x33 / 255.0f);
    EXPECT_NE(rumbleThread, std::this_thread::get_id());
    EXPECT_EQ(rumbleThread, log->with([&] { return log->servicingThread; }));
}

TEST_F(GamepadFeeding, GetReportIsAnsweredWithTheNeutralReport) {
    auto gamepad = make();
    ASSERT_NE(gamepad, nullptr);
    ControllerState pressed;
    pressed.buttons = {ControllerButton::south};
    gamepad->push(VirtualGamepad::inputReport(pressed));
    log->send({true, ReportType::input, 0, {}});
    log->send({true, ReportType::feature, 3, {}});
    ASSERT_TRUE(log->waitUntil([&] { return log->getReportAnswers.size() == 2; }));
    auto neutral = bytes(VirtualGamepad::neutralReport());
    EXPECT_EQ(log->with([&] { return log->getReportAnswers; }), (std::vector{neutral, neutral}));
}

TEST_F(GamepadFeeding, RumbleHandlerMayDropItsOwnGamepad) {
    std::unique_ptr<VirtualGamepad> gamepad;
    gamepad = make([&](float, float) { gamepad.reset(); });
    ASSERT_NE(gamepad, nullptr);
    gamepad->push(numbered(1));
    ASSERT_TRUE(log->waitUntil([&] { return log->dispatched.size() == 1; }));
    log->send({false, ReportType::output, 0, {1, 2}});
    ASSERT_TRUE(waitForDestroyed());
    EXPECT_EQ(gamepad, nullptr);
    EXPECT_EQ(dispatched().back(), bytes(VirtualGamepad::neutralReport()));
}
