// The timers' work: frame steps, staleness and silent phones, output modes, rumble.

#include <algorithm>
#include <cmath>

#include "fakes/FakeVirtualHidDevice.h"
#include "fakes/HostServerHarness.h"
#include "output/VirtualGamepad.h"
#include "output/VirtualGamepadFactory.h"

using namespace jolto;
using namespace jolto::testing;

namespace {

using Bytes = std::optional<std::pair<int, int>>;

class Ticks : public HostServerTest {
protected:
    void gamepadMode() {
        server->setMode(OutputMode::gamepad);
        pump();
    }
    void gameRumble(std::size_t gamepad, float low, float high) {
        gamepads.created.at(gamepad)->onRumble(low, high);
        pump();
    }
    void audio(float low, float high) {
        server->setAudioRumble({low, high});
        pump();
    }
    // One 33 ms publish tick; the levels of the one rumble packet it sent to `connection`, as
    // the phone reads them, or nothing when it sent none.
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
};

// A phone is stale after a second of silence and dropped after fifteen; a connection that
// never got a session is dropped, without a word, after thirty of silence.
TEST_F(Ticks, SilentConnectionsTurnStaleAndAreDroppedJustAfterTheirTimes) {
    Phone a;
    auto session = join(1, a);
    hello(2, Phone{});
    sendState(1, session, 1, pressing(ControllerButton::south));
    publish();
    watch(1s);
    EXPECT_TRUE(publish().empty()) << "exactly one second is not yet stale";
    watch(100ms);
    EXPECT_EQ(keyboard.states.at(a.device), ControllerState{}) << "held buttons released";
    auto lists = publish();
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_TRUE(lists[0].clients[0].isStale);
    EXPECT_EQ(lists[0].clients[0].state, pressing(ControllerButton::south));
    watch(0s);
    EXPECT_TRUE(publish().empty()) << "turning stale is reported once";

    // The same held button again: staleness released it, so it must be pressed again.
    sendState(1, session, 2, pressing(ControllerButton::south));
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
    deliverBytes(2, std::vector<std::uint8_t>{9, 9});
    deliver(2, Packet::Ping{0, 1});
    auto logged = log->lines().size();
    watch(10s);
    EXPECT_EQ(listener.closed.size(), 1u) << "30 s exactly is not yet over";
    watch(100ms);
    EXPECT_EQ(listener.closed, (std::vector<ConnectionId>{1, 2}));
    EXPECT_EQ(log->lines().size(), logged);
    EXPECT_TRUE(publish().empty());
}

TEST_F(Ticks, FrameTickStepsMotionWithTheElapsedTimeCappedAfterAStall) {
    const std::pair<bool, Duration> ticks[] = {{false, 8ms}, {true, 8ms}, {true, 300ms}};
    for (auto [motion, after] : ticks) {
        keyboard.motion = motion;
        clock.advance(after);
        server->frameTick(clock.now());
    }
    ASSERT_EQ(keyboard.steps.size(), 2u) << "no motion, no step";
    EXPECT_NEAR(keyboard.steps[0], 0.008, 1e-9) << "the time since the previous tick";
    EXPECT_DOUBLE_EQ(keyboard.steps[1], 0.05);
    gamepadMode();
    server->frameTick(clock.now());
    EXPECT_EQ(keyboard.steps.size(), 2u) << "no pointer in gamepad mode";

    // A tick handled late keeps the cadence; a long stall restarts from now, not in a burst.
    Instant t0{};
    EXPECT_EQ(HostServer::nextDeadline(t0, t0 + 3ms, 8ms), t0 + 8ms);
    EXPECT_EQ(HostServer::nextDeadline(t0 + 8ms, t0 + 24ms, 8ms), t0 + 16ms);
    EXPECT_EQ(HostServer::nextDeadline(t0 + 8ms, t0 + 300ms, 8ms), t0 + 300ms);
}

// An idle host must not wake 160 times a second: with nothing to do no timer stays armed, and
// a phone wakes the ones it needs.
TEST_F(Ticks, IdleTimersSleepAndWakeForAPhone) {
    restart(true);
    EXPECT_TRUE(runsIdle()) << "no phone, no timer";
    auto session = join(1);
    // After a long sleep the first step must count from the wake, not from the last tick.
    clock.advance(10s);
    keyboard.motion = true;
    sendState(1, session, 1, pressing(ControllerButton::south));
    ASSERT_TRUE(runUntil([&] {
        return keyboard.steps.size() >= 2 && !eventsOf<HostEvent::Clients>().empty();
    })) << "motion wakes the frame timer";
    EXPECT_LT(keyboard.steps[0], HostServer::longestFrameStep) << "the pointer jumped on waking";
    EXPECT_EQ(eventsOf<HostEvent::Clients>().size(), 1u);

    keyboard.motion = false;
    deliver(1, Packet::Goodbye{session});
    EXPECT_TRUE(runsIdle());
    auto lists = eventsOf<HostEvent::Clients>();
    ASSERT_EQ(lists.size(), 2u) << "the last list was still published";
    EXPECT_TRUE(lists[1].clients.empty());

    // Timers armed for a moving phone end with the server.
    join(2);
    keyboard.motion = true;
    auto steps = keyboard.steps.size();
    ASSERT_TRUE(runUntil([&] { return keyboard.steps.size() > steps; })) << "the frame timer slept";
    server.reset();
    EXPECT_TRUE(runsIdle()) << "no timer outlives the server";
}

TEST_F(Ticks, GamepadModeGivesEachPhoneItsGamepadAtOnce) {
    Phone a;
    join(1, a);
    keyboard.updates.clear();
    gamepadMode();
    EXPECT_EQ(keyboard.removeAlls, 1);
    ASSERT_EQ(gamepads.created.size(), 1u);
    EXPECT_EQ(gamepads.created[0]->serial, a.device.string());
    EXPECT_EQ(gamepads.created[0]->pushed, std::vector<ControllerState>{ControllerState{}});

    auto b = join(2);
    ASSERT_EQ(gamepads.created.size(), 2u) << "before the phone sent any state";
    EXPECT_EQ(gamepads.created[1]->playerNumber, 2);
    sendState(2, b, 1, pressing(ControllerButton::west));
    EXPECT_EQ(gamepads.created[1]->pushed.back(), pressing(ControllerButton::west));
    EXPECT_TRUE(keyboard.updates.empty());
    // A phone that falls silent has its gamepad released, not held in its last state.
    watch(1100ms);
    EXPECT_EQ(gamepads.created[1]->pushed.back(), ControllerState{});

    deliver(2, Packet::Goodbye{b});
    EXPECT_TRUE(gamepads.created[1]->finished);
    EXPECT_FALSE(gamepads.created[0]->finished);
    server->setMode(OutputMode::keyboardMouse);
    pump();
    EXPECT_TRUE(gamepads.created[0]->finished);
    EXPECT_EQ(keyboard.states.count(a.device), 1u) << "input applied at once after the switch";
}

// Each way of replacing a gamepad: the old one is finished, its rumble stops with one closing
// packet and its late levels are ignored, and its successor gets the input of the moment.
TEST_F(Ticks, ReplacedGamepadEndsAndItsRumbleWithIt) {
    auto session = join(1);
    gamepadMode();
    sendState(1, session, 1, pressing(ControllerButton::south));
    const std::function<void()> replacements[] = {
        [&] { server->setGamepadDevice(GamepadDevice::hid); },
        [&] {
            server->setMode(OutputMode::keyboardMouse);
            server->setMode(OutputMode::gamepad);
        },
    };
    for (const auto& replace : replacements) {
        auto old = gamepads.created.size() - 1;
        gameRumble(old, 0.5f, 0.5f);
        EXPECT_EQ(rumbleStep(), Bytes({128, 128}));
        replace();
        pump();
        ASSERT_EQ(gamepads.created.size(), old + 2);
        EXPECT_TRUE(gamepads.created[old]->finished);
        EXPECT_EQ(gamepads.created[old + 1]->device, GamepadDevice::hid);
        EXPECT_EQ(gamepads.created[old + 1]->pushed,
                  std::vector{pressing(ControllerButton::south)});
        EXPECT_EQ(rumbleStep(), Bytes({0, 0}));
        gameRumble(old, 1.0f, 1.0f);
        EXPECT_EQ(rumbleStep(), std::nullopt);
    }
    gameRumble(2, 0.9f, 0.0f);
    EXPECT_EQ(rumbleStep(), Bytes({230, 0})) << "the successor rumbles";

    server->setMode(OutputMode::keyboardMouse);
    server->setGamepadDevice(GamepadDevice::standard);
    pump();
    EXPECT_EQ(gamepads.created.size(), 3u) << "no gamepad outside gamepad mode";
}

// Real gamepads on fake devices, ended by the server's own threads: a device that stalls holds
// up neither the server nor other phones.
TEST_F(Ticks, StalledDeviceHoldsUpNeitherTheServerNorOtherPhones) {
    fakes::FakeVirtualHidDeviceFactory devices;
    auto& hid = *devices.log;
    VirtualGamepadFactory factory{devices, devices, [](GamepadDevice) { return true; }};
    restart(false, &factory, OutputMode::gamepad);
    // Even after a failed check, the device is unstalled for the server's orderly end, which
    // comes before the factory's.
    std::shared_ptr<void> end(nullptr, [&](void*) {
        hid.with([&] { hid.stalledDevice = 0; });
        server.reset();
    });
    Phone first;
    auto a = join(1, first);
    auto b = join(2);
    ASSERT_TRUE(hid.waitUntil([&] { return hid.dispatched.size() == 2; }));

    hid.with([&] { hid.stalledDevice = 1; });
    sendState(1, a, 1, pressing(ControllerButton::south));
    ASSERT_TRUE(hid.waitUntil([&] { return hid.dispatchesEntered == 3; }));
    // The goodbye returns although the first gamepad cannot send its reports, let alone end.
    deliver(1, Packet::Goodbye{a});
    sendState(2, b, 1, pressing(ControllerButton::east));
    ASSERT_TRUE(hid.waitUntil(
        [&] { return std::count(hid.dispatchedBy.begin(), hid.dispatchedBy.end(), 2) == 2; }));
    // Back on a new connection, the phone waits for its old device to go.
    EXPECT_EQ(hello(3, first).status, WelcomeStatus::accepted);
    pump();
    EXPECT_EQ(hid.with([&] { return hid.devicesMade; }), 2);

    hid.with([&] { hid.stalledDevice = 0; });
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

TEST_F(Ticks, UnavailableGamepadIsReportedOnceAndRetriedOnRequest) {
    gamepads.refuse = true;
    gamepads.entitled = false;
    join(1);
    join(2);
    gamepadMode();
    const auto problems = [&] { return eventsOf<HostEvent::GamepadProblem>(); };
    const std::optional<std::string> noAccess = "JOLTO Host has no access to /dev/uinput.";
    ASSERT_EQ(problems().size(), 2u);
    EXPECT_EQ(problems()[0].problem, std::nullopt);
    EXPECT_EQ(problems()[1].problem, noAccess);
    join(3);
    gamepadMode();
    EXPECT_EQ(gamepads.attempts, 1) << "no further attempt in this mode";
    EXPECT_EQ(problems().size(), 2u) << "same mode: nothing happens";
    EXPECT_EQ(keyboard.removeAlls, 1);
    server->retryGamepads();
    pump();
    EXPECT_EQ(gamepads.attempts, 2) << "still refused: one try, not one per phone";
    EXPECT_EQ(problems().back().problem, noAccess);

    gamepads.entitled = true;
    server->setMode(OutputMode::keyboardMouse);
    gamepadMode();
    EXPECT_EQ(problems().back().problem, "The system refused to create the virtual gamepad.");
    gamepads.refuse = false;
    server->retryGamepads();
    pump();
    EXPECT_EQ(problems().back().problem, std::nullopt);
    EXPECT_EQ(gamepads.created.size(), 3u);
    server->retryGamepads();
    pump();
    EXPECT_EQ(gamepads.attempts, 6) << "nothing left to retry";
}

// Each row sets the audio's and the game's levels and the strength, then takes one tick.
TEST_F(Ticks, RumbleTakesTheLouderOfAudioAndGameScaledAndCappedAndEndsOnce) {
    Phone phone;
    auto session = join(1, phone);
    gamepadMode();
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
        audio(rows[i].audio.low, rows[i].audio.high);
        EXPECT_EQ(rumbleStep(), rows[i].sent);
    }
    // A phone falling stale gets one closing packet; its gamepad keeps the game's levels.
    gameRumble(0, 0.5f, 0.5f);
    EXPECT_EQ(rumbleStep(), Bytes({128, 128})) << "rumbling again";
    watch(1s);
    EXPECT_EQ(rumbleStep(), Bytes({0, 0}));
    EXPECT_EQ(rumbleStep(), std::nullopt);
    sendState(1, session, 1, {});
    EXPECT_EQ(rumbleStep(), Bytes({128, 128}));
    // The game's rumble does not outlive the phone's visit.
    deliver(1, Packet::Goodbye{session});
    ASSERT_EQ(hello(2, phone).status, WelcomeStatus::accepted);
    pump();
    EXPECT_EQ(rumbleStep(2), std::nullopt) << "the game rumbled the last gamepad, not this one";
}

TEST_F(Ticks, TestRumbleShakesFreshPhonesForSixTenthsOfASecond) {
    auto a = join(1);
    sendState(2, join(2), 1, {});
    clock.advance(700ms);
    sendState(1, a, 1, pressing(ControllerButton::south));
    watch(400ms);
    ASSERT_TRUE(publish().at(0).clients.at(1).isStale);

    server->testRumble();
    pump();
    for (int packet = 0; packet < 18; ++packet) {
        EXPECT_EQ(rumbleStep(), Bytes({230, 128}));
    }
    EXPECT_TRUE(listener.sentTo<Packet::Rumble>(2).empty()) << "a stale phone gets none";
    EXPECT_EQ(rumbleStep(), Bytes({0, 0})) << "600 ms are over";
    EXPECT_EQ(rumbleStep(), std::nullopt);

    // The test raises the levels, never lowers them; a second request extends it from then.
    audio(1.0f, 0.8f);
    server->testRumble();
    pump();
    EXPECT_EQ(rumbleStep(), Bytes({255, 204}));
    audio(0.0f, 0.0f);
    clock.advance(400ms);
    server->testRumble();
    pump();
    clock.advance(400ms);
    EXPECT_EQ(rumbleStep(), Bytes({230, 128})) << "0.83 s after the first";
}

} // namespace
