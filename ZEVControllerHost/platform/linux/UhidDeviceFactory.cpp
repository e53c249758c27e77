#include "UhidDeviceFactory.h"

#include "UhidDevice.h"

namespace jolto {

std::unique_ptr<VirtualHidDevice> UhidDeviceFactory::makeDevice() {
    return UhidDevice::open();
}

} // namespace jolto
