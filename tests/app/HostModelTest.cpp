#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QDateTime>
#include <QLocale>
#include <QMetaProperty>
#include <QSignalSpy>
#include <QVariantMap>

#include <gtest/gtest.h>

#include "ModelFixture.h"
#include "QtTestSupport.h"
#include "fakes/CapturingLogSink.h"

using namespace jolto;
using namespace std::chrono_literals;

namespace {

const std::string kStrengthOne = "setRumbleStrength " + std::to_string(1.0f);
using Calls = std::vector<std::string>;
using Signal = void (HostModel::*)();

// Runs `work` on a thread of its own, as the server's or the capture's context would.
void onOtherThread(const std::function<void()>& work) {
    std::thread(work).join();
}

std::vector<std::uint8_t> bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

class HostModelTest : public testing::Test, protected ModelPorts {
protected:
    ScopedLogCapture log;
};

// MARK: Start-up

struct StartCase {
    const char* name;
    std::vector<std::pair<const char*, MemorySettingsStore::Value>> stored;
    std::string computerName, hostName;
    Calls calls; // the strength and the device go before the start
    KeyMapping mapping;
    bool fromAudio = false;
};

// Reading the settings writes nothing back, even a value it could not use; only the exact raw
// values select gamepads and the HID device.
TEST(HostModelStart, StoredSettingsReachTheServerInTheStartRequest) {
    const Calls plain = {kStrengthOne, "setWebPage on", "start keyboardMouse"};
    const std::vector<StartCase> cases = {
        {"empty store", {}, "Workshop PC", "Workshop PC", plain, KeyMapping::shooter()},
        {"everything stored",
         {{"outputMode", std::string("gamepad")},
          {"rumbleStrength", 0.5},
          {"keyMapping", bytes(encodeKeyMapping(KeyMapping::retro()))},
          {"gamepadDevice", std::string("hid")},
          {"webPageOff", true},
          {"rumbleFromAudio", true}},
         "Workshop PC",
         "Workshop PC",
         {"setRumbleStrength " + std::to_string(0.5f), "setGamepadDevice hid", "setWebPage off",
          "start gamepad"},
         KeyMapping::retro(),
         true},
        {"unreadable values and no computer name",
         {{"keyMapping", bytes("{\"buttons\": 7}")},
          {"rumbleStrength", std::nan("")},
          {"rumbleFromAudio", std::string("yes")},
          {"outputMode", std::string("Gamepad")},
          {"gamepadDevice", std::string("HID")}},
         "",
         "Linux",
         plain,
         KeyMapping::shooter()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModelPorts ports;
        for (const auto& [key, value] : c.stored) {
            ports.settings.preset(key, value);
        }
        ports.computerName = c.computerName;
        auto model = ports.make();
        const auto calls = ports.server->calls();
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(ports.server->mappings(), std::vector{c.mapping});
        EXPECT_EQ(model->mapping(), c.mapping);
        // What the model shows is what it sent.
        EXPECT_EQ("start " + model->outputModeName().toStdString(), calls.back());
        EXPECT_EQ(calls[0], "setRumbleStrength " + std::to_string(float(model->rumbleStrength())));
        EXPECT_EQ(model->webPageEnabled(), std::ranges::count(calls, "setWebPage on") == 1);
        const bool hid = std::ranges::count(calls, "setGamepadDevice hid") == 1;
        EXPECT_EQ(model->gamepadDevice() == GamepadDevice::hid, hid);
        EXPECT_EQ(model->rumbleFromAudio(), c.fromAudio);
        EXPECT_EQ(model->isListeningToAudio(), c.fromAudio);
        EXPECT_EQ(ports.sound->connects, c.fromAudio ? 1 : 0);
        EXPECT_EQ(model->hostName().toStdString(), c.hostName);
        EXPECT_EQ(ports.serverHostName, c.hostName);
        EXPECT_EQ(ports.settings.writeCount(), 0u);

        EXPECT_EQ(model->listenerState(), "starting");
        EXPECT_EQ(model->listenerPort(), 0);
        EXPECT_EQ(model->pin(), HostModel::unknownPIN);
        EXPECT_EQ(model->statusText(), QString::fromUtf8("Starting\u2026"));
        EXPECT_EQ(model->clientCount(), 0);
        EXPECT_EQ(model->outputWarning(), "");
    }
}

// MARK: Settable fields

// Each row sets one property of the same model in turn. A value is stored and sent once when
// it changes; one equal to the value in force, or not valid, stores, sends and notifies
// nothing (the strength alone is stored and sent again even when equal).
TEST_F(HostModelTest, EachSettingIsStoredSentAndNotifiedOnlyWhenItChanges) {
    struct Step {
        const char* property;
        QVariant value;
        const char* written; // the key stored, if any
        std::string call;    // the request sent, if any
    };
    const double nan = std::nan("");
    const std::vector<Step> steps = {
        {"outputMode", "keyboardMouse", nullptr, ""},
        {"outputMode", "Gamepad", nullptr, ""},
        {"outputMode", "gamepad", "outputMode", "setMode gamepad"},
        {"webPageEnabled", true, nullptr, ""},
        {"webPageEnabled", false, "webPageOff", "setWebPage off"},
        {"rumbleStrength", 1.0, "rumbleStrength", kStrengthOne},
        {"rumbleStrength", 1.75, "rumbleStrength", "setRumbleStrength " + std::to_string(1.75f)},
        {"rumbleStrength", nan, nullptr, ""},
        {"gamepadDevice", "uhid", nullptr, ""},
        {"gamepadDevice", "hid", "gamepadDevice", "setGamepadDevice hid"},
        {"gamepadDevice", "hid", nullptr, ""},
        {"leftStickAction", "wasd", nullptr, ""},
        {"rightStickAction", "diagonal", nullptr, ""},
        {"pointerSpeed", 1400.0, nullptr, ""},
        {"pointerSpeed", std::numeric_limits<double>::infinity(), nullptr, ""},
        {"gyroSpeed", nan, nullptr, ""},
        {"rightStickAction", "scroll", "keyMapping", "setMapping"},
        {"gyroSpeed", 800.0, "keyMapping", "setMapping"},
    };
    auto model = make();
    for (const auto& step : steps) {
        SCOPED_TRACE(std::string(step.property) + " " + step.value.toString().toStdString());
        server->clearCalls();
        const auto writes = settings.writeCount();
        const QMetaProperty property =
            model->metaObject()->property(model->metaObject()->indexOfProperty(step.property));
        QSignalSpy notified(model.get(), "2" + property.notifySignal().methodSignature());
        const QVariant before = property.read(model.get());
        ASSERT_TRUE(property.write(model.get(), step.value));
        const QVariant after = property.read(model.get());
        EXPECT_EQ(notified.count(), before != after ? 1 : 0);
        EXPECT_EQ(server->calls(), step.call.empty() ? Calls{} : Calls{step.call});
        ASSERT_EQ(settings.writeCount(), writes + (step.written ? 1 : 0));
        if (step.written) {
            EXPECT_EQ(settings.writtenKeys().back(), step.written);
            EXPECT_EQ(after, step.value);
        }
    }
    EXPECT_EQ(settings.string("outputMode"), "gamepad");
    EXPECT_TRUE(settings.boolean("webPageOff"));
    EXPECT_EQ(settings.number("rumbleStrength"), 1.75);
    EXPECT_EQ(settings.string("gamepadDevice"), "hid");
    KeyMapping expected = KeyMapping::shooter();
    expected.rightStick = StickAction::scroll;
    expected.gyroSpeed = 800;
    EXPECT_EQ(model->mapping(), expected);
    EXPECT_EQ(server->mappings().back(), expected);
}

// Button actions and presets: invalid or unchanged ones do nothing; a change is stored in a
// form that reads back.
TEST_F(HostModelTest, MappingEditsAreStoredAndSentOnlyWhenTheyChangeIt) {
    auto model = make();
    server->clearCalls();
    QSignalSpy changed(model.get(), &HostModel::mappingChanged);
    model->applyPreset("shooter");
    model->applyPreset("racing");
    model->setButtonAction(0, "key", 49, "");
    for (int button : {-1, 19}) {
        model->setButtonAction(button, "key", 1, "");
    }
    for (int code : {-1, 70000}) {
        model->setButtonAction(0, "key", code, "");
    }
    model->setButtonAction(0, "bogus", 1, "");
    model->setButtonAction(0, "mouse", 0, "side");
    EXPECT_EQ(settings.writeCount(), 0u);
    EXPECT_TRUE(server->calls().empty());
    EXPECT_EQ(changed.count(), 0);

    model->setButtonAction(0, "mouse", 0, "middle");
    KeyMapping expected = KeyMapping::shooter();
    expected.setAction(ControllerButton::south, KeyAction::mouse(MouseButton::middle));
    EXPECT_EQ(model->mapping(), expected);
    model->applyPreset("retro");
    EXPECT_EQ(model->mapping(), KeyMapping::retro());
    EXPECT_EQ(server->mappings(),
              (std::vector{KeyMapping::shooter(), expected, KeyMapping::retro()}));
    EXPECT_EQ(changed.count(), 2);
    auto stored = settings.data("keyMapping");
    ASSERT_TRUE(stored);
    auto decoded = decodeKeyMapping(std::string(stored->begin(), stored->end()));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded.value, KeyMapping::retro());

    server->clearCalls();
    model->regeneratePIN();
    model->forget("0a1b2c3d-0000-4000-8000-00000000abcd");
    model->forget("not a device");
    model->testRumble();
    EXPECT_EQ(
        server->calls(),
        (Calls{"regeneratePIN", "forget 0A1B2C3D-0000-4000-8000-00000000ABCD", "testRumble"}));
    EXPECT_EQ(settings.writeCount(), 2u);

    // What the views read back.
    model->applyPreset("shooter");
    model->setButtonAction(rawValue(ControllerButton::home), "none", 5, "left");
    const QVariantList actions = model->buttonActions();
    ASSERT_EQ(actions.size(), 19);
    const auto south = actions[0].toMap();
    EXPECT_EQ(south["kind"], "key");
    EXPECT_EQ(south["code"], 49);
    EXPECT_EQ(south["label"], "Space");
    const auto leftTrigger = actions[rawValue(ControllerButton::leftTrigger)].toMap();
    EXPECT_EQ(leftTrigger["kind"], "mouse");
    EXPECT_EQ(leftTrigger["mouse"], "right");
    const auto home = actions[rawValue(ControllerButton::home)].toMap();
    EXPECT_EQ(home["kind"], "none");
    EXPECT_EQ(home["label"], QString::fromUtf8("\u2014"));

    EXPECT_EQ(model->keyName(-1), "Key -1");
    // X11/xkb codes are evdev + 8: 38 is KEY_A (mac 0); below 8 there is no evdev code.
    for (auto [scanCode, mac] : {std::pair{38, 0}, {0, -1}, {7, -1}}) {
        EXPECT_EQ(model->macKeyCodeForScanCode(scanCode), mac) << scanCode;
    }
}

// MARK: Server events

TEST_F(HostModelTest, EachEventUpdatesItsFieldOnceOnTheMainThread) {
    auto model = make();
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (Signal s : {&HostModel::listenerStateChanged, &HostModel::listenerPortChanged,
                     &HostModel::clientsChanged, &HostModel::pinChanged,
                     &HostModel::trustedDevicesChanged, &HostModel::gamepadProblemChanged,
                     &HostModel::advertisementProblemChanged, &HostModel::statusTextChanged}) {
        spies.push_back(std::make_unique<QSignalSpy>(model.get(), s));
    }

    ClientSnapshot pixel = client(1, "Pixel");
    pixel.state.buttons.insert(ControllerButton::east);
    pixel.state.buttons.insert(ControllerButton::start);
    pixel.state.leftStick = {0.25f, -0.5f};
    pixel.state.rightTrigger = 0.75f;
    const std::vector<HostEvent> events = {
        HostEvent::Listener{ListenerState::ready(40123)},
        HostEvent::Pin{"0042"},
        HostEvent::Clients{{pixel}},
        HostEvent::Trusted{{TrustedDevice{pixel.id, "Pixel", Uuid::random(), 86400.5}}},
        HostEvent::GamepadProblem{"The system refused to create the virtual gamepad."},
        HostEvent::Advertisement{"The Avahi daemon is not running."},
    };
    // Twice: the second round repeats every value and must notify nothing.
    for (int round = 0; round < 2; ++round) {
        onOtherThread([&] {
            for (const auto& event : events) {
                server->emitEvent(event);
            }
        });
        // Nothing is applied on the server's thread.
        EXPECT_TRUE(round > 0 || model->listenerState() == "starting");
        drainEvents();
    }
    // Each once, but the status: "Ready — waiting…" then "1 controller connected".
    for (std::size_t i = 0; i < spies.size(); ++i) {
        EXPECT_EQ(spies[i]->count(), i + 1 == spies.size() ? 2 : 1) << i;
    }
    EXPECT_EQ(model->listenerState(), "ready");
    EXPECT_EQ(model->listenerPort(), 40123);
    EXPECT_EQ(model->pin(), "0042");
    EXPECT_EQ(model->gamepadProblem(), "The system refused to create the virtual gamepad.");
    EXPECT_EQ(model->advertisementProblem(), "The Avahi daemon is not running.");

    const auto shown = model->clientList();
    ASSERT_EQ(shown.size(), 1);
    const auto c = shown[0].toMap();
    EXPECT_EQ(c["id"], "00000000-0000-4000-8000-000000000001");
    EXPECT_EQ(c["name"], "Pixel");
    EXPECT_EQ(c["playerNumber"], 1);
    EXPECT_EQ(c["isStale"], false);
    const auto state = c["state"].toMap();
    EXPECT_EQ(state["buttons"].toInt(), (1 << 1) | (1 << 15));
    EXPECT_EQ(state["leftX"].toDouble(), 0.25);
    EXPECT_EQ(state["leftY"].toDouble(), -0.5);
    EXPECT_EQ(state["rightTrigger"].toDouble(), 0.75);
    // Seconds since 2001 (the phone's reference date), shown by the devices list.
    const auto devices = model->trustedDeviceList();
    ASSERT_EQ(devices.size(), 1);
    EXPECT_EQ(devices[0].toMap()["lastSeen"].toDateTime(),
              QDateTime(QDate(2001, 1, 2), QTime(0, 0, 0, 500), Qt::UTC));

    // A staleness change is a change; the absent problems clear.
    pixel.isStale = true;
    model->handle(HostEvent::Clients{{pixel}});
    model->handle(HostEvent::GamepadProblem{std::nullopt});
    model->handle(HostEvent::Listener{ListenerState::failed("Address in use")});
    EXPECT_EQ(spies[2]->count(), 2);
    EXPECT_EQ(model->gamepadProblem(), "");
    EXPECT_EQ(model->listenerState(), "failed");
    EXPECT_EQ(model->listenerError(), "Address in use");
    EXPECT_EQ(model->listenerPort(), 0);
    EXPECT_EQ(spies[1]->count(), 2);
}

TEST_F(HostModelTest, StatusTextFollowsTheListenerAndTheControllers) {
    auto model = make();
    const std::vector<std::pair<HostEvent, QString>> steps = {
        {HostEvent::Listener{ListenerState::ready(5000)},
         QString::fromUtf8("Ready \u2014 waiting for a controller")},
        {HostEvent::Clients{{client(2, "A")}}, "1 controller connected"},
        {HostEvent::Clients{{client(1, "A"), client(2, "B"), client(4, "C", true)}},
         "3 controllers connected"},
        {HostEvent::Clients{{client(4, "C", true)}}, "1 controller connected"},
        {HostEvent::Listener{ListenerState::failed("No network")}, "Network problem: No network"},
        {HostEvent::Listener{ListenerState::starting()}, QString::fromUtf8("Starting\u2026")},
    };
    for (const auto& [event, text] : steps) {
        model->handle(event);
        EXPECT_EQ(model->statusText(), text);
    }
}

const std::string refused = "The system refused to create the virtual gamepad.";
const std::string needUinput = "Virtual gamepads need access to /dev/uinput. Use Keyboard & Mouse.";
const std::string needUhid = "Virtual gamepads need access to /dev/uhid. Use Keyboard & Mouse.";
const std::string needInput = "Allow input access so button presses reach your games.";

// The server's own problem shows only in gamepad mode, and a missing access wins over it.
TEST(HostModelWarning, FollowsTheModeTheDeviceAndTheAccess) {
    struct Case {
        const char* name;
        OutputMode mode;
        bool hid, inputAccess, gamepadAccess;
        std::optional<std::string> serverProblem;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"keys with access", OutputMode::keyboardMouse, false, true, false, refused, ""},
        {"keys without access", OutputMode::keyboardMouse, false, false, true, {}, needInput},
        {"gamepad fine", OutputMode::gamepad, false, false, true, {}, ""},
        {"gamepad refused", OutputMode::gamepad, false, true, true, refused, refused},
        {"gamepad without uinput", OutputMode::gamepad, false, true, false, {}, needUinput},
        {"without uinput and refused", OutputMode::gamepad, false, true, false, refused,
         needUinput},
        // No access to either node: only the message names the device.
        {"hid without either", OutputMode::gamepad, true, true, false, {}, needUhid},
        {"hid without uhid", OutputMode::gamepad, true, true, true, {}, needUhid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModelPorts ports;
        ports.inputAccess = c.inputAccess;
        ports.gamepadAccess = c.gamepadAccess;
        ports.hidAccess = !c.hid;
        auto model = ports.make();
        // Set after the start: each change must work the warning out anew, and notify once
        // for each change of its text.
        QSignalSpy notified(model.get(), &HostModel::outputWarningChanged);
        QString shown = model->outputWarning();
        int changes = 0;
        auto step = [&](const std::function<void()>& change) {
            change();
            changes += model->outputWarning() != shown;
            shown = model->outputWarning();
        };
        step([&] { model->setOutputMode(c.mode); });
        step([&] { model->setProperty("gamepadDevice", c.hid ? "hid" : "standard"); });
        // Before the server's problem arrives only the access warnings show.
        EXPECT_EQ(shown.toStdString(), c.expected == refused ? "" : c.expected);
        step([&] { model->handle(HostEvent::GamepadProblem{c.serverProblem}); });
        EXPECT_EQ(shown.toStdString(), c.expected);
        EXPECT_EQ(notified.count(), changes);
        EXPECT_EQ(model->isGamepadEntitled(), !c.hid && c.gamepadAccess);
    }
}

// MARK: Access

TEST_F(HostModelTest, ThePollPicksUpAccessGrantedOutsideTheProgram) {
    inputAccess = false;
    gamepadAccess = false;
    pollInterval = 50ms;
    auto model = make();
    EXPECT_FALSE(model->isAccessibilityTrusted());
    EXPECT_FALSE(model->isGamepadEntitled());
    QSignalSpy trusted(model.get(), &HostModel::isAccessibilityTrustedChanged);
    QSignalSpy warning(model.get(), &HostModel::outputWarningChanged);

    inputAccess = true;
    gamepadAccess = true;
    ASSERT_TRUE(waitUntil([&] { return model->isAccessibilityTrusted(); }));
    ASSERT_TRUE(waitUntil([&] { return model->isGamepadEntitled(); }));
    EXPECT_EQ(model->outputWarning(), "");
    EXPECT_EQ(warning.count(), 1);
    // Gamepads refused so far are made now.
    auto calls = server->calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "retryGamepads"), 1);
    // Further polls with the same answer notify nothing.
    waitUntil([] { return false; }, 200ms);
    EXPECT_EQ(trusted.count(), 1);
}

// Without the helper a request opens the help, unless the access is there by now (input
// access alone still leaves gamepads to get). The helper runs once at a time and reports from
// its own thread; the poll is an hour away, so only the check at its end can see what it
// granted, and one that granted nothing leads to the help. Only known anchors open anything.
TEST_F(HostModelTest, RequestingAccessRunsTheHelperOnceOrOpensTheHelp) {
    inputAccess = false;
    bool haveHelper = false;
    int started = 0;
    std::function<void(bool)> finish;
    accessRequest = [&](std::function<void(bool)> done) {
        started += haveHelper;
        finish = std::move(done);
        return haveHelper;
    };
    auto model = make();
    model->requestAccessibility();
    EXPECT_EQ(opened, std::vector<std::string>{"Privacy_Accessibility"});
    inputAccess = true;
    model->requestAccessibility();
    EXPECT_TRUE(model->isAccessibilityTrusted());
    EXPECT_EQ(opened.size(), 1u);
    gamepadAccess = false;
    model->requestAccessibility();
    EXPECT_EQ(opened.size(), 2u);

    haveHelper = true;
    inputAccess = false;
    model->requestAccessibility();
    model->requestAccessibility(); // while the first still runs
    EXPECT_EQ(started, 1);
    onOtherThread([&] { finish(false); });
    drainEvents();
    EXPECT_EQ(opened.size(), 3u);
    model->requestAccessibility();
    EXPECT_EQ(started, 2);
    inputAccess = true;
    gamepadAccess = true;
    onOtherThread([&] { finish(true); });
    drainEvents();
    EXPECT_TRUE(model->isAccessibilityTrusted());
    EXPECT_TRUE(model->isGamepadEntitled());
    EXPECT_EQ(opened.size(), 3u);

    for (const char* anchor : {"Privacy_ScreenCapture", "Privacy_Camera", ""}) {
        model->openPrivacySettings(anchor);
    }
    EXPECT_EQ(opened.back(), "Privacy_ScreenCapture");
    EXPECT_EQ(opened.size(), 4u);
}

TEST_F(HostModelTest, PairingPauseIsShownUntilItEndsOrRunsOut) {
    auto model = make();
    QSignalSpy changed(model.get(), &HostModel::pairingPauseChanged);
    model->handle(HostEvent::PairingPause{std::chrono::seconds(3600)});
    EXPECT_TRUE(model->pairingPaused());
    // The local time to the minute, rounded up; with the date only when that is not today.
    if (QDateTime::currentDateTime().addSecs(3660).date() == QDate::currentDate()) {
        const QTime shown = QLocale().toTime(model->pairingPausedUntil(), QLocale::ShortFormat);
        ASSERT_TRUE(shown.isValid()) << model->pairingPausedUntil().toStdString();
        const int ahead = QTime::currentTime().secsTo(shown);
        EXPECT_TRUE(ahead > 3540 && ahead <= 3660) << ahead;
    }
    model->handle(HostEvent::PairingPause{std::nullopt});
    EXPECT_FALSE(model->pairingPaused());
    EXPECT_EQ(model->pairingPausedUntil(), "");
    model->handle(HostEvent::PairingPause{std::nullopt});
    EXPECT_EQ(changed.count(), 2);

    model->handle(HostEvent::PairingPause{std::chrono::seconds(1)});
    EXPECT_TRUE(waitUntil([&] { return !model->pairingPaused(); }));
    EXPECT_EQ(changed.count(), 4);
}

// MARK: Audio rumble

// A failed capture keeps the switch on and shows the problem, logged once, until switched off;
// switching on again retries. A running one feeds the server from the capture's context and
// the meter through the main thread, and leaves everything at zero when switched off.
TEST_F(HostModelTest, AudioRumbleRunsWhileSwitchedOnAndAFailureShowsUntilSwitchedOff) {
    sound->connectStatus = -3;
    auto model = make();
    model->setRumbleFromAudio(true);
    const std::string problem = "Couldn't connect to the sound server (error -3).";
    EXPECT_TRUE(model->rumbleFromAudio());
    EXPECT_FALSE(model->isListeningToAudio());
    EXPECT_EQ(model->audioRumbleProblem().toStdString(), problem);
    const auto lines = log->lines(LogLevel::error, "Model");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "Audio rumble: " + problem);
    model->setRumbleFromAudio(false);
    EXPECT_EQ(model->audioRumbleProblem(), "");

    sound->connectStatus = 0;
    QSignalSpy listening(model.get(), &HostModel::isListeningToAudioChanged);
    model->setRumbleFromAudio(true);
    EXPECT_EQ(settings.writtenKeys(), (std::vector<std::string>(3, "rumbleFromAudio")));
    EXPECT_TRUE(settings.boolean("rumbleFromAudio"));
    EXPECT_TRUE(model->isListeningToAudio());
    EXPECT_EQ(model->audioRumbleProblem(), "");
    EXPECT_EQ(sound->connects, 2);
    clock->advance(20ms);
    onOtherThread([&] { sound->play(0.3f); });
    ASSERT_FALSE(server->audio().empty());
    EXPECT_TRUE(server->audio().back().isActive());
    ASSERT_TRUE(waitUntil([&] { return model->rumbleLow() > 0 || model->rumbleHigh() > 0; }));

    model->setRumbleFromAudio(false);
    model->setRumbleFromAudio(false);
    EXPECT_FALSE(model->isListeningToAudio());
    EXPECT_EQ(sound->disconnects, 1);
    EXPECT_EQ(server->audio().back(), (RumbleLevels{0, 0}));
    for (int i = 0; i < 2; ++i) { // before and after what was posted has run
        EXPECT_EQ(model->rumbleLow(), 0);
        EXPECT_EQ(model->rumbleHigh(), 0);
        drainEvents();
    }
    EXPECT_EQ(listening.count(), 2);
    EXPECT_EQ(settings.writeCount(), 4u);
    EXPECT_EQ(sound->connects, 2);
}

TEST_F(HostModelTest, AFailedCaptureIsRetriedWithBackoffAndTheProblemGoesWhenItWorks) {
    const auto defaults = HostModelPlatform{}.audioRetryDelay;
    EXPECT_EQ((std::vector{defaults(1), defaults(2), defaults(3), defaults(4), defaults(9)}),
              (std::vector<std::chrono::milliseconds>{1s, 2s, 4s, 10s, 10s}));

    rebuildSpacing = 0ms;
    std::vector<int> attempts; // as asked of the schedule, on the main thread
    retryDelay = [&](int attempt) {
        attempts.push_back(attempt);
        return 1ms;
    };
    sound->connectStatus = 6;
    settings.preset("rumbleFromAudio", true);
    auto model = make();
    ASSERT_TRUE(waitUntil([&] { return sound->connects >= 4; }));
    EXPECT_EQ(model->audioRumbleProblem(), "Couldn't connect to the sound server (error 6).");

    sound->connectStatus = 0;
    ASSERT_TRUE(waitUntil([&] { return model->isListeningToAudio(); }));
    EXPECT_EQ(model->audioRumbleProblem(), "");
    std::vector<int> expected(attempts.size());
    std::iota(expected.begin(), expected.end(), 1);
    EXPECT_EQ(attempts, expected);
    // One line per change of state, however many retries.
    EXPECT_EQ(log->lines(LogLevel::error, "Model").size(), 1u);
    EXPECT_EQ(log->lines(LogLevel::info, "Model").size(), 1u);

    // The next loss starts the schedule from its first delay again.
    attempts.clear();
    sound->connectStatus = 6;
    sound->changeOutput();
    ASSERT_TRUE(waitUntil([&] { return attempts.size() >= 2; }));
    EXPECT_EQ(attempts[0], 1);
    model->setRumbleFromAudio(false);
    const int connects = sound->connects;
    drainEvents();
    EXPECT_FALSE(waitUntil([&] { return sound->connects > connects; }, 100ms));
}

TEST_F(HostModelTest, AnOutputChangeRebuildsTheCaptureOnceAndNotTooSoon) {
    rebuildSpacing = 50ms;
    settings.preset("rumbleFromAudio", true);
    auto model = make();
    ASSERT_EQ(sound->connects, 1);
    AudioCapture::ChangeHandler firstWatch = sound->onChange;

    // A burst of notices, while the clock says no time has passed since the start.
    onOtherThread([&] {
        sound->changeOutput();
        sound->changeOutput();
        sound->changeOutput();
    });
    waitUntil([] { return false; }, 300ms);
    EXPECT_EQ(sound->connects, 1) << "rebuilt before the spacing had passed";

    clock->advance(60ms);
    ASSERT_TRUE(waitUntil([&] { return sound->connects == 2; }));
    EXPECT_EQ(sound->disconnects, 1);
    EXPECT_TRUE(model->isListeningToAudio());

    // The burst made one rebuild, and a late notice of the replaced capture makes none.
    firstWatch();
    clock->advance(60ms);
    waitUntil([] { return false; }, 300ms);
    EXPECT_EQ(sound->connects, 2);

    // The new capture's own notice rebuilds again, at once now that the spacing has passed.
    sound->changeOutput();
    ASSERT_TRUE(waitUntil([&] { return sound->connects == 3; }));

    // A notice still waiting for its spacing when switched off starts nothing.
    sound->changeOutput();
    model->setRumbleFromAudio(false);
    clock->advance(60ms);
    waitUntil([] { return false; }, 300ms);
    EXPECT_EQ(sound->connects, 3);
    EXPECT_FALSE(model->isListeningToAudio());
}

// MARK: Lifetime

// Nothing may run on the destroyed model (the sanitizers check); the server hears the end of
// audio rumble.
TEST_F(HostModelTest, EventsAndLevelsAfterTheModelIsGoneAreDropped) {
    settings.preset("rumbleFromAudio", true);
    auto model = make();
    AudioCapture::ChangeHandler watch = sound->onChange;
    clock->advance(20ms);
    sound->play(0.3f);                         // a level posted to the model
    server->emitEvent(HostEvent::Pin{"1234"}); // an event posted to the model
    model.reset();                             // gone before either is delivered
    EXPECT_EQ(server->audio().back(), (RumbleLevels{0, 0}));
    onOtherThread([&] {
        server->emitEvent(HostEvent::Listener{ListenerState::ready(1)});
        watch();
    });
    drainEvents();
}

} // namespace
