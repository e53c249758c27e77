#include "protocol/Packet.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "protocol/ByteReader.h"
#include "protocol/Utf8.h"

namespace jolto {

namespace {

constexpr std::uint8_t magic[4] = {'Z', 'E', 'V', 'C'};
constexpr std::size_t headerSize = 6;
constexpr std::size_t maxStringBytes = 64;
constexpr std::uint16_t noPIN = 0xFFFF;

class Writer {
public:
    explicit Writer(std::vector<std::uint8_t>& out) : out_(out) {}

    void u8(std::uint8_t v) { out_.push_back(v); }
    void u16(std::uint16_t v) {
        out_.push_back(static_cast<std::uint8_t>(v));
        out_.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void i16(std::int16_t v) { u16(static_cast<std::uint16_t>(v)); }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }
    void u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) {
            out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }
    void uuid(const Uuid& id) { out_.insert(out_.end(), id.bytes.begin(), id.bytes.end()); }
    void string(std::string_view text) {
        auto length = graphemePrefixLength(text, maxStringBytes);
        u8(static_cast<std::uint8_t>(length));
        out_.insert(out_.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
    }
    void header(std::uint8_t type) {
        out_.insert(out_.end(), std::begin(magic), std::end(magic));
        u8(protocolVersion);
        u8(type);
    }

private:
    std::vector<std::uint8_t>& out_;
};

std::int16_t encodeGyroAxis(float v) {
    if (!std::isfinite(v)) {
        return 0;
    }
    // In double so that huge finite values cannot overflow before the clamp.
    double scaled = std::round(static_cast<double>(v) * 1000.0);
    return static_cast<std::int16_t>(std::clamp(scaled, -32767.0, 32767.0));
}

float decodeStickAxis(std::uint16_t raw) {
    return std::max(static_cast<float>(static_cast<std::int16_t>(raw)) / 32767.0f, -1.0f);
}

float decodeLevel(std::uint8_t raw) {
    return static_cast<float>(raw) / 255.0f;
}

float decodeGyroAxis(std::uint16_t raw) {
    return static_cast<float>(static_cast<std::int16_t>(raw)) / 1000.0f;
}

std::string readString(ByteReader& reader) {
    auto length = reader.readUInt8();
    auto bytes = reader.read(length);
    return decodeUtf8Lossy(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

struct Encoder {
    Writer& w;

    void operator()(const Packet::Hello& p) {
        w.header(1);
        w.uuid(p.deviceID);
        w.uuid(p.secret);
        w.u16(p.pin.value_or(noPIN));
        w.string(p.name);
    }
    void operator()(const Packet::Welcome& p) {
        w.header(2);
        w.u8(static_cast<std::uint8_t>(p.status));
        w.u32(p.session);
        w.u8(p.playerNumber);
        w.string(p.hostName);
    }
    void operator()(const Packet::State& p) {
        w.header(3);
        w.u32(p.session);
        w.u32(p.sequence);
        const auto& s = p.state;
        w.u32(s.buttons.rawValue());
        w.i16(encodeStickAxis(s.leftStick.x));
        w.i16(encodeStickAxis(s.leftStick.y));
        w.i16(encodeStickAxis(s.rightStick.x));
        w.i16(encodeStickAxis(s.rightStick.y));
        w.u8(encodeLevel(s.leftTrigger));
        w.u8(encodeLevel(s.rightTrigger));
        // (0, 0) and (-0, 0) leave the gyro out; NaN compares unequal to zero, so it is
        // written (as 0).
        if (!(s.gyroAim.x == 0 && s.gyroAim.y == 0)) {
            w.i16(encodeGyroAxis(s.gyroAim.x));
            w.i16(encodeGyroAxis(s.gyroAim.y));
        }
    }
    void operator()(const Packet::Ping& p) {
        w.header(4);
        w.u32(p.session);
        w.u64(p.timestamp);
    }
    void operator()(const Packet::Pong& p) {
        w.header(5);
        w.u64(p.timestamp);
    }
    void operator()(const Packet::Goodbye& p) {
        w.header(6);
        w.u32(p.session);
    }
    void operator()(const Packet::Rumble& p) {
        w.header(7);
        w.u32(p.session);
        w.u8(encodeLevel(p.low));
        w.u8(encodeLevel(p.high));
        w.u16(p.durationMS);
    }
};

std::optional<Packet> decodeBody(std::uint8_t type, ByteReader& r) {
    switch (type) {
    case 1: {
        Packet::Hello p;
        p.deviceID = r.readUUID();
        p.secret = r.readUUID();
        auto pin = r.readUInt16();
        if (pin != noPIN) {
            p.pin = pin;
        }
        p.name = readString(r);
        return Packet(std::move(p));
    }
    case 2: {
        Packet::Welcome p;
        auto status = r.readUInt8();
        if (status > static_cast<std::uint8_t>(WelcomeStatus::versionMismatch)) {
            return std::nullopt;
        }
        p.status = static_cast<WelcomeStatus>(status);
        p.session = r.readUInt32();
        p.playerNumber = r.readUInt8();
        p.hostName = readString(r);
        return Packet(std::move(p));
    }
    case 3: {
        Packet::State p;
        p.session = r.readUInt32();
        p.sequence = r.readUInt32();
        auto& s = p.state;
        s.buttons = ButtonSet(r.readUInt32());
        s.leftStick.x = decodeStickAxis(r.readUInt16());
        s.leftStick.y = decodeStickAxis(r.readUInt16());
        s.rightStick.x = decodeStickAxis(r.readUInt16());
        s.rightStick.y = decodeStickAxis(r.readUInt16());
        s.leftTrigger = decodeLevel(r.readUInt8());
        s.rightTrigger = decodeLevel(r.readUInt8());
        if (r.remaining() >= 4) {
            s.gyroAim.x = decodeGyroAxis(r.readUInt16());
            s.gyroAim.y = decodeGyroAxis(r.readUInt16());
        }
        return Packet(p);
    }
    case 4: {
        Packet::Ping p;
        p.session = r.readUInt32();
        p.timestamp = r.readUInt64();
        return Packet(p);
    }
    case 5:
        return Packet(Packet::Pong{r.readUInt64()});
    case 6:
        return Packet(Packet::Goodbye{r.readUInt32()});
    default: {
        Packet::Rumble p;
        p.session = r.readUInt32();
        p.low = decodeLevel(r.readUInt8());
        p.high = decodeLevel(r.readUInt8());
        p.durationMS = r.readUInt16();
        return Packet(p);
    }
    }
}

} // namespace

void encodeInto(const Packet& packet, std::vector<std::uint8_t>& out) {
    out.clear();
    Writer writer(out);
    std::visit(Encoder{writer}, packet.value);
}

std::vector<std::uint8_t> encoded(const Packet& packet) {
    std::vector<std::uint8_t> out;
    out.reserve(48);
    encodeInto(packet, out);
    return out;
}

std::optional<Packet> decode(std::span<const std::uint8_t> datagram) {
    try {
        ByteReader reader(datagram);
        auto head = reader.read(4);
        if (!std::equal(head.begin(), head.end(), std::begin(magic))) {
            return std::nullopt;
        }
        if (reader.readUInt8() != protocolVersion) {
            return std::nullopt;
        }
        auto type = reader.readUInt8();
        if (type < 1 || type > 7) {
            return std::nullopt;
        }
        return decodeBody(type, reader);
    } catch (const ByteReader::OutOfBounds&) {
        return std::nullopt;
    }
}

std::optional<std::uint8_t> peekVersion(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < headerSize ||
        !std::equal(datagram.begin(), datagram.begin() + 4, std::begin(magic))) {
        return std::nullopt;
    }
    return datagram[4];
}

} // namespace jolto
