#include "FakeAppController.h"
#include "FakeHostModel.h"

#include <QKeyEvent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QtQml/QQmlExtensionPlugin>
#include <QtQuickTest>

Q_IMPORT_QML_PLUGIN(JoltoPlugin)

// Key presses with a native scan code, as the window system delivers them: QtTest's own key
// events carry none, and key capture stores the key by its scan code.
class TestKeys : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    Q_INVOKABLE void press(QQuickItem* item, int key, int nativeScanCode, int modifiers = 0) {
        QKeyEvent event(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers),
                        static_cast<quint32>(nativeScanCode), 0, 0);
        QCoreApplication::sendEvent(item->window(), &event);
    }
};

// Gives every test file's engine its own fake `host` and `app`, as the application gives the
// views the real ones.
class Setup : public QObject {
    Q_OBJECT
public slots:
    void applicationAvailable() { QQuickStyle::setStyle(QStringLiteral("Fusion")); }

    void qmlEngineAvailable(QQmlEngine* engine) {
        engine->addImportPath(QStringLiteral("qrc:/qt/qml"));
        engine->rootContext()->setContextProperty(QStringLiteral("host"),
                                                  new FakeHostModel(engine));
        engine->rootContext()->setContextProperty(QStringLiteral("app"),
                                                  new FakeAppController(engine));
        engine->rootContext()->setContextProperty(QStringLiteral("testKeys"), new TestKeys(engine));
    }
};

QUICK_TEST_MAIN_WITH_SETUP(ui, Setup)

#include "ui_tests.moc"
