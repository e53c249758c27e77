#include "protocol/ByteReader.h"

#include <algorithm>

namespace jolto {

std::span<const std::uint8_t> ByteReader::read(std::ptrdiff_t count) {
    if (count < 0 || count > remaining()) {
        throw OutOfBounds{};
    }
    auto bytes = storage.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(count));
    offset += count;
    return bytes;
}

std::uint8_t ByteReader::readUInt8() {
    return read(1)[0];
}

std::uint16_t ByteReader::readUInt16() {
    auto b = read(2);
    return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

std::uint32_t ByteReader::readUInt32() {
    auto b = read(4);
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
           std::uint32_t{b[3]} << 24;
}

std::uint64_t ByteReader::readUInt64() {
    auto b = read(8);
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = v << 8 | b[static_cast<std::size_t>(i)];
    }
    return v;
}

Uuid ByteReader::readUUID() {
    auto b = read(16);
    Uuid id;
    std::copy(b.begin(), b.end(), id.bytes.begin());
    return id;
}

} // namespace jolto
