#pragma once
// Helpers for the programs that run inside the test kernel (tests/kernel/run-in-guest.sh):
// finding input nodes by name and reading evdev frames with deadlines.

#include <linux/hidraw.h>
#include <linux/input.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace jolto::guest {

using Clock = std::chrono::steady_clock;
// Generous: the guest runs under software emulation on a shared, loaded machine.
inline constexpr auto kDeadline = std::chrono::seconds(10);
inline constexpr auto kPoll = std::chrono::milliseconds(50);

// The guest's init exports JOLTO_GUEST; on a developer's desktop these programs would create
// real input devices that the session picks up, so they refuse to run there.
inline bool insideGuest() {
    const char* value = std::getenv("JOLTO_GUEST");
    return value != nullptr && std::string(value) == "1";
}
#define JOLTO_REQUIRE_GUEST()                                                                      \
    do {                                                                                           \
        if (!::jolto::guest::insideGuest())                                                        \
            GTEST_SKIP() << "creates kernel input devices; runs only in the test kernel "          \
                            "(tests/kernel/run-in-guest.sh)";                                      \
    } while (false)

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        reset();
        fd_ = std::exchange(other.fd_, -1);
        return *this;
    }
    ~Fd() { reset(); }
    void reset() {
        if (fd_ >= 0)
            ::close(std::exchange(fd_, -1));
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Opens the node under `folder` whose name starts with `prefix` and whose device name, read with
// `nameRequest`, is exactly `name`; polls until `deadline` because nodes appear asynchronously.
template <typename NameRequest>
std::optional<std::pair<Fd, std::string>>
openByName(const char* folder, const char* prefix, const std::string& name, int flags,
           NameRequest nameRequest, Clock::time_point deadline) {
    for (;;) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
            if (entry.path().filename().string().rfind(prefix, 0) != 0)
                continue;
            Fd fd(::open(entry.path().c_str(), flags | O_CLOEXEC));
            std::array<char, 256> buffer{};
            if (fd && ::ioctl(fd.get(), nameRequest(buffer.size() - 1), buffer.data()) >= 0 &&
                name == buffer.data())
                return std::make_pair(std::move(fd), entry.path().string());
        }
        if (Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

inline std::optional<std::pair<Fd, std::string>>
openEventNode(const std::string& name, Clock::time_point deadline = Clock::now() + kDeadline) {
    return openByName(
        "/dev/input", "event", name, O_RDONLY | O_NONBLOCK,
        [](std::size_t n) { return EVIOCGNAME(n); }, deadline);
}

inline std::optional<std::pair<Fd, std::string>> openHidrawNode(const std::string& name) {
    return openByName(
        "/dev", "hidraw", name, O_RDWR | O_NONBLOCK,
        [](std::size_t n) { return HIDIOCGRAWNAME(n); }, Clock::now() + kDeadline);
}

// Waits until no evdev node is named `name` any more. A removed device's node lingers for a
// moment, and a new device of the same name must not be mistaken for it.
inline bool waitUntilGone(const std::string& name,
                          Clock::time_point deadline = Clock::now() + kDeadline) {
    while (openEventNode(name, Clock::now())) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Milliseconds left until `deadline`, for poll(); never negative.
inline int millisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// One evdev frame: the events up to and including SYN_REPORT.
using Frame = std::vector<input_event>;

// Reads the next complete frame, or nothing by the deadline.
inline std::optional<Frame> readFrame(int fd,
                                      Clock::time_point deadline = Clock::now() + kDeadline) {
    Frame frame;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, millisecondsUntil(deadline)) <= 0)
            return std::nullopt;
        input_event ev{};
        while (::read(fd, &ev, sizeof ev) == static_cast<ssize_t>(sizeof ev)) {
            if (ev.type == EV_SYN && ev.code == SYN_REPORT)
                return frame;
            frame.push_back(ev);
        }
    }
}

// Appends what has arrived on `fd`, waiting at most until `until` for the first event; whether
// anything came.
inline bool readEvents(int fd, std::vector<input_event>& into, Clock::time_point until = {}) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, millisecondsUntil(until)) <= 0)
        return false;
    input_event ev{};
    while (::read(fd, &ev, sizeof ev) == static_cast<ssize_t>(sizeof ev))
        into.push_back(ev);
    return true;
}

// Reads until key `code` goes to `value`; that event's index in `into`, or nothing by `deadline`.
inline std::optional<std::size_t> awaitKey(int fd, std::vector<input_event>& into, int code,
                                           int value, Clock::time_point deadline) {
    for (std::size_t from = 0;; readEvents(fd, into, std::min(deadline, Clock::now() + kPoll))) {
        for (; from < into.size(); ++from)
            if (into[from].type == EV_KEY && into[from].code == code && into[from].value == value)
                return from;
        if (Clock::now() >= deadline)
            return std::nullopt;
    }
}

// Every rumble level the gamepad hands over on its feeder thread, in order.
class RumbleLog {
public:
    struct Entry {
        float heavy, light;
        std::size_t index;
    };
    void add(float heavy, float light) {
        std::lock_guard lock(mutex_);
        entries_.push_back({heavy, light, entries_.size()});
    }
    // The first entry that satisfies `pred`, waiting up to `limit` for it.
    template <typename P> std::optional<Entry> waitFor(P pred, Clock::duration limit = kDeadline) {
        for (auto deadline = Clock::now() + limit;; std::this_thread::sleep_for(kPoll / 10)) {
            std::lock_guard lock(mutex_);
            for (const auto& e : entries_)
                if (pred(e))
                    return e;
            if (Clock::now() >= deadline)
                return std::nullopt;
        }
    }

private:
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

} // namespace jolto::guest
