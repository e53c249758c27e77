#include "protocol/Random.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <random>

namespace jolto {

namespace {

// The kernel's pool, named explicitly: the library's default token reads the CPU's random
// instruction, and on CPUs whose instruction is broken every PIN and session would be the same.
// The kernel mixes several sources. glibc's getentropy is the getrandom system call (this
// libstdc++ has no token of that name). One device per thread, since a device may not be
// shared.
std::random_device& kernelSource() {
    thread_local std::random_device device = [] {
        try {
            return std::random_device("getentropy");
        } catch (const std::exception&) {
            // Without a random source no PIN or session would be safe to hand out.
            std::abort();
        }
    }();
    return device;
}

} // namespace

void randomBytes(std::uint8_t* out, std::size_t count) {
    auto& source = kernelSource();
    while (count > 0) {
        const auto word = static_cast<std::uint32_t>(source());
        const std::size_t n = std::min(count, sizeof word);
        std::memcpy(out, &word, n);
        out += n;
        count -= n;
    }
}

std::uint32_t randomUniform(std::uint32_t low, std::uint32_t high) {
    const std::uint64_t span = std::uint64_t{high} - low + 1;
    // Draws at or above the last whole multiple of the span are rejected, so that the
    // remainder carries no bias.
    const std::uint64_t limit = (std::uint64_t{1} << 32) / span * span;
    for (;;) {
        std::uint32_t word = 0;
        randomBytes(reinterpret_cast<std::uint8_t*>(&word), sizeof word);
        if (word < limit) {
            return low + static_cast<std::uint32_t>(word % span);
        }
    }
}

} // namespace jolto
