#include "Random.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

#include <sys/random.h>

namespace jolto {

void randomBytes(std::uint8_t* out, std::size_t count) {
    // getrandom() draws from the kernel's pool, which mixes several sources; a CPU whose random
    // instruction is broken cannot make every PIN and session the same.
    while (count > 0) {
        ssize_t got = ::getrandom(out, count, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            // Without a random source no PIN or session would be safe to hand out.
            std::abort();
        }
        out += got;
        count -= static_cast<std::size_t>(got);
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
