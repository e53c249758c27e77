#include "FakeHostModel.h"

#include <QDateTime>
#include <QMetaProperty>

#include "output/KeyNames.h"
#include "output/MappingPreset.h"
#include "platform/linux/MacKeyCodes.h"

namespace {

QString text(std::string_view raw) {
    return QString::fromUtf8(raw.data(), static_cast<qsizetype>(raw.size()));
}

// One entry of buttonActions as the views read it, labelled with the program's own names.
QVariantMap entry(const jolto::KeyAction& action) {
    const char* kind = action.isKey() ? "key" : action.isMouse() ? "mouse" : "none";
    return {{"kind", kind}, {"label", QString::fromStdString(label(action))}};
}

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
    const auto clicked = jolto::mouseButtonFromRaw(mouse.toStdString());
    const auto action = kind == "key" ? jolto::KeyAction::key(static_cast<std::uint16_t>(code))
                        : kind == "mouse" && clicked ? jolto::KeyAction::mouse(*clicked)
                                                     : jolto::KeyAction::none();
    if (jolto::controllerButtonFromRaw(button)) {
        QVariantList next = buttons_;
        next[button] = entry(action);
        write(buttons_, next);
    }
}

void FakeHostModel::applyPreset(const QString& name) {
    log("applyPreset(" + name + ")");
    if (const auto preset = jolto::mappingPresetFromRaw(name.toStdString())) {
        const jolto::KeyMapping& mapping = jolto::mapping(*preset);
        QVariantList buttons;
        for (auto button : jolto::allControllerButtons) {
            buttons.append(entry(mapping.action(button)));
        }
        write(buttons_, buttons);
        write(leftStick_, text(rawValue(mapping.leftStick)));
        write(rightStick_, text(rawValue(mapping.rightStick)));
        write(pointerSpeed_, mapping.pointerSpeed);
        write(gyroSpeed_, mapping.gyroSpeed);
    }
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
    return QString::fromStdString(jolto::keyName(static_cast<std::uint16_t>(macCode)));
}

// X11/xkb key codes are the evdev codes plus 8.
int FakeHostModel::macKeyCodeForScanCode(int nativeScanCode) const {
    const auto mac = jolto::macKeyFromLinux(static_cast<std::uint16_t>(nativeScanCode - 8));
    return mac ? *mac : -1;
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
