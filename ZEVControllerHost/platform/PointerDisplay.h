#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>

namespace jolto {

// Where the pointer is and which area the displays cover, in global display coordinates
// (origin top left, y growing downward, display points). A platform that injects relative
// motion (uinput under Wayland) knows neither and answers "unknown": the compositor keeps the
// pointer on screen there.
class PointerDisplay {
public:
    struct Point {
        double x = 0;
        double y = 0;
        friend constexpr bool operator==(const Point&, const Point&) = default;
    };

    // A rectangle by its edges; maxX and maxY lie just outside it.
    struct Rect {
        double minX = 0;
        double minY = 0;
        double maxX = 0;
        double maxY = 0;

        constexpr Rect unionWith(const Rect& o) const {
            return {std::min(minX, o.minX), std::min(minY, o.minY), std::max(maxX, o.maxX),
                    std::max(maxY, o.maxY)};
        }
        friend constexpr bool operator==(const Rect&, const Rect&) = default;
    };

    // More active displays than this are not looked at.
    static constexpr std::size_t maxDisplays = 32;

    virtual ~PointerDisplay() = default;

    // The current pointer location, or nothing when it cannot be read.
    virtual std::optional<Point> pointerLocation() = 0;
    // Writes the bounds of up to `out.size()` active displays into `out` and returns how many it
    // wrote; nothing when the platform cannot tell.
    virtual std::optional<std::size_t> activeDisplayBounds(std::span<Rect> out) = 0;
    // The main display's bounds, asked for when no active display is listed; nothing when
    // unknown.
    virtual std::optional<Rect> mainDisplayBounds() = 0;
};

} // namespace jolto
