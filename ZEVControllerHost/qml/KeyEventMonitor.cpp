#include "KeyEventMonitor.h"

#include <QJSEngine>
#include <QKeyEvent>
#include <QQmlEngine>

KeyEventMonitor::KeyEventMonitor(QObject* parent) : QObject(parent) {}

KeyEventMonitor::~KeyEventMonitor() {
    detach();
}

void KeyEventMonitor::setWindow(QQuickWindow* window) {
    if (window_ == window) {
        return;
    }
    detach();
    window_ = window;
    attach();
    emit windowChanged();
}

void KeyEventMonitor::setActive(bool active) {
    if (active_ == active) {
        return;
    }
    active_ = active;
    if (active_) {
        attach();
    } else {
        detach();
    }
    emit activeChanged();
}

void KeyEventMonitor::setHandler(const QJSValue& handler) {
    handler_ = handler;
    emit handlerChanged();
}

// The filter sits on the window only while recording, so idle controls cost nothing per key.
void KeyEventMonitor::attach() {
    if (!active_ || !window_ || watched_ == window_) {
        return;
    }
    detach();
    watched_ = window_;
    watched_->installEventFilter(this);
}

void KeyEventMonitor::detach() {
    if (watched_) {
        watched_->removeEventFilter(this);
    }
    watched_ = nullptr;
}

bool KeyEventMonitor::eventFilter(QObject* watched, QEvent* event) {
    if (watched != watched_ || !active_ || event->type() != QEvent::KeyPress ||
        !handler_.isCallable()) {
        return false;
    }
    auto* key = static_cast<QKeyEvent*>(event);
    QJSEngine* engine = qjsEngine(this);
    if (engine == nullptr) {
        return false;
    }
    QJSValue info = engine->newObject();
    info.setProperty(QStringLiteral("nativeScanCode"), static_cast<int>(key->nativeScanCode()));
    info.setProperty(QStringLiteral("key"), key->key());
    info.setProperty(QStringLiteral("modifiers"), static_cast<int>(key->modifiers()));
    info.setProperty(QStringLiteral("isAutoRepeat"), key->isAutoRepeat());
    // The handler may stop recording and so detach this filter; the copy keeps it alive.
    QJSValue handler = handler_;
    const QJSValue result = handler.call({info});
    if (result.isError()) {
        qWarning("KeyEventMonitor handler failed: %s", qPrintable(result.toString()));
        return false;
    }
    return result.toBool();
}
