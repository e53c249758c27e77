#include "platform/linux/UinputKeyboardMouse.h"

#include <algorithm>
#include <limits>

#include <linux/input-event-codes.h>

#include "platform/linux/MacKeyCodes.h"
#include "platform/linux/UinputDevice.h"

namespace jolto {
namespace {

std::int32_t toInt32(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

std::unique_ptr<UinputWriter> openRealDevice(std::string& error) {
    auto result = createUinputDevice();
    if (!result.device) {
        error = result.message;
    }
    return std::move(result.device);
}

} // namespace

UinputKeyboardMouse::UinputKeyboardMouse(const Clock& clock)
    : UinputKeyboardMouse(clock, openRealDevice) {}

UinputKeyboardMouse::UinputKeyboardMouse(const Clock& clock, Opener opener)
    : clock_(clock), opener_(std::move(opener)) {
    tryOpen();
}

void UinputKeyboardMouse::tryOpen() {
    lastAttempt_ = clock_.now();
    std::string error;
    writer_ = opener_(error);
    if (writer_) {
        lastError_.clear();
        unsynced_ = false;
        wheelRemainder_ = hwheelRemainder_ = 0;
        log_.info("Virtual keyboard and mouse created");
    } else if (error != lastError_) {
        // Said once per reason, not on every retry.
        log_.error("Virtual keyboard and mouse: " + error);
        lastError_ = error;
    }
}

void UinputKeyboardMouse::write(std::uint16_t type, std::uint16_t code, std::int32_t value) {
    if (!writer_) {
        return;
    }
    if (!writer_->write(type, code, value)) {
        log_.error("Virtual keyboard and mouse went away");
        writer_.reset();
        lastAttempt_ = clock_.now();
        return;
    }
    unsynced_ = true;
}

void UinputKeyboardMouse::post(const Event& event) {
    if (!writer_ && clock_.now() - lastAttempt_ >= retryInterval) {
        tryOpen();
    }
    if (!writer_) {
        return;
    }
    switch (event.type) {
    case EventType::keyDown:
    case EventType::keyUp:
    case EventType::flagsChanged:
        // A modifier's flags-changed event is its own press or release; the kernel and the
        // desktop derive modifier state from the keys themselves.
        if (auto key = linuxKeyFromMac(event.keyCode)) {
            write(EV_KEY, *key, event.keyDown ? 1 : 0);
        }
        break;
    case EventType::leftMouseDown:
    case EventType::leftMouseUp:
        write(EV_KEY, BTN_LEFT, event.type == EventType::leftMouseDown ? 1 : 0);
        break;
    case EventType::rightMouseDown:
    case EventType::rightMouseUp:
        write(EV_KEY, BTN_RIGHT, event.type == EventType::rightMouseDown ? 1 : 0);
        break;
    case EventType::otherMouseDown:
    case EventType::otherMouseUp:
        write(EV_KEY, BTN_MIDDLE, event.type == EventType::otherMouseDown ? 1 : 0);
        break;
    case EventType::mouseMoved:
    case EventType::leftMouseDragged:
    case EventType::rightMouseDragged:
    case EventType::otherMouseDragged:
        // Moves and drags are the same relative motion here: the kernel knows which buttons
        // are down. The location is not used; the compositor places and clamps the pointer.
        if (event.deltaX != 0) {
            write(EV_REL, REL_X, toInt32(event.deltaX));
        }
        if (event.deltaY != 0) {
            write(EV_REL, REL_Y, toInt32(event.deltaY));
        }
        break;
    case EventType::scrollWheel: {
        constexpr std::int64_t unitsPerPixel = hiResPerDetent / pixelsPerDetent;
        static_assert(unitsPerPixel * pixelsPerDetent == hiResPerDetent);
        // Wheel 1 is positive upwards, like REL_WHEEL. Wheel 2 is positive to the left while
        // REL_HWHEEL is positive to the right, so a stick pushed right scrolls right on both.
        scroll(REL_WHEEL, REL_WHEEL_HI_RES, std::int64_t{event.wheel1} * unitsPerPixel,
               wheelRemainder_);
        scroll(REL_HWHEEL, REL_HWHEEL_HI_RES, -std::int64_t{event.wheel2} * unitsPerPixel,
               hwheelRemainder_);
        break;
    }
    }
}

// The high-resolution axis gets every unit; the legacy axis gets whole detents as they
// accumulate, as the kernel asks of devices with both, for programs that read only the
// legacy axis. A change of direction starts the count afresh, so a detent never mixes units
// scrolled in opposite directions.
void UinputKeyboardMouse::scroll(std::uint16_t code, std::uint16_t hiResCode, std::int64_t hiRes,
                                 std::int32_t& remainder) {
    if (hiRes == 0) {
        return;
    }
    std::int32_t units = toInt32(hiRes);
    if ((units > 0 && remainder < 0) || (units < 0 && remainder > 0)) {
        remainder = 0;
    }
    std::int64_t total = std::int64_t{remainder} + units;
    std::int64_t detents = total / hiResPerDetent;
    remainder = static_cast<std::int32_t>(total - detents * hiResPerDetent);
    if (detents != 0) {
        write(EV_REL, code, toInt32(detents));
    }
    write(EV_REL, hiResCode, units);
}

void UinputKeyboardMouse::endBatch() {
    if (unsynced_) {
        write(EV_SYN, SYN_REPORT, 0);
        unsynced_ = false;
    }
}

} // namespace jolto
