#pragma once
// A program run by an end-to-end test: its standard output is read line by line, each line
// stamped with the monotonic time at which the test read it, its standard error goes to a file
// for the failure message, and it is killed and reaped when the object goes, so that no test
// leaves a process behind.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace jolto::e2e {

class ChildProcess {
public:
    using Clock = std::chrono::steady_clock;

    struct Line {
        std::string text;
        Clock::time_point readAt;
    };

    // Starts `argv` with this process's environment plus `environment` ("NAME=value", which
    // wins over an inherited NAME). Nothing, with the reason in `error`, when it cannot start.
    static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv,
                                               const std::vector<std::string>& environment,
                                               const std::filesystem::path& stderrFile,
                                               std::string& error) {
        std::vector<std::string> env = environment;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry(*e);
            const std::string name = entry.substr(0, entry.find('='));
            bool overridden = false;
            for (const auto& mine : environment) {
                overridden = overridden || mine.rfind(name + "=", 0) == 0;
            }
            if (!overridden) {
                env.push_back(entry);
            }
        }
        std::vector<char*> args, envp;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        for (const auto& e : env) {
            envp.push_back(const_cast<char*>(e.c_str()));
        }
        envp.push_back(nullptr);

        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            error = std::string("pipe: ") + std::strerror(errno);
            return nullptr;
        }
        const int err = ::open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        // A status pipe tells exec failures apart from the program's own exit codes.
        int status[2];
        if (err < 0 || in < 0 || ::pipe2(status, O_CLOEXEC) != 0) {
            error = "cannot open " + stderrFile.string();
            return nullptr;
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(in, 0);
            ::dup2(out[1], 1);
            ::dup2(err, 2);
            ::execve(args[0], args.data(), envp.data());
            const int code = errno;
            (void)!::write(status[1], &code, sizeof code);
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err);
        ::close(in);
        ::close(status[1]);
        int execError = 0;
        const bool failed = pid > 0 && ::read(status[0], &execError, sizeof execError) > 0;
        ::close(status[0]);
        if (pid < 0 || failed) {
            error = "cannot start " + argv[0] + ": " + std::strerror(pid < 0 ? errno : execError);
            if (pid > 0) {
                ::waitpid(pid, nullptr, 0);
            }
            ::close(out[0]);
            return nullptr;
        }
        ::fcntl(out[0], F_SETFL, O_NONBLOCK);
        return std::unique_ptr<ChildProcess>(new ChildProcess(pid, out[0], argv[0], stderrFile));
    }

    ~ChildProcess() {
        if (running()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    int outputFd() const { return out_; }
    const std::vector<Line>& lines() const { return lines_; }

    // Takes in what the program has written so far, waiting at most until `until` for the
    // first bytes.
    void readOutput(Clock::time_point until = {}) {
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, millisecondsUntil(until)) <= 0) {
            return;
        }
        char buffer[8192];
        ssize_t n = 0;
        while ((n = ::read(out_, buffer, sizeof buffer)) > 0) {
            const auto now = Clock::now();
            partial_.append(buffer, static_cast<std::size_t>(n));
            for (std::size_t end; (end = partial_.find('\n')) != std::string::npos;) {
                lines_.push_back({partial_.substr(0, end), now});
                partial_.erase(0, end + 1);
            }
        }
    }

    // The index of the first line from `from` on that satisfies `matches`, reading output
    // until `deadline`.
    std::optional<std::size_t> waitForLine(const std::function<bool(const std::string&)>& matches,
                                           Clock::time_point deadline, std::size_t from = 0) {
        for (;;) {
            for (std::size_t i = from; i < lines_.size(); ++i) {
                if (matches(lines_[i].text)) {
                    return i;
                }
            }
            from = std::max(from, lines_.size());
            if (Clock::now() >= deadline || (!running() && !hasUnread())) {
                return std::nullopt;
            }
            readOutput(std::min(deadline, Clock::now() + std::chrono::milliseconds(50)));
        }
    }

    std::optional<std::size_t> waitForPrefix(const std::string& prefix, Clock::time_point deadline,
                                             std::size_t from = 0) {
        return waitForLine([&](const std::string& l) { return l.rfind(prefix, 0) == 0; }, deadline,
                           from);
    }

    bool running() {
        if (exitStatus_) {
            return false;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exitStatus_ = status;
            return false;
        }
        return true;
    }

    // The exit code once the program has ended (reading its output meanwhile), -1 for a
    // signal, nothing if it is still running at `deadline`.
    std::optional<int> waitForExit(Clock::time_point deadline) {
        while (running()) {
            if (Clock::now() >= deadline) {
                return std::nullopt;
            }
            readOutput(std::min(deadline, Clock::now() + std::chrono::milliseconds(20)));
        }
        readOutput();
        return WIFEXITED(*exitStatus_) ? WEXITSTATUS(*exitStatus_) : -1;
    }

    void signal(int number) {
        if (running()) {
            ::kill(pid_, number);
        }
    }

    // SIGTERM, then SIGKILL if it has not ended within `grace`; the exit code as above.
    std::optional<int> stop(std::chrono::milliseconds grace = std::chrono::seconds(10)) {
        signal(SIGTERM);
        if (auto code = waitForExit(Clock::now() + grace)) {
            return code;
        }
        signal(SIGKILL);
        return waitForExit(Clock::now() + std::chrono::seconds(10));
    }

    // Everything the program said, for failure messages.
    std::string transcript() {
        readOutput();
        std::ostringstream text;
        text << "--- " << name_ << " stdout:\n";
        for (const auto& l : lines_) {
            text << l.text << '\n';
        }
        text << partial_ << "--- stderr:\n";
        std::ifstream err(stderrFile_);
        text << err.rdbuf();
        return text.str();
    }

private:
    ChildProcess(pid_t pid, int out, std::string name, std::filesystem::path stderrFile)
        : pid_(pid), out_(out), name_(std::move(name)), stderrFile_(std::move(stderrFile)) {}

    static int millisecondsUntil(Clock::time_point until) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        return left < 0 ? 0 : static_cast<int>(left);
    }

    bool hasUnread() const {
        pollfd p{out_, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
    }

    pid_t pid_;
    int out_;
    std::string name_;
    std::filesystem::path stderrFile_;
    std::vector<Line> lines_;
    std::string partial_;
    std::optional<int> exitStatus_;
};

} // namespace jolto::e2e
