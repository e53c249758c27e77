#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "protocol/ControllerButton.h"

namespace jolto {

// A set of buttons as one 32-bit word. Bits 19 to 31 belong to no button but are kept as the
// phone sent them and take part in equality; listing operations skip them.
class ButtonSet {
public:
    constexpr ButtonSet() = default;
    constexpr explicit ButtonSet(std::uint32_t raw) : raw_(raw) {}
    constexpr ButtonSet(std::initializer_list<ControllerButton> buttons) {
        for (auto b : buttons) {
            insert(b);
        }
    }
    // The union of several sets; an empty list gives the empty set.
    static constexpr ButtonSet unionOf(std::initializer_list<ButtonSet> sets) {
        ButtonSet result;
        for (auto s : sets) {
            result.raw_ |= s.raw_;
        }
        return result;
    }

    constexpr std::uint32_t rawValue() const { return raw_; }

    static constexpr std::uint32_t bit(ControllerButton b) {
        return std::uint32_t{1} << jolto::rawValue(b);
    }

    constexpr bool contains(ControllerButton b) const { return (raw_ & bit(b)) != 0; }
    constexpr bool empty() const { return raw_ == 0; }
    constexpr void insert(ControllerButton b) { raw_ |= bit(b); }
    constexpr void remove(ControllerButton b) { raw_ &= ~bit(b); }
    constexpr void formUnion(ButtonSet o) { raw_ |= o.raw_; }

    constexpr ButtonSet unionWith(ButtonSet o) const { return ButtonSet(raw_ | o.raw_); }
    constexpr ButtonSet intersection(ButtonSet o) const { return ButtonSet(raw_ & o.raw_); }
    constexpr ButtonSet symmetricDifference(ButtonSet o) const { return ButtonSet(raw_ ^ o.raw_); }
    constexpr ButtonSet subtracting(ButtonSet o) const { return ButtonSet(raw_ & ~o.raw_); }
    constexpr bool isSubset(ButtonSet o) const { return (raw_ & ~o.raw_) == 0; }
    constexpr bool isDisjoint(ButtonSet o) const { return (raw_ & o.raw_) == 0; }

    // Member buttons in raw-value order, bits 19 to 31 skipped.
    std::vector<ControllerButton> pressed() const;

    // Calls f for every member button in raw-value order without allocating.
    template <typename F> constexpr void forEachPressed(F&& f) const {
        for (auto b : allControllerButtons) {
            if (contains(b)) {
                f(b);
            }
        }
    }

    friend constexpr bool operator==(ButtonSet, ButtonSet) = default;

private:
    std::uint32_t raw_ = 0;
};

} // namespace jolto

template <> struct std::hash<jolto::ButtonSet> {
    std::size_t operator()(jolto::ButtonSet s) const noexcept {
        return std::hash<std::uint32_t>{}(s.rawValue());
    }
};
