#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
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
    explicit Peer(int family) : family_(family), fd_(::socket(family, SOCK_DGRAM, 0)) {
        Address here(family, 0);
        ::bind(fd_, here.get(), here.length);
    }
    ~Peer() { ::close(fd_); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Fixes the remote: the kernel then drops datagrams from any other source address.
    void connectTo(const char* address, std::uint16_t port) {
        Address there(AF_INET, port, address);
        ASSERT_EQ(::connect(fd_, there.get(), there.length), 0);
    }

    // To the listener's port on loopback, or to the connected remote when `port` is 0.
    void send(std::uint16_t port, const std::string& payload) {
        Address there(family_, port);
        ASSERT_EQ(::sendto(fd_, payload.data(), payload.size(), 0, port ? there.get() : nullptr,
                           port ? there.length : 0),
                  static_cast<ssize_t>(payload.size()));
    }

    std::uint16_t port() const {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        return family_ == AF_INET ? ntohs(reinterpret_cast<sockaddr_in&>(a).sin_port)
                                  : ntohs(reinterpret_cast<sockaddr_in6&>(a).sin6_port);
    }

    // The next datagram within five seconds.
    std::optional<std::string> receive() {
        pollfd p{fd_, POLLIN, 0};
        char data[2048];
        if (::poll(&p, 1, 5000) != 1) {
            return std::nullopt;
        }
        const ssize_t n = ::recv(fd_, data, sizeof data, 0);
        return n < 0 ? std::nullopt : std::optional(std::string(data, static_cast<size_t>(n)));
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

std::vector<std::uint8_t> bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

int socketOption(int fd, int level, int name) {
    int value = 0;
    socklen_t len = sizeof value;
    EXPECT_EQ(getsockopt(fd, level, name, &value, &len), 0);
    return value;
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

    template <typename Predicate> bool runUntil(Predicate done) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            context.restart();
            context.run_for(5ms);
        }
        return true;
    }
    bool delivered(std::size_t count) {
        return runUntil([&] { return deliveries.size() >= count; }) && deliveries.size() == count;
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

TEST_F(ListenerTest, OneConnectionPerEndpointWithWholeDatagramsInOrderAndRepliesToItAlone) {
    const std::uint16_t port = startListening();
    ASSERT_NE(port, 0);
    EXPECT_EQ(port, listener.port());
    // A second start is refused and leaves the running socket alone.
    EXPECT_NE(listener.start(recordingHandler()), "");
    EXPECT_EQ(socketOption(listener.nativeHandle(), IPPROTO_IP, IP_TOS), 0xB8);

    Peer a(AF_INET), b(AF_INET);
    a.send(port, "a1");
    b.send(port, "b1");
    a.send(port, "");
    a.send(port, std::string(1400, 'x'));
    ASSERT_TRUE(delivered(4));
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

    // Had "toB" gone to A as well, it would be queued ahead of "toA".
    listener.send(opened[1], bytes("toB"));
    listener.send(opened[0], bytes("toA"));
    EXPECT_EQ(b.receive(), "toB");
    EXPECT_EQ(a.receive(), "toA");

    // A closed endpoint's next datagram opens a connection with a new id; the old id is dead.
    listener.close(opened[0]);
    EXPECT_EQ(listener.connectionCount(), 1u);
    a.send(port, "2");
    ASSERT_TRUE(delivered(5));
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_GT(opened[2], opened[1]);
    EXPECT_EQ(deliveries[4].id, opened[2]);
    listener.send(opened[0], bytes("old"));
    listener.send(opened[2], bytes("new"));
    EXPECT_EQ(a.receive(), "new");

    // 127.0.0.2 is this computer too, but routing would answer from 127.0.0.1, which a
    // connected phone socket ignores.
    Peer phone(AF_INET);
    phone.connectTo("127.0.0.2", port);
    phone.send(0, "hello");
    ASSERT_TRUE(delivered(6));
    listener.send(deliveries[5].id, bytes("w"));
    EXPECT_EQ(phone.receive(), "w") << "the reply came from another local address";

    if (!hasIPv6Loopback()) {
        GTEST_SKIP() << "no IPv6 loopback here, the dual-stack half is not checked";
    }
    EXPECT_EQ(socketOption(listener.nativeHandle(), IPPROTO_IPV6, IPV6_TCLASS), 0xB8);
    Peer c(AF_INET6);
    c.send(port, "c1");
    ASSERT_TRUE(delivered(7));
    ASSERT_EQ(opened.size(), 5u);
    EXPECT_EQ(deliveries[6].id, opened[4]);
    EXPECT_EQ(listener.describe(opened[4]), "[::1]:" + std::to_string(c.port()));
    listener.send(opened[4], bytes("toC"));
    EXPECT_EQ(c.receive(), "toC");
}

TEST_F(ListenerTest, CancelledOrFailedListenerDeliversNoMoreAndARestartServesAgain) {
    for (bool cancelled : {true, false}) {
        SCOPED_TRACE(cancelled ? "cancelled inside a callback" : "socket shut down for reading");
        listener.cancel();
        deliveries.clear();
        opened.clear();
        const std::uint16_t port = startListening();
        Peer a(AF_INET);
        a.send(port, "first");
        if (cancelled) {
            // Both datagrams are queued in the socket before the context runs again, so one
            // wake-up would hand over both.
            a.send(port, "second");
            onDatagram = [this](ConnectionId) { listener.cancel(); };
            ASSERT_TRUE(runUntil([&] { return !deliveries.empty(); }));
        } else {
            ASSERT_TRUE(delivered(1));
            ::shutdown(listener.nativeHandle(), SHUT_RD);
            ASSERT_TRUE(runUntil([&] { return !failures.empty(); }));
        }
        context.restart();
        context.run_for(50ms);
        EXPECT_EQ(deliveries.size(), 1u);
        EXPECT_EQ(failures.size(), cancelled ? 0u : 1u) << "a failed listener kept reporting";
        EXPECT_EQ(listener.port(), 0);
        // Cancelling forgets the connections; a failure keeps the phone's.
        EXPECT_EQ(listener.connectionCount(), cancelled ? 0u : 1u);

        onDatagram = nullptr;
        const std::uint16_t again = startListening();
        ASSERT_NE(again, 0);
        a.send(again, "after");
        ASSERT_TRUE(delivered(2));
        EXPECT_EQ(opened.size(), cancelled ? 2u : 1u);
        EXPECT_EQ(deliveries[1].id == deliveries[0].id, !cancelled);
    }
}

TEST_F(ListenerTest, ArrivalTimeIsTheKernelsNotTheHandlers) {
    const std::uint16_t port = startListening();
    Peer a(AF_INET);
    const Instant sentAt = std::chrono::steady_clock::now();
    a.send(port, "1");
    // The datagram waits in the socket while nothing runs the context; its arrival time must
    // still be the moment it came in.
    std::this_thread::sleep_for(60ms);
    ASSERT_TRUE(delivered(1));
    const Delivery& d = deliveries[0];
    EXPECT_GE(d.receivedAt, sentAt - 5ms);
    EXPECT_LE(d.receivedAt, d.handledAt - 40ms);

    a.send(port, "2");
    ASSERT_TRUE(delivered(2));
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
