#pragma once

// A PulseAudio daemon of the test's own: two null sinks (sinkA at 48000 Hz, the default, and
// sinkB at 44100 Hz) and an anonymous unix socket, all inside a temporary folder. The test
// process's environment points libpulse and the pulse utilities there; the daemon and the tone
// player are stopped by their process ids when the object goes, whatever happened.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

extern char** environ;

namespace jolto::testing {

using namespace std::chrono_literals;

// Checks `done` every 20 ms until it holds; false if it still does not at the deadline.
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

class PulseDaemon {
public:
    ~PulseDaemon() {
        end(player_);
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    static bool installed() {
        return std::system("{ command -v pulseaudio && command -v pactl && command -v pacat; } "
                           ">/dev/null 2>&1") == 0;
    }

    // Starts the daemon and waits until it answers; on failure says why. A second start, after
    // stop, brings up a new daemon on the same socket, as a restarted sound server is.
    std::optional<std::string> start() {
        std::filesystem::create_directories(dir_ + "/run");
        std::ofstream(dir_ + "/probe.pa")
            << ".fail\n"
               "load-module module-null-sink sink_name=sinkA rate=48000 channels=2\n"
               "load-module module-null-sink sink_name=sinkB rate=44100 channels=2\n"
               "load-module module-native-protocol-unix auth-anonymous=1 socket="
            << dir_ << "/native\nset-default-sink sinkA\n";
        setenv("PULSE_RUNTIME_PATH", (dir_ + "/run").c_str(), 1);
        setenv("PULSE_STATE_PATH", (dir_ + "/run").c_str(), 1);
        setenv("HOME", dir_.c_str(), 1);
        setenv("PULSE_SERVER", ("unix:" + dir_ + "/native").c_str(), 1);
        pid_ = spawn("pulseaudio --daemonize=no --exit-idle-time=-1 --use-pid-file=no -n -F " +
                     dir_ + "/probe.pa --log-target=stderr >>" + dir_ + "/daemon.log");
        const auto answers = [&] {
            return std::filesystem::exists(dir_ + "/native") && pactl("info");
        };
        if (waitUntil([&] { return reap(pid_, {}) || answers(); }, 30s) && pid_ > 0) {
            return std::nullopt;
        }
        return "pulseaudio did not come up:\n" + read("daemon.log");
    }

    void stop() { end(pid_); }
    pid_t pid() const { return pid_; }

    // Runs `pactl arguments`; what it printed, or nothing when it failed or overran 20 s.
    std::optional<std::string> pactl(const std::string& arguments) const {
        const auto line = "timeout 20 pactl " + arguments + " >" + dir_ + "/pactl.out 2>/dev/null";
        if (std::system(line.c_str()) != 0) {
            return std::nullopt;
        }
        const std::string text = read("pactl.out");
        return text.substr(0, text.find_last_not_of('\n') + 1);
    }

    // Starts playing `seconds` of a 60 Hz sine at `amplitude` on both channels into `sink` at
    // `rate`, ending any tone still playing; false when the player did not start.
    bool play(const std::string& sink, int rate, double seconds, double amplitude) {
        end(player_);
        std::ofstream out(dir_ + "/signal.raw", std::ios::binary | std::ios::trunc);
        for (std::size_t i = 0; i < std::size_t(rate * seconds); ++i) {
            const float s = float(amplitude * std::sin(2 * M_PI * 60 * double(i) / rate));
            const float frame[] = {s, s};
            out.write(reinterpret_cast<const char*>(frame), sizeof frame);
        }
        out.close();
        player_ = spawn("pacat --playback --raw --format=float32le --channels=2 --device=" + sink +
                        " --rate=" + std::to_string(rate) + " " + dir_ + "/signal.raw");
        return player_ > 0;
    }

private:
    std::string read(const std::string& file) const {
        std::ifstream in(dir_ + "/" + file);
        return std::string(std::istreambuf_iterator(in), {});
    }
    // Runs a shell command line in the background; its process id.
    static pid_t spawn(const std::string& command) {
        const std::string line = "exec " + command + " </dev/null 2>&1";
        const char* argv[] = {"sh", "-c", line.c_str(), nullptr};
        pid_t child = -1;
        return posix_spawnp(&child, "sh", nullptr, nullptr, const_cast<char**>(argv), environ) == 0
                   ? child
                   : -1;
    }
    // Waits for a child to end, then forgets it; false if it is still running at the deadline.
    static bool reap(pid_t& child, std::chrono::steady_clock::duration timeout) {
        if (child > 0 &&
            !waitUntil([&] { return waitpid(child, nullptr, WNOHANG) != 0; }, timeout)) {
            return false;
        }
        child = -1;
        return true;
    }
    // Ends a child (politely first) and reaps it.
    static void end(pid_t& child) {
        if (child > 0) {
            kill(child, SIGTERM);
            if (!reap(child, 10s)) {
                kill(child, SIGKILL);
                reap(child, 10s);
            }
        }
    }

    std::string dir_ = [] {
        char pattern[] = "/tmp/jolto-sound-XXXXXX";
        return std::string(mkdtemp(pattern) ? pattern : "/tmp/jolto-sound");
    }();
    pid_t pid_ = -1;
    pid_t player_ = -1;
};

} // namespace jolto::testing
