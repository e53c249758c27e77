#include "output/KeyboardMouseOutput.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace jolto {
namespace {

constexpr float pressThreshold = 0.5f;
constexpr float releaseThreshold = 0.3f;
constexpr double scrollFactor = 0.6;
// The display bounds are asked for again on the 241st use after they were filled: about every
// two seconds of continuous motion at one move per 8 ms tick.
constexpr int displayBoundsLifetime = 241;

// The largest whole amounts one step posts. Deltas are 64-bit fields and wheel values 32-bit;
// a stored mapping may carry any speed, so larger amounts are cut to these rather than
// overflowing the conversion.
constexpr double maxMotion = 9007199254740992.0; // 2^53, exact in a double and an int64
constexpr double maxScroll = std::numeric_limits<std::int32_t>::max();

struct DirectionKeys {
    std::uint16_t up, left, down, right;
};
constexpr DirectionKeys wasdKeys{13, 0, 1, 2};
constexpr DirectionKeys arrowKeys{126, 123, 125, 124};

constexpr std::size_t expectedClients = 8;
constexpr std::size_t expectedKeys = 64;

bool contains(const std::vector<std::uint16_t>& keys, std::uint16_t code) {
    return std::find(keys.begin(), keys.end(), code) != keys.end();
}

void insert(std::vector<std::uint16_t>& keys, std::uint16_t code) {
    if (!contains(keys, code)) {
        keys.push_back(code);
    }
}

// Splits an accumulated amount into the whole part to post, cut to `limit`, and keeps the
// fraction with its sign for the next step. An amount that is no longer finite (a speed or aim
// so large that it overflowed) is dropped instead of poisoning every later step.
double takeWhole(double& pending, double limit) {
    if (!std::isfinite(pending)) {
        pending = 0;
        return 0;
    }
    double whole = std::trunc(pending);
    pending -= whole;
    return std::clamp(whole, -limit, limit);
}

bool offCentre(StickVector s) {
    return s.x != 0 || s.y != 0;
}

} // namespace

KeyboardMouseOutput::KeyboardMouseOutput(InputEventSink& sink, PointerDisplay& display,
                                         const KeyMapping& mapping)
    : sink_(sink), display_(display), mapping_(mapping) {
    clients_.reserve(expectedClients);
    heldKeys_.reserve(expectedKeys);
    wantedKeys_.reserve(expectedKeys);
}

std::uint64_t KeyboardMouseOutput::modifierFlag(std::uint16_t code) {
    switch (code) {
    case 54: // Right Super
    case 55: // Super
        return InputEventSink::commandFlag;
    case 56: // Shift
    case 60: // Right Shift
        return InputEventSink::shiftFlag;
    case 58: // Alt
    case 61: // Right Alt
        return InputEventSink::alternateFlag;
    case 59: // Control
    case 62: // Right Control
        return InputEventSink::controlFlag;
    case 63: // Fn
        return InputEventSink::secondaryFunctionFlag;
    default:
        return 0;
    }
}

void KeyboardMouseOutput::setMapping(const KeyMapping& mapping) {
    if (mapping == mapping_) {
        return;
    }
    mapping_ = mapping;
    refresh();
}

void KeyboardMouseOutput::update(const Uuid& device, const ControllerState& state) {
    auto it = std::find_if(clients_.begin(), clients_.end(),
                           [&](const auto& entry) { return entry.first == device; });
    if (it == clients_.end()) {
        clients_.emplace_back(device, state);
    } else {
        it->second = state;
    }
    refresh();
}

void KeyboardMouseOutput::remove(const Uuid& device) {
    auto it = std::find_if(clients_.begin(), clients_.end(),
                           [&](const auto& entry) { return entry.first == device; });
    if (it == clients_.end()) {
        return;
    }
    clients_.erase(it);
    refresh();
}

void KeyboardMouseOutput::removeAllClients() {
    clients_.clear();
    refresh();
}

bool KeyboardMouseOutput::needsMotion() const {
    auto moves = [](StickAction a) { return a == StickAction::mouse || a == StickAction::scroll; };
    bool leftMoves = moves(mapping_.leftStick);
    bool rightMoves = moves(mapping_.rightStick);
    return std::any_of(clients_.begin(), clients_.end(), [&](const auto& entry) {
        const ControllerState& s = entry.second;
        return offCentre(s.gyroAim) || (leftMoves && offCentre(s.leftStick)) ||
               (rightMoves && offCentre(s.rightStick));
    });
}

// A direction key is wanted past the press threshold, and kept past the lower release
// threshold once held (for whatever reason), so that a stick resting near the threshold does
// not chatter. The comparisons are made in single precision, the precision of the stick.
void KeyboardMouseOutput::wantStickKeys(StickVector stick, StickAction action) {
    if (action != StickAction::wasd && action != StickAction::arrows) {
        return;
    }
    const DirectionKeys& keys = action == StickAction::wasd ? wasdKeys : arrowKeys;
    const std::array<std::pair<float, std::uint16_t>, 4> pairs = {{
        {stick.y, keys.up},
        {-stick.x, keys.left},
        {-stick.y, keys.down},
        {stick.x, keys.right},
    }};
    for (auto [value, code] : pairs) {
        float threshold = contains(heldKeys_, code) ? releaseThreshold : pressThreshold;
        if (value > threshold) {
            insert(wantedKeys_, code);
        }
    }
}

void KeyboardMouseOutput::refresh() {
    wantedKeys_.clear();
    std::uint8_t wantedMouse = 0;
    for (const auto& [device, state] : clients_) {
        state.buttons.forEachPressed([&](ControllerButton b) {
            const auto& action = mapping_.entry(b);
            if (!action) {
                return;
            }
            if (action->isKey()) {
                insert(wantedKeys_, action->keyCode());
            } else if (action->isMouse()) {
                wantedMouse |= bit(action->mouseButton());
            }
        });
        wantStickKeys(state.leftStick, mapping_.leftStick);
        wantStickKeys(state.rightStick, mapping_.rightStick);
    }

    posted_ = false;
    // Releases: ordinary keys first, modifiers last, so a shortcut never loses its modifier
    // before its key.
    for (bool modifiers : {false, true}) {
        for (auto code : heldKeys_) {
            if (isModifier(code) == modifiers && !contains(wantedKeys_, code)) {
                postKey(code, false);
            }
        }
    }
    for (auto button : allMouseButtons) {
        if ((heldMouse_ & bit(button)) && !(wantedMouse & bit(button))) {
            postMouseButton(button, false);
        }
    }
    // Presses: modifiers first, so every ordinary key goes down with them in force.
    for (bool modifiers : {true, false}) {
        for (auto code : wantedKeys_) {
            if (isModifier(code) == modifiers && !contains(heldKeys_, code)) {
                postKey(code, true);
            }
        }
    }
    for (auto button : allMouseButtons) {
        if (!(heldMouse_ & bit(button)) && (wantedMouse & bit(button))) {
            postMouseButton(button, true);
        }
    }

    std::swap(heldKeys_, wantedKeys_);
    heldMouse_ = wantedMouse;
    if (posted_) {
        sink_.endBatch();
    }
}

void KeyboardMouseOutput::postKey(std::uint16_t code, bool down) {
    Event event;
    event.type = down ? EventType::keyDown : EventType::keyUp;
    event.keyCode = code;
    event.keyDown = down;
    // The flag is updated before the event is stamped: a Shift key-down carries the shift bit
    // and its key-up does not. Left and right variants share one bit, and releasing either
    // clears it.
    if (auto flag = modifierFlag(code)) {
        modifierFlags_ = down ? (modifierFlags_ | flag) : (modifierFlags_ & ~flag);
        event.type = EventType::flagsChanged;
    }
    event.flags = modifierFlags_;
    sink_.post(event);
    posted_ = true;
}

PointerDisplay::Point KeyboardMouseOutput::pointerLocation() {
    return display_.pointerLocation().value_or(PointerDisplay::Point{});
}

void KeyboardMouseOutput::postMouseButton(MouseButton button, bool down) {
    Event event;
    switch (button) {
    case MouseButton::left:
        event.type = down ? EventType::leftMouseDown : EventType::leftMouseUp;
        break;
    case MouseButton::right:
        event.type = down ? EventType::rightMouseDown : EventType::rightMouseUp;
        break;
    case MouseButton::middle:
        event.type = down ? EventType::otherMouseDown : EventType::otherMouseUp;
        break;
    }
    event.buttonNumber = buttonNumber(button);
    event.location = pointerLocation();
    event.flags = modifierFlags_;
    sink_.post(event);
    posted_ = true;
}

void KeyboardMouseOutput::step(double dt) {
    if (!(dt > 0) || !std::isfinite(dt)) {
        return;
    }
    const double pointerSpeed = mapping_.pointerSpeed;
    const double gyroSpeed = mapping_.gyroSpeed;
    double mx = 0, my = 0, sx = 0, sy = 0;
    auto addStick = [&](StickVector s, StickAction action) {
        if (!offCentre(s)) {
            return;
        }
        double x = s.x, y = s.y;
        // The speed grows with the square of the deflection: fine aim near the centre, full
        // speed at the rim. No dead zone is applied here.
        double m = std::sqrt(x * x + y * y);
        if (action == StickAction::mouse) {
            mx += x * m * pointerSpeed * dt;
            my -= y * m * pointerSpeed * dt;
        } else if (action == StickAction::scroll) {
            sx += x * m * pointerSpeed * scrollFactor * dt;
            sy -= y * m * pointerSpeed * scrollFactor * dt;
        }
    };
    for (const auto& [device, s] : clients_) {
        mx += static_cast<double>(s.gyroAim.x) * gyroSpeed * dt;
        my -= static_cast<double>(s.gyroAim.y) * gyroSpeed * dt;
        addStick(s.leftStick, mapping_.leftStick);
        addStick(s.rightStick, mapping_.rightStick);
    }
    pendingMotion_.x += mx;
    pendingMotion_.y += my;
    pendingScroll_.x += sx;
    pendingScroll_.y += sy;

    posted_ = false;
    double tx = takeWhole(pendingMotion_.x, maxMotion);
    double ty = takeWhole(pendingMotion_.y, maxMotion);
    if (tx != 0 || ty != 0) {
        movePointer(static_cast<std::int64_t>(tx), static_cast<std::int64_t>(ty));
    }
    double ux = takeWhole(pendingScroll_.x, maxScroll);
    double uy = takeWhole(pendingScroll_.y, maxScroll);
    if (ux != 0 || uy != 0) {
        Event event;
        event.type = EventType::scrollWheel;
        // Screen y grows downward, so a stick pushed up (negative sy) scrolls up.
        event.wheel1 = static_cast<std::int32_t>(-uy);
        event.wheel2 = static_cast<std::int32_t>(-ux);
        sink_.post(event);
        posted_ = true;
    }
    if (posted_) {
        sink_.endBatch();
    }
}

std::optional<PointerDisplay::Rect> KeyboardMouseOutput::currentDisplayBounds() {
    ++displayBoundsAge_;
    if (displayBoundsFilled_ && displayBoundsAge_ < displayBoundsLifetime) {
        return displayBounds_;
    }
    displayBoundsAge_ = 0;
    displayBounds_.reset();
    std::array<PointerDisplay::Rect, PointerDisplay::maxDisplays> rects;
    if (auto count = display_.activeDisplayBounds(rects)) {
        for (std::size_t i = 0; i < std::min(*count, rects.size()); ++i) {
            displayBounds_ = displayBounds_ ? displayBounds_->unionWith(rects[i]) : rects[i];
        }
    }
    if (!displayBounds_) {
        displayBounds_ = display_.mainDisplayBounds();
    }
    // An answer of "unknown" is asked again on the next move: the displays may just have been
    // changing.
    displayBoundsFilled_ = displayBounds_.has_value();
    return displayBounds_;
}

void KeyboardMouseOutput::movePointer(std::int64_t dx, std::int64_t dy) {
    PointerDisplay::Point location = pointerLocation();
    PointerDisplay::Point target{location.x + static_cast<double>(dx),
                                 location.y + static_cast<double>(dy)};
    // The pointer stays one point inside the right and bottom edges of the displays' union.
    // Where the platform cannot tell the bounds, it keeps the pointer on screen itself.
    if (auto bounds = currentDisplayBounds()) {
        target.x = std::min(std::max(target.x, bounds->minX), bounds->maxX - 1);
        target.y = std::min(std::max(target.y, bounds->minY), bounds->maxY - 1);
    }
    Event event;
    if (heldMouse_ & bit(MouseButton::left)) {
        event.type = EventType::leftMouseDragged;
        event.buttonNumber = 0;
    } else if (heldMouse_ & bit(MouseButton::right)) {
        event.type = EventType::rightMouseDragged;
        event.buttonNumber = 1;
    } else if (heldMouse_ & bit(MouseButton::middle)) {
        event.type = EventType::otherMouseDragged;
        event.buttonNumber = 2;
    } else {
        event.type = EventType::mouseMoved;
        event.buttonNumber = 0;
    }
    event.location = target;
    // The deltas are the motion asked for, not clamped: games read them for aiming even when
    // the pointer sits at a screen edge.
    event.deltaX = dx;
    event.deltaY = dy;
    event.flags = modifierFlags_;
    sink_.post(event);
    posted_ = true;
}

} // namespace jolto
