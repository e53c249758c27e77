#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QDateTime>
#include <QLocale>
#include <QSignalSpy>
#include <QVariantMap>

#include <gtest/gtest.h>

#include "FakeAudioCapture.h"
#include "FakeHostServer.h"
#include "QtTestSupport.h"
#include "app/HostModel.h"
#include "fakes/CapturingLogSink.h"
#include "fakes/MemorySettingsStore.h"

using namespace jolto;
using namespace std::chrono_literals;

namespace {

const std::string kStrengthOne = "setRumbleStrength " + std::to_string(1.0f);

std::vector<std::uint8_t> bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

// Runs `work` on a thread of its own, as the server's or the capture's context would.
void onOtherThread(const std::function<void()>& work) {
    std::thread(work).join();
}

ClientSnapshot client(int player, std::string name, bool stale = false) {
    ClientSnapshot c;
    c.id = *Uuid::parse("00000000-0000-4000-8000-00000000000" + std::to_string(player));
    c.name = std::move(name);
    c.playerNumber = player;
    c.isStale = stale;
    return c;
}

class HostModelTest : public testing::Test {
protected:
    HostModelPlatform platform() {
        HostModelPlatform p;
        p.hasInputAccess = [this] { return inputAccess.load(); };
        p.hasGamepadAccess = [this](GamepadDevice device) {
            return (device == GamepadDevice::hid ? hidAccess : gamepadAccess).load();
        };
        p.computerName = [this] { return computerName; };
        p.makeServer = [this](const std::string& hostName) {
            serverHostName = hostName;
            return server;
        };
        p.makeAudioCapture = [this] { return std::make_unique<FakeAudioCapture>(sound); };
        p.openSettings = [this](const std::string& anchor) { opened.push_back(anchor); };
        p.startAccessRequest = accessRequest;
        p.clock = clock;
        p.accessPollInterval = pollInterval;
        p.audioRebuildSpacing = rebuildSpacing;
        p.audioRetryDelay = retryDelay;
        return p;
    }

    std::unique_ptr<HostModel> make() { return std::make_unique<HostModel>(settings, platform()); }

    MemorySettingsStore settings;
    std::shared_ptr<FakeHostServer> server = std::make_shared<FakeHostServer>();
    std::shared_ptr<FakeSoundServer> sound = std::make_shared<FakeSoundServer>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::atomic<bool> inputAccess{true};
    std::atomic<bool> gamepadAccess{true};
    std::atomic<bool> hidAccess{true};
    std::string computerName = "Workshop PC";
    std::string serverHostName;
    std::vector<std::string> opened;
    std::function<bool(std::function<void(bool)>)> accessRequest;
    std::chrono::milliseconds pollInterval = 1h;
    std::chrono::milliseconds rebuildSpacing = 1000ms;
    std::function<std::chrono::milliseconds(int)> retryDelay = SystemAudioRumble::retryDelay;
    ScopedLogCapture log;
};

// MARK: Start-up

TEST_F(HostModelTest, StartsWithDefaultsFromAnEmptyStoreAndStartsTheServer) {
    auto model = make();

    EXPECT_EQ(model->listenerState(), "starting");
    EXPECT_EQ(model->listenerPort(), 0);
    EXPECT_EQ(model->pin(), QString::fromUtf8("\u00B7\u00B7\u00B7\u00B7"));
    EXPECT_EQ(model->statusText(), QString::fromUtf8("Starting\u2026"));
    EXPECT_EQ(model->clientCount(), 0);
    EXPECT_TRUE(model->trustedDeviceList().isEmpty());
    EXPECT_EQ(model->outputModeName(), "keyboardMouse");
    EXPECT_EQ(model->mapping(), KeyMapping::shooter());
    EXPECT_FALSE(model->rumbleFromAudio());
    EXPECT_EQ(model->rumbleStrength(), 1.0);
    EXPECT_FALSE(model->isListeningToAudio());
    EXPECT_EQ(model->outputWarning(), "");
    EXPECT_EQ(model->hostName(), "Workshop PC");
    EXPECT_EQ(serverHostName, "Workshop PC");

    // The strength and the page go first, then start with the mode and the mapping.
    EXPECT_TRUE(model->webPageEnabled());
    EXPECT_EQ(server->calls(),
              (std::vector<std::string>{kStrengthOne, "setWebPage on", "start keyboardMouse"}));
    EXPECT_EQ(server->startMapping(), KeyMapping::shooter());
    // Reading the settings writes nothing back, and audio capture stays off.
    EXPECT_EQ(settings.writeCount(), 0u);
    EXPECT_EQ(sound->connects, 0);
}

TEST_F(HostModelTest, StoredSettingsReachTheServerInTheStartRequest) {
    settings.preset("outputMode", std::string("gamepad"));
    settings.preset("rumbleStrength", 0.5);
    settings.preset("keyMapping", bytes(encodeKeyMapping(KeyMapping::retro())));
    settings.preset("gamepadDevice", std::string("hid"));
    settings.preset("webPageOff", true);
    auto model = make();

    EXPECT_EQ(model->outputMode(), OutputMode::gamepad);
    EXPECT_EQ(model->rumbleStrength(), 0.5);
    EXPECT_EQ(model->mapping(), KeyMapping::retro());
    EXPECT_EQ(model->gamepadDevice(), GamepadDevice::hid);
    EXPECT_FALSE(model->webPageEnabled());
    EXPECT_EQ(server->calls(), (std::vector<std::string>{
                                   "setRumbleStrength " + std::to_string(0.5f),
                                   "setGamepadDevice hid", "setWebPage off", "start gamepad"}));
    EXPECT_EQ(server->startMapping(), KeyMapping::retro());
    EXPECT_EQ(settings.writeCount(), 0u);
}

TEST_F(HostModelTest, UnreadableStoredValuesFallBackWithoutBeingOverwritten) {
    settings.preset("keyMapping", bytes("{\"buttons\": 7}"));
    settings.preset("rumbleStrength", std::nan(""));
    settings.preset("rumbleFromAudio", std::string("yes"));
    computerName = "";
    auto model = make();

    EXPECT_EQ(model->mapping(), KeyMapping::shooter());
    EXPECT_EQ(model->rumbleStrength(), 1.0);
    EXPECT_FALSE(model->rumbleFromAudio());
    EXPECT_EQ(model->hostName(), "Linux");
    EXPECT_EQ(serverHostName, "Linux");
    EXPECT_EQ(server->calls().front(), kStrengthOne);
    EXPECT_EQ(settings.writeCount(), 0u);
    EXPECT_EQ(settings.data("keyMapping"), bytes("{\"buttons\": 7}"));
}

class HostModelOutputModeFromStore
    : public HostModelTest,
      public testing::WithParamInterface<std::pair<std::optional<std::string>, OutputMode>> {};

TEST_P(HostModelOutputModeFromStore, OnlyTheExactRawValueSelectsGamepads) {
    const auto& [stored, expected] = GetParam();
    if (stored) {
        settings.preset("outputMode", *stored);
    }
    auto model = make();
    EXPECT_EQ(model->outputMode(), expected);
    EXPECT_EQ(server->calls().back(), "start " + std::string(rawValue(expected)));
}

INSTANTIATE_TEST_SUITE_P(
    Values, HostModelOutputModeFromStore,
    testing::Values(std::pair{std::optional<std::string>("gamepad"), OutputMode::gamepad},
                    std::pair{std::optional<std::string>("Gamepad"), OutputMode::keyboardMouse},
                    std::pair{std::optional<std::string>(""), OutputMode::keyboardMouse},
                    std::pair{std::optional<std::string>(), OutputMode::keyboardMouse}),
    [](const auto& info) {
        const auto& stored = info.param.first;
        return !stored ? std::string("absent") : stored->empty() ? std::string("empty") : *stored;
    });

// MARK: Settable fields

TEST_F(HostModelTest, OutputModeIsWrittenAndSentOnlyWhenItChanges) {
    auto model = make();
    server->clearCalls();
    QSignalSpy changed(model.get(), &HostModel::outputModeChanged);

    model->setProperty("outputMode", QStringLiteral("keyboardMouse"));
    model->setProperty("outputMode", QStringLiteral("Gamepad"));
    EXPECT_EQ(settings.writeCount(), 0u);
    EXPECT_TRUE(server->calls().empty());
    EXPECT_EQ(changed.count(), 0);

    model->setProperty("outputMode", QStringLiteral("gamepad"));
    EXPECT_EQ(settings.string("outputMode"), "gamepad");
    EXPECT_EQ(server->calls(), std::vector<std::string>{"setMode gamepad"});
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(model->property("outputMode").toString(), "gamepad");
}

TEST_F(HostModelTest, WebPageSwitchIsWrittenAndSentAndItsAddressFollowsTheServer) {
    auto model = make();
    server->clearCalls();
    QSignalSpy address(model.get(), &HostModel::webPageAddressChanged);
    model->setProperty("webPageEnabled", true);
    EXPECT_TRUE(server->calls().empty());
    model->setProperty("webPageEnabled", false);
    EXPECT_TRUE(settings.boolean("webPageOff"));
    EXPECT_EQ(server->calls(), std::vector<std::string>{"setWebPage off"});

    server->emitEvent(HostEvent::WebPage{ListenerState::ready(8080), "http://10.0.0.2:8080/"});
    server->emitEvent(HostEvent::WebPage{ListenerState::ready(8080), "http://10.0.0.2:8080/"});
    drainEvents();
    EXPECT_EQ(model->webPageAddress(), "http://10.0.0.2:8080/");
    server->emitEvent(HostEvent::WebPage{ListenerState::failed({}), {}});
    drainEvents();
    EXPECT_EQ(model->webPageAddress(), "");
    EXPECT_EQ(address.count(), 2);
}

TEST_F(HostModelTest, RumbleStrengthIsWrittenAndSentEvenWhenEqual) {
    auto model = make();
    server->clearCalls();
    QSignalSpy changed(model.get(), &HostModel::rumbleStrengthChanged);

    model->setProperty("rumbleStrength", 1.0);
    EXPECT_EQ(settings.writtenKeys(), std::vector<std::string>{"rumbleStrength"});
    EXPECT_EQ(server->calls(), std::vector<std::string>{kStrengthOne});
    EXPECT_EQ(changed.count(), 0);

    model->setProperty("rumbleStrength", 1.75);
    EXPECT_EQ(settings.number("rumbleStrength"), 1.75);
    EXPECT_EQ(server->calls().back(), "setRumbleStrength " + std::to_string(1.75f));
    EXPECT_EQ(changed.count(), 1);

    // Not a number the server could scale by: ignored entirely.
    model->setRumbleStrength(std::nan(""));
    EXPECT_EQ(settings.writeCount(), 2u);
    EXPECT_EQ(model->rumbleStrength(), 1.75);
}

TEST_F(HostModelTest, MappingIsWrittenAndSentOnlyWhenItChanges) {
    auto model = make();
    server->clearCalls();
    QSignalSpy changed(model.get(), &HostModel::mappingChanged);

    // All equal to the shooter mapping in force, or not valid: nothing happens.
    model->applyPreset("shooter");
    model->setProperty("leftStickAction", QStringLiteral("wasd"));
    model->setProperty("pointerSpeed", 1400.0);
    model->setButtonAction(0, "key", 49, "");
    model->setButtonAction(19, "key", 1, "");
    model->setButtonAction(0, "bogus", 1, "");
    model->setButtonAction(0, "key", 70000, "");
    model->setButtonAction(0, "mouse", 0, "side");
    model->setProperty("rightStickAction", QStringLiteral("diagonal"));
    model->applyPreset("racing");
    model->setGyroSpeed(std::nan(""));
    EXPECT_EQ(settings.writeCount(), 0u);
    EXPECT_TRUE(server->calls().empty());
    EXPECT_EQ(changed.count(), 0);

    model->setButtonAction(0, "mouse", 0, "middle");
    KeyMapping expected = KeyMapping::shooter();
    expected.setAction(ControllerButton::south, KeyAction::mouse(MouseButton::middle));
    EXPECT_EQ(model->mapping(), expected);
    auto stored = settings.data("keyMapping");
    ASSERT_TRUE(stored);
    auto decoded = decodeKeyMapping(std::string(stored->begin(), stored->end()));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded.value, expected);
    EXPECT_EQ(server->mappings(), std::vector<KeyMapping>{expected});
    EXPECT_EQ(changed.count(), 1);

    model->applyPreset("retro");
    model->setProperty("rightStickAction", QStringLiteral("scroll"));
    model->setGyroSpeed(800);
    expected = KeyMapping::retro();
    expected.rightStick = StickAction::scroll;
    expected.gyroSpeed = 800;
    EXPECT_EQ(model->mapping(), expected);
    EXPECT_EQ(server->mappings().back(), expected);
    EXPECT_EQ(settings.writeCount(), 4u);
    EXPECT_EQ(changed.count(), 4);
}

TEST_F(HostModelTest, ButtonActionsReadAsTheViewsExpect) {
    auto model = make();
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
    EXPECT_EQ(leftTrigger["label"], "Right Click");
    const auto home = actions[rawValue(ControllerButton::home)].toMap();
    EXPECT_EQ(home["kind"], "none");
    EXPECT_EQ(home["label"], QString::fromUtf8("\u2014"));

    EXPECT_EQ(model->keyName(55), "Super");
    EXPECT_EQ(model->keyName(-1), "Key -1");
    // X11/xkb codes are evdev + 8: 38 is KEY_A (mac 0), 65 KEY_SPACE (mac 49).
    EXPECT_EQ(model->macKeyCodeForScanCode(38), 0);
    EXPECT_EQ(model->macKeyCodeForScanCode(65), 49);
    EXPECT_EQ(model->macKeyCodeForScanCode(0), -1);
    EXPECT_EQ(model->macKeyCodeForScanCode(7), -1);
}

TEST_F(HostModelTest, OperationsBecomeServerRequests) {
    auto model = make();
    server->clearCalls();
    model->regeneratePIN();
    model->forget("0a1b2c3d-0000-4000-8000-00000000abcd");
    model->forget("not a device");
    model->testRumble();
    EXPECT_EQ(server->calls(),
              (std::vector<std::string>{
                  "regeneratePIN", "forget 0A1B2C3D-0000-4000-8000-00000000ABCD", "testRumble"}));
    EXPECT_EQ(settings.writeCount(), 0u);
}

// MARK: Server events

TEST_F(HostModelTest, EachEventUpdatesItsFieldOnceOnTheMainThread) {
    auto model = make();
    QSignalSpy listener(model.get(), &HostModel::listenerStateChanged);
    QSignalSpy port(model.get(), &HostModel::listenerPortChanged);
    QSignalSpy clients(model.get(), &HostModel::clientsChanged);
    QSignalSpy pin(model.get(), &HostModel::pinChanged);
    QSignalSpy trusted(model.get(), &HostModel::trustedDevicesChanged);
    QSignalSpy gamepad(model.get(), &HostModel::gamepadProblemChanged);
    QSignalSpy advertisement(model.get(), &HostModel::advertisementProblemChanged);
    QSignalSpy status(model.get(), &HostModel::statusTextChanged);

    ClientSnapshot pixel = client(1, "Pixel");
    pixel.state.buttons.insert(ControllerButton::east);
    pixel.state.buttons.insert(ControllerButton::start);
    pixel.state.leftStick = {0.25f, -0.5f};
    pixel.state.rightTrigger = 0.75f;
    TrustedDevice device{pixel.id, "Pixel", Uuid::random(), 86400.5};
    const std::vector<HostEvent> events = {
        HostEvent::Listener{ListenerState::ready(40123)},
        HostEvent::Pin{"0042"},
        HostEvent::Clients{{pixel}},
        HostEvent::Trusted{{device}},
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
        if (round == 0) {
            // Nothing is applied on the server's thread.
            EXPECT_EQ(model->listenerState(), "starting");
        }
        drainEvents();
    }

    EXPECT_EQ(listener.count(), 1);
    EXPECT_EQ(port.count(), 1);
    EXPECT_EQ(clients.count(), 1);
    EXPECT_EQ(pin.count(), 1);
    EXPECT_EQ(trusted.count(), 1);
    EXPECT_EQ(gamepad.count(), 1);
    EXPECT_EQ(advertisement.count(), 1);
    EXPECT_EQ(status.count(), 2); // "Ready — waiting…" then "1 controller connected"

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

    const auto devices = model->trustedDeviceList();
    ASSERT_EQ(devices.size(), 1);
    EXPECT_EQ(devices[0].toMap()["lastSeen"].toDateTime(),
              QDateTime(QDate(2001, 1, 2), QTime(0, 0, 0, 500), Qt::UTC));

    // A staleness change is a change; the absent problems clear.
    pixel.isStale = true;
    server->emitEvent(HostEvent::Clients{{pixel}});
    server->emitEvent(HostEvent::GamepadProblem{std::nullopt});
    server->emitEvent(HostEvent::Listener{ListenerState::failed("Address in use")});
    drainEvents();
    EXPECT_EQ(clients.count(), 2);
    EXPECT_EQ(model->gamepadProblem(), "");
    EXPECT_EQ(model->listenerState(), "failed");
    EXPECT_EQ(model->listenerError(), "Address in use");
    EXPECT_EQ(model->listenerPort(), 0);
    EXPECT_EQ(port.count(), 2);
}

TEST_F(HostModelTest, StatusTextFollowsTheListenerAndTheControllers) {
    auto model = make();
    auto apply = [&](const HostEvent& event) { model->handle(event); };

    apply(HostEvent::Listener{ListenerState::ready(5000)});
    EXPECT_EQ(model->statusText(), QString::fromUtf8("Ready \u2014 waiting for a controller"));
    apply(HostEvent::Clients{{client(2, "A")}});
    EXPECT_EQ(model->statusText(), "1 controller connected");
    apply(HostEvent::Clients{{client(1, "A"), client(2, "B"), client(4, "C", true)}});
    EXPECT_EQ(model->statusText(), "3 controllers connected");
    apply(HostEvent::Listener{ListenerState::failed("No network")});
    EXPECT_EQ(model->statusText(), "Network problem: No network");
    apply(HostEvent::Listener{ListenerState::starting()});
    EXPECT_EQ(model->statusText(), QString::fromUtf8("Starting\u2026"));
}

struct WarningCase {
    std::string name;
    OutputMode mode;
    bool inputAccess;
    bool gamepadAccess;
    std::optional<std::string> serverProblem;
    std::string expected;
};

class HostModelOutputWarning : public HostModelTest,
                               public testing::WithParamInterface<WarningCase> {};

TEST_P(HostModelOutputWarning, FollowsTheModeAndTheAccess) {
    const WarningCase& c = GetParam();
    settings.preset("outputMode", std::string(rawValue(c.mode)));
    inputAccess = c.inputAccess;
    gamepadAccess = c.gamepadAccess;
    auto model = make();
    model->handle(HostEvent::GamepadProblem{c.serverProblem});
    EXPECT_EQ(model->outputWarning().toStdString(), c.expected);
}

const std::string refused = "The system refused to create the virtual gamepad.";
const std::string needUhid = "Virtual gamepads need access to /dev/uinput. Use Keyboard & Mouse.";
const std::string needInput = "Allow input access so button presses reach your games.";

INSTANTIATE_TEST_SUITE_P(
    Table, HostModelOutputWarning,
    testing::Values(
        WarningCase{"KeysWithAccess", OutputMode::keyboardMouse, true, false, refused, ""},
        WarningCase{"KeysWithoutAccess", OutputMode::keyboardMouse, false, true, std::nullopt,
                    needInput},
        WarningCase{"GamepadFine", OutputMode::gamepad, false, true, std::nullopt, ""},
        WarningCase{"GamepadRefused", OutputMode::gamepad, true, true, refused, refused},
        WarningCase{"GamepadWithoutUhid", OutputMode::gamepad, true, false, std::nullopt, needUhid},
        WarningCase{"GamepadWithoutUhidAndRefused", OutputMode::gamepad, true, false, refused,
                    needUhid}),
    [](const auto& info) { return info.param.name; });

TEST_F(HostModelTest, OutputWarningNotifiesWhenTheModeChangesIt) {
    inputAccess = false;
    auto model = make();
    QSignalSpy warning(model.get(), &HostModel::outputWarningChanged);
    model->setOutputMode(OutputMode::gamepad);
    EXPECT_EQ(model->outputWarning(), "");
    model->handle(HostEvent::GamepadProblem{refused});
    EXPECT_EQ(model->outputWarning().toStdString(), refused);
    model->setOutputMode(OutputMode::keyboardMouse);
    EXPECT_EQ(model->outputWarning().toStdString(), needInput);
    EXPECT_EQ(warning.count(), 3);
}

TEST_F(HostModelTest, TheGamepadDeviceChoiceIsStoredSentAndDecidesTheAccessAsked) {
    hidAccess = false;
    settings.preset("outputMode", std::string("gamepad"));
    auto model = make();
    server->clearCalls();
    QSignalSpy changed(model.get(), &HostModel::gamepadDeviceChanged);
    EXPECT_EQ(model->property("gamepadDevice").toString(), "standard");
    EXPECT_TRUE(model->isGamepadEntitled());

    model->setProperty("gamepadDevice", "uhid");
    model->setProperty("gamepadDevice", "hid");
    model->setProperty("gamepadDevice", "hid");
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(settings.string("gamepadDevice"), "hid");
    EXPECT_EQ(server->calls(), std::vector<std::string>{"setGamepadDevice hid"});
    EXPECT_FALSE(model->isGamepadEntitled());
    EXPECT_EQ(model->outputWarning().toStdString(),
              "Virtual gamepads need access to /dev/uhid. Use Keyboard & Mouse.");
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
    QElapsedTimer more;
    more.start();
    waitUntil([&] { return more.elapsed() > 200; });
    EXPECT_EQ(trusted.count(), 1);
}

TEST_F(HostModelTest, RequestingAccessWithoutTheHelperOpensTheHelp) {
    inputAccess = false;
    auto model = make();
    model->requestAccessibility();
    EXPECT_EQ(opened, std::vector<std::string>{"Privacy_Accessibility"});

    // Granted meanwhile: the request checks at once and opens nothing.
    inputAccess = true;
    model->requestAccessibility();
    EXPECT_TRUE(model->isAccessibilityTrusted());
    EXPECT_EQ(opened.size(), 1u);
    // Input access alone (from another package's rule, say) still leaves gamepads to get.
    gamepadAccess = false;
    model->requestAccessibility();
    EXPECT_EQ(opened.size(), 2u);
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

TEST_F(HostModelTest, RequestingAccessRunsTheHelperOnceAndChecksWhenItEnds) {
    inputAccess = false;
    int started = 0;
    std::function<void(bool)> finish;
    accessRequest = [&](std::function<void(bool)> done) {
        ++started;
        finish = std::move(done);
        return true;
    };
    auto model = make();
    model->requestAccessibility();
    model->requestAccessibility(); // while the first still runs
    EXPECT_EQ(started, 1);
    EXPECT_TRUE(opened.empty());

    // The helper granted access and reports from its own thread; the poll is an hour away,
    // so only the check at the end can see it.
    inputAccess = true;
    onOtherThread([&] { finish(true); });
    drainEvents();
    EXPECT_TRUE(model->isAccessibilityTrusted());
    EXPECT_TRUE(opened.empty());
}

TEST_F(HostModelTest, AHelperThatGrantsNothingLeadsToTheHelp) {
    inputAccess = false;
    std::function<void(bool)> finish;
    accessRequest = [&](std::function<void(bool)> done) {
        finish = std::move(done);
        return true;
    };
    auto model = make();
    model->requestAccessibility();
    onOtherThread([&] { finish(false); });
    drainEvents();
    EXPECT_EQ(opened, std::vector<std::string>{"Privacy_Accessibility"});

    // A finished request can be made again.
    finish = nullptr;
    model->requestAccessibility();
    EXPECT_TRUE(static_cast<bool>(finish));
}

TEST_F(HostModelTest, OnlyTheKnownSettingsAnchorsOpenAnything) {
    auto model = make();
    model->openPrivacySettings("Privacy_ScreenCapture");
    model->openPrivacySettings("Privacy_Camera");
    model->openPrivacySettings("");
    EXPECT_EQ(opened, std::vector<std::string>{"Privacy_ScreenCapture"});
}

// MARK: Audio rumble

TEST_F(HostModelTest, AudioRumbleRunsWhileSwitchedOnAndZeroesEverythingWhenOff) {
    auto model = make();
    QSignalSpy listening(model.get(), &HostModel::isListeningToAudioChanged);

    model->setRumbleFromAudio(true);
    EXPECT_EQ(settings.writtenKeys(), std::vector<std::string>{"rumbleFromAudio"});
    EXPECT_TRUE(settings.boolean("rumbleFromAudio"));
    EXPECT_TRUE(model->isListeningToAudio());
    EXPECT_EQ(model->audioRumbleProblem(), "");
    EXPECT_EQ(sound->connects, 1);

    // Loud audio on the capture context reaches the server directly and the meter through the
    // main thread.
    clock->advance(20ms);
    onOtherThread([&] { sound->play(0.3f); });
    ASSERT_FALSE(server->audio().empty());
    EXPECT_TRUE(server->audio().back().isActive());
    ASSERT_TRUE(waitUntil([&] { return model->rumbleLow() > 0 || model->rumbleHigh() > 0; }));

    model->setRumbleFromAudio(false);
    EXPECT_FALSE(model->isListeningToAudio());
    EXPECT_EQ(model->rumbleLow(), 0);
    EXPECT_EQ(model->rumbleHigh(), 0);
    EXPECT_EQ(sound->disconnects, 1);
    EXPECT_EQ(server->audio().back(), (RumbleLevels{0, 0}));
    drainEvents();
    EXPECT_EQ(model->rumbleLow(), 0);
    EXPECT_EQ(model->rumbleHigh(), 0);
    EXPECT_EQ(listening.count(), 2);

    // Same value again: nothing written, nothing started.
    model->setRumbleFromAudio(false);
    EXPECT_EQ(settings.writeCount(), 2u);
    EXPECT_EQ(sound->connects, 1);
}

TEST_F(HostModelTest, AFailedCaptureKeepsTheSwitchOnAndShowsTheProblemUntilSwitchedOff) {
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

    // Switching on again retries.
    sound->connectStatus = 0;
    model->setRumbleFromAudio(true);
    EXPECT_TRUE(model->isListeningToAudio());
    EXPECT_EQ(model->audioRumbleProblem(), "");
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

TEST_F(HostModelTest, AStoredSwitchStartsCaptureAtStartUp) {
    settings.preset("rumbleFromAudio", true);
    auto model = make();
    EXPECT_TRUE(model->rumbleFromAudio());
    EXPECT_TRUE(model->isListeningToAudio());
    EXPECT_EQ(sound->connects, 1);
    EXPECT_EQ(settings.writeCount(), 0u);
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
    drainEvents();
    QElapsedTimer waited;
    waited.start();
    waitUntil([&] { return waited.elapsed() > 300; });
    EXPECT_EQ(sound->connects, 1) << "rebuilt before the spacing had passed";

    clock->advance(60ms);
    ASSERT_TRUE(waitUntil([&] { return sound->connects == 2; }));
    EXPECT_EQ(sound->disconnects, 1);
    EXPECT_TRUE(model->isListeningToAudio());

    // The burst made one rebuild, and a late notice of the replaced capture makes none.
    firstWatch();
    clock->advance(60ms);
    waited.restart();
    waitUntil([&] { return waited.elapsed() > 300; });
    EXPECT_EQ(sound->connects, 2);

    // The new capture's own notice rebuilds again, at once now that the spacing has passed.
    sound->changeOutput();
    ASSERT_TRUE(waitUntil([&] { return sound->connects == 3; }));
}

TEST_F(HostModelTest, AnOutputChangeAfterSwitchingOffStartsNothing) {
    rebuildSpacing = 0ms;
    settings.preset("rumbleFromAudio", true);
    auto model = make();
    AudioCapture::ChangeHandler watch = sound->onChange;
    watch(); // posted, not yet run
    model->setRumbleFromAudio(false);
    drainEvents();
    EXPECT_EQ(sound->connects, 1);
    EXPECT_FALSE(model->isListeningToAudio());
}

// MARK: Lifetime

TEST_F(HostModelTest, EventsAndLevelsAfterTheModelIsGoneAreDropped) {
    settings.preset("rumbleFromAudio", true);
    auto model = make();
    AudioCapture::ChangeHandler watch = sound->onChange;
    clock->advance(20ms);
    sound->play(0.3f);                         // a level posted to the model
    server->emitEvent(HostEvent::Pin{"1234"}); // an event posted to the model
    model.reset();                             // gone before either is delivered

    // The server heard the end of audio rumble.
    EXPECT_EQ(server->audio().back(), (RumbleLevels{0, 0}));

    // Later calls from the server's and the capture's threads find nobody.
    onOtherThread([&] {
        server->emitEvent(HostEvent::Listener{ListenerState::ready(1)});
        watch();
    });
    drainEvents();
    SUCCEED() << "nothing ran on the destroyed model (checked by the sanitizers)";
}

} // namespace
