#include "platform/linux/UhidDevice.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>

#include <fcntl.h>
#include <linux/input.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/Log.h"
#include "platform/linux/InputAccess.h"

namespace jolto {

namespace {

const Logger& logger() {
    static const Logger instance("Gamepad");
    return instance;
}

template <std::size_t N> void copyText(std::uint8_t (&field)[N], const std::string& text) {
    std::size_t n = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), n);
    field[n] = 0;
}

std::optional<VirtualHidDevice::ReportType> reportType(std::uint8_t rtype) {
    switch (rtype) {
    case UHID_FEATURE_REPORT:
        return VirtualHidDevice::ReportType::feature;
    case UHID_OUTPUT_REPORT:
        return VirtualHidDevice::ReportType::output;
    case UHID_INPUT_REPORT:
        return VirtualHidDevice::ReportType::input;
    default:
        return std::nullopt;
    }
}

} // namespace

std::unique_ptr<UhidDevice> UhidDevice::open(const char* path) {
    int fd = ::open(path, O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return nullptr;
    }
    return adopt(fd);
}

std::unique_ptr<UhidDevice> UhidDevice::adopt(int fd, std::span<const Milliseconds> repeatDelays) {
    int flags = ::fcntl(fd, F_GETFL);
    int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 || wakeFd < 0) {
        ::close(fd);
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
        return nullptr;
    }
    return std::unique_ptr<UhidDevice>(new UhidDevice(fd, wakeFd, repeatDelays));
}

UhidDevice::UhidDevice(int fd, int wakeFd, std::span<const Milliseconds> repeatDelays)
    : fd_(fd), wakeFd_(wakeFd), in_(std::make_unique<uhid_event>()),
      out_(std::make_unique<uhid_event>()), repeatDelays_(repeatDelays.begin(), repeatDelays.end()),
      lastInput_(std::make_unique<uhid_event>()) {
    std::memset(lastInput_.get(), 0, sizeof(uhid_event));
}

UhidDevice::~UhidDevice() {
    if (created_) {
        std::memset(out_.get(), 0, sizeof(uhid_event));
        out_->type = UHID_DESTROY;
        (void)send(*out_);
    }
    ::close(fd_);
    ::close(wakeFd_);
}

bool UhidDevice::send(const uhid_event& event) {
    for (;;) {
        ssize_t n = ::write(fd_, &event, sizeof event);
        if (n == static_cast<ssize_t>(sizeof event)) {
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return false;
    }
}

bool UhidDevice::create(const Properties& properties) {
    if (properties.reportDescriptor.size() > HID_MAX_DESCRIPTOR_SIZE) {
        return false;
    }
    // Not the servicing thread's buffer: the feeder may be answering requests already.
    auto event = std::make_unique<uhid_event>();
    std::memset(event.get(), 0, sizeof(uhid_event));
    event->type = UHID_CREATE2;
    auto& req = event->u.create2;
    copyText(req.name, properties.product);
    copyText(req.phys, properties.uniqueID);
    copyText(req.uniq, properties.serialNumber);
    req.rd_size = static_cast<__u16>(properties.reportDescriptor.size());
    req.bus = BUS_VIRTUAL;
    req.vendor = properties.vendorID;
    req.product = properties.productID;
    std::memcpy(req.rd_data, properties.reportDescriptor.data(),
                properties.reportDescriptor.size());
    if (!send(*event)) {
        logger().error(std::string("Couldn't create the virtual gamepad: ") + std::strerror(errno));
        return false;
    }
    created_ = true;
    return true;
}

bool UhidDevice::dispatchInputReport(std::span<const std::uint8_t> report) {
    if (report.size() > UHID_DATA_MAX) {
        return false;
    }
    out_->type = UHID_INPUT2;
    out_->u.input2.size = static_cast<__u16>(report.size());
    std::memcpy(out_->u.input2.data, report.data(), report.size());
    if (!send(*out_)) {
        return false;
    }
    lastInput_->type = UHID_INPUT2;
    lastInput_->u.input2.size = out_->u.input2.size;
    std::memcpy(lastInput_->u.input2.data, report.data(), report.size());
    hasLastInput_ = true;
    return true;
}

std::optional<std::chrono::steady_clock::time_point> UhidDevice::nextRepeat() const {
    if (!live_ || repeatsDone_ >= repeatDelays_.size()) {
        return std::nullopt;
    }
    return startedAt_ + repeatDelays_[repeatsDone_];
}

void UhidDevice::repeatIfDue() {
    auto due = nextRepeat();
    auto now = std::chrono::steady_clock::now();
    if (!due || now < *due) {
        return;
    }
    // Repeats that a slow servicing thread overslept collapse into this one.
    while (repeatsDone_ < repeatDelays_.size() && startedAt_ + repeatDelays_[repeatsDone_] <= now) {
        ++repeatsDone_;
    }
    if (hasLastInput_) {
        (void)send(*lastInput_);
    }
}

std::span<const std::uint8_t> UhidDevice::outputReport(std::span<const std::uint8_t> payload) {
    if (payload.size() >= 3 && payload[0] == 0) {
        return payload.subspan(1);
    }
    return payload;
}

void UhidDevice::serviceRequests(Delegate& delegate) {
    while (!readFailed_) {
        std::memset(in_.get(), 0, sizeof(uhid_event));
        ssize_t n = ::read(fd_, in_.get(), sizeof(uhid_event));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (n < static_cast<ssize_t>(sizeof(in_->type))) {
            // The descriptor is broken or closed; stop polling it rather than spin on it.
            readFailed_ = true;
            live_ = false;
            logger().error("The virtual gamepad's device stopped answering");
            return;
        }
        handle(*in_, delegate);
    }
    repeatIfDue();
}

void UhidDevice::handle(const uhid_event& event, Delegate& delegate) {
    switch (event.type) {
    case UHID_START:
        live_ = true;
        startedAt_ = std::chrono::steady_clock::now();
        repeatsDone_ = 0;
        break;
    case UHID_STOP:
        live_ = false;
        break;
    case UHID_OUTPUT: {
        auto type = reportType(event.u.output.rtype);
        if (!type) {
            break;
        }
        std::span<const std::uint8_t> data(
            event.u.output.data, std::min<std::size_t>(event.u.output.size, UHID_DATA_MAX));
        delegate.setReport(*type, 0, *type == ReportType::output ? outputReport(data) : data);
        break;
    }
    case UHID_GET_REPORT: {
        auto type = reportType(event.u.get_report.rtype);
        std::uint32_t id = event.u.get_report.id;
        std::span<const std::uint8_t> answer;
        if (type) {
            answer = delegate.getReport(*type, event.u.get_report.rnum);
        }
        std::memset(out_.get(), 0, sizeof(uhid_event));
        out_->type = UHID_GET_REPORT_REPLY;
        auto& reply = out_->u.get_report_reply;
        reply.id = id;
        if (!type || answer.size() > UHID_DATA_MAX) {
            reply.err = EIO;
        } else {
            reply.size = static_cast<__u16>(answer.size());
            // An empty answer may come as a null span, which memcpy must never see.
            std::copy(answer.begin(), answer.end(), reply.data);
        }
        (void)send(*out_);
        break;
    }
    case UHID_SET_REPORT: {
        auto type = reportType(event.u.set_report.rtype);
        std::uint32_t id = event.u.set_report.id;
        if (type) {
            std::span<const std::uint8_t> data(
                event.u.set_report.data,
                std::min<std::size_t>(event.u.set_report.size, UHID_DATA_MAX));
            if (*type == ReportType::output && event.u.set_report.rnum == 0) {
                data = outputReport(data);
            }
            delegate.setReport(*type, event.u.set_report.rnum, data);
        }
        // The kernel caller blocks until this reply (or its timeout).
        std::memset(out_.get(), 0, sizeof(uhid_event));
        out_->type = UHID_SET_REPORT_REPLY;
        out_->u.set_report_reply.id = id;
        out_->u.set_report_reply.err = type ? 0 : EIO;
        (void)send(*out_);
        break;
    }
    default:
        // UHID_OPEN and UHID_CLOSE only say whether anyone reads; reports go out regardless,
        // and the kernel keeps the state they set for readers that open later.
        break;
    }
}

void UhidDevice::waitForActivity() {
    pollfd fds[2] = {
        {readFailed_ ? -1 : fd_, POLLIN, 0},
        {wakeFd_, POLLIN, 0},
    };
    int timeout = -1;
    if (auto due = nextRepeat()) {
        auto left =
            std::chrono::ceil<std::chrono::milliseconds>(*due - std::chrono::steady_clock::now());
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

void UhidDevice::wake() {
    (void)::eventfd_write(wakeFd_, 1);
}

bool hasVirtualDeviceEntitlement(const char* path) {
    return deviceNodeOpens(path, O_RDWR);
}

} // namespace jolto
