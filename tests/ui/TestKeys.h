#pragma once

#include <QCoreApplication>
#include <QKeyEvent>
#include <QObject>
#include <QQuickItem>
#include <QQuickWindow>

// Key presses with a native scan code, as the window system delivers them: QtTest's own key
// events carry none, and key capture stores the key by its scan code.
class TestKeys : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Returns whether the window (or a filter on it) accepted the press.
    Q_INVOKABLE bool press(QQuickItem* item, int key, int nativeScanCode, int modifiers = 0) {
        return send(item, QEvent::KeyPress, key, nativeScanCode, modifiers);
    }
    Q_INVOKABLE bool release(QQuickItem* item, int key, int nativeScanCode, int modifiers = 0) {
        return send(item, QEvent::KeyRelease, key, nativeScanCode, modifiers);
    }

private:
    static bool send(QQuickItem* item, QEvent::Type type, int key, int nativeScanCode,
                     int modifiers) {
        if (item == nullptr || item->window() == nullptr) {
            return false;
        }
        QKeyEvent event(type, key, Qt::KeyboardModifiers(modifiers),
                        static_cast<quint32>(nativeScanCode), 0, 0);
        QCoreApplication::sendEvent(item->window(), &event);
        return event.isAccepted();
    }
};
