#include <numeric>

#include <gtest/gtest.h>

#include "fakes/FakePointerDisplay.h"
#include "fakes/RecordingInputSink.h"
#include "output/KeyboardMouseOutput.h"

using namespace jolto;
using jolto::testing::FakePointerDisplay;
using jolto::testing::RecordingInputSink;
using B = ControllerButton;
using Type = InputEventSink::EventType;
using Sink = RecordingInputSink;

namespace {

constexpr std::uint16_t W = 13, A = 0, S = 1, D = 2, Space = 49, Shift = 56, RightShift = 60;
constexpr std::uint16_t Command = 55, RightCommand = 54, Z = 6;
constexpr std::uint64_t shiftBit = InputEventSink::shiftFlag;
constexpr std::uint64_t commandBit = InputEventSink::commandFlag;

const Uuid phone1 = *Uuid::parse("00000000-0000-0000-0000-000000000001");
const Uuid phone2 = *Uuid::parse("00000000-0000-0000-0000-000000000002");

ControllerState pressing(std::initializer_list<ControllerButton> buttons) {
    ControllerState s;
    s.buttons = ButtonSet(buttons);
    return s;
}

ControllerState leftStickAt(float x, float y) {
    ControllerState s;
    s.leftStick = {x, y};
    return s;
}

ControllerState rightStickAt(float x, float y) {
    ControllerState s;
    s.rightStick = {x, y};
    return s;
}

KeyMapping mappingWith(std::initializer_list<std::pair<ControllerButton, KeyAction>> entries,
                       StickAction left = StickAction::wasd,
                       StickAction right = StickAction::mouse) {
    KeyMapping m;
    for (auto [b, a] : entries) {
        m.setAction(b, a);
    }
    m.leftStick = left;
    m.rightStick = right;
    m.pointerSpeed = 1400;
    m.gyroSpeed = 1100;
    return m;
}

struct Fixture : ::testing::Test {
    Sink sink;
    FakePointerDisplay display;
    KeyboardMouseOutput output{sink, display};

    // The whole-point deltas of the posted moves, as (dx, dy) pairs.
    std::vector<std::pair<std::int64_t, std::int64_t>> moves() const {
        std::vector<std::pair<std::int64_t, std::int64_t>> result;
        for (const auto& e : sink.events) {
            if (e.type == Type::mouseMoved || e.type == Type::leftMouseDragged ||
                e.type == Type::rightMouseDragged || e.type == Type::otherMouseDragged) {
                result.emplace_back(e.deltaX, e.deltaY);
            }
        }
        return result;
    }
};

} // namespace

using DirectionKeys = Fixture;

TEST_F(DirectionKeys, PressPastHalfAndReleaseOnlyAtOrBelowThreePointThree) {
    output.update(phone1, leftStickAt(0, 0.45f));
    EXPECT_TRUE(sink.events.empty());
    output.update(phone1, leftStickAt(0, 0.55f));
    EXPECT_EQ(sink.events, (std::vector{Sink::keyDown(W)}));
    sink.clear();
    output.update(phone1, leftStickAt(0, 0.35f));
    output.update(phone1, leftStickAt(0, 0.31f));
    EXPECT_TRUE(sink.events.empty());
    output.update(phone1, leftStickAt(0, 0.3f));
    EXPECT_EQ(sink.events, (std::vector{Sink::keyUp(W)}));
}

TEST_F(DirectionKeys, AllFourDirectionsAndDiagonalsForWasdAndArrows) {
    output.update(phone1, leftStickAt(-0.6f, -0.6f));
    EXPECT_EQ(output.heldKeys(), (std::vector<std::uint16_t>{A, S}));
    output.update(phone1, leftStickAt(0.6f, 0.6f));
    EXPECT_EQ(output.heldKeys(), (std::vector<std::uint16_t>{W, D}));

    output.setMapping(mappingWith({}, StickAction::none, StickAction::arrows));
    output.update(phone1, rightStickAt(-1, 0.7f));
    EXPECT_EQ(output.heldKeys(), (std::vector<std::uint16_t>{126, 123}));
    output.update(phone1, rightStickAt(1, -1));
    EXPECT_EQ(output.heldKeys(), (std::vector<std::uint16_t>{125, 124}));
}

TEST_F(DirectionKeys, AKeyHeldByAButtonUsesTheReleaseThresholdAndStaysWhileTheButtonHolds) {
    output.setMapping(mappingWith({{B::south, KeyAction::key(W)}}));
    ControllerState s = pressing({B::south});
    s.leftStick = {0, 0.6f};
    output.update(phone1, s);
    EXPECT_EQ(sink.events, (std::vector{Sink::keyDown(W)}));
    s.leftStick = {0, 0};
    output.update(phone1, s);
    EXPECT_EQ(sink.events.size(), 1u);
    // Held by the button, so the stick keeps it past 0.3 rather than needing 0.5.
    s.leftStick = {0, 0.4f};
    s.buttons = {};
    output.update(phone1, s);
    EXPECT_EQ(sink.events.size(), 1u);
    s.leftStick = {0, 0};
    output.update(phone1, s);
    EXPECT_EQ(sink.events.back(), Sink::keyUp(W));
}

using Merge = Fixture;

TEST_F(Merge, AKeyStaysDownWhileAnyControllerWantsIt) {
    output.update(phone1, pressing({B::south}));
    output.update(phone1, pressing({B::south}));
    EXPECT_EQ(sink.batchEnds.size(), 1u) << "an unchanged state ends no batch";
    output.update(phone2, pressing({B::south}));
    EXPECT_EQ(sink.events, (std::vector{Sink::keyDown(Space)}));
    output.update(phone1, {});
    EXPECT_EQ(sink.events.size(), 1u);
    output.update(phone2, {});
    EXPECT_EQ(sink.events.back(), Sink::keyUp(Space));
}

TEST_F(Merge, RemovingAControllerReleasesOnlyWhatItAloneHeld) {
    output.update(phone1, pressing({B::south, B::east}));
    output.update(phone2, pressing({B::east}));
    sink.clear();
    output.remove(phone1);
    EXPECT_EQ(sink.events, (std::vector{Sink::keyUp(Space)}));
    output.remove(phone1);
    EXPECT_EQ(sink.events.size(), 1u);
    output.removeAllClients();
    EXPECT_EQ(sink.events.back(), Sink::keyUp(8));
    EXPECT_TRUE(output.heldKeys().empty());
}

TEST_F(Merge, ChangingTheMappingSwapsKeysInOneBatchAndAnEqualMappingDoesNothing) {
    output.update(phone1, pressing({B::south}));
    sink.clear();
    output.setMapping(KeyMapping::shooter());
    EXPECT_TRUE(sink.events.empty());
    output.setMapping(KeyMapping::retro());
    EXPECT_EQ(sink.events, (std::vector{Sink::keyUp(Space), Sink::keyDown(Z)}));
    EXPECT_EQ(sink.batchEnds, (std::vector<std::size_t>{2}));
    EXPECT_EQ(output.mapping(), KeyMapping::retro());
}

using Modifiers = Fixture;

TEST_F(Modifiers, PressedFirstReleasedLastAndStampedOnEveryKey) {
    output.setMapping(
        mappingWith({{B::south, KeyAction::key(A)}, {B::east, KeyAction::key(Shift)}}));
    output.update(phone1, pressing({B::south, B::east}));
    EXPECT_EQ(sink.events,
              (std::vector{Sink::flagsChanged(Shift, true, shiftBit), Sink::keyDown(A, shiftBit)}));
    sink.clear();
    output.update(phone1, {});
    EXPECT_EQ(sink.events,
              (std::vector{Sink::keyUp(A, shiftBit), Sink::flagsChanged(Shift, false, 0)}));
    EXPECT_EQ(output.modifierFlags(), 0u);
}

TEST_F(Modifiers, ReleasingOneSideClearsTheSharedBit) {
    output.setMapping(mappingWith({{B::south, KeyAction::key(Command)},
                                   {B::east, KeyAction::key(RightCommand)},
                                   {B::west, KeyAction::key(A)}}));
    output.update(phone1, pressing({B::south, B::east}));
    EXPECT_EQ(output.modifierFlags(), commandBit);
    sink.clear();
    output.update(phone1, pressing({B::east, B::west}));
    EXPECT_EQ(sink.events,
              (std::vector{Sink::flagsChanged(Command, false, 0), Sink::keyDown(A, 0)}));
}

TEST_F(Modifiers, CapsLockIsAPlainKeyAndMouseButtonsCarryTheFlags) {
    output.setMapping(mappingWith({{B::south, KeyAction::key(57)},
                                   {B::east, KeyAction::key(RightShift)},
                                   {B::west, KeyAction::mouse(MouseButton::middle)}}));
    display.location = PointerDisplay::Point{5, 7};
    output.update(phone1, pressing({B::south, B::east, B::west}));
    EXPECT_EQ(
        sink.events,
        (std::vector{Sink::flagsChanged(RightShift, true, shiftBit), Sink::keyDown(57, shiftBit),
                     Sink::mouse(Type::otherMouseDown, 2, {5, 7}, 0, 0, shiftBit)}));
    sink.clear();
    display.location.reset();
    output.update(phone1, {});
    EXPECT_EQ(sink.events,
              (std::vector{Sink::keyUp(57, shiftBit), Sink::flagsChanged(RightShift, false, 0),
                           Sink::mouse(Type::otherMouseUp, 2, {0, 0}, 0, 0, 0)}));
}

using Motion = Fixture;

TEST_F(Motion, FullDeflectionCarriesFractionsAcrossSteps) {
    output.update(phone1, rightStickAt(1, 0));
    ASSERT_TRUE(output.needsMotion());
    for (int i = 0; i < 5; ++i) {
        output.step(0.008);
    }
    using Move = std::pair<std::int64_t, std::int64_t>;
    EXPECT_EQ(moves(), (std::vector<Move>{{11, 0}, {11, 0}, {11, 0}, {11, 0}, {12, 0}}));
    EXPECT_EQ(sink.batchEnds.size(), 5u);
}

TEST_F(Motion, NegativeFractionsKeepTheirSignAndStickUpMovesUp) {
    output.update(phone1, rightStickAt(-0.5f, 0.5f));
    // Each step adds −0.5·√0.5·1400·0.008 ≈ −3.96 in x and the same in screen y (y grows
    // downward).
    for (int i = 0; i < 4; ++i) {
        output.step(0.008);
    }
    std::int64_t sumX = 0, sumY = 0;
    for (auto [dx, dy] : moves()) {
        sumX += dx;
        sumY += dy;
    }
    EXPECT_EQ(sumX, -15); // −15.84 truncated toward zero
    EXPECT_EQ(sumY, -15);
}

TEST_F(Motion, GyroMovesThePointerWhateverTheSticksDo) {
    output.setMapping(mappingWith({}, StickAction::none, StickAction::none));
    ControllerState s;
    s.rightStick = {1, 1};
    output.update(phone1, s);
    EXPECT_FALSE(output.needsMotion());
    s.gyroAim = {0.5f, -1};
    output.update(phone1, s);
    ASSERT_TRUE(output.needsMotion());
    output.step(0.01);
    // 0.5·1100·0.01 = 5.5 right; −(−1)·1100·0.01 = 11 down.
    using Move = std::pair<std::int64_t, std::int64_t>;
    EXPECT_EQ(moves(), (std::vector<Move>{{5, 11}}));

    // Both sticks of one phone and the stick of another add up: three full deflections of
    // 14 points each; the half point carried from the gyro stays behind.
    output.setMapping(mappingWith({}, StickAction::mouse, StickAction::mouse));
    s = {};
    s.leftStick = {1, 0};
    s.rightStick = {1, 0};
    output.update(phone1, s);
    output.update(phone2, rightStickAt(1, 0));
    sink.clear();
    output.step(0.01);
    EXPECT_EQ(moves(), (std::vector<Move>{{42, 0}}));
}

TEST_F(Motion, DragsFollowTheHeldButtonAndTheButtonUpHappensWhereThePointerIs) {
    output.update(phone1, [] {
        ControllerState s = pressing({B::rightTrigger}); // left click in the shooter preset
        s.rightStick = {1, 0};
        return s;
    }());
    display.location = PointerDisplay::Point{100, 50};
    sink.clear();
    output.step(0.01);
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(sink.events[0], Sink::mouse(Type::leftMouseDragged, 0, {114, 50}, 14, 0));
    display.location = PointerDisplay::Point{114, 50};
    output.update(phone1, rightStickAt(0, 0));
    EXPECT_EQ(sink.events.back(), Sink::mouse(Type::leftMouseUp, 0, {114, 50}));
    EXPECT_FALSE(output.needsMotion());

    output.update(phone1, [] {
        ControllerState s = pressing({B::leftTrigger}); // right click
        s.gyroAim = {0, -1};
        return s;
    }());
    sink.clear();
    output.step(0.01);
    EXPECT_EQ(sink.events[0].type, Type::rightMouseDragged);
    EXPECT_EQ(sink.events[0].buttonNumber, 1u);
}

TEST_F(Motion, ThePointerStaysInsideTheDisplaysButTheDeltaIsReported) {
    display.displays =
        std::vector<PointerDisplay::Rect>{{0, 0, 1920, 1080}, {1920, -200, 3200, 1240}};
    display.location = PointerDisplay::Point{3199, 1239};
    output.update(phone1, rightStickAt(1, -1));
    output.step(0.01);
    ASSERT_EQ(sink.events.size(), 1u);
    const auto& e = sink.events[0];
    EXPECT_EQ(e.location, (PointerDisplay::Point{3199, 1239}));
    EXPECT_GT(e.deltaX, 0);
    EXPECT_GT(e.deltaY, 0);

    display.location = PointerDisplay::Point{-500, -500};
    output.step(0.01);
    EXPECT_EQ(sink.events.back().location, (PointerDisplay::Point{0, -200}));
}

TEST_F(Motion, UnknownDisplaysLeaveTheTargetUnclampedAndTheMainDisplayIsTheFallback) {
    display.displays.reset();
    display.location.reset();
    output.update(phone1, rightStickAt(-1, 0));
    output.step(0.01);
    EXPECT_EQ(sink.events.back().location, (PointerDisplay::Point{-14, 0}));
    EXPECT_EQ(sink.events.back().deltaX, -14);

    // No display listed: the main display's bounds clamp. A fresh output asks at once.
    Sink sink2;
    FakePointerDisplay display2;
    display2.mainDisplay = PointerDisplay::Rect{0, 0, 800, 600};
    KeyboardMouseOutput output2(sink2, display2);
    output2.update(phone1, rightStickAt(-1, 0));
    output2.step(0.01);
    EXPECT_EQ(sink2.events.back().location, (PointerDisplay::Point{0, 0}));
}

TEST_F(Motion, TheDisplayListIsReadOnceEvery241MovesButUnknownIsAskedAgain) {
    display.displays.reset();
    display.location = PointerDisplay::Point{50000, 50000};
    output.update(phone1, rightStickAt(1, 0));
    output.step(0.01);
    output.step(0.01);
    EXPECT_EQ(display.listCalls, 2) << "no answer is kept";
    display.displays = std::vector<PointerDisplay::Rect>{{0, 0, 100000, 100000}};
    output.step(0.01);
    EXPECT_EQ(display.listCalls, 3);
    display.listCalls = 1;
    for (int i = 1; i < 241; ++i) {
        output.step(0.01);
    }
    EXPECT_EQ(display.listCalls, 1);
    output.step(0.01); // the 242nd move
    EXPECT_EQ(display.listCalls, 2);
    // A changed display layout is seen from then on.
    display.displays = std::vector<PointerDisplay::Rect>{{0, 0, 10, 10}};
    for (int i = 0; i < 241; ++i) {
        output.step(0.01);
    }
    EXPECT_EQ(display.listCalls, 3);
    EXPECT_EQ(sink.events.back().location, (PointerDisplay::Point{9, 9}));
}

TEST_F(Motion, ScrollSignsAndRate) {
    output.setMapping(mappingWith({}, StickAction::scroll, StickAction::none));
    output.update(phone1, leftStickAt(0, 0.5f));
    ASSERT_TRUE(output.needsMotion());
    for (int i = 0; i < 125; ++i) { // one second
        output.step(0.008);
    }
    std::int64_t vertical = 0, horizontal = 0;
    for (const auto& e : sink.events) {
        ASSERT_EQ(e.type, Type::scrollWheel);
        EXPECT_EQ(e.flags, 0u);
        EXPECT_GE(e.wheel1, 0);
        vertical += e.wheel1;
        horizontal += e.wheel2;
    }
    // 0.5 · 0.5 · 1400 · 0.6 = 210 pixels per second, up.
    EXPECT_GE(vertical, 209);
    EXPECT_LE(vertical, 210);
    EXPECT_EQ(horizontal, 0);

    sink.clear();
    output.update(phone1, leftStickAt(1, 0));
    output.step(0.01);
    EXPECT_EQ(sink.events, (std::vector{Sink::scroll(0, -8)})); // 8.4 pixels, right
}

TEST_F(Motion, HugeSpeedsAndBrokenAimAreCutToTheFieldsNotOverflowed) {
    KeyMapping m = mappingWith({}, StickAction::scroll, StickAction::mouse);
    m.pointerSpeed = 1e300;
    output.setMapping(m);
    ControllerState s;
    s.leftStick = {0, -1};
    s.rightStick = {1, 0};
    output.update(phone1, s);
    output.step(0.05);
    ASSERT_EQ(sink.events.size(), 2u);
    EXPECT_EQ(sink.events[0].deltaX, std::int64_t{1} << 53);
    EXPECT_EQ(sink.events[1].wheel1, -2147483647);

    // A NaN aim contributes nothing and does not stop later motion.
    s = {};
    s.gyroAim = {std::numeric_limits<float>::quiet_NaN(), 0};
    output.setMapping(KeyMapping::shooter());
    output.update(phone1, s);
    sink.clear();
    output.step(0.01);
    EXPECT_TRUE(sink.events.empty());
    output.update(phone1, rightStickAt(1, 0));
    output.step(0.01);
    EXPECT_EQ(moves(), (std::vector<std::pair<std::int64_t, std::int64_t>>{{14, 0}}));
}
