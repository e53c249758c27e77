#include <cstdlib>
#include <functional>
#include <memory>

#include <QGuiApplication>
#include <QProcess>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include "QtTestSupport.h"
#include "app/AppController.h"
#include "app/HostModel.h"
#include "app/HostRuntime.h"
#include "app/LinuxHostPlatform.h"
#include "app/SingleInstance.h"

using namespace jolto;
using namespace std::chrono_literals;

namespace {

// Runs the application's own event loop, as the program does, doing `action` from inside it;
// tells whether the application was asked to quit within `ms` (quit ends exec with status 0;
// Qt ignores a quit while exec is not running).
bool quitsWithin(int ms, const std::function<void()>& action) {
    QTimer::singleShot(0, qApp, action);
    QTimer::singleShot(ms, qApp, [] { QCoreApplication::exit(42); });
    return QCoreApplication::exec() != 42;
}

// Runs a program while this process keeps serving its own events, and returns its exit code
// (-1 when it did not end in time) and output.
std::pair<int, QString> run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool ended = waitForEnd(process);
    if (!ended) {
        process.kill();
        process.waitForFinished();
    }
    const bool normal = ended && process.exitStatus() == QProcess::NormalExit;
    return {normal ? process.exitCode() : -1, QString::fromLocal8Bit(process.readAll())};
}

// The whole program in this process, offscreen, with its settings and instance folder in a
// temporary place: a real listener on loopback, the real model and the real windows.
class ShellTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        setenv("XDG_CONFIG_HOME", qPrintable(folder.filePath("config")), 1);
        setenv("XDG_RUNTIME_DIR", qPrintable(folder.filePath("runtime")), 1);
        instance = std::make_unique<SingleInstance>(SingleInstance::Kind::window);
        ASSERT_EQ(instance->claim(), SingleInstance::Claim::first);
        runtime = std::make_unique<HostRuntime>();
        model = std::make_unique<HostModel>(runtime->settings(),
                                            linuxHostPlatform([this](const std::string& hostName) {
                                                return runtime->makeServer(hostName);
                                            }));
        controller = std::make_unique<AppController>(*model);
        QObject::connect(instance.get(), &SingleInstance::activationRequested, controller.get(),
                         &AppController::openMainWindow);
        ASSERT_TRUE(controller->start());
    }

    void TearDown() override {
        controller.reset();
        if (runtime) {
            runtime->stopServerThread();
        }
        model.reset();
        runtime.reset();
        instance.reset();
    }

    QTemporaryDir folder;
    std::unique_ptr<SingleInstance> instance;
    std::unique_ptr<HostRuntime> runtime;
    std::unique_ptr<HostModel> model;
    std::unique_ptr<AppController> controller;
};

TEST_F(ShellTest, StartsServesKeepsServingWithTheWindowClosedAndAnswersASecondLaunch) {
    QQuickWindow* main = controller->mainWindow();
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->title(), "JOLTO Host");
    EXPECT_TRUE(main->isVisible());
    ASSERT_NE(controller->panelWindow(), nullptr);
    EXPECT_FALSE(controller->panelWindow()->isVisible());
    // The views themselves loaded into both windows, reading the model and the controller.
    for (auto [window, name] :
         {std::pair{main, "mainContent"}, std::pair{controller->panelWindow(), "panelContent"}}) {
        auto* loader = window->findChild<QObject*>(name);
        ASSERT_NE(loader, nullptr) << name;
        EXPECT_NE(loader->property("item").value<QObject*>(), nullptr) << name;
    }

    ASSERT_TRUE(waitUntil([&] { return model->listenerState() == "ready"; }))
        << model->statusText().toStdString();
    ASSERT_TRUE(waitUntil([&] { return model->pin() != HostModel::unknownPIN; }));
    const int port = model->listenerPort();
    ASSERT_GT(port, 0);

    EXPECT_FALSE(quitsWithin(500, [&] { main->close(); }))
        << "closing the window ended the program";
    EXPECT_FALSE(main->isVisible());

    // The server still admits a phone.
    const auto [paired, phoneOutput] =
        run(JOLTO_PHONE_PROGRAM, {"pair", "127.0.0.1", QString::number(port), "--pin", model->pin(),
                                  "--identity", folder.filePath("phone.json"), "--timeout", "20"});
    EXPECT_EQ(paired, 0) << phoneOutput.toStdString();
    EXPECT_TRUE(phoneOutput.contains("welcome status=accepted")) << phoneOutput.toStdString();

    // A second launch reaches this one, which brings its window back, and ends at once.
    const auto [second, secondOutput] = run(JOLTO_HOST_PROGRAM, {});
    EXPECT_EQ(second, 0) << secondOutput.toStdString();
    EXPECT_TRUE(waitUntil([&] { return main->isVisible(); }));

    EXPECT_TRUE(quitsWithin(20000, [&] { controller->quit(); }));
}

TEST_F(ShellTest, ThePanelTogglesAndOpensTheWindow) {
    QQuickWindow* panel = controller->panelWindow();
    QQuickWindow* main = controller->mainWindow();
    main->close();

    controller->togglePanel();
    EXPECT_TRUE(panel->isVisible());
    EXPECT_GT(panel->height(), 1);
    controller->togglePanel();
    EXPECT_FALSE(panel->isVisible());

    controller->togglePanel();
    QMetaObject::invokeMethod(controller.get(), "openMainWindow");
    EXPECT_TRUE(main->isVisible());
    EXPECT_FALSE(panel->isVisible());
    // Opening the open window makes no second one.
    const auto windows = QGuiApplication::topLevelWindows().size();
    controller->openMainWindow();
    EXPECT_EQ(QGuiApplication::topLevelWindows().size(), windows);
}

} // namespace
