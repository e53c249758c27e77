#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "output/KeyMapping.h"
#include "output/KeyNames.h"
#include "output/MappingPreset.h"

using namespace jolto;
using B = ControllerButton;

namespace {

// A small valid mapping text with `buttons` and the two sticks substituted.
std::string mappingText(const std::string& buttons, const std::string& left = "\"wasd\"",
                        const std::string& right = "\"mouse\"") {
    return R"({"buttons":)" + buttons + R"(,"leftStick":)" + left + R"(,"rightStick":)" + right +
           R"(,"pointerSpeed":1400,"gyroSpeed":900})";
}

} // namespace

TEST(KeyMappingDecode, ReadsEveryActionKindAndBothSticks) {
    auto result = decodeKeyMapping(
        mappingText(R"([0,{"key":{"_0":49}},6,{"mouse":{"_0":"middle"}},16,{"none":{}}])",
                    "\"scroll\"", "\"arrows\""));
    ASSERT_TRUE(result) << result.error;
    const KeyMapping& m = *result.value;
    EXPECT_EQ(m.entry(B::south), KeyAction::key(49));
    EXPECT_EQ(m.entry(B::leftTrigger), KeyAction::mouse(MouseButton::middle));
    EXPECT_EQ(m.entry(B::home), KeyAction::none());
    EXPECT_EQ(m.entry(B::east), std::nullopt);
    EXPECT_EQ(m.action(B::east), KeyAction::none());
    EXPECT_EQ(m.leftStick, StickAction::scroll);
    EXPECT_EQ(m.rightStick, StickAction::arrows);
    EXPECT_EQ(m.pointerSpeed, 1400);
    EXPECT_EQ(m.gyroSpeed, 900);
}

TEST(KeyMappingDecode, MissingOrNullGyroSpeedTakesTheDefaultAndKeepsTheRest) {
    for (const char* tail : {"}", R"(,"gyroSpeed":null})"}) {
        auto result = decodeKeyMapping(
            std::string(
                R"({"buttons":[3,{"key":{"_0":3}}],"leftStick":"arrows","rightStick":"none",)") +
            R"("pointerSpeed":2000)" + tail);
        ASSERT_TRUE(result) << result.error;
        EXPECT_EQ(result.value->gyroSpeed, 1100);
        EXPECT_EQ(result.value->pointerSpeed, 2000);
        EXPECT_EQ(result.value->leftStick, StickAction::arrows);
        EXPECT_EQ(result.value->rightStick, StickAction::none);
        EXPECT_EQ(result.value->entry(B::north), KeyAction::key(3));
    }
}

TEST(KeyMappingDecode, MalformedDataFailsAsAWholeWithAReason) {
    const std::pair<const char*, std::string> cases[] = {
        {"odd buttons", mappingText(R"([0,{"key":{"_0":1}},1])")},
        {"button 19", mappingText(R"([19,{"none":{}}])")},
        {"fractional button", mappingText(R"([1.5,{"none":{}}])")},
        {"button as text", mappingText(R"(["0",{"none":{}}])")},
        {"capitalised stick", mappingText("[]", "\"Mouse\"")},
        {"empty action", mappingText(R"([0,{}])")},
        {"two cases", mappingText(R"([0,{"key":{"_0":1},"none":{}}])")},
        {"payload not object", mappingText(R"([0,{"none":true}])")},
        {"key code too big", mappingText(R"([0,{"key":{"_0":65536}}])")},
        {"key code missing", mappingText(R"([0,{"key":{}}])")},
        {"unknown mouse button", mappingText(R"([0,{"mouse":{"_0":"Left"}}])")},
        {"missing buttons", R"({"leftStick":"wasd","rightStick":"mouse","pointerSpeed":1})"},
        {"missing pointer speed", R"({"buttons":[],"leftStick":"wasd","rightStick":"mouse"})"},
        {"pointer speed as text",
         R"({"buttons":[],"leftStick":"wasd","rightStick":"mouse","pointerSpeed":"1"})"},
        {"gyro speed as text",
         R"({"buttons":[],"leftStick":"wasd","rightStick":"mouse","pointerSpeed":1,)"
         R"("gyroSpeed":"fast"})"},
        {"not an object", "[1,2]"},
        {"not JSON", "{\"buttons\":["},
        {"invalid UTF-8", mappingText("[]", "\"w\xff\"")},
    };
    for (const auto& [name, text] : cases) {
        auto result = decodeKeyMapping(text);
        EXPECT_FALSE(result) << name;
        EXPECT_FALSE(result.error.empty()) << name;
    }
}

TEST(KeyMappingDecode, WrongNumberOfActionCasesIsReportedInTheProductsWords) {
    for (const char* action : {R"({})", R"({"key":{"_0":1},"none":{}})", R"({"other":{}})"}) {
        auto result = decodeKeyMapping(mappingText(std::string("[0,") + action + "]"));
        EXPECT_EQ(result.error, "Invalid number of keys found, expected one.") << action;
    }
    // Keys beside the one case are ignored.
    auto result = decodeKeyMapping(mappingText(R"([0,{"key":{"_0":7},"extra":1}])"));
    ASSERT_TRUE(result) << result.error;
    EXPECT_EQ(result.value->entry(B::south), KeyAction::key(7));
}

TEST(KeyMappingEncode, PresetsRoundTripAndTheTextHasThePersistedShape) {
    for (auto preset : allMappingPresets) {
        const KeyMapping& m = mapping(preset);
        auto text = encodeKeyMapping(m);
        auto back = decodeKeyMapping(text);
        ASSERT_TRUE(back) << back.error;
        EXPECT_EQ(*back.value, m) << rawValue(preset);
    }
    auto text = encodeKeyMapping(KeyMapping::shooter());
    EXPECT_EQ(text.rfind(R"({"buttons":[0,{"key":{"_0":49}},1,{"key":{"_0":8}},)", 0), 0u) << text;
    EXPECT_NE(text.find(R"(6,{"mouse":{"_0":"right"}})"), std::string::npos);
    EXPECT_NE(text.find(R"(16,{"none":{}})"), std::string::npos);
    EXPECT_NE(
        text.find(
            R"("leftStick":"wasd","rightStick":"mouse","pointerSpeed":1400,"gyroSpeed":1100})"),
        std::string::npos)
        << text;
}

TEST(KeyMappingEncode, MissingEntriesStayMissingAndFractionalSpeedsSurvive) {
    KeyMapping m;
    m.setAction(B::touchpad, KeyAction::key(65535));
    m.leftStick = StickAction::scroll;
    m.pointerSpeed = 1234.5;
    m.gyroSpeed = 0.25;
    auto back = decodeKeyMapping(encodeKeyMapping(m));
    ASSERT_TRUE(back) << back.error;
    EXPECT_EQ(*back.value, m);
    EXPECT_EQ(back.value->entry(B::south), std::nullopt);
    // An explicit `none` and no entry behave alike but are different mappings.
    KeyMapping withNone = m;
    withNone.setAction(B::south, KeyAction::none());
    EXPECT_NE(withNone, m);
}

TEST(KeyMapping, EqualityIgnoresTheOrderEntriesWereMadeIn) {
    KeyMapping a, b;
    a.setAction(B::south, KeyAction::key(1));
    a.setAction(B::east, KeyAction::mouse(MouseButton::left));
    b.setAction(B::east, KeyAction::mouse(MouseButton::left));
    b.setAction(B::south, KeyAction::key(1));
    EXPECT_EQ(a, b);
    // Decoding the pairs in another order gives the same mapping.
    auto x = decodeKeyMapping(mappingText(R"([0,{"key":{"_0":1}},1,{"none":{}}])"));
    auto y = decodeKeyMapping(mappingText(R"([1,{"none":{}},0,{"key":{"_0":1}}])"));
    ASSERT_TRUE(x && y);
    EXPECT_EQ(*x.value, *y.value);
    b.gyroSpeed = 1101;
    EXPECT_NE(a, b);
    EXPECT_NE(KeyAction::key(0), KeyAction::mouse(MouseButton::left));
    EXPECT_NE(KeyAction::key(0), KeyAction::none());
}

TEST(MappingPreset, PresetsHoldEveryButtonAndRawStringsParseExactly) {
    EXPECT_EQ(title(MappingPreset::shooter), "Shooter \u2014 WASD + Mouse");
    EXPECT_EQ(title(MappingPreset::retro), "Retro \u2014 Arrows + Z X A S");
    EXPECT_EQ(mappingPresetFromRaw("retro"), MappingPreset::retro);
    EXPECT_EQ(mappingPresetFromRaw("Retro"), std::nullopt);
    EXPECT_EQ(stickActionFromRaw("scroll"), StickAction::scroll);
    EXPECT_EQ(stickActionFromRaw("Mouse"), std::nullopt);
    EXPECT_EQ(mouseButtonFromRaw("middle"), MouseButton::middle);
    EXPECT_EQ(mouseButtonFromRaw("centre"), std::nullopt);

    // Every one of the 38 button entries and both presets' sticks and speeds, as published.
    using K = KeyAction;
    const auto M = [](MouseButton b) { return KeyAction::mouse(b); };
    const struct {
        ControllerButton button;
        KeyAction shooter, retro;
    } rows[] = {
        {B::south, K::key(49), K::key(6)},
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
        {B::touchpad, K::key(46), K::none()},
    };
    static_assert(std::size(rows) == controllerButtonCount);
    const KeyMapping& shooter = KeyMapping::shooter();
    const KeyMapping& retro = KeyMapping::retro();
    for (const auto& row : rows) {
        SCOPED_TRACE(static_cast<int>(rawValue(row.button)));
        // Held explicitly, `none` included, not merely defaulted.
        ASSERT_TRUE(shooter.entry(row.button).has_value());
        ASSERT_TRUE(retro.entry(row.button).has_value());
        EXPECT_EQ(shooter.action(row.button), row.shooter);
        EXPECT_EQ(retro.action(row.button), row.retro);
    }
    EXPECT_EQ(shooter.leftStick, StickAction::wasd);
    EXPECT_EQ(shooter.rightStick, StickAction::mouse);
    EXPECT_EQ(retro.leftStick, StickAction::arrows);
    EXPECT_EQ(retro.rightStick, StickAction::none);
    for (const KeyMapping* m : {&shooter, &retro}) {
        EXPECT_EQ(m->pointerSpeed, 1400);
        EXPECT_EQ(m->gyroSpeed, 1100);
    }
    EXPECT_EQ(mapping(MappingPreset::shooter), shooter);
    EXPECT_EQ(mapping(MappingPreset::retro), retro);
}

TEST(KeyNames, NamesBuiltNamesLinuxNamesAndFallback) {
    EXPECT_EQ(keyName(57), "Caps Lock");
    EXPECT_EQ(keyName(90), "F20");
    EXPECT_EQ(keyName(122), "F1");
    EXPECT_EQ(keyName(64), "F17");
    EXPECT_EQ(keyName(92), "Keypad 9");
    EXPECT_EQ(keyName(82), "Keypad 0");
    EXPECT_EQ(keyName(78), "Keypad \u2212");
    EXPECT_EQ(keyName(126), "\u2191");
    EXPECT_EQ(keyName(10), "< >");
    EXPECT_EQ(keyName(114), "Insert");
    EXPECT_EQ(keyName(52), "Key 52");
    EXPECT_EQ(keyName(200), "Key 200");
    EXPECT_EQ(keyName(65535), "Key 65535");
    // The keys that Linux keyboards label differently from Mac keyboards.
    EXPECT_EQ(keyName(55), "Super");
    EXPECT_EQ(keyName(54), "Right Super");
    EXPECT_EQ(keyName(58), "Alt");
    EXPECT_EQ(keyName(61), "Right Alt");
    EXPECT_EQ(keyName(51), "Backspace");
    EXPECT_EQ(keyName(117), "Delete");

    int named = 0;
    for (unsigned code = 0; code <= 0xFFFF; ++code) {
        named += knownKeyName(static_cast<std::uint16_t>(code)).has_value() ? 1 : 0;
    }
    EXPECT_EQ(named, 109);
}

TEST(KeyActionLabel, KeysMouseButtonsAndNone) {
    EXPECT_EQ(label(KeyAction::key(49)), "Space");
    EXPECT_EQ(label(KeyAction::key(300)), "Key 300");
    EXPECT_EQ(label(KeyAction::mouse(MouseButton::middle)), "Middle Click");
    EXPECT_EQ(label(KeyAction::mouse(MouseButton::left)), "Left Click");
    EXPECT_EQ(label(KeyAction::none()), "\u2014");
}
