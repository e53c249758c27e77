#pragma once
// Helpers for the programs that run inside the test kernel (tests/kernel/run-in-guest.sh).

#include <linux/hidraw.h>
#include <linux/input.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <SDL.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace jolto::guest {

using Clock = std::chrono::steady_clock;
// Generous: the guest runs under software emulation on a shared, loaded machine.
inline constexpr auto kDeadline = std::chrono::seconds(10);

// The guest's init exports JOLTO_GUEST; on a developer's desktop these programs would create
// real input devices that the session picks up, so they refuse to run there.
#define JOLTO_REQUIRE_GUEST()                                                                      \
    do {                                                                                           \
        if (!std::getenv("JOLTO_GUEST"))                                                           \
            GTEST_SKIP() << "creates kernel input devices; runs only in the test kernel "          \
                            "(tests/kernel/run-in-guest.sh)";                                      \
    } while (false)

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

using Node = std::pair<Fd, std::string>; // an opened input node and its path

// Opens the node under `folder` named `prefix`... whose device name (`nameRequest` reads 255
// bytes) is `name`, polling until `deadline`: nodes appear asynchronously.
inline std::optional<Node> openByName(const char* folder, const char* prefix,
                                      const std::string& name, int flags, unsigned long nameRequest,
                                      Clock::time_point deadline) {
    for (;;) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
            if (entry.path().filename().string().rfind(prefix, 0) != 0)
                continue;
            Fd fd(::open(entry.path().c_str(), flags | O_CLOEXEC));
            std::array<char, 256> buffer{};
            if (fd && ::ioctl(fd.get(), nameRequest, buffer.data()) >= 0 && name == buffer.data())
                return std::make_pair(std::move(fd), entry.path().string());
        }
        if (Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

inline std::optional<Node> openEventNode(const std::string& name,
                                         Clock::time_point deadline = Clock::now() + kDeadline) {
    return openByName("/dev/input", "event", name, O_RDONLY | O_NONBLOCK, EVIOCGNAME(255),
                      deadline);
}

// Waits until no evdev node is named `name` any more. A removed device's node lingers for a
// moment, and a new device of the same name must not be mistaken for it.
inline bool waitUntilGone(const std::string& name) {
    for (auto deadline = Clock::now() + kDeadline; openEventNode(name, Clock::now());) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Appends what has arrived on `fd`, waiting until `until` for the first; whether anything came.
inline bool readEvents(int fd, std::vector<input_event>& into, Clock::time_point until = {}) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) <= 0)
        return false;
    input_event ev{};
    while (::read(fd, &ev, sizeof ev) == static_cast<ssize_t>(sizeof ev))
        into.push_back(ev);
    return true;
}

// Reads until key `code` goes to `value`; that event's index in `into`, or nothing by `deadline`.
inline std::optional<std::size_t> awaitKey(int fd, std::vector<input_event>& into, int code,
                                           int value, Clock::time_point deadline) {
    for (std::size_t at = 0;; readEvents(fd, into, deadline)) {
        for (; at < into.size(); ++at)
            if (into[at].type == EV_KEY && into[at].code == code && into[at].value == value)
                return at;
        if (Clock::now() >= deadline)
            return std::nullopt;
    }
}

// Starts SDL as a game does and waits for the joystick named `name`; its index, or -1. No udev
// daemon runs in the guest, so SDL scans /dev/input itself.
inline int startSdl(const std::string& name) {
    setenv("SDL_JOYSTICK_DISABLE_UDEV", "1", 1);
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    if (SDL_Init(SDL_INIT_JOYSTICK | SDL_INIT_GAMECONTROLLER) != 0)
        return -1;
    for (auto deadline = Clock::now() + kDeadline; Clock::now() < deadline; SDL_Delay(20)) {
        SDL_PumpEvents();
        for (int i = 0; i < SDL_NumJoysticks(); ++i)
            if (const char* n = SDL_JoystickNameForIndex(i); n && name == n)
                return i;
    }
    return -1;
}

} // namespace jolto::guest
