#include "platform/linux/AsioUdpListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <vector>

#include "server/Asio.h"

namespace jolto {

namespace {

// Process-wide, so that a listener created after another one never hands out an id that the
// server may still hold for a client of the old one.
std::atomic<ConnectionId> nextConnectionId{1};

// The largest UDP payload over IPv4 or IPv6 without jumbograms fits.
constexpr std::size_t receiveBufferSize = 64 * 1024;
// Datagrams taken per wake-up before the loop yields to the timers on the same context.
constexpr int receiveBatch = 64;

// A remote endpoint, normalised so that an IPv4 peer has the same key whether it arrives on a
// dual-stack or an IPv4 socket.
struct EndpointKey {
    std::array<std::uint8_t, 16> address{};
    std::uint16_t port = 0;
    std::uint32_t scope = 0;
    friend bool operator==(const EndpointKey&, const EndpointKey&) = default;
};

struct EndpointKeyHash {
    std::size_t operator()(const EndpointKey& k) const noexcept {
        std::size_t h = 14695981039346656037ull;
        auto mix = [&h](std::uint8_t b) { h = (h ^ b) * 1099511628211ull; };
        for (auto b : k.address) {
            mix(b);
        }
        mix(static_cast<std::uint8_t>(k.port));
        mix(static_cast<std::uint8_t>(k.port >> 8));
        for (int i = 0; i < 4; ++i) {
            mix(static_cast<std::uint8_t>(k.scope >> (8 * i)));
        }
        return h;
    }
};

// The local address a datagram arrived at, as IPv6 (IPv4 mapped). Replies leave from it: a
// wildcard socket otherwise lets the routing table pick the source, and a phone that talks to
// one of several addresses of this computer drops a reply that comes from another.
struct LocalAddress {
    bool known = false;
    in6_addr address{};
    unsigned int interfaceIndex = 0;
};

struct Remote {
    EndpointKey key;
    LocalAddress local;
};

bool isMapped(const in6_addr& a) {
    static constexpr std::uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(a.s6_addr, prefix, sizeof prefix) == 0;
}

std::optional<EndpointKey> keyOf(const sockaddr_storage& address) {
    EndpointKey key;
    if (address.ss_family == AF_INET6) {
        const auto& a6 = reinterpret_cast<const sockaddr_in6&>(address);
        std::memcpy(key.address.data(), a6.sin6_addr.s6_addr, 16);
        key.port = ntohs(a6.sin6_port);
        key.scope = isMapped(a6.sin6_addr) ? 0 : a6.sin6_scope_id;
        return key;
    }
    if (address.ss_family == AF_INET) {
        const auto& a4 = reinterpret_cast<const sockaddr_in&>(address);
        key.address[10] = 0xff;
        key.address[11] = 0xff;
        std::memcpy(key.address.data() + 12, &a4.sin_addr.s_addr, 4);
        key.port = ntohs(a4.sin_port);
        return key;
    }
    return std::nullopt;
}

std::string describeKey(const EndpointKey& key) {
    char text[INET6_ADDRSTRLEN] = {};
    in6_addr a6;
    std::memcpy(a6.s6_addr, key.address.data(), 16);
    if (isMapped(a6)) {
        inet_ntop(AF_INET, key.address.data() + 12, text, sizeof text);
        return std::string(text) + ":" + std::to_string(key.port);
    }
    inet_ntop(AF_INET6, key.address.data(), text, sizeof text);
    std::string result = "[" + std::string(text);
    if (key.scope != 0) {
        result += "%" + std::to_string(key.scope);
    }
    return result + "]:" + std::to_string(key.port);
}

// The remote address in the form the current socket's family can send to.
std::optional<std::pair<sockaddr_storage, socklen_t>> addressFor(const Remote& remote, int family) {
    sockaddr_storage out{};
    if (family == AF_INET6) {
        auto& a6 = reinterpret_cast<sockaddr_in6&>(out);
        a6.sin6_family = AF_INET6;
        std::memcpy(a6.sin6_addr.s6_addr, remote.key.address.data(), 16);
        a6.sin6_port = htons(remote.key.port);
        a6.sin6_scope_id = remote.key.scope;
        return std::pair{out, static_cast<socklen_t>(sizeof(sockaddr_in6))};
    }
    in6_addr a6;
    std::memcpy(a6.s6_addr, remote.key.address.data(), 16);
    if (!isMapped(a6)) {
        return std::nullopt;
    }
    auto& a4 = reinterpret_cast<sockaddr_in&>(out);
    a4.sin_family = AF_INET;
    std::memcpy(&a4.sin_addr.s_addr, remote.key.address.data() + 12, 4);
    a4.sin_port = htons(remote.key.port);
    return std::pair{out, static_cast<socklen_t>(sizeof(sockaddr_in))};
}

// The kernel stamps datagrams with the wall clock; the age measured against the wall clock now
// is carried over to the monotonic clock. A wall-clock step between arrival and this read shows
// as a negative or absurd age, and the read time stands in then.
Instant steadyFromKernelTime(const timespec& stamp) {
    timespec wallNow{};
    clock_gettime(CLOCK_REALTIME, &wallNow);
    const Instant steadyNow = std::chrono::steady_clock::now();
    const auto age = std::chrono::seconds(wallNow.tv_sec - stamp.tv_sec) +
                     std::chrono::nanoseconds(wallNow.tv_nsec - stamp.tv_nsec);
    if (age < std::chrono::nanoseconds(0) || age > std::chrono::seconds(10)) {
        return steadyNow;
    }
    return steadyNow - std::chrono::duration_cast<Duration>(age);
}

// A socket shut down for reading stays readable with nothing to read; waiting on it again
// would spin, so an empty wake-up asks whether that is the reason.
bool shutDown(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLRDHUP) != 0;
}

bool transientReceiveError(int error) {
    switch (error) {
    case EINTR:
    case ENOBUFS:
    case ENOMEM:
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENETDOWN:
        return true;
    default:
        return false;
    }
}

} // namespace

struct AsioUdpListener::Core : std::enable_shared_from_this<Core> {
    explicit Core(asio::io_context& c) : context(c), socket(c) {}

    asio::io_context& context;
    asio::ip::udp::socket socket;
    int family = AF_UNSPEC;
    std::uint16_t port = 0;
    // Bumped by every start, cancel and failure; a completion of an older round does nothing.
    std::uint64_t generation = 0;
    std::shared_ptr<const UdpListenerHandler> handler;

    std::unordered_map<EndpointKey, ConnectionId, EndpointKeyHash> byEndpoint;
    std::unordered_map<ConnectionId, Remote> remotes;

    std::vector<std::uint8_t> buffer;
    alignas(cmsghdr) std::array<std::uint8_t, 256> control{};
    alignas(cmsghdr) std::array<std::uint8_t, CMSG_SPACE(sizeof(in6_pktinfo))> sendControl{};

    std::string start(UdpListenerHandler h);
    std::string open(const asio::ip::udp& protocol);
    void stop();
    void arm(std::uint64_t round);
    void onReadable(std::uint64_t round, const asio::error_code& error);
    void fail(const std::string& error);
    void send(ConnectionId id, std::span<const std::uint8_t> datagram);
};

std::string AsioUdpListener::Core::open(const asio::ip::udp& protocol) {
    asio::error_code ec;
    socket.open(protocol, ec);
    if (ec) {
        return ec.message();
    }
    const int fd = socket.native_handle();
    if (protocol == asio::ip::udp::v6()) {
        socket.set_option(asio::ip::v6_only(false), ec);
        if (ec) {
            return ec.message();
        }
    }
    socket.bind(asio::ip::udp::endpoint(protocol, 0), ec);
    if (ec) {
        return ec.message();
    }
    socket.non_blocking(true, ec);
    if (ec) {
        return ec.message();
    }
    // Marking, timestamps and local addresses improve service but are not needed to serve, so
    // a kernel that refuses one of them still gets a working listener.
    const int tos = trafficClass;
    const int on = 1;
    setsockopt(fd, IPPROTO_IP, IP_TOS, &tos, sizeof tos);
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    if (protocol == asio::ip::udp::v6()) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &tos, sizeof tos);
        setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
    } else {
        setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    }
    port = socket.local_endpoint(ec).port();
    family = protocol.family();
    return {};
}

std::string AsioUdpListener::Core::start(UdpListenerHandler h) {
    if (socket.is_open()) {
        return "The listener is already running.";
    }
    ++generation;
    std::string error = open(asio::ip::udp::v6());
    if (!error.empty()) {
        // No IPv6 on this system (disabled at boot or in the namespace): IPv4 alone.
        asio::error_code ignored;
        socket.close(ignored);
        error = open(asio::ip::udp::v4());
    }
    if (!error.empty()) {
        asio::error_code ignored;
        socket.close(ignored);
        port = 0;
        return "Couldn't open the UDP socket: " + error;
    }
    if (buffer.size() != receiveBufferSize) {
        buffer.resize(receiveBufferSize);
    }
    handler = std::make_shared<const UdpListenerHandler>(std::move(h));
    const std::uint64_t round = generation;
    asio::post(context, [self = shared_from_this(), round] {
        if (round != self->generation) {
            return;
        }
        auto h = self->handler;
        if (h->ready) {
            h->ready(self->port);
        }
    });
    arm(round);
    return {};
}

void AsioUdpListener::Core::stop() {
    ++generation;
    asio::error_code ignored;
    socket.close(ignored);
    port = 0;
}

void AsioUdpListener::Core::arm(std::uint64_t round) {
    socket.async_wait(asio::ip::udp::socket::wait_read,
                      [self = shared_from_this(), round](const asio::error_code& error) {
                          self->onReadable(round, error);
                      });
}

void AsioUdpListener::Core::fail(const std::string& error) {
    stop();
    auto h = handler;
    handler.reset();
    if (h && h->failed) {
        h->failed(error);
    }
}

void AsioUdpListener::Core::onReadable(std::uint64_t round, const asio::error_code& error) {
    if (round != generation) {
        return;
    }
    if (error) {
        fail(error.message());
        return;
    }
    // Held locally so that a callback that cancels or destroys the listener cannot pull the
    // handler out from under the loop.
    const auto h = handler;
    const int fd = socket.native_handle();
    for (int i = 0; i < receiveBatch; ++i) {
        sockaddr_storage from{};
        iovec io{buffer.data(), buffer.size()};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        const ssize_t n = ::recvmsg(fd, &message, MSG_DONTWAIT);
        if (n < 0) {
            const int e = errno;
            if (e == EAGAIN || e == EWOULDBLOCK) {
                if (i == 0 && shutDown(fd)) {
                    fail("The socket was shut down.");
                    return;
                }
                break;
            }
            if (transientReceiveError(e)) {
                continue;
            }
            fail(std::strerror(e));
            return;
        }
        if ((message.msg_flags & MSG_TRUNC) != 0) {
            continue;
        }
        const auto key = keyOf(from);
        if (!key) {
            continue;
        }
        std::optional<Instant> stamped;
        LocalAddress local;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp;
                std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                stamped = steadyFromKernelTime(stamp);
            } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
                in6_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                local = {true, info.ipi6_addr, info.ipi6_ifindex};
            } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                local.known = true;
                local.address = {};
                local.address.s6_addr[10] = 0xff;
                local.address.s6_addr[11] = 0xff;
                std::memcpy(local.address.s6_addr + 12, &info.ipi_addr.s_addr, 4);
                local.interfaceIndex = static_cast<unsigned int>(info.ipi_ifindex);
            }
        }
        const Instant receivedAt = stamped.value_or(std::chrono::steady_clock::now());

        ConnectionId id;
        if (auto found = byEndpoint.find(*key); found != byEndpoint.end()) {
            id = found->second;
            remotes.find(id)->second.local = local;
        } else {
            id = nextConnectionId.fetch_add(1, std::memory_order_relaxed);
            byEndpoint.emplace(*key, id);
            remotes.emplace(id, Remote{*key, local});
            if (h->newConnection) {
                h->newConnection(id);
            }
            if (round != generation) {
                return;
            }
            if (!remotes.contains(id)) {
                continue;
            }
        }
        if (h->datagram) {
            h->datagram(id,
                        std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)),
                        receivedAt);
        }
        if (round != generation) {
            return;
        }
    }
    arm(round);
}

void AsioUdpListener::Core::send(ConnectionId id, std::span<const std::uint8_t> datagram) {
    if (!socket.is_open()) {
        return;
    }
    const auto found = remotes.find(id);
    if (found == remotes.end()) {
        return;
    }
    const Remote& remote = found->second;
    auto to = addressFor(remote, family);
    if (!to) {
        return;
    }
    iovec io{const_cast<std::uint8_t*>(datagram.data()), datagram.size()};
    msghdr message{};
    message.msg_name = &to->first;
    message.msg_namelen = to->second;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    if (remote.local.known) {
        sendControl.fill(0);
        message.msg_control = sendControl.data();
        cmsghdr* c = reinterpret_cast<cmsghdr*>(sendControl.data());
        if (family == AF_INET6) {
            in6_pktinfo info{};
            info.ipi6_addr = remote.local.address;
            info.ipi6_ifindex = remote.local.interfaceIndex;
            c->cmsg_level = IPPROTO_IPV6;
            c->cmsg_type = IPV6_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof info);
            std::memcpy(CMSG_DATA(c), &info, sizeof info);
            message.msg_controllen = CMSG_SPACE(sizeof info);
        } else {
            in_pktinfo info{};
            std::memcpy(&info.ipi_spec_dst.s_addr, remote.local.address.s6_addr + 12, 4);
            info.ipi_ifindex = static_cast<int>(remote.local.interfaceIndex);
            c->cmsg_level = IPPROTO_IP;
            c->cmsg_type = IP_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof info);
            std::memcpy(CMSG_DATA(c), &info, sizeof info);
            message.msg_controllen = CMSG_SPACE(sizeof info);
        }
    }
    const int fd = socket.native_handle();
    if (::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno == EINVAL &&
        message.msg_control != nullptr) {
        // The address the datagram came to cannot be a source (a broadcast): let routing pick.
        message.msg_control = nullptr;
        message.msg_controllen = 0;
        ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
}

AsioUdpListener::AsioUdpListener(asio::io_context& context)
    : core_(std::make_shared<Core>(context)) {}

AsioUdpListener::~AsioUdpListener() {
    cancel();
}

std::string AsioUdpListener::start(UdpListenerHandler handler) {
    return core_->start(std::move(handler));
}

void AsioUdpListener::cancel() {
    core_->stop();
    core_->handler.reset();
    core_->byEndpoint.clear();
    core_->remotes.clear();
}

void AsioUdpListener::send(ConnectionId connection, std::span<const std::uint8_t> datagram) {
    core_->send(connection, datagram);
}

void AsioUdpListener::close(ConnectionId connection) {
    const auto found = core_->remotes.find(connection);
    if (found == core_->remotes.end()) {
        return;
    }
    core_->byEndpoint.erase(found->second.key);
    core_->remotes.erase(found);
}

std::string AsioUdpListener::describe(ConnectionId connection) const {
    const auto found = core_->remotes.find(connection);
    if (found == core_->remotes.end()) {
        return "connection " + std::to_string(connection);
    }
    return describeKey(found->second.key);
}

std::uint16_t AsioUdpListener::port() const {
    return core_->socket.is_open() ? core_->port : 0;
}

int AsioUdpListener::nativeHandle() const {
    return core_->socket.is_open() ? core_->socket.native_handle() : -1;
}

std::size_t AsioUdpListener::connectionCount() const {
    return core_->remotes.size();
}

} // namespace jolto
