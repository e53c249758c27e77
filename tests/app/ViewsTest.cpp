// The real views over the real HostModel, loaded by the program's own AppController. Any
// warning from the views fails, so a renamed model property fails here even if the fake has it.
#include <algorithm>
#include <memory>
#include <string>

#include <QApplication>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QQmlComponent>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include "ModelFixture.h"
#include "QtTestSupport.h"
#include "app/AppController.h"
#include "app/SingleInstance.h"
#include "ui/FakeHostModel.h"

using namespace jolto;

namespace {

QStringList viewWarnings;
QtMessageHandler previousHandler = nullptr;

void collectViewWarnings(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    const QLatin1String category(context.category ? context.category : "");
    const bool fromViews = text.contains(QLatin1String("qrc:/")) ||
                           category.startsWith(QLatin1String("qt.qml")) ||
                           category == QLatin1String("qml") || category == QLatin1String("js");
    if (type != QtDebugMsg && type != QtInfoMsg && fromViews) {
        viewWarnings << text;
    }
    previousHandler(type, context, text);
}

QList<QQuickItem*> itemsBelow(QQuickItem* root) {
    QList<QQuickItem*> out;
    for (QQuickItem* child : root->childItems()) {
        out << child << itemsBelow(child);
    }
    return out;
}

QQuickItem* findItem(QQuickItem* root, const char* name) {
    const QList<QQuickItem*> items = itemsBelow(root);
    const auto it =
        std::ranges::find_if(items, [&](auto* item) { return item->objectName() == name; });
    return it == items.end() ? nullptr : *it;
}

class ViewsTest : public testing::Test, protected ModelPorts {
protected:
    void SetUp() override { viewWarnings.clear(); }
    void TearDown() override {
        app.reset();
        model.reset();
        EXPECT_TRUE(viewWarnings.isEmpty()) << viewWarnings.join('\n').toStdString();
    }

    void start(const std::string& name) {
        inputAccess = gamepadAccess = hidAccess = false;
        computerName = name;
        model = make();
        app = std::make_unique<AppController>(*model);
        ASSERT_TRUE(app->start());
        server->emitEvent(HostEvent::Listener{ListenerState::ready(40123)});
        server->emitEvent(HostEvent::Pin{"0042"});
        waitUntil([&] { return model->pin() == "0042"; });
    }

    QQuickItem* content(QQuickWindow* window, const char* loader) {
        QQuickItem* item = findItem(window->contentItem(), loader);
        return item ? item->property("item").value<QQuickItem*>() : nullptr;
    }
    QQuickItem* showSection(const char* section) {
        QQuickItem* main = content(app->mainWindow(), "mainContent");
        EXPECT_TRUE(main);
        main->setProperty("section", QString::fromLatin1(section));
        app->mainWindow()->grabWindow(); // renders once, so that every binding has run
        return main;
    }

    std::unique_ptr<HostModel> model;
    std::unique_ptr<AppController> app;
};

// A name of the phone's or the computer's choosing shows as written and fetches nothing; the
// engine itself refuses remote resources.
TEST_F(ViewsTest, NamesShowAsPlainTextAndNothingIsFetched) {
    start("Den %1 %2 <b>");
    QQuickItem* description = findItem(showSection("controllers"), "emptyDescription");
    ASSERT_TRUE(description);
    const QString empty = description->property("text").toString();
    EXPECT_TRUE(empty.contains(QString::fromUtf8("“Den %1 %2 &lt;b&gt;”"))) << empty.toStdString();
    EXPECT_TRUE(empty.contains(QLatin1String("PIN <b>0042</b>."))) << empty.toStdString();

    QTcpServer web;
    ASSERT_TRUE(web.listen(QHostAddress::LocalHost));
    const std::string markupName =
        QStringLiteral("<b>Pixel</b><img src=\"http://127.0.0.1:%1/x.png\">")
            .arg(web.serverPort())
            .toStdString();
    TrustedDevice device{*Uuid::parse("00000000-0000-4000-8000-0000000000aa"), markupName,
                         *Uuid::parse("00000000-0000-4000-8000-0000000000bb"), 7.5e8};
    server->emitEvent(HostEvent::Trusted{{device}});
    server->emitEvent(HostEvent::Clients{{client(1, markupName, false), client(2, "B", true)}});
    server->emitEvent(HostEvent::Advertisement{"Avahi <b>down</b>"});
    ASSERT_TRUE(waitUntil([&] { return model->clientCount() == 2; }));

    app->togglePanel();
    int namesShown = 0;
    for (const char* section : {"controllers", "mapping", "feedback", "devices", "setup"}) {
        QQuickItem* main = showSection(section);
        app->panelWindow()->grabWindow();
        for (QQuickItem* root : {main, content(app->panelWindow(), "panelContent")}) {
            for (QQuickItem* text : itemsBelow(root)) {
                if ((text->inherits("QQuickText") || text->inherits("QQuickTextEdit")) &&
                    text->property("text").toString().contains(QLatin1String("<img"))) {
                    ++namesShown;
                    EXPECT_EQ(text->property("textFormat").toInt(), Qt::PlainText)
                        << section << ": " << text->metaObject()->className();
                }
            }
        }
    }
    // The card, the paired phone's row, and the panel's row seen with each of the five.
    EXPECT_EQ(namesShown, 1 + 1 + 5);

    QQmlComponent component(&app->engine());
    component.setData(
        QStringLiteral("import QtQuick\nImage { source: \"http://127.0.0.1:%1/x.png\" }")
            .arg(web.serverPort())
            .toUtf8(),
        QUrl(QStringLiteral("qrc:/probe.qml")));
    std::unique_ptr<QObject> image(component.create());
    ASSERT_TRUE(image) << component.errorString().toStdString();
    EXPECT_TRUE(waitUntil([&] { return image->property("status").toInt() == 3; })); // Error
    EXPECT_FALSE(web.waitForNewConnection(200));
    // The refused load's own warning is expected; any other is not.
    viewWarnings.removeIf([](const QString& text) { return text.startsWith("qrc:/probe.qml"); });
}

// Closing the window leaves the program serving and stops a recording for good; the program
// launched again reaches this instance, which brings its window back.
TEST_F(ViewsTest, TheWindowAndThePanelComeAndGoWhileTheProgramRuns) {
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    SingleInstance instance(SingleInstance::Kind::window);
    ASSERT_EQ(instance.claim(), SingleInstance::Claim::first);
    start("Den");
    QObject::connect(&instance, &SingleInstance::activationRequested, app.get(),
                     &AppController::openMainWindow);
    QQuickWindow* main = app->mainWindow();
    QQuickWindow* panel = app->panelWindow();
    EXPECT_FALSE(panel->isVisible());
    QQuickItem* capture = findItem(showSection("mapping"), "capture_0");
    ASSERT_TRUE(capture);
    QMetaObject::invokeMethod(capture, "startRecording");
    ASSERT_TRUE(capture->property("isRecording").toBool());
    EXPECT_TRUE(main->isVisible());
    // Closed inside the running event loop: Qt ignores a quit while exec is not running.
    QTimer::singleShot(0, qApp, [&] { main->close(); });
    QTimer::singleShot(500, qApp, [] { QCoreApplication::exit(42); });
    EXPECT_EQ(QCoreApplication::exec(), 42) << "closing the window ended the program";
    EXPECT_FALSE(main->isVisible());
    EXPECT_FALSE(capture->property("isRecording").toBool());
    QProcess second;
    second.setProcessChannelMode(QProcess::MergedChannels);
    second.start(JOLTO_HOST_PROGRAM, {});
    ASSERT_TRUE(waitForEnd(second));
    EXPECT_EQ(second.exitCode(), 0) << second.readAll().toStdString();
    EXPECT_TRUE(waitUntil([&] { return main->isVisible(); }));
    EXPECT_FALSE(capture->property("isRecording").toBool());

    app->togglePanel();
    EXPECT_TRUE(panel->isVisible());
    EXPECT_GT(panel->height(), 1);
    app->togglePanel();
    EXPECT_FALSE(panel->isVisible());
    app->togglePanel();
    QMetaObject::invokeMethod(app.get(), "openMainWindow");
    EXPECT_TRUE(main->isVisible());
    EXPECT_FALSE(panel->isVisible());
    const auto windows = QGuiApplication::topLevelWindows().size();
    app->openMainWindow();
    EXPECT_EQ(QGuiApplication::topLevelWindows().size(), windows);
}

// The views' tests run against the fake model; it must offer what the real one offers.
TEST(FakeHostModelContract, HasEveryPropertyAndInvokableOfTheRealModel) {
    const QMetaObject& real = HostModel::staticMetaObject;
    const QMetaObject& fake = FakeHostModel::staticMetaObject;
    for (int i = real.propertyOffset(); i < real.propertyCount(); ++i) {
        const QMetaProperty p = real.property(i);
        const int j = fake.indexOfProperty(p.name());
        ASSERT_GE(j, 0) << "missing property " << p.name();
        EXPECT_STREQ(fake.property(j).typeName(), p.typeName()) << p.name();
        EXPECT_TRUE(!p.hasNotifySignal() || fake.property(j).hasNotifySignal()) << p.name();
        EXPECT_TRUE(!p.isWritable() || fake.property(j).isWritable()) << p.name();
    }
    for (int i = real.methodOffset(); i < real.methodCount(); ++i) {
        const QMetaMethod m = real.method(i);
        if (m.methodType() != QMetaMethod::Method) {
            continue;
        }
        const int j = fake.indexOfMethod(m.methodSignature().constData());
        ASSERT_GE(j, 0) << "missing invokable " << m.methodSignature().constData();
        EXPECT_STREQ(fake.method(j).typeName(), m.typeName()) << m.methodSignature().constData();
    }
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    previousHandler = qInstallMessageHandler(collectViewWarnings);
    // Offscreen always, also when CTest lists the tests at build time.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QApplication application(argc, argv);
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    return RUN_ALL_TESTS();
}
