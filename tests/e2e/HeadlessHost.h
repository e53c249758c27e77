#pragma once
// The real jolto-host in its headless mode, with a settings, runtime and home folder of its
// own, read through the lines it prints ("listener ready port=N", "pin NNNN",
// "controller joined player=N name=...").

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "ChildProcess.h"

namespace jolto::e2e {

class HeadlessHost {
public:
    using Clock = ChildProcess::Clock;

    // Starts the program with `settingsJson` as its settings file and waits for its port and
    // first PIN; the reason in `error` when that fails.
    bool start(const std::string& program, const std::filesystem::path& folder,
               const std::string& settingsJson, std::string& error) {
        folder_ = folder;
        const auto config = folder / "config";
        const auto runtime = folder / "runtime";
        std::filesystem::create_directories(config / "jolto-host");
        std::filesystem::create_directories(runtime);
        std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
        std::ofstream(config / "jolto-host" / "settings.json") << settingsJson;
        process_ =
            ChildProcess::start({program, "--headless"},
                                {"XDG_CONFIG_HOME=" + config.string(),
                                 "XDG_RUNTIME_DIR=" + runtime.string(), "HOME=" + folder.string()},
                                folder / "host.stderr", error);
        if (!process_) {
            return false;
        }
        // Starting a Qt program under software emulation takes a while.
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        const auto ready = process_->waitForPrefix("listener ready port=", deadline);
        const auto pin = process_->waitForPrefix("pin ", deadline);
        if (!ready || !pin) {
            error = "the host did not report its port and PIN\n" + process_->transcript();
            return false;
        }
        port_ = static_cast<std::uint16_t>(
            std::stoi(process_->lines()[*ready].text.substr(std::strlen("listener ready port="))));
        return port_ != 0;
    }

    bool hasProcess() const { return process_ != nullptr; }
    ChildProcess& process() { return *process_; }
    std::uint16_t port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }
    const std::filesystem::path& folder() const { return folder_; }

    // How many PINs the host has shown so far, and the newest.
    std::size_t pinCount() {
        process_->readOutput();
        std::size_t count = 0;
        for (const auto& l : process_->lines()) {
            count += l.text.rfind("pin ", 0) == 0 ? 1 : 0;
        }
        return count;
    }
    std::string pin() {
        process_->readOutput();
        std::string latest;
        for (const auto& l : process_->lines()) {
            if (l.text.rfind("pin ", 0) == 0) {
                latest = l.text.substr(4);
            }
        }
        return latest;
    }

    // Waits for the PIN that replaces the one counted by `countBefore`. A newly drawn PIN equal
    // to the old one prints nothing (one time in ten thousand), so after the deadline the
    // shown PIN stands.
    std::string nextPin(std::size_t countBefore, Clock::time_point deadline) {
        std::size_t seen = 0;
        process_->waitForLine(
            [&](const std::string& l) { return l.rfind("pin ", 0) == 0 && ++seen > countBefore; },
            deadline);
        return pin();
    }

private:
    std::filesystem::path folder_;
    std::unique_ptr<ChildProcess> process_;
    std::uint16_t port_ = 0;
};

} // namespace jolto::e2e
