#pragma once

#include <QJSValue>
#include <QObject>
#include <QPointer>
#include <QQuickWindow>
#include <QtQml/qqmlregistration.h>

// Sees every key press of one window before the window handles it, while active. The handler
// (a JS function taking {nativeScanCode, key, modifiers, isAutoRepeat}) returns true to swallow
// the press, so a recorded key never reaches the rest of the window.
class KeyEventMonitor : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QQuickWindow* window READ window WRITE setWindow NOTIFY windowChanged)
    Q_PROPERTY(bool active READ isActive WRITE setActive NOTIFY activeChanged)
    Q_PROPERTY(QJSValue handler READ handler WRITE setHandler NOTIFY handlerChanged)

public:
    explicit KeyEventMonitor(QObject* parent = nullptr);
    ~KeyEventMonitor() override;

    QQuickWindow* window() const { return window_; }
    void setWindow(QQuickWindow* window);
    bool isActive() const { return active_; }
    void setActive(bool active);
    QJSValue handler() const { return handler_; }
    void setHandler(const QJSValue& handler);

signals:
    void windowChanged();
    void activeChanged();
    void handlerChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void attach();
    void detach();

    QPointer<QQuickWindow> window_;
    QPointer<QQuickWindow> watched_;
    bool active_ = false;
    QJSValue handler_;
};
