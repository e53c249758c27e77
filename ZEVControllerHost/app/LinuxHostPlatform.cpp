#include "app/LinuxHostPlatform.h"

#include "app/AccessRequest.h"
#include "app/DesktopSettings.h"
#include "platform/linux/HostIdentity.h"
#include "platform/linux/InputAccess.h"
#include "platform/linux/PulseAudioCapture.h"
#include "platform/linux/UhidDevice.h"
#include "platform/linux/UinputGamepadDevice.h"

namespace jolto {

HostModelPlatform linuxHostPlatform(
    std::function<std::shared_ptr<HostServerFacade>(const std::string& hostName)> makeServer) {
    HostModelPlatform p;
    p.hasInputAccess = [] { return hasInputDeviceAccess(); };
    p.hasGamepadAccess = [](GamepadDevice device) {
        return device == GamepadDevice::hid ? hasVirtualDeviceEntitlement()
                                            : hasUinputGamepadAccess();
    };
    p.computerName = [] { return computerDisplayName(); };
    p.makeServer = std::move(makeServer);
    p.makeAudioCapture = [] { return makeSystemAudioCapture(); };
    p.openSettings = [](const std::string& anchor) { openDesktopSettings(anchor); };
    p.startAccessRequest = [](std::function<void(bool)> done) {
        return startAccessRequest(std::move(done));
    };
    return p;
}

} // namespace jolto
