#include <signal.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ModelFixture.h"
#include "PulseDaemon.h"
#include "QtTestSupport.h"
#include "app/HostModel.h"
#include "platform/linux/PulseAudioCapture.h"

using namespace jolto;
using namespace std::chrono_literals;
using jolto::testing::PulseDaemon;

// The whole audio rumble path of the host model on a sound server that quits and is started
// again on the same socket, as `pulseaudio -k` or restarting pipewire-pulse does on a desktop.
TEST(AudioRumbleOnARestartedServer, ComesBackByItselfAndTheProblemComesAndGoes) {
    if (!PulseDaemon::installed()) {
        GTEST_SKIP() << "pulseaudio, pactl or pacat is not installed (scripts/setup.sh "
                        "installs them); no sound server to capture from";
    }
    PulseDaemon daemon;
    if (auto failure = daemon.start()) {
        FAIL() << "could not start the test's own PulseAudio daemon: " << *failure;
    }
    ModelPorts ports;
    ports.settings.preset("rumbleFromAudio", true);
    HostModelPlatform platform = ports.platform();
    platform.makeAudioCapture = [] { return makeSystemAudioCapture(); };
    platform.clock = std::make_shared<SteadyClock>();
    auto model = std::make_unique<HostModel>(ports.settings, platform);
    const auto& server = ports.server;
    ASSERT_TRUE(model->isListeningToAudio());

    std::vector<QString> problems;
    QObject::connect(model.get(), &HostModel::audioRumbleProblemChanged,
                     [&] { problems.push_back(model->audioRumbleProblem()); });
    const auto heardBass = [&] {
        const auto audio = server->audio();
        return std::any_of(audio.begin(), audio.end(), [](auto l) { return l.low > 0.9f; });
    };

    const auto lost = std::chrono::steady_clock::now();
    daemon.stop();
    ASSERT_TRUE(waitUntil([&] { return !model->isListeningToAudio(); }, 5s));
    ASSERT_TRUE(waitUntil([&] { return !model->audioRumbleProblem().isEmpty(); }, 5s));
    // Down for a while, then a new daemon on the same socket.
    waitUntil([] { return false; }, 1500ms);
    ASSERT_FALSE(daemon.start());
    ASSERT_TRUE(waitUntil([&] { return model->isListeningToAudio(); }, 20s));
    const double back = secondsBetween(lost, std::chrono::steady_clock::now());
    std::printf("capture back %.1f s after the server quit\n", back);
    EXPECT_LE(back, 15.0);
    EXPECT_EQ(problems.back(), "");
    EXPECT_GE(problems.size(), 2u);
    EXPECT_TRUE(problems.front().startsWith("Couldn't "));

    const pid_t player = daemon.playTone("sinkA", 48000, 3.0, 0.5);
    ASSERT_GT(player, 0);
    EXPECT_TRUE(waitUntil(heardBass, 10s)) << "no levels from the new server";
    kill(player, SIGKILL);
    PulseDaemon::reap(player, 10s);
    model.reset();
    EXPECT_EQ(server->audio().back(), (RumbleLevels{0, 0}));
}
