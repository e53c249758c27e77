#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "fakes/OutputFakes.h"
#include "output/KeyMapping.h"
#include "output/KeyNames.h"
#include "output/KeyboardMouseOutput.h"
#include "output/MappingPreset.h"
#include "output/VirtualGamepad.h"

using namespace jolto;
using B = ControllerButton;
using Bytes = std::vector<std::uint8_t>;
using ReportType = VirtualHidDevice::ReportType;
using Type = InputEventSink::EventType;
using Events = std::vector<InputEventSink::Event>;
using Keys = std::vector<std::uint16_t>;
using Point = PointerDisplay::Point;
using Rects = std::vector<PointerDisplay::Rect>;

namespace jolto {
void PrintTo(const KeyMapping& m, std::ostream* os) {
    *os << encodeKeyMapping(m);
}
} // namespace jolto

namespace {

constexpr std::uint16_t W = 13, A = 0, S = 1, D = 2, Space = 49, RightShift = 60;
constexpr std::uint16_t Command = 55, RightCommand = 54, Z = 6, CapsLock = 57;
constexpr std::uint64_t shiftBit = InputEventSink::shiftFlag;

// Keeps every posted event and, for each batch, the number of events posted when it ended.
class Sink final : public InputEventSink {
public:
    std::vector<Event> events;
    std::vector<std::size_t> batchEnds;

    void post(const Event& event) override { events.push_back(event); }
    void endBatch() override { batchEnds.push_back(events.size()); }

    void clear() {
        events.clear();
        batchEnds.clear();
    }

    static Event key(EventType type, std::uint16_t code, bool down, std::uint64_t flags) {
        return {.type = type, .keyCode = code, .keyDown = down, .location = {}, .flags = flags};
    }
    static Event keyDown(std::uint16_t code, std::uint64_t flags = 0) {
        return key(EventType::keyDown, code, true, flags);
    }
    static Event keyUp(std::uint16_t code, std::uint64_t flags = 0) {
        return key(EventType::keyUp, code, false, flags);
    }
    static Event flagsChanged(std::uint16_t code, bool down, std::uint64_t flags) {
        return key(EventType::flagsChanged, code, down, flags);
    }
    static Event mouse(EventType type, std::uint32_t button, Point at, std::int64_t dx = 0,
                       std::int64_t dy = 0, std::uint64_t flags = 0) {
        return {.type = type,
                .buttonNumber = button,
                .location = at,
                .deltaX = dx,
                .deltaY = dy,
                .flags = flags};
    }
    static Event scroll(std::int32_t wheel1, std::int32_t wheel2) {
        return {.type = EventType::scrollWheel, .location = {}, .wheel1 = wheel1, .wheel2 = wheel2};
    }
};

class FakePointerDisplay final : public PointerDisplay {
public:
    std::optional<Point> location = Point{};
    std::optional<Rects> displays = Rects{};
    std::optional<Rect> mainDisplay;
    int listCalls = 0;

    std::optional<Point> pointerLocation() override { return location; }
    std::optional<std::size_t> activeDisplayBounds(std::span<Rect> out) override {
        ++listCalls;
        if (!displays) {
            return std::nullopt;
        }
        std::size_t n = std::min(out.size(), displays->size());
        std::copy_n(displays->begin(), n, out.begin());
        return n;
    }
    std::optional<Rect> mainDisplayBounds() override { return mainDisplay; }
};

const Uuid phone1 = *Uuid::parse("00000000-0000-0000-0000-000000000001");
const Uuid phone2 = *Uuid::parse("00000000-0000-0000-0000-000000000002");

ControllerState state(ButtonSet buttons, StickVector left = {}, StickVector right = {},
                      StickVector gyro = {}, float leftTrigger = 0, float rightTrigger = 0) {
    return {buttons, left, right, leftTrigger, rightTrigger, gyro};
}
ControllerState leftAt(float x, float y) {
    return state({}, {x, y});
}
ControllerState rightAt(float x, float y) {
    return state({}, {}, {x, y});
}

KeyMapping mappingWith(std::initializer_list<std::pair<ControllerButton, KeyAction>> entries,
                       StickAction left = StickAction::wasd, StickAction right = StickAction::mouse,
                       double pointerSpeed = 1400, double gyroSpeed = 1100) {
    KeyMapping m{.leftStick = left,
                 .rightStick = right,
                 .pointerSpeed = pointerSpeed,
                 .gyroSpeed = gyroSpeed};
    for (auto [b, a] : entries) {
        m.setAction(b, a);
    }
    return m;
}

std::string mappingText(const std::string& buttons, const std::string& left = "\"wasd\"",
                        const std::string& right = "\"mouse\"", const std::string& tail = "") {
    return R"({"buttons":)" + buttons + R"(,"leftStick":)" + left + R"(,"rightStick":)" + right +
           R"(,"pointerSpeed":1400)" + tail + "}";
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

struct Rig {
    Sink sink;
    FakePointerDisplay display;
    KeyboardMouseOutput output{sink, display};

    void steps(int n, double dt = 0.01) {
        for (int i = 0; i < n; ++i) {
            output.step(dt);
        }
    }
};

struct Output : ::testing::Test, Rig {};

} // namespace

// A direction key is pressed past 0.5 and, once held for any reason, kept down past 0.3.
TEST_F(Output, KeysFollowEveryPhoneTheMappingAndTheSticks) {
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

    output.update(phone1, state({B::south}));
    sink.clear();
    output.setMapping(KeyMapping::shooter());
    EXPECT_TRUE(sink.events.empty());
    output.setMapping(KeyMapping::retro());
    EXPECT_EQ(sink.events, (Events{Sink::keyUp(Space), Sink::keyDown(Z)}));
    EXPECT_EQ(sink.batchEnds, (std::vector<std::size_t>{2}));

    output.removeAllClients();
    output.setMapping(
        mappingWith({{B::south, KeyAction::key(W)}}, StickAction::wasd, StickAction::arrows));
    const ControllerState states[] = {
        leftAt(0, 0.5f),   leftAt(0, 0.55f),     leftAt(0, 0.31f),
        leftAt(0, 0.3f),   leftAt(-0.6f, -0.6f), leftAt(0.6f, 0.6f),
        rightAt(-1, 0.7f), rightAt(1, -1),       state({B::south}, {0, 0.6f}),
        state({B::south}), leftAt(0, 0.4f),      state({})};
    const Keys held[] = {{},         {W},        {W}, {},  {A, S}, {W, D},
                         {126, 123}, {125, 124}, {W}, {W}, {W},    {}};
    for (std::size_t i = 0; i < std::size(states); ++i) {
        output.update(phone1, states[i]);
        EXPECT_EQ(output.heldKeys(), held[i]) << "step " << i;
    }
}

TEST_F(Output, ModifiersGoDownFirstUpLastAndAreStampedOnKeysAndClicks) {
    // Codes 53 to 64: Esc, Right Super, Super, Shift, Caps Lock, Alt, Control, Right Shift,
    // Right Alt, Right Control, Fn, F17.
    const std::uint64_t alt = InputEventSink::alternateFlag, ctrl = InputEventSink::controlFlag;
    const std::uint64_t cmd = InputEventSink::commandFlag,
                        fn = InputEventSink::secondaryFunctionFlag;
    const std::uint64_t flags[] = {0, cmd, cmd, shiftBit, 0, alt, ctrl, shiftBit, alt, ctrl, fn, 0};
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

    // Both sides of a modifier share one bit, and releasing either clears it.
    output.setMapping(mappingWith({{B::south, KeyAction::key(Command)},
                                   {B::east, KeyAction::key(RightCommand)},
                                   {B::west, KeyAction::key(A)}}));
    output.update(phone1, state({B::south, B::east}));
    sink.clear();
    output.update(phone1, state({B::east, B::west}));
    EXPECT_EQ(sink.events, (Events{Sink::flagsChanged(Command, false, 0), Sink::keyDown(A, 0)}));
}

// One step of 10 ms: the speed grows with the square of the deflection (1400 points a second at
// the rim), gyro aim adds 1100 a second per unit, scrolling runs at 0.6 of the pointer speed and
// too large amounts are cut. The pointer stays inside the displays' union, else the main display.
TEST(OutputMotion, OneStepPostsTheSumOfAllSourcesInsideTheDisplays) {
    using enum InputEventSink::EventType;
    const auto none = StickAction::none, mouse = StickAction::mouse, scroll = StickAction::scroll;
    const auto to = [](Point at, std::int64_t dx, std::int64_t dy, Type type = mouseMoved) {
        return Sink::mouse(type, type == rightMouseDragged ? 1 : 0, at, dx, dy);
    };
    const Rects two = {{0, 0, 1920, 1080}, {1920, -200, 3200, 1240}};
    const PointerDisplay::Rect main = {0, 0, 800, 600};
    const KeyMapping shooter = KeyMapping::shooter(), off = mappingWith({}, none, none);
    const KeyMapping both = mappingWith({}, mouse, mouse), scrolls = mappingWith({}, scroll, none);
    KeyMapping fast = mappingWith({}, scroll, mouse);
    fast.pointerSpeed = 1e300;
    const struct {
        KeyMapping mapping;
        ControllerState state;
        Events events;
        ControllerState other = {};
        std::optional<Point> location = Point{};
        std::optional<Rects> displays = Rects{};
        std::optional<PointerDisplay::Rect> mainDisplay = {};
    } rows[] = {
        {off, state({}, {1, 1}, {1, 1}), {}},
        {off, state({}, {1, 1}, {1, 1}, {0.5f, -1}), {to({5, 11}, 5, 11)}},
        {both, state({}, {1, 0}, {1, 0}, {0.5f, -1}), {to({47, 11}, 47, 11)}, rightAt(1, 0)},
        {shooter, state({B::rightTrigger}, {}, {1, 0}), {to({14, 0}, 14, 0, leftMouseDragged)}},
        {shooter, state({B::leftTrigger}, {}, {0, -1}), {to({0, 14}, 0, 14, rightMouseDragged)}},
        {scrolls, leftAt(1, 0.5f), {Sink::scroll(4, -9)}},
        {fast, rightAt(1, 0), {to({0x1p53, 0}, std::int64_t{1} << 53, 0)}},
        {fast, leftAt(0, -1), {Sink::scroll(-2147483647, 0)}},
        {shooter, rightAt(1, -1), {to({3199, 1239}, 19, 19)}, {}, Point{3199, 1239}, two},
        {shooter, rightAt(1, -1), {to({0, -200}, 19, 19)}, {}, Point{-500, -500}, two, main},
        {shooter, rightAt(1, -1), {to({799, 599}, 19, 19)}, {}, Point{790, 590}, Rects{}, main},
        {shooter, rightAt(1, -1), {to({19, 19}, 19, 19)}, {}, std::nullopt, std::nullopt},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        Rig r;
        r.display.location = rows[i].location;
        r.display.displays = rows[i].displays;
        r.display.mainDisplay = rows[i].mainDisplay;
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

// Each step adds −0.5·√0.5·1400·0.008 ≈ −3.96 points in x and in screen y (y grows downward)
// and scrolls 1.68 pixels up.
TEST_F(Output, FractionsCarryAnOverflowIsDroppedAndTheDisplaysAreReadEvery241Moves) {
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

    // The display list is read once every 241 moves, but an unknown one is asked again.
    display.listCalls = 0;
    display.displays.reset();
    display.location = Point{50000, 50000};
    steps(2);
    EXPECT_EQ(display.listCalls, 2) << "no answer is kept";
    display.displays = Rects{{0, 0, 100000, 100000}};
    steps(241);
    EXPECT_EQ(display.listCalls, 3);
    output.step(0.01);
    EXPECT_EQ(display.listCalls, 4);
    display.displays = Rects{{0, 0, 10, 10}};
    steps(241);
    EXPECT_EQ(display.listCalls, 5);
    EXPECT_EQ(sink.events.back().location, (Point{9, 9})) << "the changed layout";
}

TEST(KeyMappingText, HasThePersistedShapeAndReadsBackWholeOrNotAtAll) {
    const KeyMapping m = mappingWith({{B::touchpad, KeyAction::key(65535)},
                                      {B::south, KeyAction::none()},
                                      {B::east, KeyAction::mouse(MouseButton::middle)},
                                      {B::leftTrigger, KeyAction::mouse(MouseButton::right)}},
                                     StickAction::scroll, StickAction::arrows, 1234.5, 900);
    EXPECT_EQ(encodeKeyMapping(m),
              R"({"buttons":[0,{"none":{}},1,{"mouse":{"_0":"middle"}},6,{"mouse":{"_0":"right"}},)"
              R"(18,{"key":{"_0":65535}}],"leftStick":"scroll","rightStick":"arrows",)"
              R"("pointerSpeed":1234.5,"gyroSpeed":900})");
    for (const KeyMapping* mapping : {&m, &KeyMapping::shooter(), &KeyMapping::retro()}) {
        auto back = decodeKeyMapping(encodeKeyMapping(*mapping));
        ASSERT_TRUE(back) << back.error;
        EXPECT_EQ(*back.value, *mapping);
    }
    // Keys beside an action's one case are ignored; without a gyro speed the default applies.
    const std::tuple<const char*, const char*, StickAction> rows[] = {
        {"", "\"none\"", StickAction::none},
        {R"(,"gyroSpeed":null)", "\"wasd\"", StickAction::wasd}};
    for (auto [gyro, left, action] : rows) {
        auto result = decodeKeyMapping(
            mappingText(R"([3,{"key":{"_0":3},"extra":1}])", left, "\"mouse\"", gyro));
        ASSERT_TRUE(result) << result.error;
        EXPECT_EQ(*result.value, mappingWith({{B::north, KeyAction::key(3)}}, action));
    }
    EXPECT_EQ(KeyMapping().action(B::west), KeyAction::none());

    // Any flaw fails the whole read with a reason; an action needs exactly one case.
    const std::string wrongCases[] = {mappingText(R"([0,{}])"), mappingText(R"([0,{"other":{}}])"),
                                      mappingText(R"([0,{"key":{"_0":1},"none":{}}])")};
    for (const auto& text : wrongCases) {
        EXPECT_EQ(decodeKeyMapping(text).error, "Invalid number of keys found, expected one.");
    }
    const std::string malformed[] = {
        mappingText(R"([0,{"key":{"_0":1}},1])"),
        mappingText(R"([19,{"none":{}}])"),
        mappingText(R"([1.5,{"none":{}}])"),
        mappingText(R"(["0",{"none":{}}])"),
        mappingText("[]", "\"Mouse\""),
        mappingText(R"([0,{"none":true}])"),
        mappingText(R"([0,{"key":{"_0":65536}}])"),
        mappingText(R"([0,{"key":{}}])"),
        mappingText(R"([0,{"mouse":{"_0":"Left"}}])"),
        mappingText("[]", "\"wasd\"", "\"mouse\"", R"(,"gyroSpeed":"fast")"),
        R"({"leftStick":"wasd","rightStick":"mouse","pointerSpeed":1})",
        R"({"buttons":[],"leftStick":"wasd","rightStick":"mouse"})",
        R"({"buttons":[],"leftStick":"wasd","rightStick":"mouse","pointerSpeed":"1"})",
        "[1,2]",
        "{\"buttons\":["};
    for (const auto& text : malformed) {
        auto result = decodeKeyMapping(text);
        EXPECT_FALSE(result) << text;
        EXPECT_FALSE(result.error.empty()) << text;
    }
}

TEST(MappingPreset, PresetsHoldEveryButtonAndRawStringsParseExactly) {
    EXPECT_EQ(title(MappingPreset::shooter), "Shooter \u2014 WASD + Mouse");
    EXPECT_EQ(title(MappingPreset::retro), "Retro \u2014 Arrows + Z X A S");
    EXPECT_EQ(mappingPresetFromRaw("Retro"), std::nullopt);

    using K = KeyAction;
    const auto M = [](MouseButton b) { return KeyAction::mouse(b); };
    const struct {
        ControllerButton button;
        KeyAction shooter, retro;
    } rows[] = {{B::south, K::key(49), K::key(6)},
                {B::east, K::key(8), K::key(7)},
                {B::west, K::key(15), K::key(0)},
                {B::north, K::key(3), K::key(1)},
                {B::leftShoulder, K::key(12), K::key(12)},
                {B::rightShoulder, K::key(14), K::key(13)},
                {B::leftTrigger, M(MouseButton::right), K::key(14)},
                {B::rightTrigger, M(MouseButton::left), K::key(15)},
                {B::leftStick, K::key(56), K::none()},
                {B::rightStick, K::key(9), K::none()},
                {B::dpadUp, K::key(18), K::key(126)},
                {B::dpadDown, K::key(20), K::key(125)},
                {B::dpadLeft, K::key(21), K::key(123)},
                {B::dpadRight, K::key(19), K::key(124)},
                {B::select, K::key(48), K::key(60)},
                {B::start, K::key(53), K::key(36)},
                {B::home, K::none(), K::key(122)},
                {B::capture, K::key(111), K::key(100)},
                {B::touchpad, K::key(46), K::none()}};
    static_assert(std::size(rows) == controllerButtonCount);
    KeyMapping shooter = mappingWith({});
    KeyMapping retro = mappingWith({}, StickAction::arrows, StickAction::none);
    for (const auto& row : rows) {
        shooter.setAction(row.button, row.shooter);
        retro.setAction(row.button, row.retro);
    }
    // `none` included: every entry is held explicitly, not merely defaulted.
    EXPECT_EQ(KeyMapping::shooter(), shooter);
    EXPECT_EQ(KeyMapping::retro(), retro);
}

// With the Linux words for the keys that Linux keyboards label otherwise, and nothing else named.
TEST(KeyNames, EveryKeyHasItsPublishedNameOthersTheirCodeAndActionsTheirLabel) {
    const std::uint16_t codes[] = {
        0,  11, 8,   2,   14,  3,  5,   4,   34,  38,  40,  37,  46,  45,  31,  35,  12,  15,  1,
        17, 32, 9,   13,  7,   16, 6,   29,  18,  19,  20,  21,  23,  22,  26,  28,  25,  27,  24,
        33, 30, 41,  39,  43,  47, 44,  42,  50,  49,  36,  48,  53,  51,  117, 57,  56,  60,  59,
        62, 58, 61,  55,  54,  63, 123, 124, 126, 125, 115, 119, 116, 121, 76,  69,  78,  67,  75,
        65, 10, 114, 122, 120, 99, 118, 96,  97,  98,  100, 101, 109, 103, 111, 105, 107, 113, 106,
        64, 79, 80,  90,  82,  83, 84,  85,  86,  87,  88,  89,  91,  92};
    const std::string names =
        "A|B|C|D|E|F|G|H|I|J|K|L|M|N|O|P|Q|R|S|T|U|V|W|X|Y|Z|0|1|2|3|4|5|6|7|8|9|-|=|[|]|;|'|"
        ",|.|/|\\|`|Space|Return|Tab|Esc|Backspace|Delete|Caps Lock|Shift|Right Shift|"
        "Control|Right Control|Alt|Right Alt|Super|Right Super|Fn|\u2190|\u2192|\u2191|"
        "\u2193|Home|End|Page Up|Page Down|Keypad Enter|Keypad +|Keypad \u2212|Keypad \u00D7|"
        "Keypad \u00F7|Keypad .|< >|Insert|F1|F2|F3|F4|F5|F6|F7|F8|F9|F10|F11|F12|F13|F14|F15|"
        "F16|F17|F18|F19|F20|Keypad 0|Keypad 1|Keypad 2|Keypad 3|Keypad 4|Keypad 5|Keypad 6|"
        "Keypad 7|Keypad 8|Keypad 9|";
    std::size_t from = 0;
    for (auto code : codes) {
        const auto end = names.find('|', from);
        ASSERT_NE(end, std::string::npos);
        EXPECT_EQ(knownKeyName(code), names.substr(from, end - from)) << code;
        from = end + 1;
    }
    ASSERT_EQ(from, names.size());
    std::size_t named = 0;
    for (unsigned code = 0; code <= 0xFFFF; ++code) {
        named += knownKeyName(static_cast<std::uint16_t>(code)).has_value() ? 1 : 0;
    }
    EXPECT_EQ(named, std::size(codes));
    for (std::uint16_t unnamed : {52, 200, 65535}) {
        EXPECT_EQ(keyName(unnamed), "Key " + std::to_string(unnamed));
    }
    EXPECT_EQ(label(KeyAction::key(300)), "Key 300");
    EXPECT_EQ(label(KeyAction::mouse(MouseButton::middle)), "Middle Click");
    EXPECT_EQ(label(KeyAction::mouse(MouseButton::left)), "Left Click");
}

TEST(GamepadReport, FieldsAndDescriptorHaveTheirPublishedValues) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        ControllerState state;
        std::array<int, 8> fields;
    } rows[] = {
        // Every bit set, also those of no button: 15 bits, bit 15 clear, hat centred.
        {state(ButtonSet(0xFFFFFFFFu)), {0x7FFF, 8, 0, 0, 0, 0, 0, 0}},
        {state({}, {-7, 3}, {}, {}, 1.2f, -0.1f), {0, 8, -32767, -32767, 0, 0, 255, 0}},
        {state({}, {nan, inf}, {-inf, nan}, {}, nan, inf), {0, 8, 0, 0, 0, 0, 0, 0}},
        // Gyro aim adds a quarter of itself to the right stick, cut to the unit circle.
        {state({}, {}, {0, 0.5f}, {nan, 0}), {0, 8, 0, 0, 0, -16384, 0, 0}},
        {state({}, {}, {0.9f, 0}, {0.8f, 0}), {0, 8, 0, 0, 32767, 0, 0, 0}},
        {state({}, {}, {}, {2, 0}), {0, 8, 0, 0, 16384, 0, 0, 0}},
        {state({}, {}, {0.6f, -0.6f}, {0.8f, -0.8f}), {0, 8, 0, 0, 23170, 23170, 0, 0}},
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
    // Every d-pad combination (up, down, left, right are bits 10 to 13); opposites cancel.
    const std::uint8_t hats[16] = {8, 0, 4, 8, 6, 7, 5, 6, 2, 1, 3, 2, 8, 0, 4, 8};
    for (std::uint32_t combo = 0; combo < 16; ++combo) {
        const auto r = VirtualGamepad::inputReport(state(ButtonSet(combo << 10)));
        EXPECT_EQ(Bytes(r.begin(), r.begin() + 3), (Bytes{0, 0, hats[combo]})) << combo;
    }

    // Games and the kernel parse these bytes: they are compared as published, byte for byte.
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

    const auto s = state({B::east, B::select, B::dpadUp, B::dpadRight, B::capture}, {0.5f, 1.0f},
                         {-0.6f, -0.25f}, {}, 0.5f, 1.0f);
    // east bit 1, select bit 8, capture bit 13; up-right is hat 1; Y fields are negated.
    EXPECT_EQ(
        bytes(VirtualGamepad::inputReport(s)),
        (Bytes{0x02, 0x21, 0x01, 0x00, 0x40, 0x01, 0x80, 0x34, 0xB3, 0x00, 0x20, 0x80, 0xFF}));
}

class GamepadFeeding : public ::testing::Test {
protected:
    jolto::testing::FakeVirtualHidDeviceFactory factory;
    std::shared_ptr<jolto::testing::FakeHidDeviceLog> log = factory.log;

    std::unique_ptr<VirtualGamepad> make(VirtualGamepad::RumbleHandler onRumble = {}) {
        return VirtualGamepad::create(factory, 2, "0A1B2C3D-0000-4000-8000-00000000ABCD",
                                      std::move(onRumble));
    }
};

// Reports go in order even when the device refuses them. Destroying the gamepad sends the queue
// and the neutral report, and the device is gone when it returns, before the phone's next one.
TEST_F(GamepadFeeding, ReportsWaitForTheStartKeepTheNewest32AndEndWithOneNeutral) {
    factory.refuse = true;
    EXPECT_EQ(make(), nullptr);
    factory.refuse = false;
    log->refuseCreate = true;
    EXPECT_EQ(make(), nullptr);
    EXPECT_EQ(log->with([&] { return log->properties->product; }), "JOLTO Controller 2");
    // The device the system refused (it never started) is let go without any report.
    EXPECT_EQ(log->with([&] { return log->history; }), (std::vector{1, -1}));

    log->refuseCreate = false;
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
    EXPECT_EQ(log->with([&] { return log->history; }), (std::vector{1, -1, 2, -2}));
    std::vector<Bytes> expected;
    for (int n = 8; n <= 40; ++n) {
        expected.push_back(bytes(numbered(n)));
    }
    expected.push_back(neutral);
    EXPECT_EQ(log->with([&] { return log->dispatched; }), expected);
}

// Get-report requests are answered with the neutral report, rumble on the servicing thread.
TEST_F(GamepadFeeding, OutputReportsBecomeRumbleThatMayDropTheGamepad) {
    std::vector<std::pair<float, float>> levels;
    std::thread::id rumbleThread;
    std::unique_ptr<VirtualGamepad> gamepad;
    gamepad = make([&](float heavy, float light) {
        levels.emplace_back(heavy, light);
        rumbleThread = std::this_thread::get_id();
        gamepad.reset();
    });
    ASSERT_NE(gamepad, nullptr);
    gamepad->push(numbered(1));
    log->send({true, ReportType::feature, 3, {}});
    log->send({false, ReportType::output, 0, {0x80}});             // too short
    log->send({false, ReportType::feature, 0, {0x10, 0x20}});      // not an output report
    log->send({false, ReportType::output, 5, {0x00, 0x33, 0x44}}); // id, extra bytes ignored
    ASSERT_TRUE(log->waitUntil([&] { return log->history.size() == 2; }));
    EXPECT_EQ(gamepad, nullptr);
    EXPECT_EQ(levels, (std::vector<std::pair<float, float>>{{0.0f, 0x33 / 255.0f}}));
    EXPECT_EQ(rumbleThread, log->with([&] { return log->servicingThread; }));
    EXPECT_EQ(log->with([&] { return log->getReportAnswers; }), std::vector<Bytes>{neutral});
    EXPECT_EQ(log->with([&] { return log->dispatched; }),
              (std::vector{bytes(numbered(1)), neutral}));
}
