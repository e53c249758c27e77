// The listener, the datagrams of a session, client removal and the flood of connections.

#include <thread>

#include "fakes/HostServerHarness.h"

using namespace jolto;
using namespace jolto::testing;
using namespace std::chrono_literals;

namespace {

class Sessions : public HostServerTest {
protected:
    void SetUp() override {
        HostServerTest::SetUp();
        start();
    }

    // A welcomed phone on connection 1.
    std::uint32_t welcomed(ConnectionId connection = 1, Phone phone = {}) {
        auto welcome = pair(connection, phone);
        EXPECT_EQ(welcome.status, WelcomeStatus::accepted);
        devices[connection] = phone.device;
        return welcome.session;
    }

    // Sends a state whose left trigger tells it apart; true when it reached the output.
    bool stateAccepted(ConnectionId connection, std::uint32_t session, std::uint32_t sequence) {
        ControllerState state;
        state.leftTrigger = static_cast<float>(++marker % 255) / 255.0f; // exact on the wire
        auto before = keyboard.updates.size();
        sendState(connection, session, sequence, state);
        return keyboard.updates.size() == before + 1 &&
               keyboard.updates.back().state.leftTrigger == state.leftTrigger;
    }

    std::map<ConnectionId, Uuid> devices;
    int marker = 0;
};

TEST_F(Sessions, OnlyAnotherProtocolVersionIsAnsweredAmongUndecodableDatagrams) {
    std::vector<std::uint8_t> version2{'Z', 'E', 'V', 'C', 2, 3};
    deliverBytes(1, version2);
    auto welcomes = listener.sentTo<Packet::Welcome>(1);
    ASSERT_EQ(welcomes.size(), 1u);
    EXPECT_EQ(welcomes[0], (Packet::Welcome{WelcomeStatus::versionMismatch, 0, 0, "Test Host"}));

    std::vector<std::uint8_t> type9{'Z', 'E', 'V', 'C', 1, 9};
    std::vector<std::uint8_t> fiveBytes{'Z', 'E', 'V', 'C', 2};
    std::vector<std::uint8_t> empty;
    deliverBytes(2, type9);
    deliverBytes(2, fiveBytes);
    deliverBytes(2, empty);
    EXPECT_TRUE(listener.sent.size() == 1u);
}

TEST_F(Sessions, StateSequencesMustBeNewerAcrossTheWrap) {
    auto session = welcomed();
    EXPECT_TRUE(stateAccepted(1, session, 10)) << "the first state is taken whatever its number";
    EXPECT_TRUE(stateAccepted(1, session, 12));
    EXPECT_FALSE(stateAccepted(1, session, 11));
    EXPECT_FALSE(stateAccepted(1, session, 12)) << "repeated";
    EXPECT_FALSE(stateAccepted(1, session, 0xFFFFFFFFu)) << "reads as 13 older";
    EXPECT_TRUE(stateAccepted(1, session, 0x7FFFFFFFu));
    EXPECT_TRUE(stateAccepted(1, session, 0xFFFFFFF0u));
    EXPECT_TRUE(stateAccepted(1, session, 0xFFFFFFFFu));
    EXPECT_TRUE(stateAccepted(1, session, 0)) << "wrapped";
    EXPECT_FALSE(stateAccepted(1, session, 0x80000000u)) << "half the range away reads as older";
    EXPECT_TRUE(stateAccepted(1, session, 0x7FFFFFFFu));
}

TEST_F(Sessions, StateWithoutTheClientsSessionChangesNothing) {
    auto a = welcomed(1);
    auto b = welcomed(2);
    EXPECT_FALSE(stateAccepted(1, 0, 1));
    EXPECT_FALSE(stateAccepted(1, b, 1));
    EXPECT_FALSE(stateAccepted(3, a, 1)) << "an unwelcomed connection";
    // None of them counted as activity either.
    clock.advance(1100ms);
    server->watchdogTick(clock.now());
    server->publishTick(clock.now());
    auto lists = eventsOf<HostEvent::Clients>();
    ASSERT_FALSE(lists.empty());
    EXPECT_TRUE(lists.back().clients.at(0).isStale);
}

TEST_F(Sessions, UnchangedStateKeepsThePhoneAliveWithoutRoutingOrPublishing) {
    auto session = welcomed();
    sendState(1, session, 1, pressing(ControllerButton::east));
    server->publishTick(clock.now());
    clearEvents();
    auto updates = keyboard.updates.size();
    for (std::uint32_t seq = 2; seq < 40; ++seq) {
        clock.advance(500ms);
        sendState(1, session, seq, pressing(ControllerButton::east));
        server->watchdogTick(clock.now());
        server->publishTick(clock.now());
    }
    EXPECT_EQ(keyboard.updates.size(), updates);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(listener.closed.size(), 0u) << "19 s of unchanged states are not silence";
}

TEST_F(Sessions, PingIsEchoedOnlyInItsSessionAndKeepsThePhoneConnected) {
    auto session = welcomed();
    deliver(1, Packet::Ping{session, 0x0102030405060708ull});
    deliver(1, Packet::Ping{0, 7});
    deliver(1, Packet::Ping{session + 1, 8});
    auto pongs = listener.sentTo<Packet::Pong>(1);
    ASSERT_EQ(pongs.size(), 1u);
    EXPECT_EQ(pongs[0].timestamp, 0x0102030405060708ull);

    for (int i = 0; i < 20; ++i) {
        clock.advance(1s);
        deliver(1, Packet::Ping{session, 1});
        server->watchdogTick(clock.now());
    }
    EXPECT_TRUE(listener.closed.empty());
    // Pings alone do not end staleness: only input does.
    clock.advance(1100ms);
    server->watchdogTick(clock.now());
    deliver(1, Packet::Ping{session, 1});
    server->publishTick(clock.now());
    EXPECT_TRUE(eventsOf<HostEvent::Clients>().back().clients.at(0).isStale);
}

TEST_F(Sessions, GoodbyeInTheSessionRemovesTheClientAndReleasesItsInput) {
    auto a = welcomed(1);
    welcomed(2);
    sendState(1, a, 1, pressing(ControllerButton::south));
    server->publishTick(clock.now());
    clearEvents();

    deliver(1, Packet::Goodbye{a + 1});
    server->publishTick(clock.now());
    EXPECT_TRUE(events.empty()) << "a goodbye in another session is ignored";

    deliver(1, Packet::Goodbye{a});
    EXPECT_EQ(keyboard.removed, std::vector<Uuid>{devices[1]});
    EXPECT_EQ(listener.closed, std::vector<ConnectionId>{1});
    server->publishTick(clock.now());
    auto lists = eventsOf<HostEvent::Clients>();
    ASSERT_EQ(lists.size(), 1u);
    ASSERT_EQ(lists[0].clients.size(), 1u);
    EXPECT_EQ(lists[0].clients[0].playerNumber, 2);

    // A connection that never got a session leaves with a goodbye of session 0.
    Phone stranger;
    hello(3, stranger);
    deliver(3, Packet::Goodbye{0});
    EXPECT_EQ(listener.closed.back(), 3u);
}

TEST_F(Sessions, ListenerThatCannotBeCreatedReportsFailureOnce) {
    server.reset();
    listener.startError = "Address family not supported";
    clearEvents();
    server = makeServer();
    start();
    auto states = eventsOf<HostEvent::Listener>();
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0].state, ListenerState::starting());
    EXPECT_EQ(states[1].state, ListenerState::failed("Address family not supported"));
    EXPECT_EQ(logged("Listener failed: Address family not supported"), 1);
    context.restart();
    context.run_for(2500ms);
    EXPECT_EQ(listener.starts, 2) << "one for each server; no retry";
}

TEST_F(Sessions, ReadyListenerIsAdvertisedAndAdvertisementProblemsReachTheModel) {
    listener.handler.ready(50123);
    EXPECT_EQ(eventsOf<HostEvent::Listener>().back().state, ListenerState::ready(50123));
    ASSERT_EQ(advertiser.published.size(), 1u);
    EXPECT_EQ(advertiser.published[0].name, "Test Host");
    EXPECT_EQ(advertiser.published[0].type, "_zevctrl._udp");
    EXPECT_EQ(advertiser.published[0].port, 50123);

    std::thread avahi([cb = advertiser.callback] { cb("The mDNS daemon is not running."); });
    avahi.join();
    EXPECT_TRUE(eventsOf<HostEvent::Advertisement>().empty()) << "handed over, not run inline";
    pump();
    auto ads = eventsOf<HostEvent::Advertisement>();
    ASSERT_EQ(ads.size(), 1u);
    EXPECT_EQ(ads[0].problem, "The mDNS daemon is not running.");

    listener.handler.waiting("Network is unreachable");
    EXPECT_EQ(eventsOf<HostEvent::Listener>().back().state,
              ListenerState::failed("Network is unreachable"));
    EXPECT_EQ(listener.cancels, 0) << "a waiting listener is left to recover";
    EXPECT_EQ(loggedStartingWith("Listener failed"), 0);
}

TEST_F(Sessions, FailedListenerRestartsAfterTwoSecondsAndKeepsItsClients) {
    welcomed(1);
    listener.handler.ready(4000);
    clearEvents();
    listener.handler.failed("Socket closed");
    EXPECT_EQ(logged("Listener failed: Socket closed"), 1);
    EXPECT_EQ(listener.cancels, 0) << "a failed listener has stopped; it keeps its connections";
    EXPECT_EQ(advertiser.withdrawals, 1);
    EXPECT_EQ(listener.starts, 1);

    auto deadline = std::chrono::steady_clock::now() + 10s;
    context.restart();
    while (listener.starts < 2 && std::chrono::steady_clock::now() < deadline) {
        context.run_one_for(100ms);
    }
    ASSERT_EQ(listener.starts, 2);
    listener.handler.ready(4001);
    auto states = eventsOf<HostEvent::Listener>();
    ASSERT_EQ(states.size(), 3u);
    EXPECT_EQ(states[0].state, ListenerState::failed("Socket closed"));
    EXPECT_EQ(states[1].state, ListenerState::starting());
    EXPECT_EQ(states[2].state, ListenerState::ready(4001));
    EXPECT_EQ(advertiser.published.back().port, 4001);
    EXPECT_TRUE(keyboard.removed.empty());
}

// A flood of datagrams from many source ports must not grow the client table without bound.
TEST_F(Sessions, ConnectionsWithoutASessionAreCappedAndTheOldestGivesWay) {
    auto session = welcomed(1);
    server->publishTick(clock.now());
    clearEvents();
    std::vector<std::uint8_t> junk{1, 2, 3};
    for (ConnectionId c = 100; c < 100 + HostServer::maxUnwelcomedClients; ++c) {
        clock.advance(1ms);
        deliverBytes(c, junk);
    }
    EXPECT_TRUE(listener.closed.empty());
    // A hello makes connection 100 the most recently heard, so 101 is the oldest now.
    Phone late;
    hello(100, late);
    deliverBytes(500, junk);
    EXPECT_EQ(listener.closed, std::vector<ConnectionId>{101});

    for (ConnectionId c = 1000; c < 3000; ++c) {
        deliverBytes(c, junk);
    }
    EXPECT_EQ(listener.closed.size(), 2001u);
    EXPECT_EQ(std::count(listener.closed.begin(), listener.closed.end(), 1u), 0)
        << "a welcomed phone is never pushed out";
    // The flood published nothing: no welcomed client came or went.
    server->publishTick(clock.now());
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(stateAccepted(1, session, 1));
}

} // namespace
