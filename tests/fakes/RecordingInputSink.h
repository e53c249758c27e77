#pragma once

#include <cstddef>
#include <vector>

#include "platform/InputEventSink.h"

namespace jolto::testing {

// Keeps every posted event and where each batch ended.
class RecordingInputSink final : public InputEventSink {
public:
    std::vector<Event> events;
    // The number of events posted when each batch ended.
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
    static Event mouse(EventType type, std::uint32_t button, PointerDisplay::Point at,
                       std::int64_t dx = 0, std::int64_t dy = 0, std::uint64_t flags = 0) {
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

} // namespace jolto::testing
