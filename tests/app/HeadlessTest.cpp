#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "QtTestSupport.h"

using namespace jolto;
using namespace std::chrono_literals;

namespace {

// `jolto-host` with its settings and instance folder in a temporary place and no display.
class HeadlessTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        env.insert("XDG_CONFIG_HOME", folder.filePath("config"));
        env.insert("XDG_RUNTIME_DIR", folder.filePath("runtime"));
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
            env.remove(name);
        }
        host.setProcessEnvironment(env);
        host.setProgram(JOLTO_HOST_PROGRAM);
        host.setArguments({"--headless"});
    }

    QTemporaryDir folder;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QProcess host;
};

TEST_F(HeadlessTest, HelpAndVersionNeedNothingAndAnUnknownOptionFails) {
    const std::vector<std::tuple<QStringList, int, const char*>> cases = {
        {{"--version"}, 0, "jolto-host "},
        {{"--help"}, 0, "--headless"},
        {{"--settings-dir", "/tmp"}, 2, ""}};
    for (const auto& [arguments, code, shown] : cases) {
        host.setArguments(arguments);
        host.start();
        ASSERT_TRUE(waitForEnd(host));
        EXPECT_EQ(host.exitCode(), code) << arguments.join(' ').toStdString();
        EXPECT_TRUE(host.readAllStandardOutput().contains(shown));
    }
}

class OrderlyEnd : public HeadlessTest, public testing::WithParamInterface<bool> {};

// A logout or `systemctl --user stop` ends either program as Quit does, with status 0; what
// changed just before (a trusted phone came by under a new name) is in the settings file.
TEST_P(OrderlyEnd, SignalEndsTheProgramLikeQuit) {
    const bool window = GetParam();
    const std::string phoneID = "0A1B2C3D-0000-4000-8000-00000000ABCD";
    const std::string secret = "5E5E5E5E-0000-4000-8000-00000000CAFE";
    const QDir config(folder.filePath("config/jolto-host"));
    ASSERT_TRUE(QDir().mkpath(config.path()));
    QFile::setPermissions(config.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    std::ofstream(config.filePath("settings.json").toStdString())
        << R"({"trustedDevices": {"$json": [{"id": ")" << phoneID
        << R"(", "name": "Old name", "secret": ")" << secret << R"(", "lastSeen": 1.5}]}})";
    const QString identity = folder.filePath("phone.json");
    std::ofstream(identity.toStdString())
        << R"({"deviceID": ")" << phoneID << R"(", "secret": ")" << secret << R"("})";

    if (window) {
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QT_QUICK_BACKEND", "software");
        // Qt and fontconfig keep caches until exit.
        env.insert("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=1");
        host.setProcessEnvironment(env);
        host.setArguments({});
    }
    host.start();
    // The first answers a second launch from its event loop, its signal handlers in place.
    ASSERT_TRUE(waitUntil(
        [&] { return QFile::exists(folder.filePath("runtime/jolto-host/instance.lock")); }));
    ASSERT_TRUE(waitUntil(
        [&] {
            QProcess second;
            second.setProcessEnvironment(env);
            second.start(JOLTO_HOST_PROGRAM, {"--headless"});
            return waitForEnd(second) && second.exitCode() == 1 &&
                   second.readAllStandardError().contains("already running");
        },
        60s));

    if (!window) {
        std::string printed;
        std::smatch port;
        ASSERT_TRUE(waitUntil([&] {
            printed += host.readAllStandardOutput().toStdString();
            return std::regex_search(printed, port, std::regex("listener ready port=(\\d+)\n"));
        })) << printed
            << host.readAllStandardError().toStdString();
        QProcess phone;
        phone.setProcessEnvironment(env);
        phone.start(JOLTO_PHONE_PROGRAM,
                    {"ping", "127.0.0.1", QString::fromStdString(port[1]), "--count", "1",
                     "--identity", identity, "--name", "New name", "--timeout", "20"});
        ASSERT_TRUE(waitForEnd(phone));
        ASSERT_EQ(phone.exitCode(), 0) << phone.readAll().toStdString();
    }
    ::kill(static_cast<pid_t>(host.processId()), window ? SIGTERM : SIGINT);

    ASSERT_TRUE(waitForEnd(host));
    EXPECT_EQ(host.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(host.exitCode(), 0) << host.readAllStandardError().toStdString();
    if (!window) {
        std::ifstream in(config.filePath("settings.json").toStdString());
        const std::string saved(std::istreambuf_iterator<char>(in), {});
        EXPECT_NE(saved.find("\"New name\""), std::string::npos) << saved;
    }
}

INSTANTIATE_TEST_SUITE_P(WindowAndHeadless, OrderlyEnd, testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "windowTerm" : "headlessInt");
});

} // namespace
