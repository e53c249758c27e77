// A UDP phone and a WebSocket phone side by side: one server, one session logic, each
// connection answered on its own transport.

#include "server/TransportMux.h"
#include "fakes/HostServerHarness.h"

using namespace jolto;
using namespace jolto::testing;

namespace {

class Transports : public HostServerTest {
protected:
    UdpListener& transport() override { return mux; }
    void SetUp() override {
        mux.onStateChanged([this](std::size_t, const ListenerState& s) { webStates.push_back(s); });
        HostServerTest::SetUp();
    }

    FakeListener web;
    TransportMux mux{{&listener, &web}};
    std::vector<ListenerState> webStates;
};

TEST_F(Transports, SameInnerIdsOnBothTransportsAreSeparatePlayersUntilTheirTransportLetsGo) {
    // Both transports number their first connection 1; the server must not mix them up.
    Phone udpPhone, webPhone;
    ASSERT_EQ(pair(1, udpPhone).status, WelcomeStatus::accepted);
    web.receive(1, encoded(Packet::Hello{webPhone.device, webPhone.secret, currentPIN(), {}}),
                clock.now());
    auto webWelcomes = web.sentTo<Packet::Welcome>(1);
    ASSERT_EQ(webWelcomes.size(), 1u);
    EXPECT_EQ(webWelcomes[0].status, WelcomeStatus::accepted);
    EXPECT_EQ(webWelcomes[0].playerNumber, 2);
    EXPECT_EQ(listener.sentTo<Packet::Welcome>(1).size(), 1u) << "no welcome crossed over";

    ControllerState pressed;
    pressed.buttons = ButtonSet(1);
    web.receive(1, encoded(Packet::State{webWelcomes[0].session, 1, pressed}), clock.now());
    ASSERT_FALSE(keyboard.updates.empty());
    EXPECT_EQ(keyboard.updates.back().device, webPhone.device);
    EXPECT_EQ(keyboard.states[webPhone.device], pressed);
    // The UDP phone's session does not open the browser's connection, and vice versa.
    deliver(1, Packet::State{webWelcomes[0].session, 2, ControllerState{}});
    EXPECT_EQ(keyboard.states[webPhone.device], pressed);

    // A closed WebSocket leaves at once, without waiting for silence; the UDP phone stays.
    web.handler.closed(1);
    EXPECT_EQ(keyboard.removed, std::vector<Uuid>{webPhone.device});
    EXPECT_EQ(mux.connectionCount(1), 0u);
    EXPECT_EQ(mux.connectionCount(0), 1u);

    // The server's own removal reaches the transport the client came by, with its own id.
    deliver(1, Packet::Goodbye{listener.sentTo<Packet::Welcome>(1)[0].session});
    EXPECT_EQ(listener.closed, std::vector<ConnectionId>{1});
    EXPECT_TRUE(web.closed.empty());
}

TEST_F(Transports, SwitchingThePageOffClosesItsPlayersAndItsPort) {
    EXPECT_EQ(web.starts, 1) << "the page opens with the server";
    Phone webPhone;
    web.receive(7, encoded(Packet::Hello{webPhone.device, webPhone.secret, currentPIN(), {}}),
                clock.now());
    ASSERT_EQ(web.sentTo<Packet::Welcome>(7).back().status, WelcomeStatus::accepted);

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
