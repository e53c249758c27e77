#include <chrono>
#include <csignal>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <linux/uhid.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "output/VirtualGamepad.h"
#include "platform/linux/UhidDevice.h"

using namespace jolto;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using ReportType = VirtualHidDevice::ReportType;

namespace {

const std::string uuid = "0A1B2C3D-0000-4000-8000-00000000ABCD";

// Plays the kernel's end of /dev/uhid over a SOCK_SEQPACKET pair, which keeps each event
// one message as the character device does.
class KernelSide {
public:
    KernelSide() {
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds_) != 0) {
            fds_[0] = fds_[1] = -1;
        }
    }
    ~KernelSide() {
        for (int fd : fds_) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    bool ok() const { return fds_[0] >= 0; }

    // Whether the device has written something that is waiting to be read.
    bool readable() const {
        pollfd p{fds_[0], POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }
    // The kernel end goes away, as when the descriptor breaks.
    void hangUp() { ::close(std::exchange(fds_[0], -1)); }
    // The descriptor for the device under test, handed over once.
    int takeDeviceEnd() { return std::exchange(fds_[1], -1); }

    // The next event the device wrote, or nothing within the deadline; `closed` when the
    // device end has gone.
    std::unique_ptr<uhid_event> read(bool* closed = nullptr) {
        pollfd p{fds_[0], POLLIN, 0};
        if (::poll(&p, 1, 20000) <= 0) {
            return nullptr;
        }
        auto ev = std::make_unique<uhid_event>();
        ssize_t n = ::read(fds_[0], ev.get(), sizeof(uhid_event));
        if (closed) {
            *closed = n == 0;
        }
        return n == static_cast<ssize_t>(sizeof(uhid_event)) ? std::move(ev) : nullptr;
    }

    // An event of `type`, with the report fields of the request kinds that have them.
    void send(std::uint32_t type, std::uint8_t rtype = 0, const Bytes& data = {},
              std::uint32_t id = 0) {
        auto ev = std::make_unique<uhid_event>();
        ev->type = type;
        const auto size = static_cast<__u16>(data.size());
        if (type == UHID_OUTPUT) {
            ev->u.output.rtype = rtype;
            ev->u.output.size = size;
            std::copy(data.begin(), data.end(), ev->u.output.data);
        } else if (type == UHID_GET_REPORT) {
            ev->u.get_report.rtype = rtype;
        } else if (type == UHID_SET_REPORT) {
            ev->u.set_report.id = id;
            ev->u.set_report.rtype = rtype;
            ev->u.set_report.size = size;
            std::copy(data.begin(), data.end(), ev->u.set_report.data);
        }
        ASSERT_EQ(::write(fds_[0], ev.get(), sizeof *ev), static_cast<ssize_t>(sizeof *ev));
    }

private:
    int fds_[2];
};

struct RecordingDelegate final : VirtualHidDevice::Delegate {
    struct Set {
        ReportType type;
        std::uint8_t id;
        Bytes data;
        bool operator==(const Set&) const = default;
    };
    std::vector<Set> sets;
    std::vector<ReportType> gets;

    void setReport(ReportType type, std::uint8_t id, std::span<const std::uint8_t> data) override {
        sets.push_back({type, id, Bytes(data.begin(), data.end())});
    }
    std::span<const std::uint8_t> getReport(ReportType type, std::uint8_t) override {
        gets.push_back(type);
        return {};
    }
};

class UhidDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kernel.ok()) << "no socketpair";
        device = UhidDevice::adopt(kernel.takeDeviceEnd(), delays);
        ASSERT_NE(device, nullptr);
    }
    // The identity and descriptor that UHID_CREATE2 carries are checked in the real kernel
    // (tests/kernel), for the first player only.
    void createAndStart() {
        ASSERT_TRUE(device->create(VirtualGamepad::deviceProperties(4, uuid)));
        auto created = kernel.read();
        ASSERT_NE(created, nullptr);
        ASSERT_EQ(created->type, UHID_CREATE2);
        EXPECT_STREQ(reinterpret_cast<const char*>(created->u.create2.name), "JOLTO Controller 4");
        kernel.send(UHID_START);
        service();
        ASSERT_TRUE(device->isLive());
    }
    // Waits on another thread, then serves what came; false if the wait had not returned
    // within the deadline (the device is then woken so that the thread can end).
    bool service(std::chrono::milliseconds limit = 20s) {
        auto done = std::async(std::launch::async, [&] { device->waitForActivity(); });
        const bool returned = done.wait_for(limit) == std::future_status::ready;
        if (!returned) {
            device->wake();
            done.wait();
        }
        device->serviceRequests(delegate);
        return returned;
    }
    // The next input report written, waiting through the repeats as the servicing thread does.
    Bytes nextInput() {
        while (!kernel.readable()) {
            if (!service()) {
                return {};
            }
        }
        auto ev = kernel.read();
        return ev && ev->type == UHID_INPUT2
                   ? Bytes(ev->u.input2.data, ev->u.input2.data + ev->u.input2.size)
                   : Bytes{};
    }

    // Far enough apart that a stalled test thread does not make the two fall due together.
    const UhidDevice::Milliseconds delays[2] = {30ms, 600ms};
    KernelSide kernel;
    std::unique_ptr<UhidDevice> device;
    RecordingDelegate delegate;
};

} // namespace

// The kernel drops reports while the driver is still probing the new device, which starts
// with UHID_START; the repeats put the last state through once the probe is over.
TEST_F(UhidDeviceTest, TheLastReportGoesOutAgainAtEachDelayAfterStart) {
    ASSERT_TRUE(device->create(VirtualGamepad::deviceProperties(1, uuid)));
    ASSERT_NE(kernel.read(), nullptr);
    auto first = VirtualGamepad::neutralReport();
    first[0] = 0x01;
    auto latest = VirtualGamepad::neutralReport();
    latest[11] = 0xFF;
    // Sent before the start, as a feeder never does: it is not the one repeated.
    ASSERT_TRUE(device->dispatchInputReport(first));
    kernel.send(UHID_START);
    ASSERT_TRUE(service());
    ASSERT_TRUE(device->isLive());
    ASSERT_TRUE(device->dispatchInputReport(latest));
    // The wait ends by itself when a repeat is due.
    for (const char* what : {"first", "sent", "first repeat", "second repeat"}) {
        SCOPED_TRACE(what);
        const auto& expected = std::string(what) == "first" ? first : latest;
        EXPECT_EQ(nextInput(), Bytes(expected.begin(), expected.end()));
    }
    EXPECT_FALSE(service(150ms)) << "no repeat is left, so only a wake ends the wait";
    EXPECT_FALSE(kernel.readable());

    // A restarted device (the driver bound again) loses reports the same way.
    kernel.send(UHID_STOP);
    kernel.send(UHID_START);
    EXPECT_EQ(nextInput(), Bytes(latest.begin(), latest.end()));
}

// Hidraw writes with and without the report number and the get-report answer are checked in
// the real kernel (tests/kernel); here the requests that it never makes, and the kind of report
// asked for, which the gamepad's answer does not show.
TEST_F(UhidDeviceTest, RequestsReachTheDelegateWithoutReportNumberAndAreAnswered) {
    createAndStart();
    kernel.send(UHID_OUTPUT, UHID_OUTPUT_REPORT, {0x05, 0x06, 0x07}); // no prefix to remove
    kernel.send(UHID_OUTPUT, UHID_FEATURE_REPORT, {0x00, 0x01, 0x02});
    kernel.send(UHID_SET_REPORT, UHID_OUTPUT_REPORT, {0x00, 0x10, 0x20}, 43);
    kernel.send(UHID_SET_REPORT, UHID_FEATURE_REPORT, {0x00, 0x10, 0x20}, 44);
    kernel.send(UHID_GET_REPORT, UHID_INPUT_REPORT);
    ASSERT_TRUE(service());

    for (std::uint32_t id : {43u, 44u}) {
        auto reply = kernel.read();
        ASSERT_NE(reply, nullptr);
        ASSERT_EQ(reply->type, UHID_SET_REPORT_REPLY);
        EXPECT_EQ(reply->u.set_report_reply.id, id);
        EXPECT_EQ(reply->u.set_report_reply.err, 0);
    }
    std::vector<RecordingDelegate::Set> expected{
        {ReportType::output, 0, {0x05, 0x06, 0x07}},
        {ReportType::feature, 0, {0x00, 0x01, 0x02}},
        {ReportType::output, 0, {0x10, 0x20}},
        {ReportType::feature, 0, {0x00, 0x10, 0x20}},
    };
    EXPECT_EQ(delegate.sets, expected);
    EXPECT_EQ(delegate.gets, std::vector{ReportType::input});
}

TEST_F(UhidDeviceTest, DestroyIsSentOnlyForACreatedDevice) {
    createAndStart();
    device.reset();
    auto ev = kernel.read();
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(ev->type, UHID_DESTROY);
    bool closed = false;
    EXPECT_EQ(kernel.read(&closed), nullptr);
    EXPECT_TRUE(closed);

    KernelSide other;
    ASSERT_TRUE(other.ok());
    UhidDevice::adopt(other.takeDeviceEnd()).reset();
    closed = false;
    EXPECT_EQ(other.read(&closed), nullptr);
    EXPECT_TRUE(closed) << "an uncreated device wrote something";
}

TEST_F(UhidDeviceTest, ClosedKernelSideStopsThePollingInsteadOfSpinning) {
    createAndStart();
    // A socket, unlike /dev/uhid, may raise SIGPIPE for the UHID_DESTROY written at the end.
    std::signal(SIGPIPE, SIG_IGN);
    kernel.hangUp();
    ASSERT_TRUE(service()); // the hang-up makes the descriptor readable
    EXPECT_FALSE(device->isLive());
    // Now only a wake ends the wait; a poll that kept reporting the hang-up would spin.
    EXPECT_FALSE(service(50ms));
}
