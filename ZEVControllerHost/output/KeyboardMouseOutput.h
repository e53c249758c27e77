#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "output/KeyMapping.h"
#include "platform/InputEventSink.h"
#include "platform/PointerDisplay.h"
#include "protocol/ControllerState.h"
#include "protocol/Uuid.h"

namespace jolto {

// Turns the states of all controllers into keyboard and mouse events. It keeps what it holds
// down and, on every change, posts only the differences: releases before presses, modifiers
// pressed first and released last. Pointer motion, gyro aim and scrolling are integrated over
// time by `step`, carrying fractions between steps. Every call comes from the server's queue;
// once warmed up, neither `update` nor `step` allocates.
class KeyboardMouseOutput {
public:
    KeyboardMouseOutput(InputEventSink& sink, PointerDisplay& display,
                        const KeyMapping& mapping = KeyMapping::shooter());

    const KeyMapping& mapping() const { return mapping_; }
    // Stores the mapping; a mapping that differs from the one in force re-evaluates what is held.
    void setMapping(const KeyMapping& mapping);

    // The latest state of one controller; an all-zero state releases what it held.
    void update(const Uuid& device, const ControllerState& state);
    // Forgets a controller and releases what only it wanted.
    void remove(const Uuid& device);
    // Forgets every controller, releasing everything held.
    void removeAllClients();

    // True while some controller aims with the gyro or deflects a stick that moves the pointer
    // or scrolls; `step` has work only then.
    bool needsMotion() const;
    // Integrates pointer motion, gyro aim and scrolling over `dt` seconds and posts whole points
    // and pixels.
    void step(double dt);

    // The nine modifier keys and their flag bits; Caps Lock is a plain key here.
    static std::uint64_t modifierFlag(std::uint16_t code);
    static bool isModifier(std::uint16_t code) { return modifierFlag(code) != 0; }

    // The keys and mouse buttons held down, for inspection.
    const std::vector<std::uint16_t>& heldKeys() const { return heldKeys_; }
    bool isHeld(MouseButton button) const { return (heldMouse_ & bit(button)) != 0; }
    std::uint64_t modifierFlags() const { return modifierFlags_; }

private:
    using Event = InputEventSink::Event;
    using EventType = InputEventSink::EventType;

    static constexpr std::uint8_t bit(MouseButton b) {
        return static_cast<std::uint8_t>(1u << buttonNumber(b));
    }

    void refresh();
    void wantStickKeys(StickVector stick, StickAction action);
    void postKey(std::uint16_t code, bool down);
    void postMouseButton(MouseButton button, bool down);
    void movePointer(std::int64_t dx, std::int64_t dy);
    std::optional<PointerDisplay::Rect> currentDisplayBounds();
    PointerDisplay::Point pointerLocation();

    InputEventSink& sink_;
    PointerDisplay& display_;

    KeyMapping mapping_;
    std::vector<std::pair<Uuid, ControllerState>> clients_;
    // Key codes with a posted key-down and no key-up yet: exactly what the last refresh wanted.
    std::vector<std::uint16_t> heldKeys_;
    // One bit per mouse button held down.
    std::uint8_t heldMouse_ = 0;
    std::uint64_t modifierFlags_ = 0;
    PointerDisplay::Point pendingMotion_;
    PointerDisplay::Point pendingScroll_;

    // The union of the active displays' bounds, asked for again after 241 uses; `unknown`
    // when the platform cannot tell, in which case the pointer is not clamped and the next use
    // asks again.
    bool displayBoundsFilled_ = false;
    std::optional<PointerDisplay::Rect> displayBounds_;
    int displayBoundsAge_ = 0;

    // Reused by every refresh so that it does not allocate.
    std::vector<std::uint16_t> wantedKeys_;
    bool posted_ = false;
};

} // namespace jolto
