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
using Steady = std::chrono::steady_clock;
using jolto::testing::waitUntil;

namespace {

// What needs the real server: the stream and its pauses, device changes and losses, volume and
// speaker layout. The publish rule itself is proven by the unit tests.
class SystemAudioRumbleOnPulseAudio : public ::testing::Test {
protected:
    void SetUp() override {
        if (!jolto::testing::PulseDaemon::installed()) {
            GTEST_SKIP() << "pulseaudio, pactl or pacat is not installed (scripts/setup.sh "
                            "installs them); no sound server to capture from";
        }
        const auto failure = daemon.start();
        ASSERT_FALSE(failure) << "could not start the test's own PulseAudio daemon: " << *failure;
        rumble = std::make_unique<SystemAudioRumble>(
            makeSystemAudioCapture(),
            [this](RumbleLevels levels) {
                std::lock_guard lock(mutex);
                published.emplace_back(Steady::now(), levels);
            },
            [this] { ++deviceChanges; });
        start();
    }

    void start() {
        const auto error = rumble->start();
        ASSERT_FALSE(error) << error->description();
    }
    void pactl(const std::string& arguments) {
        ASSERT_TRUE(daemon.pactl(arguments)) << "pactl " << arguments;
    }

    // The levels published since `since` (the start of the test when not given).
    std::vector<RumbleLevels> levels(Steady::time_point since = {}) {
        std::lock_guard lock(mutex);
        std::vector<RumbleLevels> out;
        for (const auto& [at, l] : published) {
            if (at >= since) {
                out.push_back(l);
            }
        }
        return out;
    }
    bool heardBass(Steady::time_point since = {}) {
        const auto all = levels(since);
        return std::any_of(all.begin(), all.end(), [](RumbleLevels l) { return l.low > 0.9f; });
    }

    jolto::testing::PulseDaemon daemon;
    ScopedLogCapture log;
    std::mutex mutex;
    std::vector<std::pair<Steady::time_point, RumbleLevels>> published;
    std::atomic<int> deviceChanges{0};
    std::unique_ptr<SystemAudioRumble> rumble;
};

} // namespace

// A new default sink is a device change, and the rebuild finds its rate; another server event
// that leaves the default sink alone is not. Bass then drives the heavy motor, many times a
// second. When audio stops arriving while the tone plays (the sink suspended, or the whole
// server stalled by a signal, as a busy machine or a debugger would) one (0, 0) follows within
// 200 ms, nothing more while it lasts, levels again once audio returns, and no device change.
// Losing the server is reported once; the capture cannot connect until the server is back,
// then works on the new one.
TEST_F(SystemAudioRumbleOnPulseAudio, AudioThatStopsGivesOneZeroAndDeviceChangesAreReportedOnce) {
    pactl("set-default-sink sinkB");
    ASSERT_TRUE(waitUntil([&] { return deviceChanges > 0; })) << "no device change reported";
    start();
    EXPECT_EQ(log->lines().back().message, "System audio rumble started at 44100.000000 Hz, 2 ch");
    deviceChanges = 0;
    pactl("set-default-source sinkA.monitor");
    pactl("set-default-sink sinkA");
    ASSERT_TRUE(waitUntil([&] { return deviceChanges > 0; }));
    EXPECT_EQ(deviceChanges, 1);
    start();
    deviceChanges = 0;

    ASSERT_TRUE(daemon.play("sinkA", 48000, 10.0, 0.5));
    ASSERT_TRUE(waitUntil([&] { return heardBass(); })) << "the 60 Hz sine never drove low";
    auto since = Steady::now();
    std::this_thread::sleep_for(1s);
    EXPECT_GT(levels(since).size(), 10u) << "audio comes in bursts";

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
        const auto halted = Steady::now();
        c.halt();
        // Levels of buffers already on their way may come first; the zero is the last.
        ASSERT_TRUE(waitUntil(
            [&] { return !levels(halted).empty() && levels().back() == RumbleLevels{}; }, 2s));
        std::this_thread::sleep_for(400ms);
        const auto seen = levels(halted);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), RumbleLevels{}), 1);
        EXPECT_EQ(seen.back(), RumbleLevels{});
        EXPECT_TRUE(levels(halted + 200ms).empty()) << "the zero came more than 200 ms late";
        c.resume();
        since = Steady::now();
    }
    EXPECT_TRUE(waitUntil([&] { return heardBass(since); }));
    EXPECT_EQ(deviceChanges, 0);

    daemon.stop();
    ASSERT_TRUE(waitUntil([&] { return deviceChanges > 0; })) << "losing the server went unseen";
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(deviceChanges, 1);
    const auto error = rumble->start();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->step, "connect to the sound server");
    ASSERT_FALSE(daemon.start());
    start();
    since = Steady::now();
    ASSERT_TRUE(daemon.play("sinkA", 48000, 3.0, 0.5));
    EXPECT_TRUE(waitUntil([&] { return heardBass(since); })) << "no levels from the new server";
}

// The same tone gives the same levels whatever the sink's volume, followed while it changes,
// and on a 5.1 sink (downmixed by the server) the same as on a stereo one. A full-scale tone on
// the 16-bit sinkB; a tone at a tenth of full scale, so that the heavy motor does not
// saturate, on float sinks, where a tenth of the volume loses no precision.
TEST_F(SystemAudioRumbleOnPulseAudio, LevelsFollowTheGameNotTheVolumeOrTheSpeakerLayout) {
    pactl("load-module module-null-sink rate=48000 format=float32le sink_name=stereo");
    pactl("load-module module-null-sink rate=48000 format=float32le sink_name=surround "
          "channels=6 channel_map=front-left,front-right,rear-left,rear-right,front-center,lfe");
    const std::tuple<const char*, int, double> runs[] = {
        {"sinkB", 44100, 1.0}, {"stereo", 48000, 0.1}, {"surround", 48000, 0.1}};
    // By amplitude, every level measured: each must lie within 10 % of their mean.
    std::map<double, std::vector<double>> lows;
    for (const auto& [sink, rate, amplitude] : runs) {
        pactl(std::string("set-default-sink ") + sink);
        start();
        ASSERT_TRUE(daemon.play(sink, rate, 7.0, amplitude));
        ASSERT_TRUE(waitUntil([&] { return !levels().empty() && levels().back().low > 0.05f; }));
        for (const char* volume : {"100%", "30%", "10%"}) {
            pactl(std::string("set-sink-volume ") + sink + " " + volume);
            std::this_thread::sleep_for(500ms);
            const auto since = Steady::now();
            std::this_thread::sleep_for(1200ms);
            const auto heard = levels(since);
            const auto sum = [](double low, RumbleLevels l) { return low + l.low; };
            lows[amplitude].push_back(std::accumulate(heard.begin(), heard.end(), 0.0, sum) /
                                      double(heard.size()));
        }
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
