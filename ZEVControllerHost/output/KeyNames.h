#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace jolto {

// The display name of a macOS virtual key code ("A", "Space", "F20", "Keypad 9", "Super"),
// or "Key " and the decimal code for a code without a name.
std::string keyName(std::uint16_t code);

// The name of a code that has one, nothing otherwise.
std::optional<std::string_view> knownKeyName(std::uint16_t code);

} // namespace jolto
