#pragma once

namespace jolto {

// Whether synthesized keyboard and mouse input can reach the system: /dev/uinput opens for
// writing. Opening creates no device, so asking is cheap and leaves nothing behind.
bool hasInputDeviceAccess(const char* path = "/dev/uinput");

} // namespace jolto
