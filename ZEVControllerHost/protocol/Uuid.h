#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace jolto {

// A 128-bit identifier. Phones send them as 16 bytes in canonical order; the host writes them
// as the canonical 36-character upper-case text.
struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    // Accepts the 8-4-4-4-12 hexadecimal form in either case; anything else gives nothing.
    static std::optional<Uuid> parse(std::string_view text);
    // A random (version 4) identifier from the system's random source.
    static Uuid random();

    std::string string() const;

    friend auto operator<=>(const Uuid&, const Uuid&) = default;
    friend bool operator==(const Uuid&, const Uuid&) = default;
};

} // namespace jolto

template <> struct std::hash<jolto::Uuid> {
    std::size_t operator()(const jolto::Uuid& id) const noexcept {
        std::size_t h = 14695981039346656037ull;
        for (auto b : id.bytes) {
            h = (h ^ b) * 1099511628211ull;
        }
        return h;
    }
};
