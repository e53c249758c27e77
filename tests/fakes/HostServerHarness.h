#pragma once

// Fakes of the server's ports and a fixture that starts a HostServer on them with the timers
// off, so that tests drive time through the tick methods and an injected clock.

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/CapturingLogSink.h"
#include "fakes/MemorySettingsStore.h"
#include "protocol/Packet.h"
#include "protocol/Random.h"
#include "server/HostServer.h"

namespace jolto::testing {

using namespace std::chrono_literals;

// The packets or events of type T among `all`, in order.
template <typename T, typename Range> std::vector<T> only(const Range& all) {
    std::vector<T> result;
    for (const auto& item : all) {
        if (auto v = item.template get<T>()) {
            result.push_back(*v);
        }
    }
    return result;
}

// Runs `step` (by default a short sleep) until `done` holds; false when it did not in `limit`.
template <typename Done, typename Step = void (*)()>
bool waitFor(
    Done done, std::chrono::milliseconds limit = 20s,
    Step step = [] { std::this_thread::sleep_for(2ms); }) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        step();
    }
    return true;
}

class FakeClock final : public Clock {
public:
    Instant now() const override { return now_; }
    void advance(Duration d) { now_ += d; }
    Instant now_ = Instant{} + std::chrono::hours(1);
};

class FakeListener final : public UdpListener {
public:
    std::string start(UdpListenerHandler h) override {
        ++starts;
        if (startError.empty()) {
            handler = std::move(h);
        }
        return startError;
    }
    void cancel() override { ++cancels; }
    void send(ConnectionId connection, std::span<const std::uint8_t> datagram) override {
        auto packet = decode(datagram);
        ASSERT_TRUE(packet) << "the server sent an undecodable datagram";
        sent[connection].push_back(*packet);
    }
    void close(ConnectionId connection) override { closed.push_back(connection); }
    std::string describe(ConnectionId) const override { return {}; }

    // Hands the server a datagram, announcing the connection the first time it is heard.
    void receive(ConnectionId connection, std::span<const std::uint8_t> bytes, Instant at) {
        if (known.insert(connection).second) {
            handler.newConnection(connection);
        }
        handler.datagram(connection, bytes, at);
    }
    template <typename T> std::vector<T> sentTo(ConnectionId connection) {
        return only<T>(sent[connection]);
    }

    UdpListenerHandler handler;
    std::string startError;
    int starts = 0;
    int cancels = 0;
    std::map<ConnectionId, std::vector<Packet>> sent;
    std::vector<ConnectionId> closed;
    std::set<ConnectionId> known;
};

class FakeAdvertiser final : public ServiceAdvertiser {
public:
    void publish(const std::string&, const std::string& type, std::uint16_t port,
                 ProblemCallback onProblem) override {
        published.emplace_back(type, port);
        callback = std::move(onProblem);
    }
    void withdraw() override { ++withdrawals; }

    std::vector<std::pair<std::string, std::uint16_t>> published;
    ProblemCallback callback;
    int withdrawals = 0;
};

class FakeKeyboard final : public KeyboardMouseTarget {
public:
    void setMapping(const KeyMapping& m) override { mappings.push_back(m); }
    void update(const Uuid& device, const ControllerState& state) override {
        updates.emplace_back(device, state);
        states[device] = state;
    }
    void remove(const Uuid& device) override {
        removed.push_back(device);
        states.erase(device);
    }
    void removeAllClients() override {
        ++removeAlls;
        states.clear();
    }
    bool needsMotion() const override { return motion; }
    void step(double elapsed) override { steps.push_back(elapsed); }

    std::vector<KeyMapping> mappings;
    std::vector<std::pair<Uuid, ControllerState>> updates;
    std::map<Uuid, ControllerState> states;
    std::vector<Uuid> removed;
    int removeAlls = 0;
    bool motion = false;
    std::vector<double> steps;
};

class FakeGamepads final : public GamepadFactory {
public:
    // What one created gamepad received; outlives the handle the server owns.
    struct Record {
        GamepadDevice device = GamepadDevice::standard;
        int playerNumber = 0;
        std::string serial;
        RumbleCallback onRumble;
        std::vector<ControllerState> pushed;
        bool finished = false;
    };

    std::unique_ptr<GamepadHandle> create(GamepadDevice device, int playerNumber,
                                          const std::string& serial,
                                          RumbleCallback onRumble) override {
        ++attempts;
        if (refuse) {
            return nullptr;
        }
        created.push_back(std::make_shared<Record>(
            Record{device, playerNumber, serial, std::move(onRumble), {}, false}));
        return std::make_unique<Handle>(created.back());
    }
    bool hasVirtualDeviceEntitlement(GamepadDevice) const override { return entitled; }

    bool refuse = false;
    bool entitled = true;
    int attempts = 0;
    std::vector<std::shared_ptr<Record>> created;

private:
    struct Handle final : GamepadHandle {
        explicit Handle(std::shared_ptr<Record> r) : record(std::move(r)) {}
        void push(const ControllerState& state) override { record->pushed.push_back(state); }
        void finish() override { record->finished = true; }
        std::shared_ptr<Record> record;
    };
};

// Keeps the gamepads the server retires until `HostServerTest::pump` ends them, after the
// server's call has returned, as a gamepad ending on its own thread would.
class FakeRetirement final : public GamepadRetirement {
public:
    void retire(std::unique_ptr<GamepadHandle> gamepad, std::function<void()> gone) override {
        waiting.emplace_back(std::move(gamepad), std::move(gone));
    }
    // Ends every waiting gamepad; true when there was one.
    bool endAll() {
        auto ending = std::move(waiting);
        waiting.clear();
        for (auto& [gamepad, gone] : ending) {
            gamepad.reset();
            gone();
        }
        return !ending.empty();
    }

    std::vector<std::pair<std::unique_ptr<GamepadHandle>, std::function<void()>>> waiting;
};

// A phone's identity as the tests see it.
struct Phone {
    Uuid device = Uuid::random();
    Uuid secret = Uuid::random();
    std::string name = "Phone";
};

inline ControllerState pressing(ControllerButton button) {
    ControllerState state;
    state.buttons.insert(button);
    return state;
}

class HostServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setLogSink(log);
        restart();
    }
    void TearDown() override {
        server.reset();
        setLogSink(nullptr);
    }

    // What the server listens on.
    virtual UdpListener& transport() { return listener; }
    // Starts a new server on the same fakes; on a real gamepad factory, it ends the gamepads
    // with its own threads.
    void restart(bool runTimers = false, GamepadFactory* factory = nullptr,
                 OutputMode mode = OutputMode::keyboardMouse) {
        server.reset();
        auto pin = [this] {
            auto next = forcedPINs.empty() ? randomUniform(0, 9999) : forcedPINs.front();
            forcedPINs.erase(forcedPINs.begin(), forcedPINs.begin() + !forcedPINs.empty());
            return static_cast<std::uint16_t>(next);
        };
        server = HostServer::create(
            "Test Host", HostServer::Ports{context, clock, transport(), &advertiser, settings,
                                           keyboard, factory ? *factory : gamepads, runTimers,
                                           factory ? nullptr : &retirement, pin});
        server->start(mode, KeyMapping::shooter(),
                      [this](const HostEvent& event) { events.push_back(event); });
        pump();
    }

    // Runs whatever has been posted onto the server's context.
    void pump() {
        do {
            context.restart();
            context.poll();
        } while (retirement.endAll());
    }
    // Runs the timers and the posted work until `done` holds; false when it did not in 20 s.
    template <typename Pred> bool runUntil(Pred done) {
        return waitFor(done, 20s, [this] {
            context.restart();
            context.run_one_for(10ms);
        });
    }

    // Hands the server a packet through `via`, by default the only transport.
    void deliver(ConnectionId connection, const Packet& packet, FakeListener* via = nullptr) {
        (via ? *via : listener).receive(connection, encoded(packet), clock.now());
    }
    void deliverBytes(ConnectionId connection, std::span<const std::uint8_t> bytes) {
        listener.receive(connection, bytes, clock.now());
    }
    void sendState(ConnectionId connection, std::uint32_t session, std::uint32_t sequence,
                   ControllerState state) {
        deliver(connection, Packet::State{session, sequence, state});
    }

    // Sends a hello and returns the welcome it got.
    Packet::Welcome hello(ConnectionId connection, const Phone& phone,
                          std::optional<std::uint16_t> pin = std::nullopt,
                          FakeListener* via = nullptr) {
        auto& transport = via ? *via : listener;
        auto before = transport.sentTo<Packet::Welcome>(connection).size();
        deliver(connection, Packet::Hello{phone.device, phone.secret, pin, phone.name}, via);
        auto welcomes = transport.sentTo<Packet::Welcome>(connection);
        EXPECT_EQ(welcomes.size(), before + 1) << "every hello gets exactly one welcome";
        return welcomes.empty() ? Packet::Welcome{} : welcomes.back();
    }
    Packet::Welcome pair(ConnectionId connection, const Phone& phone, FakeListener* via = nullptr) {
        return hello(connection, phone, currentPIN(), via);
    }
    // Pairs a new phone; returns its session.
    std::uint32_t join(ConnectionId connection, Phone phone = {}) {
        auto welcome = pair(connection, phone);
        EXPECT_EQ(welcome.status, WelcomeStatus::accepted);
        return welcome.session;
    }
    std::uint32_t sessionOf(ConnectionId connection) {
        return listener.sentTo<Packet::Welcome>(connection).back().session;
    }

    // Lets `d` pass and runs the watchdog.
    void watch(Duration d) {
        clock.advance(d);
        server->watchdogTick(clock.now());
    }
    // The client lists one publish tick sent.
    std::vector<HostEvent::Clients> publish() {
        auto before = eventsOf<HostEvent::Clients>().size();
        server->publishTick(clock.now());
        auto lists = eventsOf<HostEvent::Clients>();
        return {lists.begin() + static_cast<std::ptrdiff_t>(before), lists.end()};
    }

    std::uint16_t currentPIN() const {
        auto pins = eventsOf<HostEvent::Pin>();
        EXPECT_FALSE(pins.empty()) << "no PIN was published";
        return pins.empty() ? 0 : static_cast<std::uint16_t>(std::stoi(pins.back().pin));
    }
    std::uint16_t wrongPIN() const {
        return static_cast<std::uint16_t>((currentPIN() + 1) % 10000);
    }
    template <typename T> std::vector<T> eventsOf() const { return only<T>(events); }

    asio::io_context context;
    FakeClock clock;
    FakeListener listener;
    FakeAdvertiser advertiser;
    MemorySettingsStore settings;
    FakeKeyboard keyboard;
    FakeGamepads gamepads;
    FakeRetirement retirement;
    // The PINs the server draws next; random ones after them.
    std::vector<std::uint16_t> forcedPINs;
    std::shared_ptr<CapturingLogSink> log = std::make_shared<CapturingLogSink>();
    std::shared_ptr<HostServer> server;
    std::vector<HostEvent> events;
};

} // namespace jolto::testing
