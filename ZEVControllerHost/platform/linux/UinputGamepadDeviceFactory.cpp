#include "platform/linux/UinputGamepadDeviceFactory.h"

#include "platform/linux/UinputGamepadDevice.h"

namespace jolto {

std::unique_ptr<VirtualHidDevice> UinputGamepadDeviceFactory::makeDevice() {
    return UinputGamepadDevice::open();
}

} // namespace jolto
