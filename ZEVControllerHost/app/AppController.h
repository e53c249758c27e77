#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QUrl>

#include "app/LocalOnlyNetworkAccess.h"

class QMenu;
class QSystemTrayIcon;

namespace jolto {

class HostModel;

// The application's scenes: the main window and the tray icon with its panel, both over the
// one model. The QML reads the model as `host` and this as `app`.
class AppController : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool hasTray READ hasTray CONSTANT)

public:
    explicit AppController(HostModel& model, QObject* parent = nullptr);
    ~AppController() override;

    AppController(const AppController&) = delete;
    AppController& operator=(const AppController&) = delete;

    // Builds the windows, shows the main one and puts up the tray icon. False when the QML
    // could not be loaded.
    bool start();

    bool hasTray() const { return hasTray_; }
    QQuickWindow* mainWindow() const { return main_; }
    QQuickWindow* panelWindow() const { return panel_; }
    QQmlApplicationEngine& engine() { return engine_; }

    // Shows the main window, or brings the open one forward.
    Q_INVOKABLE void openMainWindow();
    // Ends the program. Nothing needs tidying: the kernel removes the virtual devices, and with
    // them every held key, when the process ends.
    Q_INVOKABLE void quit();
    // Hides the tray panel (Escape in the panel).
    Q_INVOKABLE void closePanel();
    // What a click on the tray icon does.
    void togglePanel();

    // Where the views come from: the views' module when this build has it, else placeholders.
    static QUrl mainContentUrl();
    static QUrl panelContentUrl();

private:
    QQuickWindow* load(const QUrl& url);
    void updateTrayIcon();
    void placePanel();

    HostModel& model_;
    // Before the engine: the engine uses it until it is gone.
    LocalOnlyNetworkAccess networkAccess_;
    QQmlApplicationEngine engine_;
    QPointer<QQuickWindow> main_;
    QPointer<QQuickWindow> panel_;
    bool hasTray_ = false;
    QSystemTrayIcon* tray_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    // When the panel last hid itself on losing focus: the click on the icon that took the
    // focus away must not show it again at once.
    QElapsedTimer panelAutoHidden_;
};

} // namespace jolto
