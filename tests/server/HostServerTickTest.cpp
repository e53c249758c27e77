// The timers' work: frame steps, staleness and silent phones, publishing, output modes, rumble.

#include <algorithm>
#include <cmath>

#include "fakes/FakeVirtualHidDevice.h"
#include "fakes/HostServerHarness.h"
#include "output/VirtualGamepad.h"
#include "output/VirtualGamepadFactory.h"

using namespace jolto;
using namespace jolto::testing;
using namespace std::chrono_literals;

namespace {

class Ticks : public HostServerTest {
protected:
    void SetUp() override {
        HostServerTest::SetUp();
        start();
    }

    struct Joined {
        ConnectionId connection;
        Uuid device;
        std::uint32_t session;
    };
    Joined join(ConnectionId connection, std::string name = "Phone") {
        Phone phone;
        phone.name = std::move(name);
        auto welcome = pair(connection, phone);
        EXPECT_EQ(welcome.status, WelcomeStatus::accepted);
        return {connection, phone.device, welcome.session};
    }

    std::vector<HostEvent::Clients> publish() {
        auto before = eventsOf<HostEvent::Clients>().size();
        server->publishTick(clock.now());
        auto lists = eventsOf<HostEvent::Clients>();
        return {lists.begin() + static_cast<std::ptrdiff_t>(before), lists.end()};
    }

    std::vector<Packet::Rumble> rumbleTo(ConnectionId connection) const {
        return listener.sentTo<Packet::Rumble>(connection);
    }
    // One 33 ms publish tick; returns the rumble packets it sent to `connection`.
    std::vector<Packet::Rumble> rumbleStep(ConnectionId connection) {
        auto before = rumbleTo(connection).size();
        clock.advance(33ms);
        server->publishTick(clock.now());
        auto all = rumbleTo(connection);
        return {all.begin() + static_cast<std::ptrdiff_t>(before), all.end()};
    }
    // The levels as the phone receives them.
    static std::pair<int, int> bytes(const Packet::Rumble& r) {
        return {static_cast<int>(std::lround(r.low * 255)),
                static_cast<int>(std::lround(r.high * 255))};
    }
    void audio(float low, float high) {
        server->setAudioRumble({low, high});
        pump();
    }
};

TEST_F(Ticks, PublishesOnlyWhenTheListChanged) {
    EXPECT_TRUE(publish().empty()) << "nothing connected, nothing to say";
    auto a = join(1);
    auto b = join(2);
    auto lists = publish();
    ASSERT_EQ(lists.size(), 1u);
    ASSERT_EQ(lists[0].clients.size(), 2u);
    EXPECT_EQ(lists[0].clients[0].playerNumber, 1);
    EXPECT_EQ(lists[0].clients[1].playerNumber, 2);
    EXPECT_EQ(lists[0].clients[0].id, a.device);
    EXPECT_TRUE(publish().empty());

    sendState(2, b.session, 1, pressing(ControllerButton::north));
    lists = publish();
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].clients[1].state, pressing(ControllerButton::north));

    deliver(1, Packet::Goodbye{a.session});
    deliver(2, Packet::Goodbye{b.session});
    lists = publish();
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_TRUE(lists[0].clients.empty()) << "the empty list is published once";
    EXPECT_TRUE(publish().empty());
}

TEST_F(Ticks, SilentPhoneTurnsStaleJustAfterOneSecondAndIsDroppedJustAfterFifteen) {
    auto a = join(1, "Ana");
    sendState(1, a.session, 1, pressing(ControllerButton::south));
    publish();
    auto heard = clock.now();

    clock.advance(1s);
    server->watchdogTick(clock.now());
    EXPECT_TRUE(publish().empty()) << "exactly one second is not yet stale";

    clock.advance(100ms);
    server->watchdogTick(clock.now());
    EXPECT_EQ(keyboard.states.at(a.device), ControllerState{}) << "held buttons released";
    auto lists = publish();
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_TRUE(lists[0].clients[0].isStale);
    EXPECT_EQ(lists[0].clients[0].state, pressing(ControllerButton::south));
    server->watchdogTick(clock.now());
    EXPECT_TRUE(publish().empty()) << "turning stale is reported once";

    clock.advance(heard + 15s - clock.now());
    server->watchdogTick(clock.now());
    EXPECT_TRUE(listener.closed.empty());
    clock.advance(100ms);
    server->watchdogTick(clock.now());
    EXPECT_EQ(listener.closed, std::vector<ConnectionId>{1});
    EXPECT_EQ(logged("Dropping silent controller Ana"), 1);
    EXPECT_EQ(keyboard.removed, std::vector<Uuid>{a.device});
    lists = publish();
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_TRUE(lists[0].clients.empty());
}

TEST_F(Ticks, StalePhoneThatSpeaksAgainHasItsInputAppliedAtOnce) {
    auto a = join(1);
    sendState(1, a.session, 1, pressing(ControllerButton::south));
    clock.advance(1500ms);
    server->watchdogTick(clock.now());
    publish();
    ASSERT_EQ(keyboard.states.at(a.device), ControllerState{});
    // The same held button again: staleness released it, so it must be pressed again.
    sendState(1, a.session, 2, pressing(ControllerButton::south));
    EXPECT_EQ(keyboard.states.at(a.device), pressing(ControllerButton::south));
    auto lists = publish();
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_FALSE(lists[0].clients[0].isStale);
}

TEST_F(Ticks, UnwelcomedConnectionIsDroppedSilentlyJustAfterThirtySeconds) {
    Phone stranger;
    hello(1, stranger);
    std::vector<std::uint8_t> junk{9, 9};
    clock.advance(20s);
    deliverBytes(1, junk);
    deliver(1, Packet::Ping{0, 1});
    clock.advance(10s);
    server->watchdogTick(clock.now());
    EXPECT_TRUE(listener.closed.empty()) << "30 s exactly is not yet over";
    clock.advance(100ms);
    server->watchdogTick(clock.now());
    EXPECT_EQ(listener.closed, std::vector<ConnectionId>{1}) << "only the hello counted";
    EXPECT_TRUE(log->lines().empty());
    EXPECT_TRUE(publish().empty());
}

TEST_F(Ticks, FrameTickStepsMotionWithTheElapsedTimeCappedAfterAStall) {
    server->frameTick(clock.now());
    clock.advance(8ms);
    server->frameTick(clock.now());
    EXPECT_TRUE(keyboard.steps.empty()) << "no motion, no step";

    keyboard.motion = true;
    clock.advance(8ms);
    server->frameTick(clock.now());
    clock.advance(300ms);
    server->frameTick(clock.now());
    ASSERT_EQ(keyboard.steps.size(), 2u);
    EXPECT_NEAR(keyboard.steps[0], 0.008, 1e-9) << "the time since the previous tick";
    EXPECT_DOUBLE_EQ(keyboard.steps[1], 0.05);

    server->setMode(OutputMode::gamepad);
    pump();
    clock.advance(8ms);
    server->frameTick(clock.now());
    EXPECT_EQ(keyboard.steps.size(), 2u) << "no pointer in gamepad mode";
}

TEST_F(Ticks, TimerDeadlinesKeepTheirCadenceAndSkipWhenFarBehind) {
    Instant t0{};
    auto d = HostServer::nextDeadline(t0, t0 + 3ms, 8ms);
    EXPECT_EQ(d, t0 + 8ms);
    // Handled late within the period: the next deadline still follows the previous one.
    EXPECT_EQ(HostServer::nextDeadline(t0 + 8ms, t0 + 15ms, 8ms), t0 + 16ms);
    EXPECT_EQ(HostServer::nextDeadline(t0 + 8ms, t0 + 24ms, 8ms), t0 + 16ms);
    // A long stall restarts from now instead of firing a burst.
    EXPECT_EQ(HostServer::nextDeadline(t0 + 8ms, t0 + 300ms, 8ms), t0 + 300ms);
}

// An idle host must not wake 160 times a second: with nothing to do no timer stays armed, and
// a phone wakes the ones it needs.
TEST_F(Ticks, IdleTimersSleepAndWakeForAPhone) {
    server.reset();
    server = makeServer(true);
    start();
    auto runUntilIdle = [&] {
        context.restart();
        context.run_for(3s);
        return context.stopped();
    };
    EXPECT_TRUE(runUntilIdle()) << "no phone, no timer";

    auto a = join(1);
    keyboard.motion = true;
    sendState(1, a.session, 1, pressing(ControllerButton::south));
    auto deadline = std::chrono::steady_clock::now() + 10s;
    context.restart();
    while ((keyboard.steps.size() < 2 || eventsOf<HostEvent::Clients>().empty()) &&
           std::chrono::steady_clock::now() < deadline) {
        context.run_one_for(50ms);
    }
    EXPECT_GE(keyboard.steps.size(), 2u) << "motion wakes the frame timer";
    EXPECT_EQ(eventsOf<HostEvent::Clients>().size(), 1u);

    keyboard.motion = false;
    deliver(1, Packet::Goodbye{a.session});
    EXPECT_TRUE(runUntilIdle());
    auto lists = eventsOf<HostEvent::Clients>();
    ASSERT_EQ(lists.size(), 2u) << "the last list was still published";
    EXPECT_TRUE(lists[1].clients.empty());

    // Timers armed for a moving phone end with the server.
    join(2);
    keyboard.motion = true;
    context.restart();
    for (auto steps = keyboard.steps.size(); keyboard.steps.size() == steps;) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline + 10s) << "the frame timer slept";
        context.run_one_for(50ms);
    }
    server.reset();
    context.restart();
    context.run_for(50ms);
    EXPECT_TRUE(context.stopped()) << "no timer outlives the server";
}

TEST_F(Ticks, MotionAfterASleepStartsFromNowNotFromTheLastTick) {
    server.reset();
    server = makeServer(true);
    start();
    auto a = join(1);
    pump();
    clock.advance(10s);
    keyboard.motion = true;
    sendState(1, a.session, 1, pressing(ControllerButton::south));
    auto deadline = std::chrono::steady_clock::now() + 10s;
    context.restart();
    while (keyboard.steps.empty() && std::chrono::steady_clock::now() < deadline) {
        context.run_one_for(50ms);
    }
    ASSERT_FALSE(keyboard.steps.empty()) << "motion wakes the frame timer";
    EXPECT_LT(keyboard.steps[0], HostServer::longestFrameStep) << "the pointer jumped on waking";
}

TEST_F(Ticks, GamepadModeGivesEachPhoneItsGamepadAtOnce) {
    auto a = join(1);
    keyboard.updates.clear();
    server->setMode(OutputMode::gamepad);
    pump();
    EXPECT_EQ(keyboard.removeAlls, 1);
    ASSERT_EQ(gamepads.created.size(), 1u);
    EXPECT_EQ(gamepads.created[0]->playerNumber, 1);
    EXPECT_EQ(gamepads.created[0]->serial, a.device.string());
    EXPECT_EQ(gamepads.created[0]->pushed, std::vector<ControllerState>{ControllerState{}});

    auto b = join(2);
    ASSERT_EQ(gamepads.created.size(), 2u) << "before the phone sent any state";
    EXPECT_EQ(gamepads.created[1]->playerNumber, 2);
    sendState(2, b.session, 1, pressing(ControllerButton::west));
    EXPECT_EQ(gamepads.created[1]->pushed.back(), pressing(ControllerButton::west));
    EXPECT_TRUE(keyboard.updates.empty());
    // A phone that falls silent has its gamepad released, not held in its last state.
    clock.advance(1100ms);
    server->watchdogTick(clock.now());
    EXPECT_EQ(gamepads.created[1]->pushed.back(), ControllerState{});

    deliver(2, Packet::Goodbye{b.session});
    EXPECT_TRUE(gamepads.created[1]->finished);
    EXPECT_FALSE(gamepads.created[0]->finished);
    server->setMode(OutputMode::keyboardMouse);
    pump();
    EXPECT_TRUE(gamepads.created[0]->finished);
    EXPECT_EQ(keyboard.states.count(a.device), 1u) << "input applied at once after the switch";
}

TEST_F(Ticks, ADeviceSwitchReplacesEveryGamepadWithOneOfTheNewKind) {
    auto a = join(1);
    server->setGamepadDevice(GamepadDevice::hid);
    server->setMode(OutputMode::gamepad);
    pump();
    ASSERT_EQ(gamepads.created.size(), 1u);
    EXPECT_EQ(gamepads.created[0]->device, GamepadDevice::hid);
    sendState(1, a.session, 1, pressing(ControllerButton::south));
    gamepads.created[0]->onRumble(0.5f, 0.5f);
    pump();
    ASSERT_EQ(bytes(rumbleStep(1).at(0)), std::make_pair(128, 128));

    server->setGamepadDevice(GamepadDevice::standard);
    pump();
    ASSERT_EQ(gamepads.created.size(), 2u);
    EXPECT_TRUE(gamepads.created[0]->finished) << "the old gamepad releases everything";
    EXPECT_EQ(gamepads.created[1]->device, GamepadDevice::standard);
    EXPECT_EQ(gamepads.created[1]->pushed, std::vector{pressing(ControllerButton::south)});
    // The old gamepad's rumble ends with the closing packet, and its late levels are ignored.
    EXPECT_EQ(bytes(rumbleStep(1).at(0)), std::make_pair(0, 0));
    gamepads.created[0]->onRumble(1.0f, 1.0f);
    pump();
    EXPECT_TRUE(rumbleStep(1).empty());

    server->setGamepadDevice(GamepadDevice::standard);
    server->setMode(OutputMode::keyboardMouse);
    server->setGamepadDevice(GamepadDevice::hid);
    pump();
    EXPECT_EQ(gamepads.created.size(), 2u) << "no gamepad outside gamepad mode";
}

TEST_F(Ticks, PhoneGetsNoNewGamepadBeforeItsOldOneIsGone) {
    retirement.hold = true;
    Phone phone;
    pair(1, phone);
    server->setMode(OutputMode::gamepad);
    pump();
    ASSERT_EQ(gamepads.created.size(), 1u);
    server->setMode(OutputMode::keyboardMouse);
    server->setMode(OutputMode::gamepad);
    pump();
    // Coming back on another connection does not hurry it either.
    EXPECT_EQ(hello(2, phone).status, WelcomeStatus::accepted);
    sendState(2, listener.sentTo<Packet::Welcome>(2).back().session, 1,
              pressing(ControllerButton::north));
    EXPECT_EQ(gamepads.created.size(), 1u);
    ASSERT_EQ(retirement.waiting.size(), 1u);
    EXPECT_TRUE(gamepads.created[0]->finished);

    // Its successor appears with the input of the moment once the old one is gone.
    retirement.endAll();
    pump();
    ASSERT_EQ(gamepads.created.size(), 2u);
    EXPECT_EQ(gamepads.created[1]->pushed,
              std::vector<ControllerState>{pressing(ControllerButton::north)});
}

// Real gamepads on fake devices, ended by the server's own threads.
class StalledDevice : public Ticks {
protected:
    // A failed check must not leave the device stalled for the server's orderly end.
    void TearDown() override {
        hid.setStalledDevice(0);
        Ticks::TearDown();
    }

    // Runs the server's context until `done` holds; false when it did not within 20 s.
    template <typename Pred> bool runUntil(Pred done) {
        auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            context.restart();
            context.run_one_for(10ms);
        }
        return true;
    }

    fakes::FakeVirtualHidDeviceFactory devices;
    fakes::FakeHidDeviceLog& hid = *devices.log;
    VirtualGamepadFactory factory{devices, devices, [](GamepadDevice) { return true; }};
};

TEST_F(StalledDevice, HoldsUpNeitherTheServerNorOtherPhones) {
    server = makeServer(false, &factory);
    start(OutputMode::gamepad);
    Phone first;
    auto a = pair(1, first);
    auto b = join(2);
    ASSERT_TRUE(hid.waitUntil([&] { return hid.dispatched.size() == 2; }));

    hid.setStalledDevice(1);
    sendState(1, a.session, 1, pressing(ControllerButton::south));
    ASSERT_TRUE(hid.waitUntil([&] { return hid.dispatchesEntered == 3; }));
    // The goodbye returns although the first gamepad cannot send its reports, let alone end.
    deliver(1, Packet::Goodbye{a.session});
    sendState(2, b.session, 1, pressing(ControllerButton::east));
    ASSERT_TRUE(hid.waitUntil(
        [&] { return std::count(hid.dispatchedBy.begin(), hid.dispatchedBy.end(), 2) == 2; }));
    // Back on a new connection, the phone waits for its old device to go.
    EXPECT_EQ(hello(3, first).status, WelcomeStatus::accepted);
    pump();
    EXPECT_EQ(hid.with([&] { return hid.devicesMade; }), 2);

    hid.setStalledDevice(0);
    ASSERT_TRUE(runUntil([&] { return hid.with([&] { return hid.devicesMade; }) == 3; }));
    hid.with([&] {
        EXPECT_EQ(hid.history, (std::vector{1, 2, -1, 3}));
        // The stalled gamepad still sent what it held, then its neutral report.
        ASSERT_GE(hid.dispatchedBy.size(), 5u);
        EXPECT_EQ(hid.dispatchedBy[3], 1);
        EXPECT_EQ(hid.dispatched[3][0], 0x01) << "south";
        EXPECT_EQ(hid.dispatchedBy[4], 1);
        constexpr auto neutral = VirtualGamepad::neutralReport();
        EXPECT_EQ(hid.dispatched[4], std::vector<std::uint8_t>(neutral.begin(), neutral.end()));
    });
    // The orderly end waits for every device, and no thread of the server stays behind.
    server.reset();
    EXPECT_EQ(hid.with([&] { return hid.devicesDestroyed; }), 3);
}

TEST_F(Ticks, UnavailableGamepadIsReportedOnceUntilTheModeChanges) {
    gamepads.refuse = true;
    gamepads.entitled = false;
    join(1);
    join(2);
    server->setMode(OutputMode::gamepad);
    pump();
    auto problems = eventsOf<HostEvent::GamepadProblem>();
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].problem, std::nullopt);
    EXPECT_EQ(problems[1].problem, "JOLTO Host has no access to /dev/uinput.");
    EXPECT_EQ(gamepads.attempts, 1);
    join(3);
    EXPECT_EQ(gamepads.attempts, 1) << "no further attempt in this mode";

    server->setMode(OutputMode::gamepad);
    pump();
    EXPECT_EQ(eventsOf<HostEvent::GamepadProblem>().size(), 2u) << "same mode: nothing happens";
    EXPECT_EQ(keyboard.removeAlls, 1);

    gamepads.entitled = true;
    server->setMode(OutputMode::keyboardMouse);
    server->setMode(OutputMode::gamepad);
    pump();
    problems = eventsOf<HostEvent::GamepadProblem>();
    ASSERT_EQ(problems.size(), 5u);
    EXPECT_EQ(problems[2].problem, std::nullopt);
    EXPECT_EQ(problems[3].problem, std::nullopt);
    EXPECT_EQ(problems[4].problem, "The system refused to create the virtual gamepad.");
    EXPECT_EQ(gamepads.attempts, 2);
}

TEST_F(Ticks, GamepadAccessGainedLaterMakesTheGamepadsAndClearsTheProblem) {
    gamepads.refuse = true;
    gamepads.entitled = false;
    join(1);
    join(2);
    server->setMode(OutputMode::gamepad);
    pump();
    server->retryGamepads();
    pump();
    EXPECT_EQ(gamepads.attempts, 2) << "still refused: one try, not one per phone";
    EXPECT_EQ(eventsOf<HostEvent::GamepadProblem>().back().problem,
              "JOLTO Host has no access to /dev/uinput.");

    gamepads.refuse = false;
    gamepads.entitled = true;
    server->retryGamepads();
    pump();
    EXPECT_EQ(eventsOf<HostEvent::GamepadProblem>().back().problem, std::nullopt);
    EXPECT_EQ(gamepads.created.size(), 2u);
    server->retryGamepads();
    pump();
    EXPECT_EQ(gamepads.attempts, 4) << "nothing left to retry";
}

TEST_F(Ticks, AudioRumbleIsScaledCappedAndCombinedWithTheGamesRumble) {
    auto a = join(1);
    audio(0.3f, 0.1f);
    for (int i = 0; i < 3; ++i) {
        auto sent = rumbleStep(1);
        ASSERT_EQ(sent.size(), 1u) << "every 33 ms, equal or not";
        EXPECT_EQ(bytes(sent[0]), std::make_pair(77, 26));
        EXPECT_EQ(sent[0].durationMS, 200);
        EXPECT_EQ(sent[0].session, a.session);
    }

    server->setMode(OutputMode::gamepad);
    pump();
    gamepads.created.at(0)->onRumble(0.2f, 0.6f);
    pump();
    EXPECT_EQ(bytes(rumbleStep(1).at(0)), std::make_pair(77, 153));

    server->setRumbleStrength(2.0f);
    gamepads.created.at(0)->onRumble(0.0f, 0.0f);
    audio(0.7f, 0.2f);
    EXPECT_EQ(bytes(rumbleStep(1).at(0)), std::make_pair(255, 102));
}

TEST_F(Ticks, RumbleEndsWithOneClosingPacketAndQuietPhonesGetNone) {
    join(1);
    join(2);
    audio(0.01f, 0.015f);
    EXPECT_TRUE(rumbleStep(1).empty()) << "below the threshold and never rumbled";
    audio(0.5f, 0.0f);
    rumbleStep(1);
    audio(0.01f, 0.015f);
    auto closing = rumbleStep(1);
    ASSERT_EQ(closing.size(), 1u);
    EXPECT_EQ(bytes(closing[0]), std::make_pair(0, 0));
    EXPECT_TRUE(rumbleStep(1).empty());
}

TEST_F(Ticks, TestRumbleShakesFreshPhonesForSixTenthsOfASecond) {
    auto a = join(1);
    join(2);
    sendState(2, listener.sentTo<Packet::Welcome>(2).back().session, 1, {});
    clock.advance(700ms);
    sendState(1, a.session, 1, pressing(ControllerButton::south));
    clock.advance(400ms);
    server->watchdogTick(clock.now());
    ASSERT_TRUE(publish().at(0).clients.at(1).isStale);

    server->testRumble();
    pump();
    auto start = clock.now();
    int packets = 0;
    while (clock.now() + 33ms < start + 600ms) {
        auto sent = rumbleStep(1);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(bytes(sent[0]), std::make_pair(230, 128));
        ++packets;
    }
    EXPECT_EQ(packets, 18);
    EXPECT_TRUE(rumbleTo(2).empty()) << "a stale phone gets no test rumble";
    auto closing = rumbleStep(1);
    ASSERT_EQ(closing.size(), 1u);
    EXPECT_EQ(bytes(closing[0]), std::make_pair(0, 0));
    EXPECT_TRUE(rumbleStep(1).empty());

    // The test raises the levels, never lowers them; a second request extends it from then.
    audio(1.0f, 0.8f);
    server->testRumble();
    pump();
    EXPECT_EQ(bytes(rumbleStep(1).at(0)), std::make_pair(255, 204));
    audio(0.0f, 0.0f);
    clock.advance(400ms);
    server->testRumble();
    pump();
    clock.advance(400ms);
    EXPECT_EQ(bytes(rumbleStep(1).at(0)), std::make_pair(230, 128)) << "0.83 s after the first";
}

TEST_F(Ticks, StaleRumblingPhoneGetsOneClosingPacket) {
    join(1);
    audio(0.4f, 0.4f);
    rumbleStep(1);
    clock.advance(1s);
    server->watchdogTick(clock.now());
    auto closing = rumbleStep(1);
    ASSERT_EQ(closing.size(), 1u);
    EXPECT_EQ(bytes(closing[0]), std::make_pair(0, 0));
    EXPECT_TRUE(rumbleStep(1).empty());
}

TEST_F(Ticks, GamesRumbleDoesNotOutliveThePhonesVisit) {
    Phone phone;
    pair(1, phone);
    server->setMode(OutputMode::gamepad);
    pump();
    gamepads.created.at(0)->onRumble(0.5f, 0.5f);
    pump();
    ASSERT_EQ(rumbleStep(1).size(), 1u);
    deliver(1, Packet::Goodbye{listener.sentTo<Packet::Welcome>(1).back().session});
    pump();
    ASSERT_EQ(hello(2, phone).status, WelcomeStatus::accepted);
    pump();
    EXPECT_TRUE(rumbleStep(2).empty()) << "the game rumbled the phone's last gamepad, not this one";
}

TEST_F(Ticks, GamesRumbleEndsWithItsGamepad) {
    join(1);
    server->setMode(OutputMode::gamepad);
    pump();
    auto first = gamepads.created.at(0);
    first->onRumble(0.5f, 0.0f);
    pump();
    EXPECT_EQ(bytes(rumbleStep(1).at(0)), std::make_pair(128, 0));
    first->onRumble(0.01f, 0.0f);
    pump();
    EXPECT_EQ(bytes(rumbleStep(1).at(0)), std::make_pair(0, 0)) << "weak levels delete the entry";

    first->onRumble(0.5f, 0.0f);
    pump();
    rumbleStep(1);
    // A mode switch forgets the game's rumble but still sends the closing packet.
    server->setMode(OutputMode::keyboardMouse);
    pump();
    EXPECT_EQ(bytes(rumbleStep(1).at(0)), std::make_pair(0, 0));
    // The finished gamepad's feeder may still report, even once its successor exists; that
    // must not start the phone again.
    server->setMode(OutputMode::gamepad);
    pump();
    ASSERT_EQ(gamepads.created.size(), 2u);
    first->onRumble(0.9f, 0.9f);
    pump();
    EXPECT_TRUE(rumbleStep(1).empty());
    gamepads.created[1]->onRumble(0.9f, 0.0f);
    pump();
    EXPECT_EQ(rumbleStep(1).size(), 1u);
}

} // namespace
