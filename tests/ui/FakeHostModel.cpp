#include "FakeHostModel.h"

#include <QDateTime>
#include <QHash>
#include <QMetaProperty>

namespace {

// Key names of the codes the presets and the tests use (the Linux wording of the key names).
const QHash<int, QString> keyNames = {
    {0, "A"},      {1, "S"},    {3, "F"},      {6, "Z"},       {7, "X"},           {8, "C"},
    {9, "V"},      {12, "Q"},   {13, "W"},     {14, "E"},      {15, "R"},          {18, "1"},
    {19, "2"},     {20, "3"},   {21, "4"},     {36, "Return"}, {46, "M"},          {48, "Tab"},
    {49, "Space"}, {53, "Esc"}, {56, "Shift"}, {100, "F8"},    {111, "F12"},       {122, "F1"},
    {123, "←"},    {124, "→"},  {125, "↓"},    {126, "↑"},     {60, "Right Shift"}};

// X11/xkb key codes (evdev + 8) of the keys the tests press, and their macOS virtual key codes.
const QHash<int, int> scanCodes = {
    {9, 53} /* Esc */, {24, 12} /* Q */, {50, 56} /* Left Shift */, {66, 57} /* Caps Lock */};

} // namespace

void FakeHostModel::reset() {
    const FakeHostModel fresh;
    for (int i = staticMetaObject.propertyOffset(); i < staticMetaObject.propertyCount(); ++i) {
        const QMetaProperty property = staticMetaObject.property(i);
        if (property.isWritable()) {
            property.write(this, property.read(&fresh));
        }
    }
    resetCalls();
}

void FakeHostModel::setButtonAction(int button, const QString& kind, int code,
                                    const QString& mouse) {
    log(QStringLiteral("setButtonAction(%1,%2,%3,%4)").arg(button).arg(kind).arg(code).arg(mouse));
    if (button >= 0 && button < buttons_.size()) {
        QVariantList next = buttons_;
        next[button] = action(kind, kind == "key" ? code : 0, kind == "mouse" ? mouse : QString());
        write(buttons_, next);
    }
}

void FakeHostModel::applyPreset(const QString& name) {
    log("applyPreset(" + name + ")");
    auto key = [this](int code) { return action(QStringLiteral("key"), code); };
    auto mouse = [this](const char* button) { return action(QStringLiteral("mouse"), 0, button); };
    const QVariantMap none = action(QStringLiteral("none"));
    if (name == "retro") {
        write(buttons_,
              {key(6), key(7), key(0), key(1), key(12), key(13), key(14), key(15), none, none,
               key(126), key(125), key(123), key(124), key(60), key(36), key(122), key(100), none});
        write(leftStick_, QStringLiteral("arrows"));
        write(rightStick_, QStringLiteral("none"));
    } else if (name == "shooter") {
        write(buttons_, {key(49), key(8), key(15), key(3), key(12), key(14), mouse("right"),
                         mouse("left"), key(56), key(9), key(18), key(20), key(21), key(19),
                         key(48), key(53), none, key(111), key(46)});
        write(leftStick_, QStringLiteral("wasd"));
        write(rightStick_, QStringLiteral("mouse"));
    } else {
        return;
    }
    write(pointerSpeed_, 1400.0);
    write(gyroSpeed_, 1100.0);
}

QVariantMap FakeHostModel::action(const QString& kind, int code, const QString& mouse) const {
    const QString label = kind == "key"      ? keyName(code)
                          : mouse == "left"  ? QStringLiteral("Left Click")
                          : mouse == "right" ? QStringLiteral("Right Click")
                          : kind == "mouse"  ? QStringLiteral("Middle Click")
                                             : QStringLiteral("\u2014");
    return {{"kind", kind}, {"code", code}, {"mouse", mouse}, {"label", label}};
}

QString FakeHostModel::statusText() const {
    if (clients_.isEmpty()) {
        return QStringLiteral("Ready \u2014 waiting for a controller");
    }
    return clients_.size() == 1 ? QStringLiteral("1 controller connected")
                                : QStringLiteral("%1 controllers connected").arg(clients_.size());
}

QString FakeHostModel::outputWarning() const {
    if (outputMode_ != "gamepad") {
        return isAccessibilityTrusted_
                   ? QString()
                   : QStringLiteral("Allow input access so button presses reach your games.");
    }
    if (isGamepadEntitled_) {
        return gamepadProblem_;
    }
    return QStringLiteral("Virtual gamepads need access to /dev/%1. Use Keyboard & Mouse.")
        .arg(gamepadDevice_ == "hid" ? "uhid" : "uinput");
}

QString FakeHostModel::keyName(int macCode) const {
    return keyNames.value(macCode, QStringLiteral("Key %1").arg(macCode));
}

int FakeHostModel::macKeyCodeForScanCode(int nativeScanCode) const {
    return scanCodes.value(nativeScanCode, -1);
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
    return {{"id", "DEVICE-" + name}, {"name", name}, {"lastSeen", lastSeen}};
}
