#pragma once

#include <cstdint>

namespace jolto {

// The raw input events going into one uinput device; a fake records them in tests.
class UinputWriter {
public:
    virtual ~UinputWriter() = default;
    // Writes one event (EV_KEY, EV_REL, EV_SYN, ...). False when the device is gone and later
    // writes cannot succeed either.
    virtual bool write(std::uint16_t type, std::uint16_t code, std::int32_t value) = 0;
};

} // namespace jolto
