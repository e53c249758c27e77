#pragma once

// A PulseAudio daemon of the test's own: two null sinks (sinkA at 48000 Hz, the default, and
// sinkB at 44100 Hz) and an anonymous unix socket, all inside a temporary folder. The test
// process's environment points libpulse and the pulse utilities there; the daemon is stopped
// by its process id when the object goes, whatever happened.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

extern char** environ;

namespace jolto::testing {

class PulseDaemon {
public:
    ~PulseDaemon() {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    static bool installed() {
        return std::system("command -v pulseaudio && command -v pactl && command -v pacat "
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
                         dir_ + "/probe.pa --log-target=stderr",
                     dir_ + "/daemon.log");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
            } else if (std::filesystem::exists(dir_ + "/native") && pactl("info")) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::ifstream log(dir_ + "/daemon.log");
        return "pulseaudio did not come up:\n" + std::string(std::istreambuf_iterator(log), {});
    }

    // Ends the daemon (politely first) and reaps it.
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            if (!reap(pid_, std::chrono::seconds(10))) {
                kill(pid_, SIGKILL);
                reap(pid_, std::chrono::seconds(10));
            }
            pid_ = -1;
        }
    }

    // Runs `pactl arguments`; what it printed, or nothing when it failed or overran 20 s.
    std::optional<std::string> pactl(const std::string& arguments) const {
        FILE* out = popen(("timeout 20 pactl " + arguments + " 2>/dev/null").c_str(), "r");
        std::string text;
        char chunk[256];
        for (std::size_t n; out && (n = std::fread(chunk, 1, sizeof chunk, out)) > 0;) {
            text.append(chunk, n);
        }
        while (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        return out && pclose(out) == 0 ? std::optional(text) : std::nullopt;
    }

    // Waits for a child to end; false if it is still running at the deadline.
    static bool reap(pid_t child, std::chrono::steady_clock::duration timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (pid_t done; (done = waitpid(child, nullptr, WNOHANG)) != child && done >= 0;) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    // Plays `seconds` of a 60 Hz sine at `amplitude` on both channels into `sink` at `rate`;
    // returns the player's process id without waiting.
    pid_t playTone(const std::string& sink, int rate, double seconds, double amplitude) const {
        std::ofstream out(dir_ + "/signal.raw", std::ios::binary | std::ios::trunc);
        for (std::size_t i = 0; i < std::size_t(rate * seconds); ++i) {
            const float s = float(amplitude * std::sin(2 * M_PI * 60 * double(i) / rate));
            const float frame[] = {s, s};
            out.write(reinterpret_cast<const char*>(frame), sizeof frame);
        }
        out.close();
        return spawn("pacat --playback --raw --format=float32le --channels=2 --device=" + sink +
                         " --rate=" + std::to_string(rate) + " " + dir_ + "/signal.raw",
                     dir_ + "/player.log");
    }

    pid_t pid() const { return pid_; }

private:
    // Runs a shell command line in the background, its output into `logFile`; its process id.
    static pid_t spawn(const std::string& command, const std::string& logFile) {
        const std::string line = "exec " + command + " </dev/null >>" + logFile + " 2>&1";
        const char* argv[] = {"sh", "-c", line.c_str(), nullptr};
        pid_t child = -1;
        return posix_spawnp(&child, "sh", nullptr, nullptr, const_cast<char**>(argv), environ) == 0
                   ? child
                   : -1;
    }

    std::string dir_ = [] {
        char pattern[] = "/tmp/jolto-sound-XXXXXX";
        return std::string(mkdtemp(pattern) ? pattern : "/tmp/jolto-sound");
    }();
    pid_t pid_ = -1;
};

} // namespace jolto::testing
