#pragma once

#include "platform/PointerDisplay.h"

namespace jolto {

// The pointer and display geometry as seen from uinput: unknown. Motion is injected as
// relative deltas, and the compositor (X server or Wayland) keeps the pointer on its screens,
// so the output posts its deltas unclamped.
class UnknownPointerDisplay final : public PointerDisplay {
public:
    std::optional<Point> pointerLocation() override { return std::nullopt; }
    std::optional<std::size_t> activeDisplayBounds(std::span<Rect>) override {
        return std::nullopt;
    }
    std::optional<Rect> mainDisplayBounds() override { return std::nullopt; }
};

} // namespace jolto
