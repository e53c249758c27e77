#include <array>
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
using Events = std::vector<InputEventSink::Event>;
using Keys = std::vector<std::uint16_t>;
using Point = PointerDisplay::Point;
using Rects = std::vector<PointerDisplay::Rect>;

namespace {

constexpr std::uint16_t W = 13, A = 0, S = 1, D = 2, Space = 49, RightShift = 60;
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

struct Rig {
    Sink sink;
    FakePointerDisplay display;
    KeyboardMouseOutput output{sink, display};
};

struct Output : ::testing::Test, Rig {
    void steps(int n, double dt) {
        for (int i = 0; i < n; ++i) {
            output.step(dt);
        }
    }
};

} // namespace

// A direction key is pressed past 0.5 and, once held for any reason, kept down past 0.3.
TEST_F(Output, StickKeysPressPastHalfAndReleaseOnlyAtOrBelowPointThree) {
    output.setMapping(
        mappingWith({{B::south, KeyAction::key(W)}}, StickAction::wasd, StickAction::arrows));
    const std::pair<ControllerState, Keys> steps[] = {{leftAt(0, 0.45f), {}},
                                                      {leftAt(0, 0.55f), {W}},
                                                      {leftAt(0, 0.31f), {W}},
                                                      {leftAt(0, 0.3f), {}},
                                                      {leftAt(-0.6f, -0.6f), {A, S}},
                                                      {leftAt(0.6f, 0.6f), {W, D}},
                                                      {rightAt(-1, 0.7f), {126, 123}},
                                                      {rightAt(1, -1), {125, 124}},
                                                      {state({B::south}, {0, 0.6f}), {W}},
                                                      {state({B::south}), {W}},
                                                      {leftAt(0, 0.4f), {W}},
                                                      {{}, {}}};
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        output.update(phone1, steps[i].first);
        EXPECT_EQ(output.heldKeys(), steps[i].second) << "step " << i;
    }
    EXPECT_EQ(sink.events.back(), Sink::keyUp(W));
}

TEST_F(Output, AKeyStaysDownWhileAnyPhoneHoldsItAndRemovalReleasesOnlyItsOwn) {
    output.update(phone1, state({B::south}));
    output.update(phone1, state({B::south}));
    EXPECT_EQ(sink.batchEnds.size(), 1u) << "an unchanged state ends no batch";
    output.update(phone2, state({B::south}));
    output.update(phone1, {});
    EXPECT_EQ(sink.events, (Events{Sink::keyDown(Space)}));
    output.update(phone2, {});
    EXPECT_EQ(sink.events.back(), Sink::keyUp(Space));

    output.update(phone1, state({B::south, B::east}));
    output.update(phone2, state({B::east}));
    sink.clear();
    output.remove(phone1);
    output.remove(phone1);
    EXPECT_EQ(sink.events, (Events{Sink::keyUp(Space)}));
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
    EXPECT_EQ(sink.events, (Events{Sink::keyUp(Space), Sink::keyDown(Z)}));
    EXPECT_EQ(sink.batchEnds, (std::vector<std::size_t>{2}));
    EXPECT_EQ(output.mapping(), KeyMapping::retro());
}

TEST_F(Output, ModifiersGoDownFirstUpLastAndAreStampedOnKeysAndClicks) {
    // Codes 53 to 64: Esc, Right Super, Super, Shift, Caps Lock, Alt, Control, Right Shift,
    // Right Alt, Right Control, Fn, F17.
    const std::uint64_t alt = InputEventSink::alternateFlag, control = InputEventSink::controlFlag;
    const std::uint64_t flags[] = {0,
                                   commandBit,
                                   commandBit,
                                   shiftBit,
                                   0,
                                   alt,
                                   control,
                                   shiftBit,
                                   alt,
                                   control,
                                   InputEventSink::secondaryFunctionFlag,
                                   0};
    for (std::uint16_t code = 53; code <= 64; ++code) {
        EXPECT_EQ(KeyboardMouseOutput::modifierFlag(code), flags[code - 53]) << code;
    }

    // Caps Lock is a plain key; mouse buttons carry the flags.
    output.setMapping(mappingWith({{B::south, KeyAction::key(CapsLock)},
                                   {B::east, KeyAction::key(RightShift)},
                                   {B::west, KeyAction::mouse(MouseButton::middle)}}));
    display.location = Point{5, 7};
    output.update(phone1, state({B::south, B::east, B::west}));
    display.location.reset();
    output.update(phone1, {});
    EXPECT_EQ(
        sink.events,
        (Events{Sink::flagsChanged(RightShift, true, shiftBit), Sink::keyDown(CapsLock, shiftBit),
                Sink::mouse(Type::otherMouseDown, 2, {5, 7}, 0, 0, shiftBit),
                Sink::keyUp(CapsLock, shiftBit), Sink::flagsChanged(RightShift, false, 0),
                Sink::mouse(Type::otherMouseUp, 2, {0, 0}, 0, 0, 0)}));
    EXPECT_EQ(output.modifierFlags(), 0u);

    // Both sides of a modifier share one bit, and releasing either clears it.
    output.setMapping(mappingWith({{B::south, KeyAction::key(Command)},
                                   {B::east, KeyAction::key(RightCommand)},
                                   {B::west, KeyAction::key(A)}}));
    output.update(phone1, state({B::south, B::east}));
    EXPECT_EQ(output.modifierFlags(), commandBit);
    sink.clear();
    output.update(phone1, state({B::east, B::west}));
    EXPECT_EQ(sink.events, (Events{Sink::flagsChanged(Command, false, 0), Sink::keyDown(A, 0)}));
}

// What one step of 10 ms posts for the states of two phones: the speed grows with the square
// of the deflection (1400 points a second at the rim), gyro aim adds 1100 points a second per
// unit whatever the sticks do, scrolling runs at 0.6 of the pointer speed, and amounts too large
// for the fields are cut to them.
TEST(OutputMotion, OneStepPostsTheSumOfAllSourcesAtTheirSpeeds) {
    using enum InputEventSink::EventType;
    const auto none = StickAction::none, mouse = StickAction::mouse, scroll = StickAction::scroll;
    const auto sticks = [](StickAction left, StickAction right) {
        return mappingWith({}, left, right);
    };
    const auto to = [](Point at, std::int64_t dx, std::int64_t dy, Type type = mouseMoved) {
        return Sink::mouse(type, type == rightMouseDragged ? 1 : 0, at, dx, dy);
    };
    const KeyMapping shooter = KeyMapping::shooter(), both = sticks(mouse, mouse);
    KeyMapping fast = sticks(scroll, mouse);
    fast.pointerSpeed = 1e300;
    const struct {
        KeyMapping mapping;
        ControllerState state;
        Events events;
        ControllerState other = {};
    } rows[] = {
        {sticks(none, none), state({}, {1, 1}, {1, 1}), {}},
        {sticks(none, none), state({}, {1, 1}, {1, 1}, {0.5f, -1}), {to({5, 11}, 5, 11)}},
        {both, state({}, {1, 0}, {1, 0}, {0.5f, -1}), {to({47, 11}, 47, 11)}, rightAt(1, 0)},
        {shooter, state({B::rightTrigger}, {}, {1, 0}), {to({14, 0}, 14, 0, leftMouseDragged)}},
        {shooter, state({B::leftTrigger}, {}, {0, -1}), {to({0, 14}, 0, 14, rightMouseDragged)}},
        {sticks(scroll, none), leftAt(1, 0.5f), {Sink::scroll(4, -9)}},
        {fast, rightAt(1, 0), {to({0x1p53, 0}, std::int64_t{1} << 53, 0)}},
        {fast, leftAt(0, -1), {Sink::scroll(-2147483647, 0)}},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        Rig r;
        r.output.setMapping(rows[i].mapping);
        r.output.update(phone1, rows[i].state);
        r.output.update(phone2, rows[i].other);
        EXPECT_EQ(r.output.needsMotion(), !rows[i].events.empty()) << "row " << i;
        r.sink.clear();
        r.output.step(0.01);
        EXPECT_EQ(r.sink.events, rows[i].events) << "row " << i;
        EXPECT_EQ(r.sink.batchEnds.size(), rows[i].events.empty() ? 0u : 1u) << "row " << i;
    }
}

// The pointer stays one point inside the displays' union, or inside the main display when none
// is listed, and is not clamped where neither is known. The delta is the motion asked for.
TEST(OutputMotion, ThePointerStaysInsideTheDisplaysButTheDeltaIsReported) {
    const Rects two = {{0, 0, 1920, 1080}, {1920, -200, 3200, 1240}};
    const PointerDisplay::Rect main = {0, 0, 800, 600};
    const struct {
        std::optional<Point> location;
        std::optional<Rects> displays;
        std::optional<PointerDisplay::Rect> mainDisplay;
        Point target;
    } rows[] = {
        {Point{3199, 1239}, two, {}, {3199, 1239}},
        {Point{-500, -500}, two, main, {0, -200}},
        {Point{790, 590}, Rects{}, main, {799, 599}},
        {std::nullopt, std::nullopt, {}, {19, 19}},
    };
    for (const auto& row : rows) {
        Rig r;
        r.display.location = row.location;
        r.display.displays = row.displays;
        r.display.mainDisplay = row.mainDisplay;
        r.output.update(phone1, rightAt(1, -1));
        r.output.step(0.01);
        EXPECT_EQ(r.sink.events, (Events{Sink::mouse(Type::mouseMoved, 0, row.target, 19, 19)}));
    }
}

// Each step adds −0.5·√0.5·1400·0.008 ≈ −3.96 points in x and in screen y (y grows downward)
// and scrolls 1.68 pixels up.
TEST_F(Output, FractionsCarryWithTheirSignAndAnAmountThatOverflowedIsDropped) {
    output.setMapping(mappingWith({}, StickAction::scroll, StickAction::mouse));
    output.update(phone1, state({}, {0, 0.5f}, {-0.5f, 0.5f}));
    steps(4, 0.008);
    std::array<std::int64_t, 3> sums{};
    for (const auto& e : sink.events) {
        sums = {sums[0] + e.deltaX, sums[1] + e.deltaY, sums[2] + e.wheel1};
    }
    EXPECT_EQ(sums, (std::array<std::int64_t, 3>{-15, -15, 6})); // -15.84 and 6.72 cut to zero

    output.update(phone1, state({}, {}, {}, {std::numeric_limits<float>::quiet_NaN(), 0}));
    sink.clear();
    output.step(0.01);
    EXPECT_TRUE(sink.events.empty());
    output.update(phone1, rightAt(1, 0));
    output.step(0.01);
    EXPECT_EQ(sink.events, (Events{Sink::mouse(Type::mouseMoved, 0, {14, 0}, 14, 0)}));
}

TEST_F(Output, TheDisplayListIsReadOnceEvery241MovesButUnknownIsAskedAgain) {
    display.displays.reset();
    display.location = Point{50000, 50000};
    output.update(phone1, rightAt(1, 0));
    steps(2, 0.01);
    EXPECT_EQ(display.listCalls, 2) << "no answer is kept";
    display.displays = Rects{{0, 0, 100000, 100000}};
    output.step(0.01);
    EXPECT_EQ(display.listCalls, 3);
    display.listCalls = 1;
    steps(240, 0.01);
    EXPECT_EQ(display.listCalls, 1);
    output.step(0.01); // the 242nd move
    EXPECT_EQ(display.listCalls, 2);
    // A changed display layout is seen from then on.
    display.displays = Rects{{0, 0, 10, 10}};
    steps(241, 0.01);
    EXPECT_EQ(display.listCalls, 3);
    EXPECT_EQ(sink.events.back().location, (Point{9, 9}));
}
