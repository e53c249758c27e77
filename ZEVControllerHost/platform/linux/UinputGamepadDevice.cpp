#include "platform/linux/UinputGamepadDevice.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <linux/uinput.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/Log.h"
#include "platform/linux/InputAccess.h"

namespace jolto {

namespace {

const Logger& logger() {
    static const Logger instance("Gamepad");
    return instance;
}

// Motor level 0 to 0xFFFF as the output report's byte.
std::uint8_t motorByte(std::uint16_t level) {
    return static_cast<std::uint8_t>((static_cast<std::uint32_t>(level) * 255u + 32767u) / 65535u);
}

int retrying(unsigned long request, int fd, void* argument) {
    int rc;
    do {
        rc = ::ioctl(fd, request, argument);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

} // namespace

std::unique_ptr<UinputGamepadDevice> UinputGamepadDevice::open(const char* path) {
    int fd = ::open(path, O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return nullptr;
    }
    int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<UinputGamepadDevice>(new UinputGamepadDevice(fd, wakeFd));
}

std::unique_ptr<UinputGamepadDevice> UinputGamepadDevice::adopt(int fd) {
    int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<UinputGamepadDevice> device(new UinputGamepadDevice(fd, wakeFd));
    device->adopted_ = true;
    device->live_.store(true, std::memory_order_release);
    return device;
}

UinputGamepadDevice::~UinputGamepadDevice() {
    if (isLive() && !adopted_) {
        (void)::ioctl(fd_, UI_DEV_DESTROY);
    }
    ::close(fd_);
    ::close(wakeFd_);
}

bool UinputGamepadDevice::setUp(const Properties& p) {
    auto set = [this](unsigned long request, int value) {
        return ::ioctl(fd_, request, value) == 0;
    };
    bool ok = set(UI_SET_EVBIT, EV_KEY) && set(UI_SET_EVBIT, EV_ABS) && set(UI_SET_EVBIT, EV_FF);
    for (auto code : EvdevGamepadReport::buttonCodes) {
        ok = ok && (code == 0 || set(UI_SET_KEYBIT, code));
    }
    for (const auto& axis : EvdevGamepadReport::axes) {
        uinput_abs_setup abs{};
        abs.code = axis.code;
        abs.absinfo.minimum = axis.minimum;
        abs.absinfo.maximum = axis.maximum;
        abs.absinfo.flat = axis.flat;
        ok = ok && set(UI_SET_ABSBIT, axis.code) && ::ioctl(fd_, UI_ABS_SETUP, &abs) == 0;
    }
    for (int ff : {FF_RUMBLE, FF_PERIODIC, FF_SINE, FF_CONSTANT, FF_GAIN}) {
        ok = ok && set(UI_SET_FFBIT, ff);
    }
    if (!ok) {
        return false;
    }
    if (!p.uniqueID.empty()) {
        // Cosmetic; an old kernel without it still makes a working device.
        (void)::ioctl(fd_, UI_SET_PHYS, p.uniqueID.c_str());
    }
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    setup.id.vendor = static_cast<std::uint16_t>(p.vendorID);
    setup.id.product = static_cast<std::uint16_t>(p.productID);
    setup.id.version = 1;
    std::memcpy(setup.name, p.product.data(),
                std::min<std::size_t>(p.product.size(), UINPUT_MAX_NAME_SIZE - 1));
    setup.ff_effects_max = ForceFeedbackEffects::maxEffects;
    return ::ioctl(fd_, UI_DEV_SETUP, &setup) == 0 && ::ioctl(fd_, UI_DEV_CREATE) == 0;
}

bool UinputGamepadDevice::create(const Properties& properties) {
    if (!setUp(properties)) {
        logger().error(std::string("Couldn't create the virtual gamepad: ") + std::strerror(errno));
        return false;
    }
    // The evdev node exists once UI_DEV_CREATE returns; nothing sent from now on is lost.
    live_.store(true, std::memory_order_release);
    wake();
    return true;
}

bool UinputGamepadDevice::dispatchInputReport(std::span<const std::uint8_t> report) {
    if (report.size() != last_.size() || !isLive()) {
        return false;
    }
    InputReport next;
    std::copy(report.begin(), report.end(), next.begin());
    std::size_t n = EvdevGamepadReport::events(last_, next, events_);
    if (n == 0) {
        return true;
    }
    auto bytes = static_cast<ssize_t>(n * sizeof(input_event));
    ssize_t written;
    do {
        written = ::write(fd_, events_.data(), static_cast<std::size_t>(bytes));
    } while (written < 0 && errno == EINTR);
    if (written != bytes) {
        return false;
    }
    last_ = next;
    return true;
}

void UinputGamepadDevice::answerUpload(std::int32_t requestID) {
    uinput_ff_upload upload{};
    upload.request_id = static_cast<std::uint32_t>(requestID);
    if (retrying(UI_BEGIN_FF_UPLOAD, fd_, &upload) < 0) {
        return;
    }
    upload.retval = effects_.upload(upload.effect);
    (void)retrying(UI_END_FF_UPLOAD, fd_, &upload);
}

void UinputGamepadDevice::answerErase(std::int32_t requestID) {
    uinput_ff_erase erase{};
    erase.request_id = static_cast<std::uint32_t>(requestID);
    if (retrying(UI_BEGIN_FF_ERASE, fd_, &erase) < 0) {
        return;
    }
    effects_.erase(static_cast<int>(erase.effect_id));
    erase.retval = 0;
    (void)retrying(UI_END_FF_ERASE, fd_, &erase);
}

void UinputGamepadDevice::handle(const input_event& event) {
    if (event.type == EV_UINPUT && event.code == UI_FF_UPLOAD) {
        answerUpload(event.value);
    } else if (event.type == EV_UINPUT && event.code == UI_FF_ERASE) {
        answerErase(event.value);
    } else if (event.type == EV_FF && event.code == FF_GAIN) {
        effects_.setGain(event.value);
    } else if (event.type == EV_FF) {
        effects_.play(event.code, event.value, std::chrono::steady_clock::now());
    }
}

void UinputGamepadDevice::serviceRequests(Delegate& delegate) {
    if (!isLive()) {
        return;
    }
    std::array<input_event, 16> batch;
    while (!readFailed_) {
        ssize_t n = ::read(fd_, batch.data(), sizeof batch);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (n < static_cast<ssize_t>(sizeof(input_event))) {
            readFailed_ = true;
            effects_.stopAll();
            logger().error("The virtual gamepad's device stopped answering");
            break;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof(input_event); ++i) {
            handle(batch[i]);
        }
    }
    auto levels = effects_.levels(std::chrono::steady_clock::now());
    if (levels != sentLevels_) {
        sentLevels_ = levels;
        const std::uint8_t report[2] = {motorByte(levels.strong), motorByte(levels.weak)};
        delegate.setReport(ReportType::output, 0, report);
    }
}

void UinputGamepadDevice::waitForActivity() {
    pollfd fds[2] = {
        {isLive() && !readFailed_ ? fd_ : -1, POLLIN, 0},
        {wakeFd_, POLLIN, 0},
    };
    int timeout = -1;
    auto now = std::chrono::steady_clock::now();
    if (auto due = effects_.nextChange(now)) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - now);
        timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }
    if (::poll(fds, 2, timeout) <= 0) {
        return;
    }
    if (fds[1].revents & POLLIN) {
        eventfd_t ignored;
        (void)::eventfd_read(wakeFd_, &ignored);
    }
}

void UinputGamepadDevice::wake() {
    (void)::eventfd_write(wakeFd_, 1);
}

bool hasUinputGamepadAccess(const char* path) {
    return deviceNodeOpens(path, O_RDWR);
}

} // namespace jolto
