#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <numbers>

#include <gtest/gtest.h>

#include "PulseDaemon.h"
#include "audio/SystemAudioRumble.h"
#include "platform/linux/PulseAudioCapture.h"

using namespace jolto;
using namespace std::chrono_literals;
using jolto::testing::PulseDaemon;

namespace {

struct CapturingLogSink final : LogSink {
    std::mutex mutex;
    std::vector<std::string> lines;
    void write(LogLevel, std::string_view, std::string_view message) override {
        std::lock_guard lock(mutex);
        lines.emplace_back(message);
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return lines;
    }
};

template <typename Predicate>
bool waitUntil(Predicate done, std::chrono::steady_clock::duration timeout = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

class SystemAudioRumbleOnPulseAudio : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PulseDaemon::findBinary("pulseaudio") || !PulseDaemon::findBinary("pactl") ||
            !PulseDaemon::findBinary("pacat")) {
            GTEST_SKIP() << "pulseaudio, pactl or pacat is not installed (scripts/setup.sh "
                            "installs them); no sound server to capture from";
        }
        if (auto failure = daemon.start()) {
            FAIL() << "could not start the test's own PulseAudio daemon: " << *failure;
        }
        setLogSink(log);
        rumble = std::make_unique<SystemAudioRumble>(
            makeSystemAudioCapture(),
            [this](RumbleLevels levels) {
                std::lock_guard lock(mutex);
                published.push_back(levels);
                publishedAt.push_back(std::chrono::steady_clock::now());
            },
            [this] { ++deviceChanges; });
    }

    void TearDown() override {
        rumble.reset();
        if (player > 0) {
            kill(player, SIGKILL);
            PulseDaemon::reap(player, 10s);
        }
        setLogSink(nullptr);
    }

    // The player is killed at the end of the test if still running.
    void play(const std::string& sink, int rate, double seconds, double silence,
              double amplitude = 0.5) {
        player = daemon.playTone(sink, rate, seconds, silence, amplitude);
        ASSERT_GT(player, 0);
    }

    bool waitForPlayer() {
        const bool ended = PulseDaemon::reap(player, 30s);
        player = -1;
        return ended;
    }

    std::size_t publishCount() {
        std::lock_guard lock(mutex);
        return published.size();
    }
    RumbleLevels lastPublished() {
        std::lock_guard lock(mutex);
        return published.empty() ? RumbleLevels{} : published.back();
    }
    bool heardBass() {
        std::lock_guard lock(mutex);
        return std::any_of(published.begin(), published.end(),
                           [](RumbleLevels l) { return l.low > 0.9f; });
    }
    void forget() {
        std::lock_guard lock(mutex);
        published.clear();
        publishedAt.clear();
    }
    std::vector<RumbleLevels> snapshot() {
        std::lock_guard lock(mutex);
        return published;
    }
    std::chrono::steady_clock::time_point lastPublishTime() {
        std::lock_guard lock(mutex);
        return publishedAt.back();
    }
    std::vector<RumbleLevels> publishedSince(std::chrono::steady_clock::time_point since) {
        std::lock_guard lock(mutex);
        std::vector<RumbleLevels> out;
        for (std::size_t i = 0; i < published.size(); ++i) {
            if (publishedAt[i] >= since) {
                out.push_back(published[i]);
            }
        }
        return out;
    }
    // The mean heavy-motor level published over the next `span`, while a steady tone plays.
    double meanLow(std::chrono::milliseconds span = 800ms) {
        const auto since = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(span);
        const auto levels = publishedSince(since);
        double sum = 0;
        for (const auto& l : levels) {
            sum += l.low;
        }
        return levels.empty() ? 0 : sum / double(levels.size());
    }
    int pactl(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"pactl"};
        argv.insert(argv.end(), args.begin(), args.end());
        return daemon.run(argv);
    }
    // Loads a module and returns its index, or -1.
    int loadModule(const std::string& arguments) {
        const std::string out = daemon.dir() + "/module.txt";
        const int status = daemon.run({"sh", "-c", "pactl load-module " + arguments + " > " + out});
        std::ifstream in(out);
        int index = -1;
        return status == 0 && (in >> index) ? index : -1;
    }

    PulseDaemon daemon;
    std::shared_ptr<CapturingLogSink> log = std::make_shared<CapturingLogSink>();
    std::unique_ptr<SystemAudioRumble> rumble;
    std::mutex mutex;
    std::vector<RumbleLevels> published;
    std::vector<std::chrono::steady_clock::time_point> publishedAt;
    std::atomic<int> deviceChanges{0};
    pid_t player = -1;
};

} // namespace

TEST_F(SystemAudioRumbleOnPulseAudio, BassOnTheDefaultSinkDrivesTheHeavyMotorAndSilenceGoesQuiet) {
    auto error = rumble->start();
    ASSERT_FALSE(error) << error->description();
    EXPECT_EQ(log->snapshot(),
              std::vector<std::string>{"System audio rumble started at 48000.000000 Hz, 2 ch"});

    // The null sink's monitor delivers zeros while nothing plays: nothing to publish.
    forget();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(publishCount(), 0u);

    play("sinkA", 48000, 5.0, 1.5);
    ASSERT_TRUE(waitUntil([&] { return heardBass(); })) << "the 60 Hz sine never drove low";

    // What the capture costs while the signal plays.
    const double cpuBefore = cpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    const auto publishesBefore = publishCount();
    std::this_thread::sleep_for(4s);
    const double cpu = cpuSeconds() - cpuBefore;
    const double wall = secondsBetween(wallBefore, std::chrono::steady_clock::now());
    const auto publishes = publishCount() - publishesBefore;
    std::printf("capture with the signal playing: %.3f s CPU over %.2f s = %.2f %% of one core, "
                "%zu publishes (%.1f per second)\n",
                cpu, wall, 100 * cpu / wall, publishes, double(publishes) / wall);
    RecordProperty("capture_cpu_percent", std::to_string(100 * cpu / wall));
    // Rate limited to one per 16 ms, but a steady signal publishes on every eligible buffer.
    EXPECT_GT(publishes, 10u);
    EXPECT_LE(double(publishes), wall / 0.016 + 2);

    // The signal turns to silence: one quiet publish, then nothing.
    ASSERT_TRUE(waitUntil([&] { return !lastPublished().isActive(); }))
        << "levels never fell to rest";
    const auto afterQuiet = publishCount();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(publishCount(), afterQuiet);
    EXPECT_TRUE(waitForPlayer());

    rumble->stop();
    EXPECT_EQ(lastPublished(), (RumbleLevels{0, 0}));
    EXPECT_EQ(deviceChanges, 0);
}

TEST_F(SystemAudioRumbleOnPulseAudio, ANewDefaultSinkIsReportedAndTheRebuildListensThere) {
    auto error = rumble->start();
    ASSERT_FALSE(error) << error->description();

    ASSERT_EQ(daemon.run({"pactl", "set-default-sink", "sinkB"}), 0);
    ASSERT_TRUE(waitUntil([&] { return deviceChanges > 0; })) << "no device change reported";

    // What the owner does on a change: rebuild, which now finds sinkB and its 44100 Hz.
    rumble->stop();
    error = rumble->start();
    ASSERT_FALSE(error) << error->description();
    EXPECT_EQ(log->snapshot().back(), "System audio rumble started at 44100.000000 Hz, 2 ch");

    forget();
    play("sinkB", 44100, 2.0, 0.0);
    EXPECT_TRUE(waitUntil([&] { return heardBass(); })) << "nothing heard on the new sink";
    EXPECT_TRUE(waitForPlayer());

    // Another server event that leaves the default sink alone is not a device change.
    const int changes = deviceChanges;
    ASSERT_EQ(daemon.run({"pactl", "set-default-source", "sinkA.monitor"}), 0);
    ASSERT_EQ(daemon.run({"pactl", "set-default-sink", "sinkA"}), 0);
    ASSERT_TRUE(waitUntil([&] { return deviceChanges > changes; }));
    EXPECT_EQ(deviceChanges, changes + 1);
}

TEST_F(SystemAudioRumbleOnPulseAudio, AServerThatGoesAwayIsReportedAndAStartWithoutOneFails) {
    auto error = rumble->start();
    ASSERT_FALSE(error) << error->description();

    daemon.stop();
    ASSERT_TRUE(waitUntil([&] { return deviceChanges > 0; })) << "losing the server went unseen";
    EXPECT_EQ(deviceChanges, 1);

    rumble->stop();
    error = rumble->start();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->step, "connect to the sound server");
    EXPECT_NE(error->status, 0);
    EXPECT_EQ(error->description(), "Couldn't connect to the sound server (error " +
                                        std::to_string(error->status) + ").");
    std::printf("without a server: %s\n", error->description().c_str());
}

// Audio stops arriving while a tone plays: the sink is suspended, or the whole server stalls
// (stopped by a signal, as a busy machine or a debugger would). Either way one (0, 0) follows
// within 200 ms, nothing more while it lasts, and levels again once audio returns.
TEST_F(SystemAudioRumbleOnPulseAudio, AudioThatStopsArrivingGivesOneZeroAndComesBack) {
    struct Case {
        const char* name;
        std::function<void()> halt, resume;
    };
    const std::vector<Case> cases{
        {"suspended sink",
         [&] {
             ASSERT_EQ(pactl({"suspend-sink", "sinkA", "1"}), 0);
         },
         [&] {
             ASSERT_EQ(pactl({"suspend-sink", "sinkA", "0"}), 0);
         }},
        {"stalled server", [&] { kill(daemon.pid(), SIGSTOP); },
         [&] { kill(daemon.pid(), SIGCONT); }},
    };
    auto error = rumble->start();
    ASSERT_FALSE(error) << error->description();
    play("sinkA", 48000, 30.0, 0.0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(waitUntil([&] { return heardBass(); }));
        forget();
        const auto halted = std::chrono::steady_clock::now();
        c.halt();
        // Levels of buffers already on their way may come first; the zero is the last.
        ASSERT_TRUE(
            waitUntil([&] { return publishCount() > 0 && lastPublished() == RumbleLevels{}; }, 2s));
        const double toZero = secondsBetween(halted, lastPublishTime());
        std::this_thread::sleep_for(400ms);
        std::printf("%s: (0, 0) after %.0f ms\n", c.name, 1000 * toZero);
        const auto seen = snapshot();
        EXPECT_EQ(std::count(seen.begin(), seen.end(), RumbleLevels{}), 1);
        EXPECT_EQ(seen.back(), RumbleLevels{});
        EXPECT_LE(toZero, 0.2);
        c.resume();
        forget();
    }
    ASSERT_TRUE(waitUntil([&] { return heardBass(); }));
    EXPECT_EQ(deviceChanges, 0);
}

// The same tone gives the same levels whatever the sink's volume, followed while it changes,
// and on a 5.1 sink (downmixed by the server) the same as on a stereo one. A full-scale tone on
// the 16-bit sinkA; a tone at a tenth of full scale, so that the heavy motor does not
// saturate, on float sinks, where a tenth of the volume loses no precision.
TEST_F(SystemAudioRumbleOnPulseAudio, LevelsFollowTheGameNotTheVolumeOrTheSpeakerLayout) {
    for (const char* sink :
         {"stereo channels=2", "surround channels=6 channel_map=front-left,"
                               "front-right,rear-left,rear-right,front-center,lfe"}) {
        ASSERT_GE(loadModule("module-null-sink rate=48000 format=float32le sink_name=" +
                             std::string(sink)),
                  0);
    }
    const struct {
        const char* sink;
        double amplitude;
    } runs[] = {{"sinkA", 1.0}, {"stereo", 0.1}, {"surround", 0.1}};
    // By amplitude, every level measured: each must lie within 10 % of their mean.
    std::map<double, std::vector<std::pair<std::string, double>>> levels;
    for (const auto& run : runs) {
        ASSERT_EQ(pactl({"set-default-sink", run.sink}), 0);
        auto error = rumble->start();
        ASSERT_FALSE(error) << error->description();
        play(run.sink, 48000, 7.0, 0.0, run.amplitude);
        ASSERT_TRUE(waitUntil([&] { return lastPublished().low > 0.05f; }));
        for (const char* volume : {"100%", "30%", "10%"}) {
            ASSERT_EQ(pactl({"set-sink-volume", run.sink, volume}), 0);
            std::this_thread::sleep_for(500ms);
            const double low = meanLow(1200ms);
            std::printf("amplitude %.1f on %s at %s: low %.4f\n", run.amplitude, run.sink, volume,
                        low);
            levels[run.amplitude].emplace_back(std::string(run.sink) + " at " + volume, low);
        }
        EXPECT_TRUE(waitForPlayer());
    }
    for (const auto& [amplitude, measured] : levels) {
        double mean = 0;
        for (const auto& m : measured) {
            mean += m.second / double(measured.size());
        }
        EXPECT_GT(mean, 0.3);
        for (const auto& [where, low] : measured) {
            EXPECT_NEAR(low, mean, 0.1 * mean) << "amplitude " << amplitude << " on " << where;
        }
    }
}

// With the captured sink gone, the stream ends and the owner hears of it; the server does not
// move it to another source, such as a microphone playing bass.
TEST_F(SystemAudioRumbleOnPulseAudio, ARemovedSinkEndsTheCaptureInsteadOfMovingIt) {
    const int sink = loadModule("module-null-sink sink_name=usb rate=48000 channels=2");
    ASSERT_GE(sink, 0);
    ASSERT_GE(loadModule("module-sine-source source_name=microphone rate=48000 frequency=60"), 0);
    ASSERT_EQ(pactl({"set-default-sink", "usb"}), 0);
    auto error = rumble->start();
    ASSERT_FALSE(error) << error->description();

    ASSERT_EQ(pactl({"unload-module", std::to_string(sink)}), 0);
    ASSERT_TRUE(waitUntil([&] { return deviceChanges > 0; })) << "the lost sink went unseen";
    forget();
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(heardBass()) << "the capture went on, from the microphone";
    const std::string outputs = daemon.dir() + "/outputs.txt";
    ASSERT_EQ(daemon.run({"sh", "-c", "pactl list source-outputs short > " + outputs}), 0);
    std::ifstream in(outputs);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "");
}

// The server quits after the stream has started but before the watch is installed: the watch
// still hears of it.
TEST_F(SystemAudioRumbleOnPulseAudio, ALossBeforeTheWatchIsInstalledIsReportedByIt) {
    PulseAudioCapture capture;
    ASSERT_EQ(capture.connect(), 0);
    const auto output = capture.describeOutput(capture.defaultOutput().value);
    ASSERT_EQ(output.status, 0);
    ASSERT_EQ(capture.openStream(
                  output.value.monitorSource, {48000, 2, true, true, 0},
                  [](std::span<const AudioCapture::Buffer>) {}, [] {}),
              0);
    ASSERT_EQ(capture.startStream(), 0);
    daemon.stop();
    std::this_thread::sleep_for(300ms); // the capture context sees the connection close
    std::atomic<int> losses{0};
    EXPECT_TRUE(capture.watchDefaultOutput([&] { ++losses; }));
    EXPECT_TRUE(waitUntil([&] { return losses > 0; }, 2s));
    capture.unwatchDefaultOutput();
    capture.stopStream();
    capture.closeStream();
    capture.disconnect();
    EXPECT_EQ(losses, 1);
}
