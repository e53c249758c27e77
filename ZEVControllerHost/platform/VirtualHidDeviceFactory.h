#pragma once

#include <memory>

#include "platform/VirtualHidDevice.h"

namespace jolto {

// Makes virtual HID devices; one per gamepad.
class VirtualHidDeviceFactory {
public:
    virtual ~VirtualHidDeviceFactory() = default;

    // A device not yet known to the system (see VirtualHidDevice::create), or nullptr when this
    // process may not make virtual devices.
    virtual std::unique_ptr<VirtualHidDevice> makeDevice() = 0;
};

} // namespace jolto
