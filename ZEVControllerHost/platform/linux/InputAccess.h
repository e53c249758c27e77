#pragma once

namespace jolto {

// Whether synthesized keyboard and mouse input can reach the system: /dev/uinput opens for
// writing. Opening creates no device, so asking is cheap and leaves nothing behind.
bool hasInputDeviceAccess(const char* path = "/dev/uinput");

// Whether the device node at `path` opens with `accessMode` (O_WRONLY or O_RDWR). Opening rather
// than access(2): it also answers for ACLs granted to the session and for a node that exists but
// whose module refuses to load.
bool deviceNodeOpens(const char* path, int accessMode);

} // namespace jolto
