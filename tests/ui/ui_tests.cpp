#include "FakeAppController.h"
#include "FakeHostModel.h"
#include "TestKeys.h"

#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QtQml/QQmlExtensionPlugin>
#include <QtQuickTest>

Q_IMPORT_QML_PLUGIN(JoltoPlugin)

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
