#pragma once

#include <cstdint>
#include <span>

#include "protocol/Uuid.h"

namespace jolto {

// Reads little-endian fields from a datagram and refuses any read past its end. A failed read
// throws OutOfBounds and leaves `offset` where it was.
struct ByteReader {
    struct OutOfBounds {};

    std::span<const std::uint8_t> storage;
    std::ptrdiff_t offset = 0;

    explicit ByteReader(std::span<const std::uint8_t> bytes) : storage(bytes) {}

    std::span<const std::uint8_t> read(std::ptrdiff_t count);
    std::uint8_t readUInt8();
    std::uint16_t readUInt16();
    std::uint32_t readUInt32();
    std::uint64_t readUInt64();
    Uuid readUUID();

    std::ptrdiff_t remaining() const {
        return static_cast<std::ptrdiff_t>(storage.size()) - offset;
    }
};

} // namespace jolto
