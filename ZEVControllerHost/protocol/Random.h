#pragma once

#include <cstddef>
#include <cstdint>

namespace jolto {

// Bytes from the kernel's random source (getrandom); aborts when there is none.
void randomBytes(std::uint8_t* out, std::size_t count);

// A uniformly distributed integer in [low, high], drawn from the system's random source by
// rejection, so without modulo bias.
std::uint32_t randomUniform(std::uint32_t low, std::uint32_t high);

} // namespace jolto
