#pragma once

#include <array>
#include <cstdint>

namespace jolto {

// One input report of the virtual gamepad: buttons, hat, four stick axes, two triggers.
using InputReport = std::array<std::uint8_t, 13>;

} // namespace jolto
