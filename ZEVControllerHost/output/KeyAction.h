#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "output/MouseButton.h"

namespace jolto {

// What one controller button does: press a key (a macOS virtual key code, independent of the
// keyboard layout), press a mouse button, or nothing. Equal by case and payload.
class KeyAction {
public:
    enum class Kind : std::uint8_t { key, mouse, none };

    // The default action does nothing.
    constexpr KeyAction() = default;

    static constexpr KeyAction key(std::uint16_t code) { return {Kind::key, code, {}}; }
    static constexpr KeyAction mouse(MouseButton button) { return {Kind::mouse, 0, button}; }
    static constexpr KeyAction none() { return {}; }

    constexpr Kind kind() const { return kind_; }
    constexpr bool isKey() const { return kind_ == Kind::key; }
    constexpr bool isMouse() const { return kind_ == Kind::mouse; }
    constexpr bool isNone() const { return kind_ == Kind::none; }
    // The payloads; meaningful only for their own case (0 and `left` otherwise).
    constexpr std::uint16_t keyCode() const { return code_; }
    constexpr MouseButton mouseButton() const { return button_; }

    friend constexpr bool operator==(const KeyAction&, const KeyAction&) = default;

private:
    constexpr KeyAction(Kind kind, std::uint16_t code, MouseButton button)
        : kind_(kind), code_(code), button_(button) {}

    // Payloads of the other cases stay at their defaults so that equality is by case and
    // payload only.
    Kind kind_ = Kind::none;
    std::uint16_t code_ = 0;
    MouseButton button_ = MouseButton::left;
};

// The text the key capture button shows: the key's name, the mouse button's label, or "—".
std::string label(const KeyAction& action);

} // namespace jolto

template <> struct std::hash<jolto::KeyAction> {
    std::size_t operator()(const jolto::KeyAction& a) const noexcept {
        return std::hash<std::uint32_t>{}(static_cast<std::uint32_t>(a.kind()) << 24 |
                                          static_cast<std::uint32_t>(a.mouseButton()) << 16 |
                                          a.keyCode());
    }
};
