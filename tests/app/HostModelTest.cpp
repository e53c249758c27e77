#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <QDateTime>
#include <QLocale>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QSignalSpy>
#include <QVariantMap>

#include <gtest/gtest.h>

#include "ModelFixture.h"
#include "QtTestSupport.h"
#include "app/HeadlessRunner.h"
#include "fakes/CapturingLogSink.h"

using namespace jolto;
using namespace std::chrono_literals;

namespace {

using Calls = std::vector<std::string>;

const std::string kStrengthOne = "setRumbleStrength " + std::to_string(1.0f);
const QString kStarting = QString::fromUtf8("Starting\u2026");
const std::string refused = "The system refused to create the virtual gamepad.";
const std::string needUinput = "Virtual gamepads need access to /dev/uinput. Use Keyboard & Mouse.";
const std::string needUhid = "Virtual gamepads need access to /dev/uhid. Use Keyboard & Mouse.";
const std::string needInput = "Allow input access so button presses reach your games.";

// Runs `work` on a thread of its own, as the server's or the capture's context would.
void onOtherThread(const std::function<void()>& work) {
    std::thread(work).join();
}

class Notices {
public:
    explicit Notices(const HostModel& model) {
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            if (meta.method(i).methodType() == QMetaMethod::Signal) {
                spies_.push_back(std::make_unique<QSignalSpy>(&model, meta.method(i)));
            }
        }
    }
    // Since the last call, the signal of each property named has come once, and no other.
    void expect(const QString& properties) {
        std::multiset<std::string> expected, emitted;
        for (const QString& name : properties.split(' ', Qt::SkipEmptyParts)) {
            const QMetaProperty property = meta.property(meta.indexOfProperty(name.toLatin1()));
            expected.insert(property.notifySignal().methodSignature().toStdString());
        }
        for (const auto& spy : spies_) {
            for (; !spy->isEmpty(); spy->removeFirst()) {
                emitted.insert(spy->signal().toStdString());
            }
        }
        EXPECT_EQ(emitted, expected);
    }

private:
    const QMetaObject& meta = HostModel::staticMetaObject;
    std::vector<std::unique_ptr<QSignalSpy>> spies_;
};

struct Printout {
    ~Printout() {
        std::fclose(file);
        std::free(text);
    }
    // What was printed since the last call.
    std::string next() {
        std::fflush(file);
        std::string fresh(text + seen, size - seen);
        seen = size;
        return fresh;
    }
    char* text = nullptr;
    std::size_t size = 0, seen = 0;
    std::FILE* file = open_memstream(&text, &size);
};

class HostModelTest : public testing::Test, protected ModelPorts {
protected:
    ScopedLogCapture log;
};

// A store of unusable values (only the exact raw ones select gamepads and HID) starts the model
// as an empty one would. A value equal to the one in force, or not valid, is neither stored nor
// sent (the strength alone is, the slider's last value); a model started anew uses the store.
TEST_F(HostModelTest, EachSettingIsStoredSentAndNotifiedOnlyWhenItChanges) {
    settings.presetText("keyMapping", "{\"buttons\": 7}");
    settings.preset("rumbleStrength", std::nan(""));
    settings.preset("outputMode", std::string("Gamepad"));
    settings.preset("gamepadDevice", std::string("HID"));
    computerName = "";
    auto model = make();
    EXPECT_EQ(server->takeCalls(), (Calls{kStrengthOne, "setWebPage on", "start keyboardMouse"}));
    EXPECT_EQ(server->mappings(), std::vector{KeyMapping::shooter()});
    EXPECT_EQ(serverHostName, "Linux");
    EXPECT_EQ(model->hostName(), "Linux");
    EXPECT_EQ(settings.writeCount(), 0u);
    EXPECT_EQ(model->listenerPort(), 0);
    EXPECT_EQ(model->pin(), HostModel::unknownPIN);

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
    Notices notices(*model);
    for (const auto& step : steps) {
        SCOPED_TRACE(std::string(step.property) + " " + step.value.toString().toStdString());
        const auto writes = settings.writeCount();
        const QVariant before = model->property(step.property);
        ASSERT_TRUE(model->setProperty(step.property, step.value));
        const bool changed = model->property(step.property) != before;
        notices.expect(changed ? step.property : "");
        EXPECT_EQ(server->takeCalls(), step.call.empty() ? Calls{} : Calls{step.call});
        ASSERT_EQ(settings.writeCount(), writes + (step.written ? 1 : 0));
        if (step.written) {
            EXPECT_EQ(settings.writtenKeys().back(), step.written);
            EXPECT_EQ(model->property(step.property), step.value);
        }
    }

    // Unknown, out of range or unchanged actions and presets do nothing.
    const auto writes = settings.writeCount();
    model->applyPreset("racing");
    const std::vector<std::tuple<int, const char*, int, const char*>> ignored = {
        {0, "key", 49, ""},    {-1, "key", 1, ""},  {19, "key", 1, ""},     {0, "key", -1, ""},
        {0, "key", 70000, ""}, {0, "bogus", 1, ""}, {0, "mouse", 0, "side"}};
    for (const auto& [button, kind, code, mouse] : ignored) {
        model->setButtonAction(button, kind, code, mouse);
    }
    model->regeneratePIN();
    model->forget("0a1b2c3d-0000-4000-8000-00000000abcd");
    model->forget("not a device");
    model->testRumble();
    EXPECT_EQ(
        server->takeCalls(),
        (Calls{"regeneratePIN", "forget 0A1B2C3D-0000-4000-8000-00000000ABCD", "testRumble"}));
    notices.expect("");
    model->applyPreset("retro");
    notices.expect("buttonActions");
    model->setButtonAction(0, "mouse", 0, "middle");
    notices.expect("buttonActions");
    KeyMapping expected = KeyMapping::retro();
    expected.setAction(ControllerButton::south, KeyAction::mouse(MouseButton::middle));
    EXPECT_EQ(server->mappings().back(), expected);
    EXPECT_EQ(settings.writeCount(), writes + 2);

    // What the views read back.
    model->applyPreset("shooter");
    model->setButtonAction(rawValue(ControllerButton::home), "none", 5, "left");
    const QVariantList actions = model->buttonActions();
    ASSERT_EQ(actions.size(), 19);
    EXPECT_EQ(actions[0], (QVariantMap{{"kind", "key"}, {"code", 49}, {"label", "Space"}}));
    EXPECT_EQ(actions[rawValue(ControllerButton::leftTrigger)],
              (QVariantMap{{"kind", "mouse"}, {"mouse", "right"}, {"label", "Right Click"}}));
    EXPECT_EQ(actions[rawValue(ControllerButton::home)],
              (QVariantMap{{"kind", "none"}, {"label", QString::fromUtf8("\u2014")}}));
    EXPECT_EQ(model->keyName(-1), "Key -1");
    // X11/xkb codes are evdev + 8: 38 is KEY_A (mac 0); below 8 there is no evdev code.
    for (auto [scanCode, mac] : {std::pair{38, 0}, {0, -1}, {7, -1}}) {
        EXPECT_EQ(model->macKeyCodeForScanCode(scanCode), mac) << scanCode;
    }

    server->takeCalls();
    computerName = "Workshop PC";
    auto again = make();
    EXPECT_EQ(server->takeCalls(),
              (Calls{"setRumbleStrength " + std::to_string(1.75f), "setGamepadDevice hid",
                     "setWebPage off", "start gamepad"}));
    EXPECT_EQ(server->mappings().back(), model->mapping());
    EXPECT_EQ(serverHostName, "Workshop PC");
}

// Each row's event comes twice from the server's thread; the model applies it on the main thread
// and notifies once. The runner prints what the model knew at its start, then each change.
TEST_F(HostModelTest, EachEventUpdatesItsFieldsOnceAndTheRunnerPrintsEachChange) {
    inputAccess = false;
    gamepadAccess = false;
    pollInterval = 50ms;
    auto model = make();
    model->handle(HostEvent::Pin{"7310"});
    Printout out;
    HeadlessRunner runner(*model, out.file);
    EXPECT_EQ(out.next(), "listener starting\npin 7310\nproblem: \"" + needInput + "\"\n");

    const ClientSnapshot pixel = client(1, "Pixel");
    const ClientSnapshot tab = client(2, "Tab \"S9\"\n\t\\\x7F Grüße 🎮");
    const std::string tabName = R"("Tab \"S9\"\n\x09\\\x7F Grüße 🎮")";
    ClientSnapshot moved = tab;
    moved.playerNumber = 3;
    moved.state.buttons.insert(ControllerButton::east);
    moved.state.buttons.insert(ControllerButton::start);
    moved.state.leftStick = {0.25f, -0.5f};
    moved.state.rightStick = {0.125f, 1.0f};
    moved.state.leftTrigger = 0.5f;
    moved.state.rightTrigger = 0.75f;
    ClientSnapshot stale = moved;
    stale.isStale = true;
    const std::string page = "http://10.0.0.2:41234/";
    const QString waiting = QString::fromUtf8("Ready \u2014 waiting for a controller");
    const QString one = "1 controller connected";
    const std::string left2 = "controller left player=2 name=" + tabName + "\n";
    struct Step {
        HostEvent event;
        QString notified; // the properties whose signal comes, once each
        QString status;
        std::string printed;
    };
    const std::vector<Step> steps = {
        {HostEvent::Listener{ListenerState::ready(40123)}, "listenerState listenerPort statusText",
         waiting, "listener ready port=40123\n"},
        {HostEvent::Pin{"0042"}, "pin", waiting, "pin 0042\n"},
        // The page's address once per opening.
        {HostEvent::WebPage{ListenerState::ready(41234), page}, "webPageAddress", waiting,
         "web " + page + "\n"},
        {HostEvent::WebPage{ListenerState::failed({}), {}}, "webPageAddress", waiting, ""},
        {HostEvent::WebPage{ListenerState::ready(41234), page}, "webPageAddress", waiting,
         "web " + page + "\n"},
        {HostEvent::Clients{{pixel}}, "clients statusText", one,
         "controller joined player=1 name=\"Pixel\"\n"},
        {HostEvent::Clients{{pixel, tab}}, "clients statusText", "2 controllers connected",
         "controller joined player=2 name=" + tabName + "\n"},
        {HostEvent::Clients{{tab}}, "clients statusText", one,
         "controller left player=1 name=\"Pixel\"\n"},
        // Another number is a leave and a join; a stale player still counts.
        {HostEvent::Clients{{moved}}, "clients", one,
         left2 + "controller joined player=3 name=" + tabName + "\n"},
        {HostEvent::Clients{{stale}}, "clients", one, ""},
        {HostEvent::Trusted{{TrustedDevice{pixel.id, "Pixel", Uuid::random(), 86400.5}}},
         "trustedDevices", one, ""},
        {HostEvent::GamepadProblem{refused}, "gamepadProblem", one, ""},
        {HostEvent::Advertisement{"The Avahi daemon\nis not running."}, "advertisementProblem", one,
         "problem: \"The Avahi daemon\\nis not running.\"\n"},
        {HostEvent::Advertisement{std::nullopt}, "advertisementProblem", one, ""},
        {HostEvent::Listener{ListenerState::failed("Address in use")},
         "listenerState listenerPort listenerError statusText", "Network problem: Address in use",
         "listener failed error=\"Address in use\"\n"},
        {HostEvent::Listener{ListenerState::starting()}, "listenerState listenerError statusText",
         kStarting, "listener starting\n"},
    };
    Notices notices(*model);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        onOtherThread([&] {
            server->emitEvent(steps[i].event);
            server->emitEvent(steps[i].event);
        });
        notices.expect(""); // nothing applied on the server's thread
        drainEvents();
        notices.expect(steps[i].notified);
        EXPECT_EQ(model->statusText(), steps[i].status);
        EXPECT_EQ(out.next(), steps[i].printed);
    }
    EXPECT_EQ(model->gamepadProblem().toStdString(), refused);

    // Until the local time to the minute, rounded up, with the date only when not today.
    model->handle(HostEvent::PairingPause{std::chrono::seconds(3600)});
    notices.expect("pairingPaused");
    const std::string until = model->pairingPausedUntil().toStdString();
    EXPECT_EQ(out.next(), "pairing paused until=" + HeadlessRunner::quoted(until) + "\n");
    if (QDateTime::currentDateTime().addSecs(3660).date() == QDate::currentDate()) {
        const QTime shown = QLocale().toTime(QString::fromStdString(until), QLocale::ShortFormat);
        ASSERT_TRUE(shown.isValid()) << until;
        EXPECT_EQ(shown.second(), 0) << until;
        const int ahead = QTime::currentTime().secsTo(shown);
        EXPECT_TRUE(ahead >= 3599 && ahead <= 3660) << ahead;
    }
    model->handle(HostEvent::PairingPause{std::nullopt});
    model->handle(HostEvent::PairingPause{std::nullopt});
    notices.expect("pairingPaused");
    EXPECT_EQ(model->pairingPausedUntil(), "");
    EXPECT_EQ(out.next(), "");
    model->handle(HostEvent::PairingPause{std::chrono::seconds(1)});
    notices.expect("pairingPaused");
    EXPECT_TRUE(waitUntil([&] { return !model->pairingPaused(); }));
    notices.expect("pairingPaused");

    // The poll picks up access granted outside the program and has refused gamepads made.
    inputAccess = true;
    gamepadAccess = true;
    ASSERT_TRUE(
        waitUntil([&] { return model->isAccessibilityTrusted() && model->isGamepadEntitled(); }));
    waitUntil([] { return false; }, 200ms);
    notices.expect("isAccessibilityTrusted isGamepadEntitled outputWarning");
    EXPECT_EQ(std::ranges::count(server->takeCalls(), "retryGamepads"), 1);

    // What the views read; the last time seen is in seconds since 2001, the phone's reference.
    const QVariantMap state{{"buttons", (1 << 1) | (1 << 15)},
                            {"leftX", 0.25f},
                            {"leftY", -0.5f},
                            {"rightX", 0.125f},
                            {"rightY", 1.0f},
                            {"leftTrigger", 0.5f},
                            {"rightTrigger", 0.75f}};
    EXPECT_EQ(model->clientList(),
              (QVariantList{QVariantMap{{"id", "00000000-0000-4000-8000-000000000002"},
                                        {"name", QString::fromStdString(tab.name)},
                                        {"playerNumber", 3},
                                        {"isStale", true},
                                        {"state", state}}}));
    EXPECT_EQ(model->trustedDeviceList(),
              (QVariantList{QVariantMap{
                  {"id", "00000000-0000-4000-8000-000000000001"},
                  {"name", "Pixel"},
                  {"lastSeen", QDateTime(QDate(2001, 1, 2), QTime(0, 0, 0, 500), Qt::UTC)}}}));
}

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
        // Set after the start: each change must work the warning out anew.
        QStringList shown{model->outputWarning()};
        QObject::connect(model.get(), &HostModel::outputWarningChanged,
                         [&] { shown << model->outputWarning(); });
        model->setOutputMode(c.mode);
        model->setProperty("gamepadDevice", c.hid ? "hid" : "standard");
        // Before the server's problem arrives only the access warnings show.
        EXPECT_EQ(shown.back().toStdString(), c.expected == refused ? "" : c.expected);
        model->handle(HostEvent::GamepadProblem{c.serverProblem});
        EXPECT_EQ(shown.back().toStdString(), c.expected);
        EXPECT_EQ(std::ranges::adjacent_find(shown), shown.end()) << shown.join('|').toStdString();
        EXPECT_EQ(model->isGamepadEntitled(), !c.hid && c.gamepadAccess);
    }
}

// Without the helper, or when it granted nothing, the help opens unless the access is there by
// now. The poll is an hour away: only the check at the helper's end sees what it granted.
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

// A failing capture stays switched on, its problem shown and logged once per change; the retry
// schedule starts again at each switching on and each loss. Nothing runs on a model that is
// gone (the sanitizers check).
TEST_F(HostModelTest, AudioRumbleRetriesAFailedCaptureAndRunsWhileSwitchedOn) {
    const auto defaults = HostModelPlatform{}.audioRetryDelay;
    EXPECT_EQ((std::vector{defaults(1), defaults(2), defaults(3), defaults(4), defaults(9)}),
              (std::vector<std::chrono::milliseconds>{1s, 2s, 4s, 10s, 10s}));
    rebuildSpacing = 0ms;
    std::vector<int> attempts; // as asked of the schedule, on the main thread
    retryDelay = [&](int attempt) {
        attempts.push_back(attempt);
        return 1ms;
    };
    const auto expectAttemptsFromOne = [&] {
        std::vector<int> expected(attempts.size());
        std::iota(expected.begin(), expected.end(), 1);
        EXPECT_EQ(attempts, expected);
        attempts.clear();
    };
    sound->connectStatus = -3;
    auto model = make();
    model->setRumbleFromAudio(true);
    const std::string problem = "Couldn't connect to the sound server (error -3).";
    EXPECT_FALSE(model->isListeningToAudio());
    EXPECT_EQ(model->audioRumbleProblem().toStdString(), problem);
    ASSERT_TRUE(waitUntil([&] { return sound->connects >= 4; }));
    EXPECT_EQ(log->lines(LogLevel::error, "Model"),
              (std::vector<LogLine>{{LogLevel::error, "Model", "Audio rumble: " + problem}}));
    model->setRumbleFromAudio(false);
    EXPECT_EQ(model->audioRumbleProblem(), "");
    const int connects = sound->connects;
    drainEvents();
    EXPECT_FALSE(waitUntil([&] { return sound->connects > connects; }, 100ms));
    expectAttemptsFromOne();

    model->setRumbleFromAudio(true);
    ASSERT_TRUE(waitUntil([&] { return attempts.size() >= 2; }));
    sound->connectStatus = 0;
    ASSERT_TRUE(waitUntil([&] { return model->isListeningToAudio(); }));
    EXPECT_EQ(model->audioRumbleProblem(), "");
    expectAttemptsFromOne();
    EXPECT_EQ(log->lines(LogLevel::info, "Model").size(), 1u);

    sound->connectStatus = 6;
    sound->changeOutput();
    ASSERT_TRUE(waitUntil([&] { return attempts.size() >= 2; }));
    EXPECT_EQ(model->audioRumbleProblem(), "Couldn't connect to the sound server (error 6).");
    sound->connectStatus = 0;
    ASSERT_TRUE(waitUntil([&] { return model->isListeningToAudio(); }));
    expectAttemptsFromOne();
    EXPECT_EQ(log->lines(LogLevel::error, "Model").size(), 3u);

    clock->advance(20ms);
    onOtherThread([&] { sound->play(0.3f); });
    ASSERT_FALSE(server->audio().empty());
    EXPECT_TRUE(server->audio().back().isActive());
    ASSERT_TRUE(waitUntil([&] { return model->rumbleLow() > 0 || model->rumbleHigh() > 0; }));
    QSignalSpy listening(model.get(), &HostModel::isListeningToAudioChanged);
    const int disconnects = sound->disconnects;
    model->setRumbleFromAudio(false);
    model->setRumbleFromAudio(false);
    EXPECT_FALSE(model->isListeningToAudio());
    EXPECT_EQ(sound->disconnects, disconnects + 1);
    EXPECT_EQ(server->audio().back(), (RumbleLevels{0, 0}));
    for (int i = 0; i < 2; ++i) { // before and after what was posted has run
        EXPECT_EQ(model->rumbleLow(), 0);
        EXPECT_EQ(model->rumbleHigh(), 0);
        drainEvents();
    }
    EXPECT_EQ(listening.count(), 1);
    EXPECT_EQ(settings.writtenKeys(), (std::vector<std::string>(4, "rumbleFromAudio")));

    model->setRumbleFromAudio(true);
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

    // A notice pending when switched off, or delivered after, starts nothing.
    sound->changeOutput();
    drainEvents();
    sound->changeOutput();
    model->setRumbleFromAudio(false);
    drainEvents();
    model->setRumbleFromAudio(true);
    clock->advance(60ms);
    waitUntil([] { return false; }, 300ms);
    EXPECT_EQ(sound->connects, 4);
}

// A phone's name reaches the log through every Logger; none of it may start a line of its own.
TEST(LogEscaping, ControlCharactersOfAMessageAreEscaped) {
    ScopedLogCapture log;
    Logger("Server").info("Controller Pixel\njolto-host [Trust] error: \x1B[2J\u0085 Grüße 🎮");
    ASSERT_EQ(log->lines().size(), 1u);
    EXPECT_EQ(log->lines()[0].message,
              "Controller Pixel\\njolto-host [Trust] error: \\x1B[2J\\u0085 Grüße 🎮");
}

} // namespace
