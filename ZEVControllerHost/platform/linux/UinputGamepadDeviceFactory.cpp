#include "UinputGamepadDeviceFactory.h"

#include "UinputGamepadDevice.h"

namespace jolto {

std::unique_ptr<VirtualHidDevice> UinputGamepadDeviceFactory::makeDevice() {
    return UinputGamepadDevice::open();
}

} // namespace jolto
