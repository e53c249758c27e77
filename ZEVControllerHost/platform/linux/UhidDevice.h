#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/VirtualHidDevice.h"

struct uhid_event;

namespace jolto {

// A virtual HID device on the kernel's uhid interface. One device per open descriptor.
//
// Report numbers: our descriptor has no report ids, so the kernel flags no numbered reports
// and its own requests carry bare reports. A hidraw client, however, writes the report number
// first (0 for devices without ids, as hidraw and hidapi document), and the kernel passes that
// buffer through unchanged, in UHID_OUTPUT as in UHID_SET_REPORT; newer kernels also reserve
// a leading 0 in their own set-report requests. An output payload of three or more bytes
// that starts with 0 therefore carries that prefix, and it is removed before the delegate
// sees the report. Two-byte payloads (clients that skip the prefix) pass unchanged.
//
// Lost first reports: UHID_START comes at the beginning of the HID driver's probe, and until
// that probe has ended the kernel drops input reports without telling anyone (the write
// succeeds). The evdev and hidraw nodes appear during the probe, and nothing marks its end
// for user space. In the test kernel under emulation a report sent right at UHID_START was
// lost every time, one sent 20 ms later still now and then. So the last input report is sent
// again at a few moments after UHID_START (`repeatDelays`); an unchanged report makes no
// evdev events, so the repeats only repair the state a dropped report left behind.
class UhidDevice final : public VirtualHidDevice {
public:
    using Milliseconds = std::chrono::milliseconds;

    static constexpr const char* defaultPath = "/dev/uhid";
    // Each counted from UHID_START; the later ones cover a probe slowed down by a busy machine.
    static constexpr std::array<Milliseconds, 4> defaultRepeatDelays = {
        Milliseconds(25), Milliseconds(100), Milliseconds(500), Milliseconds(2000)};

    // Opens the uhid character device; nullptr when this process may not.
    static std::unique_ptr<UhidDevice> open(const char* path = defaultPath);
    // Drives an already open uhid descriptor, which it takes over (tests drive a socket that
    // plays the kernel's part), repeating the last input report `repeatDelays` after each
    // UHID_START (ascending). nullptr when no wake-up descriptor can be made.
    static std::unique_ptr<UhidDevice>
    adopt(int fd, std::span<const Milliseconds> repeatDelays = defaultRepeatDelays);

    // Sends UHID_DESTROY if the device was created, then closes the descriptor.
    ~UhidDevice() override;

    // UHID_CREATE2: name = product, phys = unique id, uniq = serial number, bus virtual.
    bool create(const Properties& properties) override;
    // True between UHID_START and UHID_STOP.
    bool isLive() const override { return live_; }
    // UHID_INPUT2.
    bool dispatchInputReport(std::span<const std::uint8_t> report) override;
    // Reads every waiting event: start and stop, UHID_OUTPUT, UHID_GET_REPORT and
    // UHID_SET_REPORT, the latter two answered at once. Then sends the last input report
    // again if one of its repeats has come due.
    void serviceRequests(Delegate& delegate) override;
    // poll() on the uhid descriptor and an eventfd, until the next repeat at the latest.
    void waitForActivity() override;
    void wake() override;

    // The report inside an output payload, without the report-number prefix described above.
    static std::span<const std::uint8_t> outputReport(std::span<const std::uint8_t> payload);

    UhidDevice(const UhidDevice&) = delete;
    UhidDevice& operator=(const UhidDevice&) = delete;

private:
    UhidDevice(int fd, int wakeFd, std::span<const Milliseconds> repeatDelays);
    bool send(const uhid_event& event);
    void handle(const uhid_event& event, Delegate& delegate);
    // The moment the next repeat is due, if one is still to come.
    std::optional<std::chrono::steady_clock::time_point> nextRepeat() const;
    void repeatIfDue();

    int fd_;
    int wakeFd_;
    bool created_ = false;
    bool live_ = false;
    bool readFailed_ = false;
    // Servicing-thread buffers; an event is over 4 KiB.
    std::unique_ptr<uhid_event> in_;
    std::unique_ptr<uhid_event> out_;

    std::vector<Milliseconds> repeatDelays_;
    std::chrono::steady_clock::time_point startedAt_{};
    std::size_t repeatsDone_ = 0;
    // The UHID_INPUT2 event of the last report sent, once there is one.
    std::unique_ptr<uhid_event> lastInput_;
    bool hasLastInput_ = false;
};

// Whether this process can make virtual gamepads: /dev/uhid opens for reading and writing.
bool hasVirtualDeviceEntitlement(const char* path = UhidDevice::defaultPath);

} // namespace jolto
