#include "output/KeyMapping.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

namespace jolto {
namespace {

using Json = nlohmann::ordered_json;

KeyMapping makeShooter() {
    using B = ControllerButton;
    KeyMapping m;
    m.setAction(B::south, KeyAction::key(49));         // Space
    m.setAction(B::east, KeyAction::key(8));           // C
    m.setAction(B::west, KeyAction::key(15));          // R
    m.setAction(B::north, KeyAction::key(3));          // F
    m.setAction(B::leftShoulder, KeyAction::key(12));  // Q
    m.setAction(B::rightShoulder, KeyAction::key(14)); // E
    m.setAction(B::leftTrigger, KeyAction::mouse(MouseButton::right));
    m.setAction(B::rightTrigger, KeyAction::mouse(MouseButton::left));
    m.setAction(B::leftStick, KeyAction::key(56)); // Shift
    m.setAction(B::rightStick, KeyAction::key(9)); // V
    m.setAction(B::dpadUp, KeyAction::key(18));    // 1
    m.setAction(B::dpadDown, KeyAction::key(20));  // 3
    m.setAction(B::dpadLeft, KeyAction::key(21));  // 4
    m.setAction(B::dpadRight, KeyAction::key(19)); // 2
    m.setAction(B::select, KeyAction::key(48));    // Tab
    m.setAction(B::start, KeyAction::key(53));     // Esc
    m.setAction(B::home, KeyAction::none());
    m.setAction(B::capture, KeyAction::key(111)); // F12
    m.setAction(B::touchpad, KeyAction::key(46)); // M
    m.leftStick = StickAction::wasd;
    m.rightStick = StickAction::mouse;
    m.pointerSpeed = 1400;
    m.gyroSpeed = 1100;
    return m;
}

KeyMapping makeRetro() {
    using B = ControllerButton;
    KeyMapping m;
    m.setAction(B::south, KeyAction::key(6));          // Z
    m.setAction(B::east, KeyAction::key(7));           // X
    m.setAction(B::west, KeyAction::key(0));           // A
    m.setAction(B::north, KeyAction::key(1));          // S
    m.setAction(B::leftShoulder, KeyAction::key(12));  // Q
    m.setAction(B::rightShoulder, KeyAction::key(13)); // W
    m.setAction(B::leftTrigger, KeyAction::key(14));   // E
    m.setAction(B::rightTrigger, KeyAction::key(15));  // R
    m.setAction(B::leftStick, KeyAction::none());
    m.setAction(B::rightStick, KeyAction::none());
    m.setAction(B::dpadUp, KeyAction::key(126));    // Up arrow
    m.setAction(B::dpadDown, KeyAction::key(125));  // Down arrow
    m.setAction(B::dpadLeft, KeyAction::key(123));  // Left arrow
    m.setAction(B::dpadRight, KeyAction::key(124)); // Right arrow
    m.setAction(B::select, KeyAction::key(60));     // Right Shift
    m.setAction(B::start, KeyAction::key(36));      // Return
    m.setAction(B::home, KeyAction::key(122));      // F1
    m.setAction(B::capture, KeyAction::key(100));   // F8
    m.setAction(B::touchpad, KeyAction::none());
    m.leftStick = StickAction::arrows;
    m.rightStick = StickAction::none;
    m.pointerSpeed = 1400;
    m.gyroSpeed = 1100;
    return m;
}

// Whole numbers are written without a fraction ("1400", not "1400.0"), as the stored data of
// earlier versions has them.
Json number(double value) {
    constexpr double exactLimit = 9007199254740992.0; // 2^53
    if (std::isfinite(value) && std::trunc(value) == value && std::fabs(value) < exactLimit) {
        return static_cast<std::int64_t>(value);
    }
    return value;
}

Json encodeAction(const KeyAction& action) {
    switch (action.kind()) {
    case KeyAction::Kind::key:
        return Json{{"key", Json{{"_0", action.keyCode()}}}};
    case KeyAction::Kind::mouse:
        return Json{{"mouse", Json{{"_0", rawValue(action.mouseButton())}}}};
    case KeyAction::Kind::none:
        break;
    }
    return Json{{"none", Json::object()}};
}

// The value of an integral JSON number within [low, high]; a fraction, another type or a value
// out of range gives nothing. Integral floats (3.0) count as integers.
std::optional<std::int64_t> integerIn(const Json& j, std::int64_t low, std::int64_t high) {
    if (j.is_number_integer()) {
        if (j.is_number_unsigned()) {
            auto u = j.get<std::uint64_t>();
            if (u > static_cast<std::uint64_t>(high)) {
                return std::nullopt;
            }
            return static_cast<std::int64_t>(u);
        }
        auto i = j.get<std::int64_t>();
        if (i < low || i > high) {
            return std::nullopt;
        }
        return i;
    }
    if (j.is_number_float()) {
        double d = j.get<double>();
        if (!std::isfinite(d) || std::trunc(d) != d || d < static_cast<double>(low) ||
            d > static_cast<double>(high)) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

std::optional<KeyAction> decodeAction(const Json& j, std::string& error) {
    if (!j.is_object()) {
        error = "An action is not a JSON object.";
        return std::nullopt;
    }
    int cases = 0;
    for (const char* name : {"none", "key", "mouse"}) {
        cases += j.contains(name) ? 1 : 0;
    }
    if (cases != 1) {
        error = "Invalid number of keys found, expected one.";
        return std::nullopt;
    }
    auto payloadOf = [&](const char* name) -> const Json* {
        auto it = j.find(name);
        if (it == j.end()) {
            return nullptr;
        }
        if (!it->is_object()) {
            error = std::string("The payload of \"") + name + "\" is not a JSON object.";
            return nullptr;
        }
        return &*it;
    };
    if (j.contains("none")) {
        return payloadOf("none") ? std::optional(KeyAction::none()) : std::nullopt;
    }
    if (j.contains("key")) {
        const Json* payload = payloadOf("key");
        if (!payload) {
            return std::nullopt;
        }
        auto it = payload->find("_0");
        if (it == payload->end()) {
            error = "A key action has no key code.";
            return std::nullopt;
        }
        auto code = integerIn(*it, 0, 65535);
        if (!code) {
            error = "A key code is not an integer from 0 to 65535.";
            return std::nullopt;
        }
        return KeyAction::key(static_cast<std::uint16_t>(*code));
    }
    const Json* payload = payloadOf("mouse");
    if (!payload) {
        return std::nullopt;
    }
    auto it = payload->find("_0");
    if (it == payload->end() || !it->is_string()) {
        error = "A mouse action has no mouse button.";
        return std::nullopt;
    }
    auto button = mouseButtonFromRaw(it->get_ref<const std::string&>());
    if (!button) {
        error = "Unknown mouse button \"" + it->get<std::string>() + "\".";
        return std::nullopt;
    }
    return KeyAction::mouse(*button);
}

std::optional<StickAction> decodeStick(const Json& object, const char* key, std::string& error) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) {
        error = std::string("\"") + key + "\" is missing or not a string.";
        return std::nullopt;
    }
    auto action = stickActionFromRaw(it->get_ref<const std::string&>());
    if (!action) {
        error = "Unknown stick action \"" + it->get<std::string>() + "\" for \"" + key + "\".";
    }
    return action;
}

KeyMappingDecodeResult fail(std::string text) {
    return {std::nullopt, std::move(text)};
}

KeyMappingDecodeResult decode(std::string_view text) {
    Json root = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (root.is_discarded()) {
        return fail("The data is not valid JSON.");
    }
    if (!root.is_object()) {
        return fail("The data is not a JSON object.");
    }
    KeyMapping mapping;
    std::string error;

    auto buttons = root.find("buttons");
    if (buttons == root.end() || !buttons->is_array()) {
        return fail("\"buttons\" is missing or not an array.");
    }
    if (buttons->size() % 2 != 0) {
        return fail("\"buttons\" holds an odd number of elements.");
    }
    for (std::size_t i = 0; i < buttons->size(); i += 2) {
        auto raw = integerIn((*buttons)[i], 0, controllerButtonCount - 1);
        if (!raw) {
            return fail("\"buttons\" names a button that does not exist: " + (*buttons)[i].dump() +
                        ".");
        }
        auto action = decodeAction((*buttons)[i + 1], error);
        if (!action) {
            return fail(error);
        }
        // A button listed twice keeps its last action, as a dictionary filled in order would.
        mapping.buttons[static_cast<std::size_t>(*raw)] = *action;
    }

    auto left = decodeStick(root, "leftStick", error);
    if (!left) {
        return fail(error);
    }
    auto right = decodeStick(root, "rightStick", error);
    if (!right) {
        return fail(error);
    }
    mapping.leftStick = *left;
    mapping.rightStick = *right;

    auto pointer = root.find("pointerSpeed");
    if (pointer == root.end() || !pointer->is_number()) {
        return fail("\"pointerSpeed\" is missing or not a number.");
    }
    mapping.pointerSpeed = pointer->get<double>();

    // Mappings stored before the gyro speed existed have none; they take the default.
    auto gyro = root.find("gyroSpeed");
    if (gyro == root.end() || gyro->is_null()) {
        mapping.gyroSpeed = KeyMapping::defaultGyroSpeed;
    } else if (gyro->is_number()) {
        mapping.gyroSpeed = gyro->get<double>();
    } else {
        return fail("\"gyroSpeed\" is not a number.");
    }
    return {mapping, {}};
}

} // namespace

const KeyMapping& KeyMapping::shooter() {
    static const KeyMapping m = makeShooter();
    return m;
}

const KeyMapping& KeyMapping::retro() {
    static const KeyMapping m = makeRetro();
    return m;
}

std::string encodeKeyMapping(const KeyMapping& mapping) {
    Json buttons = Json::array();
    for (auto b : allControllerButtons) {
        if (const auto& action = mapping.entry(b)) {
            buttons.push_back(rawValue(b));
            buttons.push_back(encodeAction(*action));
        }
    }
    Json root = Json::object();
    root["buttons"] = std::move(buttons);
    root["leftStick"] = rawValue(mapping.leftStick);
    root["rightStick"] = rawValue(mapping.rightStick);
    root["pointerSpeed"] = number(mapping.pointerSpeed);
    root["gyroSpeed"] = number(mapping.gyroSpeed);
    // A speed that is not finite has no JSON form; it is written as null, which reads back as
    // a failure for "pointerSpeed" and as the default for "gyroSpeed".
    return root.dump(-1, ' ', false, Json::error_handler_t::replace);
}

KeyMappingDecodeResult decodeKeyMapping(std::string_view json) {
    try {
        return decode(json);
    } catch (const std::exception& e) {
        return fail(std::string("The data could not be read: ") + e.what());
    }
}

} // namespace jolto
