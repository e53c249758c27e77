#pragma once

#include <functional>

namespace jolto {

// "Allow Access…": starts the access helper (pkexec and the jolto-host-access script, which
// sets up the device rule for /dev/uinput and /dev/uhid) without waiting for it, and calls
// `done` once from another thread when it has finished, with true when access was granted.
// Returns false, without calling `done`, when this installation has no helper or no pkexec.
bool startAccessRequest(std::function<void(bool granted)> done);

} // namespace jolto
