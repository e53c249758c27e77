#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "platform/Clock.h"

namespace jolto {

// One remote endpoint of the listener (a UDP address and port, or one WebSocket connection): the
// host's notion of a phone connection. Ids are never reused within a listener.
using ConnectionId = std::uint64_t;

// What the listener reports. All callbacks run on the server's execution context.
struct UdpListenerHandler {
    // The socket is bound and receiving; port is the one the system chose.
    std::function<void(std::uint16_t port)> ready;
    // The listener cannot serve right now but may recover by itself (no route, interface
    // down); `ready` follows when it does.
    std::function<void(const std::string& error)> waiting;
    // The listener stopped for good; the owner restarts it with a new `start`.
    std::function<void(const std::string& error)> failed;
    // First datagram from a remote endpoint not seen before (or seen again after `close`).
    std::function<void(ConnectionId)> newConnection;
    // One whole datagram (possibly empty) from a known connection, with its arrival time.
    std::function<void(ConnectionId, std::span<const std::uint8_t>, Instant receivedAt)> datagram;
    // The transport lost a connection by itself (a stream closed or broke); it is forgotten
    // already. UDP never reports this. May be empty.
    std::function<void(ConnectionId)> closed;
};

// A datagram listener on a system-chosen port that demultiplexes datagrams by remote endpoint:
// UDP, or a message transport that carries one datagram per message. The server does not know
// which one it talks to.
class UdpListener {
public:
    virtual ~UdpListener() = default;

    // Binds and starts receiving. Returns an error text when the socket cannot be created
    // (nothing is reported through the handler then), or an empty string on success.
    virtual std::string start(UdpListenerHandler handler) = 0;
    // Stops receiving and forgets every connection; no callback runs afterwards.
    virtual void cancel() = 0;
    // Sends one datagram to a connection; errors are not reported.
    virtual void send(ConnectionId connection, std::span<const std::uint8_t> datagram) = 0;
    // Forgets a connection; its next datagram opens a new one.
    virtual void close(ConnectionId connection) = 0;
    // A printable remote address, for logs and tools.
    virtual std::string describe(ConnectionId connection) const = 0;
};

} // namespace jolto
