#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/Asio.h"
#include <gtest/gtest.h>

#include "platform/linux/AsioUdpListener.h"

using namespace jolto;
using namespace std::chrono_literals;

namespace {

// An address on this computer: `v4` for IPv4, the IPv6 loopback otherwise.
struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    Address(int family, std::uint16_t port, const char* v4 = "127.0.0.1") {
        if (family == AF_INET) {
            auto& a = reinterpret_cast<sockaddr_in&>(storage);
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            inet_pton(AF_INET, v4, &a.sin_addr);
            length = sizeof a;
        } else {
            auto& a = reinterpret_cast<sockaddr_in6&>(storage);
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(port);
            a.sin6_addr = in6addr_loopback;
            length = sizeof a;
        }
    }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// A phone's socket on loopback: plain POSIX, so that the listener is checked against the
// kernel rather than against itself.
class Peer {
public:
    explicit Peer(int family, const char* bindAddress = "127.0.0.1") : family_(family) {
        fd_ = ::socket(family, SOCK_DGRAM, 0);
        const int on = 1;
        Address here(family, 0, bindAddress);
        ::bind(fd_, here.get(), here.length);
        if (family == AF_INET) {
            setsockopt(fd_, IPPROTO_IP, IP_RECVTOS, &on, sizeof on);
        } else {
            setsockopt(fd_, IPPROTO_IPV6, IPV6_RECVTCLASS, &on, sizeof on);
        }
    }
    ~Peer() { ::close(fd_); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Fixes the remote: the kernel then drops datagrams from any other source address.
    void connectTo(const char* address, std::uint16_t port) {
        Address there(AF_INET, port, address);
        ASSERT_EQ(::connect(fd_, there.get(), there.length), 0);
    }

    void send(std::uint16_t port, const std::string& payload) {
        Address there(family_, port);
        ASSERT_EQ(::sendto(fd_, payload.data(), payload.size(), 0, there.get(), there.length),
                  static_cast<ssize_t>(payload.size()));
    }

    void sendConnected(const std::string& payload) {
        ASSERT_EQ(::send(fd_, payload.data(), payload.size(), 0),
                  static_cast<ssize_t>(payload.size()));
    }

    std::uint16_t port() const {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        return family_ == AF_INET ? ntohs(reinterpret_cast<sockaddr_in&>(a).sin_port)
                                  : ntohs(reinterpret_cast<sockaddr_in6&>(a).sin6_port);
    }

    struct Received {
        std::string payload;
        int trafficClass = -1;
    };

    // Waits up to `timeout` for one datagram.
    std::optional<Received> receive(std::chrono::milliseconds timeout = 5s) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
            return std::nullopt;
        }
        char data[2048];
        alignas(cmsghdr) char control[256];
        iovec io{data, sizeof data};
        msghdr m{};
        m.msg_iov = &io;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd_, &m, 0);
        if (n < 0) {
            return std::nullopt;
        }
        Received r{std::string(data, static_cast<std::size_t>(n))};
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
            if ((c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS)) {
                r.trafficClass = *reinterpret_cast<unsigned char*>(CMSG_DATA(c));
            } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_TCLASS) {
                int v;
                std::memcpy(&v, CMSG_DATA(c), sizeof v);
                r.trafficClass = v;
            }
        }
        return r;
    }

private:
    int family_;
    int fd_;
};

bool hasIPv6Loopback() {
    const int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
    Address loopback(AF_INET6, 0);
    const bool ok = fd >= 0 && ::bind(fd, loopback.get(), loopback.length) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return ok;
}

struct Delivery {
    ConnectionId id;
    std::string payload;
    Instant receivedAt;
    Instant handledAt;
};

// Records everything the listener reports and runs the context until a condition holds.
class ListenerTest : public ::testing::Test {
protected:
    UdpListenerHandler recordingHandler() {
        UdpListenerHandler h;
        h.ready = [this](std::uint16_t port) { readyPorts.push_back(port); };
        h.waiting = [this](const std::string& e) { failures.push_back("waiting: " + e); };
        h.failed = [this](const std::string& e) { failures.push_back(e); };
        h.newConnection = [this](ConnectionId id) { opened.push_back(id); };
        h.datagram = [this](ConnectionId id, std::span<const std::uint8_t> bytes, Instant at) {
            deliveries.push_back({id, std::string(bytes.begin(), bytes.end()), at,
                                  std::chrono::steady_clock::now()});
            if (onDatagram) {
                onDatagram(id);
            }
        };
        return h;
    }

    template <typename Predicate> bool runUntil(Predicate done, std::chrono::seconds limit = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            context.restart();
            context.run_for(5ms);
        }
        return true;
    }

    std::uint16_t startListening() {
        const auto error = listener.start(recordingHandler());
        EXPECT_EQ(error, "");
        const std::size_t before = readyPorts.size();
        EXPECT_TRUE(runUntil([&] { return readyPorts.size() > before; }));
        return readyPorts.empty() ? 0 : readyPorts.back();
    }

    asio::io_context context;
    AsioUdpListener listener{context};
    std::vector<std::uint16_t> readyPorts;
    std::vector<std::string> failures;
    std::vector<ConnectionId> opened;
    std::vector<Delivery> deliveries;
    std::function<void(ConnectionId)> onDatagram;
};

TEST_F(ListenerTest, OneConnectionPerRemoteEndpointWithWholeDatagramsInOrder) {
    const std::uint16_t port = startListening();
    ASSERT_NE(port, 0);
    EXPECT_EQ(port, listener.port());
    // A second start is refused and leaves the running socket alone.
    EXPECT_NE(listener.start(recordingHandler()), "");

    Peer a(AF_INET), b(AF_INET);
    a.send(port, "a1");
    b.send(port, "b1");
    a.send(port, "");
    a.send(port, std::string(1400, 'x'));
    ASSERT_TRUE(runUntil([&] { return deliveries.size() == 4; }));

    ASSERT_EQ(opened.size(), 2u);
    EXPECT_NE(opened[0], opened[1]);
    EXPECT_EQ(deliveries[0].id, opened[0]);
    EXPECT_EQ(deliveries[0].payload, "a1");
    EXPECT_EQ(deliveries[1].id, opened[1]);
    EXPECT_EQ(deliveries[1].payload, "b1");
    EXPECT_EQ(deliveries[2].id, opened[0]);
    EXPECT_EQ(deliveries[2].payload, "");
    EXPECT_EQ(deliveries[3].payload.size(), 1400u);
    EXPECT_EQ(listener.describe(opened[0]), "127.0.0.1:" + std::to_string(a.port()));
    EXPECT_EQ(listener.connectionCount(), 2u);
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(readyPorts.size(), 1u);

    if (!hasIPv6Loopback()) {
        GTEST_SKIP() << "no IPv6 loopback here, the dual-stack half is not checked";
    }
    Peer c(AF_INET6);
    c.send(port, "c1");
    ASSERT_TRUE(runUntil([&] { return deliveries.size() == 5; }));
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(deliveries[4].id, opened[2]);
    EXPECT_EQ(listener.describe(opened[2]), "[::1]:" + std::to_string(c.port()));
}

TEST_F(ListenerTest, SendReachesOnlyTheConnectionsEndpointMarkedExpeditedForwarding) {
    const std::uint16_t port = startListening();
    Peer a(AF_INET), b(AF_INET);
    a.send(port, "a");
    b.send(port, "b");
    ASSERT_TRUE(runUntil([&] { return deliveries.size() == 2; }));
    const std::vector<std::uint8_t> toB{'t', 'o', 'B'};
    const std::vector<std::uint8_t> toA{'t', 'o', 'A'};
    listener.send(deliveries[1].id, toB);
    listener.send(deliveries[0].id, toA);

    const auto atB = b.receive();
    ASSERT_TRUE(atB);
    EXPECT_EQ(atB->payload, "toB");
    EXPECT_EQ(atB->trafficClass, AsioUdpListener::trafficClass);
    // Had "toB" gone to A as well, it would be queued ahead of "toA".
    const auto atA = a.receive();
    ASSERT_TRUE(atA);
    EXPECT_EQ(atA->payload, "toA");

    int tos = 0;
    socklen_t len = sizeof tos;
    ASSERT_EQ(getsockopt(listener.nativeHandle(), IPPROTO_IP, IP_TOS, &tos, &len), 0);
    EXPECT_EQ(tos, 0xB8);

    if (!hasIPv6Loopback()) {
        GTEST_SKIP() << "no IPv6 loopback here, the IPv6 traffic class is not checked";
    }
    int tclass = 0;
    len = sizeof tclass;
    ASSERT_EQ(getsockopt(listener.nativeHandle(), IPPROTO_IPV6, IPV6_TCLASS, &tclass, &len), 0);
    EXPECT_EQ(tclass, 0xB8);
    Peer c(AF_INET6);
    c.send(port, "c");
    ASSERT_TRUE(runUntil([&] { return deliveries.size() == 3; }));
    listener.send(deliveries[2].id, toA);
    const auto atC = c.receive();
    ASSERT_TRUE(atC);
    EXPECT_EQ(atC->trafficClass, 0xB8);
}

TEST_F(ListenerTest, ReplyLeavesFromTheAddressThePhoneWroteTo) {
    const std::uint16_t port = startListening();
    // 127.0.0.2 is this computer too, but routing would answer from 127.0.0.1, which a
    // connected phone socket ignores.
    Peer phone(AF_INET);
    phone.connectTo("127.0.0.2", port);
    phone.sendConnected("hello");
    ASSERT_TRUE(runUntil([&] { return deliveries.size() == 1; }));
    const std::vector<std::uint8_t> reply{'w'};
    listener.send(deliveries[0].id, reply);
    const auto got = phone.receive();
    ASSERT_TRUE(got) << "the reply came from another local address";
    EXPECT_EQ(got->payload, "w");
}

TEST_F(ListenerTest, ClosedEndpointOpensANewConnectionAndIdsAreNotReused) {
    const std::uint16_t port = startListening();
    Peer a(AF_INET);
    a.send(port, "1");
    ASSERT_TRUE(runUntil([&] { return deliveries.size() == 1; }));
    const ConnectionId first = opened.at(0);
    listener.close(first);
    EXPECT_EQ(listener.connectionCount(), 0u);
    a.send(port, "2");
    ASSERT_TRUE(runUntil([&] { return deliveries.size() == 2; }));
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_GT(opened[1], first);
    EXPECT_EQ(deliveries[1].id, opened[1]);

    // Sending on the forgotten id goes nowhere: the endpoint's next datagram is the reply to
    // the new id only.
    listener.send(first, std::vector<std::uint8_t>{'o', 'l', 'd'});
    listener.send(opened[1], std::vector<std::uint8_t>{'n', 'e', 'w'});
    const auto got = a.receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->payload, "new");
}

TEST_F(ListenerTest, CancelInsideACallbackStopsDeliveryAndForgetsConnections) {
    const std::uint16_t port = startListening();
    Peer a(AF_INET);
    a.send(port, "first");
    a.send(port, "second");
    // Both datagrams are queued in the socket before the context runs again, so one wake-up
    // would hand over both.
    onDatagram = [this](ConnectionId) { listener.cancel(); };
    ASSERT_TRUE(runUntil([&] { return deliveries.size() == 1; }));
    context.restart();
    context.run_for(50ms);
    EXPECT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(listener.port(), 0);
    EXPECT_EQ(listener.connectionCount(), 0u);

    onDatagram = nullptr;
    const std::uint16_t again = startListening();
    ASSERT_NE(again, 0);
    a.send(again, "third");
    ASSERT_TRUE(runUntil([&] { return deliveries.size() == 2; }));
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_NE(opened[1], opened[0]);
}

TEST_F(ListenerTest, SocketThatStopsReceivingFailsOnceAndARestartServesAgain) {
    const std::uint16_t port = startListening();
    Peer a(AF_INET);
    a.send(port, "before");
    ASSERT_TRUE(runUntil([&] { return deliveries.size() == 1; }));

    ::shutdown(listener.nativeHandle(), SHUT_RD);
    ASSERT_TRUE(runUntil([&] { return !failures.empty(); }));
    EXPECT_EQ(failures.size(), 1u);
    EXPECT_EQ(listener.port(), 0);
    context.restart();
    context.run_for(50ms);
    EXPECT_EQ(failures.size(), 1u) << "a failed listener kept reporting";

    const std::uint16_t again = startListening();
    ASSERT_NE(again, 0);
    a.send(again, "after");
    ASSERT_TRUE(runUntil([&] { return deliveries.size() == 2; }));
    // The failure did not drop the phone's connection.
    EXPECT_EQ(opened.size(), 1u);
    EXPECT_EQ(deliveries[1].id, deliveries[0].id);
}

TEST_F(ListenerTest, ArrivalTimeIsTheKernelsNotTheHandlers) {
    const std::uint16_t port = startListening();
    Peer a(AF_INET);
    const Instant sentAt = std::chrono::steady_clock::now();
    a.send(port, "1");
    // The datagram waits in the socket while nothing runs the context; its arrival time must
    // still be the moment it came in.
    std::this_thread::sleep_for(60ms);
    ASSERT_TRUE(runUntil([&] { return deliveries.size() == 1; }));
    const Delivery& d = deliveries[0];
    EXPECT_GE(d.receivedAt, sentAt - 5ms);
    EXPECT_LE(d.receivedAt, d.handledAt - 40ms);

    a.send(port, "2");
    ASSERT_TRUE(runUntil([&] { return deliveries.size() == 2; }));
    EXPECT_GT(deliveries[1].receivedAt, deliveries[0].receivedAt);
    EXPECT_LE(deliveries[1].receivedAt, deliveries[1].handledAt);
}

TEST(ListenerLifetime, DestroyingTheListenerWithAPendingReceiveIsSafe) {
    asio::io_context context;
    std::uint16_t port = 0;
    int callbacks = 0;
    {
        AsioUdpListener listener(context);
        UdpListenerHandler h;
        h.ready = [&](std::uint16_t p) { port = p; };
        h.datagram = [&](ConnectionId, std::span<const std::uint8_t>, Instant) { ++callbacks; };
        ASSERT_EQ(listener.start(h), "");
        context.run_for(20ms);
        ASSERT_NE(port, 0);
    }
    // The aborted wait completes after the listener is gone.
    context.restart();
    context.run_for(20ms);
    EXPECT_EQ(callbacks, 0);
}

} // namespace
