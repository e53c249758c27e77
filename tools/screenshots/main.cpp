// Renders the views against the fake host model to PNG files:
//   <dir>/<section>-<light|dark>-<0|2>.png and <dir>/panel-<light|dark>-<0|2>.png
// Usage: jolto-screenshots [output directory]
#include "FakeAppController.h"
#include "FakeHostModel.h"

#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QHash>
#include <QImage>
#include <QPalette>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QtQml/QQmlExtensionPlugin>

#include <algorithm>
#include <cstdio>
#include <memory>

Q_IMPORT_QML_PLUGIN(JoltoPlugin)

namespace {

// Warnings from the views (binding errors, type errors) make the run fail: a picture of a view
// that failed half-way is no picture to review.
int viewWarnings = 0;
QtMessageHandler previousHandler = nullptr;

void countViewWarnings(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtDebugMsg && type != QtInfoMsg && text.contains(QLatin1String("qrc:/"))) {
        ++viewWarnings;
    }
    previousHandler(type, context, text);
}

QPalette darkPalette() {
    QPalette p;
    const QColor window(0x26, 0x27, 0x2b);
    const QColor text(0xe6, 0xe7, 0xea);
    const QColor base(0x1d, 0x1e, 0x21);
    const QColor button(0x34, 0x35, 0x3a);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window.lighter(110));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Light, button.lighter(150));
    p.setColor(QPalette::Midlight, button.lighter(125));
    p.setColor(QPalette::Mid, button.darker(130));
    p.setColor(QPalette::Dark, button.darker(160));
    p.setColor(QPalette::Shadow, Qt::black);
    p.setColor(QPalette::Highlight, QColor(0x4d, 0x8d, 0xff));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, QColor(0x3a, 0x3b, 0x40));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, QColor(0x8a, 0x8c, 0x92));
    p.setColor(QPalette::Link, QColor(0x6a, 0xa2, 0xff));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        p.setColor(QPalette::Disabled, role, QColor(0x7a, 0x7b, 0x80));
    }
    return p;
}

void setUpControllers(FakeHostModel& host, bool twoControllers) {
    host.reset();
    host.setProperty(
        "trustedDevices",
        QVariantList{host.makeDevice(QStringLiteral("Anna’s iPhone"), 5 * 60),
                     host.makeDevice(QStringLiteral("Ben’s iPhone"), 26 * 3600),
                     host.makeDevice(QStringLiteral("Living room iPhone SE"), 19 * 86400)});
    if (!twoControllers) {
        // The first run: no controller, no input access yet, no sound.
        host.setProperty("isAccessibilityTrusted", false);
        host.setProperty("trustedDevices", QVariantList{});
        host.setProperty("advertisementProblem",
                         QStringLiteral("The Avahi daemon is not running, so iPhones can't find "
                                        "this computer."));
        // Someone on the network kept guessing.
        host.setProperty("pairingPaused", true);
        host.setProperty("pairingPausedUntil", QStringLiteral("14:05"));
        host.setRumbleFromAudio(true);
        host.resetCalls();
        return;
    }
    const int south = 1 << 0, rightShoulder = 1 << 5, dpadLeft = 1 << 12;
    host.setClients({host.makeClient(QStringLiteral("Anna’s iPhone"), 1, false,
                                     host.makeState(south | dpadLeft | rightShoulder, -0.6, 0.4,
                                                    0.3, -0.2, 0.25, 0.8)),
                     host.makeClient(QStringLiteral("Ben’s iPhone"), 2, true, host.makeState(0))});
    host.setRumbleFromAudio(true);
    host.setRumbleLevels(0.62, 0.18);
    host.setOutputMode(QStringLiteral("gamepad"));
    host.resetCalls();
}

bool settle(QQuickWindow* window) {
    // Lets layouts, loaders and short animations finish before the grab.
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 400) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return window->isVisible();
}

// Gives the keyboard focus, as Tab would, to the first of `names` that is shown, so that each
// picture also shows a focus ring.
QQuickItem* findShown(QQuickItem* root, const QString& name) {
    for (QQuickItem* child : root->childItems()) {
        if (!child->isVisible()) {
            continue;
        }
        if (child->objectName() == name) {
            return child;
        }
        if (QQuickItem* found = findShown(child, name)) {
            return found;
        }
    }
    return nullptr;
}

void focusFirstShown(QQuickWindow* window, const QStringList& names) {
    for (const QString& name : names) {
        if (QQuickItem* item = findShown(window->contentItem(), name)) {
            window->requestActivate();
            item->forceActiveFocus(Qt::TabFocusReason);
            return;
        }
    }
}

bool render(QQmlEngine& engine, const QByteArray& qml, const QStringList& focus,
            const QString& path) {
    QQmlComponent component(&engine);
    component.setData(qml, QUrl(QStringLiteral("qrc:/screenshot.qml")));
    std::unique_ptr<QObject> object(component.create());
    auto* window = qobject_cast<QQuickWindow*>(object.get());
    if (window == nullptr) {
        std::fprintf(stderr, "%s\n", qPrintable(component.errorString()));
        return false;
    }
    focusFirstShown(window, focus);
    settle(window);
    const QImage image = window->grabWindow();
    if (image.isNull() || !image.save(path)) {
        std::fprintf(stderr, "could not render %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char** argv) {
    previousHandler = qInstallMessageHandler(countViewWarnings);
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QGuiApplication application(argc, argv);
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    const QString directory =
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(JOLTO_SCREENSHOT_DIR);
    QDir().mkpath(directory);

    const QPalette lightPalette = QGuiApplication::palette();
    const QStringList sections = {"controllers", "mapping", "feedback", "devices", "setup"};
    // Where the focus goes: the first shown of each list, in reverse order with two controllers.
    const QHash<QString, QStringList> focus = {
        {"controllers", {"bannerButton", "outputModePicker"}},
        {"mapping", {"capture_0", "leftStickPicker"}},
        {"feedback", {"soundSettingsLink", "slider"}},
        {"devices", {"sectionList", "forgetButton"}},
        {"setup", {"allowAccessButton", "copySdlMapping"}},
        {"panel", {"panelAudioSwitch", "panelOutputMode"}},
    };
    bool ok = true;
    for (const bool dark : {false, true}) {
        QGuiApplication::setPalette(dark ? darkPalette() : lightPalette);
        for (const bool twoControllers : {false, true}) {
            QQmlEngine engine;
            engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
            FakeHostModel host;
            FakeAppController app;
            setUpControllers(host, twoControllers);
            engine.rootContext()->setContextProperty(QStringLiteral("host"), &host);
            engine.rootContext()->setContextProperty(QStringLiteral("app"), &app);
            QHash<QString, QStringList> focusNow = focus;
            if (twoControllers) {
                for (QStringList& names : focusNow) {
                    std::reverse(names.begin(), names.end());
                }
            }
            const QString suffix = QStringLiteral("-%1-%2.png")
                                       .arg(dark ? "dark" : "light")
                                       .arg(twoControllers ? 2 : 0);
            for (const QString& section : sections) {
                const QByteArray qml =
                    QStringLiteral("import QtQuick\nimport Jolto\n"
                                   "Window { width: 940; height: 640; visible: true\n"
                                   "  color: Theme.windowBackground\n"
                                   "  MainWindow { anchors.fill: parent; section: \"%1\" }"
                                   "\n}\n")
                        .arg(section)
                        .toUtf8();
                ok = render(engine, qml, focusNow[section], directory + "/" + section + suffix) &&
                     ok;
            }
            const QByteArray panel = "import QtQuick\nimport Jolto\n"
                                     "Window { width: 330; height: panel.implicitHeight;"
                                     " visible: true\n"
                                     "  MenuBarPanel { id: panel }\n}\n";
            ok = render(engine, panel, focusNow["panel"], directory + "/panel" + suffix) && ok;
        }
    }
    if (viewWarnings > 0) {
        std::fprintf(stderr, "%d warning(s) from the views\n", viewWarnings);
    }
    return ok && viewWarnings == 0 ? 0 : 1;
}
