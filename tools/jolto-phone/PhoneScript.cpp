#include "PhoneScript.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <sstream>

namespace jolto {

namespace {

constexpr std::array<std::string_view, controllerButtonCount> buttonNames = {
    "south",         "east",        "west",         "north",     "leftShoulder",
    "rightShoulder", "leftTrigger", "rightTrigger", "leftStick", "rightStick",
    "dpadUp",        "dpadDown",    "dpadLeft",     "dpadRight", "select",
    "start",         "home",        "capture",      "touchpad",
};

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::optional<double> number(const std::string& word) {
    double value = 0;
    const char* end = word.data() + word.size();
    auto [ptr, ec] = std::from_chars(word.data(), end, value);
    if (ec != std::errc() || ptr != end || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::optional<ControllerButton> PhoneScript::buttonNamed(std::string_view name) {
    for (std::size_t i = 0; i < buttonNames.size(); ++i) {
        if (equalIgnoringCase(name, buttonNames[i])) {
            return allControllerButtons[i];
        }
    }
    return std::nullopt;
}

PhoneScript::Parsed PhoneScript::parse(std::string_view text) {
    PhoneScript script;
    double now = 0;
    std::size_t lineNumber = 0;
    std::istringstream lines{std::string(text)};
    std::string line;
    auto failure = [&](const std::string& what) {
        return Parsed{std::nullopt, "line " + std::to_string(lineNumber) + ": " + what};
    };
    while (std::getline(lines, line)) {
        ++lineNumber;
        if (auto hash = line.find('#'); hash != std::string::npos) {
            line.erase(hash);
        }
        std::istringstream in(line);
        std::vector<std::string> words;
        for (std::string w; in >> w;) {
            words.push_back(w);
        }
        if (words.empty()) {
            continue;
        }
        std::size_t next = 0;
        if (words[0] == "wait") {
            if (words.size() != 2) {
                return failure("wait takes one number of seconds");
            }
            const auto s = number(words[1]);
            if (!s || *s < 0) {
                return failure("wait needs a number of seconds, 0 or more");
            }
            now += *s;
            script.duration_ = std::max(script.duration_, now);
            continue;
        }
        if (words[0] == "at") {
            if (words.size() < 3) {
                return failure("at needs a time and a step");
            }
            const auto t = number(words[1]);
            if (!t || *t < 0) {
                return failure("at needs a time in seconds, 0 or more");
            }
            if (*t < now) {
                return failure("time " + words[1] + " is before the previous step");
            }
            now = *t;
            next = 2;
        }
        const std::string& verb = words[next];
        const std::vector<std::string> args(words.begin() + static_cast<long>(next) + 1,
                                            words.end());
        Step step;
        step.at = now;
        auto values = [&](std::size_t count) -> bool {
            if (args.size() != count) {
                return false;
            }
            std::array<float, 2> v{};
            for (std::size_t i = 0; i < count; ++i) {
                const auto n = number(args[i]);
                if (!n) {
                    return false;
                }
                v[i] = static_cast<float>(*n);
            }
            step.x = v[0];
            step.y = v[1];
            return true;
        };
        if (verb == "press" || verb == "release") {
            step.action = verb == "press" ? Action::press : Action::release;
            if (args.empty()) {
                return failure(verb + " needs at least one button");
            }
            for (const auto& name : args) {
                const auto button = buttonNamed(name);
                if (!button) {
                    return failure("unknown button \"" + name + "\"");
                }
                step.buttons.insert(*button);
            }
        } else if (verb == "neutral" || verb == "ping") {
            step.action = verb == "ping" ? Action::ping : Action::neutral;
            if (!args.empty()) {
                return failure(verb + " takes no values");
            }
        } else if (verb == "left" || verb == "right" || verb == "gyro") {
            step.action = verb == "left"    ? Action::left
                          : verb == "right" ? Action::right
                                            : Action::gyro;
            if (!values(2)) {
                return failure(verb + " needs two numbers");
            }
        } else if (verb == "lt" || verb == "rt") {
            step.action = verb == "lt" ? Action::leftTrigger : Action::rightTrigger;
            if (!values(1)) {
                return failure(verb + " needs one number");
            }
        } else {
            return failure("unknown step \"" + verb + "\"");
        }
        script.steps_.push_back(step);
        script.duration_ = std::max(script.duration_, now);
    }
    return Parsed{std::move(script), {}};
}

ControllerState PhoneScript::applied(ControllerState state, const Step& step) {
    switch (step.action) {
    case Action::press:
        state.buttons = state.buttons.unionWith(step.buttons);
        break;
    case Action::release:
        state.buttons = state.buttons.subtracting(step.buttons);
        break;
    case Action::neutral:
        state = ControllerState{};
        break;
    case Action::left:
        state.leftStick = {step.x, step.y};
        break;
    case Action::right:
        state.rightStick = {step.x, step.y};
        break;
    case Action::gyro:
        state.gyroAim = {step.x, step.y};
        break;
    case Action::leftTrigger:
        state.leftTrigger = step.x;
        break;
    case Action::rightTrigger:
        state.rightTrigger = step.x;
        break;
    case Action::ping:
        break;
    }
    return state;
}

} // namespace jolto
