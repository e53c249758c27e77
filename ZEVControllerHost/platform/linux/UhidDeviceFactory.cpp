#include "platform/linux/UhidDeviceFactory.h"

#include "platform/linux/UhidDevice.h"

namespace jolto {

std::unique_ptr<VirtualHidDevice> UhidDeviceFactory::makeDevice() {
    return UhidDevice::open();
}

} // namespace jolto
