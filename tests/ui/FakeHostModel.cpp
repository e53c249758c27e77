#include "FakeHostModel.h"

#include <QHash>

namespace {

// Key names of the codes the presets and the tests use (the Linux wording of the key names).
const QHash<int, QString>& keyNames() {
    static const QHash<int, QString> names = {
        {0, "A"},        {1, "S"},        {3, "F"},          {6, "Z"},        {7, "X"},
        {8, "C"},        {9, "V"},        {12, "Q"},         {13, "W"},       {14, "E"},
        {15, "R"},       {18, "1"},       {19, "2"},         {20, "3"},       {21, "4"},
        {36, "Return"},  {46, "M"},       {48, "Tab"},       {49, "Space"},   {53, "Esc"},
        {55, "Super"},   {56, "Shift"},   {57, "Caps Lock"}, {59, "Control"}, {60, "Right Shift"},
        {100, "F8"},     {111, "F12"},    {122, "F1"},       {123, "\u2190"}, {124, "\u2192"},
        {125, "\u2193"}, {126, "\u2191"},
    };
    return names;
}

// X11/xkb key codes (evdev + 8) of a few keys and their macOS virtual key codes.
const QHash<int, int>& scanCodes() {
    static const QHash<int, int> codes = {
        {9, 53},   // KEY_ESC
        {24, 12},  // KEY_Q
        {38, 0},   // KEY_A
        {50, 56},  // KEY_LEFTSHIFT
        {62, 60},  // KEY_RIGHTSHIFT
        {65, 49},  // KEY_SPACE
        {66, 57},  // KEY_CAPSLOCK
        {37, 59},  // KEY_LEFTCTRL
        {133, 55}, // KEY_LEFTMETA
    };
    return codes;
}

} // namespace

FakeHostModel::FakeHostModel(QObject* parent) : QObject(parent) {
    for (auto signal : {&FakeHostModel::listenerStateChanged, &FakeHostModel::listenerPortChanged,
                        &FakeHostModel::listenerErrorChanged, &FakeHostModel::clientsChanged}) {
        connect(this, signal, this, &FakeHostModel::statusTextChanged);
    }
    for (auto signal :
         {&FakeHostModel::outputModeChanged, &FakeHostModel::isAccessibilityTrustedChanged,
          &FakeHostModel::isGamepadEntitledChanged, &FakeHostModel::gamepadProblemChanged,
          &FakeHostModel::gamepadDeviceChanged}) {
        connect(this, signal, this, &FakeHostModel::outputWarningChanged);
    }
    reset();
}

void FakeHostModel::reset() {
    setProperty("listenerState", QStringLiteral("ready"));
    setProperty("listenerPort", 52110);
    setProperty("listenerError", QString());
    setClients({});
    setProperty("pin", QStringLiteral("4821"));
    setProperty("trustedDevices", QVariantList{});
    setProperty("isAccessibilityTrusted", true);
    setProperty("isGamepadEntitled", true);
    setProperty("gamepadProblem", QString());
    setProperty("gamepadDevice", QStringLiteral("standard"));
    setProperty("advertisementProblem", QString());
    setProperty("pairingPaused", false);
    setProperty("pairingPausedUntil", QString());
    setProperty("hostName", QStringLiteral("Workshop PC"));
    outputMode_ = QStringLiteral("keyboardMouse");
    emit outputModeChanged();
    rumbleFromAudio_ = false;
    emit rumbleFromAudioChanged();
    webPageEnabled_ = true;
    webPageAddress_ = QStringLiteral("http://192.168.1.20:41234/");
    emit webPageChanged();
    rumbleStrength_ = 1.0;
    emit rumbleStrengthChanged();
    setRumbleLevels(0, 0);
    setProperty("audioRumbleProblem", QString());
    setProperty("isListeningToAudio", false);
    mapping_ = preset(QStringLiteral("shooter"));
    emit mappingChanged();
    setProperty("sdlMapping",
                QStringLiteral("05000000091200000100000000010000,JOLTO Controller,a:b0,b:b1,x:b2,"
                               "y:b3,leftshoulder:b4,rightshoulder:b5,platform:Linux,"));
    resetCalls();
}

void FakeHostModel::resetCalls() {
    calls_.clear();
    mappingWrites_ = 0;
    emit callsChanged();
}

void FakeHostModel::log(const QString& call) {
    calls_.append(call);
    emit callsChanged();
}

void FakeHostModel::setClients(const QVariantList& clients) {
    if (clients_ == clients) {
        return;
    }
    clients_ = clients;
    emit clientsChanged();
}

void FakeHostModel::setOutputMode(const QString& mode) {
    log(QStringLiteral("outputMode=") + mode);
    if (mode == outputMode_) {
        return;
    }
    outputMode_ = mode;
    emit outputModeChanged();
}

void FakeHostModel::setRumbleFromAudio(bool on) {
    log(QStringLiteral("rumbleFromAudio=") + (on ? "true" : "false"));
    if (on == rumbleFromAudio_) {
        return;
    }
    rumbleFromAudio_ = on;
    emit rumbleFromAudioChanged();
}

void FakeHostModel::setRumbleStrength(double strength) {
    log(QStringLiteral("rumbleStrength=") + QString::number(strength));
    if (strength == rumbleStrength_) {
        return;
    }
    rumbleStrength_ = strength;
    emit rumbleStrengthChanged();
}

void FakeHostModel::setRumbleLevels(double low, double high) {
    if (low == rumbleLow_ && high == rumbleHigh_) {
        return;
    }
    rumbleLow_ = low;
    rumbleHigh_ = high;
    emit rumbleLevelsChanged();
}

void FakeHostModel::assignMapping(const Mapping& mapping) {
    if (mapping == mapping_) {
        return;
    }
    mapping_ = mapping;
    ++mappingWrites_;
    emit mappingChanged();
    emit callsChanged();
}

void FakeHostModel::setLeftStickAction(const QString& action) {
    log(QStringLiteral("leftStickAction=") + action);
    Mapping next = mapping_;
    next.leftStick = action;
    assignMapping(next);
}

void FakeHostModel::setRightStickAction(const QString& action) {
    log(QStringLiteral("rightStickAction=") + action);
    Mapping next = mapping_;
    next.rightStick = action;
    assignMapping(next);
}

void FakeHostModel::setPointerSpeed(double speed) {
    log(QStringLiteral("pointerSpeed=") + QString::number(speed));
    Mapping next = mapping_;
    next.pointerSpeed = speed;
    assignMapping(next);
}

void FakeHostModel::setGyroSpeed(double speed) {
    log(QStringLiteral("gyroSpeed=") + QString::number(speed));
    Mapping next = mapping_;
    next.gyroSpeed = speed;
    assignMapping(next);
}

void FakeHostModel::setButtonAction(int button, const QString& kind, int code,
                                    const QString& mouse) {
    log(QStringLiteral("setButtonAction(%1,%2,%3,%4)").arg(button).arg(kind).arg(code).arg(mouse));
    if (button < 0 || button >= mapping_.buttons.size()) {
        return;
    }
    Mapping next = mapping_;
    Action action;
    action.kind = kind;
    if (kind == QLatin1String("key")) {
        action.code = code;
    } else if (kind == QLatin1String("mouse")) {
        action.mouse = mouse;
    }
    next.buttons[button] = action;
    assignMapping(next);
}

void FakeHostModel::applyPreset(const QString& name) {
    log(QStringLiteral("applyPreset(") + name + ")");
    if (name == QLatin1String("shooter") || name == QLatin1String("retro")) {
        assignMapping(preset(name));
    }
}

FakeHostModel::Mapping FakeHostModel::preset(const QString& name) {
    auto key = [](int code) { return Action{QStringLiteral("key"), code, {}}; };
    auto mouse = [](const char* button) { return Action{QStringLiteral("mouse"), 0, button}; };
    const Action none;
    Mapping m;
    if (name == QLatin1String("retro")) {
        m.buttons = {key(6),  key(7),  key(0),   key(1),   key(12),  key(13),  key(14),
                     key(15), none,    none,     key(126), key(125), key(123), key(124),
                     key(60), key(36), key(122), key(100), none};
        m.leftStick = QStringLiteral("arrows");
        m.rightStick = QStringLiteral("none");
    } else {
        m.buttons = {key(49),       key(8),  key(15), key(3),   key(12), key(14), mouse("right"),
                     mouse("left"), key(56), key(9),  key(18),  key(20), key(21), key(19),
                     key(48),       key(53), none,    key(111), key(46)};
        m.leftStick = QStringLiteral("wasd");
        m.rightStick = QStringLiteral("mouse");
    }
    return m;
}

QString FakeHostModel::label(const Action& action) const {
    if (action.kind == QLatin1String("key")) {
        return keyName(action.code);
    }
    if (action.kind == QLatin1String("mouse")) {
        if (action.mouse == QLatin1String("left")) {
            return QStringLiteral("Left Click");
        }
        if (action.mouse == QLatin1String("right")) {
            return QStringLiteral("Right Click");
        }
        return QStringLiteral("Middle Click");
    }
    return QStringLiteral("\u2014");
}

QVariantList FakeHostModel::buttonActions() const {
    QVariantList list;
    for (const Action& action : mapping_.buttons) {
        list.append(QVariantMap{{"kind", action.kind},
                                {"code", action.code},
                                {"mouse", action.mouse},
                                {"label", label(action)}});
    }
    return list;
}

QString FakeHostModel::statusText() const {
    if (listenerState_ == QLatin1String("failed")) {
        return QStringLiteral("Network problem: ") + listenerError_;
    }
    if (listenerState_ != QLatin1String("ready")) {
        return QStringLiteral("Starting\u2026");
    }
    if (clients_.isEmpty()) {
        return QStringLiteral("Ready \u2014 waiting for a controller");
    }
    if (clients_.size() == 1) {
        return QStringLiteral("1 controller connected");
    }
    return QStringLiteral("%1 controllers connected").arg(clients_.size());
}

QString FakeHostModel::outputWarning() const {
    if (outputMode_ == QLatin1String("gamepad")) {
        if (isGamepadEntitled_) {
            return gamepadProblem_;
        }
        return gamepadDevice_ == QLatin1String("hid")
                   ? QStringLiteral("Virtual gamepads need access to /dev/uhid. Use Keyboard & "
                                    "Mouse.")
                   : QStringLiteral("Virtual gamepads need access to /dev/uinput. Use Keyboard & "
                                    "Mouse.");
    }
    return isAccessibilityTrusted_
               ? QString()
               : QStringLiteral("Allow input access so button presses reach your games.");
}

void FakeHostModel::requestAccessibility() {
    log(QStringLiteral("requestAccessibility()"));
}

void FakeHostModel::openPrivacySettings(const QString& anchor) {
    log(QStringLiteral("openPrivacySettings(") + anchor + ")");
}

void FakeHostModel::regeneratePIN() {
    log(QStringLiteral("regeneratePIN()"));
}

void FakeHostModel::forget(const QString& deviceId) {
    log(QStringLiteral("forget(") + deviceId + ")");
}

void FakeHostModel::testRumble() {
    log(QStringLiteral("testRumble()"));
}

QString FakeHostModel::keyName(int macCode) const {
    return keyNames().value(macCode, QStringLiteral("Key %1").arg(macCode));
}

int FakeHostModel::macKeyCodeForScanCode(int nativeScanCode) const {
    return scanCodes().value(nativeScanCode, -1);
}

QVariantMap FakeHostModel::makeState(int buttons, double leftX, double leftY, double rightX,
                                     double rightY, double leftTrigger, double rightTrigger) const {
    return {{"buttons", buttons},
            {"leftX", leftX},
            {"leftY", leftY},
            {"rightX", rightX},
            {"rightY", rightY},
            {"leftTrigger", leftTrigger},
            {"rightTrigger", rightTrigger}};
}

QVariantMap FakeHostModel::makeClient(const QString& name, int playerNumber, bool isStale,
                                      const QVariantMap& state) const {
    return {{"id", QStringLiteral("00000000-0000-4000-8000-00000000000%1").arg(playerNumber)},
            {"name", name},
            {"playerNumber", playerNumber},
            {"isStale", isStale},
            {"state", state}};
}

QVariantMap FakeHostModel::makeDevice(const QString& name, double secondsAgo) const {
    const auto lastSeen =
        QDateTime::currentDateTime().addMSecs(static_cast<qint64>(-secondsAgo * 1000));
    return {{"id", QStringLiteral("DEVICE-") + name}, {"name", name}, {"lastSeen", lastSeen}};
}
