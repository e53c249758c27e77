#pragma once

#include "platform/VirtualHidDeviceFactory.h"

namespace jolto {

// Virtual gamepads as uinput devices in the Xbox pad layout.
class UinputGamepadDeviceFactory final : public VirtualHidDeviceFactory {
public:
    std::unique_ptr<VirtualHidDevice> makeDevice() override;
};

} // namespace jolto
