#pragma once

#include "app/HostModelPlatform.h"

namespace jolto {

// The host model's questions answered on Linux: input access is write access to /dev/uinput,
// the gamepad entitlement is access to /dev/uhid, the name is the pretty hostname, audio comes
// from the sound server's monitor of the default output, settings and help open through the
// desktop. `makeServer` comes from the composition root.
HostModelPlatform linuxHostPlatform(
    std::function<std::shared_ptr<HostServerFacade>(const std::string& hostName)> makeServer);

} // namespace jolto
