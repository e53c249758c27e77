#include "protocol/Random.h"

#include <random>

namespace jolto {

namespace {

std::random_device& source() {
    // libstdc++ and libc++ read getrandom()/the urandom device for the default token.
    thread_local std::random_device device;
    return device;
}

} // namespace

void randomBytes(std::uint8_t* out, std::size_t count) {
    auto& device = source();
    for (std::size_t i = 0; i < count;) {
        auto word = device();
        for (int b = 0; b < 4 && i < count; ++b, ++i) {
            out[i] = static_cast<std::uint8_t>(word >> (8 * b));
        }
    }
}

std::uint32_t randomUniform(std::uint32_t low, std::uint32_t high) {
    // std::uniform_int_distribution rejects out-of-range draws rather than taking a modulus.
    std::uniform_int_distribution<std::uint32_t> distribution(low, high);
    return distribution(source());
}

} // namespace jolto
