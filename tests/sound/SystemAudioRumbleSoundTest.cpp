#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <numeric>

#include <gtest/gtest.h>

#include "../fakes/CapturingLogSink.h"
#include "PulseDaemon.h"
#include "audio/SystemAudioRumble.h"
#include "platform/linux/PulseAudioCapture.h"

using namespace jolto;
using namespace std::chrono_literals;
using jolto::testing::PulseDaemon;

namespace {

template <typename Predicate> bool waitUntil(Predicate done, std::chrono::seconds timeout = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

class SystemAudioRumbleOnPulseAudio : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PulseDaemon::installed()) {
            GTEST_SKIP() << "pulseaudio, pactl or pacat is not installed (scripts/setup.sh "
                            "installs them); no sound server to capture from";
        }
        if (auto failure = daemon.start()) {
            FAIL() << "could not start the test's own PulseAudio daemon: " << *failure;
        }
        rumble = std::make_unique<SystemAudioRumble>(
            makeSystemAudioCapture(),
            [this](RumbleLevels levels) {
                std::lock_guard lock(mutex);
                published.emplace_back(std::chrono::steady_clock::now(), levels);
            },
            [this] { ++deviceChanges; });
        auto error = rumble->start();
        ASSERT_FALSE(error) << error->description();
    }

    void TearDown() override {
        rumble.reset();
        if (player > 0) {
            kill(player, SIGKILL);
            PulseDaemon::reap(player, 10s);
        }
    }

    // The player is killed at the end of the test if still running.
    void play(const std::string& sink, int rate, double seconds, double amplitude = 0.5) {
        player = daemon.playTone(sink, rate, seconds, amplitude);
        ASSERT_GT(player, 0);
    }
    bool waitForPlayer() {
        const bool ended = PulseDaemon::reap(player, 30s);
        player = -1;
        return ended;
    }
    void pactl(const std::string& arguments) {
        ASSERT_TRUE(daemon.pactl(arguments)) << "pactl " << arguments;
    }

    // The levels published since `since` (the start of the test when not given).
    std::vector<RumbleLevels> levels(std::chrono::steady_clock::time_point since = {}) {
        std::lock_guard lock(mutex);
        std::vector<RumbleLevels> out;
        for (const auto& [at, l] : published) {
            if (at >= since) {
                out.push_back(l);
            }
        }
        return out;
    }
    RumbleLevels lastPublished() {
        const auto all = levels();
        return all.empty() ? RumbleLevels{} : all.back();
    }
    bool heardBass(std::chrono::steady_clock::time_point since = {}) {
        const auto all = levels(since);
        return std::any_of(all.begin(), all.end(), [](RumbleLevels l) { return l.low > 0.9f; });
    }

    PulseDaemon daemon;
    ScopedLogCapture log;
    std::unique_ptr<SystemAudioRumble> rumble;
    std::mutex mutex;
    std::vector<std::pair<std::chrono::steady_clock::time_point, RumbleLevels>> published;
    std::atomic<int> deviceChanges{0};
    pid_t player = -1;
};

} // namespace

TEST_F(SystemAudioRumbleOnPulseAudio, ANewDefaultSinkOrALostServerIsReportedOnce) {
    pactl("set-default-sink sinkB");
    ASSERT_TRUE(waitUntil([&] { return deviceChanges > 0; })) << "no device change reported";
    // What the owner does on a change: rebuild, which now finds sinkB and its 44100 Hz.
    rumble->stop();
    auto error = rumble->start();
    ASSERT_FALSE(error) << error->description();
    EXPECT_EQ(log->lines().back().message, "System audio rumble started at 44100.000000 Hz, 2 ch");
    play("sinkB", 44100, 2.0);
    EXPECT_TRUE(waitUntil([&] { return heardBass(); })) << "nothing heard on the new sink";
    EXPECT_TRUE(waitForPlayer());

    // Another server event that leaves the default sink alone is not a device change.
    deviceChanges = 0;
    pactl("set-default-source sinkA.monitor");
    pactl("set-default-sink sinkA");
    ASSERT_TRUE(waitUntil([&] { return deviceChanges > 0; }));
    EXPECT_EQ(deviceChanges, 1);

    ASSERT_FALSE(rumble->start());
    deviceChanges = 0;
    daemon.stop();
    ASSERT_TRUE(waitUntil([&] { return deviceChanges > 0; })) << "losing the server went unseen";
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(deviceChanges, 1);
    rumble->stop();
    error = rumble->start();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->step, "connect to the sound server");
    EXPECT_NE(error->status, 0);
}

// Bass on the default sink drives the heavy motor, many times a second but at most every
// 16 ms. Then audio stops arriving while the tone plays: the sink is suspended, or the whole
// server stalls (stopped by a signal, as a busy machine or a debugger would). Either way one
// (0, 0) follows within 200 ms, nothing more while it lasts, and levels again once audio
// returns. When the tone ends: one quiet publish, then nothing.
TEST_F(SystemAudioRumbleOnPulseAudio, BassDrivesTheHeavyMotorAndAudioThatStopsGivesOneZero) {
    ASSERT_EQ(log->lines().size(), 1u);
    EXPECT_EQ(log->lines()[0].message, "System audio rumble started at 48000.000000 Hz, 2 ch");
    // The null sink's monitor delivers zeros while nothing plays: nothing to publish.
    auto since = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(levels(since).empty());
    play("sinkA", 48000, 10.0);
    ASSERT_TRUE(waitUntil([&] { return heardBass(); })) << "the 60 Hz sine never drove low";
    since = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1s);
    EXPECT_GT(levels(since).size(), 10u) << "audio comes in bursts";
    EXPECT_LE(levels(since).size(), 1000u / 16 + 2);

    const struct {
        const char* name;
        std::function<void()> halt, resume;
    } cases[] = {
        {"suspended sink", [&] { pactl("suspend-sink sinkA 1"); },
         [&] { pactl("suspend-sink sinkA 0"); }},
        {"stalled server", [&] { kill(daemon.pid(), SIGSTOP); },
         [&] { kill(daemon.pid(), SIGCONT); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(waitUntil([&] { return heardBass(since); }));
        const auto halted = std::chrono::steady_clock::now();
        c.halt();
        // Levels of buffers already on their way may come first; the zero is the last.
        ASSERT_TRUE(waitUntil(
            [&] { return !levels(halted).empty() && lastPublished() == RumbleLevels{}; }, 2s));
        std::this_thread::sleep_for(400ms);
        const auto seen = levels(halted);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), RumbleLevels{}), 1);
        EXPECT_EQ(seen.back(), RumbleLevels{});
        EXPECT_TRUE(levels(halted + 200ms).empty()) << "the zero came more than 200 ms late";
        c.resume();
        since = std::chrono::steady_clock::now();
    }
    ASSERT_TRUE(waitUntil([&] { return heardBass(since); }));

    EXPECT_TRUE(waitForPlayer());
    ASSERT_TRUE(waitUntil([&] { return !lastPublished().isActive(); }));
    const auto afterQuiet = levels().size();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(levels().size(), afterQuiet);
    rumble->stop();
    EXPECT_EQ(lastPublished(), (RumbleLevels{0, 0}));
    EXPECT_EQ(deviceChanges, 0);
}

// The same tone gives the same levels whatever the sink's volume, followed while it changes,
// and on a 5.1 sink (downmixed by the server) the same as on a stereo one. A full-scale tone on
// the 16-bit sinkA; a tone at a tenth of full scale, so that the heavy motor does not
// saturate, on float sinks, where a tenth of the volume loses no precision.
TEST_F(SystemAudioRumbleOnPulseAudio, LevelsFollowTheGameNotTheVolumeOrTheSpeakerLayout) {
    pactl("load-module module-null-sink rate=48000 format=float32le sink_name=stereo");
    pactl("load-module module-null-sink rate=48000 format=float32le sink_name=surround "
          "channels=6 channel_map=front-left,front-right,rear-left,rear-right,front-center,lfe");
    const std::pair<const char*, double> runs[] = {
        {"sinkA", 1.0}, {"stereo", 0.1}, {"surround", 0.1}};
    // By amplitude, every level measured: each must lie within 10 % of their mean.
    std::map<double, std::vector<double>> lows;
    for (const auto& [sink, amplitude] : runs) {
        pactl(std::string("set-default-sink ") + sink);
        ASSERT_FALSE(rumble->start());
        play(sink, 48000, 7.0, amplitude);
        ASSERT_TRUE(waitUntil([&] { return lastPublished().low > 0.05f; }));
        for (const char* volume : {"100%", "30%", "10%"}) {
            pactl(std::string("set-sink-volume ") + sink + " " + volume);
            std::this_thread::sleep_for(500ms);
            const auto since = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(1200ms);
            const auto heard = levels(since);
            double low = 0;
            for (const auto& l : heard) {
                low += l.low / double(heard.size());
            }
            std::printf("amplitude %.1f on %s at %s: low %.4f\n", amplitude, sink, volume, low);
            lows[amplitude].push_back(low);
        }
        EXPECT_TRUE(waitForPlayer());
    }
    for (const auto& [amplitude, each] : lows) {
        const double mean = std::accumulate(each.begin(), each.end(), 0.0) / double(each.size());
        EXPECT_GT(mean, 0.3);
        for (double low : each) {
            EXPECT_NEAR(low, mean, 0.1 * mean) << "amplitude " << amplitude;
        }
    }
}

// A capture whose stream is lost reports it once: the captured sink going while the default
// output stays (the server must not move the stream to another source, a microphone perhaps),
// or the server quitting after the stream started but before the watch was installed.
TEST_F(SystemAudioRumbleOnPulseAudio, ALostStreamIsReportedOnceEvenBeforeTheWatch) {
    rumble.reset();
    const auto usb = daemon.pactl("load-module module-null-sink sink_name=usb rate=48000");
    ASSERT_TRUE(usb);
    for (bool serverQuits : {false, true}) {
        SCOPED_TRACE(serverQuits ? "server quits before the watch" : "captured sink removed");
        PulseAudioCapture capture;
        ASSERT_EQ(capture.connect(), 0);
        const std::string sink = capture.defaultOutput().value;
        const auto output = capture.describeOutput(serverQuits ? sink : "usb");
        ASSERT_EQ(output.status, 0);
        ASSERT_EQ(capture.openStream(
                      output.value.monitorSource, {48000, 2, true, true, 0}, [](auto) {}, [] {}),
                  0);
        ASSERT_EQ(capture.startStream(), 0);
        if (serverQuits) {
            daemon.stop();
            std::this_thread::sleep_for(300ms); // the capture context sees the connection close
        }
        std::atomic<int> losses{0};
        EXPECT_TRUE(capture.watchDefaultOutput([&] { ++losses; }));
        if (!serverQuits) {
            pactl("unload-module " + *usb);
        }
        EXPECT_TRUE(waitUntil([&] { return losses > 0; }, 2s));
        if (!serverQuits) {
            EXPECT_EQ(daemon.pactl("list source-outputs short"), "") << "the stream was moved";
        }
        std::this_thread::sleep_for(100ms);
        capture.unwatchDefaultOutput();
        capture.stopStream();
        capture.closeStream();
        capture.disconnect();
        EXPECT_EQ(losses, 1);
    }
}
