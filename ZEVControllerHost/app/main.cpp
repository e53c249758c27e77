// jolto-host: phones running the JOLTO app become game controllers for this computer.

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <QApplication>
#include <QCoreApplication>
#include <QQuickStyle>

#include "app/AppController.h"
#include "app/HeadlessRunner.h"
#include "app/HostModel.h"
#include "app/HostRuntime.h"
#include "app/LinuxHostPlatform.h"
#include "app/SingleInstance.h"
#include "app/TerminationSignals.h"
#include "platform/Log.h"
#include "platform/linux/JournalLogSink.h"

using namespace jolto;

namespace {

const char* usage = "usage: jolto-host [--headless]\n"
                    "       jolto-host --help | --version\n"
                    "\n"
                    "Phones running the JOLTO app become game controllers for this computer.\n"
                    "Without options JOLTO Host shows its window and a tray icon.\n"
                    "\n"
                    "  --headless  serve without a window or tray icon (no display needed);\n"
                    "              print the listener, the pairing PIN, controllers joining and\n"
                    "              leaving, and problems to standard output, one line each;\n"
                    "              end on SIGINT or SIGTERM\n"
                    "  --help      show this help\n"
                    "  --version   show the version\n";

enum class Mode { window, headless };

// The model over the runtime, and the orderly end: the server's thread stops before the
// model (and with it the server) goes, and the runtime's parts after both.
class Host {
public:
    Host() : model_(std::make_unique<HostModel>(runtime_.settings(), platform())) {}
    ~Host() {
        runtime_.stopServerThread();
        model_.reset();
    }
    HostModel& model() { return *model_; }

private:
    HostModelPlatform platform() {
        return linuxHostPlatform(
            [this](const std::string& hostName) { return runtime_.makeServer(hostName); });
    }

    HostRuntime runtime_;
    std::unique_ptr<HostModel> model_;
};

int runHeadless(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("jolto-host"));

    SingleInstance instance(SingleInstance::Kind::headless);
    switch (instance.claim()) {
    case SingleInstance::Claim::first:
        break;
    case SingleInstance::Claim::reachedWindow:
    case SingleInstance::Claim::reachedHeadless:
        std::fprintf(stderr, "jolto-host: JOLTO Host is already running for this user.\n");
        return 1;
    case SingleInstance::Claim::failed:
        std::fprintf(stderr, "jolto-host: another JOLTO Host holds %s but does not answer.\n",
                     SingleInstance::folder().toLocal8Bit().constData());
        return 1;
    }

    TerminationSignals signals;
    QObject::connect(&signals, &TerminationSignals::received, &app, &QCoreApplication::quit);
    Host host;
    HeadlessRunner runner(host.model(), stdout);
    return app.exec();
}

int runWindow(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fprintf(stderr, "jolto-host: no display to show a window on; "
                             "jolto-host --headless serves without one.\n");
        return 1;
    }
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("jolto-host"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("JOLTO Host"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.jolto.Host"));
    QQuickStyle::setStyle(QStringLiteral("Fusion"));

    SingleInstance instance(SingleInstance::Kind::window);
    switch (instance.claim()) {
    case SingleInstance::Claim::first:
        break;
    case SingleInstance::Claim::reachedWindow:
        return 0;
    case SingleInstance::Claim::reachedHeadless:
        std::fprintf(stderr, "jolto-host: JOLTO Host is already running without a window "
                             "(--headless).\n");
        return 1;
    case SingleInstance::Claim::failed:
        std::fprintf(stderr, "jolto-host: another JOLTO Host holds %s but does not answer.\n",
                     SingleInstance::folder().toLocal8Bit().constData());
        return 1;
    }

    // A logout or a service stop ends the program like Quit; the handlers stay until the
    // host has gone, so that a second signal cannot cut its end short.
    TerminationSignals signals;
    Host host;
    AppController controller(host.model());
    QObject::connect(&signals, &TerminationSignals::received, &controller, &AppController::quit);
    QObject::connect(&instance, &SingleInstance::activationRequested, &controller,
                     &AppController::openMainWindow);
    if (!controller.start()) {
        return 1;
    }
    return app.exec();
}

} // namespace

int main(int argc, char** argv) {
    Mode mode = Mode::window;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("jolto-host %s\n", JOLTO_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--headless") == 0) {
            mode = Mode::headless;
            continue;
        }
        std::fprintf(stderr, "jolto-host: unknown option %s\n%s", argv[i], usage);
        return 2;
    }

    setLogSink(std::make_shared<JournalLogSink>());
    return mode == Mode::headless ? runHeadless(argc, argv) : runWindow(argc, argv);
}
