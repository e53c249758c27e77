#include "platform/linux/UinputDevice.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>

#include "platform/linux/MacKeyCodes.h"

namespace jolto {
namespace {

std::string describe(const char* step, int error) {
    return std::string("Couldn't ") + step + ": " + std::strerror(error);
}

struct EvdevDeleter {
    void operator()(libevdev* dev) const { libevdev_free(dev); }
};

} // namespace

UinputDevice::CreateResult UinputDevice::create(const std::string& uinputPath) {
    int fd = ::open(uinputPath.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        return {nullptr, error, describe(("open " + uinputPath).c_str(), error)};
    }
    std::unique_ptr<libevdev, EvdevDeleter> dev(libevdev_new());
    if (!dev) {
        ::close(fd);
        return {nullptr, ENOMEM, describe("describe the virtual keyboard and mouse", ENOMEM)};
    }
    libevdev_set_name(dev.get(), deviceName);
    libevdev_set_id_bustype(dev.get(), BUS_VIRTUAL);
    libevdev_set_id_vendor(dev.get(), 0x1209);
    libevdev_set_id_product(dev.get(), 0x0002);
    libevdev_set_id_version(dev.get(), 1);

    libevdev_enable_event_type(dev.get(), EV_KEY);
    for (const auto& key : macKeyCodeTable()) {
        libevdev_enable_event_code(dev.get(), EV_KEY, key.evdev, nullptr);
    }
    for (unsigned button : {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}) {
        libevdev_enable_event_code(dev.get(), EV_KEY, button, nullptr);
    }
    libevdev_enable_event_type(dev.get(), EV_REL);
    for (unsigned axis :
         {REL_X, REL_Y, REL_WHEEL, REL_HWHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES}) {
        libevdev_enable_event_code(dev.get(), EV_REL, axis, nullptr);
    }
    // No EV_REP: the kernel would repeat held keys on its own, and games want a held key held.
    // Desktops repeat keys for text input themselves.

    libevdev_uinput* uidev = nullptr;
    int rc = libevdev_uinput_create_from_device(dev.get(), fd, &uidev);
    if (rc < 0) {
        ::close(fd);
        return {nullptr, -rc, describe("create the virtual keyboard and mouse", -rc)};
    }
    return {std::unique_ptr<UinputDevice>(new UinputDevice(fd, uidev)), 0, {}};
}

UinputDevice::~UinputDevice() {
    libevdev_uinput_destroy(device_);
    ::close(fd_);
}

bool UinputDevice::write(std::uint16_t type, std::uint16_t code, std::int32_t value) {
    int rc = libevdev_uinput_write_event(device_, type, code, value);
    // Only a device that has gone away is given up; any other failure loses this one event.
    return !(rc == -ENODEV || rc == -EBADF || rc == -EIO);
}

std::string UinputDevice::devnode() const {
    const char* node = libevdev_uinput_get_devnode(device_);
    return node ? node : "";
}

std::string UinputDevice::syspath() const {
    const char* path = libevdev_uinput_get_syspath(device_);
    return path ? path : "";
}

} // namespace jolto
