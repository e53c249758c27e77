#pragma once

#include <memory>

#include "server/Asio.h"

#include "platform/UdpListener.h"

namespace jolto {

// The UDP listener on one Asio socket: dual-stack IPv6 on a system-chosen port (IPv4 alone where
// the system has no IPv6), outgoing datagrams marked DSCP EF, every datagram stamped with the
// kernel's receive time. Remote endpoints become connections on their first datagram; the map
// only shrinks through `close` and `cancel`, so its owner bounds it.
//
// Everything, calls and handler callbacks, runs on the io_context given at construction. A
// failed listener keeps its connections: a later `start` serves them again on the new port.
class AsioUdpListener final : public UdpListener {
public:
    explicit AsioUdpListener(asio::io_context& context);
    ~AsioUdpListener() override;

    AsioUdpListener(const AsioUdpListener&) = delete;
    AsioUdpListener& operator=(const AsioUdpListener&) = delete;

    std::string start(UdpListenerHandler handler) override;
    void cancel() override;
    void send(ConnectionId connection, std::span<const std::uint8_t> datagram) override;
    void close(ConnectionId connection) override;
    std::string describe(ConnectionId connection) const override;

    // The bound port, or 0 while no socket is open.
    std::uint16_t port() const;
    // The socket, for tests that inspect its options; -1 while none is open.
    int nativeHandle() const;
    // Live connections (those not closed since their first datagram).
    std::size_t connectionCount() const;

    // The value the socket puts in IP_TOS and IPV6_TCLASS: DSCP 46 (expedited forwarding).
    static constexpr int trafficClass = 46 << 2;

    struct Core;

private:
    std::shared_ptr<Core> core_;
};

} // namespace jolto
