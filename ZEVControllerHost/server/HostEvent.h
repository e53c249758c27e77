#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "server/ClientSnapshot.h"
#include "server/ListenerState.h"
#include "store/TrustedDevice.h"

namespace jolto {

// What the server reports to the host model. Each event is delivered on the server's context;
// moving it to the interface thread is the receiver's business.
struct HostEvent {
    // The listener starts, becomes ready, waits or fails.
    struct Listener {
        ListenerState state;
        friend bool operator==(const Listener&, const Listener&) = default;
    };
    // The welcomed controllers, ordered by player number.
    struct Clients {
        std::vector<ClientSnapshot> clients;
        friend bool operator==(const Clients&, const Clients&) = default;
    };
    // The pairing PIN as exactly four digits, zero-padded.
    struct Pin {
        std::string pin;
        friend bool operator==(const Pin&, const Pin&) = default;
    };
    // The trusted phones, most recently seen first.
    struct Trusted {
        std::vector<TrustedDevice> devices;
        friend bool operator==(const Trusted&, const Trusted&) = default;
    };
    // A virtual gamepad could not be created (with the text), or the output mode changed
    // (without).
    struct GamepadProblem {
        std::optional<std::string> problem;
        friend bool operator==(const GamepadProblem&, const GamepadProblem&) = default;
    };
    // Why the host is not visible on the network, or nothing once the service is published.
    struct Advertisement {
        std::optional<std::string> problem;
        friend bool operator==(const Advertisement&, const Advertisement&) = default;
    };

    // The controller page's port: starting, ready (with the address phones open), failed, or
    // switched off (failed without an error).
    struct WebPage {
        ListenerState state;
        std::string address;
        friend bool operator==(const WebPage&, const WebPage&) = default;
    };

    // Wrong PINs paused pairing for `length` from now, or (without) the pause ended early: a new
    // PIN or a pairing. A pause that runs out ends without an event.
    struct PairingPause {
        std::optional<std::chrono::seconds> length;
        friend bool operator==(const PairingPause&, const PairingPause&) = default;
    };

    using Value = std::variant<Listener, Clients, Pin, Trusted, GamepadProblem, Advertisement,
                               WebPage, PairingPause>;
    Value value;

    template <typename T> HostEvent(T v) : value(std::move(v)) {}

    template <typename T> bool is() const { return std::holds_alternative<T>(value); }
    template <typename T> const T* get() const { return std::get_if<T>(&value); }

    friend bool operator==(const HostEvent&, const HostEvent&) = default;
};

} // namespace jolto
