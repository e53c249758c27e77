// The host model's editing of the key mapping: stick actions, speeds, button actions, presets and
// the key names and codes that the key capture needs. Every change goes through setMapping.
#include "app/HostModel.h"

#include <cmath>

#include <QVariantMap>

#include "output/KeyNames.h"
#include "output/MappingPreset.h"
#include "platform/linux/MacKeyCodes.h"

namespace jolto {

QString HostModel::leftStickAction() const {
    return QString::fromLatin1(rawValue(mapping_.leftStick).data(),
                               static_cast<qsizetype>(rawValue(mapping_.leftStick).size()));
}

QString HostModel::rightStickAction() const {
    return QString::fromLatin1(rawValue(mapping_.rightStick).data(),
                               static_cast<qsizetype>(rawValue(mapping_.rightStick).size()));
}

void HostModel::setLeftStickAction(const QString& action) {
    if (auto parsed = stickActionFromRaw(action.toStdString())) {
        KeyMapping next = mapping_;
        next.leftStick = *parsed;
        setMapping(next);
    }
}

void HostModel::setRightStickAction(const QString& action) {
    if (auto parsed = stickActionFromRaw(action.toStdString())) {
        KeyMapping next = mapping_;
        next.rightStick = *parsed;
        setMapping(next);
    }
}

void HostModel::setPointerSpeed(double speed) {
    if (std::isfinite(speed)) {
        KeyMapping next = mapping_;
        next.pointerSpeed = speed;
        setMapping(next);
    }
}

void HostModel::setGyroSpeed(double speed) {
    if (std::isfinite(speed)) {
        KeyMapping next = mapping_;
        next.gyroSpeed = speed;
        setMapping(next);
    }
}

QVariantList HostModel::buttonActions() const {
    QVariantList list;
    list.reserve(static_cast<qsizetype>(controllerButtonCount));
    for (auto button : allControllerButtons) {
        const KeyAction action = mapping_.action(button);
        QVariantMap map;
        switch (action.kind()) {
        case KeyAction::Kind::key:
            map.insert(QStringLiteral("kind"), QStringLiteral("key"));
            map.insert(QStringLiteral("code"), static_cast<int>(action.keyCode()));
            break;
        case KeyAction::Kind::mouse: {
            const auto raw = rawValue(action.mouseButton());
            map.insert(QStringLiteral("kind"), QStringLiteral("mouse"));
            map.insert(QStringLiteral("mouse"),
                       QString::fromLatin1(raw.data(), static_cast<qsizetype>(raw.size())));
            break;
        }
        case KeyAction::Kind::none:
            map.insert(QStringLiteral("kind"), QStringLiteral("none"));
            break;
        }
        map.insert(QStringLiteral("label"), QString::fromStdString(label(action)));
        list.append(map);
    }
    return list;
}

void HostModel::setButtonAction(int button, const QString& kind, int code, const QString& mouse) {
    auto which = controllerButtonFromRaw(button);
    if (!which) {
        return;
    }
    KeyAction action;
    if (kind == QLatin1String("key")) {
        if (code < 0 || code > 0xFFFF) {
            return;
        }
        action = KeyAction::key(static_cast<std::uint16_t>(code));
    } else if (kind == QLatin1String("mouse")) {
        auto parsed = mouseButtonFromRaw(mouse.toStdString());
        if (!parsed) {
            return;
        }
        action = KeyAction::mouse(*parsed);
    } else if (kind != QLatin1String("none")) {
        return;
    }
    KeyMapping next = mapping_;
    next.setAction(*which, action);
    setMapping(next);
}

void HostModel::applyPreset(const QString& preset) {
    if (auto parsed = mappingPresetFromRaw(preset.toStdString())) {
        setMapping(jolto::mapping(*parsed));
    }
}

QString HostModel::keyName(int macCode) const {
    if (macCode < 0 || macCode > 0xFFFF) {
        return QStringLiteral("Key %1").arg(macCode);
    }
    return QString::fromStdString(jolto::keyName(static_cast<std::uint16_t>(macCode)));
}

int HostModel::macKeyCodeForScanCode(int nativeScanCode) const {
    // X11 and Wayland (xkb) key codes are the evdev codes plus 8.
    const int evdev = nativeScanCode - 8;
    if (evdev < 0 || evdev > 0xFFFF) {
        return -1;
    }
    auto mac = macKeyFromLinux(static_cast<std::uint16_t>(evdev));
    return mac ? static_cast<int>(*mac) : -1;
}

} // namespace jolto
