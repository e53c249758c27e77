#include <limits>

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
using Keys = std::vector<std::uint16_t>;
using Moves = std::vector<std::pair<std::int64_t, std::int64_t>>;
using Point = PointerDisplay::Point;

namespace {

constexpr std::uint16_t W = 13, A = 0, S = 1, D = 2, Space = 49, Shift = 56, RightShift = 60;
constexpr std::uint16_t Command = 55, RightCommand = 54, Z = 6, CapsLock = 57;
constexpr std::uint64_t shiftBit = InputEventSink::shiftFlag;
constexpr std::uint64_t commandBit = InputEventSink::commandFlag;

const Uuid phone1 = *Uuid::parse("00000000-0000-0000-0000-000000000001");
const Uuid phone2 = *Uuid::parse("00000000-0000-0000-0000-000000000002");

ControllerState state(ButtonSet buttons, StickVector left = {}, StickVector right = {},
                      StickVector gyro = {}) {
    ControllerState s;
    s.buttons = buttons;
    s.leftStick = left;
    s.rightStick = right;
    s.gyroAim = gyro;
    return s;
}
ControllerState leftAt(float x, float y) {
    return state({}, {x, y});
}
ControllerState rightAt(float x, float y) {
    return state({}, {}, {x, y});
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
    return m;
}

struct Output : ::testing::Test {
    Sink sink;
    FakePointerDisplay display;
    KeyboardMouseOutput output{sink, display};

    // The whole-point deltas of the posted moves and drags.
    Moves moves() const {
        Moves result;
        for (const auto& e : sink.events) {
            if (e.type == Type::mouseMoved || e.type == Type::leftMouseDragged ||
                e.type == Type::rightMouseDragged || e.type == Type::otherMouseDragged) {
                result.emplace_back(e.deltaX, e.deltaY);
            }
        }
        return result;
    }
    void steps(int n, double dt) {
        for (int i = 0; i < n; ++i) {
            output.step(dt);
        }
    }
};

} // namespace

TEST_F(Output, StickKeysPressPastHalfAndReleaseOnlyAtOrBelowPointThree) {
    output.update(phone1, leftAt(0, 0.45f));
    EXPECT_TRUE(sink.events.empty());
    output.update(phone1, leftAt(0, 0.55f));
    EXPECT_EQ(sink.events, (std::vector{Sink::keyDown(W)}));
    output.update(phone1, leftAt(0, 0.35f));
    output.update(phone1, leftAt(0, 0.31f));
    EXPECT_EQ(sink.events.size(), 1u);
    output.update(phone1, leftAt(0, 0.3f));
    EXPECT_EQ(sink.events.back(), Sink::keyUp(W));

    output.update(phone1, leftAt(-0.6f, -0.6f));
    EXPECT_EQ(output.heldKeys(), (Keys{A, S}));
    output.update(phone1, leftAt(0.6f, 0.6f));
    EXPECT_EQ(output.heldKeys(), (Keys{W, D}));
    output.setMapping(mappingWith({}, StickAction::none, StickAction::arrows));
    output.update(phone1, rightAt(-1, 0.7f));
    EXPECT_EQ(output.heldKeys(), (Keys{126, 123}));
    output.update(phone1, rightAt(1, -1));
    EXPECT_EQ(output.heldKeys(), (Keys{125, 124}));
}

TEST_F(Output, AStickKeyAlsoHeldByAButtonNeedsOnlyTheReleaseThreshold) {
    output.setMapping(mappingWith({{B::south, KeyAction::key(W)}}));
    output.update(phone1, state({B::south}, {0, 0.6f}));
    output.update(phone1, state({B::south}));
    EXPECT_EQ(sink.events, (std::vector{Sink::keyDown(W)}));
    output.update(phone1, leftAt(0, 0.4f)); // kept past 0.3 rather than needing 0.5
    EXPECT_EQ(sink.events.size(), 1u);
    output.update(phone1, {});
    EXPECT_EQ(sink.events.back(), Sink::keyUp(W));
}

TEST_F(Output, AKeyStaysDownWhileAnyPhoneHoldsItAndRemovalReleasesOnlyItsOwn) {
    output.update(phone1, state({B::south}));
    output.update(phone1, state({B::south}));
    EXPECT_EQ(sink.batchEnds.size(), 1u) << "an unchanged state ends no batch";
    output.update(phone2, state({B::south}));
    EXPECT_EQ(sink.events, (std::vector{Sink::keyDown(Space)}));
    output.update(phone1, {});
    EXPECT_EQ(sink.events.size(), 1u);
    output.update(phone2, {});
    EXPECT_EQ(sink.events.back(), Sink::keyUp(Space));

    output.update(phone1, state({B::south, B::east}));
    output.update(phone2, state({B::east}));
    sink.clear();
    output.remove(phone1);
    EXPECT_EQ(sink.events, (std::vector{Sink::keyUp(Space)}));
    output.remove(phone1);
    EXPECT_EQ(sink.events.size(), 1u);
    output.removeAllClients();
    EXPECT_EQ(sink.events.back(), Sink::keyUp(8));
    EXPECT_TRUE(output.heldKeys().empty());
}

TEST_F(Output, ChangingTheMappingSwapsKeysInOneBatchAndAnEqualMappingDoesNothing) {
    output.update(phone1, state({B::south}));
    sink.clear();
    output.setMapping(KeyMapping::shooter());
    EXPECT_TRUE(sink.events.empty());
    output.setMapping(KeyMapping::retro());
    EXPECT_EQ(sink.events, (std::vector{Sink::keyUp(Space), Sink::keyDown(Z)}));
    EXPECT_EQ(sink.batchEnds, (std::vector<std::size_t>{2}));
    EXPECT_EQ(output.mapping(), KeyMapping::retro());
}

TEST_F(Output, ModifiersGoDownFirstUpLastAndAreStampedOnKeysAndClicks) {
    output.setMapping(
        mappingWith({{B::south, KeyAction::key(A)}, {B::east, KeyAction::key(Shift)}}));
    output.update(phone1, state({B::south, B::east}));
    EXPECT_EQ(sink.events,
              (std::vector{Sink::flagsChanged(Shift, true, shiftBit), Sink::keyDown(A, shiftBit)}));
    sink.clear();
    output.update(phone1, {});
    EXPECT_EQ(sink.events,
              (std::vector{Sink::keyUp(A, shiftBit), Sink::flagsChanged(Shift, false, 0)}));
    EXPECT_EQ(output.modifierFlags(), 0u);

    // Caps Lock is a plain key; mouse buttons carry the flags.
    output.setMapping(mappingWith({{B::south, KeyAction::key(CapsLock)},
                                   {B::east, KeyAction::key(RightShift)},
                                   {B::west, KeyAction::mouse(MouseButton::middle)}}));
    display.location = Point{5, 7};
    sink.clear();
    output.update(phone1, state({B::south, B::east, B::west}));
    EXPECT_EQ(sink.events,
              (std::vector{Sink::flagsChanged(RightShift, true, shiftBit),
                           Sink::keyDown(CapsLock, shiftBit),
                           Sink::mouse(Type::otherMouseDown, 2, {5, 7}, 0, 0, shiftBit)}));
    sink.clear();
    display.location.reset();
    output.update(phone1, {});
    EXPECT_EQ(sink.events, (std::vector{Sink::keyUp(CapsLock, shiftBit),
                                        Sink::flagsChanged(RightShift, false, 0),
                                        Sink::mouse(Type::otherMouseUp, 2, {0, 0}, 0, 0, 0)}));
}

TEST_F(Output, ReleasingOneSideOfAModifierClearsTheSharedBit) {
    output.setMapping(mappingWith({{B::south, KeyAction::key(Command)},
                                   {B::east, KeyAction::key(RightCommand)},
                                   {B::west, KeyAction::key(A)}}));
    output.update(phone1, state({B::south, B::east}));
    EXPECT_EQ(output.modifierFlags(), commandBit);
    sink.clear();
    output.update(phone1, state({B::east, B::west}));
    EXPECT_EQ(sink.events,
              (std::vector{Sink::flagsChanged(Command, false, 0), Sink::keyDown(A, 0)}));
}

TEST_F(Output, PointerMotionCarriesFractionsWithTheirSign) {
    output.update(phone1, rightAt(1, 0));
    ASSERT_TRUE(output.needsMotion());
    steps(5, 0.008);
    EXPECT_EQ(moves(), (Moves{{11, 0}, {11, 0}, {11, 0}, {11, 0}, {12, 0}}));
    EXPECT_EQ(sink.batchEnds.size(), 5u);

    // Each step adds −0.5·√0.5·1400·0.008 ≈ −3.96 in x and in screen y (y grows downward).
    output.update(phone1, rightAt(-0.5f, 0.5f));
    sink.clear();
    steps(4, 0.008);
    std::int64_t sumX = 0, sumY = 0;
    for (auto [dx, dy] : moves()) {
        sumX += dx;
        sumY += dy;
    }
    EXPECT_EQ(sumX, -15); // −15.84 truncated toward zero
    EXPECT_EQ(sumY, -15);
}

TEST_F(Output, GyroMovesThePointerWhateverTheSticksDoAndAllSourcesAddUp) {
    output.setMapping(mappingWith({}, StickAction::none, StickAction::none));
    output.update(phone1, rightAt(1, 1));
    EXPECT_FALSE(output.needsMotion());
    output.update(phone1, state({}, {}, {1, 1}, {0.5f, -1}));
    ASSERT_TRUE(output.needsMotion());
    output.step(0.01);
    // 0.5·1100·0.01 = 5.5 right; −(−1)·1100·0.01 = 11 down.
    EXPECT_EQ(moves(), (Moves{{5, 11}}));

    // Both sticks of one phone and the stick of another: three full deflections of 14 points
    // each; the half point carried from the gyro stays behind.
    output.setMapping(mappingWith({}, StickAction::mouse, StickAction::mouse));
    output.update(phone1, state({}, {1, 0}, {1, 0}));
    output.update(phone2, rightAt(1, 0));
    sink.clear();
    output.step(0.01);
    EXPECT_EQ(moves(), (Moves{{42, 0}}));
}

TEST_F(Output, DragsFollowTheHeldButtonAndTheButtonUpHappensWhereThePointerIs) {
    output.update(phone1, state({B::rightTrigger}, {}, {1, 0})); // left click in the shooter
    display.location = Point{100, 50};
    sink.clear();
    output.step(0.01);
    EXPECT_EQ(sink.events, (std::vector{Sink::mouse(Type::leftMouseDragged, 0, {114, 50}, 14, 0)}));
    display.location = Point{114, 50};
    output.update(phone1, {});
    EXPECT_EQ(sink.events.back(), Sink::mouse(Type::leftMouseUp, 0, {114, 50}));
    EXPECT_FALSE(output.needsMotion());

    output.update(phone1, state({B::leftTrigger}, {}, {}, {0, -1})); // right click
    sink.clear();
    output.step(0.01);
    EXPECT_EQ(sink.events[0].type, Type::rightMouseDragged);
    EXPECT_EQ(sink.events[0].buttonNumber, 1u);
}

TEST_F(Output, ThePointerStaysInsideTheDisplaysButTheDeltaIsReported) {
    display.displays =
        std::vector<PointerDisplay::Rect>{{0, 0, 1920, 1080}, {1920, -200, 3200, 1240}};
    display.location = Point{3199, 1239};
    output.update(phone1, rightAt(1, -1));
    output.step(0.01);
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(sink.events[0].location, (Point{3199, 1239}));
    EXPECT_GT(sink.events[0].deltaX, 0);
    EXPECT_GT(sink.events[0].deltaY, 0);
    display.location = Point{-500, -500};
    output.step(0.01);
    EXPECT_EQ(sink.events.back().location, (Point{0, -200}));
}

TEST_F(Output, UnknownDisplaysLeaveTheTargetUnclampedAndTheMainDisplayIsTheFallback) {
    display.displays.reset();
    display.location.reset();
    output.update(phone1, rightAt(-1, 0));
    output.step(0.01);
    EXPECT_EQ(sink.events.back().location, (Point{-14, 0}));
    EXPECT_EQ(sink.events.back().deltaX, -14);

    // No display listed: the main display's bounds clamp. A fresh output asks at once.
    Sink sink2;
    FakePointerDisplay display2;
    display2.mainDisplay = PointerDisplay::Rect{0, 0, 800, 600};
    KeyboardMouseOutput output2(sink2, display2);
    output2.update(phone1, rightAt(-1, 0));
    output2.step(0.01);
    EXPECT_EQ(sink2.events.back().location, (Point{0, 0}));
}

TEST_F(Output, TheDisplayListIsReadOnceEvery241MovesButUnknownIsAskedAgain) {
    display.displays.reset();
    display.location = Point{50000, 50000};
    output.update(phone1, rightAt(1, 0));
    steps(2, 0.01);
    EXPECT_EQ(display.listCalls, 2) << "no answer is kept";
    display.displays = std::vector<PointerDisplay::Rect>{{0, 0, 100000, 100000}};
    output.step(0.01);
    EXPECT_EQ(display.listCalls, 3);
    display.listCalls = 1;
    steps(240, 0.01);
    EXPECT_EQ(display.listCalls, 1);
    output.step(0.01); // the 242nd move
    EXPECT_EQ(display.listCalls, 2);
    // A changed display layout is seen from then on.
    display.displays = std::vector<PointerDisplay::Rect>{{0, 0, 10, 10}};
    steps(241, 0.01);
    EXPECT_EQ(display.listCalls, 3);
    EXPECT_EQ(sink.events.back().location, (Point{9, 9}));
}

TEST_F(Output, ScrollSignsAndRate) {
    output.setMapping(mappingWith({}, StickAction::scroll, StickAction::none));
    output.update(phone1, leftAt(0, 0.5f));
    ASSERT_TRUE(output.needsMotion());
    steps(125, 0.008); // one second
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
    output.update(phone1, leftAt(1, 0));
    output.step(0.01);
    EXPECT_EQ(sink.events, (std::vector{Sink::scroll(0, -8)})); // 8.4 pixels, right
}

TEST_F(Output, HugeSpeedsAndBrokenAimAreCutToTheFieldsNotOverflowed) {
    KeyMapping m = mappingWith({}, StickAction::scroll, StickAction::mouse);
    m.pointerSpeed = 1e300;
    output.setMapping(m);
    output.update(phone1, state({}, {0, -1}, {1, 0}));
    output.step(0.05);
    ASSERT_EQ(sink.events.size(), 2u);
    EXPECT_EQ(sink.events[0].deltaX, std::int64_t{1} << 53);
    EXPECT_EQ(sink.events[1].wheel1, -2147483647);

    // A NaN aim contributes nothing and does not stop later motion.
    output.setMapping(KeyMapping::shooter());
    output.update(phone1, state({}, {}, {}, {std::numeric_limits<float>::quiet_NaN(), 0}));
    sink.clear();
    output.step(0.01);
    EXPECT_TRUE(sink.events.empty());
    output.update(phone1, rightAt(1, 0));
    output.step(0.01);
    EXPECT_EQ(moves(), (Moves{{14, 0}}));
}
