#pragma once

#include <cstdint>
#include <string>

namespace jolto {

// The listener's status as the user sees it. Only `ready` carries a port and only `failed`
// carries an error, so equality compares the case and its payload.
struct ListenerState {
    enum class Kind { starting, ready, failed };

    Kind kind = Kind::starting;
    // The UDP port the system chose (0 if it reports none); 0 unless ready.
    std::uint16_t port = 0;
    // A description of the network error; empty unless failed.
    std::string error;

    static ListenerState starting() { return {}; }
    static ListenerState ready(std::uint16_t port) { return {Kind::ready, port, {}}; }
    static ListenerState failed(std::string error) { return {Kind::failed, 0, std::move(error)}; }

    friend bool operator==(const ListenerState&, const ListenerState&) = default;
};

} // namespace jolto
