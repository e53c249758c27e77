#include <map>
#include <string>

#include <gtest/gtest.h>

#include "output/KeyMapping.h"
#include "output/KeyNames.h"
#include "output/MappingPreset.h"

using namespace jolto;
using B = ControllerButton;

namespace jolto {
// A mapping prints as its persisted text.
void PrintTo(const KeyMapping& m, std::ostream* os) {
    *os << encodeKeyMapping(m);
}
} // namespace jolto

namespace {

// A small valid mapping text with `buttons` and the two sticks substituted, `tail` after the
// pointer speed.
std::string mappingText(const std::string& buttons, const std::string& left = "\"wasd\"",
                        const std::string& right = "\"mouse\"", const std::string& tail = "") {
    return R"({"buttons":)" + buttons + R"(,"leftStick":)" + left + R"(,"rightStick":)" + right +
           R"(,"pointerSpeed":1400)" + tail + "}";
}

KeyMapping mappingOf(std::initializer_list<std::pair<ControllerButton, KeyAction>> entries,
                     StickAction left, StickAction right, double pointerSpeed, double gyroSpeed) {
    KeyMapping m;
    for (auto [button, action] : entries) {
        m.setAction(button, action);
    }
    m.leftStick = left;
    m.rightStick = right;
    m.pointerSpeed = pointerSpeed;
    m.gyroSpeed = gyroSpeed;
    return m;
}

} // namespace

// Entries in button order, missing ones left out, whole speeds without a fraction; the text
// reads back as the same mapping, as do both presets'.
TEST(KeyMappingText, HasThePersistedShapeAndReadsBack) {
    const KeyMapping m = mappingOf({{B::touchpad, KeyAction::key(65535)},
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
}

// Keys beside an action's one case are ignored; a mapping stored before the gyro speed existed
// takes the default one.
TEST(KeyMappingDecode, IgnoresKeysBesideTheCaseAndDefaultsAMissingGyroSpeed) {
    const std::tuple<const char*, const char*, StickAction> rows[] = {
        {"", "\"none\"", StickAction::none},
        {R"(,"gyroSpeed":null)", "\"wasd\"", StickAction::wasd}};
    for (auto [gyro, left, action] : rows) {
        auto result = decodeKeyMapping(
            mappingText(R"([3,{"key":{"_0":3},"extra":1}])", left, "\"mouse\"", gyro));
        ASSERT_TRUE(result) << result.error;
        EXPECT_EQ(*result.value, mappingOf({{B::north, KeyAction::key(3)}}, action,
                                           StickAction::mouse, 1400, 1100));
    }
    EXPECT_EQ(KeyMapping().action(B::west), KeyAction::none());
}

// Any flaw fails the whole read with a reason; an action needs exactly one case.
TEST(KeyMappingDecode, MalformedDataFailsAsAWholeWithAReason) {
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
        mappingText("[]", "\"w\xff\""),
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
    EXPECT_EQ(mappingPresetFromRaw("retro"), MappingPreset::retro);
    EXPECT_EQ(mappingPresetFromRaw("Retro"), std::nullopt);

    // Every one of the 38 button entries and both presets' sticks and speeds, as published.
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
    KeyMapping shooter = mappingOf({}, StickAction::wasd, StickAction::mouse, 1400, 1100);
    KeyMapping retro = mappingOf({}, StickAction::arrows, StickAction::none, 1400, 1100);
    for (const auto& row : rows) {
        shooter.setAction(row.button, row.shooter);
        retro.setAction(row.button, row.retro);
    }
    // `none` included: every entry is held explicitly, not merely defaulted.
    EXPECT_EQ(KeyMapping::shooter(), shooter);
    EXPECT_EQ(mapping(MappingPreset::shooter), shooter);
    EXPECT_EQ(KeyMapping::retro(), retro);
    EXPECT_EQ(mapping(MappingPreset::retro), retro);
}

// Every name of the published list (with the Linux words for the keys that Linux keyboards
// label otherwise, and the two keys that only Linux keyboards have), and nothing else named.
TEST(KeyNames, EveryKeyHasItsPublishedNameOthersTheirCodeAndActionsTheirLabel) {
    const std::uint16_t codes[] = {
        0,  11, 8,  2,   14,  3,   5,   4,   34,  38,  40,  37, 46,  45, 31, 35, 12, 15, 1,  17,
        32, 9,  13, 7,   16,  6,   29,  18,  19,  20,  21,  23, 22,  26, 28, 25, 27, 24, 33, 30,
        41, 39, 43, 47,  44,  42,  50,  49,  36,  48,  53,  51, 117, 57, 56, 60, 59, 62, 58, 61,
        55, 54, 63, 123, 124, 126, 125, 115, 119, 116, 121, 76, 69,  78, 67, 75, 65, 10, 114};
    // The names of `codes`, in order, each ended by '|'.
    const std::string names =
        "A|B|C|D|E|F|G|H|I|J|K|L|M|N|O|P|Q|R|S|T|U|V|W|X|Y|Z|0|1|2|3|4|5|6|7|8|9|-|=|[|]|;|'|"
        ",|.|/|\\|`|Space|Return|Tab|Esc|Backspace|Delete|Caps Lock|Shift|Right Shift|"
        "Control|Right Control|Alt|Right Alt|Super|Right Super|Fn|\u2190|\u2192|\u2191|"
        "\u2193|Home|End|Page Up|Page Down|Keypad Enter|Keypad +|Keypad \u2212|Keypad \u00D7|"
        "Keypad \u00F7|Keypad .|< >|Insert|";
    std::map<std::uint16_t, std::string> all;
    std::size_t from = 0;
    for (auto code : codes) {
        const auto end = names.find('|', from);
        ASSERT_NE(end, std::string::npos);
        ASSERT_TRUE(all.emplace(code, names.substr(from, end - from)).second) << code;
        from = end + 1;
    }
    ASSERT_EQ(from, names.size());
    const std::uint16_t functionKeys[] = {122, 120, 99,  118, 96,  97,  98, 100, 101, 109,
                                          103, 111, 105, 107, 113, 106, 64, 79,  80,  90};
    const std::uint16_t keypadDigits[] = {82, 83, 84, 85, 86, 87, 88, 89, 91, 92};
    for (std::size_t i = 0; i < std::size(functionKeys); ++i) {
        all.emplace(functionKeys[i], "F" + std::to_string(i + 1));
    }
    for (std::size_t i = 0; i < std::size(keypadDigits); ++i) {
        all.emplace(keypadDigits[i], "Keypad " + std::to_string(i));
    }
    ASSERT_EQ(all.size(), 107u + 2u);
    for (unsigned code = 0; code <= 0xFFFF; ++code) {
        const auto key = static_cast<std::uint16_t>(code);
        const auto found = all.find(key);
        if (found != all.end()) {
            EXPECT_EQ(knownKeyName(key), found->second) << code;
        } else {
            ASSERT_EQ(knownKeyName(key), std::nullopt) << code;
        }
    }
    for (std::uint16_t unnamed : {52, 200, 65535}) {
        EXPECT_EQ(keyName(unnamed), "Key " + std::to_string(unnamed));
    }
    EXPECT_EQ(label(KeyAction::key(49)), "Space");
    EXPECT_EQ(label(KeyAction::key(300)), "Key 300");
    EXPECT_EQ(label(KeyAction::mouse(MouseButton::middle)), "Middle Click");
    EXPECT_EQ(label(KeyAction::mouse(MouseButton::left)), "Left Click");
    EXPECT_EQ(label(KeyAction::none()), "\u2014");
}
