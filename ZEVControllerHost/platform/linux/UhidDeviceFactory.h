#pragma once

#include "platform/VirtualHidDeviceFactory.h"

namespace jolto {

// Virtual gamepads on /dev/uhid.
class UhidDeviceFactory final : public VirtualHidDeviceFactory {
public:
    std::unique_ptr<VirtualHidDevice> makeDevice() override;
};

} // namespace jolto
