#pragma once

#include <cstdint>

#include "platform/PointerDisplay.h"

namespace jolto {

// Where the keyboard and mouse output posts its events. The event vocabulary is that of the
// desktop event systems the product was designed on: key codes are macOS virtual key codes and
// the type numbers are the classic event type numbers; an adapter translates what it needs.
// Events arrive in batches: everything one controller state change or one motion step causes,
// in order, followed by `endBatch`.
class InputEventSink {
public:
    enum class EventType : std::uint32_t {
        leftMouseDown = 1,
        leftMouseUp = 2,
        rightMouseDown = 3,
        rightMouseUp = 4,
        mouseMoved = 5,
        leftMouseDragged = 6,
        rightMouseDragged = 7,
        keyDown = 10,
        keyUp = 11,
        // A modifier key going down or up; `keyDown` tells which.
        flagsChanged = 12,
        scrollWheel = 22,
        otherMouseDown = 25,
        otherMouseUp = 26,
        otherMouseDragged = 27,
    };

    // Modifier flag bits carried by `flags`.
    static constexpr std::uint64_t shiftFlag = 0x20000;
    static constexpr std::uint64_t controlFlag = 0x40000;
    static constexpr std::uint64_t alternateFlag = 0x80000;
    static constexpr std::uint64_t commandFlag = 0x100000;
    static constexpr std::uint64_t secondaryFunctionFlag = 0x800000;

    struct Event {
        EventType type = EventType::mouseMoved;
        // Key events: the macOS virtual key code, and whether the key goes down.
        std::uint16_t keyCode = 0;
        bool keyDown = false;
        // Mouse events: the button number (left 0, right 1, middle 2; 0 for plain moves), the
        // pointer location and, for moves and drags, the relative motion in whole points.
        std::uint32_t buttonNumber = 0;
        PointerDisplay::Point location;
        std::int64_t deltaX = 0;
        std::int64_t deltaY = 0;
        // Scroll events, in pixels: wheel 1 is vertical (positive scrolls up), wheel 2 is
        // horizontal (positive scrolls left).
        std::int32_t wheel1 = 0;
        std::int32_t wheel2 = 0;
        // The modifier flags in force; 0 on scroll events.
        std::uint64_t flags = 0;

        friend constexpr bool operator==(const Event&, const Event&) = default;
    };

    virtual ~InputEventSink() = default;

    virtual void post(const Event& event) = 0;
    // The events posted since the previous batch belong together (one input frame).
    virtual void endBatch() = 0;
};

} // namespace jolto
