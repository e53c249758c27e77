// The network side on this machine: the UDP listener on loopback, and the DNS-SD advertiser
// without an Avahi daemon together with the name it advertises.

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/Asio.h"
#include <gtest/gtest.h>

#include "fakes/CapturingLogSink.h"
#include "platform/linux/AsioUdpListener.h"
#include "platform/linux/AvahiAdvertiser.h"
#include "platform/linux/HostIdentity.h"

using namespace jolto;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using asio::ip::udp;

// A phone's socket on loopback, bound to 127.0.0.1 or ::1.
class Peer {
public:
    explicit Peer(bool v6 = false)
        : socket_(io_, {v6 ? asio::ip::address(asio::ip::address_v6::loopback())
                           : asio::ip::address(asio::ip::address_v4::loopback()),
                        0}) {}

    // The kernel then drops datagrams from any other source address.
    void connectTo(const char* address, std::uint16_t port) {
        socket_.connect({asio::ip::make_address(address), port});
    }
    // Port 0: to the connected remote.
    void send(std::uint16_t port, const std::string& payload) {
        if (port == 0) {
            socket_.send(asio::buffer(payload));
        } else {
            socket_.send_to(asio::buffer(payload), {socket_.local_endpoint().address(), port});
        }
    }
    std::uint16_t port() const { return socket_.local_endpoint().port(); }
    std::optional<std::string> receive() {
        pollfd p{socket_.native_handle(), POLLIN, 0};
        char data[2048];
        if (::poll(&p, 1, 5000) != 1) {
            return std::nullopt;
        }
        return std::string(data, socket_.receive(asio::buffer(data)));
    }

private:
    asio::io_context io_;
    udp::socket socket_;
};

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
    bool operator==(const Delivery&) const = default;
};

class ListenerTest : public ::testing::Test {
protected:
    UdpListenerHandler recordingHandler() {
        UdpListenerHandler h;
        h.ready = [this](std::uint16_t port) { readyPorts.push_back(port); };
        h.waiting = [this](const std::string& e) { failures.push_back("waiting: " + e); };
        h.failed = [this](const std::string& e) { failures.push_back(e); };
        h.newConnection = [this](ConnectionId id) { opened.push_back(id); };
        h.datagram = [this](ConnectionId id, std::span<const std::uint8_t> bytes, Instant) {
            deliveries.push_back({id, std::string(bytes.begin(), bytes.end())});
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
    EXPECT_NE(listener.start(recordingHandler()), "") << "a second start";
    EXPECT_EQ(socketOption(listener.nativeHandle(), IPPROTO_IP, IP_TOS), 0xB8);

    Peer a, b;
    a.send(port, "a1");
    b.send(port, "b1");
    a.send(port, "");
    a.send(port, std::string(1400, 'x'));
    ASSERT_TRUE(delivered(4));
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_NE(opened[0], opened[1]);
    EXPECT_EQ(deliveries, (std::vector<Delivery>{{opened[0], "a1"},
                                                 {opened[1], "b1"},
                                                 {opened[0], ""},
                                                 {opened[0], std::string(1400, 'x')}}));
    EXPECT_EQ(listener.describe(opened[0]), "127.0.0.1:" + std::to_string(a.port()));
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(readyPorts.size(), 1u);

    // Had "toB" gone to A as well, it would be queued ahead of "toA".
    listener.send(opened[1], bytes("toB"));
    listener.send(opened[0], bytes("toA"));
    EXPECT_EQ(b.receive(), "toB");
    EXPECT_EQ(a.receive(), "toA");

    listener.close(opened[0]);
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
    Peer phone;
    phone.connectTo("127.0.0.2", port);
    phone.send(0, "hello");
    ASSERT_TRUE(delivered(6));
    listener.send(deliveries[5].id, bytes("w"));
    EXPECT_EQ(phone.receive(), "w") << "the reply came from another local address";

    std::optional<Peer> c;
    try {
        c.emplace(true);
    } catch (const std::exception&) { // Boost.Asio throws on a failed bind
        GTEST_SKIP() << "no IPv6 loopback here, the dual-stack half is not checked";
    }
    EXPECT_EQ(socketOption(listener.nativeHandle(), IPPROTO_IPV6, IPV6_TCLASS), 0xB8);
    c->send(port, "c1");
    ASSERT_TRUE(delivered(7));
    ASSERT_EQ(opened.size(), 5u);
    EXPECT_EQ(deliveries[6].id, opened[4]);
    EXPECT_EQ(listener.describe(opened[4]), "[::1]:" + std::to_string(c->port()));
    listener.send(opened[4], bytes("toC"));
    EXPECT_EQ(c->receive(), "toC");
}

TEST_F(ListenerTest, CancelledOrFailedListenerDeliversNoMoreAndARestartServesAgain) {
    for (bool cancelled : {true, false}) {
        SCOPED_TRACE(cancelled ? "cancelled inside a callback" : "socket shut down for reading");
        listener.cancel();
        deliveries.clear();
        opened.clear();
        const std::uint16_t port = startListening();
        Peer a;
        a.send(port, "first");
        if (cancelled) {
            // Both are queued before the context runs again: one wake-up could hand over both.
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

TEST_F(ListenerTest, DestroyingTheListenerWithAPendingReceiveIsSafe) {
    {
        AsioUdpListener gone(context);
        ASSERT_EQ(gone.start(recordingHandler()), "");
        ASSERT_TRUE(runUntil([&] { return !readyPorts.empty(); }));
    }
    context.restart(); // the aborted wait completes after the listener is gone
    context.run_for(20ms);
    EXPECT_TRUE(opened.empty() && deliveries.empty() && failures.empty());
}

// One private system-bus address for every advertiser test, set before the process's first
// D-Bus call (libdbus reads it once); nothing listens there unless a test starts a bus daemon.
struct PrivateBus {
    fs::path folder =
        fs::temp_directory_path() / ("jolto-advertiser-test-" + std::to_string(::getpid()));
    fs::path socket = folder / "bus";
    PrivateBus() {
        fs::create_directories(folder);
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + socket.string()).c_str(), 1);
    }
    ~PrivateBus() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
};

const PrivateBus& privateBus() {
    static const PrivateBus bus;
    return bus;
}

struct Heard {
    std::optional<std::string> problem;
    std::thread::id thread;
};

class Recorder {
public:
    ServiceAdvertiser::ProblemCallback callback() {
        return [this](std::optional<std::string> problem) {
            std::lock_guard lock(mutex_);
            heard_.push_back({std::move(problem), std::this_thread::get_id()});
            changed_.notify_all();
        };
    }
    std::vector<Heard> waitFor(std::size_t count, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return heard_.size() >= count; });
        return heard_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Heard> heard_;
};

class AdvertiserTest : public ::testing::Test {
protected:
    void SetUp() override { privateBus(); }
    ScopedLogCapture log;
    Recorder recorder;
};

TEST_F(AdvertiserTest, WithoutABusTheProblemIsReportedOnceOffTheCallersThreadPerRequest) {
    AvahiAdvertiser advertiser(10ms);
    advertiser.publish("Test Host", "_zevctrl._udp", 40000, recorder.callback());
    auto heard = recorder.waitFor(1);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].problem, std::string(AvahiAdvertiser::daemonMissing));
    EXPECT_NE(heard[0].thread, std::this_thread::get_id());
    EXPECT_EQ(recorder.waitFor(2, 300ms).size(), 1u) << "many retries later";
    EXPECT_EQ(log->lines(LogLevel::error, "Advertiser").size(), 1u);

    // A republish on a new port is a new request: its caller hears the state too.
    advertiser.publish("Test Host", "_zevctrl._udp", 40001, recorder.callback());
    heard = recorder.waitFor(2);
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[1].problem, std::string(AvahiAdvertiser::daemonMissing));

    // A withdrawn service reports nothing; published again as it was, it is a new request.
    advertiser.withdraw();
    EXPECT_EQ(recorder.waitFor(3, 100ms).size(), 2u);
    advertiser.publish("Test Host", "_zevctrl._udp", 40001, recorder.callback());
    EXPECT_EQ(recorder.waitFor(3).size(), 3u) << "the withdrawal was not noticed";
}

TEST_F(AdvertiserTest, DestroyingAtAnyMomentIsSafe) {
    // Before the poll thread has seen the request, while it is connecting, and while its retry
    // timer is armed. The sanitizer build turns a use after free into a failure here.
    for (int i = 0; i < 20; ++i) {
        AvahiAdvertiser advertiser(5ms);
        advertiser.publish("Host", "_zevctrl._udp", static_cast<std::uint16_t>(40000 + i),
                           [](std::optional<std::string>) {});
        if (i % 2 == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(i));
        }
    }
    AvahiAdvertiser idle;
}

// The usual desktop without Avahi: the system bus runs, the daemon does not.
TEST_F(AdvertiserTest, OnABusWithoutTheDaemonTheProblemIsReported) {
    const char* daemon = "/usr/bin/dbus-daemon";
    if (::access(daemon, X_OK) != 0) {
        GTEST_SKIP() << "dbus-daemon is not installed, so no private bus can be started";
    }
    // A session bus lets this user do all the client needs of a bus.
    const std::string address = "--address=unix:path=" + privateBus().socket.string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(daemon, daemon, "--session", "--nofork", "--nopidfile", address.c_str(), nullptr);
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!fs::exists(privateBus().socket) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    const bool busUp = fs::exists(privateBus().socket);
    if (busUp) {
        AvahiAdvertiser advertiser(10ms);
        advertiser.publish("Test Host", "_zevctrl._udp", 40000, recorder.callback());
        auto heard = recorder.waitFor(1);
        EXPECT_EQ(heard.empty() ? std::nullopt : heard[0].problem,
                  std::string(AvahiAdvertiser::daemonMissing));
    } // the advertiser goes while its client is still connected to the bus
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    fs::remove(privateBus().socket);
    ASSERT_TRUE(busUp) << "the private bus did not come up";
}

TEST(AdvertisedName, IsThePrettyHostnameCutToSixtyThreeBytesOnWholeCharacters) {
    EXPECT_EQ(AvahiAdvertiser::serviceName(std::string(70, 'a')), std::string(63, 'a'));
    EXPECT_EQ(AvahiAdvertiser::serviceName(std::string(63, 'a')), std::string(63, 'a'));
    EXPECT_EQ(AvahiAdvertiser::serviceName(std::string(62, 'a') + "\xC3\xA9"),
              std::string(62, 'a'));
    EXPECT_EQ(AvahiAdvertiser::serviceName(""), "Linux");
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=\"Living Room PC\"\n"),
              "Living Room PC");
    EXPECT_EQ(prettyHostnameFromMachineInfo("CHASSIS=desktop\nPRETTY_HOSTNAME='Ann'\n"), "Ann");
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=\"Say \\\"hi\\\"\""), "Say \"hi\"");
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=Den"), "Den");
    EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=\"\"\n"), std::nullopt);
    EXPECT_EQ(prettyHostnameFromMachineInfo("CHASSIS=laptop\n"), std::nullopt);
    EXPECT_EQ(prettyHostnameFromMachineInfo(""), std::nullopt);
    EXPECT_FALSE(computerDisplayName().empty());
}

} // namespace
