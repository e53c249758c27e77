#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "protocol/ControllerState.h"
#include "protocol/Uuid.h"
#include "protocol/WelcomeStatus.h"
#include "protocol/WireConversions.h"

namespace jolto {

inline constexpr std::uint8_t protocolVersion = 1;
// The longest datagram the decoder reads to its end: a hello whose name has the longest length
// its one-byte prefix can give. Message transports refuse anything longer.
inline constexpr std::size_t largestDatagram = 6 + 16 + 16 + 2 + 1 + 255;

// One datagram of the phone protocol: magic "ZEVC", version, type, little-endian body.
struct Packet {
    // A phone asking for a session.
    struct Hello {
        Uuid deviceID;
        Uuid secret;
        std::optional<std::uint16_t> pin;
        std::string name;
        friend bool operator==(const Hello&, const Hello&) = default;
    };
    // The host's answer to a hello.
    struct Welcome {
        WelcomeStatus status = WelcomeStatus::accepted;
        std::uint32_t session = 0;
        std::uint8_t playerNumber = 0;
        std::string hostName;
        friend bool operator==(const Welcome&, const Welcome&) = default;
    };
    struct State {
        std::uint32_t session = 0;
        std::uint32_t sequence = 0;
        ControllerState state;
        friend bool operator==(const State&, const State&) = default;
    };
    struct Ping {
        std::uint32_t session = 0;
        std::uint64_t timestamp = 0;
        friend bool operator==(const Ping&, const Ping&) = default;
    };
    struct Pong {
        std::uint64_t timestamp = 0;
        friend bool operator==(const Pong&, const Pong&) = default;
    };
    struct Goodbye {
        std::uint32_t session = 0;
        friend bool operator==(const Goodbye&, const Goodbye&) = default;
    };
    struct Rumble {
        std::uint32_t session = 0;
        float low = 0;
        float high = 0;
        std::uint16_t durationMS = 0;
        friend bool operator==(const Rumble&, const Rumble&) = default;
    };

    // The alternatives are in wire-type order: hello is type 1, rumble type 7.
    using Value = std::variant<Hello, Welcome, State, Ping, Pong, Goodbye, Rumble>;
    Value value;

    template <typename T>
    requires(!std::is_same_v<std::remove_cvref_t<T>, Packet> && std::is_constructible_v<Value, T>)
        Packet(T&& v)
        : value(std::forward<T>(v)) {}

    template <typename T> bool is() const { return std::holds_alternative<T>(value); }
    template <typename T> const T* get() const { return std::get_if<T>(&value); }

    friend bool operator==(const Packet&, const Packet&) = default;
};

// The datagram for a packet. Strings are cut to at most 64 bytes on whole characters.
std::vector<std::uint8_t> encoded(const Packet& packet);
// The same, appended to `out` (cleared first), reusing its capacity.
void encodeInto(const Packet& packet, std::vector<std::uint8_t>& out);

// The packet a datagram holds, or nothing for any datagram that is not a well-formed packet
// of this protocol version. Never throws.
std::optional<Packet> decode(std::span<const std::uint8_t> datagram);

// The version byte of a datagram that starts with the magic and has a full header.
std::optional<std::uint8_t> peekVersion(std::span<const std::uint8_t> datagram);

} // namespace jolto
