#include "app/AppController.h"

#include <algorithm>

#include <QAction>
#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QQmlContext>
#include <QQuickWindow>
#include <QScreen>
#include <QSystemTrayIcon>

#include "app/HostModel.h"
#include "platform/Log.h"

#include <QtQml/qqmlextensionplugin.h>
Q_IMPORT_QML_PLUGIN(JoltoPlugin)

namespace jolto {

namespace {

// A click on the icon that arrives this soon after the panel hid itself was the click that
// hid it.
constexpr qint64 panelReopenGuardMs = 300;

QIcon trayIcon(bool connected) {
    return QIcon(connected ? QStringLiteral(":/qt/qml/Jolto/resources/tray-active.svg")
                           : QStringLiteral(":/qt/qml/Jolto/resources/tray.svg"));
}

} // namespace

AppController::AppController(HostModel& model, QObject* parent) : QObject(parent), model_(model) {
    hasTray_ = QSystemTrayIcon::isSystemTrayAvailable();
    engine_.setNetworkAccessManagerFactory(&networkAccess_);
    engine_.addImportPath(QStringLiteral("qrc:/qt/qml"));
    engine_.rootContext()->setContextProperty(QStringLiteral("host"), &model_);
    engine_.rootContext()->setContextProperty(QStringLiteral("app"), this);
    engine_.rootContext()->setContextProperty(QStringLiteral("shellMainContent"), mainContentUrl());
    engine_.rootContext()->setContextProperty(QStringLiteral("shellPanelContent"),
                                              panelContentUrl());
}

AppController::~AppController() {
    // The tray icon and its menu go before the engine and the model they show.
    delete tray_;
    delete trayMenu_;
}

QUrl AppController::mainContentUrl() {
    return QUrl(QStringLiteral("qrc:/qt/qml/Jolto/MainWindow.qml"));
}

QUrl AppController::panelContentUrl() {
    return QUrl(QStringLiteral("qrc:/qt/qml/Jolto/MenuBarPanel.qml"));
}

QQuickWindow* AppController::load(const QUrl& url) {
    const auto before = engine_.rootObjects().size();
    engine_.load(url);
    const auto roots = engine_.rootObjects();
    if (roots.size() == before) {
        Logger("App").error("Couldn't load " + url.toString().toStdString());
        return nullptr;
    }
    return qobject_cast<QQuickWindow*>(roots.back());
}

bool AppController::start() {
    main_ = load(QUrl(QStringLiteral("qrc:/jolto/app/qml/ShellMainWindow.qml")));
    panel_ = load(QUrl(QStringLiteral("qrc:/jolto/app/qml/ShellPanelWindow.qml")));
    if (!main_ || !panel_) {
        return false;
    }
    // Closing the window leaves the program serving; it ends only through quit.
    QGuiApplication::setQuitOnLastWindowClosed(false);

    connect(panel_, &QWindow::activeChanged, this, [this] {
        if (panel_ && !panel_->isActive() && panel_->isVisible()) {
            panel_->hide();
            panelAutoHidden_.start();
        }
    });

    if (hasTray_) {
        trayMenu_ = new QMenu();
        connect(trayMenu_->addAction(tr("Open Window…")), &QAction::triggered, this,
                &AppController::openMainWindow);
        trayMenu_->addSeparator();
        connect(trayMenu_->addAction(tr("Quit JOLTO Host")), &QAction::triggered, this,
                &AppController::quit);

        tray_ = new QSystemTrayIcon();
        // Tray hosts read the tooltip (and the application's display name) as the icon's
        // accessible name.
        tray_->setToolTip(QStringLiteral("JOLTO Host"));
        tray_->setContextMenu(trayMenu_);
        connect(tray_, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger) {
                        togglePanel();
                    }
                });
        connect(&model_, &HostModel::clientsChanged, this, &AppController::updateTrayIcon);
        updateTrayIcon();
        tray_->show();
    }

    openMainWindow();
    return true;
}

void AppController::updateTrayIcon() {
    if (tray_) {
        tray_->setIcon(trayIcon(model_.clientCount() > 0));
    }
}

void AppController::openMainWindow() {
    if (!main_) {
        return;
    }
    if (panel_) {
        panel_->hide();
    }
    main_->show();
    main_->raise();
    main_->requestActivate();
}

void AppController::quit() {
    QCoreApplication::quit();
}

void AppController::closePanel() {
    if (panel_) {
        panel_->hide();
    }
}

void AppController::togglePanel() {
    if (!panel_) {
        return;
    }
    if (panel_->isVisible()) {
        panel_->hide();
        return;
    }
    if (panelAutoHidden_.isValid() && panelAutoHidden_.elapsed() < panelReopenGuardMs) {
        return;
    }
    placePanel();
    panel_->show();
    panel_->raise();
    panel_->requestActivate();
}

void AppController::placePanel() {
    // The icon's place when the tray tells it (XEmbed trays do, StatusNotifier hosts mostly
    // not), else where the pointer clicked.
    QRect anchor = tray_ ? tray_->geometry() : QRect();
    if (!anchor.isValid()) {
        anchor = QRect(QCursor::pos(), QSize(1, 1));
    }
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    if (!screen) {
        return;
    }
    const QRect area = screen->availableGeometry();
    const int width = panel_->width();
    const int height = panel_->height();
    const int gap = 4;
    int x = anchor.center().x() - width / 2;
    // Below an icon in a top bar, above one in a bottom panel.
    int y = anchor.center().y() < area.center().y() ? anchor.bottom() + gap
                                                    : anchor.top() - height - gap;
    x = std::clamp(x, area.left(), std::max(area.left(), area.right() - width + 1));
    y = std::clamp(y, area.top(), std::max(area.top(), area.bottom() - height + 1));
    panel_->setPosition(x, y);
}

} // namespace jolto
