#pragma once

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/PointerDisplay.h"

namespace jolto::testing {

// A pointer location and displays that a test sets, either of which can be unknown; counts how
// often the displays were listed.
class FakePointerDisplay final : public PointerDisplay {
public:
    std::optional<Point> location = Point{};
    std::optional<std::vector<Rect>> displays = std::vector<Rect>{};
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

} // namespace jolto::testing
