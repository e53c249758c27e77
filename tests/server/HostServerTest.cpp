// The server on fakes of its ports: sessions, the listener, admission and trust, the timers'
// work, and a UDP phone and a WebSocket phone side by side through the transport mux.

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "fakes/CapturingLogSink.h"
#include "fakes/OutputFakes.h"
#include "output/VirtualGamepadFactory.h"
#include "protocol/Packet.h"
#include "protocol/Random.h"
#include "server/TransportMux.h"

using namespace jolto;
using namespace jolto::testing;

namespace {

using Bytes = std::optional<std::pair<int, int>>;

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

// Keeps retired gamepads until `Server::pump` ends them, as a gamepad's own thread would.
class FakeRetirement final : public GamepadRetirement {
public:
    void retire(std::unique_ptr<GamepadHandle> gamepad, std::function<void()> gone) override {
        waiting.emplace_back(std::move(gamepad), std::move(gone));
    }
    // Ends every waiting gamepad; true when there was one.
    bool endAll() {
        auto ending = std::exchange(waiting, {});
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

class Server : public ::testing::Test {
protected:
    void SetUp() override { restart(); }
    void TearDown() override { server.reset(); }

    // A new server on the same fakes; a real gamepad factory ends its gamepads on its threads.
    void restart(bool runTimers = false, GamepadFactory* factory = nullptr,
                 OutputMode mode = OutputMode::keyboardMouse) {
        server.reset();
        auto pin = [this] {
            auto next = forcedPINs.empty() ? randomUniform(0, 9999) : forcedPINs.front();
            forcedPINs.erase(forcedPINs.begin(), forcedPINs.begin() + !forcedPINs.empty());
            return static_cast<std::uint16_t>(next);
        };
        server = HostServer::create(
            "Test Host", HostServer::Ports{context, clock, *transport, &advertiser, settings,
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
    // Runs timers and posted work until `done` holds; false when it did not in 20 s.
    template <typename Pred> bool runUntil(Pred done) {
        return waitFor([&] {
            context.restart();
            context.run_one_for(10ms);
            return done();
        });
    }

    // Hands the server a packet through `via`, by default the only transport.
    void deliver(ConnectionId connection, const Packet& packet, FakeListener* via = nullptr) {
        (via ? *via : listener).receive(connection, encoded(packet), clock.now());
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
    // One field of every event of its type, in order.
    template <typename T, typename Field> std::vector<Field> fieldsOf(Field T::*field) const {
        std::vector<Field> values;
        std::ranges::transform(eventsOf<T>(), std::back_inserter(values), field);
        return values;
    }

    void gameRumble(std::size_t gamepad, float low, float high) {
        gamepads.created.at(gamepad)->onRumble(low, high);
        pump();
    }
    // One 33 ms publish tick; the bytes of the rumble packet it sent to `connection`, if any.
    Bytes rumbleStep(ConnectionId connection = 1) {
        auto before = listener.sentTo<Packet::Rumble>(connection).size();
        clock.advance(33ms);
        server->publishTick(clock.now());
        auto all = listener.sentTo<Packet::Rumble>(connection);
        EXPECT_LE(all.size(), before + 1) << "one rumble packet per tick";
        if (all.size() == before) {
            return std::nullopt;
        }
        EXPECT_EQ(all.back().session, sessionOf(connection));
        return std::pair{static_cast<int>(std::lround(all.back().low * 255)),
                         static_cast<int>(std::lround(all.back().high * 255))};
    }
    bool runsIdle() {
        context.restart();
        context.run_for(3s);
        return context.stopped();
    }
    // Calls the server and runs the work the call posted.
    template <typename Method, typename... Args> void act(Method method, Args... args) {
        ((*server).*method)(args...);
        pump();
    }
    // The seats of the clients in the one list a publish tick sent.
    std::vector<int> seats() {
        auto lists = publish();
        EXPECT_EQ(lists.size(), 1u);
        std::vector<int> numbers;
        std::ranges::transform(lists.at(0).clients, std::back_inserter(numbers),
                               &ClientSnapshot::playerNumber);
        return numbers;
    }
    int pinEvents() const { return static_cast<int>(eventsOf<HostEvent::Pin>().size()); }
    // `n` wrong PINs, from two strangers in turn.
    void wrongTries(int n) {
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(hello(101 + i % 2, guessers[i % 2], wrongPIN()).status,
                      WelcomeStatus::pinIncorrect);
        }
    }
    bool isTrusted(const Phone& phone) const {
        auto lists = eventsOf<HostEvent::Trusted>();
        return !lists.empty() && std::ranges::any_of(lists.back().devices, [&](const auto& d) {
            return d.id == phone.device;
        });
    }

    // Sends a state whose left trigger tells it apart; true when it reached the output.
    bool stateAccepted(ConnectionId connection, std::uint32_t session, std::uint32_t sequence) {
        ControllerState state;
        state.leftTrigger = static_cast<float>(++marker % 255) / 255.0f; // exact on the wire
        auto before = keyboard.updates.size();
        deliver(connection, Packet::State{session, sequence, state});
        return keyboard.updates.size() == before + 1 &&
               keyboard.updates.back().second.leftTrigger == state.leftTrigger;
    }

    asio::io_context context;
    FakeClock clock;
    FakeListener listener;
    // What the server listens on.
    UdpListener* transport = &listener;
    FakeAdvertiser advertiser;
    MemorySettingsStore settings;
    FakeKeyboard keyboard;
    FakeGamepads gamepads;
    FakeRetirement retirement;
    // The PINs the server draws next; random ones after them.
    std::vector<std::uint16_t> forcedPINs;
    ScopedLogCapture log;
    std::shared_ptr<HostServer> server;
    std::vector<HostEvent> events;
    Phone guessers[2];
    int marker = 0;
};
using Sessions = Server;
using Admission = Server;
using Ticks = Server;

// A state counts only from the connection's own session and with a sequence newer than the last
// one, read across the wrap.
TEST_F(Sessions, StatesNeedTheirSessionAndANewerSequence) {
    auto a = join(1);
    auto b = join(2);
    struct Row {
        ConnectionId connection;
        std::uint32_t session, sequence;
        bool accepted;
        const char* why;
    };
    const Row rows[] = {
        {1, 0, 1, false, "no session"},
        {1, b, 1, false, "another phone's session"},
        {3, a, 1, false, "an unwelcomed connection"},
        {1, a, 10, true, "the first state is taken whatever its number"},
        {1, a, 12, true, "newer"},
        {1, a, 11, false, "older"},
        {1, a, 12, false, "repeated"},
        {1, a, 0xFFFFFFFFu, false, "reads as 13 older"},
        {1, a, 0x7FFFFFFFu, true, "newer by less than half the range"},
        {1, a, 0xFFFFFFF0u, true, "newer"},
        {1, a, 0xFFFFFFFFu, true, "newer"},
        {1, a, 0, true, "wrapped"},
        {1, a, 0x80000000u, false, "half the range away reads as older"},
        {1, a, 0x7FFFFFFFu, true, "newer"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(stateAccepted(row.connection, row.session, row.sequence), row.accepted)
            << row.sequence << ": " << row.why;
    }
    // The refused ones did not count as activity either.
    watch(1100ms);
    EXPECT_TRUE(publish().at(0).clients.at(1).isStale);
}

// Unchanged states and pings keep a phone connected; unchanged states are not routed again and
// pings do not end staleness.
TEST_F(Sessions, UnchangedStatesAndPingsKeepThePhoneConnected) {
    auto session = join(1);
    deliver(1, Packet::State{session, 1, pressing(ControllerButton::east)});
    publish();
    auto updates = keyboard.updates.size();
    for (std::uint32_t seq = 2; seq < 40; ++seq) {
        deliver(1, Packet::State{session, seq, pressing(ControllerButton::east)});
        watch(500ms);
        EXPECT_TRUE(publish().empty());
    }
    EXPECT_EQ(keyboard.updates.size(), updates);

    deliver(1, Packet::Ping{session, 0x0102030405060708ull});
    deliver(1, Packet::Ping{0, 7});
    deliver(1, Packet::Ping{session + 1, 8});
    EXPECT_EQ(listener.sentTo<Packet::Pong>(1), std::vector{Packet::Pong{0x0102030405060708ull}});
    for (int i = 0; i < 20; ++i) {
        deliver(1, Packet::Ping{session, 1});
        watch(1s);
    }
    EXPECT_TRUE(listener.closed.empty());
    watch(1100ms);
    deliver(1, Packet::Ping{session, 1});
    EXPECT_TRUE(publish().at(0).clients.at(0).isStale) << "only input ends staleness";
}

// The client list is published when it changed, and only then.
TEST_F(Sessions, GoodbyeInTheSessionRemovesTheClientReleasesItsInputAndIsPublished) {
    EXPECT_TRUE(publish().empty()) << "nothing connected, nothing to say";
    auto a = join(1);
    auto b = join(2);
    EXPECT_EQ(seats(), (std::vector{1, 2}));
    EXPECT_TRUE(publish().empty());
    deliver(2, Packet::State{b, 1, pressing(ControllerButton::north)});
    EXPECT_EQ(publish().at(0).clients.at(1).state, pressing(ControllerButton::north));
    deliver(1, Packet::Goodbye{a + 1});
    EXPECT_TRUE(publish().empty()) << "a goodbye in another session is ignored";

    deliver(1, Packet::Goodbye{a});
    EXPECT_EQ(seats(), std::vector{2});
    deliver(2, Packet::Goodbye{b});
    EXPECT_EQ(seats(), std::vector<int>{}) << "the empty list is published once";
    EXPECT_TRUE(publish().empty());

    // A connection that never got a session leaves with a goodbye of session 0.
    hello(3, Phone{});
    deliver(3, Packet::Goodbye{0});
    EXPECT_EQ(listener.closed.back(), 3u);
}

TEST_F(Sessions, ListenerIsAdvertisedWhenReadyAndRestartedAfterTwoSecondsWhenItFails) {
    join(1);
    listener.handler.ready(50123);
    EXPECT_EQ(eventsOf<HostEvent::Listener>().back().state, ListenerState::ready(50123));
    EXPECT_EQ(advertiser.published, (decltype(advertiser.published){{"_zevctrl._udp", 50123}}));

    std::thread avahi([cb = advertiser.callback] { cb("The mDNS daemon is not running."); });
    avahi.join();
    EXPECT_TRUE(eventsOf<HostEvent::Advertisement>().empty()) << "handed over, not run inline";
    pump();
    EXPECT_EQ(eventsOf<HostEvent::Advertisement>(),
              std::vector{HostEvent::Advertisement{"The mDNS daemon is not running."}});

    events.clear();
    listener.handler.waiting("Network is unreachable");
    EXPECT_EQ(advertiser.withdrawals, 0) << "a waiting listener is left to recover";
    listener.handler.failed("Socket closed");
    EXPECT_EQ(listener.cancels, 0) << "a failed listener has stopped; it keeps its connections";
    EXPECT_EQ(advertiser.withdrawals, 1);
    EXPECT_EQ(listener.starts, 1);
    ASSERT_TRUE(runUntil([&] { return listener.starts == 2; }));
    listener.handler.ready(4001);
    EXPECT_EQ(fieldsOf(&HostEvent::Listener::state),
              (std::vector{ListenerState::failed("Network is unreachable"),
                           ListenerState::failed("Socket closed"), ListenerState::starting(),
                           ListenerState::ready(4001)}));
    EXPECT_EQ(advertiser.published.back().second, 4001);
    EXPECT_TRUE(keyboard.removed.empty());

    // A listener that cannot even be created is reported failed once, without a retry.
    listener.startError = "Address family not supported";
    events.clear();
    restart();
    EXPECT_EQ(fieldsOf(&HostEvent::Listener::state),
              (std::vector{ListenerState::starting(),
                           ListenerState::failed("Address family not supported")}));
    context.restart();
    context.run_for(2500ms);
    EXPECT_EQ(listener.starts, 3);
}

// A flood of datagrams from many source ports must not grow the client table without bound.
TEST_F(Sessions, UndecodableDatagramsGoUnansweredAndTheirConnectionsAreCapped) {
    auto session = join(1);
    publish();
    // Of the flood's first two connections, only the one of another protocol is answered.
    listener.receive(100, std::vector<std::uint8_t>{'Z', 'E', 'V', 'C', 2, 3}, clock.now());
    EXPECT_EQ(listener.sentTo<Packet::Welcome>(100),
              (std::vector{Packet::Welcome{WelcomeStatus::versionMismatch, 0, 0, "Test Host"}}));
    for (std::vector<std::uint8_t> junk :
         {std::vector<std::uint8_t>{'Z', 'E', 'V', 'C', 1, 9}, {'Z', 'E', 'V', 'C', 2}, {}}) {
        listener.receive(101, junk, clock.now());
    }
    EXPECT_TRUE(listener.sent[101].empty());
    std::vector<std::uint8_t> junk{1, 2, 3};
    for (ConnectionId c = 102; c < 100 + HostServer::maxUnwelcomedClients; ++c) {
        clock.advance(1ms);
        listener.receive(c, junk, clock.now());
    }
    EXPECT_TRUE(listener.closed.empty());
    // A hello makes connection 100 the most recently heard, so 101 is the oldest now.
    hello(100, Phone{});
    listener.receive(500, junk, clock.now());
    EXPECT_EQ(listener.closed, std::vector<ConnectionId>{101});

    for (ConnectionId c = 1000; c < 3000; ++c) {
        listener.receive(c, junk, clock.now());
    }
    EXPECT_EQ(listener.closed.size(), 2001u);
    EXPECT_EQ(std::count(listener.closed.begin(), listener.closed.end(), 1u), 0)
        << "a welcomed phone is never pushed out";
    EXPECT_TRUE(publish().empty()) << "no welcomed client came or went";
    EXPECT_TRUE(stateAccepted(1, session, 1));
}

TEST_F(Admission, CorrectPINAdmitsTrustsAndIsUsedUpAndAnotherIdentityReleasesTheOldOne) {
    EXPECT_EQ(eventsOf<HostEvent::Trusted>().size(), 1u);
    EXPECT_EQ(keyboard.mappings, std::vector{KeyMapping::shooter()});
    // The next draw repeats the PIN just used, which must not come back.
    forcedPINs = {7, 7, 7, 42};
    restart();
    EXPECT_EQ(eventsOf<HostEvent::Pin>().back().pin, "0007");
    Phone phone;
    EXPECT_EQ(hello(1, phone), (Packet::Welcome{WelcomeStatus::pinRequired, 0, 0, "Test Host"}));
    join(1, phone);
    EXPECT_TRUE(isTrusted(phone));
    EXPECT_EQ(pinEvents(), 3) << "one PIN for each server, one after the pairing";
    EXPECT_EQ(eventsOf<HostEvent::Pin>().back().pin, "0042");
    EXPECT_EQ(hello(2, Phone{}, 7).status, WelcomeStatus::pinIncorrect);
    // The trust was stored: it survives a server built on the same settings.
    restart();
    EXPECT_TRUE(isTrusted(phone));

    // A connection taking another identity releases the old one.
    Phone second{Uuid::random(), Uuid::random(), ""};
    deliver(3, Packet::State{join(3, phone), 1, pressing(ControllerButton::south)});
    ASSERT_EQ(keyboard.states.count(phone.device), 1u);
    EXPECT_EQ(pair(3, second).status, WelcomeStatus::accepted);
    EXPECT_EQ(keyboard.states.count(phone.device), 0u) << "nothing held for an identity gone";
    EXPECT_EQ(keyboard.states.count(second.device), 1u);
    EXPECT_EQ(publish().at(0).clients.at(0).name, "iPhone") << "an empty name";
}

TEST_F(Admission, TrustedPhoneIsAdmittedWithoutPINAndItsWrongPINIsIgnoredUntilForgotten) {
    Phone phone;
    deliver(1, Packet::Goodbye{join(1, phone)});
    auto trustedBefore = eventsOf<HostEvent::Trusted>().size();
    phone.name = "New name";
    EXPECT_EQ(hello(2, phone, wrongPIN()).status, WelcomeStatus::accepted);
    auto lists = eventsOf<HostEvent::Trusted>();
    ASSERT_EQ(lists.size(), trustedBefore + 1);
    ASSERT_EQ(lists.back().devices.size(), 1u);
    EXPECT_EQ(lists.back().devices[0].name, "New name") << "the trust entry follows the phone";
    // The trusted phone's wrong PIN did not count: four more wrong ones keep the PIN.
    wrongTries(4);
    EXPECT_EQ(pinEvents(), 2);

    // The same id with another secret must pair again, and then replaces the secret.
    Phone impostor{phone.device, Uuid::random(), "Other"};
    EXPECT_EQ(hello(3, impostor).status, WelcomeStatus::pinRequired);
    deliver(3, Packet::Goodbye{join(3, impostor)});
    EXPECT_EQ(hello(4, phone).status, WelcomeStatus::pinRequired) << "old secret replaced";
    EXPECT_EQ(hello(5, impostor).status, WelcomeStatus::accepted);

    // Forgetting says goodbye, removes the phone and leaves the others trusted and connected.
    Phone other;
    join(6, other);
    publish();
    act(&HostServer::forget, phone.device);
    EXPECT_EQ(listener.sentTo<Packet::Goodbye>(5), std::vector{Packet::Goodbye{sessionOf(5)}});
    EXPECT_FALSE(isTrusted(phone));
    EXPECT_TRUE(isTrusted(other));
    EXPECT_EQ(seats(), std::vector{2}) << "the other phone's";
    EXPECT_EQ(hello(7, impostor).status, WelcomeStatus::pinRequired);
}

// Four players at most, numbered from 1; a phone back from another port takes its own seat
// over, and a freed seat goes to the next phone.
TEST_F(Admission, SeatsAreNumberedKeptOnARepeatedHelloAndMovedWithANewPort) {
    Phone phones[5];
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(pair(static_cast<ConnectionId>(i + 1), phones[i]).playerNumber, i + 1);
    }
    auto trustedBefore = eventsOf<HostEvent::Trusted>().size();
    auto second = sessionOf(2);
    phones[1].name = "Renamed";
    EXPECT_EQ(hello(2, phones[1]),
              (Packet::Welcome{WelcomeStatus::accepted, second, 2, "Test Host"}));
    EXPECT_EQ(eventsOf<HostEvent::Trusted>().size(), trustedBefore) << "trust left alone";

    auto old = sessionOf(3);
    auto welcome = hello(9, phones[2]);
    EXPECT_EQ(welcome.status, WelcomeStatus::accepted) << "not refused as full by itself";
    EXPECT_EQ(welcome.playerNumber, 3);
    EXPECT_NE(welcome.session, old);
    EXPECT_EQ(listener.closed, std::vector<ConnectionId>{3});
    // The old connection's input was released before the new one took over.
    EXPECT_EQ(keyboard.removed, std::vector{phones[2].device});
    // Its old session no longer drives anything.
    auto updates = keyboard.updates.size();
    deliver(9, Packet::State{old, 1, pressing(ControllerButton::south)});
    EXPECT_EQ(keyboard.updates.size(), updates);

    // A fifth phone is refused, but keeps its pairing and uses the PIN up.
    auto pinsBefore = pinEvents();
    EXPECT_EQ(pair(5, phones[4]), (Packet::Welcome{WelcomeStatus::hostFull, 0, 0, "Test Host"}));
    EXPECT_TRUE(isTrusted(phones[4]));
    EXPECT_EQ(pinEvents(), pinsBefore + 1);
    deliver(2, Packet::Goodbye{sessionOf(2)});
    auto later = hello(5, phones[4]);
    EXPECT_EQ(later.status, WelcomeStatus::accepted);
    EXPECT_EQ(later.playerNumber, 2) << "the lowest free number";
}

// The fifth wrong try from any phone replaces the PIN and pauses every PIN check, for longer
// each time, so that a four-digit PIN cannot be guessed at network speed.
TEST_F(Admission, FiveWrongPINsReplaceThePINAndPauseGuessingForUpToADay) {
    // Had the PIN-less hello counted, four wrong PINs would now replace the PIN.
    hello(101, guessers[0]);
    wrongTries(4);
    EXPECT_EQ(pinEvents(), 1);
    EXPECT_TRUE(log->lines().empty()) << "refusals are not logged";
    // A new PIN on request starts the count again.
    act(&HostServer::regeneratePIN);
    wrongTries(4);
    EXPECT_EQ(pinEvents(), 2);
    wrongTries(1);
    EXPECT_EQ(pinEvents(), 3);
    // Even the right PIN is refused unseen during the pause, and refusals there do not count.
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(hello(101, guessers[0], currentPIN()).status, WelcomeStatus::pinIncorrect);
    }
    EXPECT_EQ(pinEvents(), 3);

    clock.advance(30s);
    wrongTries(4);
    EXPECT_EQ(pinEvents(), 3) << "counting started afresh at the new PIN";
    wrongTries(1);
    clock.advance(59s);
    Phone owner;
    EXPECT_EQ(hello(3, owner, currentPIN()).status, WelcomeStatus::pinIncorrect);
    clock.advance(1s);
    EXPECT_EQ(pair(3, owner).status, WelcomeStatus::accepted) << "ends the pause";
    wrongTries(5);
    // Pauses that ran out end without an event.
    for (int round = 1; round < 15; ++round) {
        clock.advance(24h);
        wrongTries(5);
    }
    // A trusted phone is spared the pause, which a new PIN ends.
    EXPECT_EQ(hello(4, owner, wrongPIN()).status, WelcomeStatus::accepted);
    Phone newcomer;
    EXPECT_EQ(hello(5, newcomer, currentPIN()).status, WelcomeStatus::pinIncorrect);
    act(&HostServer::regeneratePIN);
    EXPECT_EQ(pair(5, newcomer).status, WelcomeStatus::accepted);
    wrongTries(5);
    // Once per pause; a pairing or a new PIN ends it and restarts the doubling up to a day.
    EXPECT_EQ(fieldsOf(&HostEvent::PairingPause::length),
              (std::vector<std::optional<std::chrono::seconds>>{
                  30s,    60s,    std::nullopt, 30s,    60s,          120s,   240s,
                  480s,   960s,   1920s,        3840s,  7680s,        15360s, 30720s,
                  61440s, 86400s, 86400s,       86400s, std::nullopt, 30s}));
}

// A phone is stale after a second of silence and dropped after fifteen; a connection that
// never got a session is dropped, without a word, after thirty of silence.
TEST_F(Ticks, SilentConnectionsTurnStaleAndAreDroppedJustAfterTheirTimes) {
    Phone a;
    auto session = join(1, a);
    hello(2, Phone{});
    deliver(1, Packet::State{session, 1, pressing(ControllerButton::south)});
    publish();
    watch(1s);
    EXPECT_TRUE(publish().empty()) << "exactly one second is not yet stale";
    watch(100ms);
    EXPECT_EQ(keyboard.states.at(a.device), ControllerState{}) << "held buttons released";
    auto client = publish().at(0).clients.at(0);
    EXPECT_TRUE(client.isStale);
    EXPECT_EQ(client.state, pressing(ControllerButton::south)) << "shown as last sent";
    watch(0s);
    EXPECT_TRUE(publish().empty()) << "turning stale is reported once";

    // The same held button again: staleness released it, so it must be pressed again.
    deliver(1, Packet::State{session, 2, pressing(ControllerButton::south)});
    EXPECT_EQ(keyboard.states.at(a.device), pressing(ControllerButton::south));
    EXPECT_FALSE(publish().at(0).clients[0].isStale);
    watch(15s);
    EXPECT_TRUE(listener.closed.empty());
    watch(100ms);
    EXPECT_EQ(listener.closed, std::vector<ConnectionId>{1});
    EXPECT_EQ(keyboard.removed, std::vector<Uuid>{a.device});
    EXPECT_TRUE(publish().at(0).clients.empty());

    // For the connection without a session only its hello counts.
    clock.advance(3800ms);
    listener.receive(2, std::vector<std::uint8_t>{9, 9}, clock.now());
    deliver(2, Packet::Ping{0, 1});
    auto logged = log->lines().size();
    watch(10s);
    EXPECT_EQ(listener.closed.size(), 1u) << "30 s exactly is not yet over";
    watch(100ms);
    EXPECT_EQ(listener.closed, (std::vector<ConnectionId>{1, 2}));
    EXPECT_EQ(log->lines().size(), logged);
    EXPECT_TRUE(publish().empty());
}

TEST_F(Ticks, FrameTickStepsMotionCappedAfterAStallAndIdleTimersSleepUntilAPhoneWakes) {
    const std::pair<bool, Duration> ticks[] = {{false, 8ms}, {true, 8ms}, {true, 300ms}};
    for (auto [motion, after] : ticks) {
        keyboard.motion = motion;
        clock.advance(after);
        server->frameTick(clock.now());
    }
    // No motion, no step; then the time since the previous tick, capped after a stall.
    EXPECT_EQ(keyboard.steps, (std::vector{0.008, 0.05}));
    act(&HostServer::setMode, OutputMode::gamepad);
    server->frameTick(clock.now());
    EXPECT_EQ(keyboard.steps.size(), 2u) << "no pointer in gamepad mode";

    // A tick handled late keeps the cadence; a long stall restarts from now, not in a burst.
    Instant t0{};
    EXPECT_EQ(HostServer::nextDeadline(t0, t0 + 3ms, 8ms), t0 + 8ms);
    EXPECT_EQ(HostServer::nextDeadline(t0 + 8ms, t0 + 24ms, 8ms), t0 + 16ms);
    EXPECT_EQ(HostServer::nextDeadline(t0 + 8ms, t0 + 25ms, 8ms), t0 + 25ms);
    EXPECT_EQ(HostServer::nextDeadline(t0 + 8ms, t0 + 300ms, 8ms), t0 + 300ms);

    // With nothing to do no timer stays armed, and a phone wakes the ones it needs.
    keyboard = {};
    restart(true);
    EXPECT_TRUE(runsIdle()) << "no phone, no timer";
    auto session = join(1);
    // After a long sleep the first step must count from the wake, not from the last tick.
    clock.advance(10s);
    keyboard.motion = true;
    deliver(1, Packet::State{session, 1, pressing(ControllerButton::south)});
    ASSERT_TRUE(runUntil([&] {
        return keyboard.steps.size() >= 2 && !eventsOf<HostEvent::Clients>().empty();
    })) << "motion wakes the frame timer";
    EXPECT_LT(keyboard.steps[0], HostServer::longestFrameStep) << "the pointer jumped on waking";
    EXPECT_EQ(eventsOf<HostEvent::Clients>().size(), 1u);

    keyboard.motion = false;
    deliver(1, Packet::Goodbye{session});
    EXPECT_TRUE(runsIdle());
    EXPECT_TRUE(eventsOf<HostEvent::Clients>().back().clients.empty())
        << "the last list was still published";

    // Timers armed for a moving phone end with the server.
    join(2);
    keyboard.motion = true;
    auto steps = keyboard.steps.size();
    ASSERT_TRUE(runUntil([&] { return keyboard.steps.size() > steps; })) << "the frame timer slept";
    server.reset();
    EXPECT_TRUE(runsIdle()) << "no timer outlives the server";
}

TEST_F(Ticks, GamepadModeGivesEachPhoneItsGamepadAtOnceAndAReplacementEndsTheOldOne) {
    Phone a;
    auto session = join(1, a);
    keyboard.updates.clear();
    act(&HostServer::setMode, OutputMode::gamepad);
    EXPECT_EQ(keyboard.removeAlls, 1);
    ASSERT_EQ(gamepads.created.size(), 1u);
    EXPECT_EQ(gamepads.created[0]->serial, a.device.string());
    EXPECT_EQ(gamepads.created[0]->pushed, std::vector<ControllerState>{ControllerState{}});

    auto b = join(2);
    ASSERT_EQ(gamepads.created.size(), 2u) << "before the phone sent any state";
    EXPECT_EQ(gamepads.created[1]->playerNumber, 2);
    deliver(2, Packet::State{b, 1, pressing(ControllerButton::west)});
    EXPECT_EQ(gamepads.created[1]->pushed.back(), pressing(ControllerButton::west));
    EXPECT_TRUE(keyboard.updates.empty());
    // A phone that falls silent has its gamepad released, not held in its last state.
    watch(1100ms);
    EXPECT_EQ(gamepads.created[1]->pushed.back(), ControllerState{});
    deliver(2, Packet::Goodbye{b});
    EXPECT_TRUE(gamepads.created[1]->finished);
    EXPECT_FALSE(gamepads.created[0]->finished);

    // Each way of replacing a gamepad: the old one is finished, its rumble ends with one closing
    // packet and its late levels are ignored; its successor gets the input of the moment.
    deliver(1, Packet::State{session, 1, pressing(ControllerButton::south)});
    const std::function<void()> replacements[] = {
        [&] { server->setGamepadDevice(GamepadDevice::hid); },
        [&] {
            server->setMode(OutputMode::keyboardMouse);
            server->setMode(OutputMode::gamepad);
        },
    };
    std::size_t old = 0;
    for (const auto& replace : replacements) {
        gameRumble(old, 0.5f, 0.5f);
        EXPECT_EQ(rumbleStep(), Bytes({128, 128}));
        auto next = gamepads.created.size();
        replace();
        pump();
        ASSERT_EQ(gamepads.created.size(), next + 1);
        EXPECT_TRUE(gamepads.created[old]->finished);
        EXPECT_EQ(gamepads.created[next]->device, GamepadDevice::hid);
        EXPECT_EQ(gamepads.created[next]->pushed, std::vector{pressing(ControllerButton::south)});
        EXPECT_EQ(rumbleStep(), Bytes({0, 0}));
        gameRumble(old, 1.0f, 1.0f);
        EXPECT_EQ(rumbleStep(), std::nullopt);
        old = next;
    }
    gameRumble(old, 0.9f, 0.0f);
    EXPECT_EQ(rumbleStep(), Bytes({230, 0})) << "the successor rumbles";

    server->setMode(OutputMode::keyboardMouse);
    server->setGamepadDevice(GamepadDevice::standard);
    pump();
    EXPECT_TRUE(gamepads.created[old]->finished);
    EXPECT_EQ(gamepads.created.size(), 4u) << "no gamepad outside gamepad mode";
    EXPECT_EQ(keyboard.states.count(a.device), 1u) << "input applied at once after the switch";
}

// Real gamepads on fake devices, ended by the server's own threads: a device that stalls holds
// up neither the server nor other phones.
TEST_F(Ticks, StalledDeviceHoldsUpNeitherTheServerNorOtherPhones) {
    FakeVirtualHidDeviceFactory devices;
    auto& hid = *devices.log;
    VirtualGamepadFactory factory{devices, devices, [](GamepadDevice) { return true; }};
    restart(false, &factory, OutputMode::gamepad);
    // Even after a failed check, the device is unstalled for the server's end, before the
    // factory's.
    std::shared_ptr<void> end(nullptr, [&](void*) {
        hid.with([&] { hid.stalledDevice = 0; });
        server.reset();
    });
    Phone first;
    auto a = join(1, first);
    auto b = join(2);
    ASSERT_TRUE(hid.waitUntil([&] { return hid.dispatched.size() == 2; }));

    hid.with([&] { hid.stalledDevice = 1; });
    deliver(1, Packet::State{a, 1, pressing(ControllerButton::south)});
    ASSERT_TRUE(hid.waitUntil([&] { return hid.dispatchesEntered == 3; }));
    // The goodbye returns although the first gamepad cannot send its reports, let alone end.
    deliver(1, Packet::Goodbye{a});
    deliver(2, Packet::State{b, 1, pressing(ControllerButton::east)});
    ASSERT_TRUE(hid.waitUntil(
        [&] { return std::count(hid.dispatchedBy.begin(), hid.dispatchedBy.end(), 2) == 2; }));
    // Back on a new connection, the phone waits for its old device to go.
    EXPECT_EQ(hello(3, first).status, WelcomeStatus::accepted);
    pump();
    EXPECT_EQ(hid.with([&] { return hid.devicesMade; }), 2);

    hid.with([&] { hid.stalledDevice = 0; });
    ASSERT_TRUE(runUntil([&] { return hid.with([&] { return hid.devicesMade; }) == 3; }));
    // The first device went before the phone's next one came.
    EXPECT_EQ(hid.with([&] { return hid.history; }), (std::vector{1, 2, -1, 3}));
    // The orderly end waits for every device, and no thread of the server stays behind.
    server.reset();
    EXPECT_EQ(hid.with([&] { return hid.history.size(); }), 6u);
}

// Every problem report in order, the first one from the start in keyboard mode.
TEST_F(Ticks, UnavailableGamepadIsReportedOnceAndRetriedOnRequest) {
    gamepads.refuse = true;
    gamepads.entitled = false;
    join(1);
    join(2);
    act(&HostServer::setMode, OutputMode::gamepad);
    join(3);
    act(&HostServer::setMode, OutputMode::gamepad);
    EXPECT_EQ(gamepads.attempts, 1) << "no further attempt in this mode";
    EXPECT_EQ(keyboard.removeAlls, 1);
    act(&HostServer::retryGamepads);
    EXPECT_EQ(gamepads.attempts, 2) << "still refused: one try, not one per phone";
    gamepads.entitled = true;
    server->setMode(OutputMode::keyboardMouse);
    act(&HostServer::setMode, OutputMode::gamepad);
    gamepads.refuse = false;
    act(&HostServer::retryGamepads);
    EXPECT_EQ(gamepads.created.size(), 3u);
    act(&HostServer::retryGamepads); // nothing left to retry
    // Each attempt clears the report before it makes its own; leaving the mode clears it too.
    const std::optional<std::string> ok,
        noAccess = "JOLTO Host has no access to /dev/uinput.",
        refused = "The system refused to create the virtual gamepad.";
    EXPECT_EQ(fieldsOf(&HostEvent::GamepadProblem::problem),
              (std::vector{ok, noAccess, ok, noAccess, ok, ok, refused, ok}));
}

// Each row sets the audio's and the game's levels and the strength, then takes one tick.
TEST_F(Ticks, RumbleTakesTheLouderOfAudioAndGameScaledAndCappedAndEndsOnce) {
    Phone phone;
    auto session = join(1, phone);
    act(&HostServer::setMode, OutputMode::gamepad);
    struct Row {
        RumbleLevels audio, game;
        float strength;
        Bytes sent;
    };
    const Row rows[] = {
        {{0.01f, 0.015f}, {}, 1, std::nullopt}, // below the threshold, never rumbled
        {{0.3f, 0.1f}, {}, 1, Bytes({77, 26})},
        {{0.3f, 0.1f}, {}, 1, Bytes({77, 26})},            // sent every tick, equal or not
        {{0.3f, 0.1f}, {0.2f, 0.6f}, 1, Bytes({77, 153})}, // the louder of each
        {{0.7f, 0.2f}, {}, 2, Bytes({255, 102})},          // scaled, capped at full
        {{}, {0.5f, 0}, 0.5f, Bytes({64, 0})},             // the game alone, scaled
        {{0.01f, 0.015f}, {0.01f, 0}, 1, Bytes({0, 0})},   // quiet: one closing packet
        {{0.01f, 0.015f}, {}, 1, std::nullopt},            // then none
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(i);
        server->setRumbleStrength(rows[i].strength);
        gameRumble(0, rows[i].game.low, rows[i].game.high);
        act(&HostServer::setAudioRumble, RumbleLevels{rows[i].audio.low, rows[i].audio.high});
        EXPECT_EQ(rumbleStep(), rows[i].sent);
    }
    // A phone falling stale gets one closing packet; its gamepad keeps the game's levels.
    gameRumble(0, 0.5f, 0.5f);
    EXPECT_EQ(rumbleStep(), Bytes({128, 128})) << "rumbling again";
    watch(1s);
    EXPECT_EQ(rumbleStep(), Bytes({0, 0}));
    EXPECT_EQ(rumbleStep(), std::nullopt);
    deliver(1, Packet::State{session, 1, {}});
    EXPECT_EQ(rumbleStep(), Bytes({128, 128}));
    // The game's rumble does not outlive the phone's visit.
    deliver(1, Packet::Goodbye{session});
    ASSERT_EQ(hello(2, phone).status, WelcomeStatus::accepted);
    pump();
    EXPECT_EQ(rumbleStep(2), std::nullopt) << "the game rumbled the last gamepad, not this one";
}

TEST_F(Ticks, TestRumbleShakesFreshPhonesForSixTenthsOfASecond) {
    auto a = join(1);
    deliver(2, Packet::State{join(2), 1, {}});
    clock.advance(700ms);
    deliver(1, Packet::State{a, 1, pressing(ControllerButton::south)});
    watch(400ms);
    ASSERT_TRUE(publish().at(0).clients.at(1).isStale);

    act(&HostServer::testRumble);
    for (int packet = 0; packet < 18; ++packet) {
        EXPECT_EQ(rumbleStep(), Bytes({230, 128}));
    }
    EXPECT_TRUE(listener.sentTo<Packet::Rumble>(2).empty()) << "a stale phone gets none";
    EXPECT_EQ(rumbleStep(), Bytes({0, 0})) << "600 ms are over";
    EXPECT_EQ(rumbleStep(), std::nullopt);

    // The test raises the levels, never lowers them; a second request extends it from then.
    act(&HostServer::setAudioRumble, RumbleLevels{1.0f, 0.8f});
    act(&HostServer::testRumble);
    EXPECT_EQ(rumbleStep(), Bytes({255, 204}));
    act(&HostServer::setAudioRumble, RumbleLevels{0.0f, 0.0f});
    clock.advance(400ms);
    act(&HostServer::testRumble);
    clock.advance(400ms);
    EXPECT_EQ(rumbleStep(), Bytes({230, 128})) << "0.83 s after the first";
}

class Transports : public Server {
protected:
    void SetUp() override {
        transport = &mux;
        mux.onStateChanged([this](std::size_t, const ListenerState& s) { webStates.push_back(s); });
        Server::SetUp();
    }

    FakeListener web;
    TransportMux mux{{&listener, &web}};
    std::vector<ListenerState> webStates;
};

TEST_F(Transports, SameInnerIdsAreSeparatePlayersUntilTheirTransportLetsGoOrIsSwitchedOff) {
    // Both transports number their first connection 1; the server must not mix them up.
    Phone udpPhone, webPhone;
    ASSERT_EQ(pair(1, udpPhone).status, WelcomeStatus::accepted);
    auto welcome = pair(1, webPhone, &web);
    EXPECT_EQ(welcome.status, WelcomeStatus::accepted);
    EXPECT_EQ(welcome.playerNumber, 2);
    EXPECT_EQ(listener.sentTo<Packet::Welcome>(1).size(), 1u) << "no welcome crossed over";

    deliver(1, Packet::State{welcome.session, 1, pressing(ControllerButton::south)}, &web);
    EXPECT_EQ(keyboard.states[webPhone.device], pressing(ControllerButton::south));
    // The UDP phone's session does not open the browser's connection, and vice versa.
    deliver(1, Packet::State{welcome.session, 2, ControllerState{}});
    EXPECT_EQ(keyboard.states[webPhone.device], pressing(ControllerButton::south));

    // A closed WebSocket leaves at once, without waiting for silence; the UDP phone stays.
    web.handler.closed(1);
    EXPECT_EQ(mux.connectionCount(1), 0u);
    EXPECT_EQ(mux.connectionCount(0), 1u);
    // The server's own removal reaches the transport the client came by, with its own id.
    deliver(1, Packet::Goodbye{sessionOf(1)});
    EXPECT_EQ(listener.closed, std::vector<ConnectionId>{1});
    EXPECT_TRUE(web.closed.empty());

    // Switching the page off closes its players and its port.
    EXPECT_EQ(web.starts, 1) << "the page opens with the server";
    Phone pagePhone;
    ASSERT_EQ(pair(7, pagePhone, &web).status, WelcomeStatus::accepted);
    mux.setEnabled(1, false);
    EXPECT_EQ(web.cancels, 1);
    EXPECT_EQ(keyboard.removed, (std::vector{webPhone.device, udpPhone.device, pagePhone.device}));
    EXPECT_EQ(webStates, (std::vector{ListenerState::starting(), ListenerState::failed({})}));

    mux.setEnabled(1, true);
    EXPECT_EQ(web.starts, 2);
    web.handler.ready(8080);
    EXPECT_EQ(webStates.back(), ListenerState::ready(8080));
    // The UDP listener's readiness is the server's; the page's port never reaches it.
    EXPECT_EQ(std::ranges::count(fieldsOf(&HostEvent::Listener::state), ListenerState::ready(8080)),
              0);
}

} // namespace
