#pragma once

#include <chrono>
#include <memory>

#include "platform/UdpListener.h"
#include "server/Asio.h"

namespace jolto {

// The controller page's transport: one TCP port (dual-stack, system-chosen) that serves the
// built-in page over HTTP and carries the protocol's datagrams as binary WebSocket messages at
// /ws, one connection per client. HTTP and WebSocket are Boost.Beast's; nothing here parses
// either.
//
// Hostile clients are bounded: at most `maxPending` connections that have not been welcomed
// (a new one pushes out the oldest), `handshakeDeadline` from accept to the upgrade, messages
// no longer than the longest datagram, a short queue of outgoing messages per connection
// (datagram semantics: the rest are dropped), and before its welcome a connection's messages
// reach the server only when they are hellos.
//
// Everything runs on the io_context given at construction, like the UDP listener.
class WebSocketListener final : public UdpListener {
public:
    static constexpr std::size_t maxPending = 16;
    static constexpr std::chrono::seconds handshakeDeadline{5};
    static constexpr std::chrono::seconds idleTimeout{20};
    static constexpr std::size_t maxQueuedMessages = 32;
    static constexpr std::string_view socketPath = "/ws";

    explicit WebSocketListener(asio::io_context& context);
    ~WebSocketListener() override;

    WebSocketListener(const WebSocketListener&) = delete;
    WebSocketListener& operator=(const WebSocketListener&) = delete;

    std::string start(UdpListenerHandler handler) override;
    void cancel() override;
    void send(ConnectionId connection, std::span<const std::uint8_t> datagram) override;
    void close(ConnectionId connection) override;
    std::string describe(ConnectionId connection) const override;

    // The bound port, or 0 while not listening.
    std::uint16_t port() const;
    // Open TCP connections, and those of them not welcomed yet.
    std::size_t connectionCount() const;
    std::size_t pendingCount() const;

    struct Core;

private:
    std::shared_ptr<Core> core_;
};

} // namespace jolto
