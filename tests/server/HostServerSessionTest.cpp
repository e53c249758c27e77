// The listener, the datagrams of a session, client removal, the flood of connections, and a
// UDP phone and a WebSocket phone side by side through the transport mux.

#include <thread>

#include "fakes/HostServerHarness.h"
#include "server/TransportMux.h"

using namespace jolto;
using namespace jolto::testing;

namespace {

class Sessions : public HostServerTest {
protected:
    // Sends a state whose left trigger tells it apart; true when it reached the output.
    bool stateAccepted(ConnectionId connection, std::uint32_t session, std::uint32_t sequence) {
        ControllerState state;
        state.leftTrigger = static_cast<float>(++marker % 255) / 255.0f; // exact on the wire
        auto before = keyboard.updates.size();
        sendState(connection, session, sequence, state);
        return keyboard.updates.size() == before + 1 &&
               keyboard.updates.back().second.leftTrigger == state.leftTrigger;
    }

    int marker = 0;
};

TEST_F(Sessions, OnlyAnotherProtocolVersionIsAnsweredAmongUndecodableDatagrams) {
    deliverBytes(1, std::vector<std::uint8_t>{'Z', 'E', 'V', 'C', 2, 3});
    EXPECT_EQ(listener.sentTo<Packet::Welcome>(1),
              (std::vector{Packet::Welcome{WelcomeStatus::versionMismatch, 0, 0, "Test Host"}}));
    deliverBytes(2, std::vector<std::uint8_t>{'Z', 'E', 'V', 'C', 1, 9});
    deliverBytes(2, std::vector<std::uint8_t>{'Z', 'E', 'V', 'C', 2});
    deliverBytes(2, std::vector<std::uint8_t>{});
    EXPECT_TRUE(listener.sent[2].empty());
}

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
    sendState(1, session, 1, pressing(ControllerButton::east));
    publish();
    auto updates = keyboard.updates.size();
    for (std::uint32_t seq = 2; seq < 40; ++seq) {
        sendState(1, session, seq, pressing(ControllerButton::east));
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
    Phone phone;
    auto a = join(1, phone);
    auto b = join(2);
    auto lists = publish();
    ASSERT_EQ(lists.size(), 1u);
    ASSERT_EQ(lists[0].clients.size(), 2u);
    EXPECT_EQ(lists[0].clients[0].playerNumber, 1);
    EXPECT_EQ(lists[0].clients[1].playerNumber, 2);
    EXPECT_TRUE(publish().empty());
    sendState(2, b, 1, pressing(ControllerButton::north));
    EXPECT_EQ(publish().at(0).clients.at(1).state, pressing(ControllerButton::north));
    deliver(1, Packet::Goodbye{a + 1});
    EXPECT_TRUE(publish().empty()) << "a goodbye in another session is ignored";

    deliver(1, Packet::Goodbye{a});
    EXPECT_EQ(keyboard.removed, std::vector<Uuid>{phone.device});
    EXPECT_EQ(listener.closed, std::vector<ConnectionId>{1});
    lists = publish();
    ASSERT_EQ(lists.size(), 1u);
    ASSERT_EQ(lists[0].clients.size(), 1u);
    EXPECT_EQ(lists[0].clients[0].playerNumber, 2);
    deliver(2, Packet::Goodbye{b});
    EXPECT_TRUE(publish().at(0).clients.empty()) << "the empty list is published once";
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
    EXPECT_EQ(eventsOf<HostEvent::Listener>(),
              (std::vector{HostEvent::Listener{ListenerState::failed("Network is unreachable")},
                           HostEvent::Listener{ListenerState::failed("Socket closed")},
                           HostEvent::Listener{ListenerState::starting()},
                           HostEvent::Listener{ListenerState::ready(4001)}}));
    EXPECT_EQ(advertiser.published.back().second, 4001);
    EXPECT_TRUE(keyboard.removed.empty());

    // A listener that cannot even be created is reported failed once, without a retry.
    listener.startError = "Address family not supported";
    events.clear();
    restart();
    EXPECT_EQ(
        eventsOf<HostEvent::Listener>(),
        (std::vector{HostEvent::Listener{ListenerState::starting()},
                     HostEvent::Listener{ListenerState::failed("Address family not supported")}}));
    context.restart();
    context.run_for(2500ms);
    EXPECT_EQ(listener.starts, 3);
}

// A flood of datagrams from many source ports must not grow the client table without bound.
TEST_F(Sessions, ConnectionsWithoutASessionAreCappedAndTheOldestGivesWay) {
    auto session = join(1);
    publish();
    std::vector<std::uint8_t> junk{1, 2, 3};
    for (ConnectionId c = 100; c < 100 + HostServer::maxUnwelcomedClients; ++c) {
        clock.advance(1ms);
        deliverBytes(c, junk);
    }
    EXPECT_TRUE(listener.closed.empty());
    // A hello makes connection 100 the most recently heard, so 101 is the oldest now.
    hello(100, Phone{});
    deliverBytes(500, junk);
    EXPECT_EQ(listener.closed, std::vector<ConnectionId>{101});

    for (ConnectionId c = 1000; c < 3000; ++c) {
        deliverBytes(c, junk);
    }
    EXPECT_EQ(listener.closed.size(), 2001u);
    EXPECT_EQ(std::count(listener.closed.begin(), listener.closed.end(), 1u), 0)
        << "a welcomed phone is never pushed out";
    EXPECT_TRUE(publish().empty()) << "no welcomed client came or went";
    EXPECT_TRUE(stateAccepted(1, session, 1));
}

class Transports : public HostServerTest {
protected:
    UdpListener& transport() override { return mux; }
    void SetUp() override {
        mux.onStateChanged([this](std::size_t, const ListenerState& s) { webStates.push_back(s); });
        HostServerTest::SetUp();
    }
    // A hello with the PIN over the WebSocket; the welcome it got there.
    Packet::Welcome webPair(ConnectionId connection, const Phone& phone) {
        web.receive(connection,
                    encoded(Packet::Hello{phone.device, phone.secret, currentPIN(), {}}),
                    clock.now());
        auto welcomes = web.sentTo<Packet::Welcome>(connection);
        EXPECT_EQ(welcomes.size(), 1u);
        return welcomes.empty() ? Packet::Welcome{} : welcomes.back();
    }

    FakeListener web;
    TransportMux mux{{&listener, &web}};
    std::vector<ListenerState> webStates;
};

TEST_F(Transports, SameInnerIdsOnBothTransportsAreSeparatePlayersUntilTheirTransportLetsGo) {
    // Both transports number their first connection 1; the server must not mix them up.
    Phone udpPhone, webPhone;
    ASSERT_EQ(pair(1, udpPhone).status, WelcomeStatus::accepted);
    auto welcome = webPair(1, webPhone);
    EXPECT_EQ(welcome.status, WelcomeStatus::accepted);
    EXPECT_EQ(welcome.playerNumber, 2);
    EXPECT_EQ(listener.sentTo<Packet::Welcome>(1).size(), 1u) << "no welcome crossed over";

    web.receive(1, encoded(Packet::State{welcome.session, 1, pressing(ControllerButton::south)}),
                clock.now());
    ASSERT_FALSE(keyboard.updates.empty());
    EXPECT_EQ(keyboard.updates.back().first, webPhone.device);
    EXPECT_EQ(keyboard.states[webPhone.device], pressing(ControllerButton::south));
    // The UDP phone's session does not open the browser's connection, and vice versa.
    sendState(1, welcome.session, 2, ControllerState{});
    EXPECT_EQ(keyboard.states[webPhone.device], pressing(ControllerButton::south));

    // A closed WebSocket leaves at once, without waiting for silence; the UDP phone stays.
    web.handler.closed(1);
    EXPECT_EQ(keyboard.removed, std::vector<Uuid>{webPhone.device});
    EXPECT_EQ(mux.connectionCount(1), 0u);
    EXPECT_EQ(mux.connectionCount(0), 1u);
    // The server's own removal reaches the transport the client came by, with its own id.
    deliver(1, Packet::Goodbye{sessionOf(1)});
    EXPECT_EQ(listener.closed, std::vector<ConnectionId>{1});
    EXPECT_TRUE(web.closed.empty());
}

TEST_F(Transports, SwitchingThePageOffClosesItsPlayersAndItsPort) {
    EXPECT_EQ(web.starts, 1) << "the page opens with the server";
    Phone webPhone;
    ASSERT_EQ(webPair(7, webPhone).status, WelcomeStatus::accepted);
    mux.setEnabled(1, false);
    EXPECT_EQ(web.cancels, 1);
    EXPECT_EQ(keyboard.removed, std::vector<Uuid>{webPhone.device});
    ASSERT_FALSE(webStates.empty());
    EXPECT_EQ(webStates.back(), ListenerState::failed({}));

    mux.setEnabled(1, true);
    EXPECT_EQ(web.starts, 2);
    web.handler.ready(8080);
    EXPECT_EQ(webStates.back(), ListenerState::ready(8080));
    // The UDP listener's readiness is the server's; the page's port never reaches it.
    for (const auto& e : eventsOf<HostEvent::Listener>()) {
        EXPECT_NE(e.state.port, 8080);
    }
}

} // namespace
