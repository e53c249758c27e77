#pragma once

#include <memory>
#include <string>

#include "platform/linux/UinputWriter.h"

struct libevdev_uinput;

namespace jolto {

// The virtual keyboard and mouse: one uinput device named "JOLTO Host Keyboard and Mouse"
// with every key the key translation can produce, the three main mouse buttons, relative
// motion and both wheels with their high-resolution axes.
class UinputDevice final : public UinputWriter {
public:
    static constexpr const char* deviceName = "JOLTO Host Keyboard and Mouse";

    // Opens `uinputPath` and creates the device. The result holds the device, or the errno of
    // the failing step with a message naming it.
    struct CreateResult {
        std::unique_ptr<UinputDevice> device;
        int error = 0;
        std::string message;
    };
    static CreateResult create(const std::string& uinputPath = "/dev/uinput");

    ~UinputDevice() override;
    UinputDevice(const UinputDevice&) = delete;
    UinputDevice& operator=(const UinputDevice&) = delete;

    bool write(std::uint16_t type, std::uint16_t code, std::int32_t value) override;

    // The event node the kernel made for the device (/dev/input/eventN) and its sysfs path;
    // empty when the system does not tell.
    std::string devnode() const;
    std::string syspath() const;

private:
    UinputDevice(int fd, libevdev_uinput* device) : fd_(fd), device_(device) {}

    int fd_;
    libevdev_uinput* device_;
};

// The device setup on its own, for the kernel test harness: creates the virtual keyboard and
// mouse through `uinputPath`.
inline UinputDevice::CreateResult
createUinputDevice(const std::string& uinputPath = "/dev/uinput") {
    return UinputDevice::create(uinputPath);
}

} // namespace jolto
