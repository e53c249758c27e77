#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/UdpListener.h"
#include "server/ListenerState.h"

namespace jolto {

// Several transports (UDP, WebSocket) behind the one listener the server talks to. The first
// transport is the primary: its readiness is the listener's, and its port is the one
// advertised. The others only add clients; their state is reported on its own and they can be
// switched off and on while the server runs. Connections get the mux's own ids, so that two
// transports never hand the server the same id.
//
// Everything runs on the server's context, like the transports' callbacks.
class TransportMux final : public UdpListener {
public:
    // A secondary transport's state: starting, ready with its port, or failed.
    using StateChanged = std::function<void(std::size_t transport, const ListenerState&)>;

    // `transports[0]` is the primary; all must outlive the mux.
    explicit TransportMux(std::vector<UdpListener*> transports);
    ~TransportMux() override;

    TransportMux(const TransportMux&) = delete;
    TransportMux& operator=(const TransportMux&) = delete;

    void onStateChanged(StateChanged callback) { stateChanged_ = std::move(callback); }
    // Starts or stops a secondary transport. Stopping closes its connections: the server hears
    // `closed` for each, so their players leave at once. A secondary starts with the primary
    // unless it was switched off before.
    void setEnabled(std::size_t transport, bool enabled);
    bool isEnabled(std::size_t transport) const { return slots_.at(transport).enabled; }

    std::string start(UdpListenerHandler handler) override;
    void cancel() override;
    void send(ConnectionId connection, std::span<const std::uint8_t> datagram) override;
    void close(ConnectionId connection) override;
    std::string describe(ConnectionId connection) const override;

    // Live connections of one transport, for tests.
    std::size_t connectionCount(std::size_t transport) const;

private:
    struct Route {
        std::size_t transport = 0;
        ConnectionId inner = 0;
    };
    struct Slot {
        UdpListener* listener = nullptr;
        bool enabled = true;
        bool running = false;
        std::unordered_map<ConnectionId, ConnectionId> outerOf;
    };

    UdpListenerHandler handlerFor(std::size_t transport);
    void startSecondary(std::size_t transport);
    void stopTransport(std::size_t transport, bool reportClosed);
    void report(std::size_t transport, const ListenerState& state);

    std::vector<Slot> slots_;
    std::unordered_map<ConnectionId, Route> routes_;
    ConnectionId nextId_ = 1;
    // Shared with the transports' callbacks, which may outlive a round of start and cancel.
    std::shared_ptr<UdpListenerHandler> server_;
    StateChanged stateChanged_;
};

} // namespace jolto
