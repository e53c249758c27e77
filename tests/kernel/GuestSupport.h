#pragma once
// Helpers for the programs that run inside the test kernel (tests/kernel/run-in-guest.sh):
// finding input nodes by name, reading evdev frames with deadlines, and a raw uhid gamepad with
// the program's report descriptor for the checks that look at the kernel's side of it alone.

#include "output/VirtualGamepad.h"

#include <linux/hidraw.h>
#include <linux/input.h>
#include <linux/uhid.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <span>
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
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~Fd() { reset(); }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

inline int millisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Opens the node under `folder` whose name starts with `prefix` and whose device name, read with
// `nameRequest`, is exactly `name`; polls until `deadline` because nodes appear asynchronously.
template <typename NameRequest>
inline std::optional<std::pair<Fd, std::string>>
openByName(const char* folder, const char* prefix, const std::string& name, int flags,
           NameRequest nameRequest, Clock::time_point deadline) {
    for (;;) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
            const std::string file = entry.path().filename();
            if (file.rfind(prefix, 0) != 0)
                continue;
            Fd fd(::open(entry.path().c_str(), flags | O_CLOEXEC));
            if (!fd)
                continue;
            std::array<char, 256> buffer{};
            if (::ioctl(fd.get(), nameRequest(buffer.size() - 1), buffer.data()) >= 0 &&
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

inline std::optional<std::pair<Fd, std::string>>
openHidrawNode(const std::string& name, Clock::time_point deadline = Clock::now() + kDeadline) {
    return openByName(
        "/dev", "hidraw", name, O_RDWR | O_NONBLOCK,
        [](std::size_t n) { return HIDIOCGRAWNAME(n); }, deadline);
}

// Waits until no evdev node is named `name` any more. A removed device's node lingers for a
// moment, and a new device of the same name must not be mistaken for it.
inline bool waitUntilGone(const std::string& name,
                          Clock::time_point deadline = Clock::now() + kDeadline) {
    while (openByName(
        "/dev/input", "event", name, O_RDONLY | O_NONBLOCK,
        [](std::size_t n) { return EVIOCGNAME(n); }, Clock::now())) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
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

// Reads frames until no event arrives for `quiet`; returns every non-SYN event in order.
inline std::vector<input_event> readUntilQuiet(int fd, std::chrono::milliseconds quiet) {
    std::vector<input_event> events;
    for (;;) {
        auto frame = readFrame(fd, Clock::now() + quiet);
        if (!frame)
            return events;
        events.insert(events.end(), frame->begin(), frame->end());
    }
}

using Report = InputReport;

struct PadInput {
    std::uint16_t buttons = 0; // bit n = HID button n + 1
    std::uint8_t hat = 8;      // 0 up, clockwise to 7 up-left; 8 centred
    std::int16_t x = 0, y = 0, z = 0, rz = 0;
    std::uint8_t rx = 0, ry = 0;
};

inline Report makeReport(const PadInput& in) {
    Report r{};
    r[0] = static_cast<std::uint8_t>(in.buttons & 0xff);
    r[1] = static_cast<std::uint8_t>(in.buttons >> 8);
    r[2] = in.hat;
    const std::int16_t axes[] = {in.x, in.y, in.z, in.rz};
    for (int i = 0; i < 4; ++i) {
        auto v = static_cast<std::uint16_t>(axes[i]);
        r[3 + 2 * i] = static_cast<std::uint8_t>(v & 0xff);
        r[4 + 2 * i] = static_cast<std::uint8_t>(v >> 8);
    }
    r[11] = in.rx;
    r[12] = in.ry;
    return r;
}

inline constexpr Report kNeutralReport = VirtualGamepad::neutralReport();

// A uhid gamepad driven directly by the test, with VirtualGamepad's descriptor but none of its
// adapter: answers get-report requests with the neutral
// report and records the output reports the kernel hands over.
class RawUhidGamepad {
public:
    struct Identity {
        std::string name = "JOLTO Controller 1";
        std::string uniq = "0F1E2D3C-4B5A-4968-8776-A5B4C3D2E1F0";
        std::uint32_t version = 0;
    };

    static std::optional<RawUhidGamepad> create(const Identity& id, std::string& error) {
        Fd fd(::open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK));
        if (!fd) {
            error = std::string("open /dev/uhid: ") + std::strerror(errno);
            return std::nullopt;
        }
        uhid_event ev{};
        ev.type = UHID_CREATE2;
        std::snprintf(reinterpret_cast<char*>(ev.u.create2.name), sizeof ev.u.create2.name, "%s",
                      id.name.c_str());
        std::snprintf(reinterpret_cast<char*>(ev.u.create2.uniq), sizeof ev.u.create2.uniq, "%s",
                      id.uniq.c_str());
        const auto& descriptor = VirtualGamepad::reportDescriptor;
        ev.u.create2.rd_size = descriptor.size();
        std::memcpy(ev.u.create2.rd_data, descriptor.data(), descriptor.size());
        ev.u.create2.bus = BUS_VIRTUAL;
        ev.u.create2.vendor = 0x1209;
        ev.u.create2.product = 0x0001;
        ev.u.create2.version = id.version;
        if (::write(fd.get(), &ev, sizeof ev) != static_cast<ssize_t>(sizeof ev)) {
            error = std::string("UHID_CREATE2: ") + std::strerror(errno);
            return std::nullopt;
        }
        return RawUhidGamepad(std::move(fd));
    }

    bool send(const Report& report) {
        uhid_event ev{};
        ev.type = UHID_INPUT2;
        ev.u.input2.size = report.size();
        std::memcpy(ev.u.input2.data, report.data(), report.size());
        return ::write(fd_.get(), &ev, sizeof ev) == static_cast<ssize_t>(sizeof ev);
    }

    // The evdev node appears while the HID driver is still probing, and the kernel silently
    // drops the reports that arrive before the probe has finished, which user space cannot
    // observe. So a report is repeated until it shows on `eventFd`; then the pad is put back to
    // rest and its events are drained.
    bool waitUntilLive(int eventFd) {
        auto deadline = Clock::now() + kDeadline;
        PadInput probe;
        probe.rx = 1;
        for (;;) {
            if (!send(makeReport(probe)))
                return false;
            if (readFrame(eventFd, Clock::now() + std::chrono::milliseconds(100)))
                break;
            if (Clock::now() >= deadline)
                return false;
        }
        if (!send(kNeutralReport))
            return false;
        readUntilQuiet(eventFd, std::chrono::milliseconds(100));
        return true;
    }

    // Handles whatever the kernel sent, waiting up to `wait` for the first message.
    void service(std::chrono::milliseconds wait = std::chrono::milliseconds(0)) {
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0)
            return;
        uhid_event ev{};
        while (::read(fd_.get(), &ev, sizeof ev) > 0) {
            if (ev.type == UHID_OUTPUT) {
                const std::uint8_t* data = &ev.u.output.data[0];
                outputs.emplace_back(data, data + ev.u.output.size);
            } else if (ev.type == UHID_GET_REPORT) {
                ++getReportRequests;
                uhid_event reply{};
                reply.type = UHID_GET_REPORT_REPLY;
                reply.u.get_report_reply.id = ev.u.get_report.id;
                reply.u.get_report_reply.size = kNeutralReport.size();
                std::memcpy(reply.u.get_report_reply.data, kNeutralReport.data(),
                            kNeutralReport.size());
                (void)::write(fd_.get(), &reply, sizeof reply);
            } else if (ev.type == UHID_SET_REPORT) {
                uhid_event reply{};
                reply.type = UHID_SET_REPORT_REPLY;
                reply.u.set_report_reply.id = ev.u.set_report.id;
                reply.u.set_report_reply.err = EIO;
                (void)::write(fd_.get(), &reply, sizeof reply);
            }
        }
    }

    void destroy() {
        if (!fd_)
            return;
        uhid_event ev{};
        ev.type = UHID_DESTROY;
        (void)::write(fd_.get(), &ev, sizeof ev);
        fd_.reset();
    }

    RawUhidGamepad(RawUhidGamepad&&) = default;
    RawUhidGamepad& operator=(RawUhidGamepad&&) = default;
    ~RawUhidGamepad() { destroy(); }

    std::vector<std::vector<std::uint8_t>> outputs;
    int getReportRequests = 0;

private:
    explicit RawUhidGamepad(Fd fd) : fd_(std::move(fd)) {}
    Fd fd_;
};

} // namespace jolto::guest
