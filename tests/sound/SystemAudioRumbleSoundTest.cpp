#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "../fakes/CapturingLogSink.h"
#include "audio/SystemAudioRumble.h"
#include "platform/linux/PulseAudioCapture.h"

extern char** environ;

using namespace jolto;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

namespace {

// Checks `done` every 20 ms until it holds; false if it still does not at the deadline.
template <typename Predicate> bool waitUntil(Predicate done, Steady::duration timeout = 15s) {
    const auto deadline = Steady::now() + timeout;
    while (!done()) {
        if (Steady::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// Runs a shell command line in the background; its process id.
pid_t spawn(const std::string& command) {
    const std::string line = "exec " + command + " </dev/null 2>&1";
    const char* argv[] = {"sh", "-c", line.c_str(), nullptr};
    pid_t child = -1;
    return posix_spawnp(&child, "sh", nullptr, nullptr, const_cast<char**>(argv), environ) == 0
               ? child
               : -1;
}

// Waits for a child to end, then forgets it; false if it is still running at the deadline.
bool reap(pid_t& child, Steady::duration timeout) {
    if (child > 0 && !waitUntil([&] { return waitpid(child, nullptr, WNOHANG) != 0; }, timeout)) {
        return false;
    }
    child = -1;
    return true;
}

// Ends a child (politely first) and reaps it.
void end(pid_t& child) {
    if (child > 0) {
        kill(child, SIGTERM);
        if (!reap(child, 10s)) {
            kill(child, SIGKILL);
            reap(child, 10s);
        }
    }
}

// Capture from a PulseAudio daemon of the test's own: null sinks sinkA (48000 Hz, the default)
// and sinkB (44100 Hz) on an anonymous unix socket, in a temporary folder that the environment
// points libpulse and pactl to. Only what needs the real server is proven here.
class SystemAudioRumbleOnPulseAudio : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("{ command -v pulseaudio && command -v pactl && command -v pacat; } "
                        ">/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "pulseaudio, pactl or pacat missing (scripts/setup.sh installs them)";
        }
        ASSERT_TRUE(startDaemon());
        rumble = std::make_unique<SystemAudioRumble>(
            makeSystemAudioCapture(),
            [this](RumbleLevels levels) {
                std::lock_guard lock(mutex);
                times.push_back(Steady::now());
                published.push_back(levels);
            },
            [this] { ++deviceChanges; });
        start();
    }
    void TearDown() override {
        rumble.reset();
        end(player);
        end(daemon);
        std::filesystem::remove_all(dir);
    }

    // Starts the daemon and waits until it answers. A second start, after it was ended, brings
    // up a new daemon on the same socket, as a restarted sound server is.
    bool startDaemon() {
        std::filesystem::create_directories(dir + "/run");
        std::ofstream(dir + "/probe.pa")
            << ".fail\n"
               "load-module module-null-sink sink_name=sinkA rate=48000 channels=2\n"
               "load-module module-null-sink sink_name=sinkB rate=44100 channels=2\n"
               "load-module module-native-protocol-unix auth-anonymous=1 socket="
            << dir << "/native\nset-default-sink sinkA\n";
        setenv("PULSE_RUNTIME_PATH", (dir + "/run").c_str(), 1);
        setenv("PULSE_STATE_PATH", (dir + "/run").c_str(), 1);
        setenv("HOME", dir.c_str(), 1);
        setenv("PULSE_SERVER", ("unix:" + dir + "/native").c_str(), 1);
        daemon = spawn("pulseaudio --daemonize=no --exit-idle-time=-1 --use-pid-file=no -n -F " +
                       dir + "/probe.pa --log-target=stderr >>" + dir + "/daemon.log");
        const auto answers = [&] {
            return std::filesystem::exists(dir + "/native") && pactl("info", false);
        };
        const bool up = waitUntil([&] { return reap(daemon, {}) || answers(); }, 30s) && daemon > 0;
        EXPECT_TRUE(up) << "pulseaudio did not come up:\n" << read("daemon.log");
        return up;
    }
    // Runs `pactl arguments`; what it printed, or nothing when it failed or overran 20 s, which
    // fails the test when `mustWork`.
    std::optional<std::string> pactl(const std::string& arguments, bool mustWork = true) {
        const auto line = "timeout 20 pactl " + arguments + " >" + dir + "/out 2>/dev/null";
        const bool worked = std::system(line.c_str()) == 0;
        EXPECT_TRUE(worked || !mustWork) << "pactl " << arguments;
        const std::string text = read("out");
        return worked ? std::optional(text.substr(0, text.find_last_not_of('\n') + 1))
                      : std::nullopt;
    }
    std::string read(const std::string& file) const {
        std::ifstream in(dir + "/" + file);
        return std::string(std::istreambuf_iterator(in), {});
    }
    // Plays `seconds` of a 60 Hz sine at `amplitude` on both channels into `sink` at `rate`,
    // in the background, ending any tone still playing; false when the player did not start.
    bool play(const std::string& sink, int rate, double seconds, double amplitude) {
        end(player);
        std::ofstream out(dir + "/signal.raw", std::ios::binary | std::ios::trunc);
        for (std::size_t i = 0; i < std::size_t(rate * seconds); ++i) {
            const float s = float(amplitude * std::sin(2 * M_PI * 60 * double(i) / rate));
            const float frame[] = {s, s};
            out.write(reinterpret_cast<const char*>(frame), sizeof frame);
        }
        out.close();
        player = spawn("pacat --playback --raw --format=float32le --channels=2 --device=" + sink +
                       " --rate=" + std::to_string(rate) + " " + dir + "/signal.raw");
        return player > 0;
    }

    void start() { ASSERT_EQ(rumble->start(), std::nullopt); }
    // The levels published since `since` (the start of the test when not given).
    std::vector<RumbleLevels> levels(Steady::time_point since = {}) {
        std::lock_guard lock(mutex);
        const auto from = std::lower_bound(times.begin(), times.end(), since) - times.begin();
        return std::vector(published.begin() + from, published.end());
    }
    bool heardBass(Steady::time_point since = {}) {
        const auto all = levels(since);
        return std::any_of(all.begin(), all.end(), [](RumbleLevels l) { return l.low > 0.9f; });
    }

    const std::string dir = ::testing::TempDir() + "jolto-sound-" + std::to_string(getpid());
    pid_t daemon = -1;
    pid_t player = -1;
    ScopedLogCapture log;
    std::mutex mutex;
    std::vector<Steady::time_point> times; // of each publish
    std::vector<RumbleLevels> published;
    std::atomic<int> deviceChanges{0};
    std::unique_ptr<SystemAudioRumble> rumble;
};

} // namespace

// A new default sink is a device change whose rebuild finds its rate; another server event that
// leaves the default sink alone is not. A tone gives the same levels at any sink volume, and on
// 5.1 (downmixed by the server) as on stereo: full scale on the 16-bit sinkB, a tenth of it on
// float sinks (no saturation, no precision lost at a tenth of the volume). When audio stops
// arriving while a tone plays on surround (the sink suspended, or the server stalled by a signal
// as a busy machine or a debugger would) one (0, 0) follows within 200 ms, nothing more while it
// lasts, then levels again. Losing the server is reported once; the capture cannot connect until
// the server is back, then works on the new one.
TEST_F(SystemAudioRumbleOnPulseAudio, FollowsDevicesVolumesLayoutsPausesAndALostServer) {
    pactl("load-module module-null-sink rate=48000 format=float32le sink_name=stereo");
    pactl("load-module module-null-sink rate=48000 format=float32le sink_name=surround "
          "channels=6 channel_map=front-left,front-right,rear-left,rear-right,front-center,lfe");
    pactl("set-default-source sinkA.monitor");
    const std::tuple<const char*, int, double> runs[] = {
        {"sinkB", 44100, 1.0}, {"stereo", 48000, 0.1}, {"surround", 48000, 0.1}};
    // By amplitude, the first level measured: every other must lie within 10 % of it.
    std::map<double, double> first;
    for (const auto& [sink, rate, amplitude] : runs) {
        pactl(std::string("set-default-sink ") + sink);
        ASSERT_TRUE(waitUntil([&] { return deviceChanges > 0; })) << "no device change reported";
        EXPECT_EQ(deviceChanges.exchange(0), 1);
        start();
        EXPECT_EQ(log->lines().back().message,
                  "System audio rumble started at " + std::to_string(rate) + ".000000 Hz, 2 ch");
        ASSERT_TRUE(play(sink, rate, 7.0, amplitude));
        ASSERT_TRUE(waitUntil([&] { return !levels().empty() && levels().back().low > 0.05f; }));
        for (const char* volume : {"100%", "30%", "10%"}) {
            pactl(std::string("set-sink-volume ") + sink + " " + volume);
            std::this_thread::sleep_for(500ms);
            const auto since = Steady::now();
            std::this_thread::sleep_for(1200ms);
            const auto heard = levels(since);
            const auto sum = [](double low, RumbleLevels l) { return low + l.low; };
            const double low =
                std::accumulate(heard.begin(), heard.end(), 0.0, sum) / double(heard.size());
            const double expected = first.emplace(amplitude, low).first->second;
            EXPECT_GT(low, 0.3) << sink << " at " << volume;
            EXPECT_NEAR(low, expected, 0.1 * expected) << sink << " at " << volume;
        }
    }

    ASSERT_TRUE(play("surround", 48000, 10.0, 0.5));
    auto since = Steady::now();
    ASSERT_TRUE(waitUntil([&] { return heardBass(since); })) << "the 60 Hz sine never drove low";
    since = Steady::now();
    std::this_thread::sleep_for(1s);
    EXPECT_GT(levels(since).size(), 10u) << "audio comes in bursts";

    const struct {
        const char* name;
        std::function<void()> halt, resume;
    } cases[] = {
        {"suspended sink", [&] { pactl("suspend-sink surround 1"); },
         [&] { pactl("suspend-sink surround 0"); }},
        {"stalled server", [&] { kill(daemon, SIGSTOP); }, [&] { kill(daemon, SIGCONT); }},
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

    end(daemon);
    ASSERT_TRUE(waitUntil([&] { return deviceChanges > 0; })) << "losing the server went unseen";
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(deviceChanges, 1);
    const auto error = rumble->start();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->step, "connect to the sound server");
    ASSERT_TRUE(startDaemon());
    start();
    since = Steady::now();
    ASSERT_TRUE(play("sinkA", 48000, 3.0, 0.5));
    EXPECT_TRUE(waitUntil([&] { return heardBass(since); })) << "no levels from the new server";
}

// A capture whose stream is lost reports it once: the captured sink going while the default
// output stays (the server must not move the stream to another source, a microphone perhaps),
// or the server quitting after the stream started but before the watch was installed.
TEST_F(SystemAudioRumbleOnPulseAudio, ALostStreamIsReportedOnceEvenBeforeTheWatch) {
    rumble.reset();
    const auto usb = pactl("load-module module-null-sink sink_name=usb rate=48000");
    ASSERT_TRUE(usb);
    for (bool serverQuits : {false, true}) {
        SCOPED_TRACE(serverQuits ? "server quits before the watch" : "captured sink removed");
        std::atomic<int> losses{0};
        PulseAudioCapture capture; // torn down when it goes, as after any loss
        ASSERT_EQ(capture.connect(), 0);
        const std::string sink = capture.defaultOutput().value;
        const auto output = capture.describeOutput(serverQuits ? sink : "usb");
        ASSERT_EQ(output.status, 0);
        ASSERT_EQ(capture.openStream(
                      output.value.monitorSource, {48000, 2, true, true, 0}, [](auto) {}, [] {}),
                  0);
        ASSERT_EQ(capture.startStream(), 0);
        if (serverQuits) {
            end(daemon);
            std::this_thread::sleep_for(300ms); // the capture context sees the connection close
        }
        EXPECT_TRUE(capture.watchDefaultOutput([&] { ++losses; }));
        if (!serverQuits) {
            pactl("unload-module " + *usb);
        }
        EXPECT_TRUE(waitUntil([&] { return losses > 0; }, 2s));
        if (!serverQuits) {
            EXPECT_EQ(pactl("list source-outputs short"), "") << "the stream was moved";
        }
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(losses, 1);
    }
}
