#pragma once

// A PulseAudio daemon of the test's own: two null sinks (sinkA at 48000 Hz, the default, and
// sinkB at 44100 Hz) and an anonymous unix socket, all inside a temporary folder. The test
// process's environment points libpulse and the pulse utilities there while it runs; the
// daemon is stopped by its process id when the object goes, whatever happened.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace jolto::testing {

class PulseDaemon {
public:
    PulseDaemon() = default;
    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;
    ~PulseDaemon() {
        stop();
        restoreEnvironment();
        if (!dir_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
        }
    }

    // Where the daemon binary is, or nothing when it is not installed.
    static std::optional<std::string> findBinary(const std::string& name) {
        const char* path = std::getenv("PATH");
        std::istringstream folders(path ? path : "/usr/bin:/bin");
        for (std::string folder; std::getline(folders, folder, ':');) {
            const std::string candidate = folder + "/" + name;
            if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
        return std::nullopt;
    }

    // Starts the daemon and waits until it answers. On failure returns why. A second start,
    // after stop, brings up a new daemon on the same socket, as a restarted sound server is.
    std::optional<std::string> start() {
        if (dir_.empty()) {
            char pattern[] = "/tmp/jolto-sound-XXXXXX";
            if (mkdtemp(pattern) == nullptr) {
                return "no temporary folder";
            }
            dir_ = pattern;
        }
        std::filesystem::create_directories(dir_ + "/run");
        std::filesystem::create_directories(dir_ + "/state");
        std::ofstream(dir_ + "/probe.pa")
            << ".fail\n"
               "load-module module-null-sink sink_name=sinkA "
               "sink_properties=device.description=SinkA rate=48000 channels=2\n"
               "load-module module-null-sink sink_name=sinkB "
               "sink_properties=device.description=SinkB rate=44100 channels=2\n"
               "load-module module-native-protocol-unix socket="
            << dir_ << "/native auth-anonymous=1\n"
            << "set-default-sink sinkA\n";

        setEnvironment("PULSE_RUNTIME_PATH", dir_ + "/run");
        setEnvironment("PULSE_STATE_PATH", dir_ + "/state");
        setEnvironment("HOME", dir_);
        setEnvironment("PULSE_SERVER", "unix:" + dir_ + "/native");

        pid_ = spawn({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                      "-n", "-F", dir_ + "/probe.pa", "--log-target=stderr"},
                     dir_ + "/daemon.log");
        if (pid_ <= 0) {
            return "could not spawn pulseaudio";
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return "pulseaudio exited early:\n" + log();
            }
            if (std::filesystem::exists(dir_ + "/native") && run({"pactl", "info"}) == 0) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return "pulseaudio did not answer within 30 s:\n" + log();
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

    // Runs a utility to completion; its exit status, or -1 when it failed or overran.
    int run(const std::vector<std::string>& argv,
            std::chrono::seconds timeout = std::chrono::seconds(20)) const {
        const pid_t child = spawn(argv, dir_ + "/utilities.log");
        if (child <= 0) {
            return -1;
        }
        int status = 0;
        if (!reap(child, timeout, &status)) {
            kill(child, SIGKILL);
            reap(child, std::chrono::seconds(10));
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t spawn(const std::vector<std::string>& argv, const std::string& logFile) const {
        std::vector<char*> args;
        for (const auto& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        pid_t child = -1;
        const int error = posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return error == 0 ? child : -1;
    }

    // Waits for a child to end; false if it is still running at the deadline.
    static bool reap(pid_t child, std::chrono::steady_clock::duration timeout,
                     int* status = nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        int ignored = 0;
        for (;;) {
            const pid_t done = waitpid(child, status ? status : &ignored, WNOHANG);
            if (done == child || done < 0) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    // Plays `seconds` of a 60 Hz sine at `amplitude` on both channels, then `silence` seconds
    // of zeros, into `sink` at `rate`; returns the player's process id without waiting.
    pid_t playTone(const std::string& sink, int rate, double seconds, double silence,
                   double amplitude) const {
        const std::string file = dir_ + "/signal.raw";
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        const auto frames = std::size_t(rate * seconds);
        const auto quiet = std::size_t(rate * silence);
        for (std::size_t i = 0; i < frames + quiet; ++i) {
            const float s =
                i < frames ? float(amplitude * std::sin(2 * M_PI * 60 * double(i) / rate)) : 0.0f;
            out.write(reinterpret_cast<const char*>(&s), sizeof s);
            out.write(reinterpret_cast<const char*>(&s), sizeof s);
        }
        out.close();
        return spawn({"pacat", "--playback", "--raw", "--device=" + sink, "--format=float32le",
                      "--rate=" + std::to_string(rate), "--channels=2", file},
                     dir_ + "/player.log");
    }

    std::string log() const {
        std::ifstream in(dir_ + "/daemon.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    const std::string& dir() const { return dir_; }
    pid_t pid() const { return pid_; }

private:
    void setEnvironment(const std::string& name, const std::string& value) {
        if (!saved_.count(name)) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        setenv(name.c_str(), value.c_str(), 1);
    }

    void restoreEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
        saved_.clear();
    }

    std::string dir_;
    pid_t pid_ = -1;
    std::map<std::string, std::optional<std::string>> saved_;
};

} // namespace jolto::testing
