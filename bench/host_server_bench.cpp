// The server on a real loopback socket, its context run by one thread as in the program:
//  - latency from a state datagram's arrival at the socket (the kernel's receive timestamp) to
//    the key event that the keyboard-and-mouse output posts to its output port, with four
//    phones sending 250 states a second each;
//  - the CPU time of the server's thread over 10 s, idle (no phones) and with those phones;
//  - one phone over UDP, then one browser over the WebSocket transport, in the same run: latency
//    from the client's send to the key event, so that both paths are measured alike.
// Run by hand: build/release/bench/host_server_bench

#include <algorithm>
#include <atomic>
#include <ctime>
#include <future>
#include <thread>
#include <vector>

#include "server/Asio.h"
#include <benchmark/benchmark.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "../tests/fakes/MemorySettingsStore.h"
#include "output/KeyboardMouseOutput.h"
#include "output/KeyboardMouseOutputTarget.h"
#include "output/VirtualGamepadFactory.h"
#include "platform/linux/AsioUdpListener.h"
#include "platform/linux/UnknownPointerDisplay.h"
#include "platform/linux/WebSocketListener.h"
#include "server/HostServer.h"
#include "server/TransportMux.h"
#include "store/TrustStore.h"

using namespace jolto;
using namespace std::chrono_literals;
using asio::ip::udp;

namespace {

constexpr int phoneCount = 4;
constexpr auto runLength = 10s;
constexpr auto statePeriod = 4ms; // 250 states a second per phone

// When the client of the send-to-event runs sent its latest state; 0 when none is measured.
std::atomic<std::int64_t> clientSentAt{0};

std::int64_t steadyNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Remembers the arrival time of the datagram being handled; the server handles each one
// synchronously inside this callback.
class StampingListener final : public UdpListener {
public:
    explicit StampingListener(UdpListener& inner) : inner_(inner) {}
    std::string start(UdpListenerHandler handler) override {
        auto datagram = handler.datagram;
        handler.datagram = [this, datagram](ConnectionId c, std::span<const std::uint8_t> bytes,
                                            Instant receivedAt) {
            arrival = receivedAt;
            datagram(c, bytes, receivedAt);
        };
        return inner_.start(std::move(handler));
    }
    void cancel() override { inner_.cancel(); }
    void send(ConnectionId c, std::span<const std::uint8_t> d) override { inner_.send(c, d); }
    void close(ConnectionId c) override { inner_.close(c); }
    std::string describe(ConnectionId c) const override { return inner_.describe(c); }

    Instant arrival;

private:
    UdpListener& inner_;
};

// The keyboard output's port: takes the time from arrival to each key event.
class LatencySink final : public InputEventSink {
public:
    explicit LatencySink(const StampingListener& listener) : listener_(listener) {
        latencies.reserve(400000);
    }
    void post(const Event& event) override {
        if (event.type == EventType::keyDown || event.type == EventType::keyUp) {
            latencies.push_back(std::chrono::steady_clock::now() - listener_.arrival);
            if (auto sent = clientSentAt.load(std::memory_order_acquire); sent != 0) {
                fromClient.push_back(std::chrono::nanoseconds(steadyNanos() - sent));
            }
        }
    }
    void endBatch() override {}

    std::vector<Duration> latencies;
    std::vector<Duration> fromClient;

private:
    const StampingListener& listener_;
};

class NoDevices final : public VirtualHidDeviceFactory {
public:
    std::unique_ptr<VirtualHidDevice> makeDevice() override { return nullptr; }
};

double threadCPUSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct PhoneIdentity {
    Uuid device = Uuid::random();
    Uuid secret = Uuid::random();
};

class Rig {
public:
    template <typename F> auto onServer(F f) {
        std::packaged_task<decltype(f())()> task(std::move(f));
        auto result = task.get_future();
        asio::post(context_, [&task] { task(); });
        return result.get();
    }

    explicit Rig(const std::vector<PhoneIdentity>& phones) {
        auto trust = TrustStore::load(settings_);
        for (const auto& p : phones) {
            trust.add(p.device, "bench phone", p.secret);
        }
        std::promise<std::uint16_t> webReady;
        auto webPort = webReady.get_future();
        mux_.onStateChanged([&webReady, done = false](std::size_t, const ListenerState& s) mutable {
            if (!done && s.kind == ListenerState::Kind::ready) {
                done = true;
                webReady.set_value(s.port);
            }
        });
        server_ = HostServer::create("Bench Host", HostServer::Ports{context_,
                                                                     clock_,
                                                                     stamping_,
                                                                     nullptr,
                                                                     settings_,
                                                                     target_,
                                                                     gamepads_,
                                                                     true,
                                                                     nullptr,
                                                                     {}});
        thread_ = std::thread([this] { context_.run(); });
        std::promise<std::uint16_t> ready;
        auto port = ready.get_future();
        server_->start(OutputMode::keyboardMouse, KeyMapping::shooter(),
                       [&ready, done = false](const HostEvent& e) mutable {
                           auto l = e.get<HostEvent::Listener>();
                           if (!done && l && l->state.kind == ListenerState::Kind::ready) {
                               done = true;
                               ready.set_value(l->state.port);
                           }
                       });
        port_ = port.get();
        webPort_ = webPort.get();
    }
    ~Rig() {
        onServer([this] {
            server_.reset();
            return 0;
        });
        work_.reset();
        thread_.join();
    }

    double serverCPUSeconds() {
        return onServer([] { return threadCPUSeconds(); });
    }
    std::uint16_t port() const { return port_; }
    std::uint16_t webPort() const { return webPort_; }
    std::vector<Duration> takeClientLatencies() {
        return onServer([this] { return std::move(sink_.fromClient); });
    }
    std::vector<Duration> takeLatencies() {
        return onServer([this] { return std::move(sink_.latencies); });
    }

private:
    // One thread runs it, as in the program: no locking and no self-interrupts of the reactor.
    asio::io_context context_{1};
    asio::executor_work_guard<asio::io_context::executor_type> work_{context_.get_executor()};
    SteadyClock clock_;
    AsioUdpListener udp_{context_};
    WebSocketListener web_{context_};
    TransportMux mux_{{&udp_, &web_}};
    StampingListener stamping_{mux_};
    MemorySettingsStore settings_;
    LatencySink sink_{stamping_};
    UnknownPointerDisplay display_;
    KeyboardMouseOutput output_{sink_, display_};
    KeyboardMouseOutputTarget target_{output_};
    NoDevices devices_;
    VirtualGamepadFactory gamepads_{devices_, devices_, [](GamepadDevice) { return false; }};
    std::shared_ptr<HostServer> server_;
    std::thread thread_;
    std::uint16_t port_ = 0;
    std::uint16_t webPort_ = 0;
};

// Four trusted phones on their own sockets, each toggling its own face button (one key each
// in the shooter preset) on every state, so that every state becomes one key event.
void playPhones(std::uint16_t port, const std::vector<PhoneIdentity>& identities,
                std::chrono::steady_clock::duration length) {
    asio::io_context io;
    udp::endpoint host(asio::ip::make_address("127.0.0.1"), port);
    std::vector<udp::socket> sockets;
    std::vector<std::uint32_t> sessions(identities.size());
    std::array<std::uint8_t, 512> buffer{};
    for (std::size_t i = 0; i < identities.size(); ++i) {
        sockets.emplace_back(io, udp::endpoint(udp::v4(), 0));
        auto hello = encoded(
            Packet::Hello{identities[i].device, identities[i].secret, std::nullopt, "bench phone"});
        sockets[i].send_to(asio::buffer(hello), host);
        udp::endpoint from;
        auto n = sockets[i].receive_from(asio::buffer(buffer), from);
        auto welcome = decode(std::span(buffer.data(), n));
        if (!welcome || !welcome->is<Packet::Welcome>() ||
            welcome->get<Packet::Welcome>()->status != WelcomeStatus::accepted) {
            std::fprintf(stderr, "phone %zu was not welcomed\n", i);
            std::abort();
        }
        sessions[i] = welcome->get<Packet::Welcome>()->session;
        sockets[i].non_blocking(true);
    }
    const ControllerButton buttons[] = {ControllerButton::south, ControllerButton::east,
                                        ControllerButton::west, ControllerButton::north};
    std::vector<std::uint8_t> datagram;
    auto next = std::chrono::steady_clock::now();
    auto end = next + length;
    std::uint32_t sequence = 0;
    // One phone per millisecond in turn: each sends every 4 ms.
    for (std::size_t turn = 0; next < end; ++turn) {
        std::this_thread::sleep_until(next);
        auto i = turn % identities.size();
        ++sequence;
        ControllerState state;
        if ((turn / identities.size()) % 2 == 0) {
            state.buttons.insert(buttons[i % 4]);
        }
        encodeInto(Packet::State{sessions[i], sequence, state}, datagram);
        sockets[i].send_to(asio::buffer(datagram), host);
        asio::error_code ignored;
        while (sockets[i].receive(asio::buffer(buffer), 0, ignored) > 0) {
        }
        next += statePeriod / identities.size();
    }
    for (std::size_t i = 0; i < identities.size(); ++i) {
        sockets[i].send_to(asio::buffer(encoded(Packet::Goodbye{sessions[i]})), host);
    }
}

// One client toggling south on every state, 250 a second: over UDP, or as binary WebSocket
// messages. Each send is stamped for the sink.
void playOne(std::uint16_t port, bool web, const PhoneIdentity& identity,
             std::chrono::steady_clock::duration length) {
    namespace beast = boost::beast;
    asio::io_context io;
    udp::socket udpSocket(io, udp::endpoint(udp::v4(), 0));
    udp::endpoint host(asio::ip::make_address("127.0.0.1"), port);
    beast::websocket::stream<asio::ip::tcp::socket> ws(io);
    std::array<std::uint8_t, 512> buffer{};
    auto sendBytes = [&](const std::vector<std::uint8_t>& bytes) {
        if (web) {
            ws.write(asio::buffer(bytes));
        } else {
            udpSocket.send_to(asio::buffer(bytes), host);
        }
    };
    if (web) {
        ws.next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
        ws.next_layer().set_option(asio::ip::tcp::no_delay(true));
        ws.handshake("127.0.0.1:" + std::to_string(port), "/ws");
        ws.binary(true);
    }
    sendBytes(encoded(Packet::Hello{identity.device, identity.secret, std::nullopt, "bench"}));
    std::optional<Packet> welcome;
    if (web) {
        beast::flat_buffer in;
        ws.read(in);
        auto data = in.cdata();
        welcome = decode(std::span(static_cast<const std::uint8_t*>(data.data()), data.size()));
    } else {
        udp::endpoint from;
        auto n = udpSocket.receive_from(asio::buffer(buffer), from);
        welcome = decode(std::span(buffer.data(), n));
    }
    if (!welcome || !welcome->is<Packet::Welcome>() ||
        welcome->get<Packet::Welcome>()->status != WelcomeStatus::accepted) {
        std::fprintf(stderr, "the %s client was not welcomed\n", web ? "web" : "UDP");
        std::abort();
    }
    const auto session = welcome->get<Packet::Welcome>()->session;
    std::vector<std::uint8_t> datagram;
    auto next = std::chrono::steady_clock::now();
    const auto end = next + length;
    for (std::uint32_t sequence = 1; next < end; ++sequence) {
        std::this_thread::sleep_until(next);
        ControllerState state;
        if (sequence % 2 == 0) {
            state.buttons.insert(ControllerButton::south);
        }
        encodeInto(Packet::State{session, sequence, state}, datagram);
        clientSentAt.store(steadyNanos(), std::memory_order_release);
        sendBytes(datagram);
        next += statePeriod;
    }
    sendBytes(encoded(Packet::Goodbye{session}));
    clientSentAt.store(0, std::memory_order_release);
    std::this_thread::sleep_for(50ms);
}

double micros(Duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// Percent of one core used by the server's thread over the run.
void reportCPU(benchmark::State& state, double before, double after) {
    state.counters["server_cpu_pct"] =
        100.0 * (after - before) / std::chrono::duration<double>(runLength).count();
}

void BM_ServerIdleCPU(benchmark::State& state) {
    for (auto _ : state) {
        Rig rig(std::vector<PhoneIdentity>{});
        auto before = rig.serverCPUSeconds();
        std::this_thread::sleep_for(runLength);
        reportCPU(state, before, rig.serverCPUSeconds());
    }
}
BENCHMARK(BM_ServerIdleCPU)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_ServerFourPhones(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<PhoneIdentity> phones(phoneCount);
        Rig rig(phones);
        auto before = rig.serverCPUSeconds();
        playPhones(rig.port(), phones, runLength);
        reportCPU(state, before, rig.serverCPUSeconds());
        auto latencies = rig.takeLatencies();
        std::sort(latencies.begin(), latencies.end());
        auto at = [&](double q) {
            return micros(latencies[static_cast<std::size_t>(q * (latencies.size() - 1))]);
        };
        state.counters["events"] = static_cast<double>(latencies.size());
        if (!latencies.empty()) {
            state.counters["p50_us"] = at(0.5);
            state.counters["p99_us"] = at(0.99);
            state.counters["p999_us"] = at(0.999);
            state.counters["max_us"] = micros(latencies.back());
        }
    }
}
BENCHMARK(BM_ServerFourPhones)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_UdpBesideWebSocket(benchmark::State& state) {
    for (auto _ : state) {
        PhoneIdentity udpPhone, browser;
        Rig rig({udpPhone, browser});
        for (bool web : {false, true}) {
            playOne(web ? rig.webPort() : rig.port(), web, web ? browser : udpPhone, runLength / 2);
            auto latencies = rig.takeClientLatencies();
            std::sort(latencies.begin(), latencies.end());
            const std::string name = web ? "ws_" : "udp_";
            state.counters[name + "events"] = static_cast<double>(latencies.size());
            if (!latencies.empty()) {
                auto at = [&](double q) {
                    return micros(latencies[static_cast<std::size_t>(q * (latencies.size() - 1))]);
                };
                state.counters[name + "p50_us"] = at(0.5);
                state.counters[name + "p99_us"] = at(0.99);
            }
        }
    }
}
BENCHMARK(BM_UdpBesideWebSocket)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
